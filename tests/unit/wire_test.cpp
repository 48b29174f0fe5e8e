// The socketcand wire format, the bus URL, the SocketCAN helpers, the
// PCAN-Basic texts and error frames, and the frame timing: pure code the
// platform layer and canhub share.
#include <gtest/gtest.h>

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <linux/if_arp.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "api_text.h"
#include "bus_url.h"
#include "error_frames.h"
#include "frame_timing.h"
#include "socketcan_backend.h"
#include "socketcand_wire.h"
#include "tx_queue.h"

namespace {

TEST(Wire, FormatsAsTheDaemonDoes)
{
    wire::Frame f;
    f.id = 0x18DAF922;
    f.extended = true;
    f.dlc = 3;
    f.data[0] = 0x02;
    f.data[1] = 0x7E;
    EXPECT_EQ(wire::formatFrame(f, 1700000000, 123456), "< frame 18DAF922 1700000000.123456 027E00 >");
    EXPECT_EQ(wire::formatSend(f), "< send 18DAF922 3 02 7E 00 >");
    wire::Frame s;
    s.id = 0x12;
    s.dlc = 0;
    EXPECT_EQ(wire::formatFrame(s, 1, 5), "< frame 012 1.000005  >");
}

TEST(Wire, ParsesSendInEitherCaseAndTellsIdentifierWidth)
{
    wire::Frame f;
    std::string err;
    ASSERT_TRUE(wire::parseSend("< send 18daf922 3 2 7e 0 >", f, err)) << err;
    EXPECT_TRUE(f.extended);
    EXPECT_EQ(f.id, 0x18DAF922u);
    EXPECT_EQ(f.dlc, 3);
    EXPECT_EQ(f.data[1], 0x7E);
    ASSERT_TRUE(wire::parseSend("< send 00000123 0 >", f, err));
    EXPECT_TRUE(f.extended);  // eight characters: 29-bit
    ASSERT_TRUE(wire::parseSend("< send 123 1 FF >", f, err));
    EXPECT_FALSE(f.extended);
    ASSERT_TRUE(wire::parseSend("< send 800 0 >", f, err));
    EXPECT_TRUE(f.extended);  // above 0x7FF
    for (const char* bad : {"< send 123 9 1 2 3 4 5 6 7 8 9 >", "< send 123 2 01 >", "< send xyz 0 >",
                            "< send 123 1 100 >", "< send 20000000 0 >", "< send >", "< send 123 -1 >"})
        EXPECT_FALSE(wire::parseSend(bad, f, err)) << bad;
}

TEST(Wire, ParsesFrames)
{
    wire::Frame f;
    std::string err;
    ASSERT_TRUE(wire::parseFrame("< frame 18DAF922 1700000000.123456 027E00 >", f, err));
    EXPECT_EQ(f.dlc, 3);
    EXPECT_TRUE(f.extended);
    ASSERT_TRUE(wire::parseFrame("< frame 123 1.0  >", f, err));
    EXPECT_EQ(f.dlc, 0);
    EXPECT_FALSE(wire::parseFrame("< frame 123 1.0 0 >", f, err));
    EXPECT_FALSE(wire::parseFrame("< frame 123 1.0 000102030405060708 >", f, err));
}

TEST(Wire, SplitterReassemblesAcrossArbitraryPieces)
{
    const std::string stream = "< hi >< ok >  < frame 123 1.0 AA >\n< ok >";
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        wire::Splitter s;
        std::vector<std::string> got;
        for (std::size_t i = 0; i < stream.size(); i += piece) {
            std::string part = stream.substr(i, piece);
            s.feed(part.data(), part.size());
            for (auto it = s.next(); it.kind != wire::Splitter::Kind::None; it = s.next()) {
                ASSERT_EQ(it.kind, wire::Splitter::Kind::Message);
                got.push_back(it.text);
            }
        }
        EXPECT_EQ(got, (std::vector<std::string>{"< hi >", "< ok >", "< frame 123 1.0 AA >", "< ok >"})) << piece;
    }
}

