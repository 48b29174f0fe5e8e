// Pure helpers of the SocketCAN back end, separated so that they can be
// tested on a machine whose kernel has no CAN.
#ifndef TAVELIN_SOCKETCAN_BACKEND_H
#define TAVELIN_SOCKETCAN_BACKEND_H

#include <cstddef>
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

// What the kernel says of a network interface (rtnetlink RTM_NEWLINK).
struct LinkInfo {
    bool exists = false;
    int index = 0;
    bool up = false;
    std::string kind;        // IFLA_INFO_KIND: "can" for a controller, "vcan", "vxcan", ...
    uint32_t bitrate = 0;    // 0: no bit timing set yet
    int state = -1;          // CAN_STATE_*, -1 when the kernel gives none
    uint32_t restartMs = 0;
    uint32_t txQueueLen = 0;
    bool controller() const { return kind == "can"; }
};

// Parses the kernel's answer to RTM_GETLINK. False when it holds no link
// (an error message such as "no such device").
bool parseLinkReply(const void* buf, std::size_t len, LinkInfo& out);

// What opening or resetting a channel must do with the interface.
enum class LinkStep {
    Ready,      // up at the wanted rate (or virtual and up)
    Configure,  // a controller down or at another rate: set the rate and start it
    Restart,    // a controller that went bus-off and does not restart by itself
    NeedsUp,    // a virtual interface that is down
    Missing,    // no such interface
};
LinkStep linkStep(const LinkInfo& link, uint32_t bitrate);

// How long a write may wait for room in a full driver queue: twice the time
// the queued frames need on the wire at the longest (extended, 8 bytes,
// worst-case stuffing), at least 50 ms so that a busy machine's scheduling
// delay is not taken for a queue that stays full.
int queueWaitLimitMs(uint32_t txQueueLen, uint32_t bitrate);

}  // namespace pcan

#endif
