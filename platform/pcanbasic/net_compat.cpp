#include "net_compat.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <mutex>
#else
#include <sys/eventfd.h>
#endif

namespace net {

#ifdef _WIN32

bool startup()
{
    static const bool ok = [] {
        WSADATA d;
        return ::WSAStartup(MAKEWORD(2, 2), &d) == 0;
    }();
    return ok;
}

Socket openSocket(int family, int type, int protocol)
{
    if (!startup())
        return kNoSocket;
    Socket s = ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == kNoSocket)
        return kNoSocket;
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return kNoSocket;
    }
    return s;
}

void closeSocket(Socket s) { ::closesocket(s); }
int lastError() { return ::WSAGetLastError(); }
bool wouldBlock(int err) { return err == WSAEWOULDBLOCK; }
bool inProgress(int err) { return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS; }
bool interrupted(int err) { return err == WSAEINTR; }

std::string errorText(int err)
{
    char buf[256] = {0};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(err), 0, buf, sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == '.'))
        buf[--n] = 0;
    return n > 0 ? std::string(buf) : "Winsock error " + std::to_string(err);
}

int poll(pollfd* fds, unsigned n, int timeoutMs) { return ::WSAPoll(fds, n, timeoutMs); }

ssize sendSome(Socket s, const char* data, std::size_t len)
{
    return ::send(s, data, static_cast<int>(len), 0);
}

ssize recvSome(Socket s, char* data, std::size_t len) { return ::recv(s, data, static_cast<int>(len), 0); }

void setOption(Socket s, int level, int name, int value)
{
    ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

Waker::Waker()
{
    Socket s = openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == kNoSocket)
        return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::closesocket(s);
        return;
    }
    pollable_ = s;
}

Waker::~Waker()
{
    if (pollable_ != kNoSocket)
        ::closesocket(pollable_);
}

void Waker::signal() const
{
    const char one = 1;
    ::send(pollable_, &one, 1, 0);
}

void Waker::drain() const
{
    char buf[64];
    while (::recv(pollable_, buf, sizeof buf, 0) > 0) {
    }
}

#else

bool startup() { return true; }

Socket openSocket(int family, int type, int protocol)
{
    return ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
}

void closeSocket(Socket s) { ::close(s); }
int lastError() { return errno; }
bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }
bool inProgress(int err) { return err == EINPROGRESS; }
bool interrupted(int err) { return err == EINTR; }
std::string errorText(int err) { return std::strerror(err); }
int poll(pollfd* fds, unsigned n, int timeoutMs) { return ::poll(fds, n, timeoutMs); }

ssize sendSome(Socket s, const char* data, std::size_t len)
{
    return ::send(s, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize recvSome(Socket s, char* data, std::size_t len) { return ::recv(s, data, len, 0); }

void setOption(Socket s, int level, int name, int value) { ::setsockopt(s, level, name, &value, sizeof value); }

Waker::Waker() : pollable_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Waker::~Waker()
{
    if (pollable_ >= 0)
        ::close(pollable_);
}

void Waker::signal() const
{
    uint64_t one = 1;
    (void)!::write(pollable_, &one, sizeof one);
}

void Waker::drain() const
{
    uint64_t v;
    (void)!::read(pollable_, &v, sizeof v);
}

#endif

}  // namespace net
