// A SocketCAN network interface as the kernel describes it (rtnetlink), what
// opening a channel must do with it, the one line said when this process may
// not do it, and the netlink requests that do it. The decisions are pure
// functions, tested on a machine whose kernel has no CAN.
#ifndef TAVELIN_SOCKETCAN_LINK_H
#define TAVELIN_SOCKETCAN_LINK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcan {

// What the kernel says of a network interface (rtnetlink RTM_NEWLINK).
struct LinkInfo {
    bool exists = false;
    int index = 0;
    std::string name;
    bool canType = false;    // a CAN interface of any kind (ARPHRD_CAN)
    bool up = false;
    std::string kind;        // IFLA_INFO_KIND: "can" for a controller, "vcan", "vxcan", ...
    uint32_t bitrate = 0;    // 0: no bit timing set yet
    int state = -1;          // CAN_STATE_*, -1 when the kernel gives none
    uint32_t restartMs = 0;
    uint32_t ctrlMode = 0;   // CAN_CTRLMODE_* flags in effect
    uint32_t txQueueLen = 0;
    bool controller() const { return kind == "can"; }
};

// Parses the kernel's answer to RTM_GETLINK (the first link it holds). False
// when it holds no link (an error message such as "no such device").
bool parseLinkReply(const void* buf, std::size_t len, LinkInfo& out);

// The kernel stores the bit rate its clock achieves, which may differ a
// little from the one asked for: within 1 % counts as the same rate.
bool rateMatches(uint32_t have, uint32_t want);

// Control modes that keep our frames off the wire, left on by another tool.
uint32_t unwantedModes(const LinkInfo& link);

// What opening a channel must do with the interface.
enum class LinkStep {
    Ready,      // up at the wanted rate in normal mode (or virtual and up)
    Configure,  // a controller down, at another rate, in listen-only or loopback
                // mode, or stopped while up: set it up afresh
    Restart,    // a controller that went bus-off and does not restart by itself
    NeedsUp,    // a virtual interface that is down
    Missing,    // no such interface
};
LinkStep linkStep(const LinkInfo& link, uint32_t bitrate);

// The automatic restart after bus-off that the library sets, and advises.
constexpr uint32_t kRestartMs = 100;

// The command that sets an interface up at a bit rate, with automatic restart
// and without the unwanted control modes the link has on.
std::string ipLinkCommand(const std::string& ifname, uint32_t bitrate, uint32_t modesOff = 0);

// The one line said when the interface is not as it must be and this process
// may not change it (or the kernel refused): what is wrong and the command to
// run. `present` lists the CAN interfaces there are (for a missing one).
std::string linkAdvice(const std::string& ifname, const LinkInfo& link, uint32_t bitrate,
                       const std::string& present);

// The line said when the library changes an interface that someone set up
// otherwise (another rate, a control mode, stopped); empty for one that was
// merely down, which is the normal case of an adapter just plugged in.
std::string reconfigureNotice(const std::string& ifname, const LinkInfo& link, uint32_t bitrate);

// The interface to use when none is named: can0 if it exists, otherwise the
// only controller (link kind "can") if there is exactly one; else empty.
std::string defaultCanInterface(const std::vector<LinkInfo>& links);
// "can0, vcan0" (the CAN interfaces of a link list), or "none".
std::string canInterfaceNames(const std::vector<LinkInfo>& links);

// Whether a /proc/PID/status text grants CAP_NET_ADMIN (CapEff).
bool statusGrantsNetAdmin(const std::string& procStatus);

// A change of a link, as one RTM_NEWLINK request.
struct LinkChange {
    int up = -1;               // -1: leave, 0: down, 1: up
    uint32_t bitrate = 0;      // 0: leave
    int64_t restartMs = -1;    // -1: leave
    uint32_t modesOff = 0;     // CAN_CTRLMODE_* bits to turn off
    bool restart = false;      // restart a bus-off controller now
};
std::vector<char> linkRequest(int index, const LinkChange& change, uint32_t seq);

// The kernel, through rtnetlink. Each call is one exchange; none prints.
bool queryLink(const std::string& ifname, LinkInfo& out);  // false: no such interface
std::vector<LinkInfo> listCanLinks();                     // every ARPHRD_CAN interface
int changeLink(int index, const LinkChange& change);      // 0, or the kernel's -errno
bool haveNetAdmin();

// Sets a controller up afresh: down, the rate, automatic restart after
// bus-off, normal mode, up. And restarts a bus-off controller now. Both need
// CAP_NET_ADMIN; 0 or the kernel's -errno.
int configureController(const LinkInfo& link, uint32_t bitrate);
int restartController(const LinkInfo& link);

// What the privileged helper tavelin-canlink accepts: interface names of 1 to
// 15 letters, digits, '_', '-' and '.', and the usual CAN bit rates.
bool canlinkNameOk(const std::string& ifname);
bool canlinkBitrateOk(uint32_t bitrate);

}  // namespace pcan

#endif
