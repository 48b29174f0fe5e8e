#include "socketcan_link.h"

#include <net/if.h>  // before the kernel's headers, whose linux/if.h defers to it
#include <net/if_arp.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace pcan {

namespace {

template <typename T>
bool attrValue(const rtattr* a, T& v)
{
    if (RTA_PAYLOAD(a) < sizeof(T))
        return false;
    std::memcpy(&v, RTA_DATA(a), sizeof(T));
    return true;
}

std::string attrString(const rtattr* a)
{
    return std::string(static_cast<const char*>(RTA_DATA(a)),
                       strnlen(static_cast<const char*>(RTA_DATA(a)), RTA_PAYLOAD(a)));
}

void parseCanData(const rtattr* data, LinkInfo& out)
{
    int left = static_cast<int>(RTA_PAYLOAD(data));
    for (auto* a = static_cast<const rtattr*>(RTA_DATA(data)); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        uint32_t v = 0;
        switch (a->rta_type) {
        case IFLA_CAN_BITTIMING: {
            can_bittiming bt{};
            if (attrValue(a, bt))
                out.bitrate = bt.bitrate;
            break;
        }
        case IFLA_CAN_STATE:
            if (attrValue(a, v))
                out.state = static_cast<int>(v);
            break;
        case IFLA_CAN_RESTART_MS:
            if (attrValue(a, v))
                out.restartMs = v;
            break;
        case IFLA_CAN_CTRLMODE: {
            can_ctrlmode cm{};
            if (attrValue(a, cm))
                out.ctrlMode = cm.flags;
            break;
        }
        }
    }
}

// One RTM_NEWLINK message; false for any other.
bool parseLink(const nlmsghdr* nh, LinkInfo& out)
{
    out = LinkInfo{};
    if (nh->nlmsg_type != RTM_NEWLINK || nh->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return false;
    auto* ifi = static_cast<const ifinfomsg*>(NLMSG_DATA(nh));
    out.exists = true;
    out.index = ifi->ifi_index;
    out.canType = ifi->ifi_type == ARPHRD_CAN;
    out.up = (ifi->ifi_flags & IFF_UP) != 0;
    int alen = static_cast<int>(IFLA_PAYLOAD(nh));
    for (auto* a = IFLA_RTA(ifi); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
        if (a->rta_type == IFLA_TXQLEN) {
            attrValue(a, out.txQueueLen);
        } else if (a->rta_type == IFLA_IFNAME) {
            out.name = attrString(a);
        } else if (a->rta_type == IFLA_LINKINFO) {
            int ilen = static_cast<int>(RTA_PAYLOAD(a));
            for (auto* i = static_cast<const rtattr*>(RTA_DATA(a)); RTA_OK(i, ilen); i = RTA_NEXT(i, ilen)) {
                if (i->rta_type == IFLA_INFO_KIND)
                    out.kind = attrString(i);
                else if (i->rta_type == IFLA_INFO_DATA)
                    parseCanData(i, out);
            }
        }
    }
    return true;
}

bool stoppedWhileUp(const LinkInfo& link)
{
    return link.up && (link.state == CAN_STATE_STOPPED || link.state == CAN_STATE_SLEEPING);
}

std::string modeNames(uint32_t modes)
{
    std::string s;
    if (modes & CAN_CTRLMODE_LISTENONLY)
        s = "listen-only";
    if (modes & CAN_CTRLMODE_LOOPBACK)
        s += s.empty() ? "loopback" : " and loopback";
    return s;
}

// Appends netlink attributes to a request, nested ones closed by end().
struct Request {
    std::vector<char> b;
    std::size_t put(unsigned short type, const void* data, std::size_t len)
    {
        std::size_t at = b.size();
        b.resize(at + RTA_SPACE(len), 0);
        auto* a = reinterpret_cast<rtattr*>(b.data() + at);
        a->rta_type = type;
        a->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
        if (data)
            std::memcpy(RTA_DATA(a), data, len);
        return at;
    }
    template <typename T>
    void put(unsigned short type, const T& v) { put(type, &v, sizeof v); }
    void end(std::size_t at)
    {
        reinterpret_cast<rtattr*>(b.data() + at)->rta_len = static_cast<unsigned short>(b.size() - at);
    }
};

// One request and the kernel's answer; 0 or -errno (an acknowledgement), or
// the answer's bytes in reply when it is not an acknowledgement.
int exchange(const std::vector<char>& req, std::vector<char>* reply)
{
    int s = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0)
        return -errno;
    timeval tv{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int rc = -EIO;
    if (::send(s, req.data(), req.size(), 0) == static_cast<ssize_t>(req.size())) {
        alignas(nlmsghdr) char buf[16384];
        ssize_t n = ::recv(s, buf, sizeof buf, 0);
        auto* nh = reinterpret_cast<const nlmsghdr*>(buf);
        if (n < 0) {
            rc = -errno;
        } else if (NLMSG_OK(nh, static_cast<int>(n)) && nh->nlmsg_type == NLMSG_ERROR &&
                   nh->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
            rc = static_cast<const nlmsgerr*>(NLMSG_DATA(nh))->error;
        } else if (reply) {
            reply->assign(buf, buf + n);
            rc = 0;
        }
    }
    ::close(s);
    return rc;
}

}  // namespace

bool parseLinkReply(const void* buf, std::size_t len, LinkInfo& out)
{
    out = LinkInfo{};
    int left = static_cast<int>(len);
    for (auto* nh = static_cast<const nlmsghdr*>(buf); NLMSG_OK(nh, left); nh = NLMSG_NEXT(nh, left))
        if (parseLink(nh, out))
            return true;
    return false;
}

bool rateMatches(uint32_t have, uint32_t want)
{
    const uint64_t diff = have > want ? have - want : want - have;
    return diff * 100 <= want;
}

uint32_t unwantedModes(const LinkInfo& link)
{
    return link.ctrlMode & (CAN_CTRLMODE_LISTENONLY | CAN_CTRLMODE_LOOPBACK);
}

LinkStep linkStep(const LinkInfo& link, uint32_t bitrate)
{
    if (!link.exists)
        return LinkStep::Missing;
    if (!link.controller())
        return link.up ? LinkStep::Ready : LinkStep::NeedsUp;
    if (!link.up || !rateMatches(link.bitrate, bitrate) || unwantedModes(link) || stoppedWhileUp(link))
        return LinkStep::Configure;
    if (link.state == CAN_STATE_BUS_OFF && link.restartMs == 0)
        return LinkStep::Restart;
    return LinkStep::Ready;
}

std::string ipLinkCommand(const std::string& ifname, uint32_t bitrate, uint32_t modesOff)
{
    std::string cmd = "ip link set " + ifname + " down; ip link set " + ifname + " up type can bitrate " +
                      std::to_string(bitrate) + " restart-ms " + std::to_string(kRestartMs);
    if (modesOff & CAN_CTRLMODE_LISTENONLY)
        cmd += " listen-only off";
    if (modesOff & CAN_CTRLMODE_LOOPBACK)
        cmd += " loopback off";
    return cmd;
}

std::string linkAdvice(const std::string& ifname, const LinkInfo& link, uint32_t bitrate,
                       const std::string& present)
{
    const std::string command = "'" + ipLinkCommand(ifname, bitrate, unwantedModes(link)) + "'";
    const std::string run = ": run " + command;
    switch (linkStep(link, bitrate)) {
    case LinkStep::Ready:
        return "";
    case LinkStep::Missing:
        return "CAN interface " + ifname + " not found (CAN interfaces here: " + present +
               "): plug in the adapter (modprobe peak_usb), or set TAVELIN_BUS";
    case LinkStep::NeedsUp:
        return "CAN interface " + ifname + " is down: run 'ip link set " + ifname + " up'";
    case LinkStep::Restart:
        return "CAN controller " + ifname + " is bus-off and does not restart by itself: run 'ip link set " +
               ifname + " type can restart', or " + command + " to have it restart by itself";
    case LinkStep::Configure:
        break;
    }
    if (!link.up)
        return "CAN interface " + ifname + " is down" + run;
    if (!rateMatches(link.bitrate, bitrate))
        return "CAN interface " + ifname + " runs at " + std::to_string(link.bitrate) + " bit/s, not " +
               std::to_string(bitrate) + run;
    if (unwantedModes(link))
        return "CAN interface " + ifname + " is in " + modeNames(unwantedModes(link)) + " mode" + run;
    return "CAN controller " + ifname + " is up but " +
           (link.state == CAN_STATE_SLEEPING ? "asleep" : "stopped") + run;
}

std::string reconfigureNotice(const std::string& ifname, const LinkInfo& link, uint32_t bitrate)
{
    if (!link.up || !link.controller())
        return "";
    std::string s;
    if (!rateMatches(link.bitrate, bitrate))
        s = "ran at " + std::to_string(link.bitrate) + " bit/s: set it to " + std::to_string(bitrate);
    if (unwantedModes(link))
        s += (s.empty() ? "was in " : "; was in ") + modeNames(unwantedModes(link)) + " mode: turned it off";
    if (s.empty() && stoppedWhileUp(link))
        s = std::string("was up but ") + (link.state == CAN_STATE_SLEEPING ? "asleep" : "stopped") +
            ": started it again";
    return s.empty() ? s : "CAN interface " + ifname + " " + s;
}

std::string defaultCanInterface(const std::vector<LinkInfo>& links)
{
    const LinkInfo* only = nullptr;
    int controllers = 0;
    for (const LinkInfo& l : links) {
        if (l.name == "can0")
            return l.name;
        if (l.controller()) {
            only = &l;
            ++controllers;
        }
    }
    return controllers == 1 ? only->name : std::string();
}

std::string canInterfaceNames(const std::vector<LinkInfo>& links)
{
    std::string s;
    for (const LinkInfo& l : links)
        if (l.canType)
            s += (s.empty() ? "" : ", ") + l.name;
    return s.empty() ? "none" : s;
}

bool statusGrantsNetAdmin(const std::string& procStatus)
{
    std::istringstream in(procStatus);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("CapEff:", 0) != 0)
            continue;
        const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (caps >> 12) & 1;  // CAP_NET_ADMIN
    }
    return false;
}

