#include "update_file.h"

#include <cstring>
#include <map>
#include <new>

namespace {

constexpr std::size_t kLineBuffer = 500;  // a read delivers at most 499 bytes

// Reads like fgets into a 500-byte buffer: up to and including the LF, at
// most 499 bytes; the rest of a longer line comes with the next read.
class LineReader {
public:
    LineReader(const char* d, std::size_t n) : d_(d), n_(n) {}
    // Returns the number of bytes delivered (0 at the end of the data).
    std::size_t read(const char*& line)
    {
        line = d_ + pos_;
        std::size_t len = 0;
        while (pos_ + len < n_ && len < kLineBuffer - 1) {
            ++len;
            if (d_[pos_ + len - 1] == '\n')
                break;
        }
        pos_ += len;
        return len;
    }

private:
    const char* d_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

int hexval(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The pair of hex digits at line[i], i+1, within the n bytes read.
bool hexPair(const char* line, std::size_t n, std::size_t i, uint8_t& v)
{
    if (i + 1 >= n)
        return false;
    int h = hexval(line[i]), l = hexval(line[i + 1]);
    if (h < 0 || l < 0)
        return false;
    v = static_cast<uint8_t>(h << 4 | l);
    return true;
}

bool startsWith(const char* line, std::size_t n, const char* kw)
{
    std::size_t k = std::strlen(kw);
    return n >= k && std::memcmp(line, kw, k) == 0;
}

// Reads lines until one starts with kw; false when the data ends first.
bool seek(LineReader& in, const char* kw, const char*& line, std::size_t& n)
{
    for (;;) {
        n = in.read(line);
        if (n == 0)
            return false;
        if (startsWith(line, n, kw))
            return true;
    }
}

// Decimal number after optional blanks; false when there is none or it does
// not fit 32 bits (a leading minus wraps as a signed value would).
bool parseDecimal(const char* p, std::size_t n, uint32_t& out)
{
    std::size_t i = 0;
    while (i < n && (p[i] == ' ' || p[i] == '\t'))
        ++i;
    bool neg = false;
    if (i < n && (p[i] == '-' || p[i] == '+')) {
        neg = p[i] == '-';
        ++i;
    }
    if (i >= n || p[i] < '0' || p[i] > '9')
        return false;
    uint64_t v = 0;
    while (i < n && p[i] >= '0' && p[i] <= '9') {
        v = v * 10 + static_cast<unsigned>(p[i] - '0');
        if (v > 0xFFFFFFFFull)
            return false;
        ++i;
    }
    if (neg && v > 0x80000000ull)
        return false;
    out = neg ? static_cast<uint32_t>(0u - static_cast<uint32_t>(v)) : static_cast<uint32_t>(v);
    return true;
}

// Field k (1-based) of a comma-separated line, runs of commas counting as one
// separator and leading commas skipped.
bool field(const char* p, std::size_t n, int k, const char*& f, std::size_t& flen)
{
    std::size_t i = 0;
    for (int idx = 1;; ++idx) {
        while (i < n && p[i] == ',')
            ++i;
        if (i >= n)
            return false;
        std::size_t j = i;
        while (j < n && p[j] != ',')
            ++j;
        if (idx == k) {
            f = p + i;
            flen = j - i;
            return true;
        }
        i = j;
    }
}

// A checksum field: two leading characters (normally 0x), then two hex
// digits; anything after them is ignored.
bool checksumField(const char* p, std::size_t n, int k, uint8_t& v)
{
    const char* f;
    std::size_t flen;
    return field(p, n, k, f, flen) && hexPair(f, flen, 2, v);
}

// Byte ranges already loaded, to refuse records that overlap them.
class Loaded {
public:
    bool overlaps(uint64_t a, uint64_t e) const
    {
        auto it = r_.upper_bound(a);
        if (it != r_.begin() && std::prev(it)->second > a)
            return true;
        return it != r_.end() && it->first < e;
    }
    void add(uint64_t a, uint64_t e)
    {
        auto it = r_.find(a);
        if (it == r_.end()) {
            // Extend a range that ends exactly here.
            auto prev = r_.upper_bound(a);
            if (prev != r_.begin() && std::prev(prev)->second == a) {
                std::prev(prev)->second = e;
                return;
            }
            r_[a] = e;
        } else if (e > it->second) {
            it->second = e;
        }
    }

private:
    std::map<uint64_t, uint64_t> r_;  // start -> end
};

sector_T* newSector(uint32_t start)
{
    sector_T* s = new (std::nothrow) sector_T;
    if (s) {
        s->sector_payload = nullptr;
        s->start_address = start;
        s->len = 0;
        s->next = nullptr;
    }
    return s;
}

bool closeSector(sector_T* s, const uint8_t* staging, uint32_t& sectors_tot_len)
{
    s->sector_payload = new (std::nothrow) uint8_t[s->len ? s->len : 1];
    if (!s->sector_payload)
        return false;
    std::memcpy(s->sector_payload, staging, s->len);
    sectors_tot_len += s->len;
    return true;
}

}  // namespace

LoadOutcome parseUpdateFile(const char* data, std::size_t size, uint16_t max_packet_lenght,
                            sector_T*& update_sector_start, sector_T*& current_sector,
                            uint32_t& sectors_tot_len, uint8_t file_fw_checksum[10],
                            uint32_t& file_fw_hw_compatibility)
{
    LineReader in(data, size);
    const char* line;
    std::size_t n = in.read(line);
    if (n <= 5)
        return LoadOutcome::ShortFirstLine;
    if (!startsWith(line, n, "0x"))
        return LoadOutcome::BadFormat;
    uint8_t c0, c1;
    if (!hexPair(line, n, 2, c0) || !hexPair(line, n, 4, c1))
        return LoadOutcome::BadFormat;
    file_fw_checksum[0] = c0;
    file_fw_checksum[1] = c1;

    static const char kHardware[] = "COMPATIBLE_HARDWARE_ID_VERSION =";
    if (!seek(in, kHardware, line, n))
        return LoadOutcome::BadFormat;
    const std::size_t hk = sizeof kHardware - 1;
    if (!parseDecimal(line + hk, n - hk, file_fw_hw_compatibility))
        return LoadOutcome::BadFormat;

    if (!seek(in, "DOWNLOAD =", line, n))
        return LoadOutcome::BadFormat;
    n = in.read(line);
    if (n == 0)
        return LoadOutcome::BadFormat;
    if (!checksumField(line, n, 3, c0) || !checksumField(line, n, 4, c1))
        return LoadOutcome::BadFormat;
    file_fw_checksum[0] = c0;  // the descriptor's bytes win over the first line's
    file_fw_checksum[1] = c1;

    if (!seek(in, "PROGRAMMING_SCRIPT_END", line, n))
        return LoadOutcome::BadFormat;

    sector_T* building = newSector(0);
    if (!building)
        return LoadOutcome::CriticalError;
    update_sector_start = current_sector = building;
    uint32_t header_count = 0, header_offset = 0;
    uint8_t temp_payload[kMaxSectorBytes];
    const uint32_t limit = max_packet_lenght < kMaxSectorBytes ? max_packet_lenght : kMaxSectorBytes;
    Loaded loaded;

    for (;;) {
        n = in.read(line);
        if (n <= 6)
            break;
        if (line[0] != ':')
            continue;
        uint8_t line_len, ah, al, line_type;
        if (!hexPair(line, n, 1, line_len) || !hexPair(line, n, 3, ah) || !hexPair(line, n, 5, al) ||
            !hexPair(line, n, 7, line_type))
            return LoadOutcome::CorruptedFile;
        const uint16_t line_addr = static_cast<uint16_t>(ah << 8 | al);
        int line_checksum = -(line_len + al + ah + line_type);
        uint32_t address = line_addr;
        if (header_count >= 1)
            address += (header_count - 1) * 65536u;
        address += header_offset * 65536u;

        if (line_type == 0x02) {
            ++header_count;
            continue;
        }
        if (line_type == 0x04) {
            uint8_t bank;
            if (!hexPair(line, n, 11, bank))
                return LoadOutcome::CorruptedFile;
            header_offset = bank;
            continue;
        }
        if (line_type != 0x00)
            continue;

        uint8_t line_data[256];
        for (unsigned i = 0; i < line_len; ++i) {
            if (!hexPair(line, n, 9 + 2 * i, line_data[i]))
                return LoadOutcome::CorruptedFile;
            line_checksum -= line_data[i];
        }
        uint8_t expected_checksum;
        if (!hexPair(line, n, 9 + 2u * line_len, expected_checksum))
            return LoadOutcome::CorruptedFile;
        if (static_cast<uint8_t>(line_checksum) != expected_checksum)
            return LoadOutcome::CorruptedFile;
        if (line_len == 0)
            continue;  // no bytes to place

        const uint64_t start = address, end = start + line_len;
        const uint64_t buildEnd = static_cast<uint64_t>(building->start_address) + building->len;
        if (loaded.overlaps(start, end))
            return LoadOutcome::CorruptedFile;  // would put two values at one address
        // A new sector at a forward gap, at a record below the sector's end, and
        // whenever the record would not fit: records are never split.
        if (buildEnd != start || building->len + line_len > limit) {
            if (!closeSector(building, temp_payload, sectors_tot_len))
                return LoadOutcome::CriticalError;
            sector_T* s = newSector(address);
            if (!s)
                return LoadOutcome::CriticalError;
            current_sector->next = s;
            current_sector = building = s;
        }
        std::memcpy(temp_payload + building->len, line_data, line_len);
        building->len += line_len;
        loaded.add(start, end);
    }
    if (!closeSector(building, temp_payload, sectors_tot_len))
        return LoadOutcome::CriticalError;
    return LoadOutcome::Loaded;
}

void freeSectorList(sector_T*& update_sector_start, sector_T*& current_sector)
{
    while (update_sector_start) {
        current_sector = update_sector_start->next;
        delete[] update_sector_start->sector_payload;
        delete update_sector_start;
        update_sector_start = current_sector;
    }
    current_sector = nullptr;
}
