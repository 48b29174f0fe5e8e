#include "api_text.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace pcan {

const char* errorText(TPCANStatus status)
{
    switch (status) {
    case PCAN_ERROR_OK: return "No error. Success.";
    case PCAN_ERROR_XMTFULL: return "The transmit buffer in the CAN controller is full.";
    case PCAN_ERROR_OVERRUN: return "The CAN controller was read too late.";
    case PCAN_ERROR_BUSLIGHT: return "Bus error: an error counter reached the 'light' limit.";
    case PCAN_ERROR_BUSHEAVY: return "Bus error: an error counter reached the 'heavy' limit.";
    case PCAN_ERROR_BUSOFF: return "Bus error: the CAN controller is in bus-off state.";
    case PCAN_ERROR_ANYBUSERR: return "Bus error: the CAN controller is in an error state.";
    case PCAN_ERROR_QRCVEMPTY: return "The receive queue is empty.";
    case PCAN_ERROR_QOVERRUN: return "The receive queue was read too late.";
    case PCAN_ERROR_QXMTFULL: return "The transmit queue is full.";
    case PCAN_ERROR_REGTEST: return "Test of the CAN controller hardware registers failed (no hardware found).";
    case PCAN_ERROR_NODRIVER: return "The CAN bus could not be opened (no driver, interface or bus server).";
    case PCAN_ERROR_HWINUSE: return "The hardware is already in use.";
    case PCAN_ERROR_NETINUSE: return "A client is already connected to the net.";
    case PCAN_ERROR_ILLHW: return "The hardware handle is invalid.";
    case PCAN_ERROR_ILLNET: return "The net handle is invalid.";
    case PCAN_ERROR_ILLHANDLE: return "The channel handle is invalid.";
    case PCAN_ERROR_RESOURCE: return "A resource (queue, client, timeout) cannot be created.";
    case PCAN_ERROR_ILLPARAMTYPE: return "Invalid parameter.";
    case PCAN_ERROR_ILLPARAMVAL: return "Invalid parameter value.";
    case PCAN_ERROR_UNKNOWN: return "Unknown error.";
    case PCAN_ERROR_ILLDATA: return "Invalid data, function, or action.";
    case PCAN_ERROR_BUSPASSIVE: return "Bus error: the CAN controller is error passive.";
    case PCAN_ERROR_ILLMODE: return "The driver's state is wrong for the attempted operation.";
    case PCAN_ERROR_CAUTION: return "The operation was carried out, but irregularities were registered.";
    case PCAN_ERROR_INITIALIZE: return "The channel is not initialized.";
    case PCAN_ERROR_ILLOPERATION: return "Invalid operation: the channel does not support it.";
    default: return nullptr;
    }
}

bool knownLanguage(WORD language)
{
    switch (language) {
    case 0x00: case 0x07: case 0x09: case 0x0A: case 0x0C: case 0x10: return true;
    default: return false;
    }
}

namespace {

std::string trimmed(const std::string& s)
{
    auto b = s.find_first_not_of(" \t");
    auto e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// A whole decimal or 0x-prefixed hexadecimal number.
bool number(const std::string& s, unsigned long long& out)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, 0);
    return end && *end == '\0';
}

}  // namespace

LookUp lookUpChannel(const std::string& parameters, uint32_t deviceId)
{
    LookUp r;
    r.matches = true;
    std::size_t pos = 0;
    bool any = false;
    while (pos <= parameters.size()) {
        std::size_t comma = parameters.find(',', pos);
        if (comma == std::string::npos)
            comma = parameters.size();
        const std::string pair = parameters.substr(pos, comma - pos);
        pos = comma + 1;
        if (trimmed(pair).empty())
            continue;
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos)
            return {};
        const std::string name = lower(trimmed(pair.substr(0, eq)));
        const std::string value = trimmed(pair.substr(eq + 1));
        unsigned long long n = 0;
        any = true;
        if (name == "devicetype") {
            // By name (PCAN_USB) or by the value of the device kind (5).
            if (lower(value) != "pcan_usb" && !(number(value, n) && n == 5))
                r.matches = false;
        } else if (name == "controllernumber") {
            if (!number(value, n))
                return {};
            r.matches = r.matches && n == 0;
        } else if (name == "deviceid") {
            if (!number(value, n))
                return {};
            r.matches = r.matches && n == deviceId;
        } else if (name == "ipaddress") {
            r.matches = false;  // a USB channel has none
        } else {
            return {};
        }
    }
    r.valid = any;
    return r;
}

}  // namespace pcan
