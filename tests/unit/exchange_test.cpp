// The exchange rule against the fake brivex: which answer a request takes,
// what it passes over, and when a second ECU is answering.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "exchange.h"
#include "fake_brivex.h"

namespace {

constexpr uint32_t kRequestId = 0x18DA22F9, kAnswerId = 0x18DAF922;
using exchange::kMoreThanOneEcu;
using exchange::kNegativeCodeZero;
using exchange::kNoAnswer;

std::vector<uint8_t> bytes(const std::string& hex)
{
    std::istringstream in(hex);
    std::vector<uint8_t> out;
    for (std::string b; in >> b;)
        out.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
    return out;
}

// A message as one single frame; "@18DAF933 7E" comes from another identifier.
CAN_msg_T frame(std::string text)
{
    uint32_t id = kAnswerId;
    if (text[0] == '@') {
        id = static_cast<uint32_t>(std::stoul(text.substr(1, 8), nullptr, 16));
        text = text.substr(9);
    }
    const auto b = bytes(text);
    CAN_msg_T f;
    std::memset(&f, 0, sizeof f);
    f.ID = id;
    f.dlc = 8;
    f.data[0] = static_cast<uint8_t>(b.size());
    std::copy(b.begin(), b.end(), f.data + 1);
    return f;
}

struct Step {
    std::vector<std::string> queued;  // already there when the request is made
    std::vector<std::string> after;   // arrive once the request is sent
    std::string request;
    int result;
    std::string answer;  // the answer taken, when result is 0 or a code
    bool sent = true;    // the request went out
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

const std::string item1 = "22 FF 01 00 00";

const Scenario kScenarios[] = {
    {"positive repeating the item is taken", {{{}, {"62 FF 01 09 03 00 00"}, item1, 0, "62 FF 01 09 03 00 00"}}},
    {"another item's answer is passed over", {{{}, {"62 FF 00 39 30 00 00", "62 FF 01 09 03 00 00"}, item1, 0, "62 FF 01 09 03 00 00"}}},
    {"what was queued before the request is passed over",
     {{{"62 FF 01 39 30 00 00"}, {"62 FF 01 09 03 00 00"}, item1, 0, "62 FF 01 09 03 00 00"}}},
    {"pending, then the data", {{{}, {"7F 22 78", "62 FF 01 01 02 00 00"}, item1, 0, "62 FF 01 01 02 00 00"}}},
    {"pending alone is no answer", {{{}, {"7F 22 78"}, item1, kNoAnswer, ""}}},
    // The data of a pending item that came after its time-out is a late
    // answer, not the next item's nor a second ECU's.
    {"late data of a pending item",
     {{{}, {"7F 22 78"}, "22 FF 05 00 00", kNoAnswer, ""},
      {{}, {"62 FF 05 01 02 00 00", "62 FF 06 00 01 00 00"}, "22 FF 06 00 00", 0, "62 FF 06 00 01 00 00"}}},
    {"negative answer to the service", {{{}, {"7F 27 35", "7F 22 31"}, item1, 0x31, "7F 22 31"}}},
    {"negative answer with code 00", {{{}, {"7F 22 00"}, item1, kNegativeCodeZero, "7F 22 00"}}},
    {"truncated answers are none", {{{}, {"7F 22", "62 FF"}, item1, kNoAnswer, ""}}},
    {"another sender's answer", {{{}, {"@18DAF933 7E"}, "3E", kNoAnswer, ""}}},
    {"security access repeats its mode", {{{}, {"67 01 12 34", "67 02"}, "27 02 ED CB 00 00 00", 0, "67 02"}}},
    {"routine result repeats its routine", {{{}, {"73 20 00", "73 10 00"}, "33 10", 0, "73 10 00"}}},
    {"session repeats its session", {{{}, {"50 81", "50 85"}, "10 85", 0, "50 85"}}},
    {"other services by their response alone", {{{}, {"76", "74"}, "34", 0, "74"}}},
    // A seed that came after its request timed out answers the retry; the
    // retry's own seed, queued when the key goes out, is a late answer.
    {"late seed is one ECU",
     {{{}, {}, "27 01", kNoAnswer, ""},
      {{}, {"67 01 11 11", "67 01 22 22"}, "27 01", 0, "67 01 11 11"},
      {{}, {"7F 27 35"}, "27 02 DD EE 00 00 00", 0x35, "7F 27 35"}}},
    {"second answer queued before the next request",
     {{{}, {"62 FF 00 39 30 00 00"}, "22 FF 00 00 00", 0, "62 FF 00 39 30 00 00"},
      {{"62 FF 00 09 03 00 00"}, {}, item1, kMoreThanOneEcu, "", false},
      {{}, {}, "22 FF 02 00 00", kMoreThanOneEcu, "", false}}},
    {"second answer while the next one is awaited",
     {{{}, {"7E"}, "3E", 0, "7E"}, {{}, {"7E", "62 FF 00 39 30 00 00"}, "22 FF 00 00 00", kMoreThanOneEcu, ""}}},
    {"two negative answers to one request",
     {{{}, {"7F 22 31", "7F 22 31"}, "22 FF 02 00 00", 0x31, "7F 22 31"},
      {{}, {"62 FF 03 01 00 00 00"}, "22 FF 03 00 00", kMoreThanOneEcu, "", false}}},
};

TEST(ExchangeTest, AnswerByRequest)
{
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.name);
        fakeBrivex() = FakeBrivex();
        exchange::Exchanger ex;
        ex.setIds(kRequestId, kAnswerId);
        for (std::size_t i = 0; i < s.steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Step& st = s.steps[i];
            for (const auto& q : st.queued)
                fakeBrivex().rx.push_back(frame(q));
            fakeBrivex().afterSend.clear();
            std::vector<CAN_msg_T> after;
            for (const auto& a : st.after)
                after.push_back(frame(a));
            fakeBrivex().afterSend.push_back(after);
            const auto req = bytes(st.request);
            KWP_msg_T request, answer;
            request.SID = req[0];
            request.len = static_cast<uint32_t>(req.size());
            std::copy(req.begin() + 1, req.end(), request.payload);
            answer.len = 0;
            const std::size_t sentBefore = fakeBrivex().sent.size();
            EXPECT_EQ(ex.exchange(request, answer, 30), st.result);
            EXPECT_EQ(fakeBrivex().sent.size() - sentBefore, st.sent ? 1u : 0u);
            EXPECT_EQ(ex.moreThanOneEcu(), st.result == kMoreThanOneEcu);
            if (!st.answer.empty()) {
                std::vector<uint8_t> got{answer.SID};
                got.insert(got.end(), answer.payload, answer.payload + answer.len - 1);
                EXPECT_EQ(got, bytes(st.answer));
            }
        }
        ex.reset();
        EXPECT_FALSE(ex.moreThanOneEcu());
    }
}

TEST(ExchangeTest, PassedOverIsTraced)
{
    fakeBrivex() = FakeBrivex();
    fakeBrivex().rx.push_back(frame("62 FF 00 39 30 00 00"));
    fakeBrivex().afterSend.push_back({frame("62 FF 01 09 03 00 00")});
    exchange::Exchanger ex;
    ex.setIds(kRequestId, kAnswerId);
    KWP_msg_T request, answer;
    request.SID = 0x22;
    request.len = 5;
    const uint8_t p[] = {0xFF, 0x01, 0x00, 0x00};
    std::memcpy(request.payload, p, 4);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ex.exchange(request, answer, 30), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\nPassed over: SID=62 data: FF 00 39 30 00 00 (answers no request sent, before 22 FF 01)\n"),
              std::string::npos)
        << out;
}

}  // namespace
