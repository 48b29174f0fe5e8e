#include "hub.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "frame_timing.h"

namespace canhub {

constexpr std::size_t kMaxPendingPerBus = 100000;

Hub::Hub(Options o) : opt_(std::move(o)) {}

Hub::~Hub()
{
    for (auto& [fd, c] : clients_)
        ::close(fd);
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

bool Hub::start(std::string& err)
{
    if (!opt_.pcapPath.empty() && !pcap_.open(opt_.pcapPath, err))
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(opt_.port);
    if (::inet_pton(AF_INET, opt_.listenAddr.c_str(), &a.sin_addr) != 1) {
        err = "bad listen address '" + opt_.listenAddr + "' (an IPv4 address is expected)";
        return false;
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
        ::listen(listenFd_, 64) < 0) {
        err = "cannot listen on " + opt_.listenAddr + ":" + std::to_string(opt_.port) + ": " +
              std::strerror(errno) + " (is another canhub running? use --listen ADDR:PORT)";
        return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    boundPort_ = ntohs(a.sin_port);
    return true;
}

void Hub::accept()
{
    for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&a), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->number = nextNumber_++;
        char ip[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
        c->peer = std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
        enqueue(*c, "< hi >", false);
        flushOut(*c);
        clients_[fd] = std::move(c);
    }
}

void Hub::enqueue(Client& c, std::string text, bool traffic)
{
    if (c.dead)
        return;
    if (c.out.empty())
        c.lastProgress = Clock::now();
    if (text.rfind("< error ", 0) == 0) {
        // An error quotes the peer's input: keep brackets out of its text.
        for (std::size_t i = 8; i + 2 < text.size(); ++i)
            if (text[i] == '<' || text[i] == '>')
                text[i] = '?';
    }
    c.outBytes += text.size();
    c.out.push_back({std::move(text), traffic});
    if (c.outBytes > opt_.maxQueuedBytes)
        drop(c, "stopped reading (" + std::to_string(c.outBytes) + " bytes queued)");
}

void Hub::flushOut(Client& c)
{
    while (!c.dead && !c.out.empty()) {
        Out& o = c.out.front();
        if (o.traffic && Clock::now() < c.holdUntil)
            return;
        ssize_t n = ::send(c.fd, o.text.data() + c.outOffset, o.text.size() - c.outOffset,
                           MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0) {
            c.dead = true;
            return;
        }
        c.outOffset += static_cast<std::size_t>(n);
        c.lastProgress = Clock::now();
        if (c.outOffset == o.text.size()) {
            c.outBytes -= o.text.size();
            c.out.pop_front();
            c.outOffset = 0;
        }
    }
}

void Hub::drop(Client& c, const std::string& why)
{
    if (c.dead)
        return;
    std::cerr << "canhub: client " << c.number << " (" << c.peer << ") " << why
              << "; disconnected" << std::endl;
    c.dead = true;
    c.out.clear();
    c.outBytes = 0;
}

void Hub::readFrom(Client& c)
{
    // A bounded bite per wake-up: a fast sender cannot flood the queues of
    // the others between two checks of their back-pressure.
    char buf[8192];
    for (std::size_t total = 0; total < 64 * 1024;) {
        ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            c.dead = true;  // the peer went away, possibly mid-message: nothing to deliver
            return;
        }
        c.in.feed(buf, static_cast<std::size_t>(n));
        total += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < sizeof buf)
            break;
    }
    processInput(c);
}

void Hub::processInput(Client& c)
{
    c.inputPending = true;
    while (!throttled()) {
        auto item = c.in.next();
        if (item.kind == wire::Splitter::Kind::None) {
            c.inputPending = false;
            break;
        }
        if (item.kind == wire::Splitter::Kind::Error)
            enqueue(c, "< error " + item.text + " >", false);
        else
            handle(c, item.text);
        if (c.dead)
            return;
    }
}

void Hub::handle(Client& c, const std::string& msg)
{
    std::string cmd = wire::command(msg);
    if (cmd == "open" && c.state == Client::State::Greeted) {
        // "< open BUS >"
        std::string rest = msg.substr(1, msg.size() - 2);
        std::vector<std::string> t;
        std::size_t i = 0;
        while (i < rest.size()) {
            while (i < rest.size() && rest[i] == ' ')
                ++i;
            std::size_t j = rest.find(' ', i);
            if (j == std::string::npos)
                j = rest.size();
            if (j > i)
                t.push_back(rest.substr(i, j - i));
            i = j;
        }
        if (t.size() != 2 || t[1].size() > 32) {
            enqueue(c, "< error malformed open >", false);
            return;
        }
        c.bus = t[1];
        c.state = Client::State::Opened;
        enqueue(c, "< ok >", false);
        return;
    }
    if (cmd == "rawmode" && c.state != Client::State::Greeted) {
        c.state = Client::State::Raw;
        c.holdUntil = Clock::now() + opt_.rawHold;
        enqueue(c, "< ok >", false);
        return;
    }
    if (cmd == "send") {
        if (c.state != Client::State::Raw) {
            enqueue(c, "< error not in raw mode >", false);
            return;
        }
        wire::Frame f;
        std::string err;
        if (!wire::parseSend(msg, f, err)) {
            enqueue(c, "< error " + err + " >", false);
            return;
        }
        busSend(c, f);
        return;
    }
    if (cmd == "echo") {
        enqueue(c, "< echo >", false);
        return;
    }
    enqueue(c, "< error unknown command '" + cmd.substr(0, 32) + "' >", false);
}

