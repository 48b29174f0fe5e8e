// Pure helpers of the SocketCAN back end, separated so that they can be
// tested on a machine whose kernel has no CAN.
#ifndef TAVELIN_SOCKETCAN_BACKEND_H
#define TAVELIN_SOCKETCAN_BACKEND_H

#include <cstdint>
#include <string>

#include "backend.h"

namespace pcan {

// libsocketcan's CAN_STATE_* value to the channel's bus state.
BusState busStateOfSocketCan(int canState);

// The command that brings an interface up at a bit rate.
std::string ipLinkCommand(const std::string& ifname, uint32_t bitrate);

// 29-bit/11-bit frame <-> SocketCAN can_id with its flag bits.
uint32_t canIdOf(const wire::Frame& f);
bool frameOfCanId(uint32_t canId, wire::Frame& f);  // false for RTR and error frames

}  // namespace pcan

#endif
