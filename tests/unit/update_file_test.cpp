// The update-file parser: header rules, record rules, sector building, the
// mends for overlapping records and unsafe input, and a cross-check of the
// placed bytes against srec_cat on generated images.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "intel_hex.h"
#include "update_file.h"

namespace {

const std::string kHeader =
    "0x1234\n"
    "; comment\n"
    "COMPATIBLE_HARDWARE_ID_VERSION = 123\n"
    "DOWNLOAD =\n"
    "0x00008000,0x00000100,0xAB,0xCD\n"
    "PROGRAMMING_SCRIPT_END\n";

std::string rec(uint8_t type, uint16_t off, std::vector<uint8_t> data, int fixSum = 0)
{
    char b[16];
    uint8_t sum = static_cast<uint8_t>(data.size() + (off >> 8) + off + type);
    std::snprintf(b, sizeof b, ":%02X%04X%02X", static_cast<unsigned>(data.size()), off, type);
    std::string s = b;
    for (uint8_t x : data) {
        std::snprintf(b, sizeof b, "%02X", x);
        s += b;
        sum = static_cast<uint8_t>(sum + x);
    }
    std::snprintf(b, sizeof b, "%02X\n", static_cast<uint8_t>(-sum + fixSum));
    return s + b;
}

std::vector<uint8_t> bytes(std::size_t n, uint8_t start = 0)
{
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(start + i);
    return v;
}

struct Loaded {
    LoadOutcome outcome;
    sector_T* start = nullptr;
    sector_T* cur = nullptr;
    uint32_t total = 0;
    uint8_t cs[10] = {};
    uint32_t hw = 0;
    std::vector<std::pair<uint32_t, uint32_t>> sectors;  // address, length
    std::map<uint32_t, uint8_t> image;
    Loaded(const std::string& text, uint16_t maxLen = 128)
    {
        outcome = parseUpdateFile(text.data(), text.size(), maxLen, start, cur, total, cs, hw);
        uint32_t sum = 0;
        for (sector_T* s = start; s; s = s->next) {
            sectors.push_back({s->start_address, s->len});
            if (s->sector_payload)
                for (uint32_t i = 0; i < s->len; ++i)
                    image[s->start_address + i] = s->sector_payload[i];
            sum += s->len;
        }
        if (outcome == LoadOutcome::Loaded) {
            EXPECT_EQ(sum, total);
        }
    }
    ~Loaded()
    {
        freeSectorList(start, cur);
        EXPECT_EQ(start, nullptr);
        EXPECT_EQ(cur, nullptr);
    }
};

using Sectors = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(UpdateFile, HeaderValuesAndTheDescriptorChecksumWins)
{
    Loaded l(kHeader + ":00000001FF\n");
    ASSERT_EQ(l.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(l.cs[0], 0xAB);
    EXPECT_EQ(l.cs[1], 0xCD);
    EXPECT_EQ(l.hw, 123u);
    EXPECT_EQ(l.sectors, (Sectors{{0, 0}}));  // the empty first sector only
    EXPECT_EQ(l.total, 0u);
}

TEST(UpdateFile, HeaderFailures)
{
    struct Case {
        std::string text;
        LoadOutcome expected;
    };
    const Case cases[] = {
        {"", LoadOutcome::ShortFirstLine},
        {"0x12\n", LoadOutcome::ShortFirstLine},
        {"0X1234\n", LoadOutcome::BadFormat},
        {"0x12G4\n" + kHeader.substr(7), LoadOutcome::BadFormat},
        {"0x1234\nDOWNLOAD =\n", LoadOutcome::BadFormat},
        {"0x1234\nCOMPATIBLE_HARDWARE_ID_VERSION =\nDOWNLOAD =\n0,0,0xAA,0xBB\nPROGRAMMING_SCRIPT_END\n",
         LoadOutcome::BadFormat},
        {"0x1234\nCOMPATIBLE_HARDWARE_ID_VERSION = 1\nDOWNLOAD=\n0,0,0xAA,0xBB\nPROGRAMMING_SCRIPT_END\n",
         LoadOutcome::BadFormat},
        {"0x1234\nCOMPATIBLE_HARDWARE_ID_VERSION = 1\nDOWNLOAD =\n", LoadOutcome::BadFormat},
        {"0x1234\nCOMPATIBLE_HARDWARE_ID_VERSION = 1\nDOWNLOAD =\n0,0xAA,0xBB\nPROGRAMMING_SCRIPT_END\n",
         LoadOutcome::BadFormat},
        {"0x1234\nCOMPATIBLE_HARDWARE_ID_VERSION = 1\nDOWNLOAD =\n0,0,0xA,0xBB\nPROGRAMMING_SCRIPT_END\n",
         LoadOutcome::BadFormat},
        {"0x1234\nCOMPATIBLE_HARDWARE_ID_VERSION = 1\nDOWNLOAD =\n0,0,0xAA,0xBB\n", LoadOutcome::BadFormat},
    };
    for (const Case& c : cases) {
        Loaded l(c.text);
        EXPECT_EQ(l.outcome, c.expected) << c.text;
    }
}

TEST(UpdateFile, HeaderDetails)
{
    // Runs of commas count as one; the number is compared numerically; a
    // keyword at the start of a long line's second piece counts as a line.
    std::string longLine(499, 'x');
    Loaded l("0x1234 trailing\n" + longLine + "COMPATIBLE_HARDWARE_ID_VERSION =   0000123 rev B\n"
             "DOWNLOAD = x\n,,0x1,,0x2,0x11,0x22\nPROGRAMMING_SCRIPT_END\n");
    ASSERT_EQ(l.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(l.hw, 123u);
    EXPECT_EQ(l.cs[0], 0x11);
    EXPECT_EQ(l.cs[1], 0x22);
    // The checksum pair starts at a field's third character, whatever its first two are.
    Loaded bare("0x1234\nCOMPATIBLE_HARDWARE_ID_VERSION = 1\nDOWNLOAD =\nA,B,0012,0034\nPROGRAMMING_SCRIPT_END\n");
    ASSERT_EQ(bare.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(bare.cs[0], 0x12);
    EXPECT_EQ(bare.cs[1], 0x34);
}

TEST(UpdateFile, RecordSectionRules)
{
    // Records after an end-of-file record and after skipped lines load; a
    // short line ends the data.
    Loaded l(kHeader + rec(0, 0x8000, bytes(16)) + "this line is not a record\n" + ":00000001FF\n" +
             rec(0, 0x8010, bytes(16, 16)) + "\n" + rec(0, 0x8020, bytes(16, 32)));
    ASSERT_EQ(l.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(l.sectors, (Sectors{{0, 0}, {0x8000, 32}}));
    EXPECT_EQ(l.image.at(0x801F), 31);
}

TEST(UpdateFile, SectorsSplitAtTheBlockLengthAndNeverSplitARecord)
{
    std::string recs;
    for (int i = 0; i < 20; ++i)
        recs += rec(0, static_cast<uint16_t>(0x8000 + 16 * i), bytes(16, static_cast<uint8_t>(i)));
    Loaded l(kHeader + recs, 128);
    ASSERT_EQ(l.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(l.sectors, (Sectors{{0, 0}, {0x8000, 128}, {0x8080, 128}, {0x8100, 64}}));
    // A record longer than the block length forms a sector of its own.
    Loaded big(kHeader + rec(0, 0, bytes(200)) + rec(0, 200, bytes(8)), 128);
    EXPECT_EQ(big.sectors, (Sectors{{0, 0}, {0, 200}, {200, 8}}));
    // A first record at 0 that fits goes into the first sector.
    Loaded zero(kHeader + rec(0, 0, bytes(16)) + rec(0, 0x40, bytes(16)), 128);
    EXPECT_EQ(zero.sectors, (Sectors{{0, 16}, {0x40, 16}}));
    // A block length above the staging area is cut at 1024.
    std::string many;
    for (int i = 0; i < 70; ++i)
        many += rec(0, static_cast<uint16_t>(32 * i), bytes(32));
    Loaded wide(kHeader + many, 0xFFFF);
    ASSERT_EQ(wide.outcome, LoadOutcome::Loaded);
    for (auto& s : wide.sectors)
        EXPECT_LE(s.second, kMaxSectorBytes);
    EXPECT_EQ(wide.total, 70u * 32);
}

TEST(UpdateFile, BankRecords)
{
    // 02: counted as banks, whatever their data; 04: only the second data byte.
    Loaded seg(kHeader + rec(0, 0x10, {1}) + rec(2, 0, {0x12, 0x34}) + rec(0, 0x20, {2}) +
               rec(2, 0, {0x00, 0x00}) + rec(0, 0x30, {3}));
    ASSERT_EQ(seg.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(seg.image.at(0x10), 1);
    EXPECT_EQ(seg.image.at(0x20), 2);
    EXPECT_EQ(seg.image.at(0x10030), 3);
    Loaded lin(kHeader + rec(4, 0, {0x00, 0x01}) + rec(0, 0x10, {1}) + rec(4, 0, {0x01, 0x00}) + rec(0, 0x20, {2}));
    EXPECT_EQ(lin.image.at(0x10010), 1);
    EXPECT_EQ(lin.image.at(0x20), 2);
    // Checksums of 02 and 04 records are not read; those of 00 records are.
    Loaded badExt(kHeader + rec(4, 0, {0, 1}, 1) + rec(2, 0, {0, 0}, 5) + rec(0, 0, {1}));
    EXPECT_EQ(badExt.outcome, LoadOutcome::Loaded);
    Loaded badData(kHeader + rec(0, 0, {1}, 1));
    EXPECT_EQ(badData.outcome, LoadOutcome::CorruptedFile);
}

TEST(UpdateFile, DescendingRecordsStartSectorsAndOverlapsAreRefused)
{
    Loaded down(kHeader + rec(0, 0x9000, bytes(16)) + rec(0, 0x8000, bytes(16, 100)) + rec(0, 0x8010, bytes(4)));
    ASSERT_EQ(down.outcome, LoadOutcome::Loaded);
    EXPECT_EQ(down.sectors, (Sectors{{0, 0}, {0x9000, 16}, {0x8000, 20}}));
    EXPECT_EQ(down.image.at(0x8000), 100);
    EXPECT_EQ(down.image.at(0x9000), 0);
    Loaded overlap(kHeader + rec(0, 0x8000, bytes(16)) + rec(0, 0x8008, bytes(16)));
    EXPECT_EQ(overlap.outcome, LoadOutcome::CorruptedFile);
    Loaded earlier(kHeader + rec(0, 0x8000, bytes(16)) + rec(0, 0x9000, bytes(16)) + rec(0, 0x800F, bytes(1)));
    EXPECT_EQ(earlier.outcome, LoadOutcome::CorruptedFile);
}

TEST(UpdateFile, NothingIsReadBeyondALine)
{
    // A length that promises more digits than the line holds, non-hex digits,
    // a 04 record cut short: all "Corrupted file", never a read past the line.
    for (std::string bad : {":10800000010203\n", ":0280000001G2FF\n", ":02000004\n", ":1G800000\n"}) {
        Loaded l(kHeader + bad);
        EXPECT_EQ(l.outcome, LoadOutcome::CorruptedFile) << bad;
    }
    // A failed load leaves a well-formed partial list (freed by the fixture).
    Loaded partial(kHeader + rec(0, 0x8000, bytes(16)) + rec(0, 0x9000, bytes(16)) + rec(0, 0x9010, {1}, 3));
    EXPECT_EQ(partial.outcome, LoadOutcome::CorruptedFile);
    EXPECT_EQ(partial.sectors.size(), 3u);
    EXPECT_EQ(partial.total, 16u);
}

[[maybe_unused]] std::map<uint32_t, uint8_t> srecImage(const std::string& recordsFile)
{
    std::string out = recordsFile + ".out.hex";
    std::string cmd = "srec_cat " + recordsFile + " -intel -o " + out + " -intel 2>/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(out);
    hexfile::Image img;
    std::string err;
    EXPECT_TRUE(hexfile::readIntelHex(in, img, err)) << err;
    return img;
}

TEST(UpdateFile, PlacesEveryByteWhereSrecCatDoes)
{
#ifdef _WIN32
    GTEST_SKIP() << "srec_cat is a Linux tool";
#else
    struct Case {
        uint32_t base;
        std::size_t size;
        unsigned recordLen;
        hexfile::Extension ext;
        uint16_t block;
    };
    const Case cases[] = {
        {0x8000, 3000, 16, hexfile::Extension::Linear04, 128},
        {0x1F000, 9000, 32, hexfile::Extension::Segment02, 256},
        {0x2FF80, 70000, 243, hexfile::Extension::Linear04, 1024},
        {0x0, 70000, 200, hexfile::Extension::Segment02, 300},
    };
    char dir[] = "/tmp/update_file_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    int n = 0;
    for (const Case& c : cases) {
        hexfile::Image img;
        uint32_t x = 12345 + n;
        for (std::size_t i = 0; i < c.size; ++i) {
            if ((i / 1000) % 4 == 3)
                continue;  // gaps
            x = x * 1103515245u + 12345u;
            img[c.base + static_cast<uint32_t>(i)] = static_cast<uint8_t>(x >> 16);
        }
        std::ostringstream hx1;
        std::string err;
        ASSERT_TRUE(hexfile::writeHx1(hx1, img, 1, c.recordLen, c.ext, err)) << err;
        Loaded l(hx1.str(), c.block);
        ASSERT_EQ(l.outcome, LoadOutcome::Loaded);
        std::string recs = std::string(dir) + "/r" + std::to_string(n++) + ".hex";
        std::ofstream out(recs);
        std::istringstream lines(hx1.str());
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && line[0] == ':')
                out << line << "\n";
        out.close();
        EXPECT_EQ(l.image, srecImage(recs));
        EXPECT_EQ(l.image, img);
        EXPECT_EQ((l.cs[0] << 8 | l.cs[1]), hexfile::imageChecksum(img));
    }
    std::system((std::string("rm -rf ") + dir).c_str());
#endif
}

}  // namespace
