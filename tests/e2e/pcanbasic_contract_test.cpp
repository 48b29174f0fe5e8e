// The PCAN-Basic contract of libpcanbasic over a canhub that the test starts,
// and brivex/kwp on the real stack.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/isotp.h>
#include <linux/can/raw.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PCANBasic.h"
#include "brivex.h"
#include "kwp.h"
#include "process.h"
#include "raw_client.h"

using namespace testbench;

namespace {

bool readOne(TPCANMsg& m, TPCANTimestamp& ts, int limitMs = 5000)
{
    return waitUntil([&] { return CAN_Read(PCAN_USBBUS1, &m, &ts) == PCAN_ERROR_OK; }, limitMs);
}

// CAN_Initialize may return before the link is up: wait until it is.
bool linkUp() { return waitUntil([] { return CAN_GetStatus(PCAN_USBBUS1) == PCAN_ERROR_OK; }); }

// The window's status poll: the status, and on a bad one CAN_Reset and
// CAN_Initialize, run until a condition holds. Keeps what it printed on
// stderr, the last CAN_Initialize result and the longest a single call took.
struct StatusPoll {
    std::string err;
    TPCANStatus init = PCAN_ERROR_OK;
    long longestMs = 0;

    template <class F>
    auto timed(F call)
    {
        auto t0 = std::chrono::steady_clock::now();
        auto r = call();
        longestMs = std::max<long>(longestMs, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - t0).count());
        return r;
    }
    bool until(const std::function<bool()>& cond)
    {
        return waitUntil([&] {
            testing::internal::CaptureStderr();
            if (timed([] { return CAN_GetStatus(PCAN_USBBUS1); }) != PCAN_ERROR_OK) {
                timed([] { return CAN_Reset(PCAN_USBBUS1); });
                init = timed([] { return CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0); });
            }
            err += testing::internal::GetCapturedStderr();
            return cond();
        });
    }
    bool times(int n) { return until([&] { return --n <= 0; }); }
};

// A TCP listener on 127.0.0.1 that the test serves itself, or never: the
// kernel accepts connections into its backlog, and nobody greets them.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    explicit Listener(int at = 0, int rcvbuf = 0)
    {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (rcvbuf)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(at));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 8) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener() { close(); }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    std::string url() const { return "socketcand://127.0.0.1:" + std::to_string(port) + "/vcan0"; }
};

TEST(PcanContract, RefusesCallsOnAChannelNotInitialised)
{
    TPCANMsg m{};
    TPCANTimestamp ts;
    BYTE v = PCAN_FILTER_OPEN;
    EXPECT_EQ(CAN_Read(PCAN_USBBUS1, &m, &ts), PCAN_ERROR_INITIALIZE);
    EXPECT_EQ(CAN_Write(PCAN_USBBUS1, &m), PCAN_ERROR_INITIALIZE);
    EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_INITIALIZE);
    EXPECT_EQ(CAN_Reset(PCAN_USBBUS1), PCAN_ERROR_INITIALIZE);
    EXPECT_EQ(CAN_Uninitialize(PCAN_USBBUS1), PCAN_ERROR_INITIALIZE);
    EXPECT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_MESSAGE_FILTER, &v, 1), PCAN_ERROR_INITIALIZE);
    EXPECT_EQ(CAN_Initialize(0x52, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_ILLHANDLE);
    EXPECT_EQ(CAN_Read(0x41, &m, &ts), PCAN_ERROR_ILLHANDLE);
    EXPECT_EQ(CAN_Initialize(PCAN_USBBUS1, 0x1234, 0, 0, 0), PCAN_ERROR_ILLPARAMVAL);
}

TEST(PcanContract, UnreachableBusOrBadUrlFailsWithOneLineOfAdvice)
{
    for (const char* url : {"socketcand://127.0.0.1:1/vcan0", "bogus://x", "socketcan://nosuchcan9"}) {
        ::setenv("TAVELIN_BUS", url, 1);
        testing::internal::CaptureStderr();
        EXPECT_NE(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK) << url;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_INITIALIZE);
    }
}

struct OverHub : ::testing::Test {
    Hub hub;
    void SetUp() override
    {
        ASSERT_TRUE(hub.start());
        ::setenv("TAVELIN_BUS", hub.url.c_str(), 1);
        ASSERT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
        ASSERT_TRUE(linkUp());
    }
    void TearDown() override { CAN_Uninitialize(PCAN_USBBUS1); }
};

TEST_F(OverHub, FramesBothWaysWithoutOwnEchoAndWithTimestamps)
{
    RawClient peer;
    ASSERT_TRUE(peer.connect(hub.port));
    EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_OK);
    peer.sendFrame(frame(0x18DAF922, {0x02, 0x7E, 0x00}));
    peer.sendFrame(frame(0x123, {0xAA}, false));
    TPCANMsg m;
    TPCANTimestamp t1, t2;
    ASSERT_TRUE(readOne(m, t1));
    EXPECT_EQ(m.ID, 0x18DAF922u);
    EXPECT_EQ(m.MSGTYPE, PCAN_MESSAGE_EXTENDED);
    EXPECT_EQ(m.LEN, 3);
    EXPECT_EQ(m.DATA[1], 0x7E);
    ASSERT_TRUE(readOne(m, t2));
    EXPECT_EQ(m.ID, 0x123u);
    EXPECT_EQ(m.MSGTYPE, PCAN_MESSAGE_STANDARD);
    EXPECT_GE(uint64_t(t2.millis) * 1000 + t2.micros, uint64_t(t1.millis) * 1000 + t1.micros);

    TPCANMsg w{};
    w.ID = 0x18DA22F9;
    w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    w.LEN = 8;
    w.DATA[0] = 0x01;
    w.DATA[1] = 0x3E;
    ASSERT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_OK);
    auto got = peer.nextFrame(5000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->id, 0x18DA22F9u);
    EXPECT_EQ(got->dlc, 8);
    // The peer's echo of nothing: our own frame never comes back to us.
    peer.sendFrame(frame(0x18DAF922, {0x01}));
    ASSERT_TRUE(readOne(m, t1));
    EXPECT_EQ(m.ID, 0x18DAF922u);
    w.LEN = 9;
    EXPECT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_ILLPARAMVAL);
}

