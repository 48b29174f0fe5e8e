#include "frame_timing.h"

#include <vector>

namespace canhub {
namespace {

void push(std::vector<int>& bits, uint32_t value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        bits.push_back((value >> i) & 1);
}

uint16_t crc15(const std::vector<int>& bits)
{
    uint16_t crc = 0;
    for (int b : bits) {
        int next = b ^ ((crc >> 14) & 1);
        crc = static_cast<uint16_t>((crc << 1) & 0x7FFF);
        if (next)
            crc ^= 0x4599;
    }
    return crc;
}

}  // namespace

unsigned frameBits(const wire::Frame& f)
{
    std::vector<int> bits;
    bits.push_back(0);  // SOF
    unsigned dlc = f.dlc > 8 ? 8 : f.dlc;
    if (f.extended) {
        push(bits, f.id >> 18, 11);  // base identifier
        bits.push_back(1);           // SRR
        bits.push_back(1);           // IDE
        push(bits, f.id & 0x3FFFF, 18);
        bits.push_back(0);  // RTR
        bits.push_back(0);  // r1
        bits.push_back(0);  // r0
    } else {
        push(bits, f.id & 0x7FF, 11);
        bits.push_back(0);  // RTR
        bits.push_back(0);  // IDE
        bits.push_back(0);  // r0
    }
    push(bits, dlc, 4);
    for (unsigned i = 0; i < dlc; ++i)
        push(bits, f.data[i], 8);
    push(bits, crc15(bits), 15);
    unsigned stuffed = 0;
    int run = 0, last = -1;
    for (int b : bits) {
        if (b == last) {
            ++run;
        } else {
            run = 1;
            last = b;
        }
        if (run == 5) {  // a complementary stuff bit follows and starts a new run
            ++stuffed;
            last = !b;
            run = 1;
        }
    }
    return static_cast<unsigned>(bits.size()) + stuffed + 1 + 2 + 7 + 3;
}

}  // namespace canhub
