// Which bus the platform layer joins: the TAVELIN_BUS value parsed, and the
// PCAN bit-timing codes it understands.
#ifndef TAVELIN_BUS_URL_H
#define TAVELIN_BUS_URL_H

#include <cstdint>
#include <string>

namespace pcan {

struct BusUrl {
    enum class Kind { Socketcand, SocketCan } kind = Kind::Socketcand;
    std::string host = "127.0.0.1";
    uint16_t port = 29536;
    std::string bus = "vcan0";  // socketcand bus name, or the SocketCAN interface
    bool automatic = false;     // SocketCAN interface chosen, not named: chosen again on each open
    std::string text() const;
};

// Parses "socketcand://HOST[:PORT]/BUS" or "socketcan://IFNAME". On failure
// returns false with a one-line reason in err.
bool parseBusUrl(const std::string& text, BusUrl& out, std::string& err);

// The bus to use when TAVELIN_BUS is unset: the given SocketCAN interface
// (found by findDefaultCanInterface) when there is one, otherwise the local
// virtual bus.
BusUrl defaultBusUrl(const std::string& canInterface);

// A bus state the channel reports whatever the bus does, for tests and
// demonstrations (TAVELIN_PCAN_BUS_STATE): "light", "heavy" or "passive",
// optionally ":MS" for how long after initialisation; frames still pass.
struct BusHold {
    uint32_t status = 0;  // PCAN_ERROR_BUSLIGHT, _BUSHEAVY or _BUSPASSIVE
    uint32_t ms = 0;      // 0: as long as the channel is open
};
// On failure returns false with a one-line reason in err.
bool parseBusHold(const std::string& text, BusHold& out, std::string& err);

// Bit rate in bit/s of one of the seven bit-timing codes, or 0 for any other.
uint32_t bitrateOfCode(uint16_t code);

}  // namespace pcan

#endif