TEST(Wire, SplitterReportsGarbageAndOverlongMessagesThenResynchronises)
{
    wire::Splitter s;
    std::string in = "junk< ok >< " + std::string(600, 'x') + " >< ok >< cut < ok >";
    s.feed(in.data(), in.size());
    std::vector<std::string> kinds;
    for (auto it = s.next(); it.kind != wire::Splitter::Kind::None; it = s.next())
        kinds.push_back(it.kind == wire::Splitter::Kind::Message ? it.text : "error:" + it.text);
    EXPECT_EQ(kinds, (std::vector<std::string>{"error:expected a message start", "< ok >", "error:message too long", "< ok >",
                                               "error:unterminated message", "< ok >"}));
    // An over-long message whose end has not arrived yet is skipped when it does.
    wire::Splitter t;
    std::string big(700, 'y');
    t.feed("<", 1);
    t.feed(big.data(), big.size());
    EXPECT_EQ(t.next().kind, wire::Splitter::Kind::Error);
    t.feed("y > < ok >", 10);
    auto it = t.next();
    EXPECT_EQ(it.kind, wire::Splitter::Kind::Message);
    EXPECT_EQ(it.text, "< ok >");
}

TEST(BusUrl, ParsesTheTwoFormsAndRefusesOthers)
{
    pcan::BusUrl u;
    std::string err;
    ASSERT_TRUE(pcan::parseBusUrl("socketcand://127.0.0.1:4000/vcan1", u, err));
    EXPECT_EQ(u.kind, pcan::BusUrl::Kind::Socketcand);
    EXPECT_EQ(u.host, "127.0.0.1");
    EXPECT_EQ(u.port, 4000);
    EXPECT_EQ(u.bus, "vcan1");
    ASSERT_TRUE(pcan::parseBusUrl("socketcand://bench/can0", u, err));
    EXPECT_EQ(u.port, 29536);
    ASSERT_TRUE(pcan::parseBusUrl("socketcand://[::1]:29000/can0", u, err));
    EXPECT_EQ(u.host, "::1");
    EXPECT_EQ(u.port, 29000);
    ASSERT_TRUE(pcan::parseBusUrl("socketcan://can0", u, err));
    EXPECT_EQ(u.kind, pcan::BusUrl::Kind::SocketCan);
    for (const char* bad : {"can0", "socketcand://host", "socketcand://host:0/x", "socketcand://host:99999/x",
                            "socketcand://:1/x", "socketcan://", "socketcan://a/b", "tcp://x/y",
                            "socketcand://h/bad name"}) {
        EXPECT_FALSE(pcan::parseBusUrl(bad, u, err)) << bad;
        EXPECT_FALSE(err.empty());
    }
    EXPECT_EQ(pcan::defaultBusUrl("").text(), "socketcand://127.0.0.1:29536/vcan0");
    EXPECT_EQ(pcan::defaultBusUrl("can1").text(), "socketcan://can1");
    EXPECT_TRUE(pcan::defaultBusUrl("can1").automatic);
}

TEST(BusUrl, BitTimingCodes)
{
    EXPECT_EQ(pcan::bitrateOfCode(0x011C), 250000u);
    EXPECT_EQ(pcan::bitrateOfCode(0x0014), 1000000u);
    EXPECT_EQ(pcan::bitrateOfCode(0x672F), 10000u);
    EXPECT_EQ(pcan::bitrateOfCode(0x1234), 0u);
}