TEST_F(OverHub, AcceptanceFilter)
{
    RawClient peer;
    ASSERT_TRUE(peer.connect(hub.port));
    BYTE v = PCAN_FILTER_CLOSE;
    ASSERT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_MESSAGE_FILTER, &v, 1), PCAN_ERROR_OK);
    ASSERT_EQ(CAN_FilterMessages(PCAN_USBBUS1, 0x18DAF922, 0x18DAF922, PCAN_MODE_EXTENDED), PCAN_ERROR_OK);
    v = PCAN_FILTER_CUSTOM;
    ASSERT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_MESSAGE_FILTER, &v, 1), PCAN_ERROR_OK);
    peer.sendFrame(frame(0x18DAF923, {1}));
    peer.sendFrame(frame(0x18EEFF22, {2}));
    peer.sendFrame(frame(0x022, {3}, false));
    peer.sendFrame(frame(0x18DAF922, {4}));
    TPCANMsg m;
    TPCANTimestamp ts;
    ASSERT_TRUE(readOne(m, ts));
    EXPECT_EQ(m.ID, 0x18DAF922u);
    EXPECT_EQ(m.DATA[0], 4);
    EXPECT_EQ(CAN_Read(PCAN_USBBUS1, &m, &ts), PCAN_ERROR_QRCVEMPTY);
    // Open again: everything passes; CAN_Reset empties the queue.
    v = PCAN_FILTER_OPEN;
    ASSERT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_MESSAGE_FILTER, &v, 1), PCAN_ERROR_OK);
    peer.sendFrame(frame(0x18DAF923, {5}));
    peer.sendFrame(frame(0x18DAF924, {6}));
    ASSERT_TRUE(readOne(m, ts));
    EXPECT_EQ(m.DATA[0], 5);
    ASSERT_TRUE(waitUntil([&] {
        peer.sendFrame(frame(0x18DAF925, {7}));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return true;
    }));
    EXPECT_EQ(CAN_Reset(PCAN_USBBUS1), PCAN_ERROR_OK);
    EXPECT_EQ(CAN_Read(PCAN_USBBUS1, &m, &ts), PCAN_ERROR_QRCVEMPTY);
}

// The parameters and calls a client written for the maker's library uses:
// its error codes, and never a byte written past the caller's buffer.
TEST_F(OverHub, ParametersAnswerTheMakersCodesWithinTheCallersBuffer)
{
    char text[256];
    ASSERT_EQ(CAN_GetValue(PCAN_NONEBUS, PCAN_API_VERSION, text, sizeof text), PCAN_ERROR_OK);
    EXPECT_STREQ(text, "4.4.0");
    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(CAN_GetValue(PCAN_NONEBUS, PCAN_API_VERSION, small, 3), PCAN_ERROR_ILLPARAMVAL);
    BYTE dword[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_ALLOW_ERROR_FRAMES, dword, 3), PCAN_ERROR_ILLPARAMVAL);
    EXPECT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_BUSSPEED_NOMINAL, dword, 2), PCAN_ERROR_ILLPARAMVAL);
    EXPECT_EQ(std::string(small, sizeof small), std::string(sizeof small, '#'));
    EXPECT_EQ((std::vector<int>(dword, dword + 4)), (std::vector<int>(4, 0xEE)));

    DWORD v = 0;
    EXPECT_EQ(CAN_GetValue(PCAN_USBBUS1, 0x99, &v, sizeof v), PCAN_ERROR_ILLPARAMTYPE);
    EXPECT_EQ(CAN_SetValue(PCAN_USBBUS1, 0x99, &v, sizeof v), PCAN_ERROR_ILLPARAMTYPE);
    EXPECT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_ALLOW_ERROR_FRAMES, &v, 2), PCAN_ERROR_ILLPARAMVAL);
    v = 2;
    EXPECT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_ALLOW_ERROR_FRAMES, &v, sizeof v), PCAN_ERROR_ILLPARAMVAL);
    EXPECT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_BUSSPEED_NOMINAL, &v, sizeof v), PCAN_ERROR_OK);
    EXPECT_EQ(v, 250000u);
    EXPECT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_CHANNEL_CONDITION, &v, sizeof v), PCAN_ERROR_OK);
    EXPECT_EQ(v, PCAN_CHANNEL_OCCUPIED);
    EXPECT_EQ(CAN_GetValue(0x52, PCAN_CHANNEL_CONDITION, &v, sizeof v), PCAN_ERROR_OK);
    EXPECT_EQ(v, PCAN_CHANNEL_UNAVAILABLE);

    // Settings last until the channel is closed; a new one starts from the defaults.
    v = PCAN_PARAMETER_ON;
    ASSERT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_ALLOW_ERROR_FRAMES, &v, sizeof v), PCAN_ERROR_OK);
    v = 0;
    ASSERT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_ALLOW_ERROR_FRAMES, &v, sizeof v), PCAN_ERROR_OK);
    EXPECT_EQ(v, PCAN_PARAMETER_ON);
    ASSERT_EQ(CAN_Uninitialize(PCAN_USBBUS1), PCAN_ERROR_OK);
    EXPECT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_CHANNEL_CONDITION, &v, sizeof v), PCAN_ERROR_OK);
    EXPECT_EQ(v, PCAN_CHANNEL_AVAILABLE);
    EXPECT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_ALLOW_ERROR_FRAMES, &v, sizeof v), PCAN_ERROR_INITIALIZE);
    ASSERT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_OK);
    ASSERT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_ALLOW_ERROR_FRAMES, &v, sizeof v), PCAN_ERROR_OK);
    EXPECT_EQ(v, PCAN_PARAMETER_OFF);
    WORD btr = 0;
    ASSERT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_BITRATE_INFO, &btr, sizeof btr), PCAN_ERROR_OK);
    EXPECT_EQ(btr, PCAN_BAUD_500K);

    // The device id, and the channel looked up by it.
    v = 42;
    ASSERT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_DEVICE_ID, &v, sizeof v), PCAN_ERROR_OK);
    TPCANHandle found = 0xEE;
    char byId[] = "devicetype=PCAN_USB, deviceid=42";
    ASSERT_EQ(CAN_LookUpChannel(byId, &found), PCAN_ERROR_OK);
    EXPECT_EQ(found, PCAN_USBBUS1);
    char other[] = "deviceid=43";
    ASSERT_EQ(CAN_LookUpChannel(other, &found), PCAN_ERROR_OK);
    EXPECT_EQ(found, PCAN_NONEBUS);

    ASSERT_EQ(CAN_GetErrorText(PCAN_ERROR_QRCVEMPTY, 0x09, text), PCAN_ERROR_OK);
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_EQ(CAN_GetErrorText(PCAN_ERROR_QRCVEMPTY | PCAN_ERROR_BUSOFF, 0x09, text), PCAN_ERROR_ILLPARAMVAL);
    EXPECT_EQ(CAN_GetErrorText(PCAN_ERROR_OK, 0x99, text), PCAN_ERROR_ILLPARAMVAL);

    // A classic CAN channel: the FD calls are refused, and it stays open.
    TPCANMsgFD fd{};
    TPCANTimestampFD fdts = 0;
    char rate[] = "f_clock=80000000";
    EXPECT_EQ(CAN_InitializeFD(PCAN_USBBUS1, rate), PCAN_ERROR_ILLOPERATION);
    EXPECT_EQ(CAN_ReadFD(PCAN_USBBUS1, &fd, &fdts), PCAN_ERROR_ILLOPERATION);
    EXPECT_EQ(CAN_WriteFD(PCAN_USBBUS1, &fd), PCAN_ERROR_ILLOPERATION);
    EXPECT_EQ(CAN_WriteFD(0x52, &fd), PCAN_ERROR_ILLHANDLE);
    EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_OK);
}

