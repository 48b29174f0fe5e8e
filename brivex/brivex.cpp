#include "brivex.h"

#ifndef _WIN32
#include <poll.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "PCANBasic.h"
#include "bus_log.h"

static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits wide on every platform");

namespace {

TPCANHandle CAN_HW_Channel = 0;
int current_baudrate = 0;
DWORD current_filter = 0;  // the identifier admitted by the last InitHWInterface
int current_kbit = 0;      // the bit rate of the last InitHWInterface, for the bus log
buslog::TrcLog bus_log;

#ifdef _WIN32
// The receive event handed to the adapter library, which sets it when a frame
// arrives (auto-reset: a wait consumes it). Created once, kept for the process.
HANDLE receiveEvent()
{
    static const HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}
#endif

// Milliseconds of a monotonic real-time clock. (The C runtime's clock()
// counts processor time on Linux and would stretch every time limit.)
uint64_t nowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count());
}

void OutputCANMessage(const CAN_msg_T* msg)
{
    std::cout << std::endl;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", msg->ID);
    std::cout << "ID= " << buf << " ";
    unsigned n = msg->dlc > 8 ? 8 : msg->dlc;
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X ", msg->data[i]);
        std::cout << buf;
    }
    std::cout << std::endl;
}

bool codeOf(int baudrate, TPCANBaudrate& code)
{
    switch (baudrate) {
    case 10: code = PCAN_BAUD_10K; return true;
    case 50: code = PCAN_BAUD_50K; return true;
    case 100: code = PCAN_BAUD_100K; return true;
    case 125: code = PCAN_BAUD_125K; return true;
    case 250: code = PCAN_BAUD_250K; return true;
    case 500: code = PCAN_BAUD_500K; return true;
    case 1000: code = PCAN_BAUD_1M; return true;
    default: return false;
    }
}

// The adapter's message filter (the one identifier AddressFilter) and, on
// Windows, the receive event: set on a channel just opened.
void setUpChannel(DWORD AddressFilter)
{
    BYTE value = PCAN_FILTER_CLOSE;
    CAN_SetValue(CAN_HW_Channel, PCAN_MESSAGE_FILTER, &value, sizeof value);
    CAN_FilterMessages(CAN_HW_Channel, AddressFilter, AddressFilter, PCAN_MODE_EXTENDED);
    value = PCAN_FILTER_CUSTOM;
    CAN_SetValue(CAN_HW_Channel, PCAN_MESSAGE_FILTER, &value, sizeof value);
#ifdef _WIN32
    HANDLE event = receiveEvent();
    if (event)
        CAN_SetValue(CAN_HW_Channel, PCAN_RECEIVE_EVENT, &event, sizeof event);
#endif
}

// The warning states: the controller still sends and receives, and its error
// counters fall again by themselves as frames get through.
constexpr TPCANStatus kWarningStates = PCAN_ERROR_BUSLIGHT | PCAN_ERROR_BUSHEAVY | PCAN_ERROR_BUSPASSIVE;
// The conditions a status may report besides the bus state; any other bit is
// an error of the adapter library (no driver, channel not initialised, ...).
constexpr TPCANStatus kConditions = PCAN_ERROR_XMTFULL | PCAN_ERROR_OVERRUN | PCAN_ERROR_QOVERRUN |
                                    PCAN_ERROR_QXMTFULL | PCAN_ERROR_ANYBUSERR;

// The text of a bad status (at most 9 characters: the caller's buffer holds
// 10 bytes): the worst bus state it reports, else a full transmit buffer or
// queue, else "ERROR".
const char* statusText(TPCANStatus s)
{
    if (s & ~kConditions)
        return "ERROR";
    if (s & PCAN_ERROR_BUSOFF)
        return "BUS OFF";
    if (s & PCAN_ERROR_BUSPASSIVE)
        return "BUS PASSV";
    if (s & PCAN_ERROR_BUSHEAVY)
        return "BUS HEAVY";
    if (s & PCAN_ERROR_BUSLIGHT)
        return "BUS LIGHT";
    if (s & (PCAN_ERROR_XMTFULL | PCAN_ERROR_QXMTFULL))
        return "XMT FULL";
    return "ERROR";
}

