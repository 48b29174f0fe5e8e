// Parsing of *.hx1 update files into the sector list the programming
// sequence sends. Plain code, no widgets: the window, the tests and the
// fuzzer call it alike.
#ifndef TAVELIN_UPDATE_FILE_H
#define TAVELIN_UPDATE_FILE_H

#include <cstddef>
#include <cstdint>

// One run of contiguous firmware bytes.
struct sector_T {
    uint8_t* sector_payload;  // exactly len bytes, allocated when the sector is closed
    uint32_t start_address;
    uint32_t len;
    sector_T* next;
};

enum class LoadOutcome {
    Loaded,
    ShortFirstLine,  // "Formato file non corretto"
    BadFormat,       // "Uncorrect file format"
    CriticalError,   // "Critical error"
    CorruptedFile,   // "Corrupted file"
};

// The staging bound of one sector: no sector holds more, whatever the ECU's block length.
constexpr uint32_t kMaxSectorBytes = 1024;

// Parses a whole file's bytes. Expects an empty list; builds it in
// update_sector_start/current_sector as it goes, so that after a failure the
// part built so far is still a well-formed list (the caller frees it).
// The header values are written as soon as they are read.
LoadOutcome parseUpdateFile(const char* data, std::size_t size, uint16_t max_packet_lenght,
                            sector_T*& update_sector_start, sector_T*& current_sector,
                            uint32_t& sectors_tot_len, uint8_t file_fw_checksum[10],
                            uint32_t& file_fw_hw_compatibility);

// Frees every record and payload; both pointers end null.
void freeSectorList(sector_T*& update_sector_start, sector_T*& current_sector);

#endif