TEST(SocketCan, IdentifiersStatesAndAdvice)
{
    wire::Frame f;
    f.id = 0x18DAF922;
    f.extended = true;
    EXPECT_EQ(pcan::canIdOf(f), 0x18DAF922u | CAN_EFF_FLAG);
    wire::Frame back;
    ASSERT_TRUE(pcan::frameOfCanId(0x18DAF922u | CAN_EFF_FLAG, back));
    EXPECT_TRUE(back.extended);
    EXPECT_EQ(back.id, 0x18DAF922u);
    EXPECT_FALSE(pcan::frameOfCanId(0x123 | CAN_RTR_FLAG, back));
    EXPECT_FALSE(pcan::frameOfCanId(CAN_ERR_FLAG | 4, back));
    EXPECT_EQ(pcan::busStateOfSocketCan(CAN_STATE_ERROR_ACTIVE), pcan::BusState::Ok);
    EXPECT_EQ(pcan::busStateOfSocketCan(CAN_STATE_ERROR_WARNING), pcan::BusState::Warning);
    EXPECT_EQ(pcan::busStateOfSocketCan(CAN_STATE_ERROR_PASSIVE), pcan::BusState::Passive);
    EXPECT_EQ(pcan::busStateOfSocketCan(CAN_STATE_BUS_OFF), pcan::BusState::BusOff);
    // Stopped or asleep: off the bus, shown as such; not a lost interface reopened on every poll.
    EXPECT_EQ(pcan::busStateOfSocketCan(CAN_STATE_STOPPED), pcan::BusState::BusOff);
    EXPECT_EQ(pcan::busStateOfSocketCan(CAN_STATE_SLEEPING), pcan::BusState::BusOff);
}

// An RTM_NEWLINK message as the kernel sends it for a CAN interface.
std::vector<char> linkMessage(const char* kind, uint32_t bitrate, int state, bool up,
                              const char* name = "can0", uint32_t ctrlmode = 0)
{
    std::vector<char> b(1024, 0);
    auto* nh = reinterpret_cast<nlmsghdr*>(b.data());
    nh->nlmsg_type = RTM_NEWLINK;
    nh->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    auto* ifi = static_cast<ifinfomsg*>(NLMSG_DATA(nh));
    ifi->ifi_index = 7;
    ifi->ifi_flags = up ? IFF_UP : 0;
    ifi->ifi_type = ARPHRD_CAN;
    auto put = [&](rtattr* at, unsigned short type, const void* data, std::size_t len) {
        at->rta_type = type;
        at->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
        if (data)
            std::memcpy(RTA_DATA(at), data, len);
        return reinterpret_cast<rtattr*>(reinterpret_cast<char*>(at) + RTA_ALIGN(at->rta_len));
    };
    auto* end = reinterpret_cast<rtattr*>(b.data() + nh->nlmsg_len);
    uint32_t qlen = 10;
    end = put(end, IFLA_TXQLEN, &qlen, 4);
    end = put(end, IFLA_IFNAME, name, std::strlen(name) + 1);
    auto* linkinfo = end;
    auto* in = put(linkinfo, IFLA_LINKINFO, nullptr, 0);
    in = put(in, IFLA_INFO_KIND, kind, std::strlen(kind) + 1);
    auto* data = in;
    auto* d = put(data, IFLA_INFO_DATA, nullptr, 0);
    if (bitrate) {
        can_bittiming bt{};
        bt.bitrate = bitrate;
        d = put(d, IFLA_CAN_BITTIMING, &bt, sizeof bt);
    }
    uint32_t st = static_cast<uint32_t>(state);
    if (state >= 0)
        d = put(d, IFLA_CAN_STATE, &st, 4);
    if (ctrlmode) {
        can_ctrlmode cm{ctrlmode | CAN_CTRLMODE_3_SAMPLES, ctrlmode};
        d = put(d, IFLA_CAN_CTRLMODE, &cm, sizeof cm);
    }
    data->rta_len = static_cast<unsigned short>(reinterpret_cast<char*>(d) - reinterpret_cast<char*>(data));
    linkinfo->rta_len = static_cast<unsigned short>(reinterpret_cast<char*>(d) - reinterpret_cast<char*>(linkinfo));
    nh->nlmsg_len = static_cast<uint32_t>(reinterpret_cast<char*>(d) - b.data());
    b.resize(nh->nlmsg_len);
    return b;
}

