#include "socketcand_wire.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace wire {
namespace {

std::vector<std::string_view> tokens(std::string_view msg)
{
    std::vector<std::string_view> out;
    if (msg.size() < 2 || msg.front() != '<' || msg.back() != '>')
        return out;
    msg = msg.substr(1, msg.size() - 2);
    std::size_t i = 0;
    while (i < msg.size()) {
        while (i < msg.size() && std::isspace(static_cast<unsigned char>(msg[i])))
            ++i;
        std::size_t j = i;
        while (j < msg.size() && !std::isspace(static_cast<unsigned char>(msg[j])))
            ++j;
        if (j > i)
            out.push_back(msg.substr(i, j - i));
        i = j;
    }
    return out;
}

int hexval(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseHex(std::string_view s, uint64_t& v)
{
    if (s.empty() || s.size() > 16)
        return false;
    v = 0;
    for (char c : s) {
        int h = hexval(c);
        if (h < 0)
            return false;
        v = v * 16 + static_cast<unsigned>(h);
    }
    return true;
}

bool parseId(std::string_view s, Frame& f, std::string& err)
{
    uint64_t id;
    if (!parseHex(s, id) || s.size() > 8) {
        err = "bad identifier '" + std::string(s) + "'";
        return false;
    }
    if (id > 0x1FFFFFFF) {
        err = "identifier above 29 bits";
        return false;
    }
    f.id = static_cast<uint32_t>(id);
    f.extended = s.size() == 8 || id > 0x7FF;
    return true;
}

void appendId(std::string& out, const Frame& f)
{
    char b[16];
    std::snprintf(b, sizeof b, f.extended ? "%08X" : "%03X", f.id);
    out += b;
}

}  // namespace

std::string formatSend(const Frame& f)
{
    std::string out = "< send ";
    appendId(out, f);
    char b[8];
    std::snprintf(b, sizeof b, " %u", f.dlc);
    out += b;
    for (unsigned i = 0; i < f.dlc && i < 8; ++i) {
        std::snprintf(b, sizeof b, " %02X", f.data[i]);
        out += b;
    }
    out += " >";
    return out;
}

std::string formatFrame(const Frame& f, int64_t seconds, uint32_t micros)
{
    std::string out = "< frame ";
    appendId(out, f);
    char b[40];
    std::snprintf(b, sizeof b, " %lld.%06u ", static_cast<long long>(seconds), micros);
    out += b;
    for (unsigned i = 0; i < f.dlc && i < 8; ++i) {
        std::snprintf(b, sizeof b, "%02X", f.data[i]);
        out += b;
    }
    out += " >";
    return out;
}

bool parseSend(std::string_view msg, Frame& f, std::string& err)
{
    auto t = tokens(msg);
    if (t.size() < 3 || t[0] != "send") {
        err = "malformed send";
        return false;
    }
    Frame r;
    if (!parseId(t[1], r, err))
        return false;
    if (t[2].size() > 2 || t[2].empty() || !std::isdigit(static_cast<unsigned char>(t[2][0])) ||
        (t[2].size() == 2 && !std::isdigit(static_cast<unsigned char>(t[2][1])))) {
        err = "bad length '" + std::string(t[2]) + "'";
        return false;
    }
    unsigned dlc = static_cast<unsigned>(std::stoi(std::string(t[2])));
    if (dlc > 8) {
        err = "length above 8";
        return false;
    }
    if (t.size() != 3 + dlc) {
        err = "length does not match the data bytes";
        return false;
    }
    r.dlc = static_cast<uint8_t>(dlc);
    for (unsigned i = 0; i < dlc; ++i) {
        uint64_t v;
        if (t[3 + i].size() > 2 || !parseHex(t[3 + i], v)) {
            err = "bad data byte '" + std::string(t[3 + i]) + "'";
            return false;
        }
        r.data[i] = static_cast<uint8_t>(v);
    }
    f = r;
    return true;
}

bool parseFrame(std::string_view msg, Frame& f, std::string& err)
{
    auto t = tokens(msg);
    if (t.size() < 3 || t.size() > 4 || t[0] != "frame") {
        err = "malformed frame";
        return false;
    }
    Frame r;
    if (!parseId(t[1], r, err))
        return false;
    std::string_view data = t.size() == 4 ? t[3] : std::string_view();
    if (data.size() % 2 != 0 || data.size() > 16) {
        err = "bad frame data";
        return false;
    }
    r.dlc = static_cast<uint8_t>(data.size() / 2);
    for (unsigned i = 0; i < r.dlc; ++i) {
        uint64_t v;
        if (!parseHex(data.substr(2 * i, 2), v)) {
            err = "bad frame data";
            return false;
        }
        r.data[i] = static_cast<uint8_t>(v);
    }
    f = r;
    return true;
}

std::string command(std::string_view msg)
{
    auto t = tokens(msg);
    return t.empty() ? std::string() : std::string(t[0]);
}

void Splitter::compact()
{
    if (pos_ > 4096 && pos_ * 2 > buf_.size()) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
}

Splitter::Item Splitter::next()
{
    Item item;
    while (pos_ < buf_.size()) {
        if (discarding_) {
            std::size_t close = buf_.find('>', pos_);
            if (close == std::string::npos) {
                pos_ = buf_.size();
                break;
            }
            pos_ = close + 1;
            discarding_ = false;
            continue;
        }
        char c = buf_[pos_];
        if (c != '<') {
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++pos_;
                continue;
            }
            // A run of stray bytes: skip to the next message start, report once.
            std::size_t open = buf_.find('<', pos_);
            pos_ = open == std::string::npos ? buf_.size() : open;
            item.kind = Kind::Error;
            item.text = "expected a message start";
            compact();
            return item;
        }
        std::size_t close = buf_.find('>', pos_);
        std::size_t limit = pos_ + kMaxMessage;
        if (close == std::string::npos || close >= limit) {
            if (close == std::string::npos && buf_.size() < limit)
                break;  // incomplete, wait for more bytes
            // Over-long: report, then skip up to the closing bracket.
            discarding_ = close == std::string::npos;
            pos_ = close == std::string::npos ? buf_.size() : close + 1;
            item.kind = Kind::Error;
            item.text = "message too long";
            compact();
            return item;
        }
        // A second '<' before the '>' means the first message was cut off.
        std::size_t inner = buf_.find('<', pos_ + 1);
        if (inner != std::string::npos && inner < close) {
            pos_ = inner;
            item.kind = Kind::Error;
            item.text = "unterminated message";
            compact();
            return item;
        }
        item.kind = Kind::Message;
        item.text = buf_.substr(pos_, close + 1 - pos_);
        pos_ = close + 1;
        compact();
        return item;
    }
    if (pos_ >= buf_.size()) {
        buf_.clear();
        pos_ = 0;
    }
    return item;
}

}  // namespace wire
