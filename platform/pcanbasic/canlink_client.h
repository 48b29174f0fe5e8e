// Asking the installed helper tavelin-canlink to configure a CAN controller,
// for a process that may not do it itself (no CAP_NET_ADMIN). The helper is
// looked for only at the one path the package installs it to; a build tree
// has none, and then nothing is run.
#ifndef TAVELIN_CANLINK_CLIENT_H
#define TAVELIN_CANLINK_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

namespace pcan {

enum class CanlinkRun {
    Absent,      // no helper installed
    NotAllowed,  // installed, but this user may not run it (not in its group)
    Done,        // it ran and said it did the job
    Failed,      // it ran and refused, or the kernel refused it
    NoCapability,  // it ran but holds no CAP_NET_ADMIN (setcap failed, or a chown dropped it)
};

// The helper's exit status when it lacks its capability.
constexpr int kCanlinkNoCapability = 3;

// Runs the helper with these arguments, an empty environment and its output
// discarded (the caller says what is wrong, in one line), and waits for it.
CanlinkRun runCanlink(const std::vector<std::string>& args);

// The two requests: set a controller up at a rate, restart a bus-off one.
CanlinkRun canlinkConfigure(const std::string& ifname, uint32_t bitrate);
CanlinkRun canlinkRestart(const std::string& ifname);

// Added to a line of advice: when the helper is installed but this user may
// not run it, what is missing is membership of its group; when it ran
// without its capability, the command that gives it back. Empty otherwise.
std::string canlinkHint(CanlinkRun run = CanlinkRun::Absent);

}  // namespace pcan

#endif
