// One exchange with the ECU: a request, then its own answer. Every request
// of the capture's presence check, the identification readout and the
// programming run goes through it. Plain code on kwp and brivex, no widget.
//
// An answer is the request's own when it comes from the ECU's answer
// identifier and is
//  - the positive response (SID + 0x40) repeating the request's identifying
//    bytes (see echoLength), or
//  - the negative response 7F SID code. 7F SID 78 (response pending) is not
//    final: the exchange waits on for the final answer, within the same
//    time-out (a pending answer does not extend it).
// Anything else is passed over, with one trace line, and never taken.
//
// More than one ECU: for each request (service and identifying bytes) the
// exchanger counts the requests sent and the final answers received. One ECU
// gives at most one final answer per request; an answer beyond that count
// (two answers to one request) can only come from a second ECU at the same
// address. Messages already queued before a request are read and passed over
// before it is sent (nothing queued then can be its answer), so a second ECU
// that answers later than the first is found at the next exchange at the
// latest, without any waiting. Once found, the exchanger sends nothing more
// until reset().
#ifndef TAVELIN_EXCHANGE_H
#define TAVELIN_EXCHANGE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kwp.h"

namespace exchange {

// How many bytes after the service byte the request's own positive answer
// must repeat: 2 for 22 (FF nn), 1 for 27 (mode), 31 and 33 (routine) and 10
// (session), 0 for every other service (its response service alone).
int echoLength(uint8_t sid);

enum class Match {
    Own,      // the request's final answer
    Pending,  // 7F SID 78: the final answer is still to come
    Other,    // not an answer to this request
};
// What msg, received from the identifier from, is to request, whose answers
// come from answerId.
Match classify(const KWP_msg_T& request, uint32_t answerId, uint32_t from, const KWP_msg_T& msg);

// Results of Exchanger::exchange besides 0 (positive answer) and 1..255 (the
// code of a negative answer) and KWPonCAN_Send's -1, -2, -3 (not sent).
constexpr int kNoAnswer = -1;           // no final answer within the time-out
constexpr int kNegativeCodeZero = 0x100;  // a negative answer whose code is 00
constexpr int kMoreThanOneEcu = -100;   // a second ECU answers: nothing more is sent

class Exchanger {
public:
    void setIds(uint32_t requestId, uint32_t answerId)
    {
        request_id_ = requestId;
        answer_id_ = answerId;
    }
    // Passes over what is queued, sends request, and waits up to timeoutMs
    // after sending for its own answer, which is copied into answer.
    int exchange(KWP_msg_T& request, KWP_msg_T& answer, uint32_t timeoutMs);
    // Reads and passes over every message queued now, without waiting.
    void drain() { drain(nullptr); }
    bool moreThanOneEcu() const { return more_than_one_; }
    // Another ECU is going to answer (a new capture): counts and flag cleared.
    void reset()
    {
        counts_.clear();
        more_than_one_ = false;
    }

private:
    struct Count {
        unsigned sent = 0, answered = 0;
    };
    using Key = std::vector<uint8_t>;  // service and identifying bytes
    uint32_t request_id_ = 0, answer_id_ = 0;
    std::map<Key, Count> counts_;
    bool more_than_one_ = false;

    void drain(const KWP_msg_T* next);
    // A message that is not the answer to current (none: between requests):
    // a late answer to an earlier request, a second answer, or unrelated.
    void passOver(uint32_t from, const KWP_msg_T& msg, const KWP_msg_T* current, const char* when);
};

}  // namespace exchange

#endif
