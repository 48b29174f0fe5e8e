// The bench ECU's bootloader as request/answer scripts.
#include <gtest/gtest.h>

#include <sstream>

#include "ecu_model.h"

using ecusim::Bytes;

namespace {

Bytes hex(const std::string& s)
{
    std::istringstream in(s);
    Bytes out;
    std::string t;
    while (in >> t)
        out.push_back(static_cast<uint8_t>(std::stoul(t, nullptr, 16)));
    return out;
}

// Each step: a request and the expected answer ("" for silence).
void run(ecusim::Model& m, const std::vector<std::pair<std::string, std::string>>& script, int64_t t = 0)
{
    for (auto& [req, ans] : script) {
        auto got = m.handle(hex(req), false, t);
        if (ans.empty())
            EXPECT_FALSE(got) << req;
        else {
            ASSERT_TRUE(got) << req;
            EXPECT_EQ(*got, hex(ans)) << req;
        }
    }
}

ecusim::Config bootConfig()
{
    ecusim::Config c;
    c.power = ecusim::Config::Power::Boot;
    c.seed = 0x1234;
    c.faults.erasePending = 2;
    return c;
}

const std::vector<std::pair<std::string, std::string>> kUnlock = {
    {"27 01", "67 01 12 34"}, {"27 02 CB ED 00 00 00", "67 02"}, {"10 85", "50 85"}};

TEST(EcuModel, WholeProgrammingSession)
{
    ecusim::Model m(bootConfig());
    run(m, {{"3E", "7E"}, {"22 FF 00 00 00", "62 FF 00 39 30 00 00"}, {"22 FF 06 00 00", "62 FF 06 00 01 00 00"}});
    run(m, kUnlock);
    run(m, {{"31 10", "71 10"}, {"33 10", "7F 33 23"}, {"33 10", "7F 33 23"}, {"33 10", "73 10 00"}, {"34", "74"},
            {"36 00 80 00 00 01 02 03", "76"}, {"36 03 80 00 00 04", "76"}, {"37", "77"},
            {"31 20 00 0A", "71 20"}, {"33 20", "73 20 00"}, {"11", "51"}});
    EXPECT_EQ(m.memory().size(), 4u);
    EXPECT_EQ(m.memory().at(0x8003), 4);
    EXPECT_EQ(m.checksum(), 10);
    EXPECT_EQ(m.verdict(), "match");
}

TEST(EcuModel, HoldsTheTesterToTheOrder)
{
    ecusim::Model m(bootConfig());
    run(m, {{"10 85", "7F 10 33"}, {"27 02 00 00 00 00 00", "7F 27 24"}, {"31 10", "7F 31 22"},
            {"33 10", "7F 33 24"}, {"34", "7F 34 22"}, {"36 00 00 00 00 01", "7F 36 24"}, {"37", "7F 37 24"},
            {"33 20", "7F 33 24"}, {"22 FF 07 00 00", "7F 22 31"}, {"22 FF 00", "7F 22 13"}, {"85", "7F 85 11"}});
    // A wrong key needs a fresh seed before the next try.
    run(m, {{"27 01", "67 01 12 34"}, {"27 02 CB ED 00 00 01", "7F 27 35"}, {"27 02 CB ED 00 00 00", "7F 27 24"}});
}

TEST(EcuModel, TransfersLandInsideTheFlashAndWithinTheBlockLength)
{
    ecusim::Config c = bootConfig();
    c.flashStart = 0x1000;
    c.flashEnd = 0x2000;
    c.faults.erasePending = 0;
    ecusim::Model m(c);
    run(m, kUnlock);
    run(m, {{"31 10", "71 10"}, {"33 10", "73 10 00"}, {"34", "74"}, {"36 FF 0F 00 00 01", "7F 36 31"},
            {"36 FF 1F 00 00 01 02", "7F 36 31"}, {"36 00 10 00 00 05", "76"},
            {"36 00 10 00 00 05", "76"},     // the same block again: accepted
            {"36 00 10 00 00 06", "7F 36 72"}});  // other data at a programmed byte
    Bytes big = hex("36 00 11 00 00");
    big.resize(5 + 257, 0x11);  // above the block length of 256
    EXPECT_EQ(*m.handle(big, false, 0), hex("7F 36 31"));
}

TEST(EcuModel, FaultOptions)
{
    ecusim::Config c = bootConfig();
    c.faults.nrc[0x10] = {0x78, 2};
    c.faults.noAnswer.insert(0x37);
    c.faults.eraseResult = 0x05;
    c.faults.erasePending = 0;
    ecusim::Model m(c);
    run(m, {{"27 01", "67 01 12 34"}, {"27 02 CB ED 00 00 00", "67 02"}, {"10 85", "7F 10 78"},
            {"10 85", "7F 10 78"}, {"10 85", "50 85"}, {"31 10", "71 10"}, {"33 10", "73 10 05"},
            {"34", "7F 34 22"}, {"37", ""}});

    ecusim::Config k = bootConfig();
    k.faults.rejectKeys = -1;
    k.faults.stopAfter = 3;
    k.faults.checksumResult = 1;
    ecusim::Model n(k);
    run(n, {{"27 01", "67 01 12 34"}, {"27 02 CB ED 00 00 00", "7F 27 35"}, {"3E", "7E"}, {"3E", ""}});
}

TEST(EcuModel, IdentificationSettings)
{
    ecusim::Config c = bootConfig();
    std::string err;
    ASSERT_TRUE(ecusim::applySetting(c, "hw_version", "1.2.10.99", err)) << err;
    ASSERT_TRUE(ecusim::applySetting(c, "item.0", "FF FF FF FF", err)) << err;
    ASSERT_TRUE(ecusim::applySetting(c, "item.3", "nrc 31", err)) << err;
    ASSERT_TRUE(ecusim::applySetting(c, "item.4", "01", err)) << err;
    ASSERT_TRUE(ecusim::applySetting(c, "block_length", "1024", err)) << err;
    EXPECT_FALSE(ecusim::applySetting(c, "hw_version", "1.2.3", err));
    EXPECT_FALSE(ecusim::applySetting(c, "block_length", "70000", err));
    EXPECT_FALSE(ecusim::applySetting(c, "colour", "red", err));
    ecusim::Model m(c);
    run(m, {{"22 FF 00 00 00", "62 FF 00 FF FF FF FF"}, {"22 FF 01 00 00", "62 FF 01 01 02 0A 63"},
            {"22 FF 03 00 00", "7F 22 31"}, {"22 FF 04 00 00", "62 FF 04 01"},
            {"22 FF 06 00 00", "62 FF 06 00 04 00 00"}});
}

TEST(EcuModel, PowerUpCaptureAndApplication)
{
    ecusim::Config c;
    c.power = ecusim::Config::Power::Off;
    c.powerOnAfterCaptureMs = 100;
    c.bootWindowMs = 500;
    ecusim::Model m(c);
    const Bytes capture = hex("80 A5 5A C3 3C 96 69");
    EXPECT_FALSE(m.handle(hex("3E"), false, 0));  // off: silent
    EXPECT_FALSE(m.handle(capture, true, 10));     // heard: switches on at 110 ms
    m.tick(109);
    EXPECT_EQ(m.state(), ecusim::Model::State::Off);
    m.tick(110);
    EXPECT_EQ(m.state(), ecusim::Model::State::BootWindow);
    EXPECT_FALSE(m.handle(hex("3E"), false, 120));
    EXPECT_FALSE(m.handle(capture, true, 200));
    EXPECT_EQ(m.state(), ecusim::Model::State::Bootloader);
    EXPECT_EQ(*m.handle(hex("3E"), false, 210), hex("7E"));
    // A reset restarts it; with no capture request it runs its application.
    EXPECT_EQ(*m.handle(hex("11"), false, 300), hex("51"));
    m.tick(400);
    EXPECT_EQ(m.state(), ecusim::Model::State::BootWindow);
    m.tick(2000);
    EXPECT_EQ(m.state(), ecusim::Model::State::Application);
    EXPECT_EQ(*m.handle(hex("3E"), false, 2010), hex("7F 3E 11"));
    // A wrong capture code keeps nothing in the bootloader.
    ecusim::Config b;
    b.power = ecusim::Config::Power::App;
    ecusim::Model app(b);
    EXPECT_FALSE(app.handle(hex("80 A5 5A C3 3C 96 00"), true, 0));
    EXPECT_EQ(app.state(), ecusim::Model::State::Application);
}

}  // namespace
