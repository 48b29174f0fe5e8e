#include "ecu_model.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ecusim {

namespace nrc {
constexpr uint8_t kNotSupported = 0x11;
constexpr uint8_t kBadFormat = 0x13;
constexpr uint8_t kConditions = 0x22;
constexpr uint8_t kSequence = 0x24;
constexpr uint8_t kOutOfRange = 0x31;
constexpr uint8_t kDenied = 0x33;
constexpr uint8_t kInvalidKey = 0x35;
constexpr uint8_t kProgramming = 0x72;
}  // namespace nrc

Bytes negative(uint8_t sid, uint8_t code) { return {0x7F, sid, code}; }

static Bytes le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Config::Config()
{
    ident[0].data = le32(12345);           // hardware id
    ident[1].data = {0x01, 0x02, 0x00, 0x00};  // hardware version
    ident[2].data = {0x02, 0x00, 0x00, 0x00};  // bootloader interface version
    ident[3].data = {0x03, 0x01, 0x04, 0x00};  // bootloader version
    ident[4].data = le32(4711);            // application id
    ident[5].data = {0x01, 0x00, 0x07, 0x02};  // application version
    ident[6].data = {0x00, 0x01, 0x00, 0x00};  // block length 256
}

uint16_t Config::blockLength() const
{
    const Bytes& d = ident[6].data;
    return d.size() >= 2 ? static_cast<uint16_t>(d[0] | d[1] << 8) : 0;
}

namespace {

std::string trim(const std::string& s)
{
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

bool parseNumber(const std::string& s, unsigned long long max, unsigned long long& v)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    v = std::strtoull(s.c_str(), &end, 0);  // decimal, or 0x... hexadecimal
    return *end == 0 && v <= max && s[0] != '-';
}

// "a.b.c.d" -> four bytes
bool parseVersion(const std::string& s, Bytes& out)
{
    std::istringstream in(s);
    std::string part;
    Bytes r;
    while (std::getline(in, part, '.')) {
        unsigned long long v;
        if (!parseNumber(trim(part), 255, v))
            return false;
        r.push_back(static_cast<uint8_t>(v));
    }
    if (r.size() != 4)
        return false;
    out = r;
    return true;
}

// "39 30 00 00" -> bytes (any count from 0 to 6)
bool parseHexBytes(const std::string& s, Bytes& out)
{
    std::istringstream in(s);
    std::string tok;
    Bytes r;
    while (in >> tok) {
        if (tok.size() > 2)
            return false;
        char* end = nullptr;
        unsigned long v = std::strtoul(tok.c_str(), &end, 16);
        if (*end)
            return false;
        r.push_back(static_cast<uint8_t>(v));
    }
    if (r.size() > 4)
        return false;
    out = r;
    return true;
}

const char* const kItemKeys[7] = {"hw_id", "hw_version", "boot_interface_version", "boot_version",
                                  "app_id", "app_version", "block_length"};

}  // namespace

bool applySetting(Config& c, const std::string& keyIn, const std::string& valueIn, std::string& err)
{
    std::string key = trim(keyIn), value = trim(valueIn);
    unsigned long long v;
    for (int i = 0; i < 7; ++i) {
        if (key != kItemKeys[i])
            continue;
        bool ok;
        if (i == 0 || i == 4 || i == 6) {
            ok = parseNumber(value, i == 6 ? 0xFFFF : 0xFFFFFFFFull, v);
            if (ok)
                c.ident[i].data = i == 6 ? Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), 0, 0}
                                         : le32(static_cast<uint32_t>(v));
        } else {
            ok = parseVersion(value, c.ident[i].data);
        }
        c.ident[i].nrc = 0;
        c.ident[i].silent = false;
        if (!ok)
            err = key + ": expected " + (i == 0 || i == 4 || i == 6 ? "a number" : "a.b.c.d");
        return ok;
    }
    // item.N = raw bytes after 62 FF nn, or "nrc XX" for a negative answer
    if (key.size() == 6 && key.rfind("item.", 0) == 0 && key[5] >= '0' && key[5] <= '6') {
        IdentItem& it = c.ident[key[5] - '0'];
        it.silent = value == "none";
        if (it.silent)
            return true;
        if (value.rfind("nrc", 0) == 0) {
            if (!parseNumber("0x" + trim(value.substr(3)), 0xFF, v) || v == 0) {
                err = key + ": expected 'nrc XX' with a hexadecimal code";
                return false;
            }
            it.nrc = static_cast<uint8_t>(v);
            return true;
        }
        it.nrc = 0;
        if (!parseHexBytes(value, it.data)) {
            err = key + ": expected up to four hexadecimal bytes";
            return false;
        }
        return true;
    }
    if (key == "flash_start" || key == "flash_end") {
        if (!parseNumber(value, 0xFFFFFFFFull, v)) {
            err = key + ": expected an address";
            return false;
        }
        (key == "flash_start" ? c.flashStart : c.flashEnd) = static_cast<uint32_t>(v);
        return true;
    }
    if (key == "seed") {
        if (!parseNumber(value, 0xFFFF, v)) {
            err = "seed: expected a 16-bit number";
            return false;
        }
        c.seed = static_cast<uint16_t>(v);
        return true;
    }
    err = "unknown setting '" + key + "'";
    return false;
}