// The channel InitHWInterface opens: PCAN_USBBUS1, or on Windows the
// PCAN_USBBUS<N> (N from 1 to 16) that TAVELIN_PCAN_CHANNEL names, so that
// processes side by side each flash through their own adapter. On Linux
// each process names its bus in TAVELIN_BUS instead.
TPCANHandle chosenChannel()
{
#ifdef _WIN32
    const char* env = std::getenv("TAVELIN_PCAN_CHANNEL");
    if (env && *env) {
        char* end = nullptr;
        const long n = std::strtol(env, &end, 10);
        if (*end == '\0' && n >= 1 && n <= 16)
            return static_cast<TPCANHandle>(n <= 8 ? 0x50 + n : 0x500 + n);  // USBBUS9 is 0x509
    }
#endif
    return PCAN_USBBUS1;
}

}  // namespace

int InitHWInterface(int baudrate, DWORD claim)
{
    CAN_HW_Channel = chosenChannel();
    DWORD AddressFilter = claim | BASE_RX_ID1;
    TPCANStatus result = PCAN_ERROR_UNKNOWN;
    TPCANBaudrate code;
    if (codeOf(baudrate, code)) {
        result = CAN_Initialize(CAN_HW_Channel, code, 0, 0, 0);
        current_baudrate = code;
        current_kbit = baudrate;
    }
    if (result != PCAN_ERROR_OK) {
        std::cout << std::endl << "------ ERROR connecting Peak PCAN-USB ----------" << std::endl;
        return -1;
    }
    current_filter = AddressFilter;
    setUpChannel(AddressFilter);
    std::cout << std::endl << "------ Connected with Peak PCAN-USB ----------" << std::endl;
    return 0;
}

int ReleaseHWInterface()
{
    return CAN_Uninitialize(CAN_HW_Channel) == PCAN_ERROR_OK ? 0 : -1;
}

int SendCANMessage(CAN_msg_T out_msg)
{
    // A frame holds at most 8 data bytes: a longer dlc is refused rather than
    // read past the record.
    if (out_msg.dlc > 8)
        return -1;
    TPCANMsg m{};
    m.MSGTYPE = out_msg.type != 0 ? PCAN_MESSAGE_EXTENDED : PCAN_MESSAGE_STANDARD;
    m.ID = out_msg.ID;
    m.LEN = out_msg.dlc;
    std::memcpy(m.DATA, out_msg.data, out_msg.dlc);
    TPCANStatus s = CAN_Write(CAN_HW_Channel, &m);
    if ((s & ~PCAN_ERROR_ANYBUSERR) != 0)
        return -1;
    bus_log.sent(m.ID, out_msg.type != 0, m.LEN, m.DATA);
    OutputCANMessage(&out_msg);
    return 0;
}

