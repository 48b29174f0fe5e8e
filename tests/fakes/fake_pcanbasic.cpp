#include "fake_pcanbasic.h"

#include <cstdarg>
#include <cstdio>
#include <cstdint>

#include <unistd.h>

#define PCAN_API extern "C" __attribute__((visibility("default")))

FakePcan& fakePcan()
{
    static FakePcan f;
    return f;
}

static void record(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void record(const char* fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fakePcan().calls.push_back(buf);
}

PCAN_API TPCANStatus CAN_Initialize(TPCANHandle c, TPCANBaudrate b, TPCANType t, DWORD io, WORD irq)
{
    record("CAN_Initialize %02X %04X %u %u %u", c, b, t, io, irq);
    return fakePcan().initResult;
}
PCAN_API TPCANStatus CAN_Uninitialize(TPCANHandle c)
{
    record("CAN_Uninitialize %02X", c);
    return fakePcan().uninitResult;
}
PCAN_API TPCANStatus CAN_Reset(TPCANHandle c)
{
    record("CAN_Reset %02X", c);
    return PCAN_ERROR_OK;
}
PCAN_API TPCANStatus CAN_GetStatus(TPCANHandle c)
{
    record("CAN_GetStatus %02X", c);
    return fakePcan().status;
}
PCAN_API TPCANStatus CAN_Read(TPCANHandle, TPCANMsg* m, TPCANTimestamp* ts)
{
    auto& f = fakePcan();
    ++f.reads;
    std::lock_guard<std::mutex> lock(f.rxLock);
    if (f.rx.empty())
        return PCAN_ERROR_QRCVEMPTY;
    *m = f.rx.front().first;
    ts->millis = f.rx.front().second;
    ts->millis_overflow = 0;
    ts->micros = 0;
    f.rx.erase(f.rx.begin());
    uint64_t v;
    if (f.rx.empty() && f.receiveEvent >= 0)
        (void)!::read(f.receiveEvent, &v, sizeof v);  // readable only while frames wait
    return PCAN_ERROR_OK;
}
PCAN_API TPCANStatus CAN_Write(TPCANHandle c, TPCANMsg* m)
{
    record("CAN_Write %02X", c);
    fakePcan().written.push_back(*m);
    return fakePcan().writeResult;
}
PCAN_API TPCANStatus CAN_FilterMessages(TPCANHandle c, DWORD from, DWORD to, TPCANMode mode)
{
    record("CAN_FilterMessages %02X %08X %08X %u", c, from, to, mode);
    return PCAN_ERROR_OK;
}
PCAN_API TPCANStatus CAN_SetValue(TPCANHandle c, TPCANParameter p, void* buf, DWORD len)
{
    record("CAN_SetValue %02X %02X %02X %u", c, p, *static_cast<BYTE*>(buf), len);
    return PCAN_ERROR_OK;
}
PCAN_API TPCANStatus CAN_GetValue(TPCANHandle c, TPCANParameter p, void* buf, DWORD len)
{
    if (p != PCAN_RECEIVE_EVENT || len < sizeof(int) || fakePcan().receiveEvent < 0)
        return PCAN_ERROR_ILLPARAMTYPE;
    (void)c;
    *static_cast<int*>(buf) = fakePcan().receiveEvent;
    return PCAN_ERROR_OK;
}