// The privileged helper acts only on names and rates it accepts: no path
// parts, no option look-alikes, no name the kernel would cut, no odd rate.
TEST(SocketCan, HelperAcceptsOnlyPlainNamesAndUsualRates)
{
    for (const char* ok : {"can0", "can_1", "pcan-usb.2", "abcdefghijklmno"})
        EXPECT_TRUE(pcan::canlinkNameOk(ok)) << ok;
    for (const char* bad : {"", ".", "..", "../can0", "can0/x", "can 0", "can0:1", "abcdefghijklmnop", "can0\n", "ca\xc3\xa4"})
        EXPECT_FALSE(pcan::canlinkNameOk(bad)) << bad;
    for (uint32_t ok : {10000u, 50000u, 125000u, 250000u, 500000u, 1000000u})
        EXPECT_TRUE(pcan::canlinkBitrateOk(ok)) << ok;
    for (uint32_t bad : {0u, 1u, 250001u, 2000000u, 4294967295u})
        EXPECT_FALSE(pcan::canlinkBitrateOk(bad)) << bad;
}

TEST(SocketCan, LinkKindStateAndWhatOpeningMustDo)
{
    pcan::LinkInfo l;
    // A freshly plugged controller: down, no bit timing yet. Still a controller.
    auto m = linkMessage("can", 0, CAN_STATE_STOPPED, false);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(l.index, 7);
    EXPECT_EQ(l.name, "can0");
    EXPECT_TRUE(l.canType);
    EXPECT_TRUE(l.controller());
    EXPECT_EQ(l.txQueueLen, 10u);
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::Configure);
    m = linkMessage("can", 500000, CAN_STATE_ERROR_ACTIVE, true);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(l.bitrate, 500000u);
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::Configure);
    EXPECT_EQ(pcan::linkStep(l, 500000), pcan::LinkStep::Ready);
    // Bus-off: restarted, unless the kernel restarts it by itself.
    m = linkMessage("can", 250000, CAN_STATE_BUS_OFF, true);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::Restart);
    l.restartMs = 100;
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::Ready);
    // Virtual interfaces have no bit timing and only have to be up.
    m = linkMessage("vcan", 0, -1, false);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(l.kind, "vcan");
    EXPECT_EQ(l.state, -1);
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::NeedsUp);
    l.up = true;
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::Ready);
    EXPECT_EQ(pcan::linkStep(pcan::LinkInfo{}, 250000), pcan::LinkStep::Missing);
    // The kernel's "no such device" answer holds no link.
    nlmsghdr err{};
    err.nlmsg_type = NLMSG_ERROR;
    err.nlmsg_len = sizeof err;
    EXPECT_FALSE(pcan::parseLinkReply(&err, sizeof err, l));
}

