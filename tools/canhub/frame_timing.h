// How long a classic CAN data frame occupies the wire, bit stuffing included.
#ifndef TAVELIN_FRAME_TIMING_H
#define TAVELIN_FRAME_TIMING_H

#include "socketcand_wire.h"

namespace canhub {

// Bits on the wire from start of frame to the end of the interframe space:
// the stuffed part (SOF to CRC), CRC delimiter, ACK slot and delimiter, end
// of frame (7) and intermission (3).
unsigned frameBits(const wire::Frame& f);

}  // namespace canhub

#endif
