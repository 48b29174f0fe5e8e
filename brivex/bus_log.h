// The bus log of a run: every frame the tool sends and reads, in the order
// it sent and read them, as a text trace in the adapter maker's format
// version 1.1 (.trc), which the maker's viewer and python-can read.
#ifndef BRIVEX_BUS_LOG_H
#define BRIVEX_BUS_LOG_H

#include <cstdint>
#include <cstdio>
#include <mutex>

namespace buslog {

// Microseconds of the monotonic clock the log's time offsets are counted on.
uint64_t nowUs();

class TrcLog {
public:
    // A log cut at this size ends with a comment line saying so.
    static constexpr uint64_t kMaxBytes = 64ull << 20;

    ~TrcLog() { close(); }
    // Starts a log at path (replaced if it exists); false when it cannot be
    // made. tool names the program in the header, kbit its bit rate.
    bool open(const char* path, const char* tool, int kbit);
    // Ends the log, written to the disk. Nothing happens without one.
    void close();
    // A frame the adapter accepted for sending, stamped now.
    void sent(uint32_t id, bool extended, uint8_t dlc, const uint8_t* data);
    // A frame read from the adapter, with the adapter's time stamp in
    // microseconds. The adapter's clock is set against the log's at the
    // first frame read (stamped when read); later frames keep its spacing.
    void received(uint32_t id, bool extended, uint8_t dlc, const uint8_t* data, uint64_t adapterUs);

private:
    void line(const char* type, uint64_t atUs, uint32_t id, bool extended, uint8_t dlc, const uint8_t* data);
    std::mutex lock_;
    std::FILE* file_ = nullptr;
    uint64_t startUs_ = 0;
    uint64_t lastSyncUs_ = 0;
    uint64_t bytes_ = 0;
    uint64_t number_ = 0;
    bool clockSet_ = false;
    int64_t adapterToLog_ = 0;  // log time = adapter time + this
    bool cut_ = false;
};

}  // namespace buslog

#endif
