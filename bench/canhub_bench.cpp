// Throughput and latency of the virtual bus through libpcanbasic:
//   1. frames per second, unpaced, one writer process and one reader process
//   2. request/response round-trip time (the reader echoes each frame)
//   3. with --bitrate 250: the delivered frame rate as a share of the wire limit
// Usage: canhub_bench [frames]   (canhub is taken from $TAVELIN_BIN or ./)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "PCANBasic.h"
#include "frame_timing.h"
#include "process.h"

using Clock = std::chrono::steady_clock;

namespace {

TPCANMsg frame(uint32_t n)
{
    TPCANMsg m{};
    m.ID = 0x18DAF922;
    m.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    m.LEN = 8;
    std::memcpy(m.DATA, &n, 4);
    m.DATA[4] = 0x55;
    return m;
}

bool join(const std::string& url)
{
    ::setenv("TAVELIN_BUS", url.c_str(), 1);
    return CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0) == PCAN_ERROR_OK;
}

bool readFrame(TPCANMsg& m, int limitMs)
{
    TPCANTimestamp ts;
    auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (Clock::now() < end)
        if (CAN_Read(PCAN_USBBUS1, &m, &ts) == PCAN_ERROR_OK)
            return true;
    return false;
}

void write(TPCANMsg m)
{
    while (CAN_Write(PCAN_USBBUS1, &m) != PCAN_ERROR_OK)
        std::this_thread::yield();
}

// Child: counts frames (mode 'c') or echoes them (mode 'e'); reports on fd.
[[noreturn]] void reader(const std::string& url, char mode, uint32_t frames, int fd)
{
    if (!join(url))
        _exit(1);
    char ready = 'r';
    (void)!::write(fd, &ready, 1);
    TPCANMsg m;
    uint32_t got = 0;
    Clock::time_point first{}, last{};
    while (got < frames && readFrame(m, 10000)) {
        if (got == 0)
            first = Clock::now();
        last = Clock::now();
        ++got;
        if (mode == 'e') {
            m.ID = 0x18DA22F9;
            write(m);
        }
    }
    double secs = std::chrono::duration<double>(last - first).count();
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%u %.6f", got, secs);
    (void)!::write(fd, buf, static_cast<std::size_t>(n));
    CAN_Uninitialize(PCAN_USBBUS1);
    _exit(0);
}

pid_t startReader(const std::string& url, char mode, uint32_t frames, int& rfd)
{
    int p[2];
    if (::pipe(p) != 0)
        std::exit(1);
    // The child joins the bus on its own: the parent must not hold the
    // channel across the fork (its back-end thread would not follow).
    CAN_Uninitialize(PCAN_USBBUS1);
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        reader(url, mode, frames, p[1]);
    }
    ::close(p[1]);
    char c;
    if (::read(p[0], &c, 1) != 1) {
        std::fprintf(stderr, "reader did not join the bus\n");
        std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the hub's hold after rawmode
    rfd = p[0];
    return pid;
}

void result(int fd, pid_t pid, uint32_t& got, double& secs)
{
    char buf[64] = {};
    (void)!::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    ::waitpid(pid, nullptr, 0);
    std::sscanf(buf, "%u %lf", &got, &secs);
}

}  // namespace

int main(int argc, char** argv)
{
    const uint32_t frames = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 50000;
    testbench::Hub hub;
    if (!hub.start()) {
        std::fprintf(stderr, "cannot start canhub (set TAVELIN_BIN)\n");
        return 1;
    }
    // 1. throughput, unpaced
    int fd;
    pid_t pid = startReader(hub.url, 'c', frames, fd);
    join(hub.url);
    for (uint32_t i = 0; i < frames; ++i)
        write(frame(i));
    uint32_t got;
    double secs;
    result(fd, pid, got, secs);
    std::printf("unpaced throughput: %u of %u frames in %.3f s = %.0f frames/s\n", got, frames, secs,
                secs > 0 ? got / secs : 0.0);

    // 2. round trip
    const int trips = 2000;
    pid = startReader(hub.url, 'e', trips, fd);
    join(hub.url);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<double> rtt;
    TPCANMsg m;
    for (int i = 0; i < trips; ++i) {
        auto t0 = Clock::now();
        write(frame(static_cast<uint32_t>(i)));
        bool ok = false;
        while (readFrame(m, 2000))
            if (m.ID == 0x18DA22F9) {
                ok = true;
                break;
            }
        if (!ok)
            break;
        rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    result(fd, pid, got, secs);
    std::sort(rtt.begin(), rtt.end());
    if (!rtt.empty())
        std::printf("round trip (write, echo, read) over %zu exchanges: median %.0f us, 99th percentile %.0f us\n",
                    rtt.size(), rtt[rtt.size() / 2], rtt[rtt.size() * 99 / 100]);
    CAN_Uninitialize(PCAN_USBBUS1);
    hub.p.stop();

    // 3. paced at 250 kbit/s
    testbench::Hub paced;
    paced.start({"--bitrate", "250"});
    const uint32_t pacedFrames = 3000;
    pid = startReader(paced.url, 'c', pacedFrames, fd);
    join(paced.url);
    double bits = 0;
    for (uint32_t i = 0; i < pacedFrames; ++i) {
        TPCANMsg f = frame(i);
        wire::Frame w;
        w.id = f.ID;
        w.extended = true;
        w.dlc = 8;
        std::memcpy(w.data, f.DATA, 8);
        bits += canhub::frameBits(w);
        write(f);
    }
    result(fd, pid, got, secs);
    const double wire = 250000.0 / (bits / pacedFrames);
    const double rate = secs > 0 ? (got - 1) / secs : 0;
    std::printf("paced at 250 kbit/s: %.0f frames/s delivered, wire limit %.0f frames/s (%.1f bits a frame), ratio %.3f\n",
                rate, wire, bits / pacedFrames, rate / wire);
    CAN_Uninitialize(PCAN_USBBUS1);
    return 0;
}