bool parsePowerCut(const std::string& text, PowerCut& out)
{
    unsigned long long n;
    if (text == "erase")
        out.at = PowerCut::At::Erase;
    else if (text == "checksum")
        out.at = PowerCut::At::Checksum;
    else if (text.rfind("block:", 0) == 0 && parseNumber(text.substr(6), 1000000, n)) {
        out.at = PowerCut::At::Block;
        out.afterBlocks = static_cast<unsigned>(n);
    } else
        return false;
    return true;
}

bool loadConfigFile(Config& c, const std::string& path, std::string& err)
{
    std::ifstream in(path);
    if (!in) {
        err = "cannot read " + path;
        return false;
    }
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        auto eq = t.find('=');
        if (eq == std::string::npos) {
            err = path + ":" + std::to_string(n) + ": expected key = value";
            return false;
        }
        if (!applySetting(c, t.substr(0, eq), t.substr(eq + 1), err)) {
            err = path + ":" + std::to_string(n) + ": " + err;
            return false;
        }
    }
    return true;
}

Model::Model(Config c, uint32_t seedSalt) : cfg_(std::move(c)), rng_(0x2545F491u ^ seedSalt)
{
    if (cfg_.power == Config::Power::Boot)
        state_ = State::Bootloader;
    else if (cfg_.power == Config::Power::App)
        state_ = State::Application;
}

uint16_t Model::nextSeed()
{
    if (cfg_.seed)
        return *cfg_.seed;
    rng_ = rng_ * 1103515245u + 12345u;
    uint16_t s = static_cast<uint16_t>(rng_ >> 8);
    return s == 0 ? 0x1234 : s;  // a zero seed would mean "already unlocked"
}

void Model::powerOn(int64_t nowMs)
{
    // Without a valid application there is nothing to start: the ECU stays
    // in its bootloader, programmable as before.
    state_ = appValid_ ? State::BootWindow : State::Bootloader;
    windowEnd_ = nowMs + cfg_.bootWindowMs;
    unlocked_ = seedIssued_ = programming_ = false;
    eraseStarted_ = downloading_ = checksumStarted_ = false;
}

void Model::tick(int64_t nowMs)
{
    if (state_ == State::Off && powerOnAt_ >= 0 && nowMs >= powerOnAt_) {
        powerOnAt_ = -1;
        powerOn(nowMs);
    }
    if (restartAt_ >= 0 && nowMs >= restartAt_) {
        restartAt_ = -1;
        powerOn(nowMs);
    }
    if (state_ == State::BootWindow && nowMs >= windowEnd_)
        state_ = State::Application;
}

uint16_t Model::checksum() const
{
    uint32_t sum = 0;
    for (auto& [addr, b] : memory_)
        sum += b;
    return static_cast<uint16_t>(sum);
}

