// libpcanbasic: the PCAN-Basic C API over the back ends of this platform layer.
//
// One channel, PCAN_USBBUS1. A back end thread hands every frame heard on the
// bus to the channel, which applies the acceptance filter, stamps the frame
// with the milliseconds since initialisation and queues it; CAN_Read takes
// frames from that queue and never blocks, as with the vendor's driver.
// An eventfd follows the queue (readable while it holds frames), so that a
// caller can wait for a frame without spinning (CAN_GetValue with
// PCAN_RECEIVE_EVENT, as the vendor's Linux library offers).
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "PCANBasic.h"
#include "backend.h"
#include "bus_url.h"

#define PCAN_API extern "C" __attribute__((visibility("default")))

namespace {

constexpr std::size_t kReceiveQueueLength = 32768;

struct Range {
    DWORD from, to;
    bool extended;
};

struct Queued {
    TPCANMsg msg;
    uint64_t micros;  // since initialisation
};

class Channel {
public:
    std::mutex api;    // initialise, write, status, close
    std::mutex queue;  // receive queue and filter, also taken by the back end thread
    std::atomic<bool> initialized{false};
    std::unique_ptr<pcan::Backend> backend;
    uint32_t bitrate = 0;
    std::chrono::steady_clock::time_point start;
    std::deque<Queued> rx;
    enum class Filter { Open, Closed, Custom } filter = Filter::Open;
    std::vector<Range> ranges;
    std::string lastError;
    // Readable exactly while rx holds frames; created once, kept open for
    // the life of the process (a waiting caller may hold it).
    const int rxEvent = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool rxEventSet = false;

    // Makes the receive event match the queue. Called with the queue lock held.
    void syncRxEvent()
    {
        if (rxEvent < 0 || rxEventSet == !rx.empty())
            return;
        uint64_t v = 1;
        if (rx.empty())
            (void)!::read(rxEvent, &v, sizeof v);
        else
            (void)!::write(rxEvent, &v, sizeof v);
        rxEventSet = !rx.empty();
    }

    void report(const std::string& line)
    {
        // A channel that keeps failing is re-initialised every few hundred ms:
        // say each distinct problem once.
        if (line == lastError)
            return;
        lastError = line;
        std::fprintf(stderr, "pcanbasic: %s\n", line.c_str());
        std::fflush(stderr);
    }

    bool admits(const wire::Frame& f) const
    {
        if (filter == Filter::Open)
            return true;
        if (filter == Filter::Closed)
            return false;
        for (const Range& r : ranges)
            if (r.extended == f.extended && f.id >= r.from && f.id <= r.to)
                return true;
        return false;
    }

    void heard(const wire::Frame& f)
    {
        std::lock_guard<std::mutex> lock(queue);
        if (!admits(f) || rx.size() >= kReceiveQueueLength)
            return;
        Queued q{};
        q.msg.ID = f.id;
        q.msg.MSGTYPE = f.extended ? PCAN_MESSAGE_EXTENDED : PCAN_MESSAGE_STANDARD;
        q.msg.LEN = f.dlc;
        std::memcpy(q.msg.DATA, f.data, 8);
        q.micros = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start).count());
        rx.push_back(q);
        syncRxEvent();
    }

    bool open(std::string& err)
    {
        pcan::BusUrl url;
        const char* env = std::getenv("TAVELIN_BUS");
        if (env && *env) {
            if (!pcan::parseBusUrl(env, url, err)) {
                err = "TAVELIN_BUS: " + err;
                return false;
            }
        } else {
            url = pcan::defaultBusUrl(pcan::findDefaultCanInterface());
        }
        auto sink = [this](const wire::Frame& f) { heard(f); };
        backend = url.kind == pcan::BusUrl::Kind::SocketCan ? pcan::makeSocketCanBackend(url, sink)
                                                             : pcan::makeSocketcandBackend(url, sink);
        if (!backend->open(bitrate, err)) {
            backend.reset();
            return false;
        }
        return true;
    }
};

Channel& channel()
{
    // Never destroyed: a back end thread may still be running at process exit.
    static Channel* ch = new Channel;
    return *ch;
}

