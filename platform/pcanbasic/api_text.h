// Texts the PCAN-Basic API gives and takes: error descriptions, and the
// parameter string of CAN_LookUpChannel. Pure functions.
#ifndef TAVELIN_PCAN_API_TEXT_H
#define TAVELIN_PCAN_API_TEXT_H

#include <cstdint>
#include <string>

#include "PCANBasic.h"

namespace pcan {

// The description of one status code, or nullptr for a value that is not
// one code (a combination, or unknown).
const char* errorText(TPCANStatus status);

// Whether a language id of CAN_GetErrorText is one the API knows.
bool knownLanguage(WORD language);

// What CAN_LookUpChannel is asked for: "name=value" pairs separated by
// commas, blanks around either ignored, names in any case.
struct LookUp {
    bool valid = false;      // false: malformed, or a name the API does not know
    bool matches = false;    // every pair given matches the channel
};
// Matches the pairs against our one channel: a PCAN-USB device (devicetype
// PCAN_USB or 5), controller 0, with the given device id; it has no IP address.
LookUp lookUpChannel(const std::string& parameters, uint32_t deviceId);

}  // namespace pcan

#endif