TEST_F(OverHub, LostHubReportsBusOffAndReconnectsAfterResetAndInitialize)
{
    const int port = hub.port;
    hub.p.stop();
    ASSERT_TRUE(waitUntil([] { return CAN_GetStatus(PCAN_USBBUS1) == PCAN_ERROR_BUSOFF; }));
    TPCANMsg w{};
    w.ID = 0x18EEFFF9;
    w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    w.LEN = 8;
    EXPECT_NE(CAN_Write(PCAN_USBBUS1, &w) & ~PCAN_ERROR_ANYBUSERR, 0u);  // not handed over
    // The poll re-initialises in vain, and says so once however often it
    // tries. (Re-opening runs in the background, so the failure shows in a
    // later call than the one that started the attempt.)
    StatusPoll poll;
    int more = 20;
    ASSERT_TRUE(poll.until([&] { return poll.err.find('\n') != std::string::npos && --more == 0; }));
    EXPECT_NE(poll.init, PCAN_ERROR_OK);
    EXPECT_EQ(std::count(poll.err.begin(), poll.err.end(), '\n'), 1) << poll.err;
    // The hub returns: the same poll brings the link back.
    Hub again;
    again.port = port;
    ASSERT_TRUE(again.start());
    ASSERT_TRUE(poll.until([] { return CAN_GetStatus(PCAN_USBBUS1) == PCAN_ERROR_OK; }));
    RawClient peer;
    ASSERT_TRUE(peer.connect(port));
    peer.sendFrame(frame(0x18DAF922, {9}));
    TPCANMsg m;
    TPCANTimestamp ts;
    ASSERT_TRUE(readOne(m, ts));
    EXPECT_EQ(m.DATA[0], 9);
}

// A remote daemon that accepts and never answers must not freeze the caller
// (the window polls on its GUI thread): not on the first CAN_Initialize, not
// on the poll's re-initialisations of a lost link. The link reads as bus off
// until a real server appears on that port, then comes up through the poll.
TEST(PcanContract, AServerThatNeverGreetsBlocksNoCall)
{
    auto silent = std::make_unique<Listener>();
    ASSERT_GT(silent->port, 0);
    const int port = silent->port;
    ::setenv("TAVELIN_BUS", silent->url().c_str(), 1);
    StatusPoll poll;
    testing::internal::CaptureStderr();
    EXPECT_EQ(poll.timed([] { return CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0); }), PCAN_ERROR_OK);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_BUSOFF);
    TPCANMsg w{};
    w.ID = 0x18EEFFF9;
    w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    w.LEN = 8;
    EXPECT_NE(CAN_Write(PCAN_USBBUS1, &w) & ~PCAN_ERROR_ANYBUSERR, 0u);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first connection" : "lost link");
        ASSERT_TRUE(poll.times(20));
        EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_BUSOFF);
        silent.reset();
        Hub hub;
        hub.port = port;
        ASSERT_TRUE(hub.start());
        ASSERT_TRUE(poll.until([] { return CAN_GetStatus(PCAN_USBBUS1) == PCAN_ERROR_OK; }));
        EXPECT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_OK);
        // The hub goes, and the port answers no more than before.
        hub.p.stop();
        silent = std::make_unique<Listener>(port);
        ASSERT_EQ(silent->port, port);
        ASSERT_TRUE(waitUntil([] { return CAN_GetStatus(PCAN_USBBUS1) == PCAN_ERROR_BUSOFF; }));
    }
    EXPECT_LT(poll.longestMs, 500) << "a call blocked on the connection";
    CAN_Uninitialize(PCAN_USBBUS1);
}

// socketcand's side of the handshake for one client of SERVER, served on a
// thread while the caller initialises the channel; PEER then reads only when
// the test reads.
void serveHandshake(Listener& server, RawClient& peer, const std::function<void()>& initialise)
{
    std::thread daemon([&] {
        peer.adopt(::accept(server.fd, nullptr, nullptr));
        peer.send("< hi >");
        EXPECT_EQ(peer.next(5000), "< open vcan0 >");
        peer.send("< ok >");
        EXPECT_EQ(peer.next(5000), "< rawmode >");
        peer.send("< ok >");
    });
    initialise();
    daemon.join();
}

// Writes numbered frames until one is refused: how many were accepted, and
// the refusal. Each call timed by POLL.
std::pair<uint32_t, TPCANStatus> writeUntilRefused(StatusPoll& poll)
{
    TPCANMsg w{};
    w.ID = 0x18DA22F9;
    w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    w.LEN = 8;
    uint32_t sent = 0;
    TPCANStatus r = PCAN_ERROR_OK;
    for (; sent < 10000000; ++sent) {
        std::memcpy(w.DATA, &sent, 4);
        if ((r = poll.timed([&] { return CAN_Write(PCAN_USBBUS1, &w); })) != PCAN_ERROR_OK)
            break;
    }
    return {sent, r};
}

// A peer that stops reading fills the connection, then the library's queue:
// meanwhile no call waits for it (the window makes them on its thread): a
// frame that finds the queue full is refused at once as queue full, and the
// status answers at once from another thread. The link is not lost, and once
// the peer reads again every frame that was accepted arrives whole and in
// order.
TEST(PcanContract, APeerThatStopsReadingIsSlowNotLost)
{
    Listener server(0, 4096);
    ASSERT_GT(server.port, 0);
    ::setenv("TAVELIN_BUS", server.url().c_str(), 1);
    RawClient peer;
    serveHandshake(server, peer, [] { ASSERT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK); });
    ASSERT_TRUE(linkUp());
    StatusPoll writes, status;
    std::atomic<bool> writing{true};
    std::thread window([&] {
        while (writing)
            status.timed([] { return CAN_GetStatus(PCAN_USBBUS1); });
    });
    auto [sent, r] = writeUntilRefused(writes);
    EXPECT_EQ(r, PCAN_ERROR_QXMTFULL);
    TPCANMsg w{};
    w.ID = 0x18DA22F9;
    w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    w.LEN = 8;
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(writes.timed([&] { return CAN_Write(PCAN_USBBUS1, &w); }), PCAN_ERROR_QXMTFULL);
    writing = false;
    window.join();
    EXPECT_LT(writes.longestMs, 500) << "CAN_Write waited for the peer";
    EXPECT_LT(status.longestMs, 500) << "CAN_GetStatus waited for a writer";
    EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_OK);
    for (uint32_t i = 0; i < sent; ++i) {
        std::string m = peer.next(5000);
        wire::Frame f;
        std::string why;
        ASSERT_TRUE(wire::parseSend(m, f, why)) << i << ": " << m << " " << why;
        uint32_t n;
        std::memcpy(&n, f.data, 4);
        ASSERT_EQ(n, i);
    }
    std::memcpy(w.DATA, &sent, 4);
    EXPECT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_OK);
    EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_OK);
    CAN_Uninitialize(PCAN_USBBUS1);
}

