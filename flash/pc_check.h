// --check: what a first start on a new PC needs to know, as lines a person
// can read and paste.
#ifndef TAVELIN_FLASH_PC_CHECK_H
#define TAVELIN_FLASH_PC_CHECK_H

#include "ecu_session.h"

namespace flash {

// Prints the lines on standard error (and, with --json, a "check" object);
// returns 0 when all is well, else kCheckFailed.
int checkPc(const BusSettings& bus, Console& console);

}  // namespace flash

#endif
