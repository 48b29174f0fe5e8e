#include "intel_hex.h"

#include <cstdio>
#include <istream>
#include <ostream>
#include <vector>

namespace hexfile {
namespace {

int hexval(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string record(uint8_t type, uint16_t offset, const uint8_t* data, unsigned n)
{
    uint8_t sum = static_cast<uint8_t>(n + (offset >> 8) + offset + type);
    char buf[16];
    std::string s = ":";
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", n, offset, type);
    s += buf;
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", data[i]);
        s += buf;
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    std::snprintf(buf, sizeof buf, "%02X", static_cast<uint8_t>(-sum));
    s += buf;
    return s;
}

// Runs of contiguous bytes, cut at recordLen and at 64 KiB bank boundaries.
template <typename F>
void forEachRecord(const Image& img, unsigned recordLen, F emit)
{
    auto it = img.begin();
    while (it != img.end()) {
        uint32_t start = it->first;
        std::vector<uint8_t> bytes;
        while (it != img.end() && it->first == start + bytes.size() && bytes.size() < recordLen &&
               (bytes.empty() || ((start + bytes.size()) & 0xFFFF) != 0)) {
            bytes.push_back(it->second);
            ++it;
        }
        emit(start, bytes);
    }
}

}  // namespace

bool readIntelHex(std::istream& in, Image& out, std::string& err)
{
    Image img;
    std::string line;
    uint32_t base = 0;
    int n = 0;
    bool ended = false;
    while (std::getline(in, line)) {
        ++n;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        auto fail = [&](const std::string& why) {
            err = "line " + std::to_string(n) + ": " + why;
            return false;
        };
        if (ended)
            return fail("data after the end-of-file record");
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0)
            return fail("not an Intel HEX record");
        std::vector<uint8_t> b;
        for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
            int h = hexval(line[i]), l = hexval(line[i + 1]);
            if (h < 0 || l < 0)
                return fail("not a hexadecimal digit");
            b.push_back(static_cast<uint8_t>(h << 4 | l));
        }
        if (b.size() != static_cast<std::size_t>(b[0]) + 5)
            return fail("length field does not match the record");
        uint8_t sum = 0;
        for (uint8_t x : b)
            sum = static_cast<uint8_t>(sum + x);
        if (sum != 0)
            return fail("bad checksum");
        uint16_t offset = static_cast<uint16_t>(b[1] << 8 | b[2]);
        const uint8_t* data = &b[4];
        switch (b[3]) {
        case 0x00:
            for (unsigned i = 0; i < b[0]; ++i) {
                uint32_t addr = base + ((offset + i) & 0xFFFF);
                if (!img.emplace(addr, data[i]).second)
                    return fail("address 0x" + [&] {
                        char buf[12];
                        std::snprintf(buf, sizeof buf, "%X", addr);
                        return std::string(buf);
                    }() + " given twice (overlapping data)");
            }
            break;
        case 0x01: ended = true; break;
        case 0x02:
            if (b[0] != 2) return fail("bad extended segment address record");
            base = static_cast<uint32_t>(data[0] << 8 | data[1]) << 4;
            break;
        case 0x04:
            if (b[0] != 2) return fail("bad extended linear address record");
            base = static_cast<uint32_t>(data[0] << 8 | data[1]) << 16;
            break;
        case 0x03:
        case 0x05: break;
        default: return fail("unknown record type");
        }
    }
    out = std::move(img);
    return true;
}

void writeIntelHex(std::ostream& out, const Image& img, unsigned recordLen)
{
    uint32_t bank = 0xFFFFFFFF;
    forEachRecord(img, recordLen, [&](uint32_t start, const std::vector<uint8_t>& bytes) {
        if ((start >> 16) != bank) {
            bank = start >> 16;
            uint8_t d[2] = {static_cast<uint8_t>(bank >> 8), static_cast<uint8_t>(bank)};
            out << record(0x04, 0, d, 2) << "\n";
        }
        out << record(0x00, static_cast<uint16_t>(start), bytes.data(),
                      static_cast<unsigned>(bytes.size())) << "\n";
    });
    out << ":00000001FF\n";
}

uint16_t imageChecksum(const Image& img)
{
    uint32_t sum = 0;
    for (auto& [a, b] : img)
        sum += b;
    return static_cast<uint16_t>(sum);
}

bool writeHx1(std::ostream& out, const Image& img, uint32_t hwid, unsigned recordLen,
              Extension ext, std::string& err)
{
    // The tool reads a file line by line in reads of at most 499 bytes; a
    // record of more than 243 data bytes would not fit one read.
    if (recordLen < 1 || recordLen > kMaxHx1RecordLength) {
        err = "record length must be 1 to " + std::to_string(kMaxHx1RecordLength) +
              " (longer records do not fit the tool's 499-byte line reads)";
        return false;
    }
    uint32_t last = img.empty() ? 0 : img.rbegin()->first;
    if (ext == Extension::Segment02 && last > 0xFFFFF) {
        err = "type 02 records reach 1 MiB; the image ends above it (use --ext 04)";
        return false;
    }
    if (ext == Extension::Linear04 && last > 0xFFFFFF) {
        err = "the image ends above 16 MiB, which the tool cannot address";
        return false;
    }
    const uint16_t sum = imageChecksum(img);
    const uint8_t c0 = static_cast<uint8_t>(sum >> 8), c1 = static_cast<uint8_t>(sum);
    uint32_t first = img.empty() ? 0 : img.begin()->first;
    uint32_t size = img.empty() ? 0 : last - first + 1;
    char buf[96];
    std::snprintf(buf, sizeof buf, "0x%04X\n", sum);
    out << buf;
    out << "; Tavelin update file, written by hx1pack\n";
    out << "FILE_FORMAT_VERSION = 1\n";
    out << "COMPATIBLE_HARDWARE_ID_VERSION = " << hwid << "\n";
    out << "DOWNLOAD =\n";
    std::snprintf(buf, sizeof buf, "0x%08X,0x%08X,0x%02X,0x%02X\n", first, size, c0, c1);
    out << buf;
    out << "PROGRAMMING_SCRIPT_END\n";

    // The tool counts type 02 records as banks 0, 1, 2, ... in order, so one
    // is written for every bank up to the last one used, empty ones included.
    uint32_t bank = 0xFFFFFFFF;
    forEachRecord(img, recordLen, [&](uint32_t start, const std::vector<uint8_t>& bytes) {
        uint32_t b = start >> 16;
        if (b != bank) {
            if (ext == Extension::Segment02) {
                for (uint32_t k = bank == 0xFFFFFFFF ? 0 : bank + 1; k <= b; ++k) {
                    uint16_t seg = static_cast<uint16_t>(k << 12);
                    uint8_t d[2] = {static_cast<uint8_t>(seg >> 8), static_cast<uint8_t>(seg)};
                    out << record(0x02, 0, d, 2) << "\n";
                }
            } else {
                uint8_t d[2] = {static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)};
                out << record(0x04, 0, d, 2) << "\n";
            }
            bank = b;
        }
        out << record(0x00, static_cast<uint16_t>(start), bytes.data(),
                      static_cast<unsigned>(bytes.size())) << "\n";
    });
    out << ":00000001FF\n";
    return static_cast<bool>(out);
}

}  // namespace hexfile