// Frames that wait a second without the peer taking any are dropped, and the
// loss is said: once to CAN_GetStatus and once to the next write (a failed
// send for kwp), which is refused, with one line giving the count. The next
// write is accepted again.
TEST(PcanContract, FramesDroppedAfterAStallAreReportedOnce)
{
    Listener server(0, 4096);
    ASSERT_GT(server.port, 0);
    ::setenv("TAVELIN_BUS", server.url().c_str(), 1);
    RawClient peer;
    testing::internal::CaptureStdout();
    serveHandshake(server, peer, [] { ASSERT_EQ(InitHWInterface(250, 0x22), 0); });
    ASSERT_TRUE(linkUp());
    StatusPoll poll;
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeUntilRefused(poll).second, PCAN_ERROR_QXMTFULL);
    TPCANStatus s = PCAN_ERROR_OK;
    ASSERT_TRUE(waitUntil([&] { return (s = CAN_GetStatus(PCAN_USBBUS1)) != PCAN_ERROR_OK; }));
    EXPECT_EQ(s, PCAN_ERROR_XMTFULL);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("frames dropped unsent"), std::string::npos) << err;
    EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_OK);  // said once
    static KWP_msg_T msg;
    msg.SID = 0x3E;
    msg.len = 2;
    EXPECT_NE(KWPonCAN_Send(1, 0x18DA22F9, &msg), 0) << "the loss was not reported to the sender";
    EXPECT_EQ(KWPonCAN_Send(1, 0x18DA22F9, &msg), 0);
    testing::internal::GetCapturedStdout();
    CAN_Uninitialize(PCAN_USBBUS1);
}

TEST_F(OverHub, BrivexAndKwpOnTheRealStack)
{
    CAN_Uninitialize(PCAN_USBBUS1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(InitHWInterface(250, 0x22), 0);
    ASSERT_TRUE(linkUp());
    RawClient ecu;
    ASSERT_TRUE(ecu.connect(hub.port));
    // A frame from another process arrives through ReceiveCANMessage.
    ecu.sendFrame(frame(0x18DAF933, {1}));  // filtered by the adapter
    ecu.sendFrame(frame(0x18DAF922, {0x02, 0x7E, 0x00}));
    CAN_msg_T r{};
    ASSERT_EQ(ReceiveCANMessage(&r, 5000), 0);
    EXPECT_EQ(r.ID, 0x18DAF922u);
    EXPECT_EQ(r.type, 2);

    // A 1101-byte message reassembled by an independent ISO-TP receiver.
    static KWP_msg_T big;
    big.SID = 0x36;
    big.len = 1101;
    for (int i = 0; i < 1100; ++i)
        big.payload[i] = static_cast<uint8_t>(i * 7);
    std::thread receiver([&] {
        auto ff = ecu.nextFrame(5000);
        ASSERT_TRUE(ff);
        EXPECT_EQ(ff->data[0], 0x14);
        EXPECT_EQ(ff->data[1], 0x4D);
        EXPECT_EQ(ff->data[2], 0x36);
        EXPECT_EQ(ff->data[7], big.payload[4]);
        ecu.sendFrame(frame(0x18DAF922, {0x30, 0x00, 0x00, 0, 0, 0, 0, 0}));
    });
    // The first frame goes out before the receiver answers; collect afterwards.
    std::thread sender([&] { EXPECT_EQ(KWPonCAN_Send(1, 0x18DA22F9, &big), 0); });
    receiver.join();
    sender.join();
    testing::internal::GetCapturedStdout();
    std::vector<uint8_t> body;
    uint8_t seq = 1;
    while (body.size() < 1100 - 5) {
        auto cf = ecu.nextFrame(5000);
        ASSERT_TRUE(cf);
        ASSERT_EQ(cf->data[0], 0x20 | seq);
        seq = (seq + 1) & 0x0F;
        body.insert(body.end(), cf->data + 1, cf->data + 8);
    }
    body.resize(1095);
    for (int i = 0; i < 1095; ++i)
        ASSERT_EQ(body[i], big.payload[5 + i]) << i;
    EXPECT_FALSE(ecu.nextFrame(200));  // nothing more
}

// With the maker's conventions (TAVELIN_PCAN_MAKER=1) and a bus held in the
// heavy state: reads and writes carry the state with their message or frame,
// a status message announces the state, CAN_Initialize leaves an open channel
// as it is and CAN_Reset only empties the queues.
struct MakerOverHub : ::testing::Test {
    Hub hub;
    void SetUp() override
    {
        ASSERT_TRUE(hub.start());
        ::setenv("TAVELIN_BUS", hub.url.c_str(), 1);
        ::setenv("TAVELIN_PCAN_MAKER", "1", 1);
    }
    void TearDown() override
    {
        CAN_Uninitialize(PCAN_USBBUS1);
        ::unsetenv("TAVELIN_PCAN_MAKER");
        ::unsetenv("TAVELIN_PCAN_BUS_STATE");
    }
};

TEST_F(MakerOverHub, BusStateComesWithMessagesAndWritesAndResetOnlyEmptiesQueues)
{
    ::setenv("TAVELIN_PCAN_BUS_STATE", "heavy", 1);
    ASSERT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
    ASSERT_TRUE(waitUntil([] { return CAN_GetStatus(PCAN_USBBUS1) == PCAN_ERROR_BUSHEAVY; }));
    RawClient peer;
    ASSERT_TRUE(peer.connect(hub.port));
    peer.sendFrame(frame(0x18DAF922, {0x02, 0x7E, 0x00}));
    TPCANMsg m{};
    TPCANTimestamp ts;
    TPCANStatus r = PCAN_ERROR_QRCVEMPTY;
    TPCANStatus lastAnnounced = PCAN_ERROR_OK;
    ASSERT_TRUE(waitUntil([&] {
        r = CAN_Read(PCAN_USBBUS1, &m, &ts);
        if ((r & ~PCAN_ERROR_ANYBUSERR) == 0 && m.MSGTYPE == PCAN_MESSAGE_STATUS)
            lastAnnounced = TPCANStatus(m.DATA[0]) << 24 | m.DATA[1] << 16 | m.DATA[2] << 8 | m.DATA[3];
        return (r & ~PCAN_ERROR_ANYBUSERR) == 0 && m.MSGTYPE == PCAN_MESSAGE_EXTENDED;
    }));
    EXPECT_EQ(r, PCAN_ERROR_BUSHEAVY);  // a frame, read in the heavy state
    EXPECT_EQ(m.ID, 0x18DAF922u);
    EXPECT_EQ(lastAnnounced, PCAN_ERROR_BUSHEAVY);
    TPCANMsg w{};
    w.ID = 0x18DA22F9;
    w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    w.LEN = 2;
    EXPECT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_BUSHEAVY);
    ASSERT_TRUE(peer.nextFrame(5000));

    EXPECT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_INITIALIZE);
    // A frame waits in the queue (the receive event says so); the reset drops it.
    int event = -1;
    ASSERT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_RECEIVE_EVENT, &event, sizeof event), PCAN_ERROR_OK);
    peer.sendFrame(frame(0x18DAF922, {0x01, 0x7E}));
    pollfd p{event, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(CAN_Reset(PCAN_USBBUS1), PCAN_ERROR_OK);
    EXPECT_EQ(CAN_Read(PCAN_USBBUS1, &m, &ts), PCAN_ERROR_QRCVEMPTY);
    EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_BUSHEAVY);  // still open
}