std::optional<Bytes> Model::handle(const Bytes& req, bool broadcast, int64_t nowMs)
{
    tick(nowMs);
    if (req.empty())
        return std::nullopt;
    const uint8_t sid = req[0];
    const bool capture = broadcast && sid == kCaptureSid && req.size() == 7 &&
                         std::equal(req.begin() + 1, req.end(), kCaptureCode);
    if (capture) {
        if (state_ == State::Off && cfg_.powerOnAfterCaptureMs >= 0 && powerOnAt_ < 0) {
            powerOnAt_ = nowMs + cfg_.powerOnAfterCaptureMs;
            cfg_.powerOnAfterCaptureMs = -1;  // the bench switches it on once
        }
        if (state_ == State::BootWindow)
            state_ = State::Bootloader;
        return std::nullopt;  // never answered
    }
    if (state_ == State::Off || state_ == State::BootWindow || (broadcast && sid != 0x3E))
        return std::nullopt;
    if (cfg_.faults.stopAfter >= 0 && requests_ >= cfg_.faults.stopAfter)
        return std::nullopt;
    ++requests_;
    if (cfg_.faults.noAnswer.count(sid))
        return std::nullopt;
    auto f = cfg_.faults.nrc.find(sid);
    if (f != cfg_.faults.nrc.end() && f->second.second != 0) {
        if (f->second.second > 0)
            --f->second.second;
        return negative(sid, f->second.first);
    }
    if (state_ == State::Application)
        return negative(sid, nrc::kNotSupported);  // the application offers no diagnostics here
    if (cutNow(sid)) {
        // The power goes: no answer, the memory keeps what was written, and
        // the ECU comes back when the technician powers it again (the bench
        // switches it on after the next capture request).
        cfg_.faults.powerCut.at = PowerCut::At::Never;
        state_ = State::Off;
        cfg_.powerOnAfterCaptureMs = cfg_.powerBackAfterCaptureMs;
        powerOnAt_ = -1;
        return std::nullopt;
    }
    return bootloader(req, nowMs);
}

bool Model::cutNow(uint8_t sid)
{
    const PowerCut& c = cfg_.faults.powerCut;
    switch (c.at) {
    case PowerCut::At::Block: return sid == 0x36 && downloading_ && transfers_ >= c.afterBlocks;
    case PowerCut::At::Erase: return sid == 0x33 && eraseStarted_ && !erased_;
    case PowerCut::At::Checksum: return sid == 0x31 && erased_ && !downloading_;
    default: return false;
    }
}

