// tavelin-canlink: configures a CAN controller on behalf of a user who may
// not configure network interfaces himself. The package installs it with one
// file capability, CAP_NET_ADMIN, executable only by root and the group
// tavelin (mode 0750). It does two things, and only to CAN controllers (link
// kind "can"; never to Ethernet, Wi-Fi or virtual interfaces):
//
//   tavelin-canlink IFACE BITRATE    stop, set BITRATE, restart-ms 100 and
//                                    normal mode, start (nothing when already
//                                    up at BITRATE in normal mode)
//   tavelin-canlink --restart IFACE  restart a controller that is bus-off
//
// Every argument is checked before anything is done. An administrator may
// name the controllers it may touch, one per line, in a root-owned file
// (TAVELIN_CANLINK_ALLOW, /etc/tavelin/canlink-interfaces in the package):
// then any other is refused, so that, say, a controller root keeps in
// listen-only mode as a recorder is never turned into an acknowledging node.
// It reads no environment variable and no file but that list and its own
// capability set in /proc, loads no plug-in and starts no program; it talks to the kernel through the library's own
// rtnetlink code (socketcan_link), so that both decide and act alike.
// Exit status: 0 done, 1 the kernel refused, 2 refused by this program,
// 3 this program lacks CAP_NET_ADMIN (the caller names the cause).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "canlink_client.h"
#include "socketcan_link.h"

namespace {

// The package gives this program CAP_NET_ADMIN; without it nothing can work.
bool capable()
{
    if (pcan::haveNetAdmin())
        return true;
    std::fprintf(stderr, "tavelin-canlink: lacks CAP_NET_ADMIN (setcap cap_net_admin+ep on this program)\n");
    return false;
}

int refuse(const std::string& why)
{
    std::fprintf(stderr, "tavelin-canlink: %s\n", why.c_str());
    return 2;
}

int kernelRefused(const std::string& ifn, const char* what, int rc)
{
    std::fprintf(stderr, "tavelin-canlink: %s: %s refused (%s)\n", ifn.c_str(), what, std::strerror(-rc));
    return 1;
}

// No list: every CAN controller. A list that is not a regular file owned
// by root and writable by root alone is not trusted, and nothing is allowed.
bool listed(const std::string& ifn, std::string& err)
{
    const char* const list = TAVELIN_CANLINK_ALLOW;
    struct stat st;
    if (::lstat(list, &st) != 0) {
        if (errno == ENOENT)
            return true;
        err = std::string(list) + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022)) {
        err = std::string(list) + " is not a file of root's that only root may change";
        return false;
    }
    std::FILE* f = std::fopen(list, "re");
    if (!f) {
        err = std::string(list) + ": " + std::strerror(errno);
        return false;
    }
    char line[256];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) {
        std::string name(line);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t\r\n") + 1);
        found = name == ifn;
    }
    std::fclose(f);
    if (!found)
        err = ifn + " is not listed in " + list;
    return found;
}

// The controller named, or an error: it must be a CAN controller.
bool controller(const std::string& ifn, pcan::LinkInfo& link, std::string& err)
{
    if (!pcan::canlinkNameOk(ifn)) {
        err = "not an interface name";
        return false;
    }
    if (!listed(ifn, err))
        return false;
    if (!pcan::queryLink(ifn, link)) {
        err = ifn + ": no such interface";
        return false;
    }
    if (!link.controller()) {
        err = ifn + " is not a CAN controller (kind '" + link.kind + "')";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string usage = "usage: tavelin-canlink IFACE BITRATE | --restart IFACE | --version";
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tavelin-canlink %s\n", TAVELIN_VERSION);
        return 0;
    }
    if (argc != 3)
        return refuse(usage);
    pcan::LinkInfo link;
    std::string err;
    if (std::strcmp(argv[1], "--restart") == 0) {
        if (!controller(argv[2], link, err))
            return refuse(err);
        if (!capable())
            return pcan::kCanlinkNoCapability;
        if (int rc = pcan::restartController(link))
            return kernelRefused(argv[2], "restart", rc);
        return 0;
    }
    if (argv[1][0] == '-')
        return refuse(usage);
    const std::string ifn = argv[1];
    char* end = nullptr;
    errno = 0;
    unsigned long rate = std::strtoul(argv[2], &end, 10);
    if (argv[2][0] < '0' || argv[2][0] > '9' || *end || errno || rate > 1000000 ||
        !pcan::canlinkBitrateOk(static_cast<uint32_t>(rate)))
        return refuse(std::string("not a bit rate this program sets: ") + argv[2]);
    if (!controller(ifn, link, err))
        return refuse(err);
    const auto bitrate = static_cast<uint32_t>(rate);
    if (pcan::linkStep(link, bitrate) == pcan::LinkStep::Ready)
        return 0;
    if (!capable())
        return pcan::kCanlinkNoCapability;
    if (int rc = pcan::configureController(link, bitrate))
        return kernelRefused(ifn, "configuration", rc);
    pcan::LinkInfo now;
    if (!pcan::queryLink(ifn, now) || pcan::linkStep(now, bitrate) == pcan::LinkStep::Configure) {
        std::fprintf(stderr, "tavelin-canlink: %s did not come up at %lu bit/s\n", ifn.c_str(), rate);
        return 1;
    }
    return 0;
}
