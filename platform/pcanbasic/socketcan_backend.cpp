// Back end: a Linux SocketCAN raw socket (a PCAN-USB appears as can0 through
// the kernel's peak_usb driver). Bit rate and bus state go through libsocketcan.
#include "socketcan_backend.h"

#include <fcntl.h>
#include <libsocketcan.h>
#include <linux/can.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

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
        unsigned idx = ::if_nametoindex(ifn.c_str());
        if (idx == 0) {
            ::close(fd);
            err = "CAN interface " + ifn + " not found: plug in the adapter (modprobe peak_usb), "
                  "or set TAVELIN_BUS";
            return false;
        }
        if (!checkBitrate(fd, bitrate, err)) {
            ::close(fd);
            return false;
        }
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(idx);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
            err = "cannot bind to " + ifn + " (" + std::strerror(errno) + ")";
            ::close(fd);
            return false;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        fd_ = fd;
        lost_ = false;
        stop_ = false;
        reader_ = std::thread([this] { readLoop(); });
        return true;
    }

    WriteResult write(const wire::Frame& f) override
    {
        if (fd_ < 0)
            return WriteResult::Lost;
        can_frame cf{};
        cf.can_id = canIdOf(f);
        cf.can_dlc = f.dlc;
        std::memcpy(cf.data, f.data, 8);
        ssize_t n = ::write(fd_, &cf, sizeof cf);
        if (n == static_cast<ssize_t>(sizeof cf))
            return WriteResult::Ok;
        if (n < 0 && (errno == ENOBUFS || errno == EAGAIN))
            return WriteResult::Full;
        return WriteResult::Lost;
    }

    BusState state() override
    {
        if (fd_ < 0 || lost_)
            return BusState::Lost;
        int st = 0;
        if (::can_get_state(url_.bus.c_str(), &st) == 0)
            return busStateOfSocketCan(st);
        // Virtual interfaces (vcan) have no controller state: up means OK.
        return interfaceUp(fd_) ? BusState::Ok : BusState::Lost;
    }

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
    std::atomic<bool> lost_{false};
    std::atomic<bool> stop_{false};
    std::thread reader_;

    bool interfaceUp(int fd)
    {
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, url_.bus.c_str(), IFNAMSIZ - 1);
        return ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP);
    }

    bool checkBitrate(int fd, uint32_t bitrate, std::string& err)
    {
        const std::string& ifn = url_.bus;
        can_bittiming bt{};
        if (::can_get_bittiming(ifn.c_str(), &bt) != 0) {
            // No bit timing: a virtual interface; only its state matters.
            if (!interfaceUp(fd)) {
                err = "CAN interface " + ifn + " is down: run 'ip link set " + ifn + " up'";
                return false;
            }
            return true;
        }
        if (bt.bitrate == bitrate && interfaceUp(fd))
            return true;
        // Reconfiguring needs CAP_NET_ADMIN; try, and say what to run if it fails.
        if (::can_do_stop(ifn.c_str()) == 0 && ::can_set_bitrate(ifn.c_str(), bitrate) == 0 &&
            ::can_do_start(ifn.c_str()) == 0)
            return true;
        if (!interfaceUp(fd))
            err = "CAN interface " + ifn + " is down: run '" + ipLinkCommand(ifn, bitrate) + "'";
        else
            err = "CAN interface " + ifn + " runs at " + std::to_string(bt.bitrate) +
                  " bit/s, not " + std::to_string(bitrate) + ": run '" + ipLinkCommand(ifn, bitrate) + "'";
        return false;
    }

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
                lost_ = true;
                return;
            }
            wire::Frame f;
            if (!frameOfCanId(cf.can_id, f))
                continue;
            f.dlc = cf.can_dlc > 8 ? 8 : cf.can_dlc;
            std::memcpy(f.data, cf.data, 8);
            sink_(f);
        }
    }
};

}  // namespace

std::unique_ptr<Backend> makeSocketCanBackend(const BusUrl& url, Backend::Sink sink)
{
    return std::make_unique<SocketCanBackend>(url, std::move(sink));
}

}  // namespace pcan
