// The bench ECU's transport: reassembly, flow control and every framing
// violation it must report, as byte-exact frame vectors.
#include <gtest/gtest.h>

#include "isotp_receiver.h"

using ecusim::Frame8;
using ecusim::Receiver;
using ecusim::RxFrame;

namespace {

RxFrame fr(std::initializer_list<uint8_t> d, int64_t atUs = 0, int dlc = 8)
{
    RxFrame f;
    f.dlc = static_cast<uint8_t>(dlc);
    std::copy(d.begin(), d.end(), f.data.begin());
    f.atUs = atUs;
    return f;
}

TEST(IsoTpReceiver, SingleAndSegmentedRequests)
{
    Receiver rx({});
    auto r = rx.feed(fr({0x02, 0x27, 0x01, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(r.message);
    EXPECT_EQ(*r.message, (std::vector<uint8_t>{0x27, 0x01}));
    EXPECT_TRUE(r.violations.empty());

    r = rx.feed(fr({0x10, 0x0D, 0x36, 1, 2, 3, 4, 5}));
    ASSERT_EQ(r.send.size(), 1u);
    EXPECT_EQ(r.send[0][0], 0x30);
    EXPECT_FALSE(r.message);
    r = rx.feed(fr({0x21, 6, 7, 8, 9, 10, 11, 12}));
    ASSERT_TRUE(r.message);
    EXPECT_EQ(r.message->size(), 13u);
    EXPECT_EQ(r.message->back(), 12);
    EXPECT_TRUE(r.violations.empty());
}

TEST(IsoTpReceiver, ReportsFramingViolations)
{
    struct Case {
        std::vector<RxFrame> frames;
        std::string expect;
    };
    const Case cases[] = {
        {{fr({0x01, 0x3E}, 0, 2)}, "frame of length 2"},
        {{fr({0x10, 0x08, 0x36, 1, 2, 3, 4, 5}), fr({0x22, 6, 7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}, "sequence 2, expected 1"},
        {{fr({0x10, 0x08, 0x36, 1, 2, 3, 4, 5}), fr({0x21, 6, 7, 0x00, 0xFF, 0xFF, 0xFF, 0xFF})}, "padding"},
        {{fr({0x21, 1, 2, 3, 4, 5, 6, 7})}, "without a first frame"},
        {{fr({0x10, 0x14, 0x36, 1, 2, 3, 4, 5}), fr({0x02, 0x3E, 0})}, "interrupted"},
        {{fr({0x10, 0x05, 1, 2, 3, 4, 5, 6})}, "fit a single frame"},
        {{fr({0x00, 0, 0, 0, 0, 0, 0, 0})}, "bad length"},
        {{fr({0x30, 0, 0, 0, 0, 0, 0, 0})}, "flow control frame"},
    };
    for (const Case& c : cases) {
        Receiver rx({});
        std::vector<std::string> all;
        for (auto& f : c.frames) {
            auto r = rx.feed(f);
            all.insert(all.end(), r.violations.begin(), r.violations.end());
        }
        ASSERT_FALSE(all.empty()) << c.expect;
        bool found = false;
        for (auto& v : all)
            found |= v.find(c.expect) != std::string::npos;
        EXPECT_TRUE(found) << c.expect << " in " << all.front();
    }
}

TEST(IsoTpReceiver, SequenceWrapsAndBlockSizeAsksAgain)
{
    ecusim::TransportConfig c;
    c.blockSize = 4;
    Receiver rx(c);
    rx.feed(fr({0x10, 0x80, 0x36, 1, 2, 3, 4, 5}));  // 128 bytes: 18 consecutive frames
    int flowControls = 0;
    std::optional<std::vector<uint8_t>> msg;
    for (int i = 1; i <= 18; ++i) {
        const uint8_t pad = i == 18 ? 0xFF : 1;  // the last frame: three bytes, then padding
        auto r = rx.feed(fr({static_cast<uint8_t>(0x20 | (i & 0xF)), 1, 1, 1, pad, pad, pad, pad}));
        EXPECT_TRUE(r.violations.empty()) << i << ": " << (r.violations.empty() ? "" : r.violations[0]);
        flowControls += static_cast<int>(r.send.size());
        if (r.message)
            msg = r.message;
    }
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->size(), 128u);
    EXPECT_EQ(flowControls, 4);  // after frames 4, 8, 12 and 16
}

TEST(IsoTpReceiver, FaultyFlowControlsAndTimeOuts)
{
    ecusim::TransportConfig c;
    c.fcFaultStatus = 0x31;
    c.fcFaultTimes = 1;
    Receiver rx(c);
    auto r = rx.feed(fr({0x10, 0x08, 0x36, 1, 2, 3, 4, 5}));
    ASSERT_EQ(r.send.size(), 1u);
    EXPECT_EQ(r.send[0][0], 0x31);
    r = rx.feed(fr({0x21, 6, 7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(r.violations.size(), 1u);
    EXPECT_NE(r.violations[0].find("wait/overflow"), std::string::npos);
    r = rx.feed(fr({0x10, 0x08, 0x36, 1, 2, 3, 4, 5}, 1000));
    EXPECT_EQ(r.send[0][0], 0x30);  // only the first time
    EXPECT_TRUE(rx.poll(500000).violations.empty());
    EXPECT_FALSE(rx.poll(1002000).violations.empty());
    EXPECT_FALSE(rx.receiving());
}

TEST(IsoTpReceiver, SeparationTimeIsChecked)
{
    ecusim::TransportConfig c;
    c.separationMs = 10;
    Receiver rx(c);
    // Two frames bunched together after a late one still keep the minimum overall.
    rx.feed(fr({0x10, 0x1B, 0x36, 1, 2, 3, 4, 5}, 0));
    EXPECT_TRUE(rx.feed(fr({0x21, 1, 1, 1, 1, 1, 1, 1}, 15000)).violations.empty());
    EXPECT_TRUE(rx.feed(fr({0x22, 1, 1, 1, 1, 1, 1, 1}, 20500)).violations.empty());
    // A sender that ignores it is reported once.
    auto r = rx.feed(fr({0x23, 1, 1, 1, 1, 1, 1, 1}, 21000));
    ASSERT_EQ(r.violations.size(), 1u);
    EXPECT_NE(r.violations[0].find("separation"), std::string::npos);
}

TEST(IsoTpReceiver, AnswersAsSingleOrFirstFrames)
{
    auto sf = ecusim::encodeAnswer({0x7E}, false);
    ASSERT_EQ(sf.size(), 1u);
    EXPECT_EQ(sf[0][0], 0x01);
    EXPECT_EQ(sf[0][1], 0x7E);
    auto ff = ecusim::encodeAnswer({0x62, 0xFF, 0x00, 1, 2, 3, 4}, true);
    ASSERT_EQ(ff.size(), 2u);
    EXPECT_EQ(ff[0][0], 0x10);
    EXPECT_EQ(ff[0][1], 0x08);
    EXPECT_EQ(ff[1][0], 0x21);
}

}  // namespace
