// canhub against hostile and slow peers, many clients, volume, and its log.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <set>
#include <fstream>
#include <thread>

#include "process.h"
#include "raw_client.h"

using namespace testbench;

namespace {

struct CanhubTest : ::testing::Test {
    Hub hub;
    void SetUp() override { ASSERT_TRUE(hub.start()); }
};

TEST_F(CanhubTest, BadInputGetsAnErrorAndTheConnectionStaysUsable)
{
    RawClient a, b;
    ASSERT_TRUE(a.connect(hub.port));
    ASSERT_TRUE(b.connect(hub.port));
    for (std::string bad : std::vector<std::string>{"< bogus >", "< send 123 9 1 2 3 4 5 6 7 8 9 >", "< send xyz 1 00 >", "garbage",
                            "< " + std::string(600, 'x') + " >", "< send 123 2 01 >"}) {
        a.send(bad);
        std::string reply = a.next(5000);
        EXPECT_EQ(reply.rfind("< error ", 0), 0u) << bad << " -> " << reply;
    }
    a.sendFrame(frame(0x123, {0x42}, false));
    auto f = b.nextFrame(5000);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data[0], 0x42);
    EXPECT_FALSE(f->extended);
    EXPECT_FALSE(a.nextFrame(200));  // never back to the sender
}

TEST_F(CanhubTest, HandshakeOrderIsEnforced)
{
    RawClient a;
    ASSERT_TRUE(a.connect(hub.port, "vcan0", false));  // opened, not in raw mode
    a.send("< send 123 0 >");
    EXPECT_EQ(a.next(5000).rfind("< error", 0), 0u);
}

TEST_F(CanhubTest, APeerThatLeavesMidMessageDisturbsNobody)
{
    RawClient b;
    ASSERT_TRUE(b.connect(hub.port));
    {
        RawClient a;
        ASSERT_TRUE(a.connect(hub.port));
        a.send("< send 18DAF922 8 01 02 0");
    }
    RawClient c;
    ASSERT_TRUE(c.connect(hub.port));
    EXPECT_FALSE(b.nextFrame(300));
    c.sendFrame(frame(0x18DAF922, {7}));
    auto f = b.nextFrame(5000);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data[0], 7);
}

TEST_F(CanhubTest, TwentyClientsOnTwoBuses)
{
    std::vector<std::unique_ptr<RawClient>> cl;
    for (int i = 0; i < 20; ++i) {
        cl.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(cl.back()->connect(hub.port, i % 2 ? "busb" : "busa"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // past the hold after rawmode
    for (int i = 0; i < 20; ++i)
        cl[i]->sendFrame(frame(0x100 + i, {static_cast<uint8_t>(i)}, false));
    for (int i = 0; i < 20; ++i) {
        std::set<int> from;
        for (int k = 0; k < 9; ++k) {
            auto f = cl[i]->nextFrame(5000);
            ASSERT_TRUE(f) << "client " << i << " frame " << k;
            from.insert(f->data[0]);
        }
        EXPECT_EQ(from.size(), 9u);
        for (int s : from)
            EXPECT_EQ(s % 2, i % 2) << "client " << i << " heard bus of " << s;
        EXPECT_FALSE(from.count(i));
    }
}

TEST_F(CanhubTest, HundredThousandFramesInOrderWhileASilentPeerIsDropped)
{
    RawClient writer, reader, silent;
    ASSERT_TRUE(writer.connect(hub.port));
    ASSERT_TRUE(reader.connect(hub.port));
    ASSERT_TRUE(silent.connect(hub.port, "vcan0", true, 4096));  // and never reads again
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    constexpr uint32_t kFrames = 100000;
    std::atomic<uint32_t> received{0};
    std::atomic<bool> inOrder{true};
    std::thread rd([&] {
        for (uint32_t i = 0; i < kFrames; ++i) {
            auto f = reader.nextFrame(20000);
            if (!f)
                return;
            uint32_t n = f->data[0] | f->data[1] << 8 | f->data[2] << 16;
            if (n != i)
                inOrder = false;
            ++received;
        }
    });
    std::string batch;
    for (uint32_t i = 0; i < kFrames; ++i) {
        batch += wire::formatSend(frame(0x18DAF922, {uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16), 0, 0, 0, 0, 0}));
        if (batch.size() > 60000) {
            writer.send(batch);
            batch.clear();
        }
    }
    writer.send(batch);
    rd.join();
    EXPECT_EQ(received.load(), kFrames);
    EXPECT_TRUE(inOrder.load());
    EXPECT_TRUE(hub.p.waitFor("stopped reading", 20000, true)) << hub.p.err();
}

TEST(CanhubLog, PcapHoldsTheDeliveredFrames)
{
    std::string dir = tempDir();
    Hub hub;
    ASSERT_TRUE(hub.start({"--pcap", dir + "/bus.pcap"}));
    RawClient a, b;
    ASSERT_TRUE(a.connect(hub.port));
    ASSERT_TRUE(b.connect(hub.port));
    a.sendFrame(frame(0x18DA22F9, {0x01, 0x3E, 0, 0, 0, 0, 0, 0}));
    a.sendFrame(frame(0x7FF, {0xAB}, false));
    ASSERT_TRUE(b.nextFrame(5000));
    ASSERT_TRUE(b.nextFrame(5000));
    EXPECT_EQ(hub.p.stop(), 0);  // SIGTERM flushes and exits 0
    std::ifstream in(dir + "/bus.pcap", std::ios::binary);
    std::string f((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(f.size(), 24u + 2 * 32);
    auto le32 = [&](std::size_t o) { return uint32_t(uint8_t(f[o])) | uint32_t(uint8_t(f[o + 1])) << 8 |
                                            uint32_t(uint8_t(f[o + 2])) << 16 | uint32_t(uint8_t(f[o + 3])) << 24; };
    auto be32 = [&](std::size_t o) { return uint32_t(uint8_t(f[o])) << 24 | uint32_t(uint8_t(f[o + 1])) << 16 |
                                            uint32_t(uint8_t(f[o + 2])) << 8 | uint32_t(uint8_t(f[o + 3])); };
    EXPECT_EQ(le32(0), 0xA1B2C3D4u);
    EXPECT_EQ(le32(20), 227u);
    EXPECT_EQ(le32(24 + 8), 16u);
    EXPECT_EQ(be32(24 + 16), 0x18DA22F9u | 0x80000000u);
    EXPECT_EQ(uint8_t(f[24 + 20]), 8);
    EXPECT_EQ(uint8_t(f[24 + 25]), 0x3E);
    EXPECT_EQ(be32(24 + 32 + 16), 0x7FFu);
    EXPECT_EQ(uint8_t(f[24 + 32 + 20]), 1);
}

}  // namespace
