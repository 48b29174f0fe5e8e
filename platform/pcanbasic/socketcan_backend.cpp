// Back end: a Linux SocketCAN raw socket (a PCAN-USB appears as can0 through
// the kernel's peak_usb driver). The interface's kind, state and bit timing
// are read, and a controller configured, through rtnetlink by our own code
// (socketcan_link), which says nothing itself: each problem becomes one line
// of advice for the channel to report.
//
// Frames to send go into the channel's own deep transmit queue (tx_queue); a
// writer thread hands them to the socket in order as the driver takes them,
// so CAN_Write never waits for the driver.
#include "socketcan_backend.h"

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "canlink_client.h"
#include "error_frames.h"
#include "net_compat.h"
#include "tx_queue.h"

namespace pcan {

BusState busStateOfSocketCan(int canState)
{
    switch (canState) {
    case CAN_STATE_ERROR_ACTIVE: return BusState::Ok;
    case CAN_STATE_ERROR_WARNING: return BusState::Warning;
    case CAN_STATE_ERROR_PASSIVE: return BusState::Passive;
    default: return BusState::BusOff;  // bus-off, stopped, sleeping
    }
}

uint32_t canIdOf(const wire::Frame& f)
{
    return f.extended ? ((f.id & CAN_EFF_MASK) | CAN_EFF_FLAG) : (f.id & CAN_SFF_MASK);
}

bool frameOfCanId(uint32_t canId, wire::Frame& f)
{
    if (canId & (CAN_RTR_FLAG | CAN_ERR_FLAG))
        return false;
    f.extended = (canId & CAN_EFF_FLAG) != 0;
    f.id = f.extended ? (canId & CAN_EFF_MASK) : (canId & CAN_SFF_MASK);
    return true;
}

namespace {

// The socket's send buffer, asked as small as the kernel allows: frames
// handed to the socket wait in the kernel (socket, queueing discipline,
// driver) where CAN_Reset cannot reach them and the stale rule does not
// apply, so the deep queue is the library's and the kernel holds only a few.
constexpr int kSocketSendBuffer = 0;
// How long the writer waits for the driver before the queue applies its stale
// rule and the writer tries again; close() wakes it at once.
constexpr int kHandOverWaitMs = 100;

can_frame canFrameOf(const wire::Frame& f)
{
    can_frame cf{};
    cf.can_id = canIdOf(f);
    cf.can_dlc = f.dlc;
    std::memcpy(cf.data, f.data, 8);
    return cf;
}

// A line about something the library did, in the channel's own format.
void say(const std::string& line)
{
    std::fprintf(stderr, "pcanbasic: %s\n", line.c_str());
    std::fflush(stderr);
}

class SocketCanBackend final : public Backend {
public:
    SocketCanBackend(BusUrl url, Sink sink) : url_(std::move(url)), ifname_(url_.bus), sink_(std::move(sink)) {}
    ~SocketCanBackend() override { close(); }

    bool open(uint32_t bitrate, std::string& err) override
    {
        close();
        if (url_.automatic) {  // an adapter replugged may come back under another name
            std::string name = defaultCanInterface(listCanLinks());
            if (!name.empty())
                ifname_ = name;
        }
        int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        if (fd < 0) {
            err = "this system has no SocketCAN (" + std::string(std::strerror(errno)) +
                  "): load the can and can_raw modules, or use TAVELIN_BUS=socketcand://HOST[:PORT]/BUS";
            return false;
        }
        LinkInfo link;
        queryLink(ifname_, link);
        if (!prepareLink(link, bitrate, err)) {
            ::close(fd);
            return false;
        }
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = link.index;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
            err = "cannot bind to " + ifname_ + " (" + std::strerror(errno) + ")";
            ::close(fd);
            return false;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketSendBuffer, sizeof kSocketSendBuffer);
        // The controller's error frames too: the channel delivers them when asked to.
        can_err_mask_t errors = errorClassesHeard();
        ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors);
        fd_ = fd;
        index_ = link.index;
        bitrate_ = bitrate;
        lost_ = false;
        stop_ = false;
        wake_.drain();
        txq_.dropOlderThanStale(TxQueue::Clock::now());  // left from before a loss
        reader_ = std::thread([this] { readLoop(); });
        writer_.start([this](const wire::Frame& f) { return handOver(f); });
        return true;
    }

