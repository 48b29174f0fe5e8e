// The bench ECU's bootloader: power states, capture, and the diagnostic
// services the tool uses, as a plain class driven by request bytes and time.
#ifndef TAVELIN_ECU_MODEL_H
#define TAVELIN_ECU_MODEL_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ecusim {

using Bytes = std::vector<uint8_t>;

// The broadcast request that keeps a powering-up ECU in its bootloader.
inline constexpr uint8_t kCaptureSid = 0x80;
inline constexpr uint8_t kCaptureCode[6] = {0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69};

struct IdentItem {
    Bytes data;           // the bytes after 62 FF nn (normally four)
    uint8_t nrc = 0;      // non-zero: answer 7F 22 nrc instead
    bool silent = false;  // no answer at all
};

// Where the bench cuts the ECU's power in the middle of a programming run.
struct PowerCut {
    enum class At { Never, Block, Erase, Checksum } at = At::Never;
    unsigned afterBlocks = 0;  // At::Block: blocks written before the cut
};

struct Faults {
    std::set<uint8_t> noAnswer;                          // services never answered
    std::map<uint8_t, std::pair<uint8_t, int>> nrc;      // service -> (code, times left)
    int erasePending = 2;                                // 7F 33 23 polls before the result
    uint8_t eraseResult = 0;
    std::optional<uint8_t> checksumResult;               // forced verdict of 33 20
    int rejectKeys = 0;                                  // keys to reject; -1: all
    long stopAfter = -1;                                 // requests answered, then silence
    PowerCut powerCut;
};

struct Config {
    IdentItem ident[7];
    uint32_t flashStart = 0;
    uint32_t flashEnd = 0x01000000;  // one past the last programmable byte
    std::optional<uint16_t> seed;    // fixed seed, else a new one per request
    enum class Power { Off, App, Boot } power = Power::Off;
    long powerOnAfterCaptureMs = -1;  // demo: switch on this long after the first capture request
    long bootWindowMs = 500;          // how long after power-on a capture request is heard
    long powerBackAfterCaptureMs = 100;  // after a power cut: on again this long after a capture request
    Faults faults;
    Config();
    uint16_t blockLength() const;
};

// Parses "block:N", "erase" or "checksum".
bool parsePowerCut(const std::string& text, PowerCut& out);

// Parses one "key = value" setting (from --set or a config file line).
bool applySetting(Config& c, const std::string& key, const std::string& value, std::string& err);
bool loadConfigFile(Config& c, const std::string& path, std::string& err);

class Model {
public:
    enum class State { Off, BootWindow, Bootloader, Application };
    explicit Model(Config c, uint32_t seedSalt = 0);

    // Time passes (power-on, boot window end, restart after reset).
    void tick(int64_t nowMs);
    // A complete request (service byte first); broadcast marks the functional
    // address. Returns the answer, or nothing when the ECU stays silent.
    std::optional<Bytes> handle(const Bytes& req, bool broadcast, int64_t nowMs);

    State state() const { return state_; }
    const std::map<uint32_t, uint8_t>& memory() const { return memory_; }
    uint16_t checksum() const;
    // "match", "mismatch" or "not verified"
    std::string verdict() const { return verdict_; }
    unsigned transfers() const { return transfers_; }
    unsigned resets() const { return resets_; }
    bool resetPending() const { return restartAt_ >= 0; }
    // False from the start of an erase until a programmed image is verified.
    bool applicationValid() const { return appValid_; }
    const Config& config() const { return cfg_; }

private:
    Config cfg_;
    State state_ = State::Off;
    int64_t powerOnAt_ = -1, windowEnd_ = -1, restartAt_ = -1;
    bool unlocked_ = false, seedIssued_ = false, programming_ = false;
    bool eraseStarted_ = false, erased_ = false, downloading_ = false, checksumStarted_ = false;
    bool appValid_ = true;
    int erasePollsLeft_ = 0;
    uint16_t seed_ = 0;
    uint8_t checksumResult_ = 0;
    uint32_t rng_;
    long requests_ = 0;
    std::map<uint32_t, uint8_t> memory_;
    std::string verdict_ = "not verified";
    unsigned transfers_ = 0, resets_ = 0;

    void powerOn(int64_t nowMs);
    bool cutNow(uint8_t sid);
    std::optional<Bytes> bootloader(const Bytes& req, int64_t nowMs);
    uint16_t nextSeed();
};

Bytes negative(uint8_t sid, uint8_t code);

}  // namespace ecusim

#endif