std::vector<char> linkRequest(int index, const LinkChange& change, uint32_t seq)
{
    Request r;
    r.b.resize(NLMSG_LENGTH(sizeof(ifinfomsg)), 0);
    auto* ifi = reinterpret_cast<ifinfomsg*>(NLMSG_DATA(reinterpret_cast<nlmsghdr*>(r.b.data())));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = index;
    if (change.up >= 0) {
        ifi->ifi_change = IFF_UP;
        ifi->ifi_flags = change.up ? IFF_UP : 0;
    }
    if (change.bitrate || change.restartMs >= 0 || change.modesOff || change.restart) {
        std::size_t info = r.put(IFLA_LINKINFO, nullptr, 0);
        r.put(IFLA_INFO_KIND, "can", 4);
        std::size_t data = r.put(IFLA_INFO_DATA, nullptr, 0);
        if (change.bitrate) {
            can_bittiming bt{};
            bt.bitrate = change.bitrate;  // the kernel computes the timing
            r.put(IFLA_CAN_BITTIMING, bt);
        }
        if (change.restartMs >= 0)
            r.put(IFLA_CAN_RESTART_MS, static_cast<uint32_t>(change.restartMs));
        if (change.modesOff) {
            can_ctrlmode cm{};
            cm.mask = change.modesOff;
            cm.flags = 0;
            r.put(IFLA_CAN_CTRLMODE, cm);
        }
        if (change.restart)
            r.put(IFLA_CAN_RESTART, uint32_t{1});
        r.end(data);
        r.end(info);
    }
    auto* nh = reinterpret_cast<nlmsghdr*>(r.b.data());
    nh->nlmsg_len = static_cast<uint32_t>(r.b.size());
    nh->nlmsg_type = RTM_NEWLINK;
    nh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    nh->nlmsg_seq = seq;
    return r.b;
}

