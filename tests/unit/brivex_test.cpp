// brivex against the fake PCAN-Basic: the exact adapter calls, status
// handling, the receive filter and the trace lines.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <cstring>
#include <string>
#include <thread>

#include "brivex.h"
#include "fake_pcanbasic.h"

namespace {

// The filter set-up of a channel just opened, for ECU 0x22.
const std::vector<std::string> kFilterCalls = {
    "CAN_SetValue 51 04 00 1",
    "CAN_FilterMessages 51 18DAF922 18DAF922 2",
    "CAN_SetValue 51 04 02 1",
#ifdef _WIN32
    "CAN_SetValue 51 03 event 8",
#endif
};

struct BrivexTest : ::testing::Test {
    void SetUp() override { fakePcan() = FakePcan(); }
    static TPCANMsg frame(DWORD id, BYTE type, std::initializer_list<BYTE> data)
    {
        TPCANMsg m{};
        m.ID = id;
        m.MSGTYPE = type;
        m.LEN = static_cast<BYTE>(data.size());
        int i = 0;
        for (BYTE b : data)
            m.DATA[i++] = b;
        return m;
    }
};

TEST_F(BrivexTest, InitOpensChannelAndAdmitsTheEcuResponseIdentifier)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(InitHWInterface(250, 0x22), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n------ Connected with Peak PCAN-USB ----------\n");
    std::vector<std::string> expected = {
        "CAN_Initialize 51 011C 0 0 0",
        "CAN_SetValue 51 04 00 1",
        "CAN_FilterMessages 51 18DAF922 18DAF922 2",
        "CAN_SetValue 51 04 02 1",
#ifdef _WIN32
        "CAN_SetValue 51 03 event 8",  // the receive event, which the library sets
#endif
    };
    EXPECT_EQ(fakePcan().calls, expected);
}

TEST_F(BrivexTest, UnlistedRatesMakeNoAdapterCallAndKeepTheStoredCode)
{
    ASSERT_EQ(InitHWInterface(500, 0x22), 0);
    for (int rate : {150, 20, 33, 800, 0, -250}) {
        fakePcan() = FakePcan();
        testing::internal::CaptureStdout();
        EXPECT_EQ(InitHWInterface(rate, 0x22), -1) << rate;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n------ ERROR connecting Peak PCAN-USB ----------\n");
        EXPECT_TRUE(fakePcan().calls.empty()) << rate;
    }
    // The stored code is still 500 kbit/s: a bad bus re-initialises with 0x001C.
    fakePcan() = FakePcan();
    fakePcan().status = PCAN_ERROR_BUSOFF;
    EXPECT_EQ(GetHWInterfaceStatus(nullptr), -1);
    std::vector<std::string> expected = {"CAN_GetStatus 51", "CAN_Reset 51", "CAN_Initialize 51 001C 0 0 0"};
    EXPECT_EQ(fakePcan().calls, expected);
}

TEST_F(BrivexTest, EveryRateOfTheTableUsesItsCode)
{
    const std::pair<int, const char*> table[] = {{10, "672F"}, {50, "472F"}, {100, "432F"}, {125, "031C"},
                                                 {250, "011C"}, {500, "001C"}, {1000, "0014"}};
    for (auto [rate, code] : table) {
        fakePcan() = FakePcan();
        EXPECT_EQ(InitHWInterface(rate, 0), 0);
        EXPECT_EQ(fakePcan().calls.at(0), std::string("CAN_Initialize 51 ") + code + " 0 0 0");
    }
}

TEST_F(BrivexTest, AdapterRefusalFailsWithoutFilterSetup)
{
    fakePcan().initResult = PCAN_ERROR_NODRIVER;
    testing::internal::CaptureStdout();
    EXPECT_EQ(InitHWInterface(250, 0x22), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fakePcan().calls.size(), 1u);
}

TEST_F(BrivexTest, SendMapsTypeAndMasksBusStateBits)
{
    ASSERT_EQ(InitHWInterface(250, 0x22), 0);
    CAN_msg_T m{};
    m.ID = 0x18EEFFF9;
    m.dlc = 3;
    m.data[0] = 0xAB;
    m.data[1] = 0x01;
    m.data[2] = 0xFF;
    for (auto [type, expected] : {std::pair<uint8_t, BYTE>{1, PCAN_MESSAGE_EXTENDED},
                                  {0, PCAN_MESSAGE_STANDARD}, {2, PCAN_MESSAGE_EXTENDED}}) {
        fakePcan().written.clear();
        m.type = type;
        testing::internal::CaptureStdout();
        EXPECT_EQ(SendCANMessage(m), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nID= 18EEFFF9 AB 01 FF \n");
        ASSERT_EQ(fakePcan().written.size(), 1u);
        EXPECT_EQ(fakePcan().written[0].MSGTYPE, expected);
        EXPECT_EQ(fakePcan().written[0].LEN, 3);
    }
    fakePcan().writeResult = PCAN_ERROR_BUSOFF;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SendCANMessage(m), 0);  // bus state only: counted as written
    EXPECT_FALSE(testing::internal::GetCapturedStdout().empty());
    fakePcan().writeResult = PCAN_ERROR_QXMTFULL;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SendCANMessage(m), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no trace of a lost frame
}

TEST_F(BrivexTest, SendRefusesALengthAboveEight)
{
    CAN_msg_T m{};
    m.type = 1;
    m.dlc = 9;
    EXPECT_EQ(SendCANMessage(m), -1);
    EXPECT_TRUE(fakePcan().written.empty());
}

TEST_F(BrivexTest, ReceiveReturnsOnlyTheTwoFamiliesAndKeepsBytesBeyondDlc)
{
    auto& rx = fakePcan().rx;
    rx.push_back({frame(0x18DA22F9, PCAN_MESSAGE_EXTENDED, {1, 2}), 5});       // tester to ECU
    rx.push_back({frame(0x122, PCAN_MESSAGE_STANDARD, {1}), 6});               // 11-bit
    rx.push_back({frame(0x18EEFF22, PCAN_MESSAGE_EXTENDED, {0x02, 0x7E, 0x00}), 77});
    CAN_msg_T r;
    std::memset(&r, 0xEE, sizeof r);
    testing::internal::CaptureStdout();
    ASSERT_EQ(ReceiveCANMessage(&r, 100), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nID= 18EEFF22 02 7E 00 \n");
    EXPECT_EQ(r.ID, 0x18EEFF22u);
    EXPECT_EQ(r.type, 2);  // the adapter's flags, not 1
    EXPECT_EQ(r.dlc, 3);
    EXPECT_EQ(r.timestamp, 77u);
    EXPECT_EQ(r.data[2], 0x00);
    EXPECT_EQ(r.data[3], 0xEE);  // beyond dlc: untouched
    EXPECT_TRUE(rx.empty());
}

// A read reports the bus state with its message (the maker's convention): the
// data frame is an answer in every bus state, a status or error-frame message
// never is, whatever its identifier field holds.
TEST_F(BrivexTest, ReceiveTakesFramesReadInABusStateButNoStatusMessage)
{
    for (TPCANStatus bits : {PCAN_ERROR_BUSLIGHT, PCAN_ERROR_BUSHEAVY, PCAN_ERROR_BUSPASSIVE,
                             PCAN_ERROR_BUSOFF, PCAN_ERROR_BUSHEAVY | PCAN_ERROR_BUSPASSIVE}) {
        fakePcan() = FakePcan();
        fakePcan().readBits = bits;
        auto& rx = fakePcan().rx;
        rx.push_back({frame(0x18DAF922, PCAN_MESSAGE_STATUS, {0, 0, 0, 8}), 1});
        rx.push_back({frame(0x18DAF922, PCAN_MESSAGE_ERRFRAME | PCAN_MESSAGE_EXTENDED, {0, 1, 0, 96}), 2});
        rx.push_back({frame(0x18DAF922, PCAN_MESSAGE_EXTENDED, {0x02, 0x7E, 0x00}), 3});
        CAN_msg_T r{};
        testing::internal::CaptureStdout();
        const int got = ReceiveCANMessage(&r, 1000);
        const std::string trace = testing::internal::GetCapturedStdout();
        ASSERT_EQ(got, 0) << bits;
        EXPECT_EQ(trace, "\nID= 18DAF922 02 7E 00 \n");
        EXPECT_EQ(r.type, PCAN_MESSAGE_EXTENDED);
        EXPECT_EQ(r.timestamp, 3u);
        EXPECT_TRUE(rx.empty());
    }
    // An empty queue in a bus state reads nothing.
    fakePcan() = FakePcan();
    fakePcan().readBits = PCAN_ERROR_BUSHEAVY;
    CAN_msg_T r;
    std::memset(&r, 0x5A, sizeof r);
    CAN_msg_T before = r;
    EXPECT_EQ(ReceiveCANMessage(&r, 20), -1);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
}

TEST_F(BrivexTest, ReceiveTimeOutLeavesTheRecordUntouched)
{
    fakePcan().rx.push_back({frame(0x18DA22F9, PCAN_MESSAGE_EXTENDED, {1}), 5});
    CAN_msg_T r;
    std::memset(&r, 0x5A, sizeof r);
    CAN_msg_T before = r;
    EXPECT_EQ(ReceiveCANMessage(&r, 20), -1);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
    EXPECT_TRUE(fakePcan().rx.empty());  // the dropped frame is consumed
    // A zero limit still returns a frame that is already waiting.
    fakePcan().rx.push_back({frame(0x18DAF922, PCAN_MESSAGE_EXTENDED, {1, 0x7E}), 5});
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReceiveCANMessage(&r, 0), 0);
    testing::internal::GetCapturedStdout();
    // With nothing queued it reads once and returns: a drain costs no wait.
    const int reads = fakePcan().reads;
    EXPECT_EQ(ReceiveCANMessage(&r, 0), -1);
    EXPECT_EQ(fakePcan().reads - reads, 1);
}

TEST_F(BrivexTest, ReceiveClampsALengthAboveEight)
{
    TPCANMsg big = frame(0x18DAF922, PCAN_MESSAGE_EXTENDED, {0x0E, 0x62, 1, 2, 3, 4, 5, 6});
    big.LEN = 15;  // a faulty adapter or another libpcanbasic
    fakePcan().rx.push_back({big, 1});
    CAN_msg_T r{};
    testing::internal::CaptureStdout();
    ASSERT_EQ(ReceiveCANMessage(&r, 100), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.dlc, 8);
}

// A frame pushed by another thread after a while, signalled on the receive
// event when the fake offers one.
#ifdef _WIN32
using TestEvent = HANDLE;
constexpr TestEvent kNoEvent = nullptr;
// brivex hands the library an event of its own at initialisation.
TestEvent offerReceiveEvent()
{
    fakePcan().offerEvent = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(InitHWInterface(250, 0x22), 0);
    testing::internal::GetCapturedStdout();
    return fakePcan().receiveEvent;
}
void signalEvent(TestEvent e) { ::SetEvent(e); }
void closeEvent(TestEvent) {}
#else
using TestEvent = int;
constexpr TestEvent kNoEvent = -1;
// The library hands brivex a descriptor, readable while frames are queued.
TestEvent offerReceiveEvent()
{
    const int event = ::eventfd(0, EFD_NONBLOCK);
    fakePcan().receiveEvent = event;
    return event;
}
void signalEvent(TestEvent e)
{
    uint64_t one = 1;
    (void)!::write(e, &one, sizeof one);
}
void closeEvent(TestEvent e) { ::close(e); }
#endif

void pushLater(TestEvent event)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> lock(fakePcan().rxLock);
    TPCANMsg m{};
    m.ID = 0x18DAF922;
    m.MSGTYPE = PCAN_MESSAGE_EXTENDED;
    m.LEN = 2;
    m.DATA[0] = 0x01;
    m.DATA[1] = 0x7E;
    fakePcan().rx.push_back({m, 9});
    if (event != kNoEvent)
        signalEvent(event);
}

