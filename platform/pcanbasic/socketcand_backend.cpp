// Back end: TCP client of the socketcand protocol in raw mode (canhub, or a
// socketcand daemon on the machine that has the adapter).
//
// Connecting never runs in the caller's call. The window's status poll
// re-initialises a channel whose link is lost every 330 ms on the GUI thread,
// and reaching a daemon that does not answer takes seconds (connect up to
// kConnectTimeoutMs, each handshake step up to kHandshakeTimeoutMs). So each
// attempt runs on a thread of its own, which then reads the link until it is
// lost:
// - open() (the first CAN_Initialize) waits at most kOpenGraceMs for its
//   attempt. A bus that is plainly wrong (connection refused, unknown host, a
//   server that is not socketcand) is known by then and fails with its one
//   line of advice; an attempt still under way leaves the link connecting,
//   which reads as lost (bus off) until it is up.
// - reopen() (CAN_Initialize on an open channel) starts a new attempt after a
//   failed or lost one and returns at once, with the previous attempt's
//   problem to report.
// Frames to send go into the channel's own deep transmit queue (tx_queue), as
// on SocketCAN: CAN_Write never waits for the socket. A writer thread hands
// them to the socket in order as the peer reads them. A slow link is not a
// lost one: while the peer reads nothing the frames wait in that queue (and
// those that wait longer than the queue's stale limit are dropped, reported
// by the channel). The link is lost when the peer closes it, on a socket
// error, or when TCP gives up on data or keep-alive probes left unanswered
// for about kDeadPeerMs.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "backend.h"
#include "net_compat.h"
#include "tx_queue.h"

namespace pcan {
namespace {

constexpr int kOpenGraceMs = 200;
constexpr int kConnectTimeoutMs = 2000;
constexpr int kHandshakeTimeoutMs = 3000;
// How long the writer waits for room in the socket before it lets the queue
// apply its stale rule and tries again; close() wakes it at once.
constexpr int kHandOverWaitMs = 100;
constexpr int kDeadPeerMs = 20000;

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// One connection attempt and, once it is up, the link it made. Shared by the
// back end and the attempt's thread, so that closing never waits for that
// thread (it may be inside getaddrinfo).
struct Link {
    enum class Phase { Connecting, Up, Failed, Lost, Closed };

    Link(BusUrl u, Backend::Sink s) : url(std::move(u)), sink(std::move(s)) {}
    ~Link()
    {
        if (fd != net::kNoSocket)
            net::closeSocket(fd);
    }

    const BusUrl url;
    const Backend::Sink sink;
    const net::Waker wake;  // close() or a pending tail

    std::atomic<Phase> phase{Phase::Connecting};
    std::mutex m;  // the end of the attempt (with error), and the sink against close()
    std::condition_variable settled;
    std::string error;  // why the attempt failed

    std::mutex io;  // fd and pending: writers, and the thread's flush and close
    net::Socket fd = net::kNoSocket;
    std::string pending;  // the tail of a frame that the socket took only in part
    std::atomic<bool> hasPending{false};

    void signal() const { wake.signal(); }
    void markLost()
    {
        Phase up = Phase::Up;
        if (phase.compare_exchange_strong(up, Phase::Lost))
            signal();
    }
    std::string where() const { return url.text(); }
};

// Waits for fd to become ready for events, or for the link to be closed.
// 1 ready, 0 time-out, -1 closed.
int waitFor(const Link& l, net::Socket fd, short events, int timeoutMs)
{
    pollfd p[2] = {{fd, events, 0}, {l.wake.pollable(), POLLIN, 0}};
    for (;;) {
        int r = net::poll(p, 2, timeoutMs);
        if (r < 0 && net::interrupted(net::lastError()))
            continue;
        if (p[1].revents)
            return -1;
        return r > 0 ? 1 : 0;
    }
}

void tuneSocket(net::Socket fd)
{
    net::setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    // A vanished peer (machine off, cable out) never closes the connection:
    // let TCP give up on it when data or keep-alive probes stay unanswered.
#ifdef TCP_USER_TIMEOUT
    net::setOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, kDeadPeerMs);
#endif
    net::setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    net::setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 5);
    net::setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 5);
    net::setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kDeadPeerMs / 5000);
#endif
}

