// canhub: a userspace virtual CAN bus speaking the server side of the
// socketcand protocol in raw mode. One thread, one poll loop.
#ifndef TAVELIN_HUB_H
#define TAVELIN_HUB_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "pcap_writer.h"
#include "socketcand_wire.h"

namespace canhub {

struct Options {
    std::string listenAddr = "127.0.0.1";
    uint16_t port = 29536;
    unsigned bitrateKbit = 0;  // 0: unpaced
    std::string pcapPath;
    std::size_t maxQueuedBytes = 4u << 20;  // per client, before it is dropped
    std::size_t highWater = 256u << 10;     // a client this far behind pauses the senders
    std::chrono::milliseconds stallLimit{3000};  // a client that takes nothing this long is dropped
    std::chrono::milliseconds rawHold{200};
};

class Hub {
public:
    explicit Hub(Options o);
    ~Hub();
    bool start(std::string& err);  // bind and listen
    uint16_t port() const { return boundPort_; }
    // Runs until a byte arrives on stopFd (a signal's self-pipe).
    void run(int stopFd);

private:
    using Clock = std::chrono::steady_clock;
    struct Out {
        std::string text;
        bool traffic;  // a frame (held back right after rawmode)
    };
    struct Client {
        int fd = -1;
        unsigned number = 0;
        std::string peer;
        enum class State { Greeted, Opened, Raw } state = State::Greeted;
        std::string bus;
        wire::Splitter in;
        std::deque<Out> out;
        std::size_t outOffset = 0;
        std::size_t outBytes = 0;
        Clock::time_point holdUntil{};
        Clock::time_point lastProgress{};  // last time its socket took bytes, or its queue was empty
        bool dead = false;
        bool inputPending = false;  // complete messages left unread while paused
    };
    struct Pending {
        wire::Frame frame;
        int sender;
        Clock::time_point at;
    };
    struct Bus {
        std::deque<Pending> pending;
        Clock::time_point freeAt{};
    };

    Options opt_;
    int listenFd_ = -1;
    uint16_t boundPort_ = 0;
    unsigned nextNumber_ = 1;
    std::map<int, std::unique_ptr<Client>> clients_;
    std::map<std::string, Bus> buses_;
    PcapWriter pcap_;
    Clock::time_point lastFlush_{};

    void accept();
    void readFrom(Client& c);
    void processInput(Client& c);
    void handle(Client& c, const std::string& msg);
    void enqueue(Client& c, std::string text, bool traffic);
    void flushOut(Client& c);
    void busSend(Client& c, const wire::Frame& f);
    void deliver(const std::string& bus, const Pending& p);
    void deliverDue();
    void drop(Client& c, const std::string& why);
    // Until the next paced delivery or hold end, in microseconds: a frame is
    // delivered when its time on the wire is over, not at the next whole ms.
    int64_t pollTimeoutUs(bool paused) const;
    bool throttled() const;
    void dropStalled();
};

}  // namespace canhub

#endif
