// Pure helpers of the SocketCAN back end, separated so that they can be
// tested on a machine whose kernel has no CAN.
#ifndef TAVELIN_SOCKETCAN_BACKEND_H
#define TAVELIN_SOCKETCAN_BACKEND_H

#include <cstdint>

#include "backend.h"
#include "socketcan_link.h"

namespace pcan {

// A controller's CAN_STATE_* value to the channel's bus state. Bus-off,
// stopped and asleep all mean the controller takes no part in the bus: BUS
// OFF, a state the window shows (and the channel keeps its socket), not a
// lost interface that would be reopened on every poll.
BusState busStateOfSocketCan(int canState);

// 29-bit/11-bit frame <-> SocketCAN can_id with its flag bits.
uint32_t canIdOf(const wire::Frame& f);
bool frameOfCanId(uint32_t canId, wire::Frame& f);  // false for RTR and error frames

}  // namespace pcan

#endif