// A non-blocking connected socket, or kNoSocket with err.
net::Socket connectTo(const Link& l, std::string& err)
{
    net::startup();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    std::string port = std::to_string(l.url.port);
    int rc = ::getaddrinfo(l.url.host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) {
        err = "cannot resolve host '" + l.url.host + "' of " + l.where() + " (" + gai_strerror(rc) +
              "): check TAVELIN_BUS";
        return -1;
    }
    std::string why = "no address";
    net::Socket fd = net::kNoSocket;
    for (addrinfo* a = res; a; a = a->ai_next) {
        fd = net::openSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd == net::kNoSocket)
            continue;
        int r = ::connect(fd, a->ai_addr, static_cast<int>(a->ai_addrlen));
        if (r != 0 && net::inProgress(net::lastError())) {
            // (Windows before 10 2004 never reports a refused connection to
            // WSAPoll: such an attempt ends by the time limit instead.)
            int w = waitFor(l, fd, POLLOUT, kConnectTimeoutMs);
            if (w == 1) {
                int soerr = 0;
                socklen_t len = sizeof soerr;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soerr), &len);
                why = net::errorText(soerr);
                r = soerr == 0 ? 0 : -1;
            } else {
                why = w == 0 ? "no answer within " + std::to_string(kConnectTimeoutMs) + " ms" : "cancelled";
                r = -1;
            }
        } else if (r != 0) {
            why = net::errorText(net::lastError());
        }
        if (r == 0) {
            tuneSocket(fd);
            break;
        }
        net::closeSocket(fd);
        fd = net::kNoSocket;
        if (l.phase == Link::Phase::Closed)
            break;
    }
    ::freeaddrinfo(res);
    if (fd == net::kNoSocket)
        err = "cannot reach the CAN bus at " + l.where() + " (" + why +
              "): start canhub, or set TAVELIN_BUS to the bus to use";
    return fd;
}

// Waits for one message; false on time-out, a closed connection or close().
bool await(const Link& l, net::Socket fd, wire::Splitter& s, std::string& msg)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs);
    for (;;) {
        auto item = s.next();
        if (item.kind == wire::Splitter::Kind::Message) {
            msg = item.text;
            return true;
        }
        if (item.kind == wire::Splitter::Kind::Error)
            continue;
        int left = msLeft(deadline);
        if (left <= 0 || waitFor(l, fd, POLLIN, left) != 1)
            return false;
        char buf[512];
        net::ssize n = net::recvSome(fd, buf, sizeof buf);
        if (n < 0 && (net::wouldBlock(net::lastError()) || net::interrupted(net::lastError())))
            continue;
        if (n <= 0)
            return false;
        s.feed(buf, static_cast<std::size_t>(n));
    }
}

// Sends as much of text as the socket takes before the deadline: the number of
// bytes sent, or -1 when the connection failed.
net::ssize sendUntil(const Link& l, net::Socket fd, const std::string& text, Clock::time_point deadline)
{
    std::size_t off = 0;
    while (off < text.size()) {
        net::ssize n = net::sendSome(fd, text.data() + off, text.size() - off);
        if (n > 0) {
            off += static_cast<std::size_t>(n);
            continue;
        }
        const int e = n < 0 ? net::lastError() : 0;
        if (n < 0 && net::interrupted(e))
            continue;
        if (n < 0 && net::wouldBlock(e)) {
            int left = msLeft(deadline);
            if (left <= 0 || waitFor(l, fd, POLLOUT, left) != 1)
                break;
            continue;
        }
        return -1;
    }
    return static_cast<net::ssize>(off);
}

bool handshake(const Link& l, net::Socket fd, wire::Splitter& s, std::string& err)
{
    std::string msg;
    auto fail = [&](const std::string& what) {
        err = "the server at " + l.where() + " " + what +
              ": is it canhub or socketcand? check TAVELIN_BUS";
        return false;
    };
    auto say = [&](const std::string& text) {
        return sendUntil(l, fd, text, Clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs)) ==
               static_cast<net::ssize>(text.size());
    };
    if (!await(l, fd, s, msg) || wire::command(msg) != "hi")
        return fail("did not greet with < hi >");
    if (!say("< open " + l.url.bus + " >") || !await(l, fd, s, msg))
        return fail("did not answer < open " + l.url.bus + " >");
    if (wire::command(msg) != "ok") {
        err = "the server at " + l.where() + " refused bus '" + l.url.bus + "' (" + msg +
              "): check the bus name in TAVELIN_BUS";
        return false;
    }
    if (!say("< rawmode >") || !await(l, fd, s, msg) || wire::command(msg) != "ok")
        return fail("did not accept < rawmode >");
    return true;
}