// The kernel stores the rate its clock achieves: within 1 % is the same
// rate, left alone; a truly different one is set again, saying so once.
TEST(SocketCan, RateWithinOnePercentAndControlModesLeftOnByAnotherTool)
{
    pcan::LinkInfo l;
    auto m = linkMessage("can", 249500, CAN_STATE_ERROR_ACTIVE, true);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::Ready);
    EXPECT_EQ(pcan::linkStep(l, 125000), pcan::LinkStep::Configure);
    EXPECT_EQ(pcan::reconfigureNotice("can0", l, 125000), "CAN interface can0 ran at 249500 bit/s: set it to 125000");
    l.bitrate = 247000;
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::Configure);
    // Listen-only left on: our frames would never reach the wire.
    m = linkMessage("can", 250000, CAN_STATE_ERROR_ACTIVE, true, "can0", CAN_CTRLMODE_LISTENONLY);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(pcan::unwantedModes(l), uint32_t(CAN_CTRLMODE_LISTENONLY));
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::Configure);
    EXPECT_EQ(pcan::linkAdvice("can0", l, 250000, ""),
              "CAN interface can0 is in listen-only mode: run 'ip link set can0 down; ip link set can0 up type "
              "can bitrate 250000 restart-ms 100 listen-only off'");
    EXPECT_EQ(pcan::reconfigureNotice("can0", l, 250000), "CAN interface can0 was in listen-only mode: turned it off");
    // A controller merely down (just plugged in) is set up without a word.
    l.up = false;
    EXPECT_EQ(pcan::reconfigureNotice("can0", l, 250000), "");
    // The request that turns the mode off, read back as the kernel would.
    pcan::LinkChange c;
    c.bitrate = 250000;
    c.restartMs = 100;
    c.modesOff = pcan::unwantedModes(l);
    auto req = pcan::linkRequest(7, c, 1);
    pcan::LinkInfo back;
    ASSERT_TRUE(pcan::parseLinkReply(req.data(), req.size(), back));
    EXPECT_EQ(back.index, 7);
    EXPECT_EQ(back.kind, "can");
    EXPECT_EQ(back.bitrate, 250000u);
    EXPECT_EQ(back.restartMs, 100u);
    EXPECT_EQ(pcan::unwantedModes(back), 0u);
}

// Without CAP_NET_ADMIN: exactly one line per condition, every command with
// automatic restart; a bus-off controller that stays off names the restart.
TEST(SocketCan, OneLineOfAdviceWithoutTheCapability)
{
    EXPECT_TRUE(pcan::statusGrantsNetAdmin("Name:\tx\nCapInh:\t0000000000000000\nCapEff:\t000001ffffffffff\n"));
    EXPECT_FALSE(pcan::statusGrantsNetAdmin("CapPrm:\t000001ffffffffff\nCapEff:\t000001ffffffefff\n"));
    EXPECT_FALSE(pcan::statusGrantsNetAdmin("CapEff:\t0000000000000000\n"));
    pcan::LinkInfo l;
    auto m = linkMessage("can", 0, CAN_STATE_STOPPED, false);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(pcan::linkAdvice("can0", l, 250000, ""),
              "CAN interface can0 is down: run 'ip link set can0 down; ip link set can0 up type can bitrate 250000 "
              "restart-ms 100'");
    m = linkMessage("can", 500000, CAN_STATE_ERROR_ACTIVE, true);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(pcan::linkAdvice("can0", l, 250000, ""),
              "CAN interface can0 runs at 500000 bit/s, not 250000: run 'ip link set can0 down; ip link set can0 up "
              "type can bitrate 250000 restart-ms 100'");
    m = linkMessage("can", 250000, CAN_STATE_BUS_OFF, true);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(pcan::busStateOfSocketCan(l.state), pcan::BusState::BusOff);
    const std::string offAdvice = pcan::linkAdvice("can0", l, 250000, "");
    EXPECT_NE(offAdvice.find("is bus-off and does not restart by itself: run 'ip link set can0 type can restart'"),
              std::string::npos) << offAdvice;
    EXPECT_NE(offAdvice.find("restart-ms 100"), std::string::npos) << offAdvice;
    // Stopped while up: set up afresh (with the capability) or one line saying so.
    m = linkMessage("can", 250000, CAN_STATE_STOPPED, true);
    ASSERT_TRUE(pcan::parseLinkReply(m.data(), m.size(), l));
    EXPECT_EQ(pcan::linkStep(l, 250000), pcan::LinkStep::Configure);
    EXPECT_NE(pcan::linkAdvice("can0", l, 250000, "").find("CAN controller can0 is up but stopped: run "),
              std::string::npos);
    for (const auto& line : {offAdvice, pcan::linkAdvice("can0", l, 250000, "")})
        EXPECT_EQ(line.find('\n'), std::string::npos);
}