bool queryLink(const std::string& ifname, LinkInfo& out)
{
    out = LinkInfo{};
    unsigned idx = ::if_nametoindex(ifname.c_str());
    if (idx == 0)
        return false;
    std::vector<char> req(NLMSG_LENGTH(sizeof(ifinfomsg)), 0);
    auto* nh = reinterpret_cast<nlmsghdr*>(req.data());
    nh->nlmsg_len = static_cast<uint32_t>(req.size());
    nh->nlmsg_type = RTM_GETLINK;
    nh->nlmsg_flags = NLM_F_REQUEST;
    nh->nlmsg_seq = 1;
    auto* ifi = static_cast<ifinfomsg*>(NLMSG_DATA(nh));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = static_cast<int>(idx);
    std::vector<char> reply;
    return exchange(req, &reply) == 0 && parseLinkReply(reply.data(), reply.size(), out);
}

std::vector<LinkInfo> listCanLinks()
{
    std::vector<LinkInfo> links;
    int s = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0)
        return links;
    timeval tv{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    struct {
        nlmsghdr nh;
        ifinfomsg ifi;
    } req{};
    req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    req.nh.nlmsg_type = RTM_GETLINK;
    req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.nh.nlmsg_seq = 1;
    req.ifi.ifi_family = AF_UNSPEC;
    if (::send(s, &req, req.nh.nlmsg_len, 0) == static_cast<ssize_t>(req.nh.nlmsg_len)) {
        alignas(nlmsghdr) static thread_local char buf[32768];
        for (bool done = false; !done;) {
            ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            int left = static_cast<int>(n);
            for (auto* nh = reinterpret_cast<const nlmsghdr*>(buf); NLMSG_OK(nh, left); nh = NLMSG_NEXT(nh, left)) {
                if (nh->nlmsg_type == NLMSG_DONE || nh->nlmsg_type == NLMSG_ERROR) {
                    done = true;
                    break;
                }
                LinkInfo l;
                if (parseLink(nh, l) && l.canType)
                    links.push_back(l);
            }
        }
    }
    ::close(s);
    return links;
}

