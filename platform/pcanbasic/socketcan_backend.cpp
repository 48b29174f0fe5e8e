// Back end: a Linux SocketCAN raw socket (a PCAN-USB appears as can0 through
// the kernel's peak_usb driver). The interface's kind, state and bit timing
// are read through rtnetlink; a controller is configured through libsocketcan
// (whose getters print to stderr when a virtual interface lacks the data, so
// they are not used).
#include "socketcan_backend.h"

#include <fcntl.h>
#include <libsocketcan.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "error_frames.h"

namespace pcan {

BusState busStateOfSocketCan(int canState)
{
    switch (canState) {
    case CAN_STATE_ERROR_ACTIVE: return BusState::Ok;
    case CAN_STATE_ERROR_WARNING: return BusState::Warning;
    case CAN_STATE_ERROR_PASSIVE: return BusState::Passive;
    case CAN_STATE_BUS_OFF: return BusState::BusOff;
    default: return BusState::Lost;  // stopped, sleeping, unknown
    }
}

std::string ipLinkCommand(const std::string& ifname, uint32_t bitrate)
{
    return "ip link set " + ifname + " down; ip link set " + ifname + " up type can bitrate " +
           std::to_string(bitrate);
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

template <typename T>
bool attrValue(const rtattr* a, T& v)
{
    if (RTA_PAYLOAD(a) < sizeof(T))
        return false;
    std::memcpy(&v, RTA_DATA(a), sizeof(T));
    return true;
}

void parseCanData(const rtattr* data, LinkInfo& out)
{
    int left = static_cast<int>(RTA_PAYLOAD(data));
    for (auto* a = static_cast<const rtattr*>(RTA_DATA(data)); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        uint32_t v = 0;
        switch (a->rta_type) {
        case IFLA_CAN_BITTIMING: {
            can_bittiming bt{};
            if (attrValue(a, bt))
                out.bitrate = bt.bitrate;
            break;
        }
        case IFLA_CAN_STATE:
            if (attrValue(a, v))
                out.state = static_cast<int>(v);
            break;
        case IFLA_CAN_RESTART_MS:
            if (attrValue(a, v))
                out.restartMs = v;
            break;
        }
    }
}

}  // namespace

bool parseLinkReply(const void* buf, std::size_t len, LinkInfo& out)
{
    out = LinkInfo{};
    int left = static_cast<int>(len);
    for (auto* nh = static_cast<const nlmsghdr*>(buf); NLMSG_OK(nh, left); nh = NLMSG_NEXT(nh, left)) {
        if (nh->nlmsg_type != RTM_NEWLINK || nh->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
            continue;
        auto* ifi = static_cast<const ifinfomsg*>(NLMSG_DATA(nh));
        out.exists = true;
        out.index = ifi->ifi_index;
        out.up = (ifi->ifi_flags & IFF_UP) != 0;
        int alen = static_cast<int>(IFLA_PAYLOAD(nh));
        for (auto* a = IFLA_RTA(ifi); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
            if (a->rta_type == IFLA_TXQLEN) {
                attrValue(a, out.txQueueLen);
            } else if (a->rta_type == IFLA_LINKINFO) {
                int ilen = static_cast<int>(RTA_PAYLOAD(a));
                for (auto* i = static_cast<const rtattr*>(RTA_DATA(a)); RTA_OK(i, ilen); i = RTA_NEXT(i, ilen)) {
                    if (i->rta_type == IFLA_INFO_KIND)
                        out.kind.assign(static_cast<const char*>(RTA_DATA(i)),
                                        strnlen(static_cast<const char*>(RTA_DATA(i)), RTA_PAYLOAD(i)));
                    else if (i->rta_type == IFLA_INFO_DATA)
                        parseCanData(i, out);
                }
            }
        }
        return true;
    }
    return false;
}

LinkStep linkStep(const LinkInfo& link, uint32_t bitrate)
{
    if (!link.exists)
        return LinkStep::Missing;
    if (!link.controller())
        return link.up ? LinkStep::Ready : LinkStep::NeedsUp;
    if (!link.up || link.bitrate != bitrate)
        return LinkStep::Configure;
    if (link.state == CAN_STATE_BUS_OFF && link.restartMs == 0)
        return LinkStep::Restart;
    return LinkStep::Ready;
}

int queueWaitLimitMs(uint32_t txQueueLen, uint32_t bitrate)
{
    constexpr uint64_t kFrameBits = 160;  // 29-bit identifier, 8 bytes, stuffed, with the gap
    if (bitrate == 0)
        return 50;
    uint64_t ms = 2 * (uint64_t(txQueueLen) + 1) * kFrameBits * 1000 / bitrate;
    return static_cast<int>(std::min<uint64_t>(std::max<uint64_t>(ms, 50), 60000));
}

namespace {

// One RTM_GETLINK exchange; false when the interface does not exist.
bool queryLink(const std::string& ifname, LinkInfo& out)
{
    out = LinkInfo{};
    unsigned idx = ::if_nametoindex(ifname.c_str());
    if (idx == 0)
        return false;
    int s = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0)
        return false;
    timeval tv{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    struct {
        nlmsghdr nh;
        ifinfomsg ifi;
    } req{};
    req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    req.nh.nlmsg_type = RTM_GETLINK;
    req.nh.nlmsg_flags = NLM_F_REQUEST;
    req.nh.nlmsg_seq = 1;
    req.ifi.ifi_family = AF_UNSPEC;
    req.ifi.ifi_index = static_cast<int>(idx);
    bool ok = false;
    if (::send(s, &req, req.nh.nlmsg_len, 0) == static_cast<ssize_t>(req.nh.nlmsg_len)) {
        alignas(nlmsghdr) char buf[16384];
        ssize_t n = ::recv(s, buf, sizeof buf, 0);
        ok = n > 0 && parseLinkReply(buf, static_cast<std::size_t>(n), out);
    }
    ::close(s);
    return ok;
}

class SocketCanBackend final : public Backend {
public:
    SocketCanBackend(BusUrl url, Sink sink) : url_(std::move(url)), sink_(std::move(sink)) {}
    ~SocketCanBackend() override { close(); }

    bool open(uint32_t bitrate, std::string& err) override
    {
        close();
        const std::string& ifn = url_.bus;
        int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        if (fd < 0) {
            err = "this system has no SocketCAN (" + std::string(std::strerror(errno)) +
                  "): load the can and can_raw modules, or use TAVELIN_BUS=socketcand://HOST[:PORT]/BUS";
            return false;
        }
        LinkInfo link;
        queryLink(ifn, link);
        if (!prepareLink(link, bitrate, err)) {
            ::close(fd);
            return false;
        }
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = link.index;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
            err = "cannot bind to " + ifn + " (" + std::strerror(errno) + ")";
            ::close(fd);
            return false;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        // The controller's error frames too: the channel delivers them when asked to.
        can_err_mask_t errors = errorClassesHeard();
        ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors);
        fd_ = fd;
        index_ = link.index;
        waitLimitMs_ = queueWaitLimitMs(link.txQueueLen, bitrate);
        stuck_ = false;
        lost_ = false;
        stop_ = false;
        reader_ = std::thread([this] { readLoop(); });
        return true;
    }

    // A full driver queue (ENOBUFS from the queueing discipline, or EAGAIN
    // from the socket buffer) is waited out, up to the time the queued frames
    // need on the wire. A queue that stayed full once is not waited for
    // again until a frame gets through, so a bus without any other node does
    // not stall every caller.
    WriteResult write(const wire::Frame& f) override
    {
        if (fd_ < 0 || lost_)
            return WriteResult::Lost;
        can_frame cf{};
        cf.can_id = canIdOf(f);
        cf.can_dlc = f.dlc;
        std::memcpy(cf.data, f.data, 8);
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(waitLimitMs_);
        auto pause = std::chrono::microseconds(100);
        for (;;) {
            ssize_t n = ::write(fd_, &cf, sizeof cf);
            if (n == static_cast<ssize_t>(sizeof cf)) {
                stuck_ = false;
                return WriteResult::Ok;
            }
            if (n >= 0 || (errno != ENOBUFS && errno != EAGAIN && errno != EINTR))
                return WriteResult::Lost;
            const auto now = Clock::now();
            if (stuck_ || now >= deadline) {
                stuck_ = true;
                return WriteResult::Full;
            }
            if (errno == EAGAIN) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, static_cast<int>(left) + 1);
            } else {
                // The queueing discipline gives no wake-up: retry after a short pause.
                std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
                pause = std::min(pause * 2, std::chrono::microseconds(2000));
            }
        }
    }