TEST_F(BrivexTest, ReceiveWaitsOnTheReceiveEventInsteadOfSpinning)
{
    const TestEvent event = offerReceiveEvent();
    ASSERT_NE(event, kNoEvent);
    fakePcan().reads = 0;
    CAN_msg_T r{};
    EXPECT_EQ(ReceiveCANMessage(&r, 60), -1);  // nothing comes: the whole limit, a handful of reads
    EXPECT_LT(fakePcan().reads.load(), 10);
    fakePcan().reads = 0;
    std::thread t(pushLater, event);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReceiveCANMessage(&r, 5000), 0);
    testing::internal::GetCapturedStdout();
    t.join();
    EXPECT_EQ(r.timestamp, 9u);
    EXPECT_LT(fakePcan().reads.load(), 10);
    closeEvent(event);
}

TEST_F(BrivexTest, ReceiveWithoutAnEventStillPollsTheQueue)
{
    std::thread t(pushLater, kNoEvent);
    CAN_msg_T r{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReceiveCANMessage(&r, 5000), 0);
    testing::internal::GetCapturedStdout();
    t.join();
    EXPECT_EQ(r.timestamp, 9u);
}

// Texts fit the caller's 10 bytes; the worst bus state names a status of
// several bits. A warning state alone is left as it is (the controller still
// works, and a reset would empty the receive queue); anything else is reset
// and initialised again, a channel that was closed gets its filter again.
TEST_F(BrivexTest, StatusTextsAndWhichStatesAreRepaired)
{
    ASSERT_EQ(InitHWInterface(250, 0x22), 0);
    enum Repair { Left, Reset, Reopened };
    const struct {
        TPCANStatus status;
        const char* text;
        Repair repair;
    } table[] = {
        {PCAN_ERROR_BUSLIGHT, "BUS LIGHT", Left},
        {PCAN_ERROR_BUSHEAVY, "BUS HEAVY", Left},
        {PCAN_ERROR_BUSPASSIVE, "BUS PASSV", Left},
        {PCAN_ERROR_BUSLIGHT | PCAN_ERROR_BUSHEAVY, "BUS HEAVY", Left},
        {PCAN_ERROR_BUSHEAVY | PCAN_ERROR_BUSPASSIVE, "BUS PASSV", Left},
        {PCAN_ERROR_BUSOFF, "BUS OFF", Reset},
        {PCAN_ERROR_BUSPASSIVE | PCAN_ERROR_BUSOFF, "BUS OFF", Reset},
        {PCAN_ERROR_XMTFULL, "XMT FULL", Reset},
        {PCAN_ERROR_QXMTFULL, "XMT FULL", Reset},
        {PCAN_ERROR_BUSHEAVY | PCAN_ERROR_XMTFULL, "BUS HEAVY", Reset},
        {PCAN_ERROR_OVERRUN, "ERROR", Reset},
        {PCAN_ERROR_NODRIVER | PCAN_ERROR_BUSOFF, "ERROR", Reset},
        {PCAN_ERROR_INITIALIZE, "ERROR", Reopened},
    };
    for (const auto& row : table) {
        fakePcan() = FakePcan();
        fakePcan().status = row.status;
        char buf[10];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(GetHWInterfaceStatus(buf), -1) << row.status;
        EXPECT_STREQ(buf, row.text) << row.status;
        std::vector<std::string> expected = {"CAN_GetStatus 51"};
        if (row.repair != Left) {
            expected.push_back("CAN_Reset 51");
            expected.push_back("CAN_Initialize 51 011C 0 0 0");
        }
        if (row.repair == Reopened)
            expected.insert(expected.end(), kFilterCalls.begin(), kFilterCalls.end());
        EXPECT_EQ(fakePcan().calls, expected) << row.status;
    }
    fakePcan() = FakePcan();
    char ok[10];
    EXPECT_EQ(GetHWInterfaceStatus(ok), 0);
    EXPECT_STREQ(ok, "OK");
    EXPECT_EQ(fakePcan().calls.size(), 1u);
    // No buffer: the same repair, nothing written.
    fakePcan() = FakePcan();
    fakePcan().status = PCAN_ERROR_BUSOFF;
    EXPECT_EQ(GetHWInterfaceStatus(nullptr), -1);
    EXPECT_EQ(fakePcan().calls.size(), 3u);
}

