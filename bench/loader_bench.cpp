// Loads a 1 MiB image (about 2.8 MB of update-file text) with the tool's
// parser and compares the time with srec_cat reading the same records.
// Usage: loader_bench [runs]   (hx1pack from $TAVELIN_BIN; srec_cat on PATH)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "update_file.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    const char* binEnv = std::getenv("TAVELIN_BIN");
    const std::string bin = binEnv ? binEnv : ".";
    const std::string dir = "/tmp/tavelin_loader_bench";
    std::string cmd = "mkdir -p " + dir + " && " + bin + "/hx1pack --make-image 1048576 -o " + dir + "/img.bin && " +
                      bin + "/hx1pack --hwid 1 --in " + dir + "/img.bin --record-len 16 -o " + dir +
                      "/img.hx1 && grep '^:' " + dir + "/img.hx1 > " + dir + "/records.hex";
    if (std::system(cmd.c_str()) != 0)
        return 1;
    double best = 1e9;
    std::size_t textSize = 0;
    uint32_t total = 0;
    for (int r = 0; r < runs; ++r) {
        auto t0 = Clock::now();
        std::ifstream in(dir + "/img.hx1", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
        sector_T *start = nullptr, *cur = nullptr;
        uint8_t cs[10];
        uint32_t hw = 0;
        total = 0;
        LoadOutcome o = parseUpdateFile(text.data(), text.size(), 1024, start, cur, total, cs, hw);
        auto secs = std::chrono::duration<double>(Clock::now() - t0).count();
        freeSectorList(start, cur);
        if (o != LoadOutcome::Loaded)
            return 1;
        best = std::min(best, secs);
        textSize = text.size();
    }
    double srecBest = 1e9;
    for (int r = 0; r < runs; ++r) {
        auto t0 = Clock::now();
        if (std::system(("srec_cat " + dir + "/records.hex -intel -o /dev/null -binary").c_str()) != 0)
            return 1;
        srecBest = std::min(srecBest, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    std::printf("update file: %zu bytes of text, %u image bytes\n", textSize, total);
    std::printf("tool's loader (read + parse, block length 1024): best of %d %.1f ms\n", runs, best * 1000);
    std::printf("srec_cat -intel -o /dev/null -binary on the same records: best of %d %.1f ms\n", runs, srecBest * 1000);
    std::printf("ratio loader / srec_cat: %.2f\n", best / srecBest);
    return 0;
}
