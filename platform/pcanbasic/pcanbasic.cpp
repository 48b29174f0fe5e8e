// libpcanbasic: the PCAN-Basic C API over the back ends of this platform layer.
//
// One channel, PCAN_USBBUS1. A back end thread hands every frame heard on the
// bus to the channel, which applies the acceptance filter, stamps the frame
// with the milliseconds since initialisation and queues it; CAN_Read takes
// frames from that queue and never blocks, as with the vendor's driver.
// An eventfd follows the queue (readable while it holds frames), so that a
// caller can wait for a frame without spinning (CAN_GetValue with
// PCAN_RECEIVE_EVENT, as the vendor's Linux library offers). On Windows,
// where this library is only a stand-in PCANBasic.dll for tests and the demo,
// the caller gives an event with CAN_SetValue(PCAN_RECEIVE_EVENT) instead and
// the library sets it whenever a frame is queued, as the vendor's DLL does.
// With PCAN_ALLOW_ERROR_FRAMES on, the controller's error frames (SocketCAN)
// are queued too, as PCAN_MESSAGE_ERRFRAME messages and, for changes of the
// bus status, PCAN_MESSAGE_STATUS messages; the acceptance filter does not
// apply to them.
//
// Two settings read at initialisation serve tests and demonstrations:
// - TAVELIN_PCAN_MAKER=1 keeps the adapter maker's conventions where they are
//   less convenient than ours: CAN_Read and CAN_Write return the bus-state
//   bits (warning: _BUSHEAVY, passive: _BUSPASSIVE, _BUSOFF) with a message
//   read or a frame queued; every change of the status queues a
//   PCAN_MESSAGE_STATUS message (while PCAN_ALLOW_STATUS_FRAMES is on, its
//   default); CAN_Reset only empties the queues; CAN_Initialize on an open
//   channel changes nothing and returns PCAN_ERROR_INITIALIZE. Without it,
//   CAN_Reset and CAN_Initialize also restart a bus-off controller and
//   re-open a lost connection, and reads and writes carry no bus state.
// - TAVELIN_PCAN_BUS_STATE=light|heavy|passive[:MS] makes the channel report
//   that state while the bus itself is fine (for MS milliseconds after
//   initialisation, or while it is open); frames pass as before.
#ifndef _WIN32
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
#include "api_text.h"
#include "backend.h"
#include "bus_url.h"
#include "error_frames.h"
#include "tx_queue.h"

#ifdef _WIN32
#define PCAN_API extern "C" __declspec(dllexport)
#else
#define PCAN_API extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr std::size_t kReceiveQueueLength = 32768;
// The PCAN-Basic version whose calls and parameters this library answers
// (those it implements; the others give the vendor's error codes).
constexpr const char* kApiVersion = "4.4.0";

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
    // Settings of PCAN_*_FRAMES, PCAN_RECEIVE_STATUS and PCAN_BUSOFF_AUTORESET,
    // as the vendor's library has them after initialisation (queue lock).
    bool allowErrorFrames = false;
    bool allowStatusFrames = true;
    bool receiving = true;
    bool autoReset = false;
    std::atomic<bool> maker{false};  // the maker's conventions (TAVELIN_PCAN_MAKER)
    pcan::BusHold hold;              // TAVELIN_PCAN_BUS_STATE
    TPCANStatus reported = PCAN_ERROR_OK;  // the status last answered (api lock)
    // Frames accepted by CAN_Write that the back end dropped unsent: the next
    // CAN_Write and the next CAN_GetStatus each report it once (api lock).
    bool lossForWrite = false;
    bool lossForStatus = false;
    TPCANBaudrate btr0btr1 = 0;
    DWORD deviceId = 0;  // PCAN_DEVICE_ID: kept for the life of the process
#ifdef _WIN32
    HANDLE userEvent = nullptr;  // the caller's, set when a frame is queued

    void syncRxEvent()
    {
        if (userEvent && !rx.empty())
            ::SetEvent(userEvent);
    }
