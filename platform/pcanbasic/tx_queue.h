// The channel's own transmit queue: CAN_Write puts a frame here and returns at
// once; a writer thread hands the frames to the bus driver in order, as fast
// as the driver takes them. Deep like an adapter's firmware queue, so that a
// host stall or a slow bus never refuses a frame of a transfer in progress.
#ifndef TAVELIN_TX_QUEUE_H
#define TAVELIN_TX_QUEUE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "socketcand_wire.h"

namespace pcan {

constexpr std::size_t kTransmitQueueLength = 32768;
constexpr long kStaleAfterMs = 1000;

// Frames waiting for the driver. Thread-safe; times are passed in so that the
// rule for stale frames can be checked without waiting.
//
// Stale frames: when the driver has taken nothing for kStaleAfter (bus-off,
// adapter unplugged, no node acknowledging), every frame queued longer ago
// than kStaleAfter is dropped, and so on while the stall lasts. A controller
// that recovers therefore sends at most the last second's frames, never a
// backlog from long before. A queue that drains, however slowly, drops nothing.
class TxQueue {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kStaleAfter{kStaleAfterMs};

    explicit TxQueue(std::size_t capacity = kTransmitQueueLength) : capacity_(capacity) {}

    // False when the queue is full.
    bool push(const wire::Frame& f, Clock::time_point now);
    // The oldest frame and its sequence number; waits up to `wait` for one
    // (a negative wait: until there is one, or wake()).
    bool front(wire::Frame& f, uint64_t& seq, std::chrono::milliseconds wait);
    // The driver took frame `seq`: it leaves the queue (unless cleared meanwhile).
    void sent(uint64_t seq, Clock::time_point now);
    // The driver refused the front frame: applies the rule for stale frames.
    void refused(Clock::time_point now);
    // Drops frames queued more than kStaleAfter before `now`, stall or not
    // (a channel opened again after its interface was lost).
    void dropOlderThanStale(Clock::time_point now);
    void clear();
    // Wakes a writer waiting in front().
    void wake();
    std::size_t size() const;
    // Nothing queued and no frame being handed over (even one cleared
    // meanwhile): a frame written now directly cannot overtake another.
    bool idle() const;
    uint64_t dropped() const;  // stale frames dropped so far
    uint64_t takeDropped();    // those dropped since the last call

private:
    struct Item {
        wire::Frame frame;
        Clock::time_point queued;
        uint64_t seq;
    };
    void dropBefore(Clock::time_point limit);

    const std::size_t capacity_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<Item> items_;
    uint64_t nextSeq_ = 0;
    uint64_t dropped_ = 0;
    uint64_t taken_ = 0;  // of dropped_, those takeDropped() gave
    bool woken_ = false;
    bool handing_ = false;  // between front() and sent()/refused()
    Clock::time_point lastProgress_{};  // last frame taken, or the queue becoming non-empty
};

// What a driver does with one frame, given a short while to take it.
enum class Handover { Taken, Refused };

// A thread that drains a TxQueue into a driver, in order. The driver function
// may wait a little (for room in the driver's queue) but must return within a
// few tens of milliseconds so that stop() is prompt.
class TxWriter {
public:
    using Driver = std::function<Handover(const wire::Frame&)>;
    explicit TxWriter(TxQueue& q) : q_(q) {}
    ~TxWriter() { stop(); }
    void start(Driver driver);
    void stop();

private:
    TxQueue& q_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace pcan

#endif
