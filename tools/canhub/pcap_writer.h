// A pcap file of CAN frames, link type 227 (LINKTYPE_CAN_SOCKETCAN).
#ifndef TAVELIN_PCAP_WRITER_H
#define TAVELIN_PCAP_WRITER_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "socketcand_wire.h"

namespace canhub {

class PcapWriter {
public:
    ~PcapWriter() { close(); }
    bool open(const std::string& path, std::string& err);
    void write(const wire::Frame& f, int64_t seconds, uint32_t micros);
    void flush();
    void close();
    bool isOpen() const { return file_ != nullptr; }

private:
    std::FILE* file_ = nullptr;
};

}  // namespace canhub

#endif