// Hands the frames the splitter holds to the sink; false once closed.
bool deliver(Link& l, wire::Splitter& s)
{
    std::lock_guard<std::mutex> lock(l.m);
    if (l.phase == Link::Phase::Closed)
        return false;
    for (;;) {
        auto item = s.next();
        if (item.kind == wire::Splitter::Kind::None)
            return true;
        if (item.kind != wire::Splitter::Kind::Message)
            continue;
        wire::Frame f;
        std::string err;
        if (wire::command(item.text) == "frame" && wire::parseFrame(item.text, f, err))
            l.sink(f);
    }
}

void readLoop(Link& l, wire::Splitter& s)
{
    char buf[4096];
    for (;;) {
        if (!deliver(l, s))
            return;
        pollfd p[2] = {{l.fd, static_cast<short>(POLLIN | (l.hasPending ? POLLOUT : 0)), 0},
                       {l.wake.pollable(), POLLIN, 0}};
        int r = net::poll(p, 2, -1);
        if (r < 0 && net::interrupted(net::lastError()))
            continue;
        // A link no longer up keeps its waker set, so that the writer waiting
        // on it too returns at once.
        if (l.phase != Link::Phase::Up)
            return;
        if (p[1].revents)
            l.wake.drain();
        if ((p[0].revents & POLLOUT) && l.hasPending) {
            // The rest of a frame a writer could not finish: send it when the
            // socket has room, even if no further frame is written.
            std::unique_lock<std::mutex> io(l.io, std::try_to_lock);
            if (io.owns_lock()) {
                net::ssize n = sendUntil(l, l.fd, l.pending, Clock::now());
                if (n < 0)
                    return;
                l.pending.erase(0, static_cast<std::size_t>(n));
                l.hasPending = !l.pending.empty();
            }
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        net::ssize n = net::recvSome(l.fd, buf, sizeof buf);
        if (n < 0 && (net::interrupted(net::lastError()) || net::wouldBlock(net::lastError())))
            continue;
        if (n <= 0)
            return;
        s.feed(buf, static_cast<std::size_t>(n));
    }
}

// The thread of one attempt: connect, greet, then read until the link is lost.
void run(std::shared_ptr<Link> l)
{
    std::string err;
    wire::Splitter s;
    net::Socket fd = connectTo(*l, err);
    if (fd != net::kNoSocket && !handshake(*l, fd, s, err)) {
        net::closeSocket(fd);
        fd = net::kNoSocket;
    }
    if (fd != net::kNoSocket) {
        std::lock_guard<std::mutex> io(l->io);
        l->fd = fd;
    }
    {
        std::lock_guard<std::mutex> lock(l->m);
        if (l->phase == Link::Phase::Connecting) {
            l->error = err;
            l->phase = fd != net::kNoSocket ? Link::Phase::Up : Link::Phase::Failed;
        }
    }
    l->settled.notify_all();
    if (l->phase == Link::Phase::Up)
        readLoop(*l, s);
    l->markLost();
    std::lock_guard<std::mutex> io(l->io);
    if (l->fd != net::kNoSocket)
        net::closeSocket(l->fd);
    l->fd = net::kNoSocket;
    l->pending.clear();
    l->hasPending = false;
}

// Sends one frame, finishing first the tail of an earlier one, as far as the
// socket takes it before the deadline; called with l.io held. A frame of
// which only a part went is taken: its tail must follow before any other
// frame, or the stream would be garbled, and the link's thread sends it when
// the socket has room. A failed connection is marked lost.
Handover sendFrame(Link& l, const wire::Frame& f, Clock::time_point deadline)
{
    if (l.hasPending) {
        net::ssize n = sendUntil(l, l.fd, l.pending, deadline);
        if (n < 0) {
            l.markLost();
            return Handover::Refused;
        }
        l.pending.erase(0, static_cast<std::size_t>(n));
        l.hasPending = !l.pending.empty();
        if (l.hasPending)
            return Handover::Refused;
    }
    const std::string msg = wire::formatSend(f);
    net::ssize n = sendUntil(l, l.fd, msg, deadline);
    if (n < 0)
        l.markLost();
    if (n <= 0)
        return Handover::Refused;
    if (static_cast<std::size_t>(n) < msg.size()) {
        l.pending = msg.substr(static_cast<std::size_t>(n));
        l.hasPending = true;
        l.signal();
    }
    return Handover::Taken;
}

// The writer's hand-over: waits up to kHandOverWaitMs for room in the socket.
// A link that is not up takes nothing (its frames wait, then go stale).
Handover handOver(Link& l, const wire::Frame& f)
{
    if (l.phase == Link::Phase::Up) {
        std::lock_guard<std::mutex> io(l.io);
        if (l.fd != net::kNoSocket)
            return sendFrame(l, f, Clock::now() + std::chrono::milliseconds(kHandOverWaitMs));
    }
    // Connecting again happens on a new link with a new writer: just pace the retries.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Handover::Refused;
}

class SocketcandBackend final : public Backend {
public:
    SocketcandBackend(BusUrl url, Sink sink) : url_(std::move(url)), sink_(std::move(sink)) {}
    ~SocketcandBackend() override { close(); }

    bool open(uint32_t, std::string& err) override
    {
        close();
        start();
        std::unique_lock<std::mutex> lock(link_->m);
        link_->settled.wait_for(lock, std::chrono::milliseconds(kOpenGraceMs),
                                [&] { return link_->phase != Link::Phase::Connecting; });
        if (link_->phase != Link::Phase::Failed)
            return true;  // up, or still connecting
        err = link_->error;
        lock.unlock();
        close();
        return false;
    }

    bool reopen(uint32_t, std::string& err) override
    {
        err.clear();
        Link::Phase p = link_ ? link_->phase.load() : Link::Phase::Closed;
        if (p == Link::Phase::Up)
            return true;
        if (p == Link::Phase::Connecting)
            return false;
        if (p == Link::Phase::Failed) {
            std::lock_guard<std::mutex> lock(link_->m);
            err = link_->error;
        }
        close();
        start();
        return false;
    }

    // With nothing queued, the frame goes straight to the socket if it has
    // room; otherwise it is queued behind the others. Only the channel's API
    // thread writes, so an idle queue stays idle meanwhile.
    WriteResult write(const wire::Frame& f) override
    {
        if (!link_ || link_->phase != Link::Phase::Up)
            return WriteResult::Lost;
        if (txq_.idle()) {
            Link& l = *link_;
            std::lock_guard<std::mutex> io(l.io);
            if (l.fd == net::kNoSocket)
                return WriteResult::Lost;
            if (!l.hasPending) {
                switch (sendFrame(l, f, Clock::now())) {
                case Handover::Taken: return WriteResult::Ok;
                case Handover::Refused: break;
                }
                if (l.phase != Link::Phase::Up)
                    return WriteResult::Lost;
            }
        }
        return txq_.push(f, TxQueue::Clock::now()) ? WriteResult::Ok : WriteResult::Full;
    }

    void clearTransmitQueue() override { txq_.clear(); }
    uint64_t takeDropped() override { return txq_.takeDropped(); }

    BusState state() override
    {
        return link_ && link_->phase == Link::Phase::Up ? BusState::Ok : BusState::Lost;
    }

    void close() override
    {
        if (!link_)
            return;
        {
            // After this, the attempt's thread hands no frame to the sink.
            std::lock_guard<std::mutex> lock(link_->m);
            link_->phase = Link::Phase::Closed;
        }
        link_->signal();
        writer_.stop();
        link_.reset();
    }

private:
    BusUrl url_;
    Sink sink_;
    std::shared_ptr<Link> link_;
    TxQueue txq_;
    TxWriter writer_{txq_};

    void start()
    {
        link_ = std::make_shared<Link>(url_, sink_);
        txq_.dropOlderThanStale(TxQueue::Clock::now());  // left from a lost link
        try {
            if (!link_->wake.ok())
                throw std::system_error(net::lastError(), std::system_category(), "no wake-up socket");
            std::thread(run, link_).detach();
            // The writer holds its own reference: the link outlives it.
            writer_.start([l = link_](const wire::Frame& f) { return handOver(*l, f); });
        } catch (const std::system_error& e) {
            link_->error = "cannot start connecting to " + url_.text() + " (" + e.what() + ")";
            link_->phase = Link::Phase::Failed;
        }
    }
};

}  // namespace

std::unique_ptr<Backend> makeSocketcandBackend(const BusUrl& url, Backend::Sink sink)
{
    return std::make_unique<SocketcandBackend>(url, std::move(sink));
}

}  // namespace pcan