#else
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
#endif

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

    // Called with the queue lock held.
    void enqueue(const TPCANMsg& m)
    {
        if (rx.size() >= kReceiveQueueLength)
            return;
        Queued q{};
        q.msg = m;
        q.micros = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start).count());
        rx.push_back(q);
        syncRxEvent();
    }

    void heard(const wire::Frame& f)
    {
        std::lock_guard<std::mutex> lock(queue);
        if (!receiving)
            return;
        if (f.error) {
#ifndef _WIN32  // only the SocketCAN back end hears the controller's error frames
            if (!allowErrorFrames)
                return;
            const pcan::ErrorReport r = pcan::reportOfErrorFrame(f.id, f.data);
            if (r.hasErrorFrame)
                enqueue(r.errorFrame);
            if (r.hasStatus && allowStatusFrames && !maker)  // the maker's: queued by status()
                enqueue(pcan::statusMessage(r.status));
#endif
            return;
        }
        if (!admits(f))
            return;
        TPCANMsg m{};
        m.ID = f.id;
        m.MSGTYPE = f.extended ? PCAN_MESSAGE_EXTENDED : PCAN_MESSAGE_STANDARD;
        m.LEN = f.dlc;
        std::memcpy(m.DATA, f.data, 8);
        enqueue(m);
    }

    // Takes the back end's count of frames dropped unsent: a loss to report,
    // with one line saying how many. Called with the api lock held.
    void noteDrops()
    {
        const uint64_t n = backend ? backend->takeDropped() : 0;
        if (n == 0)
            return;
        lossForWrite = lossForStatus = true;
        std::fprintf(stderr, "pcanbasic: %llu frame%s dropped unsent: the bus took none for %lld ms\n",
                     static_cast<unsigned long long>(n), n == 1 ? "" : "s",
                     static_cast<long long>(pcan::kStaleAfterMs));
        std::fflush(stderr);
    }

    // The channel's status: the back end's state, or the state held by
    // TAVELIN_PCAN_BUS_STATE while the bus itself is fine. With the maker's
    // conventions a change of it is queued as a status message. Called with
    // the api lock held.
    TPCANStatus status()
    {
        TPCANStatus s = PCAN_ERROR_BUSOFF;  // no back end: the connection lost
        if (backend) {
            switch (backend->state()) {
            case pcan::BusState::Ok:
                s = PCAN_ERROR_OK;
                lastError.clear();  // a link that came back in the background: say the next problem again
                break;
            case pcan::BusState::Warning: s = maker ? PCAN_ERROR_BUSWARNING : PCAN_ERROR_BUSLIGHT; break;
            case pcan::BusState::Passive: s = maker ? PCAN_ERROR_BUSPASSIVE : PCAN_ERROR_BUSHEAVY; break;
            default: s = PCAN_ERROR_BUSOFF; break;  // bus off, or the connection to the bus lost
            }
        }
        if (s == PCAN_ERROR_OK && hold.status &&
            (hold.ms == 0 || std::chrono::steady_clock::now() - start < std::chrono::milliseconds(hold.ms)))
            s = hold.status;
        if (maker && s != reported) {
            std::lock_guard<std::mutex> q(queue);
            if (allowStatusFrames && receiving)
                enqueue(pcan::statusMessage(s));
        }
        reported = s;
        return s;
    }

    // The settings of the two test variables; false with err on a bad one.
    bool readSettings(std::string& err)
    {
        const char* m = std::getenv("TAVELIN_PCAN_MAKER");
        maker = m && std::strcmp(m, "1") == 0;
        hold = pcan::BusHold();
        const char* h = std::getenv("TAVELIN_PCAN_BUS_STATE");
        if (h && *h && !pcan::parseBusHold(h, hold, err)) {
            err = "TAVELIN_PCAN_BUS_STATE: " + err;
            return false;
        }
        reported = PCAN_ERROR_OK;
        lossForWrite = lossForStatus = false;
        return true;
    }

    // The bus TAVELIN_BUS names, or the default one.
    static bool busUrl(pcan::BusUrl& url, std::string& err)
    {
        const char* env = std::getenv("TAVELIN_BUS");
        if (env && *env) {
            if (!pcan::parseBusUrl(env, url, err)) {
                err = "TAVELIN_BUS: " + err;
                return false;
            }
        } else {
#ifdef _WIN32
            url = pcan::defaultBusUrl("");
#else
            url = pcan::defaultBusUrl(pcan::findDefaultCanInterface());
#endif
        }
        return true;
    }

    bool open(std::string& err)
    {
        pcan::BusUrl url;
        if (!busUrl(url, err))
            return false;
        auto sink = [this](const wire::Frame& f) { heard(f); };
#ifdef _WIN32
        if (url.kind == pcan::BusUrl::Kind::SocketCan) {
            err = "TAVELIN_BUS: " + url.text() +
                  " is a Linux interface; on Windows use socketcand://HOST[:PORT]/BUS";
            return false;
        }
        backend = pcan::makeSocketcandBackend(url, sink);
#else
        backend = url.kind == pcan::BusUrl::Kind::SocketCan ? pcan::makeSocketCanBackend(url, sink)
                                                             : pcan::makeSocketcandBackend(url, sink);
        backend->setAutoReset(autoReset);
#endif
        if (!backend->open(bitrate, err)) {
            backend.reset();
            return false;
        }
        return true;
    }

    // PCAN_CHANNEL_CONDITION of a channel that is not open: whether the bus
    // can be opened, as far as can be told without opening it.
    static DWORD condition()
    {
        pcan::BusUrl url;
        std::string err;
        if (!busUrl(url, err))
            return PCAN_CHANNEL_UNAVAILABLE;
#ifdef _WIN32
        if (url.kind == pcan::BusUrl::Kind::SocketCan)
            return PCAN_CHANNEL_UNAVAILABLE;
#else
        struct stat st;
        if (url.kind == pcan::BusUrl::Kind::SocketCan &&
            ::stat(("/sys/class/net/" + url.bus).c_str(), &st) != 0)
            return PCAN_CHANNEL_UNAVAILABLE;
#endif
        return PCAN_CHANNEL_AVAILABLE;  // a socketcand server is only known by connecting
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

PCAN_API TPCANStatus PCAN_CALL CAN_Initialize(TPCANHandle Channel, TPCANBaudrate Btr0Btr1, TPCANType,
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
        // The maker's library does not initialise an open channel again.
        if (ch.maker)
            return PCAN_ERROR_INITIALIZE;
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
    if (!ch.readSettings(err)) {
        ch.report(err);
        return PCAN_ERROR_NODRIVER;
    }
    ch.bitrate = bitrate;
    {
        std::lock_guard<std::mutex> q(ch.queue);
        ch.rx.clear();
        ch.syncRxEvent();
        ch.filter = Channel::Filter::Open;
        ch.ranges.clear();
        ch.allowErrorFrames = false;
        ch.allowStatusFrames = true;
        ch.receiving = true;
        ch.autoReset = false;
        ch.btr0btr1 = Btr0Btr1;
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

PCAN_API TPCANStatus PCAN_CALL CAN_Uninitialize(TPCANHandle Channel)
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

PCAN_API TPCANStatus PCAN_CALL CAN_Reset(TPCANHandle Channel)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    auto& ch = channel();
    std::lock_guard<std::mutex> lock(ch.api);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    std::string err;
    // Ours restarts a bus-off controller too; the maker's empties the queues only.
    if (!ch.maker && ch.backend && !ch.backend->recover(err))
        ch.report(err);
    if (ch.backend)
        ch.backend->clearTransmitQueue();
    std::lock_guard<std::mutex> q(ch.queue);
    ch.rx.clear();
    ch.syncRxEvent();
    return PCAN_ERROR_OK;
}

PCAN_API TPCANStatus PCAN_CALL CAN_GetStatus(TPCANHandle Channel)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    auto& ch = channel();
    std::lock_guard<std::mutex> lock(ch.api);
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    ch.noteDrops();
    const TPCANStatus s = ch.status();
    // Frames lost: reported as the controller failing to send, unless the
    // bus state already says worse.
    if (ch.lossForStatus) {
        ch.lossForStatus = false;
        if (s == PCAN_ERROR_OK)
            return PCAN_ERROR_XMTFULL;
    }
    return s;
}

PCAN_API TPCANStatus PCAN_CALL CAN_Read(TPCANHandle Channel, TPCANMsg* MessageBuffer,
                              TPCANTimestamp* TimestampBuffer)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    if (!MessageBuffer)
        return PCAN_ERROR_ILLPARAMVAL;
    auto& ch = channel();
    // With the maker's conventions a message comes with the bus-state bits.
    TPCANStatus state = PCAN_ERROR_OK;
    if (ch.maker) {
        std::lock_guard<std::mutex> lock(ch.api);
        if (ch.initialized)
            state = ch.status() & PCAN_ERROR_ANYBUSERR;
    }
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
    return state;
}