    // With nothing queued, the frame goes straight to the socket if the
    // driver has room (as fast as a plain write, and paced exactly as the
    // caller paces it); otherwise it is queued behind the others. Only the
    // channel's API thread writes, so an idle queue stays idle meanwhile.
    WriteResult write(const wire::Frame& f) override
    {
        if (fd_ < 0 || lost_)
            return WriteResult::Lost;
        if (txq_.idle()) {
            const can_frame cf = canFrameOf(f);
            if (::write(fd_, &cf, sizeof cf) == static_cast<ssize_t>(sizeof cf))
                return WriteResult::Ok;
        }
        return txq_.push(f, TxQueue::Clock::now()) ? WriteResult::Ok : WriteResult::Full;
    }

    void clearTransmitQueue() override { txq_.clear(); }
    uint64_t takeDropped() override { return txq_.takeDropped(); }

    BusState state() override
    {
        if (fd_ < 0 || lost_)
            return BusState::Lost;
        LinkInfo link;
        // Gone, or replaced by a new interface of the same name (adapter replugged).
        if (!queryLink(ifname_, link) || link.index != index_ || !link.up)
            return BusState::Lost;
        if (!link.controller())
            return BusState::Ok;  // virtual: no controller state, up means OK
        return busStateOfSocketCan(link.state);
    }

    // A bus-off controller without automatic restart is restarted, a stopped
    // or sleeping one set up again, when this process or the installed helper
    // may; otherwise err says what to run.
    bool recover(std::string& err) override
    {
        LinkInfo link;
        if (fd_ < 0 || !queryLink(ifname_, link) || link.index != index_ || !link.controller() || !link.up)
            return true;
        const bool stopped = link.state == CAN_STATE_STOPPED || link.state == CAN_STATE_SLEEPING;
        const bool stuckOff = link.state == CAN_STATE_BUS_OFF && link.restartMs == 0;
        if (!stopped && !stuckOff)
            return true;
        LinkInfo asUsed = link;
        asUsed.bitrate = bitrate_;  // the rate is not the question here
        if (haveNetAdmin()) {
            if (stuckOff) {
                if (restartController(link) == 0)
                    return true;
            } else if (configureController(asUsed, bitrate_) == 0) {
                const std::string notice = reconfigureNotice(ifname_, asUsed, bitrate_);
                if (!notice.empty())
                    say(notice);
                return true;
            }
        } else {
            // The installed helper may do it; the link then tells whether it did.
            const std::string notice = stuckOff ? "" : reconfigureNotice(ifname_, asUsed, bitrate_);
            const CanlinkRun run = stuckOff ? canlinkRestart(ifname_) : canlinkConfigure(ifname_, bitrate_);
            lastCanlinkRun_ = run;
            LinkInfo now;
            if (run != CanlinkRun::Absent && run != CanlinkRun::NotAllowed && queryLink(ifname_, now) &&
                now.index == index_ && linkStep(now, bitrate_) == LinkStep::Ready) {
                if (!notice.empty())
                    say(notice);
                return true;
            }
        }
        err = linkAdvice(ifname_, asUsed, bitrate_, "") + canlinkHint(lastCanlinkRun_);
        return false;
    }

    void setAutoReset(bool on) override { autoReset_ = on; }