int changeLink(int index, const LinkChange& change)
{
    return exchange(linkRequest(index, change, 1), nullptr);
}

bool haveNetAdmin()
{
    // This thread's capabilities: another thread may hold other ones.
    std::ifstream in("/proc/thread-self/status");
    if (!in)
        in.open("/proc/self/status");
    std::stringstream text;
    text << in.rdbuf();
    return statusGrantsNetAdmin(text.str());
}

int configureController(const LinkInfo& link, uint32_t bitrate)
{
    LinkChange down;
    down.up = 0;
    if (link.up)
        if (int rc = changeLink(link.index, down))
            return rc;
    LinkChange set;
    set.bitrate = bitrate;
    set.modesOff = unwantedModes(link);
    if (int rc = changeLink(link.index, set))
        return rc;
    LinkChange restart;
    restart.restartMs = kRestartMs;
    changeLink(link.index, restart);  // optional: a driver may lack it
    LinkChange up;
    up.up = 1;
    return changeLink(link.index, up);
}

int restartController(const LinkInfo& link)
{
    LinkChange restart;
    restart.restart = true;
    return changeLink(link.index, restart);
}

bool canlinkNameOk(const std::string& ifname)
{
    if (ifname.empty() || ifname.size() >= IFNAMSIZ || ifname == "." || ifname == "..")
        return false;
    for (char ch : ifname) {
        bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                  ch == '_' || ch == '-' || ch == '.';
        if (!ok)
            return false;
    }
    return true;
}

bool canlinkBitrateOk(uint32_t bitrate)
{
    for (uint32_t r : {10000u, 20000u, 50000u, 100000u, 125000u, 250000u, 500000u, 800000u, 1000000u})
        if (bitrate == r)
            return true;
    return false;
}

}  // namespace pcan
