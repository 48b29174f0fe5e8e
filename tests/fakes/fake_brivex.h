// Test double of libbrivex for the kwp tests: frames sent are recorded with
// their time; ReceiveCANMessage hands out scripted frames, or -1 at once.
// Scripted answers may also wait for a send (afterSend).
#ifndef TAVELIN_FAKE_BRIVEX_H
#define TAVELIN_FAKE_BRIVEX_H

#include <chrono>
#include <deque>
#include <vector>

#include "brivex.h"

struct FakeBrivex {
    std::vector<CAN_msg_T> sent;
    std::vector<std::chrono::steady_clock::time_point> sentAt;
    std::deque<CAN_msg_T> rx;
    // Frames that arrive once a frame is sent: each send queues the next batch.
    std::deque<std::vector<CAN_msg_T>> afterSend;
    std::vector<uint32_t> receiveTimeouts;
    int failSendAt = -1;  // index of the send that fails
};

#ifdef _WIN32
__declspec(dllexport) FakeBrivex& fakeBrivex();
#else
__attribute__((visibility("default"))) FakeBrivex& fakeBrivex();
#endif

#endif