bool validHandle(TPCANHandle h) { return h == PCAN_USBBUS1; }

}  // namespace

PCAN_API TPCANStatus CAN_Initialize(TPCANHandle Channel, TPCANBaudrate Btr0Btr1, TPCANType,
                                    DWORD, WORD)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    uint32_t bitrate = pcan::bitrateOfCode(Btr0Btr1);
    if (bitrate == 0)
        return PCAN_ERROR_ILLPARAMVAL;
    auto& ch = channel();
    std::lock_guard<std::mutex> lock(ch.api);
    std::string err;
    if (ch.initialized) {
        // Already open: a bus-off controller is restarted, a lost connection
        // (an interface that went away) opened again.
        const pcan::BusState state = ch.backend ? ch.backend->state() : pcan::BusState::Lost;
        if (state == pcan::BusState::BusOff && !ch.backend->recover(err))
            ch.report(err);
        if (state != pcan::BusState::Lost)
            return PCAN_ERROR_OK;
        ch.bitrate = bitrate;
        if (ch.backend ? !ch.backend->reopen(bitrate, err) : !ch.open(err)) {
            if (!err.empty())
                ch.report(err);
            return PCAN_ERROR_NODRIVER;
        }
        ch.lastError.clear();
        return PCAN_ERROR_OK;
    }
    ch.bitrate = bitrate;
    {
        std::lock_guard<std::mutex> q(ch.queue);
        ch.rx.clear();
        ch.syncRxEvent();
        ch.filter = Channel::Filter::Open;
        ch.ranges.clear();
        ch.start = std::chrono::steady_clock::now();
    }
    if (!ch.open(err)) {
        ch.report(err);
        return PCAN_ERROR_NODRIVER;
    }
    ch.lastError.clear();
    ch.initialized = true;
    return PCAN_ERROR_OK;
}

PCAN_API TPCANStatus CAN_Uninitialize(TPCANHandle Channel)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    auto& ch = channel();
    std::lock_guard<std::mutex> lock(ch.api);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    if (ch.backend)
        ch.backend->close();
    ch.backend.reset();
    ch.initialized = false;
    std::lock_guard<std::mutex> q(ch.queue);
    ch.rx.clear();
    ch.syncRxEvent();
    return PCAN_ERROR_OK;
}

PCAN_API TPCANStatus CAN_Reset(TPCANHandle Channel)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    auto& ch = channel();
    std::lock_guard<std::mutex> lock(ch.api);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    std::string err;
    if (ch.backend && !ch.backend->recover(err))  // restarts a bus-off controller
        ch.report(err);
    if (ch.backend)
        ch.backend->clearTransmitQueue();
    std::lock_guard<std::mutex> q(ch.queue);
    ch.rx.clear();
    ch.syncRxEvent();
    return PCAN_ERROR_OK;
}

PCAN_API TPCANStatus CAN_GetStatus(TPCANHandle Channel)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    auto& ch = channel();
    std::lock_guard<std::mutex> lock(ch.api);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    if (!ch.backend)
        return PCAN_ERROR_BUSOFF;
    switch (ch.backend->state()) {
    case pcan::BusState::Ok:
        ch.lastError.clear();  // a link that came back in the background: say the next problem again
        return PCAN_ERROR_OK;
    case pcan::BusState::Warning: return PCAN_ERROR_BUSLIGHT;
    case pcan::BusState::Passive: return PCAN_ERROR_BUSHEAVY;
    default: return PCAN_ERROR_BUSOFF;  // bus off, or the connection to the bus lost
    }
}

PCAN_API TPCANStatus CAN_Read(TPCANHandle Channel, TPCANMsg* MessageBuffer,
                              TPCANTimestamp* TimestampBuffer)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    if (!MessageBuffer)
        return PCAN_ERROR_ILLPARAMVAL;
    auto& ch = channel();
    std::lock_guard<std::mutex> q(ch.queue);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    if (ch.rx.empty())
        return PCAN_ERROR_QRCVEMPTY;
    const Queued& front = ch.rx.front();
    *MessageBuffer = front.msg;
    if (TimestampBuffer) {
        uint64_t ms = front.micros / 1000;
        TimestampBuffer->millis = static_cast<DWORD>(ms & 0xFFFFFFFFu);
        TimestampBuffer->millis_overflow = static_cast<WORD>(ms >> 32);
        TimestampBuffer->micros = static_cast<WORD>(front.micros % 1000);
    }
    ch.rx.pop_front();
    ch.syncRxEvent();
    return PCAN_ERROR_OK;
}