int ReceiveCANMessage(CAN_msg_T* rec_msg, uint32_t timeout_ms)
{
    const uint64_t start = nowMs();
    // Where the adapter library offers a receive event, wait on it instead of
    // spinning on CAN_Read; otherwise poll the queue as fast as it answers.
    // Linux: the library's descriptor, readable while frames are queued.
    // Windows: our event, which the library accepted at initialisation.
#ifdef _WIN32
    HANDLE event = nullptr;
    if (CAN_GetValue(CAN_HW_Channel, PCAN_RECEIVE_EVENT, &event, sizeof event) != PCAN_ERROR_OK)
        event = nullptr;
#else
    int event = -1;
    if (CAN_GetValue(CAN_HW_Channel, PCAN_RECEIVE_EVENT, &event, sizeof event) != PCAN_ERROR_OK)
        event = -1;
#endif
    TPCANMsg m;
    TPCANTimestamp ts;
    for (;;) {
        uint64_t elapsed = nowMs() - start;
        if (elapsed > timeout_ms)
            return -1;
        // A read reports its bus state with the message: only a result with
        // a bit outside the bus-state bits (the empty queue) read nothing.
        if ((CAN_Read(CAN_HW_Channel, &m, &ts) & ~PCAN_ERROR_ANYBUSERR) != 0) {
            // A limit of 0 takes only what is queued already (a drain): no wait.
            if (timeout_ms == 0)
                return -1;
            // Until one millisecond past the limit, so that the next pass
            // sees it run out (in slices, for limits beyond an int).
            const uint64_t left = timeout_ms - elapsed + 1;
            const int slice = static_cast<int>(left < 1000 ? left : 1000);
#ifdef _WIN32
            if (event)
                ::WaitForSingleObject(event, static_cast<DWORD>(slice));
#else
            if (event >= 0) {
                pollfd p{event, POLLIN, 0};
                ::poll(&p, 1, slice);
            }
#endif
            continue;
        }
        // A status or error-frame message of the adapter is never an answer.
        if (m.MSGTYPE & (PCAN_MESSAGE_STATUS | PCAN_MESSAGE_ERRFRAME))
            continue;
        const uint64_t adapterUs =
            ((static_cast<uint64_t>(ts.millis_overflow) << 32) + ts.millis) * 1000u + ts.micros;
        bus_log.received(m.ID, (m.MSGTYPE & PCAN_MESSAGE_EXTENDED) != 0, m.LEN, m.DATA, adapterUs);
        DWORD family = m.ID & 0xFFFFFF00u;
        if (family == BASE_RX_ID1 || family == BASE_RX_ID2)
            break;
    }
    // A classic frame carries at most 8 bytes: a larger length from the
    // adapter is clamped here, so that no caller reads past data[].
    const uint8_t len = m.LEN > 8 ? 8 : m.LEN;
    rec_msg->type = m.MSGTYPE;
    rec_msg->ID = m.ID;
    rec_msg->dlc = len;
    rec_msg->timestamp = ts.millis;
    std::memcpy(rec_msg->data, m.DATA, len);
    OutputCANMessage(rec_msg);
    return 0;
}

int GetHWInterfaceStatus(char* output_message)
{
    TPCANStatus s = CAN_GetStatus(CAN_HW_Channel);
    if (s == PCAN_ERROR_OK) {
        if (output_message)
            std::strcpy(output_message, "OK");
        return 0;
    }
    if (output_message)
        std::strcpy(output_message, statusText(s));
    // A warning state is left alone: a reset would throw away the answers
    // already queued, at every poll, while the controller still works.
    if ((s & ~kWarningStates) == 0)
        return -1;
    CAN_Reset(CAN_HW_Channel);
    const TPCANBaudrate code = static_cast<TPCANBaudrate>(current_baudrate);
    TPCANStatus r = CAN_Initialize(CAN_HW_Channel, code, 0, 0, 0);
    bool opened = s == PCAN_ERROR_INITIALIZE;  // the channel was closed
    // A library that does not initialise an open channel again (the maker's,
    // whose CAN_Reset only empties the queues, so that a bus-off controller
    // would stay off) gets the channel closed and opened at the same rate.
    if (r == PCAN_ERROR_INITIALIZE) {
        CAN_Uninitialize(CAN_HW_Channel);
        r = CAN_Initialize(CAN_HW_Channel, code, 0, 0, 0);
        opened = true;
    }
    // A channel opened afresh has the library's defaults: the filter again.
    if (opened && r == PCAN_ERROR_OK)
        setUpChannel(current_filter);
    return -1;
}

int StartBusLog(const char* path)
{
    if (!path || !bus_log.open(path, "Tavelin " TAVELIN_VERSION, current_kbit))
        return -1;
    return 0;
}

void StopBusLog() { bus_log.close(); }
