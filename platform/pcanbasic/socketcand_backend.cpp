// Back end: TCP client of the socketcand protocol in raw mode (canhub, or a
// socketcand daemon on the machine that has the adapter).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "backend.h"

namespace pcan {
namespace {

constexpr int kConnectTimeoutMs = 2000;
constexpr int kHandshakeTimeoutMs = 3000;

class SocketcandBackend final : public Backend {
public:
    SocketcandBackend(BusUrl url, Sink sink) : url_(std::move(url)), sink_(std::move(sink)) {}
    ~SocketcandBackend() override { close(); }

    bool open(uint32_t, std::string& err) override
    {
        close();
        int fd = connectTo(err);
        if (fd < 0)
            return false;
        wire::Splitter splitter;
        if (!handshake(fd, splitter, err)) {
            ::close(fd);
            return false;
        }
        fd_ = fd;
        lost_ = false;
        stop_ = false;
        reader_ = std::thread([this, s = std::move(splitter)]() mutable { readLoop(std::move(s)); });
        return true;
    }

    WriteResult write(const wire::Frame& f) override
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (fd_ < 0 || lost_)
            return WriteResult::Lost;
        std::string msg = wire::formatSend(f);
        std::size_t off = 0;
        while (off < msg.size()) {
            ssize_t n = ::send(fd_, msg.data() + off, msg.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                lost_ = true;
                return WriteResult::Lost;
            }
            off += static_cast<std::size_t>(n);
        }
        return WriteResult::Ok;
    }

    BusState state() override { return fd_ < 0 || lost_ ? BusState::Lost : BusState::Ok; }

    void close() override
    {
        stop_ = true;
        if (fd_ >= 0)
            ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    BusUrl url_;
    Sink sink_;
    int fd_ = -1;
    std::atomic<bool> lost_{false};
    std::atomic<bool> stop_{false};
    std::thread reader_;
    std::mutex writeMutex_;

    std::string where() const { return url_.text(); }

    int connectTo(std::string& err)
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        std::string port = std::to_string(url_.port);
        int rc = ::getaddrinfo(url_.host.c_str(), port.c_str(), &hints, &res);
        if (rc != 0) {
            err = "cannot resolve host '" + url_.host + "' of " + where() + " (" +
                  gai_strerror(rc) + "): check TAVELIN_BUS";
            return -1;
        }
        std::string why = "no address";
        int fd = -1;
        for (addrinfo* a = res; a; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0)
                continue;
            int fl = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
            int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
            if (r < 0 && errno == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                r = ::poll(&p, 1, kConnectTimeoutMs);
                if (r == 1) {
                    int soerr = 0;
                    socklen_t len = sizeof soerr;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
                    errno = soerr;
                    r = soerr == 0 ? 0 : -1;
                } else {
                    errno = ETIMEDOUT;
                    r = -1;
                }
            }
            if (r == 0) {
                ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                timeval tv{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                break;
            }
            why = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
        ::freeaddrinfo(res);
        if (fd < 0)
            err = "cannot reach the CAN bus at " + where() + " (" + why +
                  "): start canhub, or set TAVELIN_BUS to the bus to use";
        return fd;
    }

    // Waits for one message; false on time-out or a closed connection.
    static bool await(int fd, wire::Splitter& s, std::string& msg, int timeoutMs)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto item = s.next();
            if (item.kind == wire::Splitter::Kind::Message) {
                msg = item.text;
                return true;
            }
            if (item.kind == wire::Splitter::Kind::Error)
                continue;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char buf[512];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            s.feed(buf, static_cast<std::size_t>(n));
        }
    }

    bool sendText(int fd, const std::string& text)
    {
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }

    bool handshake(int fd, wire::Splitter& s, std::string& err)
    {
        std::string msg;
        auto fail = [&](const std::string& what) {
            err = "the server at " + where() + " " + what +
                  ": is it canhub or socketcand? check TAVELIN_BUS";
            return false;
        };
        if (!await(fd, s, msg, kHandshakeTimeoutMs) || wire::command(msg) != "hi")
            return fail("did not greet with < hi >");
        if (!sendText(fd, "< open " + url_.bus + " >") || !await(fd, s, msg, kHandshakeTimeoutMs))
            return fail("did not answer < open " + url_.bus + " >");
        if (wire::command(msg) != "ok") {
            err = "the server at " + where() + " refused bus '" + url_.bus + "' (" + msg +
                  "): check the bus name in TAVELIN_BUS";
            return false;
        }
        if (!sendText(fd, "< rawmode >") || !await(fd, s, msg, kHandshakeTimeoutMs) ||
            wire::command(msg) != "ok")
            return fail("did not accept < rawmode >");
        return true;
    }

    void readLoop(wire::Splitter s)
    {
        char buf[4096];
        for (;;) {
            for (;;) {
                auto item = s.next();
                if (item.kind == wire::Splitter::Kind::None)
                    break;
                if (item.kind != wire::Splitter::Kind::Message)
                    continue;
                wire::Frame f;
                std::string err;
                if (wire::command(item.text) == "frame" && wire::parseFrame(item.text, f, err))
                    sink_(f);
            }
            if (stop_)
                return;
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, 200);
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0)
                continue;
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                lost_ = true;
                return;
            }
            s.feed(buf, static_cast<std::size_t>(n));
        }
    }
};

}  // namespace

std::unique_ptr<Backend> makeSocketcandBackend(const BusUrl& url, Backend::Sink sink)
{
    return std::make_unique<SocketcandBackend>(url, std::move(sink));
}

}  // namespace pcan
