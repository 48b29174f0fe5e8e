// What the PCAN-Basic channel needs of a bus back end.
#ifndef TAVELIN_PCAN_BACKEND_H
#define TAVELIN_PCAN_BACKEND_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bus_url.h"
#include "socketcand_wire.h"

namespace pcan {

enum class BusState { Ok, Warning, Passive, BusOff, Lost };
enum class WriteResult { Ok, Full, Lost };

class Backend {
public:
    using Sink = std::function<void(const wire::Frame&)>;
    virtual ~Backend() = default;
    // Connects; frames heard from then on go to the sink, from a thread of the
    // back end. On failure, err holds one line saying what to do.
    virtual bool open(uint32_t bitrate, std::string& err) = 0;
    // Re-opens a lost connection: true when it is up again. A back end that
    // connects in the background only starts an attempt here and returns at
    // once; err then holds the previous attempt's problem (empty if none).
    virtual bool reopen(uint32_t bitrate, std::string& err)
    {
        close();
        return open(bitrate, err);
    }
    virtual WriteResult write(const wire::Frame& f) = 0;
    virtual BusState state() = 0;
    // Restarts a controller that went bus-off; false with err when it cannot.
    virtual bool recover(std::string& err) { return (void)err, true; }
    // Whether to restart a controller as soon as it reports bus-off.
    virtual void setAutoReset(bool on) { (void)on; }
    // Drops the frames written but not yet handed to the bus (CAN_Reset).
    virtual void clearTransmitQueue() {}
    // Frames written and accepted that were dropped unsent since the last call
    // (the bus took nothing for a while): the channel reports them.
    virtual uint64_t takeDropped() { return 0; }
    virtual void close() = 0;
};

std::unique_ptr<Backend> makeSocketcandBackend(const BusUrl& url, Backend::Sink sink);
std::unique_ptr<Backend> makeSocketCanBackend(const BusUrl& url, Backend::Sink sink);
// The SocketCAN interface to use when none is named (can0, or the only
// controller); empty when there is none.
std::string findDefaultCanInterface();

}  // namespace pcan

#endif