PCAN_API TPCANStatus PCAN_CALL CAN_Write(TPCANHandle Channel, TPCANMsg* MessageBuffer)
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
    // Frames written before were lost: this one is refused, so that the
    // caller knows its transfer is broken.
    ch.noteDrops();
    if (ch.lossForWrite) {
        ch.lossForWrite = false;
        return PCAN_ERROR_XMTFULL;
    }
    if (ch.backend->write(f) != pcan::WriteResult::Ok)
        return PCAN_ERROR_QXMTFULL;
    // With the maker's conventions a queued frame comes with the bus-state bits.
    return ch.maker ? ch.status() & PCAN_ERROR_ANYBUSERR : PCAN_ERROR_OK;
}

PCAN_API TPCANStatus PCAN_CALL CAN_FilterMessages(TPCANHandle Channel, DWORD FromID, DWORD ToID,
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

namespace {

// A value given to CAN_SetValue: a DWORD, or one BYTE.
bool settingOf(const void* buffer, DWORD length, DWORD& value)
{
    if (!buffer)
        return false;
    if (length >= sizeof(DWORD)) {
        std::memcpy(&value, buffer, sizeof value);
        return true;
    }
    if (length == 1) {
        value = *static_cast<const BYTE*>(buffer);
        return true;
    }
    return false;
}

bool onOff(DWORD value) { return value == PCAN_PARAMETER_OFF || value == PCAN_PARAMETER_ON; }

// CAN_GetValue's answers: never more than the caller's buffer holds.
TPCANStatus put(void* buffer, DWORD length, const void* value, std::size_t size)
{
    if (!buffer || length < size)
        return PCAN_ERROR_ILLPARAMVAL;
    std::memcpy(buffer, value, size);
    return PCAN_ERROR_OK;
}
TPCANStatus putDword(void* buffer, DWORD length, DWORD value)
{
    return put(buffer, length, &value, sizeof value);
}
TPCANStatus putText(void* buffer, DWORD length, const char* text)
{
    return put(buffer, length, text, std::strlen(text) + 1);
}

}  // namespace

PCAN_API TPCANStatus PCAN_CALL CAN_SetValue(TPCANHandle Channel, TPCANParameter Parameter, void* Buffer,
                                  DWORD BufferLength)
{
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
#ifdef _WIN32
    if (Parameter == PCAN_RECEIVE_EVENT) {
        if (!Buffer || BufferLength != sizeof(HANDLE))
            return PCAN_ERROR_ILLPARAMVAL;
        auto& ch = channel();
        std::lock_guard<std::mutex> q(ch.queue);
        if (!ch.initialized)
            return PCAN_ERROR_INITIALIZE;
        ch.userEvent = *static_cast<HANDLE*>(Buffer);  // null: no event
        ch.syncRxEvent();
        return PCAN_ERROR_OK;
    }
#endif
    switch (Parameter) {
    case PCAN_MESSAGE_FILTER: case PCAN_ALLOW_ERROR_FRAMES: case PCAN_ALLOW_STATUS_FRAMES:
    case PCAN_RECEIVE_STATUS: case PCAN_BUSOFF_AUTORESET: case PCAN_LISTEN_ONLY: case PCAN_DEVICE_ID:
        break;
    default:
        return PCAN_ERROR_ILLPARAMTYPE;
    }
    DWORD value = 0;
    if (!settingOf(Buffer, BufferLength, value))
        return PCAN_ERROR_ILLPARAMVAL;
    auto& ch = channel();
    std::lock_guard<std::mutex> lock(ch.api);
    std::lock_guard<std::mutex> q(ch.queue);
    if (Parameter == PCAN_DEVICE_ID) {
        ch.deviceId = value;
        return PCAN_ERROR_OK;
    }
    if (Parameter == PCAN_LISTEN_ONLY)  // a node that never acknowledges: not available here
        return value == PCAN_PARAMETER_OFF ? PCAN_ERROR_OK : PCAN_ERROR_ILLPARAMVAL;
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    if (Parameter == PCAN_MESSAGE_FILTER) {
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
    if (!onOff(value))
        return PCAN_ERROR_ILLPARAMVAL;
    const bool on = value == PCAN_PARAMETER_ON;
    switch (Parameter) {
    case PCAN_ALLOW_ERROR_FRAMES: ch.allowErrorFrames = on; break;
    case PCAN_ALLOW_STATUS_FRAMES: ch.allowStatusFrames = on; break;
    case PCAN_RECEIVE_STATUS: ch.receiving = on; break;
    default:  // PCAN_BUSOFF_AUTORESET
        ch.autoReset = on;
        if (ch.backend)
            ch.backend->setAutoReset(on);
        break;
    }
    return PCAN_ERROR_OK;
}

PCAN_API TPCANStatus PCAN_CALL CAN_GetValue(TPCANHandle Channel, TPCANParameter Parameter, void* Buffer,
                                  DWORD BufferLength)
{
    // Values of the library, or of any handle.
    if (Parameter == PCAN_API_VERSION)
        return putText(Buffer, BufferLength, kApiVersion);
    auto& ch = channel();
    if (Parameter == PCAN_CHANNEL_CONDITION) {
        if (!validHandle(Channel))
            return putDword(Buffer, BufferLength, PCAN_CHANNEL_UNAVAILABLE);
        if (ch.initialized)
            return putDword(Buffer, BufferLength, PCAN_CHANNEL_OCCUPIED);
        return putDword(Buffer, BufferLength, Channel::condition());
    }
    if (!validHandle(Channel))
        return PCAN_ERROR_ILLHANDLE;
    std::lock_guard<std::mutex> q(ch.queue);
    switch (Parameter) {
    case PCAN_DEVICE_ID: return putDword(Buffer, BufferLength, ch.deviceId);
    case PCAN_CHANNEL_FEATURES: return putDword(Buffer, BufferLength, 0);  // classic CAN only
    case PCAN_LISTEN_ONLY: return putDword(Buffer, BufferLength, PCAN_PARAMETER_OFF);
    case PCAN_RECEIVE_EVENT: case PCAN_MESSAGE_FILTER: case PCAN_ALLOW_ERROR_FRAMES:
    case PCAN_ALLOW_STATUS_FRAMES: case PCAN_RECEIVE_STATUS: case PCAN_BUSOFF_AUTORESET:
    case PCAN_BITRATE_INFO: case PCAN_BUSSPEED_NOMINAL:
        break;
    default:
        return PCAN_ERROR_ILLPARAMTYPE;
    }
    if (!ch.initialized)
        return PCAN_ERROR_INITIALIZE;
    switch (Parameter) {
    case PCAN_RECEIVE_EVENT:
#ifdef _WIN32
        return put(Buffer, BufferLength, &ch.userEvent, sizeof ch.userEvent);
#else
        if (!Buffer || BufferLength < sizeof(int))
            return PCAN_ERROR_ILLPARAMVAL;
        if (ch.rxEvent < 0)
            return PCAN_ERROR_UNKNOWN;
        *static_cast<int*>(Buffer) = ch.rxEvent;
        return PCAN_ERROR_OK;
#endif
    case PCAN_MESSAGE_FILTER:
        return putDword(Buffer, BufferLength,
                        ch.filter == Channel::Filter::Open     ? PCAN_FILTER_OPEN
                        : ch.filter == Channel::Filter::Closed ? PCAN_FILTER_CLOSE
                                                               : PCAN_FILTER_CUSTOM);
    case PCAN_ALLOW_ERROR_FRAMES: return putDword(Buffer, BufferLength, ch.allowErrorFrames);
    case PCAN_ALLOW_STATUS_FRAMES: return putDword(Buffer, BufferLength, ch.allowStatusFrames);
    case PCAN_RECEIVE_STATUS: return putDword(Buffer, BufferLength, ch.receiving);
    case PCAN_BUSOFF_AUTORESET: return putDword(Buffer, BufferLength, ch.autoReset);
    case PCAN_BITRATE_INFO: return put(Buffer, BufferLength, &ch.btr0btr1, sizeof ch.btr0btr1);
    default: return putDword(Buffer, BufferLength, ch.bitrate);  // PCAN_BUSSPEED_NOMINAL
    }
}

PCAN_API TPCANStatus PCAN_CALL CAN_GetErrorText(TPCANStatus Error, WORD Language, char* Buffer)
{
    const char* text = pcan::errorText(Error);
    if (!Buffer || !pcan::knownLanguage(Language) || !text)
        return PCAN_ERROR_ILLPARAMVAL;
    // The caller's buffer holds 256 bytes; every text is shorter.
    std::snprintf(Buffer, 256, "%s", text);
    return PCAN_ERROR_OK;
}

PCAN_API TPCANStatus PCAN_CALL CAN_LookUpChannel(char* Parameters, TPCANHandle* FoundChannel)
{
    if (!Parameters || !FoundChannel)
        return PCAN_ERROR_ILLPARAMVAL;
    auto& ch = channel();
    DWORD id;
    {
        std::lock_guard<std::mutex> q(ch.queue);
        id = ch.deviceId;
    }
    const pcan::LookUp r = pcan::lookUpChannel(Parameters, id);
    if (!r.valid)
        return PCAN_ERROR_ILLPARAMVAL;
    *FoundChannel = r.matches ? PCAN_USBBUS1 : PCAN_NONEBUS;
    return PCAN_ERROR_OK;
}

// CAN FD: the channel is a classic CAN one (PCAN_CHANNEL_FEATURES 0).
PCAN_API TPCANStatus PCAN_CALL CAN_InitializeFD(TPCANHandle Channel, TPCANBitrateFD)
{
    return validHandle(Channel) ? PCAN_ERROR_ILLOPERATION : PCAN_ERROR_ILLHANDLE;
}

PCAN_API TPCANStatus PCAN_CALL CAN_ReadFD(TPCANHandle Channel, TPCANMsgFD*, TPCANTimestampFD*)
{
    return validHandle(Channel) ? PCAN_ERROR_ILLOPERATION : PCAN_ERROR_ILLHANDLE;
}

PCAN_API TPCANStatus PCAN_CALL CAN_WriteFD(TPCANHandle Channel, TPCANMsgFD*)
{
    return validHandle(Channel) ? PCAN_ERROR_ILLOPERATION : PCAN_ERROR_ILLHANDLE;
}
