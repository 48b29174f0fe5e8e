#include "bus_url.h"

#include <cctype>

namespace pcan {

std::string BusUrl::text() const
{
    if (kind == Kind::SocketCan)
        return "socketcan://" + bus;
    return "socketcand://" + host + ":" + std::to_string(port) + "/" + bus;
}

static bool validName(const std::string& s)
{
    if (s.empty() || s.size() > 64)
        return false;
    for (unsigned char c : s)
        if (!std::isalnum(c) && c != '_' && c != '-' && c != '.')
            return false;
    return true;
}

bool parseBusUrl(const std::string& text, BusUrl& out, std::string& err)
{
    const std::string sc = "socketcan://", scd = "socketcand://";
    BusUrl r;
    if (text.rfind(scd, 0) == 0) {
        r.kind = BusUrl::Kind::Socketcand;
        std::string rest = text.substr(scd.size());
        auto slash = rest.find('/');
        if (slash == std::string::npos) {
            err = "missing /BUS in '" + text + "' (expected socketcand://HOST[:PORT]/BUS)";
            return false;
        }
        std::string hostport = rest.substr(0, slash);
        r.bus = rest.substr(slash + 1);
        std::string host = hostport;
        if (!hostport.empty() && hostport[0] == '[') {  // [v6-address]:port
            auto close = hostport.find(']');
            if (close == std::string::npos) {
                err = "unclosed '[' in '" + text + "'";
                return false;
            }
            host = hostport.substr(1, close - 1);
            std::string tail = hostport.substr(close + 1);
            if (!tail.empty()) {
                if (tail[0] != ':') {
                    err = "bad host in '" + text + "'";
                    return false;
                }
                hostport = "x" + tail;  // reuse the port parsing below
            } else {
                hostport = "x";
            }
        }
        auto colon = hostport.rfind(':');
        if (colon != std::string::npos) {
            std::string port = hostport.substr(colon + 1);
            if (host == hostport)
                host = hostport.substr(0, colon);
            if (port.empty() || port.size() > 5) {
                err = "bad port in '" + text + "'";
                return false;
            }
            unsigned long p = 0;
            for (char c : port) {
                if (!std::isdigit(static_cast<unsigned char>(c))) {
                    err = "bad port in '" + text + "'";
                    return false;
                }
                p = p * 10 + static_cast<unsigned long>(c - '0');
            }
            if (p == 0 || p > 65535) {
                err = "bad port in '" + text + "'";
                return false;
            }
            r.port = static_cast<uint16_t>(p);
        }
        r.host = host;
        if (r.host.empty()) {
            err = "missing host in '" + text + "'";
            return false;
        }
        if (!validName(r.bus)) {
            err = "bad bus name in '" + text + "'";
            return false;
        }
    } else if (text.rfind(sc, 0) == 0) {
        r.kind = BusUrl::Kind::SocketCan;
        r.bus = text.substr(sc.size());
        if (!validName(r.bus) || r.bus.size() > 15) {
            err = "bad interface name in '" + text + "'";
            return false;
        }
        r.host.clear();
        r.port = 0;
    } else {
        err = "unknown bus '" + text +
              "' (expected socketcand://HOST[:PORT]/BUS or socketcan://IFNAME)";
        return false;
    }
    out = r;
    return true;
}

BusUrl defaultBusUrl(const std::string& canInterface)
{
    BusUrl r;
    if (!canInterface.empty()) {
        r.kind = BusUrl::Kind::SocketCan;
        r.host.clear();
        r.port = 0;
        r.bus = canInterface;
        r.automatic = true;
    }
    return r;
}

bool parseBusHold(const std::string& text, BusHold& out, std::string& err)
{
    const std::size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    BusHold h;
    if (name == "light")
        h.status = 0x00004;  // PCAN_ERROR_BUSLIGHT
    else if (name == "heavy")
        h.status = 0x00008;  // PCAN_ERROR_BUSHEAVY
    else if (name == "passive")
        h.status = 0x40000;  // PCAN_ERROR_BUSPASSIVE
    else {
        err = "'" + text + "' is not light, heavy or passive, with an optional :MS";
        return false;
    }
    if (colon != std::string::npos) {
        const std::string ms = text.substr(colon + 1);
        if (ms.empty() || ms.size() > 9 || ms.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(ms) == 0) {
            err = "'" + text + "': the time after ':' is a number of milliseconds above 0";
            return false;
        }
        h.ms = static_cast<uint32_t>(std::stoul(ms));
    }
    out = h;
    return true;
}

uint32_t bitrateOfCode(uint16_t code)
{
    switch (code) {
    case 0x0014: return 1000000;
    case 0x001C: return 500000;
    case 0x011C: return 250000;
    case 0x031C: return 125000;
    case 0x432F: return 100000;
    case 0x472F: return 50000;
    case 0x672F: return 10000;
    default: return 0;
    }
}

}  // namespace pcan