// The window's poll through brivex repairs a lost bus on the maker's terms:
// closed and opened again, with its filter.
TEST_F(MakerOverHub, BrivexPollRecoversALostBus)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(InitHWInterface(250, 0x22), 0);
    char text[10];
    ASSERT_TRUE(waitUntil([&] { return GetHWInterfaceStatus(text) == 0; }));
    const int port = hub.port;
    hub.p.stop();
    ASSERT_TRUE(waitUntil([&] { return GetHWInterfaceStatus(text) != 0 && std::strcmp(text, "BUS OFF") == 0; }));
    Hub again;
    again.port = port;
    ASSERT_TRUE(again.start());
    ASSERT_TRUE(waitUntil([&] { return GetHWInterfaceStatus(text) == 0; }));
    RawClient ecu;
    ASSERT_TRUE(ecu.connect(port));
    ecu.sendFrame(frame(0x18DAF933, {1}));  // another ECU: filtered again
    ecu.sendFrame(frame(0x18DAF922, {0x02, 0x7E, 0x00}));
    CAN_msg_T r{};
    ASSERT_EQ(ReceiveCANMessage(&r, 5000), 0);
    EXPECT_EQ(r.ID, 0x18DAF922u);
    DWORD filter = 0;
    ASSERT_EQ(CAN_GetValue(PCAN_USBBUS1, PCAN_MESSAGE_FILTER, &filter, sizeof filter), PCAN_ERROR_OK);
    EXPECT_EQ(filter, PCAN_FILTER_CUSTOM);
    testing::internal::GetCapturedStdout();
}

// The same contract on SocketCAN interfaces, where the kernel has them.
// TAVELIN_SOCKETCAN_PAIRS lists "IFNAME:PEER" pairs: the channel opens IFNAME,
// a raw socket on PEER plays the other node (the same interface for vcan, the
// other controller of the bus for a real one). Default "vcan0:vcan0"; a
// missing interface skips, or fails inside the test VM (TAVELIN_VM set).
struct SocketCanPair {
    std::string ifname, peer;
};

std::vector<SocketCanPair> socketCanPairs()
{
    const char* env = std::getenv("TAVELIN_SOCKETCAN_PAIRS");
    std::istringstream in(env && *env ? env : "vcan0:vcan0");
    std::vector<SocketCanPair> pairs;
    for (std::string item; in >> item;) {
        auto colon = item.find(':');
        pairs.push_back({item.substr(0, colon), colon == std::string::npos ? item : item.substr(colon + 1)});
    }
    return pairs;
}

bool haveInterface(const std::string& ifname)
{
    struct stat st;
    return ::stat(("/sys/class/net/" + ifname).c_str(), &st) == 0;
}

#define REQUIRE_INTERFACE(ifname)                                        \
    if (!haveInterface(ifname)) {                                        \
        if (std::getenv("TAVELIN_VM"))                                   \
            FAIL() << "no " << (ifname) << " in the test VM";            \
        GTEST_SKIP() << "no " << (ifname) << " on this machine";         \
    }

int rawSocket(const std::string& ifname)
{
    int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(::if_nametoindex(ifname.c_str()));
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool readWithin(int fd, void* buf, std::size_t len, int limitMs, ssize_t* got = nullptr)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, limitMs) != 1)
        return false;
    ssize_t n = ::read(fd, buf, len);
    if (got)
        *got = n;
    return n > 0;
}

// What the kernel reports of an interface, from "ip -details link show".
std::string ipDetails(const std::string& ifname)
{
    std::string out;
    if (FILE* p = ::popen(("ip -details link show " + ifname + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        ::pclose(p);
    }
    return out;
}

void setDown(const std::string& ifname)
{
    ASSERT_EQ(std::system(("ip link set " + ifname + " down").c_str()), 0);
}

TEST(PcanContractSocketCan, FramesBothWaysFromAnInterfaceThatStartsDownOrUp)
{
    for (const SocketCanPair& pair : socketCanPairs()) {
        SCOPED_TRACE(pair.ifname);
        REQUIRE_INTERFACE(pair.ifname);
        int peer = rawSocket(pair.peer);
        ASSERT_GE(peer, 0) << pair.peer;
        ::setenv("TAVELIN_BUS", ("socketcan://" + pair.ifname).c_str(), 1);
        testing::internal::CaptureStderr();
        TPCANStatus init = CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0);
        TPCANStatus status = CAN_GetStatus(PCAN_USBBUS1);
        // Nothing on stderr: no advice needed, and no library chatter.
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_EQ(init, PCAN_ERROR_OK);
        EXPECT_EQ(status, PCAN_ERROR_OK);
        can_frame cf{};
        cf.can_id = 0x18DAF922 | CAN_EFF_FLAG;
        cf.can_dlc = 3;
        cf.data[1] = 0x7E;
        ASSERT_EQ(::write(peer, &cf, sizeof cf), static_cast<ssize_t>(sizeof cf));
        TPCANMsg m;
        TPCANTimestamp ts;
        ASSERT_TRUE(readOne(m, ts));
        EXPECT_EQ(m.ID, 0x18DAF922u);
        EXPECT_EQ(m.MSGTYPE, PCAN_MESSAGE_EXTENDED);
        EXPECT_EQ(m.DATA[1], 0x7E);
        TPCANMsg w{};
        w.ID = 0x18DA22F9;
        w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
        w.LEN = 8;
        w.DATA[7] = 0x55;
        ASSERT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_OK);
        can_frame got{};
        ASSERT_TRUE(readWithin(peer, &got, sizeof got, 5000));
        EXPECT_EQ(got.can_id, 0x18DA22F9u | CAN_EFF_FLAG);
        EXPECT_EQ(got.data[7], 0x55);
        EXPECT_FALSE(readOne(m, ts, 200));  // our own frame does not come back
        CAN_Uninitialize(PCAN_USBBUS1);
        ::close(peer);
    }
}

