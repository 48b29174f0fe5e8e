// Intel HEX reading and writing, and the *.hx1 update file writer.
#ifndef TAVELIN_INTEL_HEX_H
#define TAVELIN_INTEL_HEX_H

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>

namespace hexfile {

using Image = std::map<uint32_t, uint8_t>;  // address -> byte

// Types 00, 01, 02, 03, 04, 05. Fails (err: "line N: ...") on malformed
// records, bad checksums and bytes given twice.
bool readIntelHex(std::istream& in, Image& out, std::string& err);

// Data records of up to recordLen bytes with type 04 records; ends with 01.
void writeIntelHex(std::ostream& out, const Image& img, unsigned recordLen = 16);

// 16-bit sum of all image bytes: the checksum the ECU verifies.
uint16_t imageChecksum(const Image& img);

enum class Extension { Segment02, Linear04 };

// ":" + 8 header digits + 2 per byte + 2 checksum digits + LF within 499 bytes.
constexpr unsigned kMaxHx1RecordLength = 243;

// The update file: checksum line, header, hardware line, download line and
// descriptor, script end, then the records in ascending address order.
bool writeHx1(std::ostream& out, const Image& img, uint32_t hwid, unsigned recordLen,
              Extension ext, std::string& err);

}  // namespace hexfile

#endif