    void close() override
    {
        stop_ = true;
        wake_.signal();  // the reader and the writer stop waiting on the socket
        writer_.stop();
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    BusUrl url_;
    std::string ifname_;
    Sink sink_;
    int fd_ = -1;
    int index_ = 0;
    uint32_t bitrate_ = 0;
    std::atomic<bool> lost_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> autoReset_{false};
    std::thread reader_;
    const net::Waker wake_;  // set by close()
    TxQueue txq_;
    TxWriter writer_{txq_};
    CanlinkRun lastCanlinkRun_ = CanlinkRun::Absent;  // the helper's last answer, for the advice

    // Brings the interface to the wanted state: a controller is configured
    // (rate, automatic restart after bus-off, normal mode) and started when
    // this process may (CAP_NET_ADMIN), or else by the installed helper
    // tavelin-canlink when this user may run it; otherwise err says what to
    // run. A
    // controller found bus-off opens, shows BUS OFF, and recover() says what
    // to run.
    bool prepareLink(LinkInfo& link, uint32_t bitrate, std::string& err)
    {
        switch (linkStep(link, bitrate)) {
        case LinkStep::Ready:
            return true;
        case LinkStep::Missing:
            err = linkAdvice(ifname_, link, bitrate, canInterfaceNames(listCanLinks()));
            return false;
        case LinkStep::NeedsUp:
            err = linkAdvice(ifname_, link, bitrate, "");
            return false;
        case LinkStep::Restart:
            if (haveNetAdmin())
                restartController(link);
            else
                canlinkRestart(ifname_);
            return true;
        case LinkStep::Configure:
            break;
        }
        err = linkAdvice(ifname_, link, bitrate, "");
        const std::string notice = reconfigureNotice(ifname_, link, bitrate);
        if (!haveNetAdmin()) {
            // Without the capability the installed helper configures it, if
            // there is one and this user may run it; else err says what to run.
            const CanlinkRun run = canlinkConfigure(ifname_, bitrate);
            if (run == CanlinkRun::Absent || run == CanlinkRun::NotAllowed || run == CanlinkRun::NoCapability) {
                err += canlinkHint(run);
                return false;
            }
        } else if (int rc = configureController(link, bitrate)) {
            err += " (" + std::string(std::strerror(-rc)) + ")";
            return false;
        }
        LinkInfo now;
        if (!queryLink(ifname_, now) || linkStep(now, bitrate) == LinkStep::Configure)
            return false;
        if (!notice.empty())
            say(notice);
        link = now;
        return true;
    }

    // Gives one frame to the socket, waiting a little for room in the driver's
    // queue: EAGAIN (the socket's small send buffer is full: the usual case,
    // since it fills before the queueing discipline does) sleeps in poll until
    // the driver has sent enough for POLLOUT; ENOBUFS (the queueing discipline
    // is full, shared with other sockets, and gives no wake-up) is retried
    // after short pauses. A driver that takes nothing within kHandOverWaitMs
    // refuses the frame for now; the writer tries again.
    Handover handOver(const wire::Frame& f)
    {
        const can_frame cf = canFrameOf(f);
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kHandOverWaitMs);
        auto pause = std::chrono::microseconds(100);
        for (;;) {
            ssize_t n = ::write(fd_, &cf, sizeof cf);
            if (n == static_cast<ssize_t>(sizeof cf))
                return Handover::Taken;
            const int e = n < 0 ? errno : EIO;
            const auto now = Clock::now();
            if (now >= deadline)
                return Handover::Refused;
            if (e == EAGAIN) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
                pollfd p[2] = {{fd_, POLLOUT, 0}, {wake_.pollable(), POLLIN, 0}};
                if (::poll(p, 2, static_cast<int>(left) + 1) > 0 && p[1].revents)
                    return Handover::Refused;  // closing
            } else if (e == ENOBUFS || e == EINTR) {
                std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
                pause = std::min(pause * 2, std::chrono::microseconds(2000));
            } else {
                // Interface down or gone: the status poll sees it and reopens.
                std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(20), deadline - now));
                return Handover::Refused;
            }
        }
    }

    void readLoop()
    {
        while (!stop_) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_.pollable(), POLLIN, 0}};
            int r = ::poll(p, 2, -1);
            if (r <= 0)
                continue;
            if (p[1].revents)
                return;  // closing
            can_frame cf{};
            ssize_t n = ::read(fd_, &cf, sizeof cf);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n != static_cast<ssize_t>(sizeof cf)) {
                lost_ = true;  // interface gone or down
                return;
            }
            wire::Frame f;
            if (cf.can_id & CAN_ERR_FLAG) {
                f.error = true;
                f.id = cf.can_id & CAN_ERR_MASK;
            } else if (!frameOfCanId(cf.can_id, f)) {
                continue;
            }
            f.dlc = cf.can_dlc > 8 ? 8 : cf.can_dlc;
            std::memcpy(f.data, cf.data, 8);
            sink_(f);
            if (f.error && (f.id & CAN_ERR_BUSOFF) && autoReset_) {
                std::string err;
                recover(err);  // a driver that restarts by itself is left to it
            }
        }
    }
};

}  // namespace

std::unique_ptr<Backend> makeSocketCanBackend(const BusUrl& url, Backend::Sink sink)
{
    return std::make_unique<SocketCanBackend>(url, std::move(sink));
}

std::string findDefaultCanInterface()
{
    return defaultCanInterface(listCanLinks());
}

}  // namespace pcan
