// hx1pack --hwid N --in IMAGE.hex|IMAGE.bin [--base ADDR] [--record-len N] [--ext 02|04] -o FILE.hx1
// hx1pack --make-image SIZE [--seed N] -o IMAGE.bin   (a deterministic test image)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "intel_hex.h"

namespace {

[[noreturn]] void usage(const std::string& why)
{
    if (!why.empty())
        std::cerr << "hx1pack: " << why << "\n";
    std::cerr << "usage: hx1pack --hwid N --in IMAGE.hex|IMAGE.bin [--base ADDR] [--record-len N]\n"
                 "               [--ext 02|04] -o FILE.hx1\n"
                 "       hx1pack --make-image SIZE [--seed N] -o IMAGE.bin\n";
    std::exit(1);
}

bool number(const std::string& s, unsigned long long max, unsigned long long& v)
{
    if (s.empty() || s[0] == '-')
        return false;
    char* end = nullptr;
    v = std::strtoull(s.c_str(), &end, 0);
    return *end == 0 && v <= max;
}

[[noreturn]] void fail(const std::string& why)
{
    std::cerr << "hx1pack: " << why << std::endl;
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string in, outPath;
    unsigned long long hwid = 0, base = 0, recordLen = 32, makeSize = 0, seed = 1;
    bool haveHwid = false, haveBase = false, make = false;
    hexfile::Extension ext = hexfile::Extension::Linear04;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--hwid") {
            if (!number(value(), 0xFFFFFFFF, hwid)) usage("--hwid takes a 32-bit number");
            haveHwid = true;
        } else if (a == "--in") {
            in = value();
        } else if (a == "--base") {
            if (!number(value(), 0xFFFFFFFF, base)) usage("--base takes an address");
            haveBase = true;
        } else if (a == "--record-len") {
            if (!number(value(), hexfile::kMaxHx1RecordLength, recordLen) || recordLen == 0)
                usage("--record-len takes 1 to " + std::to_string(hexfile::kMaxHx1RecordLength));
        } else if (a == "--ext") {
            std::string v = value();
            if (v == "02") ext = hexfile::Extension::Segment02;
            else if (v == "04") ext = hexfile::Extension::Linear04;
            else usage("--ext takes 02 or 04");
        } else if (a == "-o" || a == "--out") {
            outPath = value();
        } else if (a == "--make-image") {
            if (!number(value(), 16u << 20, makeSize)) usage("--make-image takes a size up to 16 MiB");
            make = true;
        } else if (a == "--version") {
            std::printf("hx1pack %s\n", TAVELIN_VERSION);
            return 0;
        } else if (a == "--seed") {
            if (!number(value(), 0xFFFFFFFF, seed)) usage("--seed takes a number");
        } else {
            usage("unknown argument " + a);
        }
    }
    if (outPath.empty())
        usage("-o FILE is required");
    if (make) {
        std::ofstream out(outPath, std::ios::binary);
        uint32_t x = static_cast<uint32_t>(seed) | 1;
        for (unsigned long long i = 0; i < makeSize; ++i) {
            x ^= x << 13; x ^= x >> 17; x ^= x << 5;  // xorshift: firmware-like noise
            out.put(static_cast<char>(x >> 24));
        }
        if (!out) fail("cannot write " + outPath);
        return 0;
    }
    if (in.empty() || !haveHwid)
        usage("--in and --hwid are required");
    std::ifstream input(in, std::ios::binary);
    if (!input)
        fail("cannot read " + in);
    hexfile::Image img;
    bool isHex = in.size() >= 4 && (in.substr(in.size() - 4) == ".hex" || in.substr(in.size() - 4) == ".HEX");
    if (isHex) {
        std::string err;
        if (!hexfile::readIntelHex(input, img, err))
            fail(in + ": " + err);
    } else {
        if (!haveBase)
            base = 0;
        std::stringstream ss;
        ss << input.rdbuf();
        std::string bytes = ss.str();
        if (base + bytes.size() > 0x100000000ull)
            fail("image does not fit below 4 GiB at that base");
        for (std::size_t i = 0; i < bytes.size(); ++i)
            img[static_cast<uint32_t>(base + i)] = static_cast<uint8_t>(bytes[i]);
    }
    std::ofstream out(outPath, std::ios::binary);
    if (!out)
        fail("cannot write " + outPath);
    std::string err;
    if (!hexfile::writeHx1(out, img, static_cast<uint32_t>(hwid), static_cast<unsigned>(recordLen), ext, err)) {
        out.close();
        std::remove(outPath.c_str());
        fail(err);
    }
    return 0;
}