// Error frames of the kernel reach the caller only with PCAN_ALLOW_ERROR_FRAMES
// on: as an error frame and, for the controller's change of state, a status
// message. A raw socket injects them on a virtual interface (a real bus would
// carry them as data).
TEST(PcanContractSocketCan, ErrorFramesAndStatusMessagesOnlyWhenAllowed)
{
    for (const SocketCanPair& pair : socketCanPairs()) {
        if (pair.ifname != pair.peer)
            continue;
        SCOPED_TRACE(pair.ifname);
        REQUIRE_INTERFACE(pair.ifname);
        int peer = rawSocket(pair.peer);
        ASSERT_GE(peer, 0) << pair.peer;
        ::setenv("TAVELIN_BUS", ("socketcan://" + pair.ifname).c_str(), 1);
        ASSERT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
        // A form error while receiving, the controller error passive (rx 130,
        // tx 3), then a data frame that marks the end.
        auto inject = [&](uint8_t marker) {
            can_frame e{};
            e.can_id = CAN_ERR_FLAG | CAN_ERR_PROT | CAN_ERR_CRTL | CAN_ERR_CNT;
            e.can_dlc = CAN_ERR_DLC;
            e.data[1] = CAN_ERR_CRTL_RX_PASSIVE;
            e.data[2] = CAN_ERR_PROT_FORM;
            e.data[3] = CAN_ERR_PROT_LOC_EOF;
            e.data[6] = 3;
            e.data[7] = 130;
            can_frame d{};
            d.can_id = 0x123;
            d.can_dlc = 1;
            d.data[0] = marker;
            ASSERT_EQ(::write(peer, &e, sizeof e), static_cast<ssize_t>(sizeof e));
            ASSERT_EQ(::write(peer, &d, sizeof d), static_cast<ssize_t>(sizeof d));
        };
        // What the channel delivers before the marker.
        auto before = [&](uint8_t marker) {
            std::vector<TPCANMsg> got;
            TPCANMsg m;
            TPCANTimestamp ts;
            while (readOne(m, ts)) {
                if (m.MSGTYPE == PCAN_MESSAGE_STANDARD && m.ID == 0x123 && m.DATA[0] == marker)
                    return got;
                got.push_back(m);
            }
            ADD_FAILURE() << "marker " << int(marker) << " never arrived";
            return got;
        };
        inject(1);
        EXPECT_TRUE(before(1).empty());  // off until asked for

        DWORD v = PCAN_PARAMETER_ON;
        ASSERT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_ALLOW_ERROR_FRAMES, &v, sizeof v), PCAN_ERROR_OK);
        inject(2);
        std::vector<TPCANMsg> got = before(2);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].MSGTYPE, PCAN_MESSAGE_ERRFRAME);
        EXPECT_EQ(got[0].ID, 2u);  // form error
        EXPECT_EQ((std::vector<int>(got[0].DATA, got[0].DATA + 4)),
                  (std::vector<int>{1, 0x40 | 0x20 | CAN_ERR_PROT_LOC_EOF, 130, 3}));
        EXPECT_EQ(got[1].MSGTYPE, PCAN_MESSAGE_STATUS);
        EXPECT_EQ((std::vector<int>(got[1].DATA, got[1].DATA + 4)), (std::vector<int>{0, 0, 0, 0x08}));

        v = PCAN_PARAMETER_OFF;
        ASSERT_EQ(CAN_SetValue(PCAN_USBBUS1, PCAN_ALLOW_STATUS_FRAMES, &v, sizeof v), PCAN_ERROR_OK);
        inject(3);
        got = before(3);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].MSGTYPE, PCAN_MESSAGE_ERRFRAME);
        CAN_Uninitialize(PCAN_USBBUS1);
        ::close(peer);
    }
}

// TAVELIN_SOCKETCAN_CONTROLLER names a real controller that the test may
// take down (the library then has to configure it by itself).
const char* controllerUnderTest() { return std::getenv("TAVELIN_SOCKETCAN_CONTROLLER"); }

// The cases on that controller: skipped when none is named, failed when the
// VM lacks it; the library is pointed at it.
class PcanContractController : public testing::Test {
protected:
    void SetUp() override
    {
        const char* ifname = controllerUnderTest();
        if (!ifname)
            GTEST_SKIP() << "no real CAN controller named (TAVELIN_SOCKETCAN_CONTROLLER)";
        REQUIRE_INTERFACE(ifname);
        ifn = ifname;
        ::setenv("TAVELIN_BUS", ("socketcan://" + ifn).c_str(), 1);
    }
    std::string ifn;
};

TEST_F(PcanContractController, SetsEachBitRateOnAControllerThatStartsDown)
{
    const std::pair<TPCANBaudrate, unsigned> rates[] = {
        {PCAN_BAUD_10K, 10000}, {PCAN_BAUD_50K, 50000}, {PCAN_BAUD_100K, 100000}, {PCAN_BAUD_125K, 125000},
        {PCAN_BAUD_250K, 250000}, {PCAN_BAUD_500K, 500000}, {PCAN_BAUD_1M, 1000000}};
    for (auto [code, bitrate] : rates) {
        SCOPED_TRACE(bitrate);
        setDown(ifn);
        ASSERT_EQ(CAN_Initialize(PCAN_USBBUS1, code, 0, 0, 0), PCAN_ERROR_OK);
        EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_OK);
        const std::string details = ipDetails(ifn);
        EXPECT_NE(details.find("state UP"), std::string::npos) << details;
        EXPECT_NE(details.find(" bitrate " + std::to_string(bitrate) + " "), std::string::npos) << details;
        // Bus-off is left by the kernel by itself.
        EXPECT_EQ(details.find("restart-ms 0 "), std::string::npos) << details;
        CAN_Uninitialize(PCAN_USBBUS1);
    }
}

void run(const std::string& cmd)
{
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// The other node's interface for IFNAME, from TAVELIN_SOCKETCAN_PAIRS.
std::string peerOf(const std::string& ifname)
{
    for (const SocketCanPair& p : socketCanPairs())
        if (p.ifname == ifname)
            return p.peer;
    return ifname;
}

// This thread without CAP_NET_ADMIN in its effective set, for as long as it lives.
class WithoutNetAdmin {
public:
    WithoutNetAdmin()
    {
        ::syscall(SYS_capget, &hdr_, saved_);
        __user_cap_data_struct less[2] = {saved_[0], saved_[1]};
        less[0].effective &= ~(1u << CAP_NET_ADMIN);
        ok_ = ::syscall(SYS_capset, &hdr_, less) == 0;
    }
    ~WithoutNetAdmin() { ::syscall(SYS_capset, &hdr_, saved_); }
    bool ok() const { return ok_; }

private:
    __user_cap_header_struct hdr_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool ok_ = false;
};

// A controller someone else set up: left alone at the right rate (a socket
// bound to it sees no link change), set to the wanted rate from a truly
// different one and out of listen-only mode, each with one line saying so.
// A missing interface's line names the CAN interfaces there are.
TEST_F(PcanContractController, AControllerSetUpByAnotherToolIsLeftOrSetRightWithOneLine)
{
    const std::string restart = " down && ip link set " + ifn + " up type can bitrate ";
    run("ip link set " + ifn + restart + "250000 restart-ms 100");
    int watcher = rawSocket(ifn);
    ASSERT_GE(watcher, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    int soErr = 0;
    socklen_t len = sizeof soErr;
    ::getsockopt(watcher, SOL_SOCKET, SO_ERROR, &soErr, &len);
    EXPECT_EQ(soErr, 0) << "the interface was taken down: " << std::strerror(soErr);
    ::close(watcher);
    CAN_Uninitialize(PCAN_USBBUS1);

    // Set up wrongly by another tool: set right, with one line saying so.
    auto setRight = [&](const std::string& setup, const std::string& line, bool (*fixed)(const std::string&)) {
        run("ip link set " + ifn + restart + setup);
        testing::internal::CaptureStderr();
        EXPECT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "pcanbasic: CAN interface " + ifn + line + "\n");
        EXPECT_TRUE(fixed(ipDetails(ifn))) << ipDetails(ifn);
        CAN_Uninitialize(PCAN_USBBUS1);
    };
    setRight("500000 restart-ms 100", " ran at 500000 bit/s: set it to 250000",
             [](const std::string& d) { return d.find(" bitrate 250000 ") != std::string::npos; });
    setRight("250000 listen-only on", " was in listen-only mode: turned it off",
             [](const std::string& d) { return d.find("LISTEN-ONLY") == std::string::npos; });

    ::setenv("TAVELIN_BUS", "socketcan://can9", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_NODRIVER);
    const std::string missing = testing::internal::GetCapturedStderr();
    EXPECT_NE(missing.find("can9 not found (CAN interfaces here: "), std::string::npos) << missing;
    EXPECT_NE(missing.find(ifn), std::string::npos) << missing;
}

// Without CAP_NET_ADMIN: one line, with the command that also turns on the
// automatic restart, and nothing else however often the tool retries; the
// command run, the channel opens without a word.
TEST_F(PcanContractController, WithoutTheCapabilityOneLineOfAdviceThatWorks)
{
    setDown(ifn);
    const std::string command =
        "ip link set " + ifn + " down; ip link set " + ifn + " up type can bitrate 250000 restart-ms 100";
    {
        WithoutNetAdmin dropped;
        ASSERT_TRUE(dropped.ok());
        testing::internal::CaptureStderr();
        EXPECT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_NODRIVER);
        EXPECT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_NODRIVER);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "pcanbasic: CAN interface " + ifn + " is down: run '" + command + "'\n");
    }
    run(command);
    {
        WithoutNetAdmin dropped;
        testing::internal::CaptureStderr();
        EXPECT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
        EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_OK);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        CAN_Uninitialize(PCAN_USBBUS1);
    }
}