std::optional<Bytes> Model::bootloader(const Bytes& req, int64_t nowMs)
{
    const uint8_t sid = req[0];
    const std::size_t n = req.size();
    switch (sid) {
    case 0x3E:
        return Bytes{0x7E};
    case 0x22: {
        if (n != 5 || req[1] != 0xFF)
            return negative(sid, n != 5 ? nrc::kBadFormat : nrc::kOutOfRange);
        if (req[2] > 6)
            return negative(sid, nrc::kOutOfRange);
        const IdentItem& it = cfg_.ident[req[2]];
        if (it.silent)
            return std::nullopt;
        if (it.nrc)
            return negative(sid, it.nrc);
        Bytes r{0x62, 0xFF, req[2]};
        r.insert(r.end(), it.data.begin(), it.data.end());
        return r;
    }
    case 0x27:
        if (n == 2 && req[1] == 0x01) {
            seed_ = nextSeed();
            seedIssued_ = true;
            return Bytes{0x67, 0x01, static_cast<uint8_t>(seed_ >> 8), static_cast<uint8_t>(seed_)};
        }
        if (n == 7 && req[1] == 0x02) {
            if (!seedIssued_)
                return negative(sid, nrc::kSequence);
            seedIssued_ = false;  // every key needs a fresh seed
            const uint8_t s0 = static_cast<uint8_t>(seed_ >> 8), s1 = static_cast<uint8_t>(seed_);
            bool ok = req[2] == static_cast<uint8_t>(~s1) && req[3] == static_cast<uint8_t>(~s0) &&
                      req[4] == 0 && req[5] == 0 && req[6] == 0;
            if (ok && cfg_.faults.rejectKeys != 0) {
                if (cfg_.faults.rejectKeys > 0)
                    --cfg_.faults.rejectKeys;
                ok = false;
            }
            if (!ok)
                return negative(sid, nrc::kInvalidKey);
            unlocked_ = true;
            return Bytes{0x67, 0x02};
        }
        return negative(sid, nrc::kBadFormat);
    case 0x10:
        if (n != 2 || req[1] != 0x85)
            return negative(sid, n != 2 ? nrc::kBadFormat : nrc::kOutOfRange);
        if (!unlocked_)
            return negative(sid, nrc::kDenied);
        programming_ = true;
        return Bytes{0x50, 0x85};
    case 0x31:
        if (n == 2 && req[1] == 0x10) {
            if (!programming_)
                return negative(sid, nrc::kConditions);
            eraseStarted_ = true;
            appValid_ = false;
            erased_ = downloading_ = checksumStarted_ = false;
            erasePollsLeft_ = cfg_.faults.erasePending;
            for (auto it = memory_.lower_bound(cfg_.flashStart);
                 it != memory_.end() && it->first < cfg_.flashEnd;)
                it = memory_.erase(it);
            verdict_ = "not verified";
            return Bytes{0x71, 0x10};
        }
        if (n == 4 && req[1] == 0x20) {
            if (!erased_ || downloading_)
                return negative(sid, nrc::kSequence);
            uint16_t expected = static_cast<uint16_t>(req[2] << 8 | req[3]);
            checksumResult_ = checksum() == expected ? 0 : 1;
            if (cfg_.faults.checksumResult)
                checksumResult_ = *cfg_.faults.checksumResult;
            verdict_ = checksumResult_ == 0 ? "match" : "mismatch";
            appValid_ = checksumResult_ == 0;
            checksumStarted_ = true;
            return Bytes{0x71, 0x20};
        }
        return negative(sid, n < 2 ? nrc::kBadFormat : nrc::kOutOfRange);
    case 0x33:
        if (n != 2)
            return negative(sid, nrc::kBadFormat);
        if (req[1] == 0x10) {
            if (!eraseStarted_)
                return negative(sid, nrc::kSequence);
            if (erasePollsLeft_ > 0) {
                --erasePollsLeft_;
                return negative(sid, 0x23);
            }
            erased_ = cfg_.faults.eraseResult == 0;
            return Bytes{0x73, 0x10, cfg_.faults.eraseResult};
        }
        if (req[1] == 0x20) {
            if (!checksumStarted_)
                return negative(sid, nrc::kSequence);
            return Bytes{0x73, 0x20, checksumResult_};
        }
        return negative(sid, nrc::kOutOfRange);
    case 0x34:
        if (n != 1)
            return negative(sid, nrc::kBadFormat);
        if (!erased_)
            return negative(sid, nrc::kConditions);
        downloading_ = true;
        return Bytes{0x74};
    case 0x36: {
        if (n < 6)
            return negative(sid, nrc::kBadFormat);
        if (!downloading_)
            return negative(sid, nrc::kSequence);
        uint32_t addr = req[1] | req[2] << 8 | req[3] << 16 | static_cast<uint32_t>(req[4]) << 24;
        uint64_t count = n - 5;
        if (count > cfg_.blockLength() || addr < cfg_.flashStart ||
            addr + count > static_cast<uint64_t>(cfg_.flashEnd))
            return negative(sid, nrc::kOutOfRange);
        // Flash takes each byte once per erase; a repeated block must match.
        for (uint64_t i = 0; i < count; ++i) {
            auto it = memory_.find(static_cast<uint32_t>(addr + i));
            if (it != memory_.end() && it->second != req[5 + i])
                return negative(sid, nrc::kProgramming);
        }
        for (uint64_t i = 0; i < count; ++i)
            memory_[static_cast<uint32_t>(addr + i)] = req[5 + i];
        ++transfers_;
        return Bytes{0x76};
    }
    case 0x37:
        if (n != 1)
            return negative(sid, nrc::kBadFormat);
        if (!downloading_)
            return negative(sid, nrc::kSequence);
        downloading_ = false;
        return Bytes{0x77};
    case 0x11:
        if (n != 1)
            return negative(sid, nrc::kBadFormat);
        ++resets_;
        state_ = State::Off;
        restartAt_ = nowMs + 50;  // answers, then restarts
        return Bytes{0x51};
    default:
        return negative(sid, nrc::kNotSupported);
    }
}

}  // namespace ecusim
