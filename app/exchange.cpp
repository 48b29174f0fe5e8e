#include "exchange.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace exchange {

namespace {

constexpr int kMaxDrained = 1000;  // a flooding bus still lets the request go out
constexpr uint8_t kNegative = 0x7F;
constexpr uint8_t kPending = 0x78;

uint64_t nowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count());
}

std::string hex(const uint8_t* p, std::size_t n)
{
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X ", p[i]);
        s += b;
    }
    return s;
}

std::string describe(const std::vector<uint8_t>& key)
{
    std::string s = hex(key.data(), key.size());
    if (!s.empty())
        s.pop_back();
    return s;
}

std::vector<uint8_t> requestKey(const KWP_msg_T& request)
{
    std::vector<uint8_t> key{request.SID};
    const int n = echoLength(request.SID);
    for (int i = 0; i < n && static_cast<uint32_t>(i + 1) < request.len; ++i)
        key.push_back(request.payload[i]);
    return key;
}

// The line that says what happened to a message the exchange did not take,
// in the form of the transport's own trace lines.
void trace(const char* what, const KWP_msg_T& msg, const std::string& why)
{
    char sid[16];
    std::snprintf(sid, sizeof sid, "SID=%X", msg.SID);
    const uint32_t n = msg.len == 0 ? 0 : (msg.len - 1 > KWP_MAX_PAYLOAD ? KWP_MAX_PAYLOAD : msg.len - 1);
    std::cout << std::endl << what << ": " << sid << " data: " << hex(msg.payload, n) << "(" << why << ")" << std::endl;
}

}  // namespace

int echoLength(uint8_t sid)
{
    switch (sid) {
    case 0x22: return 2;  // the local identifier FF nn
    case 0x27:            // the access mode
    case 0x31:            // the routine
    case 0x33:            // the routine
    case 0x10: return 1;  // the session
    default: return 0;
    }
}

Match classify(const KWP_msg_T& request, uint32_t answerId, uint32_t from, const KWP_msg_T& msg)
{
    if (from != answerId)
        return Match::Other;
    if (msg.SID == kNegative) {
        // A negative answer names the service it refuses; one without its
        // code byte is no answer.
        if (msg.len < 3 || msg.payload[0] != request.SID)
            return Match::Other;
        return msg.payload[1] == kPending ? Match::Pending : Match::Own;
    }
    if (static_cast<unsigned>(request.SID) + 0x40 != msg.SID)
        return Match::Other;
    const int n = echoLength(request.SID);
    if (msg.len < static_cast<uint32_t>(1 + n) || request.len < static_cast<uint32_t>(1 + n))
        return Match::Other;
    for (int i = 0; i < n; ++i)
        if (msg.payload[i] != request.payload[i])
            return Match::Other;
    return Match::Own;
}

int Exchanger::exchange(KWP_msg_T& request, KWP_msg_T& answer, uint32_t timeoutMs)
{
    if (more_than_one_)
        return kMoreThanOneEcu;
    drain(&request);
    if (more_than_one_)
        return kMoreThanOneEcu;
    const int sent = KWPonCAN_Send(1, request_id_, &request);
    if (sent != 0)
        return sent;
    Count& count = counts_[requestKey(request)];
    ++count.sent;
    const uint64_t start = nowMs();
    for (;;) {
        const uint64_t elapsed = nowMs() - start;
        if (elapsed > timeoutMs)
            return kNoAnswer;
        uint32_t from = 0;
        KWP_msg_T msg;
        msg.len = 0;
        if (KWPonCAN_Receive(&from, &msg, static_cast<uint32_t>(timeoutMs - elapsed)) != 0)
            continue;
        switch (classify(request, answer_id_, from, msg)) {
        case Match::Own:
            ++count.answered;
            answer = msg;
            if (msg.SID != kNegative)
                return 0;
            return msg.payload[1] != 0 ? msg.payload[1] : kNegativeCodeZero;
        case Match::Pending:
            break;  // the final answer comes within the same time-out, or it is late
        case Match::Other:
            passOver(from, msg, &request, "while awaiting");
            if (more_than_one_)
                return kMoreThanOneEcu;
            break;
        }
    }
}

void Exchanger::drain(const KWP_msg_T* next)
{
    for (int i = 0; i < kMaxDrained; ++i) {
        CAN_msg_T f;
        std::memset(&f, 0, sizeof f);
        if (ReceiveCANMessage(&f, 0) != 0)
            return;
        // Single frames only, as the transport takes them; other frames
        // (flow control, segments) answer nothing here.
        const uint8_t n = f.data[0];
        if (n == 0 || n >= f.dlc)
            continue;
        KWP_msg_T msg;
        msg.SID = f.data[1];
        msg.len = n;
        std::memcpy(msg.payload, &f.data[2], n - 1);
        passOver(f.ID, msg, next, "before");
    }
}

void Exchanger::passOver(uint32_t from, const KWP_msg_T& msg, const KWP_msg_T* current, const char* when)
{
    const std::string context =
        current ? std::string(when) + " " + describe(requestKey(*current)) : std::string("between requests");
    if (from != answer_id_) {
        char id[32];
        std::snprintf(id, sizeof id, "from %08X, ", from);
        trace("Passed over", msg, id + context);
        return;
    }
    // Which earlier request this message is a final answer to, if any.
    Count* count = nullptr;
    Key key;
    if (msg.SID == kNegative) {
        if (msg.len < 3 || msg.payload[1] == kPending) {
            trace("Passed over", msg, context);
            return;
        }
        // A negative answer repeats only the service: it answers the first
        // request of that service still without its answer, if there is one.
        for (auto& [k, c] : counts_) {
            if (k[0] != msg.payload[0] || c.sent == 0)
                continue;
            if (!count || (count->answered >= count->sent && c.answered < c.sent)) {
                count = &c;
                key = k;
            }
        }
    } else if (msg.SID >= 0x40 && msg.SID < kNegative) {
        key.push_back(static_cast<uint8_t>(msg.SID - 0x40));
        const int n = echoLength(key[0]);
        if (msg.len >= static_cast<uint32_t>(1 + n)) {
            key.insert(key.end(), msg.payload, msg.payload + n);
            auto it = counts_.find(key);
            if (it != counts_.end() && it->second.sent > 0)
                count = &it->second;
        }
    }
    if (!count) {
        trace("Passed over", msg, "answers no request sent, " + context);
    } else if (count->answered < count->sent) {
        ++count->answered;
        trace("Passed over", msg, "late answer to " + describe(key) + ", " + context);
    } else {
        more_than_one_ = true;
        trace("More than one ECU", msg, "a second answer to " + describe(key) + ", " + context);
    }
}

}  // namespace exchange