// CAN_Write never waits for the driver: while the driver's queue takes a frame
// only every eighth of a second (tc's tbf at 1 kbit/s), 200 frames are
// accepted at once and leave in order when it runs at wire speed again.
// CAN_Reset empties the library's queue: frames not yet handed over never go,
// and the kernel's share of them is a few frames.
TEST_F(PcanContractController, WritesNeverWaitForTheDriverAndLeaveInOrder)
{
    ASSERT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
    int peer = rawSocket(peerOf(ifn));
    ASSERT_GE(peer, 0);
    // The pace the suite gives the emulated wire, and a crawl.
    const std::string wireSpeed = "tc qdisc change dev " + ifn + " root tbf rate 246kbit burst 32 limit 160";
    const std::string crawl = "tc qdisc replace dev " + ifn + " root tbf rate 1kbit burst 32 limit 160";
    auto send = [](unsigned n) {
        TPCANMsg w{};
        w.ID = 0x18DA22F9;
        w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
        w.LEN = 2;
        w.DATA[0] = static_cast<BYTE>(n >> 8);
        w.DATA[1] = static_cast<BYTE>(n);
        return CAN_Write(PCAN_USBBUS1, &w);
    };
    auto next = [&](unsigned& n) {
        can_frame cf{};
        if (!readWithin(peer, &cf, sizeof cf, 10000))
            return false;
        n = cf.data[0] << 8 | cf.data[1];
        return true;
    };
    run(crawl);
    for (unsigned i = 0; i < 200; ++i)
        ASSERT_EQ(send(i), PCAN_ERROR_OK) << "frame " << i;
    run(wireSpeed);
    for (unsigned i = 0; i < 200; ++i) {
        unsigned n = 0;
        ASSERT_TRUE(next(n)) << "frame " << i << " never came";
        ASSERT_EQ(n, i);
    }
    run(crawl);
    for (unsigned i = 0; i < 100; ++i)
        ASSERT_EQ(send(1000 + i), PCAN_ERROR_OK);
    ASSERT_EQ(CAN_Reset(PCAN_USBBUS1), PCAN_ERROR_OK);
    ASSERT_EQ(send(0xFFFF), PCAN_ERROR_OK);
    run(wireSpeed);
    unsigned before = 0, n = 0;
    while (next(n) && n != 0xFFFF)
        ++before;
    EXPECT_EQ(n, 0xFFFFu) << "the frame written after CAN_Reset never came";
    // Only what the kernel holds still goes: the socket's smallest send
    // buffer takes 8 frames at most, and the writer may be handing one over.
    EXPECT_LE(before, 9u) << "frames written before CAN_Reset went after it";
    ::close(peer);
    CAN_Uninitialize(PCAN_USBBUS1);
}

// A driver that is full costs nothing: the writer sleeps until the socket has
// room (not in a loop of short pauses), so while the driver takes a frame only
// every eighth of a second the library's threads wake a few times per frame
// at most. An open channel with nothing to do never wakes: its reader waits on
// the socket without a time-out, so closing must wake it (or it would hang).
TEST_F(PcanContractController, AFullDriverAndAnIdleChannelCostNoWakeUps)
{
    ASSERT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
    int peer = rawSocket(peerOf(ifn));
    ASSERT_GE(peer, 0);
    run("tc qdisc replace dev " + ifn + " root tbf rate 1kbit burst 32 limit 160");
    TPCANMsg w{};
    w.ID = 0x18DA22F9;
    w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    w.LEN = 8;
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_OK);
    can_frame cf{};
    ASSERT_TRUE(readWithin(peer, &cf, sizeof cf, 10000));
    const long w0 = contextSwitches();
    const int frames = 16;
    for (int i = 0; i < frames; ++i)
        ASSERT_TRUE(readWithin(peer, &cf, sizeof cf, 10000)) << "frame " << i;
    const long perFrame = (contextSwitches() - w0) / frames;
    EXPECT_LT(perFrame, 10) << "wake-ups per frame sent while the driver was full";
    ASSERT_EQ(CAN_Reset(PCAN_USBBUS1), PCAN_ERROR_OK);
    run("tc qdisc change dev " + ifn + " root tbf rate 246kbit burst 32 limit 160");
    while (readWithin(peer, &cf, sizeof cf, 500)) {
    }
    // Nothing is sent or heard for a second: the only wake-ups are this
    // thread's own (the poll, reading the counters).
    const long i0 = contextSwitches();
    EXPECT_FALSE(readWithin(peer, &cf, sizeof cf, 1000));
    EXPECT_LE(contextSwitches() - i0, 3) << "wake-ups of an idle channel in a second";
    ::close(peer);
    CAN_Uninitialize(PCAN_USBBUS1);
}

// A driver that takes nothing for a second: the frames waiting in the
// library's queue are dropped, and the loss is said to CAN_GetStatus and to
// the next write (refused), once each; the write after that is accepted.
TEST_F(PcanContractController, FramesDroppedInAStallAreReported)
{
    ASSERT_EQ(CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
    run("tc qdisc replace dev " + ifn + " root tbf rate 8bit burst 32 limit 160");  // a frame every 16 s
    TPCANMsg w{};
    w.ID = 0x18DA22F9;
    w.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    w.LEN = 8;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_OK) << "frame " << i;
    TPCANStatus s = PCAN_ERROR_OK;
    EXPECT_TRUE(waitUntil([&] { return (s = CAN_GetStatus(PCAN_USBBUS1)) != PCAN_ERROR_OK; }));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, PCAN_ERROR_XMTFULL);
    EXPECT_NE(err.find("frames dropped unsent"), std::string::npos) << err;
    EXPECT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_XMTFULL);
    EXPECT_EQ(CAN_Write(PCAN_USBBUS1, &w), PCAN_ERROR_OK);
    EXPECT_EQ(CAN_GetStatus(PCAN_USBBUS1), PCAN_ERROR_OK);
    CAN_Uninitialize(PCAN_USBBUS1);
    setDown(ifn);  // drops what the stalled queue still holds
    run("tc qdisc replace dev " + ifn + " root tbf rate 246kbit burst 32 limit 160");
}

