#include "tx_queue.h"

namespace pcan {

bool TxQueue::push(const wire::Frame& f, Clock::time_point now)
{
    {
        std::lock_guard<std::mutex> lock(m_);
        if (items_.size() >= capacity_)
            return false;
        if (items_.empty())
            lastProgress_ = now;  // a stall is counted from when there is something to send
        items_.push_back({f, now, nextSeq_++});
    }
    cv_.notify_one();
    return true;
}

bool TxQueue::front(wire::Frame& f, uint64_t& seq, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(m_);
    const auto ready = [this] { return !items_.empty() || woken_; };
    if (wait < std::chrono::milliseconds::zero())
        cv_.wait(lock, ready);
    else
        cv_.wait_for(lock, wait, ready);
    woken_ = false;
    if (items_.empty())
        return false;
    f = items_.front().frame;
    seq = items_.front().seq;
    handing_ = true;
    return true;
}

void TxQueue::sent(uint64_t seq, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(m_);
    lastProgress_ = now;
    handing_ = false;
    if (!items_.empty() && items_.front().seq == seq)
        items_.pop_front();
}

void TxQueue::refused(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(m_);
    handing_ = false;
    if (now - lastProgress_ >= kStaleAfter)
        dropBefore(now - kStaleAfter);
}

void TxQueue::dropOlderThanStale(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(m_);
    dropBefore(now - kStaleAfter);
    lastProgress_ = now;
}

void TxQueue::dropBefore(Clock::time_point limit)
{
    while (!items_.empty() && items_.front().queued < limit) {
        items_.pop_front();
        ++dropped_;
    }
}

void TxQueue::clear()
{
    std::lock_guard<std::mutex> lock(m_);
    items_.clear();
}

void TxQueue::wake()
{
    {
        std::lock_guard<std::mutex> lock(m_);
        woken_ = true;
    }
    cv_.notify_all();
}

std::size_t TxQueue::size() const
{
    std::lock_guard<std::mutex> lock(m_);
    return items_.size();
}

bool TxQueue::idle() const
{
    std::lock_guard<std::mutex> lock(m_);
    return items_.empty() && !handing_;
}

uint64_t TxQueue::dropped() const
{
    std::lock_guard<std::mutex> lock(m_);
    return dropped_;
}

uint64_t TxQueue::takeDropped()
{
    std::lock_guard<std::mutex> lock(m_);
    const uint64_t n = dropped_ - taken_;
    taken_ = dropped_;
    return n;
}

void TxWriter::start(Driver driver)
{
    stop();
    stop_ = false;
    thread_ = std::thread([this, driver = std::move(driver)] {
        while (!stop_) {
            wire::Frame f;
            uint64_t seq = 0;
            if (!q_.front(f, seq, std::chrono::milliseconds(-1)))  // until a frame or stop()
                continue;
            if (driver(f) == Handover::Taken)
                q_.sent(seq, TxQueue::Clock::now());
            else
                q_.refused(TxQueue::Clock::now());
        }
    });
}

void TxWriter::stop()
{
    stop_ = true;
    q_.wake();
    if (thread_.joinable())
        thread_.join();
}

}  // namespace pcan