// Without TAVELIN_BUS: can0, else the only controller; "not found" lists what there is.
TEST(SocketCan, DefaultInterfaceAndTheInterfacesNamedWhenMissing)
{
    auto link = [](const char* kind, const char* name) {
        pcan::LinkInfo l;
        auto m = linkMessage(kind, 0, -1, true, name);
        pcan::parseLinkReply(m.data(), m.size(), l);
        return l;
    };
    EXPECT_EQ(pcan::defaultCanInterface({link("vcan", "vcan0"), link("can", "can1")}), "can1");
    EXPECT_EQ(pcan::defaultCanInterface({link("can", "can1"), link("can", "can0")}), "can0");
    EXPECT_EQ(pcan::defaultCanInterface({link("can", "can1"), link("can", "can2")}), "");
    EXPECT_EQ(pcan::defaultCanInterface({link("vcan", "vcan0")}), "");
    EXPECT_EQ(pcan::canInterfaceNames({link("can", "can1"), link("vcan", "vcan0")}), "can1, vcan0");
    EXPECT_EQ(pcan::linkAdvice("can0", pcan::LinkInfo{}, 250000, pcan::canInterfaceNames({})),
              "CAN interface can0 not found (CAN interfaces here: none): plug in the adapter (modprobe peak_usb), "
              "or set TAVELIN_BUS");
}

// The channel's own transmit queue: deep, in order, emptied by CAN_Reset,
// and frames that could not leave for a second are not sent long after.
TEST(TxQueue, DeepInOrderClearedAndStaleFramesDroppedAfterAStall)
{
    using namespace std::chrono;
    using Clock = pcan::TxQueue::Clock;
    const auto t0 = Clock::now();
    pcan::TxQueue q(4);
    wire::Frame f;
    for (uint32_t i = 0; i < 4; ++i) {
        f.id = i;
        EXPECT_TRUE(q.push(f, t0));
    }
    EXPECT_FALSE(q.push(f, t0));  // full only when the deep queue is full
    uint64_t seq = 0;
    ASSERT_TRUE(q.front(f, seq, milliseconds(0)));
    EXPECT_EQ(f.id, 0u);
    q.sent(seq, t0 + milliseconds(10));
    // A driver that takes nothing for a while: nothing is dropped before a second has passed...
    q.refused(t0 + milliseconds(900));
    EXPECT_EQ(q.size(), 3u);
    f.id = 9;
    ASSERT_TRUE(q.push(f, t0 + milliseconds(1005)));
    // ...then frames queued more than a second ago go; the newer one stays.
    q.refused(t0 + milliseconds(1020));
    EXPECT_EQ(q.size(), 1u);
    EXPECT_EQ(q.dropped(), 3u);
    EXPECT_EQ(q.takeDropped(), 3u);  // each loss is given once
    EXPECT_EQ(q.takeDropped(), 0u);
    ASSERT_TRUE(q.front(f, seq, milliseconds(0)));
    EXPECT_EQ(f.id, 9u);
    // A slow queue that drains drops nothing, however old its frames.
    q.sent(seq, t0 + seconds(5));
    f.id = 10;
    q.push(f, t0 + seconds(5));
    f.id = 11;
    q.push(f, t0 + seconds(5));
    ASSERT_TRUE(q.front(f, seq, milliseconds(0)));
    q.sent(seq, t0 + seconds(8));
    q.refused(t0 + seconds(8) + milliseconds(500));
    EXPECT_EQ(q.size(), 1u);
    // Cleared while the writer holds a frame: its hand-over does not take a
    // newer one, and until it ends no frame may go past it.
    ASSERT_TRUE(q.front(f, seq, milliseconds(0)));
    q.clear();
    EXPECT_FALSE(q.idle());
    f.id = 12;
    q.push(f, t0 + seconds(9));
    q.sent(seq, t0 + seconds(9));
    ASSERT_TRUE(q.front(f, seq, milliseconds(0)));
    EXPECT_EQ(f.id, 12u);
    q.sent(seq, t0 + seconds(9));
    EXPECT_TRUE(q.idle());
}