PCAN_API TPCANStatus CAN_Write(TPCANHandle Channel, TPCANMsg* MessageBuffer)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    if (!MessageBuffer || MessageBuffer->LEN > 8)
        return PCAN_ERROR_ILLPARAMVAL;
    wire::Frame f;
    f.extended = (MessageBuffer->MSGTYPE & PCAN_MESSAGE_EXTENDED) != 0;
    f.id = MessageBuffer->ID;
    if (f.id > (f.extended ? 0x1FFFFFFFu : 0x7FFu))
        return PCAN_ERROR_ILLPARAMVAL;
    f.dlc = MessageBuffer->LEN;
    std::memcpy(f.data, MessageBuffer->DATA, f.dlc);
    auto& ch = channel();
    std::lock_guard<std::mutex> lock(ch.api);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    if (!ch.backend)
        return PCAN_ERROR_QXMTFULL;
    return ch.backend->write(f) == pcan::WriteResult::Ok ? PCAN_ERROR_OK : PCAN_ERROR_QXMTFULL;
}

PCAN_API TPCANStatus CAN_FilterMessages(TPCANHandle Channel, DWORD FromID, DWORD ToID,
                                        TPCANMode Mode)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    if (FromID > ToID || (Mode != PCAN_MODE_STANDARD && Mode != PCAN_MODE_EXTENDED))
        return PCAN_ERROR_ILLPARAMVAL;
    auto& ch = channel();
    std::lock_guard<std::mutex> q(ch.queue);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    // The filter widens with every call; an open filter first becomes this range alone.
    if (ch.filter != Channel::Filter::Custom)
        ch.ranges.clear();
    ch.filter = Channel::Filter::Custom;
    ch.ranges.push_back({FromID, ToID, Mode == PCAN_MODE_EXTENDED});
    return PCAN_ERROR_OK;
}

PCAN_API TPCANStatus CAN_SetValue(TPCANHandle Channel, TPCANParameter Parameter, void* Buffer,
                                  DWORD BufferLength)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    if (Parameter != PCAN_MESSAGE_FILTER)
        return PCAN_ERROR_ILLPARAMTYPE;
    if (!Buffer || BufferLength < 1)
        return PCAN_ERROR_ILLPARAMVAL;
    BYTE value = *static_cast<BYTE*>(Buffer);
    auto& ch = channel();
    std::lock_guard<std::mutex> q(ch.queue);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    switch (value) {
    case PCAN_FILTER_CLOSE:
        ch.filter = Channel::Filter::Closed;
        ch.ranges.clear();
        return PCAN_ERROR_OK;
    case PCAN_FILTER_OPEN:
        ch.filter = Channel::Filter::Open;
        ch.ranges.clear();
        return PCAN_ERROR_OK;
    case PCAN_FILTER_CUSTOM:
        // Keep the ranges given so far (none: nothing passes).
        ch.filter = Channel::Filter::Custom;
        return PCAN_ERROR_OK;
    default:
        return PCAN_ERROR_ILLPARAMVAL;
    }
}

PCAN_API TPCANStatus CAN_GetValue(TPCANHandle Channel, TPCANParameter Parameter, void* Buffer,
                                  DWORD BufferLength)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    if (Parameter != PCAN_RECEIVE_EVENT)
        return PCAN_ERROR_ILLPARAMTYPE;
    if (!Buffer || BufferLength < sizeof(int))
        return PCAN_ERROR_ILLPARAMVAL;
    auto& ch = channel();
    std::lock_guard<std::mutex> q(ch.queue);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    if (ch.rxEvent < 0)
        return PCAN_ERROR_UNKNOWN;
    *static_cast<int*>(Buffer) = ch.rxEvent;
    return PCAN_ERROR_OK;
}