void Hub::busSend(Client& c, const wire::Frame& f)
{
    Bus& bus = buses_[c.bus];
    Pending p{f, c.fd, Clock::now()};
    if (opt_.bitrateKbit == 0) {
        deliver(c.bus, p);
        return;
    }
    if (bus.pending.size() >= kMaxPendingPerBus) {
        enqueue(c, "< error bus overloaded, frame dropped >", false);
        return;
    }
    auto start = std::max(p.at, bus.freeAt);
    auto bitsNs = static_cast<int64_t>(frameBits(f)) * 1000000 / opt_.bitrateKbit;
    p.at = start + std::chrono::nanoseconds(bitsNs);
    bus.freeAt = p.at;
    bus.pending.push_back(p);
}

void Hub::deliver(const std::string& busName, const Pending& p)
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    int64_t sec = us / 1000000;
    uint32_t usec = static_cast<uint32_t>(us % 1000000);
    std::string text = wire::formatFrame(p.frame, sec, usec);
    for (auto& [fd, c] : clients_) {
        if (fd == p.sender || c->dead || c->state != Client::State::Raw || c->bus != busName)
            continue;
        enqueue(*c, text, true);
    }
    pcap_.write(p.frame, sec, usec);
}

void Hub::deliverDue()
{
    auto now = Clock::now();
    for (auto& [name, bus] : buses_)
        while (!bus.pending.empty() && bus.pending.front().at <= now) {
            deliver(name, bus.pending.front());
            bus.pending.pop_front();
        }
}

// A receiver far behind that is still reading pauses reading from every
// client, so that a fast sender is slowed to what the slowest live reader
// takes instead of that reader being dropped. A receiver that has taken
// nothing for half a second pauses nobody: its queue grows to the limit, or
// it stalls past stallLimit, and it is dropped.
bool Hub::throttled() const
{
    auto now = Clock::now();
    for (auto& [fd, c] : clients_)
        if (!c->dead && c->outBytes > opt_.highWater && now - c->lastProgress < std::chrono::milliseconds(500))
            return true;
    return false;
}

void Hub::dropStalled()
{
    auto now = Clock::now();
    for (auto& [fd, c] : clients_)
        if (!c->dead && !c->out.empty() && c->holdUntil <= now && now - c->lastProgress > opt_.stallLimit)
            drop(*c, "stopped reading (" + std::to_string(c->outBytes) + " bytes queued)");
}

int64_t Hub::pollTimeoutUs(bool paused) const
{
    auto now = Clock::now();
    auto next = now + std::chrono::seconds(1);
    for (auto& [name, bus] : buses_)
        if (!bus.pending.empty())
            next = std::min(next, bus.pending.front().at);
    for (auto& [fd, c] : clients_) {
        if (!c->out.empty() && c->holdUntil > now)
            next = std::min(next, c->holdUntil);
        if (c->inputPending && !paused)
            next = now;  // input left over from a paused moment
    }
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
    return us <= 0 ? 0 : us;
}

void Hub::run(int stopFd)
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        auto now = Clock::now();
        const bool paused = throttled();
        for (auto& [fd, c] : clients_) {
            short ev = paused ? 0 : POLLIN;
            if (!c->out.empty() && (!c->out.front().traffic || c->holdUntil <= now))
                ev |= POLLOUT;
            fds.push_back({fd, ev, 0});
        }
        const int64_t waitUs = paused ? std::min<int64_t>(pollTimeoutUs(true), 100000) : pollTimeoutUs(false);
        const timespec wait{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
        int r = ::ppoll(fds.data(), fds.size(), &wait, nullptr);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN)
            accept();
        if (!paused)
            for (auto& [fd, c] : clients_)
                if (c->inputPending && !c->dead)
                    processInput(*c);
        for (std::size_t i = 2; i < fds.size(); ++i) {
            auto it = clients_.find(fds[i].fd);
            if (it == clients_.end())
                continue;
            Client& c = *it->second;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(c);
        }
        deliverDue();
        for (auto& [fd, c] : clients_)
            flushOut(*c);
        dropStalled();
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (it->second->dead) {
                ::close(it->first);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
        if (Clock::now() - lastFlush_ > std::chrono::seconds(1)) {
            pcap_.flush();
            lastFlush_ = Clock::now();
        }
    }
    pcap_.flush();
    pcap_.close();
}

}  // namespace canhub
