// libFuzzer target: the update-file parser must never read outside its
// input, never leak, and always leave a well-formed sector list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "update_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // The first byte picks the ECU's block length, the rest is the file.
    static const uint16_t lengths[] = {0, 1, 16, 128, 256, 1024, 2048, 0xFFFF};
    uint16_t maxLen = size ? lengths[data[0] % 8] : 128;
    const char* text = size ? reinterpret_cast<const char*>(data + 1) : "";
    std::size_t n = size ? size - 1 : 0;
    sector_T* start = nullptr;
    sector_T* current = nullptr;
    uint32_t total = 0, hw = 0;
    uint8_t checksum[10] = {};
    LoadOutcome r = parseUpdateFile(text, n, maxLen, start, current, total, checksum, hw);
    uint64_t sum = 0;
    for (sector_T* s = start; s; s = s->next) {
        if (s->len > kMaxSectorBytes && s->len > 255)
            std::abort();  // only a single record may exceed the block length
        if (s->sector_payload)
            for (uint32_t i = 0; i < s->len; ++i)
                sum += s->sector_payload[i];  // touch every byte
        else if (r == LoadOutcome::Loaded)
            std::abort();
    }
    (void)sum;
    freeSectorList(start, current);
    return 0;
}
