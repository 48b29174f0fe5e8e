// The socketcand raw-mode wire format, shared by the platform layer's client
// and by canhub. Pure functions: no sockets, no clocks.
#ifndef TAVELIN_SOCKETCAND_WIRE_H
#define TAVELIN_SOCKETCAND_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wire {

constexpr std::size_t kMaxMessage = 512;  // longest "< ... >" accepted, brackets included

struct Frame {
    uint32_t id = 0;
    bool extended = false;
    uint8_t dlc = 0;
    uint8_t data[8] = {};
    bool error = false;  // a SocketCAN error frame: id holds its CAN_ERR_* class bits
};

// "< send 18DA22F9 8 01 3E FF FF FF FF FF FF >"
std::string formatSend(const Frame& f);
// "< frame 18DAF922 1700000000.123456 027E00 >"
std::string formatFrame(const Frame& f, int64_t seconds, uint32_t micros);

// Parsers take the whole message, brackets included. They return false and a
// short reason in err for anything malformed.
bool parseSend(std::string_view msg, Frame& f, std::string& err);
bool parseFrame(std::string_view msg, Frame& f, std::string& err);

// First word inside the brackets ("send", "frame", "ok", "hi", ...).
std::string command(std::string_view msg);

// Reassembles "< ... >" messages from a byte stream that arrives in arbitrary
// pieces. Bytes outside brackets are skipped (whitespace silently, anything
// else reported once per run); a message longer than kMaxMessage is reported
// and skipped up to its closing bracket.
class Splitter {
public:
    enum class Kind { None, Message, Error };
    struct Item {
        Kind kind = Kind::None;
        std::string text;  // the message, or the error's reason
    };
    void feed(const char* p, std::size_t n) { buf_.append(p, n); }
    Item next();
    std::size_t buffered() const { return buf_.size() - pos_; }

private:
    std::string buf_;
    std::size_t pos_ = 0;
    bool discarding_ = false;  // inside an over-long message
    void compact();
};

}  // namespace wire

#endif
