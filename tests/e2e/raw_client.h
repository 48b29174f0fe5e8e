// A minimal socketcand raw-mode client for tests: a second node on the bus.
#ifndef TAVELIN_RAW_CLIENT_H
#define TAVELIN_RAW_CLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "socketcand_wire.h"

namespace testbench {

class RawClient {
public:
    ~RawClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool connect(int port, const std::string& bus = "vcan0", bool raw = true, int rcvbuf = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return false;
        if (next(2000) != "< hi >")
            return false;
        send("< open " + bus + " >");
        if (next(2000) != "< ok >")
            return false;
        if (!raw)
            return true;
        send("< rawmode >");
        return next(2000) == "< ok >";
    }
    void send(const std::string& text) { ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
    void sendFrame(const wire::Frame& f) { send(wire::formatSend(f)); }
    // The next message, or "" after limitMs.
    std::string next(int limitMs)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (bool polled = false;; polled = true) {
            auto it = split_.next();
            if (it.kind == wire::Splitter::Kind::Message)
                return it.text;
            if (it.kind == wire::Splitter::Kind::Error)
                continue;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0 && polled)
                return "";
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left > 0 ? left : 0)) <= 0)
                continue;
            char buf[4096];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return "";
            split_.feed(buf, static_cast<std::size_t>(n));
        }
    }
    std::optional<wire::Frame> nextFrame(int limitMs)
    {
        for (;;) {
            std::string m = next(limitMs);
            if (m.empty())
                return std::nullopt;
            wire::Frame f;
            std::string err;
            if (wire::parseFrame(m, f, err))
                return f;
        }
    }
    // The next frame with the hub's time stamp of it, in seconds.
    std::optional<std::pair<wire::Frame, double>> nextTimedFrame(int limitMs)
    {
        for (;;) {
            std::string m = next(limitMs);
            if (m.empty())
                return std::nullopt;
            wire::Frame f;
            std::string err;
            unsigned id;
            double t;
            if (wire::parseFrame(m, f, err) && std::sscanf(m.c_str(), "< frame %x %lf", &id, &t) == 2)
                return std::make_pair(f, t);
        }
    }
    int fd() const { return fd_; }
    // Serves a connection that a test's own listener accepted.
    void adopt(int fd) { fd_ = fd; }

private:
    int fd_ = -1;
    wire::Splitter split_;
};

inline wire::Frame frame(uint32_t id, std::initializer_list<uint8_t> data, bool ext = true)
{
    wire::Frame f;
    f.id = id;
    f.extended = ext;
    f.dlc = static_cast<uint8_t>(data.size());
    int i = 0;
    for (uint8_t b : data)
        f.data[i++] = b;
    return f;
}

}  // namespace testbench

#endif
