// kwp against the fake brivex: byte-exact framing, flow control handling,
// response matching and the trace lines.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_brivex.h"
#include "kwp.h"

namespace {

CAN_msg_T rxFrame(uint32_t id, std::vector<uint8_t> data, int dlc = -1)
{
    CAN_msg_T f;
    std::memset(&f, 0, sizeof f);
    f.type = 2;
    f.ID = id;
    f.dlc = static_cast<uint8_t>(dlc < 0 ? data.size() : dlc);
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

KWP_msg_T message(uint8_t sid, uint32_t len)
{
    KWP_msg_T m;
    std::memset(&m, 0, sizeof m);
    m.SID = sid;
    m.len = len;
    for (uint32_t i = 0; i + 1 < len; ++i)
        m.payload[i] = static_cast<uint8_t>(i + 1);
    return m;
}

std::vector<uint8_t> bytes(const CAN_msg_T& f) { return {f.data, f.data + f.dlc}; }

struct KwpTest : ::testing::Test {
    void SetUp() override { fakeBrivex() = FakeBrivex(); }
    const uint32_t req = 0x18DA22F9, resp = 0x18DAF922;
};

TEST_F(KwpTest, SingleFrames)
{
    KWP_msg_T tp = message(0x3E, 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(KWPonCAN_Send(1, req, &tp), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nInviato: SID=3E data: \n");
    KWP_msg_T seven = message(0x22, 7);
    ASSERT_EQ(KWPonCAN_Send(1, req, &seven), 0);
    auto& s = fakeBrivex().sent;
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].dlc, 8);
    EXPECT_EQ(s[0].ID, req);
    EXPECT_EQ(s[0].type, 1);
    EXPECT_EQ(s[0].data[0], 1);
    EXPECT_EQ(s[0].data[1], 0x3E);
    EXPECT_EQ(std::vector<uint8_t>(s[1].data, s[1].data + 8), (std::vector<uint8_t>{7, 0x22, 1, 2, 3, 4, 5, 6}));
}

TEST_F(KwpTest, LengthsOutsideOneTo1101AreRefusedBeforeSending)
{
    KWP_msg_T m = message(0x36, 0);
    EXPECT_EQ(KWPonCAN_Send(1, req, &m), -1);
    m.len = 1102;
    EXPECT_EQ(KWPonCAN_Send(1, req, &m), -1);
    EXPECT_TRUE(fakeBrivex().sent.empty());
}

TEST_F(KwpTest, SegmentedMessagesFrameExactly)
{
    struct Case {
        uint32_t len;
        std::size_t frames;
        std::vector<uint8_t> first, last;
    };
    const Case cases[] = {
        {8, 2, {0x10, 0x08, 0x36, 1, 2, 3, 4, 5}, {0x21, 6, 7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {13, 2, {0x10, 0x0D, 0x36, 1, 2, 3, 4, 5}, {0x21, 6, 7, 8, 9, 10, 11, 12}},
    };
    for (const Case& c : cases) {
        fakeBrivex() = FakeBrivex();
        fakeBrivex().rx.push_back(rxFrame(resp, {0x30, 0, 0}));
        KWP_msg_T m = message(0x36, c.len);
        testing::internal::CaptureStdout();
        ASSERT_EQ(KWPonCAN_Send(1, req, &m), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no KWP line for a segmented message
        auto& s = fakeBrivex().sent;
        ASSERT_EQ(s.size(), c.frames) << c.len;
        EXPECT_EQ(bytes(s.front()), c.first);
        EXPECT_EQ(bytes(s.back()), c.last);
        EXPECT_EQ(fakeBrivex().receiveTimeouts, std::vector<uint32_t>{1000});
    }
}

TEST_F(KwpTest, LongestMessageWrapsTheSequenceNumber)
{
    fakeBrivex().rx.push_back(rxFrame(resp, {0x30, 0, 0}));
    KWP_msg_T m = message(0x36, 1101);
    ASSERT_EQ(KWPonCAN_Send(1, req, &m), 0);
    auto& s = fakeBrivex().sent;
    ASSERT_EQ(s.size(), 158u);
    EXPECT_EQ(s[0].data[0], 0x14);
    EXPECT_EQ(s[0].data[1], 0x4D);
    // Rebuild the message from the frames and check the numbering.
    std::vector<uint8_t> body(s[0].data + 2, s[0].data + 8);
    for (std::size_t i = 1; i < s.size(); ++i) {
        EXPECT_EQ(s[i].data[0], 0x20 | (i & 0x0F)) << i;
        EXPECT_EQ(s[i].dlc, 8);
        body.insert(body.end(), s[i].data + 1, s[i].data + 8);
    }
    EXPECT_EQ(s[15].data[0], 0x2F);
    EXPECT_EQ(s[16].data[0], 0x20);
    ASSERT_EQ(body.size(), 6u + 157 * 7);
    EXPECT_EQ(body[0], 0x36);
    for (uint32_t i = 0; i < 1100; ++i)
        ASSERT_EQ(body[1 + i], m.payload[i]) << i;
    // The last frame carries three payload bytes and four FF.
    EXPECT_EQ(std::vector<uint8_t>(s.back().data + 4, s.back().data + 8), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(KwpTest, FlowControlVariants)
{
    KWP_msg_T m = message(0x36, 20);
    // No frame after the first frame.
    EXPECT_EQ(KWPonCAN_Send(1, req, &m), -1);
    // Wait and overflow end the sending.
    fakeBrivex() = FakeBrivex();
    fakeBrivex().rx.push_back(rxFrame(resp, {0x31, 0, 0}));
    EXPECT_EQ(KWPonCAN_Send(1, req, &m), -2);
    EXPECT_EQ(fakeBrivex().sent.size(), 1u);
    // An address claim arriving first is taken as the flow control.
    fakeBrivex() = FakeBrivex();
    fakeBrivex().rx.push_back(rxFrame(0x18EEFF22, {0xFF, 0xFF, 0xDF, 0x0B, 0, 0x81, 0, 0}));
    EXPECT_EQ(KWPonCAN_Send(1, req, &m), -2);
    // A failing consecutive frame.
    fakeBrivex() = FakeBrivex();
    fakeBrivex().rx.push_back(rxFrame(resp, {0x30, 0, 0}));
    fakeBrivex().failSendAt = 2;
    EXPECT_EQ(KWPonCAN_Send(1, req, &m), -3);
    // A failing first frame.
    fakeBrivex() = FakeBrivex();
    fakeBrivex().failSendAt = 0;
    EXPECT_EQ(KWPonCAN_Send(1, req, &m), -3);
}

TEST_F(KwpTest, SeparationTimePausesBeforeEveryConsecutiveFrame)
{
    fakeBrivex().rx.push_back(rxFrame(resp, {0x30, 0x00, 0x0A}));
    KWP_msg_T m = message(0x36, 27);  // three consecutive frames
    auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(KWPonCAN_Send(1, req, &m), 0);
    auto& at = fakeBrivex().sentAt;
    ASSERT_EQ(at.size(), 4u);
    using std::chrono::milliseconds;
    EXPECT_GE(at[1] - before, milliseconds(10));  // the first one included
    EXPECT_GE(at[2] - at[1], milliseconds(10));
    EXPECT_GE(at[3] - at[2], milliseconds(10));
}

TEST_F(KwpTest, ReceiveAcceptsOnlyValidSingleFrames)
{
    KWP_msg_T r;
    std::memset(&r, 0xCC, sizeof r);
    uint32_t id = 0;
    fakeBrivex().rx.push_back(rxFrame(resp, {0x02, 0x7E, 0x00}));  // dlc 3
    testing::internal::CaptureStdout();
    ASSERT_EQ(KWPonCAN_Receive(&id, &r, 100), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nRicevuto: SID=7E data: 00 \n");
    EXPECT_EQ(id, resp);
    EXPECT_EQ(r.len, 2u);
    EXPECT_EQ(r.payload[1], 0xCC);  // the rest of the record as it was
    for (auto f : {rxFrame(resp, {7, 1, 2, 3, 4, 5, 6}), rxFrame(resp, {0x10, 0x0A, 1, 2, 3, 4, 5, 6}),
                   rxFrame(resp, {0, 1, 2}), rxFrame(resp, {0x30, 0, 0, 0, 0, 0, 0, 0})}) {
        fakeBrivex().rx.push_back(f);
        EXPECT_EQ(KWPonCAN_Receive(&id, &r, 100), -1);
    }
}

TEST_F(KwpTest, SendAndReceivePairsRequestAndResponse)
{
    auto& rx = fakeBrivex().rx;
    rx.push_back(rxFrame(0x18DAF933, {0x02, 0x67, 0x01}));        // another ECU
    rx.push_back(rxFrame(resp, {0x03, 0x7F, 0x31, 0x35}));         // another service's refusal
    rx.push_back(rxFrame(resp, {0x02, 0x7E, 0x00}));               // another service's answer
    rx.push_back(rxFrame(resp, {0x04, 0x67, 0x01, 0x12, 0x34}));
    KWP_msg_T req27 = message(0x27, 2), in;
    uint32_t inId = resp;
    ASSERT_EQ(KWPonCAN_SendAndReceive(0x18DA22F9, &req27, &inId, &in, 1000), 0);
    EXPECT_EQ(in.SID, 0x67);
    EXPECT_EQ(in.len, 4u);
    EXPECT_EQ(in.payload[2], 0x34);
    EXPECT_TRUE(rx.empty());
    // Every later wait gets the time that is left, never more than the limit.
    for (uint32_t t : fakeBrivex().receiveTimeouts)
        EXPECT_LE(t, 1000u);
}

TEST_F(KwpTest, NegativeResponsesReturnTheirCodeAtOnce)
{
    for (uint8_t code : {0x35, 0x78}) {
        fakeBrivex() = FakeBrivex();
        fakeBrivex().rx.push_back(rxFrame(0x18DAF922, {0x03, 0x7F, 0x27, code}));
        fakeBrivex().rx.push_back(rxFrame(0x18DAF922, {0x02, 0x67, 0x02}));
        KWP_msg_T req27 = message(0x27, 2), in;
        uint32_t inId = resp;
        EXPECT_EQ(KWPonCAN_SendAndReceive(req, &req27, &inId, &in, 1000), code);
        EXPECT_EQ(in.SID, 0x7F);
        EXPECT_EQ(in.len, 3u);
        EXPECT_EQ(in.payload[0], 0x27);
        EXPECT_EQ(in.payload[1], code);
        EXPECT_EQ(fakeBrivex().rx.size(), 1u);  // returned without waiting further
    }
}

TEST_F(KwpTest, WildcardTakesAnySenderAndWritesItBack)
{
    fakeBrivex().rx.push_back(rxFrame(0x18DAF955, {0x01, 0x7E}));
    KWP_msg_T tp = message(0x3E, 1), in;
    uint32_t inId = 0xFFFFFFFF;
    ASSERT_EQ(KWPonCAN_SendAndReceive(req, &tp, &inId, &in, 200), 0);
    EXPECT_EQ(inId, 0x18DAF955u);
}

TEST_F(KwpTest, NoMatchingAnswerTimesOutAndTouchesNothing)
{
    fakeBrivex().rx.push_back(rxFrame(resp, {0x10, 0x08, 0x7E, 1, 2, 3, 4, 5}));  // an answer as first frame
    KWP_msg_T tp = message(0x3E, 1), in;
    std::memset(&in, 0xAB, sizeof in);
    uint32_t inId = 0xFFFFFFFF;
    EXPECT_EQ(KWPonCAN_SendAndReceive(req, &tp, &inId, &in, 30), -1);
    EXPECT_EQ(inId, 0xFFFFFFFFu);
    EXPECT_EQ(in.SID, 0xAB);
    // A request SID of 0xC0 or above never meets a positive response.
    fakeBrivex().rx.push_back(rxFrame(resp, {0x01, 0x00}));
    KWP_msg_T high = message(0xC0, 1);
    inId = resp;
    EXPECT_EQ(KWPonCAN_SendAndReceive(req, &high, &inId, &in, 30), -1);
}

TEST_F(KwpTest, TheTimeLimitCountsFromTheEndOfSending)
{
    // Three consecutive frames 20 ms apart take 60 ms, longer than the 40 ms
    // limit: the answer still counts, because the limit starts afterwards.
    fakeBrivex().rx.push_back(rxFrame(resp, {0x30, 0x00, 20}));
    fakeBrivex().rx.push_back(rxFrame(resp, {0x01, 0x76}));
    KWP_msg_T block = message(0x36, 27), in;
    uint32_t inId = resp;
    EXPECT_EQ(KWPonCAN_SendAndReceive(req, &block, &inId, &in, 40), 0);
    ASSERT_EQ(fakeBrivex().receiveTimeouts.size(), 2u);
    EXPECT_GE(fakeBrivex().receiveTimeouts[1], 30u);
}

TEST_F(KwpTest, SendFailureIsReturnedUnchanged)
{
    fakeBrivex().failSendAt = 0;
    KWP_msg_T tp = message(0x3E, 1), in;
    uint32_t inId = resp;
    EXPECT_EQ(KWPonCAN_SendAndReceive(req, &tp, &inId, &in, 30), -1);
    EXPECT_TRUE(fakeBrivex().receiveTimeouts.empty());
}

}  // namespace
