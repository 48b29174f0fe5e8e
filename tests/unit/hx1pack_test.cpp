// hx1pack as a program: its files read back by srec_cat, and its errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "intel_hex.h"

namespace {

std::string bin() { return std::getenv("TAVELIN_BIN") ? std::getenv("TAVELIN_BIN") : "."; }

int run(const std::string& args) { return std::system((bin() + "/hx1pack " + args + " 2>/dev/null").c_str()); }

hexfile::Image readHex(const std::string& path)
{
    std::ifstream in(path);
    hexfile::Image img;
    std::string err;
    EXPECT_TRUE(hexfile::readIntelHex(in, img, err)) << path << ": " << err;
    return img;
}

struct Hx1pack : ::testing::Test {
    std::string dir;
    void SetUp() override
    {
        char d[] = "/tmp/hx1pack_testXXXXXX";
        ASSERT_NE(mkdtemp(d), nullptr);
        dir = d;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
    // What srec_cat reads from the records of an update file.
    hexfile::Image srec(const std::string& hx1)
    {
        std::string recs = dir + "/recs.hex", out = dir + "/srec.hex";
        std::string cmd = "grep '^:' " + hx1 + " > " + recs + " && srec_cat " + recs + " -intel -o " + out + " -intel";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return readHex(out);
    }
};

TEST_F(Hx1pack, BinaryAndHexInputsReadBackByteForByte)
{
    ASSERT_EQ(run("--make-image 70000 -o " + dir + "/img.bin"), 0);
    for (std::string ext : {"02", "04"}) {
        std::string out = dir + "/b" + ext + ".hx1";
        ASSERT_EQ(run("--hwid 77 --in " + dir + "/img.bin --base 0x3000 --ext " + ext + " --record-len 200 -o " + out), 0);
        hexfile::Image img = srec(out);
        EXPECT_EQ(img.size(), 70000u);
        EXPECT_EQ(img.begin()->first, 0x3000u);
        std::ifstream in(dir + "/img.bin", std::ios::binary);
        std::string raw((std::istreambuf_iterator<char>(in)), {});
        for (std::size_t i = 0; i < raw.size(); i += 997)
            ASSERT_EQ(img.at(0x3000 + static_cast<uint32_t>(i)), static_cast<uint8_t>(raw[i]));
        // The header: checksum line, hardware line, descriptor with the same checksum.
        std::ifstream f(out);
        std::string first, line, all;
        std::getline(f, first);
        EXPECT_EQ(first.substr(0, 2), "0x");
        unsigned sum = static_cast<unsigned>(std::stoul(first.substr(2, 4), nullptr, 16));
        EXPECT_EQ(sum, hexfile::imageChecksum(img));
        while (std::getline(f, line))
            all += line + "\n";
        EXPECT_NE(all.find("COMPATIBLE_HARDWARE_ID_VERSION = 77\n"), std::string::npos);
        char desc[32];
        std::snprintf(desc, sizeof desc, ",0x%02X,0x%02X\n", sum >> 8, sum & 0xFF);
        EXPECT_NE(all.find(std::string("DOWNLOAD =\n0x")), std::string::npos);
        EXPECT_NE(all.find(desc), std::string::npos);
    }
    // An Intel HEX input with a gap round-trips too.
    {
        std::ofstream h(dir + "/in.hex");
        h << ":020000040001F9\n:04001000DEADBEEFB4\n:04002000CAFEBABE9C\n:00000001FF\n";
    }
    ASSERT_EQ(run("--hwid 1 --in " + dir + "/in.hex --ext 02 -o " + dir + "/h.hx1"), 0);
    hexfile::Image img = srec(dir + "/h.hx1");
    EXPECT_EQ(img.size(), 8u);
    EXPECT_EQ(img.at(0x10010), 0xDE);
    EXPECT_EQ(img.at(0x10023), 0xBE);
}

TEST_F(Hx1pack, BadInputFailsWithStatusOne)
{
    {
        std::ofstream h(dir + "/overlap.hex");
        h << ":0400100001020304E2\n:02001200AABB87\n:00000001FF\n";
        std::ofstream b(dir + "/bad.hex");
        h.flush();
        b << ":04001000010203\n";
    }
    EXPECT_NE(run("--hwid 1 --in " + dir + "/missing.bin -o " + dir + "/x.hx1"), 0);
    EXPECT_NE(run("--hwid 1 --in " + dir + "/overlap.hex -o " + dir + "/x.hx1"), 0);
    EXPECT_NE(run("--hwid 1 --in " + dir + "/bad.hex -o " + dir + "/x.hx1"), 0);
    EXPECT_NE(run("--in " + dir + "/bad.hex -o " + dir + "/x.hx1"), 0);
    ASSERT_EQ(run("--make-image 16 -o " + dir + "/s.bin"), 0);
    EXPECT_NE(run("--hwid 1 --in " + dir + "/s.bin --base 0x100000 --ext 02 -o " + dir + "/x.hx1"), 0);
}

}  // namespace
