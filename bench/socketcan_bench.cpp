// What the kernel and libpcanbasic do with frames a stalled CAN driver does not
// take, on a real controller (run as root in the test VM, tests/vm/vm-run):
//   1. frames a raw socket can hand to the kernel before it refuses one, for
//      several SO_SNDBUF values (the value the kernel then reports)
//   2. wake-ups per second of the library's threads while the driver takes a
//      frame only every 250 ms
//   3. frames written before CAN_Reset that still leave after it
//   4. how long CAN_Uninitialize takes, over 20 open/close cycles
// Usage: socketcan_bench IFNAME PEER   (both controllers of one bus)
// Run it with LD_LIBRARY_PATH pointing at another libpcanbasic.so to compare.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "PCANBasic.h"
#include "process.h"

using Clock = std::chrono::steady_clock;

namespace {

std::string ifn, peer;

void sh(const std::string& cmd)
{
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
}

// tc's token bucket on IFNAME's queue: the pace at which the "driver" takes frames.
void pace(const char* rate) { sh("tc qdisc replace dev " + ifn + " root tbf rate " + rate + " burst 32 limit 160"); }
void restart() { sh("ip link set " + ifn + " down && ip link set " + ifn + " up"); }

int rawSocket(const std::string& name, bool nonblocking)
{
    int fd = ::socket(PF_CAN, SOCK_RAW | (nonblocking ? SOCK_NONBLOCK : 0), CAN_RAW);
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = static_cast<int>(::if_nametoindex(name.c_str()));
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

// Frame number N (its first two data bytes, in host order) through the library.
TPCANStatus send(uint16_t n)
{
    TPCANMsg w{0x18DA22F9, PCAN_MESSAGE_EXTENDED, 2, {}};
    std::memcpy(w.DATA, &n, sizeof n);
    return CAN_Write(PCAN_USBBUS1, &w);
}

void kernelShare()
{
    for (int asked : {-1, 0, 2048, 8192, 32768}) {
        restart();
        pace("8bit");  // a frame every 16 s: a stall
        int fd = rawSocket(ifn, true);
        if (asked >= 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &asked, sizeof asked);
        int got = 0;
        socklen_t len = sizeof got;
        ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &got, &len);
        can_frame cf{};
        cf.can_id = 0x18DA22F9 | CAN_EFF_FLAG;
        cf.can_dlc = 8;
        int n = 0;
        while (n < 100000 && ::write(fd, &cf, sizeof cf) == static_cast<ssize_t>(sizeof cf))
            ++n;
        const int e = errno;
        pollfd p{fd, POLLOUT, 0};
        const int writable = ::poll(&p, 1, 0);
        std::printf("SO_SNDBUF asked %6d, kernel %6d: %3d frames taken, then %s; POLLOUT %s\n", asked, got, n,
                    std::strerror(e), writable > 0 ? "set" : "clear");
        ::close(fd);
    }
    restart();
    pace("246kbit");
}

void wakeUpsWhileFull()
{
    pace("512bit");  // 16 bytes per 250 ms
    for (uint16_t i = 0; i < 200; ++i)
        send(i);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long w0 = testbench::contextSwitches();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("driver taking a frame every 250 ms: %.0f wake-ups/s (all threads)\n", (testbench::contextSwitches() - w0 - 1) / s);
    CAN_Reset(PCAN_USBBUS1);
    pace("246kbit");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long i0 = testbench::contextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("idle open channel: %.1f wake-ups/s\n", (testbench::contextSwitches() - i0 - 1) / 2.0);
}

void afterReset()
{
    int rx = rawSocket(peer, false);
    pace("8bit");
    for (uint16_t i = 0; i < 30; ++i)
        send(i);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    CAN_Reset(PCAN_USBBUS1);
    // The first write after frames were dropped reports the loss instead.
    if (send(0xFFFF) != PCAN_ERROR_OK)
        std::printf("the write after the reset reported a loss; written again: %#x\n", send(0xFFFF));
    const auto t0 = Clock::now();
    pace("246kbit");
    // tbf keeps the wake-up it set at the old rate: a frame from another
    // socket sets it going again, as a real driver's interrupt would.
    int kick = rawSocket(ifn, true);
    can_frame k{};
    k.can_id = 0x7FF;
    (void)!::write(kick, &k, sizeof k);
    ::close(kick);
    int before = 0;
    double lastMs = 0;
    for (;;) {
        pollfd p{rx, POLLIN, 0};
        can_frame cf{};
        if (::poll(&p, 1, 20000) != 1 || ::read(rx, &cf, sizeof cf) != sizeof cf) {
            std::printf("the marker never came\n");
            break;
        }
        if (cf.can_id == 0x7FF)
            continue;
        uint16_t n = 0;
        std::memcpy(&n, cf.data, sizeof n);
        if (n == 0xFFFF)
            break;
        ++before;
        lastMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    }
    std::printf("frames written before CAN_Reset that left after it: %d (the last %.0f ms after the release)\n",
                before, lastMs);
    ::close(rx);
}

void closing()
{
    double worst = 0, sum = 0;
    for (int i = 0; i < 20; ++i) {
        CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(37 * (i % 6)));
        const auto t0 = Clock::now();
        CAN_Uninitialize(PCAN_USBBUS1);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        worst = std::max(worst, ms);
        sum += ms;
    }
    std::printf("CAN_Uninitialize over 20 cycles: mean %.1f ms, longest %.1f ms\n", sum / 20, worst);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: socketcan_bench IFNAME PEER\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ifn = argv[1];
    peer = argv[2];
    sh("ip link set " + ifn + " down; ip link set " + ifn + " up type can bitrate 250000");
    sh("ip link set " + peer + " down; ip link set " + peer + " up type can bitrate 250000");
    kernelShare();
    ::setenv("TAVELIN_BUS", ("socketcan://" + ifn).c_str(), 1);
    if (CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0) != PCAN_ERROR_OK)
        return 1;
    wakeUpsWhileFull();
    afterReset();
    CAN_Uninitialize(PCAN_USBBUS1);
    closing();
    return 0;
}