// The maker's library answers CAN_Initialize on an open channel with
// PCAN_ERROR_INITIALIZE and leaves a bus-off controller off: the channel is
// closed and opened again at the stored rate, with its filter.
TEST_F(BrivexTest, BusOffWithALibraryThatDoesNotReinitialiseReopensTheChannel)
{
    ASSERT_EQ(InitHWInterface(500, 0x22), 0);
    for (TPCANStatus again : {PCAN_ERROR_OK, PCAN_ERROR_NODRIVER}) {
        fakePcan() = FakePcan();
        fakePcan().status = PCAN_ERROR_BUSOFF;
        fakePcan().initAnswers = {PCAN_ERROR_INITIALIZE, again};
        char buf[10];
        EXPECT_EQ(GetHWInterfaceStatus(buf), -1);
        EXPECT_STREQ(buf, "BUS OFF");
        std::vector<std::string> expected = {"CAN_GetStatus 51", "CAN_Reset 51", "CAN_Initialize 51 001C 0 0 0",
                                             "CAN_Uninitialize 51", "CAN_Initialize 51 001C 0 0 0"};
        if (again == PCAN_ERROR_OK)
            expected.insert(expected.end(), kFilterCalls.begin(), kFilterCalls.end());
        EXPECT_EQ(fakePcan().calls, expected) << again;
    }
}

TEST_F(BrivexTest, ReleaseReportsTheAdapterAnswer)
{
    EXPECT_EQ(ReleaseHWInterface(), 0);
    fakePcan().uninitResult = PCAN_ERROR_INITIALIZE;
    EXPECT_EQ(ReleaseHWInterface(), -1);
}

}  // namespace
