#include "pcap_writer.h"

#include <cerrno>
#include <cstring>

namespace canhub {
namespace {

void le32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void le16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

}  // namespace

bool PcapWriter::open(const std::string& path, std::string& err)
{
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        err = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    unsigned char h[24];
    le32(h, 0xA1B2C3D4);  // microsecond time stamps, written little-endian
    le16(h + 4, 2);
    le16(h + 6, 4);
    le32(h + 8, 0);
    le32(h + 12, 0);
    le32(h + 16, 65535);
    le32(h + 20, 227);
    std::fwrite(h, 1, sizeof h, file_);
    return true;
}

void PcapWriter::write(const wire::Frame& f, int64_t seconds, uint32_t micros)
{
    if (!file_)
        return;
    unsigned char r[16 + 16] = {};
    le32(r, static_cast<uint32_t>(seconds));
    le32(r + 4, micros);
    le32(r + 8, 16);
    le32(r + 12, 16);
    // The SocketCAN header carries can_id in network byte order.
    uint32_t id = f.extended ? (f.id | 0x80000000u) : f.id;
    r[16] = static_cast<unsigned char>(id >> 24);
    r[17] = static_cast<unsigned char>(id >> 16);
    r[18] = static_cast<unsigned char>(id >> 8);
    r[19] = static_cast<unsigned char>(id);
    r[20] = f.dlc;
    std::memcpy(r + 24, f.data, f.dlc > 8 ? 8 : f.dlc);
    std::fwrite(r, 1, sizeof r, file_);
}

void PcapWriter::flush()
{
    if (file_)
        std::fflush(file_);
}

void PcapWriter::close()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

}  // namespace canhub
