// The few socket calls the socketcand back end needs, on POSIX and on Winsock.
// The back end is written against POSIX; on Windows these map the differences:
// SOCKET handles, closesocket, WSAGetLastError codes, WSAPoll, ioctlsocket for
// non-blocking mode, and no eventfd (a waker is a UDP socket sending to
// itself on the loopback, which WSAPoll can wait on beside the TCP socket).
#ifndef TAVELIN_NET_COMPAT_H
#define TAVELIN_NET_COMPAT_H

#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace net {

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
using ssize = int;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
using ssize = ssize_t;
#endif

// Starts the socket library once per process (Winsock); true when usable.
bool startup();
// A non-blocking, non-inherited socket, or kNoSocket.
Socket openSocket(int family, int type, int protocol);
void closeSocket(Socket s);
// The error of the last failed call on this thread, and what it means.
int lastError();
bool wouldBlock(int err);
bool inProgress(int err);
bool interrupted(int err);
std::string errorText(int err);
int poll(pollfd* fds, unsigned n, int timeoutMs);
// send() that never raises SIGPIPE and never blocks.
ssize sendSome(Socket s, const char* data, std::size_t len);
ssize recvSome(Socket s, char* data, std::size_t len);
void setOption(Socket s, int level, int name, int value);

// Something a poll can wait on, set from any thread: wakes a reader.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    bool ok() const { return pollable_ != kNoSocket; }
    Socket pollable() const { return pollable_; }
    void signal() const;
    void drain() const;

private:
    Socket pollable_ = kNoSocket;
};

}  // namespace net

#endif