    BusState state() override
    {
        if (fd_ < 0 || lost_)
            return BusState::Lost;
        LinkInfo link;
        // Gone, or replaced by a new interface of the same name (adapter replugged).
        if (!queryLink(url_.bus, link) || link.index != index_ || !link.up)
            return BusState::Lost;
        if (!link.controller())
            return BusState::Ok;  // virtual: no controller state, up means OK
        return busStateOfSocketCan(link.state);
    }

    bool recover(std::string& err) override
    {
        LinkInfo link;
        if (fd_ < 0 || !queryLink(url_.bus, link) || link.index != index_ ||
            linkStep(link, link.bitrate) != LinkStep::Restart)
            return true;
        if (::can_do_restart(url_.bus.c_str()) == 0)
            return true;
        err = "CAN controller " + url_.bus + " is bus-off: run 'ip link set " + url_.bus + " type can restart'";
        return false;
    }

    void setAutoReset(bool on) override { autoReset_ = on; }

    void close() override
    {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    BusUrl url_;
    Sink sink_;
    int fd_ = -1;
    int index_ = 0;
    int waitLimitMs_ = 50;
    bool stuck_ = false;
    std::atomic<bool> lost_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> autoReset_{false};
    std::thread reader_;

    // Brings the interface to the wanted state: a controller is configured
    // (rate, automatic restart after bus-off) and started when this process
    // may (CAP_NET_ADMIN); otherwise err says what to run.
    bool prepareLink(LinkInfo& link, uint32_t bitrate, std::string& err)
    {
        const std::string& ifn = url_.bus;
        switch (linkStep(link, bitrate)) {
        case LinkStep::Ready:
            return true;
        case LinkStep::Missing:
            err = "CAN interface " + ifn + " not found: plug in the adapter (modprobe peak_usb), "
                  "or set TAVELIN_BUS";
            return false;
        case LinkStep::NeedsUp:
            err = "CAN interface " + ifn + " is down: run 'ip link set " + ifn + " up'";
            return false;
        case LinkStep::Restart:
            if (::can_do_restart(ifn.c_str()) == 0)
                return true;
            err = "CAN controller " + ifn + " is bus-off: run 'ip link set " + ifn + " type can restart'";
            return false;
        case LinkStep::Configure:
            break;
        }
        const char* name = ifn.c_str();
        if (::can_do_stop(name) == 0 && ::can_set_bitrate(name, bitrate) == 0) {
            ::can_set_restart_ms(name, kRestartMs);  // optional: some drivers lack it
            if (::can_do_start(name) == 0) {
                LinkInfo now;
                if (queryLink(ifn, now) && linkStep(now, bitrate) != LinkStep::Configure) {
                    link = now;
                    return true;
                }
            }
        }
        if (!link.up)
            err = "CAN interface " + ifn + " is down: run '" + ipLinkCommand(ifn, bitrate) + "'";
        else
            err = "CAN interface " + ifn + " runs at " + std::to_string(link.bitrate) + " bit/s, not " +
                  std::to_string(bitrate) + ": run '" + ipLinkCommand(ifn, bitrate) + "'";
        return false;
    }

    static constexpr uint32_t kRestartMs = 100;

    void readLoop()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, 200);
            if (r <= 0)
                continue;
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

}  // namespace pcan