// A raw socket on IFNAME that sees only the given identifiers (extended), each
// frame with the kernel's receive time.
int stampedSocket(const std::string& ifname, std::initializer_list<uint32_t> ids)
{
    int fd = rawSocket(ifname);
    if (fd < 0)
        return fd;
    std::vector<can_filter> filters;
    for (uint32_t id : ids)
        filters.push_back({id | CAN_EFF_FLAG, CAN_EFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG});
    ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(), static_cast<socklen_t>(filters.size() * sizeof(can_filter)));
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd;
}

struct Seen {
    can_frame cf{};
    std::chrono::nanoseconds at{};  // kernel receive time
};

std::vector<Seen> drainStamped(int fd, int limitMs)
{
    std::vector<Seen> seen;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, limitMs) != 1)
            return seen;
        Seen s;
        iovec iov{&s.cf, sizeof s.cf};
        alignas(cmsghdr) char control[64];
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        if (::recvmsg(fd, &mh, 0) != static_cast<ssize_t>(sizeof s.cf))
            return seen;
        for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                s.at = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
            }
        seen.push_back(s);
    }
}

// The kernel turns receive time stamps on for the first socket that asks
// through deferred work; until that has run, frames are stamped when they are
// read. Keeps KEEPER (a stamped socket on TO) open and waits until a frame
// sent from FROM and read 50 ms later carries its arrival time.
bool kernelStampsFrames(int keeper, const std::string& from)
{
    int tx = rawSocket(from);
    bool on = false;
    for (int attempt = 0; tx >= 0 && !on && attempt < 200; ++attempt) {
        can_frame probe{};
        probe.can_id = 0x18DAFFFE | CAN_EFF_FLAG;
        probe.can_dlc = 1;
        if (::write(tx, &probe, sizeof probe) != static_cast<ssize_t>(sizeof probe))
            break;
        ::poll(nullptr, 0, 50);
        for (const Seen& s : drainStamped(keeper, 1000)) {
            timespec now;
            ::clock_gettime(CLOCK_REALTIME, &now);
            const auto read = std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
            on = on || read - s.at >= std::chrono::milliseconds(40);
        }
    }
    if (tx >= 0)
        ::close(tx);
    return on;
}

// The kernel's own ISO 15765-2 (can-isotp) on the peer interface receives
// what KWPonCAN_Send sends, whatever separation time its flow control asks.
// On the wire (seen on the peer's side): the first frame, the flow control,
// then every consecutive frame in sequence; the last of them no sooner than
// the separation time for each after the tester's controller received the
// flow control, since the tester waits it before each consecutive frame.
TEST(PcanContractSocketCan, KernelIsoTpReceivesKwpMessages)
{
    const char* ifname = controllerUnderTest();
    const char* peerName = std::getenv("TAVELIN_ISOTP_PEER");
    if (!ifname || !peerName)
        GTEST_SKIP() << "no ISO-TP peer named (TAVELIN_SOCKETCAN_CONTROLLER, TAVELIN_ISOTP_PEER)";
    REQUIRE_INTERFACE(ifname);
    REQUIRE_INTERFACE(peerName);
    ::setenv("TAVELIN_BUS", (std::string("socketcan://") + ifname).c_str(), 1);
    ASSERT_EQ(InitHWInterface(250, 0x22), 0);
    const int keeper = stampedSocket(peerName, {0x18DAFFFE});
    ASSERT_TRUE(kernelStampsFrames(keeper, ifname)) << "frames never carried their arrival time";
    for (uint8_t stmin : {0, 5}) {
        int iso = ::socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP);
        ASSERT_GE(iso, 0) << "no can-isotp: " << std::strerror(errno);
        can_isotp_options opts{};
        opts.flags = CAN_ISOTP_TX_PADDING;
        opts.txpad_content = 0xAA;
        ASSERT_EQ(::setsockopt(iso, SOL_CAN_ISOTP, CAN_ISOTP_OPTS, &opts, sizeof opts), 0);
        can_isotp_fc_options fc{};
        fc.bs = 0;
        fc.stmin = stmin;
        ASSERT_EQ(::setsockopt(iso, SOL_CAN_ISOTP, CAN_ISOTP_RECV_FC, &fc, sizeof fc), 0);
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(::if_nametoindex(peerName));
        addr.can_addr.tp.rx_id = 0x18DA22F9 | CAN_EFF_FLAG;
        addr.can_addr.tp.tx_id = 0x18DAF922 | CAN_EFF_FLAG;
        ASSERT_EQ(::bind(iso, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        for (uint32_t len : {13u, 1101u}) {
            SCOPED_TRACE(testing::Message() << len << " bytes, STmin " << int(stmin) << " ms");
            static KWP_msg_T msg;
            msg.SID = 0x36;
            msg.len = len;
            for (uint32_t i = 0; i + 1 < len; ++i)
                msg.payload[i] = static_cast<uint8_t>(i * 13 + stmin);
            int onWire = stampedSocket(peerName, {0x18DA22F9, 0x18DAF922});
            int fcAtTester = stampedSocket(ifname, {0x18DAF922});
            ASSERT_GE(onWire, 0);
            ASSERT_GE(fcAtTester, 0);
            ASSERT_EQ(KWPonCAN_Send(1, 0x18DA22F9, &msg), 0);
            static uint8_t got[4096];
            ssize_t n = 0;
            ASSERT_TRUE(readWithin(iso, got, sizeof got, 5000, &n));
            ASSERT_EQ(n, static_cast<ssize_t>(len));
            EXPECT_EQ(got[0], 0x36);
            EXPECT_EQ(std::memcmp(got + 1, msg.payload, len - 1), 0);
            // Each consecutive frame after the first waited the separation time.
            const std::size_t cfs = (len - 6 + 6) / 7;
            const std::vector<Seen> wire = drainStamped(onWire, 500);
            const std::vector<Seen> fc = drainStamped(fcAtTester, 0);
            ::close(onWire);
            ::close(fcAtTester);
            ASSERT_EQ(wire.size(), 2 + cfs);
            EXPECT_EQ(wire[0].cf.data[0] >> 4, 1) << "first frame";
            EXPECT_EQ(wire[1].cf.can_id, 0x18DAF922u | CAN_EFF_FLAG) << "flow control";
            EXPECT_EQ(wire[1].cf.data[0], 0x30);
            for (std::size_t i = 0; i < cfs; ++i)
                ASSERT_EQ(wire[2 + i].cf.data[0], 0x20 | ((i + 1) & 0x0F)) << "consecutive frame " << i + 1;
            ASSERT_EQ(fc.size(), 1u);
            EXPECT_GE(wire.back().at - fc[0].at, std::chrono::milliseconds(stmin * cfs));
        }
        ::close(iso);
    }
    ::close(keeper);
    CAN_Uninitialize(PCAN_USBBUS1);
}

}  // namespace