// CAN_Write's side never waits for the driver: thousands of frames queue
// while it takes nothing, and leave in order once it takes them again.
TEST(TxQueue, WriterDrainsInOrderOnceTheDriverTakesFrames)
{
    pcan::TxQueue q;
    std::atomic<bool> open{false};
    std::mutex m;
    std::vector<uint32_t> wire;
    pcan::TxWriter w(q);
    w.start([&](const wire::Frame& f) {
        if (!open)
            return pcan::Handover::Refused;
        std::lock_guard<std::mutex> lock(m);
        wire.push_back(f.id);
        return pcan::Handover::Taken;
    });
    wire::Frame f;
    for (uint32_t i = 0; i < 3000; ++i) {
        f.id = i;
        ASSERT_TRUE(q.push(f, pcan::TxQueue::Clock::now()));
    }
    open = true;
    for (int i = 0; i < 1000 && q.size() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    w.stop();
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(wire.size(), 3000u);
    for (uint32_t i = 0; i < 3000; ++i)
        ASSERT_EQ(wire[i], i);
}

TEST(FrameTiming, StuffedLengthsOfKnownFrames)
{
    wire::Frame f;
    f.extended = true;
    f.id = 0x18DAF922;
    f.dlc = 8;
    unsigned bits = canhub::frameBits(f);
    // 29-bit, 8 bytes: 131 bits before stuffing plus 3 of intermission, at most 24 stuff bits.
    EXPECT_GE(bits, 131u + 3);
    EXPECT_LE(bits, 131u + 3 + 24);
    // All-zero data stuffs far more than alternating data.
    wire::Frame z = f;
    for (auto& b : z.data) b = 0x00;
    wire::Frame a = f;
    for (auto& b : a.data) b = 0x55;
    EXPECT_GT(canhub::frameBits(z), canhub::frameBits(a));
    wire::Frame s;
    s.id = 0x7FF;
    s.dlc = 0;
    EXPECT_GE(canhub::frameBits(s), 47u);
}

TEST(PcanErrorFrames, KernelErrorFramesBecomeErrorFramesAndStatusMessages)
{
    // A stuff error while receiving, in the data field, counters rx 100 / tx 7.
    uint8_t stuff[8] = {0, 0, CAN_ERR_PROT_STUFF, CAN_ERR_PROT_LOC_DATA, 0, 0, 7, 100};
    pcan::ErrorReport r = pcan::reportOfErrorFrame(CAN_ERR_PROT | CAN_ERR_CNT, stuff);
    ASSERT_TRUE(r.hasErrorFrame);
    EXPECT_FALSE(r.hasStatus);
    EXPECT_EQ(r.errorFrame.MSGTYPE, PCAN_MESSAGE_ERRFRAME);
    EXPECT_EQ(r.errorFrame.ID, 4u);
    EXPECT_EQ(r.errorFrame.LEN, 4);
    EXPECT_EQ((std::vector<int>(r.errorFrame.DATA, r.errorFrame.DATA + 4)),
              (std::vector<int>{1, 0x80 | 0x20 | CAN_ERR_PROT_LOC_DATA, 100, 7}));

    // A dominant bit lost while transmitting, and the controller error passive.
    uint8_t bit[8] = {0, CAN_ERR_CRTL_TX_PASSIVE | CAN_ERR_CRTL_TX_WARNING,
                      CAN_ERR_PROT_BIT0 | CAN_ERR_PROT_TX, CAN_ERR_PROT_LOC_ID28_21, 0, 0, 128, 0};
    r = pcan::reportOfErrorFrame(CAN_ERR_PROT | CAN_ERR_CRTL, bit);
    ASSERT_TRUE(r.hasErrorFrame && r.hasStatus);
    EXPECT_EQ(r.errorFrame.ID, 1u);
    EXPECT_EQ(r.errorFrame.DATA[0], 0);
    EXPECT_EQ(r.errorFrame.DATA[1], CAN_ERR_PROT_LOC_ID28_21);
    EXPECT_EQ(r.status, PCAN_ERROR_BUSHEAVY);

    // No acknowledgement: an "other" error of the transmitter.
    uint8_t none[8] = {};
    r = pcan::reportOfErrorFrame(CAN_ERR_ACK, none);
    EXPECT_EQ(r.errorFrame.ID, 8u);
    EXPECT_EQ(r.errorFrame.DATA[1], 0xC0 | CAN_ERR_PROT_LOC_ACK);

    // Changes of state alone.
    struct { uint32_t cls; uint8_t crtl; TPCANStatus status; } states[] = {
        {CAN_ERR_CRTL, CAN_ERR_CRTL_RX_WARNING, PCAN_ERROR_BUSLIGHT},
        {CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW, PCAN_ERROR_OVERRUN},
        {CAN_ERR_CRTL, CAN_ERR_CRTL_ACTIVE, PCAN_ERROR_OK},
        {CAN_ERR_BUSOFF, 0, PCAN_ERROR_BUSOFF},
        {CAN_ERR_RESTARTED, 0, PCAN_ERROR_OK},
    };
    for (const auto& s : states) {
        uint8_t d[8] = {0, s.crtl};
        r = pcan::reportOfErrorFrame(s.cls, d);
        EXPECT_FALSE(r.hasErrorFrame) << s.cls;
        EXPECT_TRUE(r.hasStatus) << s.cls;
        EXPECT_EQ(r.status, s.status) << s.cls;
        EXPECT_EQ(r.busOff, s.cls == CAN_ERR_BUSOFF);
    }
    EXPECT_FALSE(pcan::reportOfErrorFrame(CAN_ERR_LOSTARB, none).hasStatus);

    TPCANMsg m = pcan::statusMessage(PCAN_ERROR_BUSOFF);
    EXPECT_EQ(m.MSGTYPE, PCAN_MESSAGE_STATUS);
    EXPECT_EQ(m.LEN, 4);
    EXPECT_EQ((std::vector<int>(m.DATA, m.DATA + 4)), (std::vector<int>{0, 0, 0, 0x10}));
}

TEST(PcanApiText, ErrorTextsAndChannelLookUp)
{
    for (TPCANStatus code : {PCAN_ERROR_OK, PCAN_ERROR_QRCVEMPTY, PCAN_ERROR_NODRIVER, PCAN_ERROR_ILLHANDLE,
                             PCAN_ERROR_INITIALIZE, PCAN_ERROR_ILLOPERATION, PCAN_ERROR_BUSPASSIVE})
        EXPECT_NE(pcan::errorText(code), nullptr) << code;
    EXPECT_EQ(pcan::errorText(PCAN_ERROR_QRCVEMPTY | PCAN_ERROR_BUSOFF), nullptr);
    EXPECT_EQ(pcan::errorText(0x1000), nullptr);

    const uint32_t id = 0x2A;
    EXPECT_TRUE(pcan::lookUpChannel("devicetype=PCAN_USB", id).matches);
    EXPECT_TRUE(pcan::lookUpChannel(" DeviceType = 5 , controllernumber=0, deviceid=0x2a ", id).matches);
    auto miss = pcan::lookUpChannel("devicetype=PCAN_LAN, deviceid=42", id);
    EXPECT_TRUE(miss.valid);
    EXPECT_FALSE(miss.matches);
    EXPECT_FALSE(pcan::lookUpChannel("deviceid=41", id).matches);
    EXPECT_FALSE(pcan::lookUpChannel("ipaddress=10.0.0.1", id).matches);
    for (const char* bad : {"", "deviceid", "deviceid=x", "colour=blue", "controllernumber=-1"})
        EXPECT_FALSE(pcan::lookUpChannel(bad, id).valid) << bad;
}

}  // namespace
