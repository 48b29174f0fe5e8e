#include "fake_pcanbasic.h"

#include <cstdarg>
#include <cstdio>
#include <cstdint>

#ifdef _WIN32
#define PCAN_API extern "C" __declspec(dllexport)
#else
#include <unistd.h>
#define PCAN_API extern "C" __attribute__((visibility("default")))
#endif

FakePcan& fakePcan()
{
    static FakePcan f;
    return f;
}

static void record(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
static void record(const char* fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fakePcan().calls.push_back(buf);
}

PCAN_API TPCANStatus PCAN_CALL CAN_Initialize(TPCANHandle c, TPCANBaudrate b, TPCANType t, DWORD io, WORD irq)
{
    record("CAN_Initialize %02X %04X %u %u %u", c, b, t, static_cast<unsigned>(io), irq);
    auto& f = fakePcan();
    if (f.initAnswers.empty())
        return f.initResult;
    const TPCANStatus r = f.initAnswers.front();
    f.initAnswers.erase(f.initAnswers.begin());
    return r;
}
PCAN_API TPCANStatus PCAN_CALL CAN_Uninitialize(TPCANHandle c)
{
    record("CAN_Uninitialize %02X", c);
    return fakePcan().uninitResult;
}
PCAN_API TPCANStatus PCAN_CALL CAN_Reset(TPCANHandle c)
{
    record("CAN_Reset %02X", c);
    return PCAN_ERROR_OK;
}
PCAN_API TPCANStatus PCAN_CALL CAN_GetStatus(TPCANHandle c)
{
    record("CAN_GetStatus %02X", c);
    return fakePcan().status;
}
PCAN_API TPCANStatus PCAN_CALL CAN_Read(TPCANHandle, TPCANMsg* m, TPCANTimestamp* ts)
{
    auto& f = fakePcan();
    ++f.reads;
    std::lock_guard<std::mutex> lock(f.rxLock);
    if (f.rx.empty())
        return PCAN_ERROR_QRCVEMPTY | f.readBits;
    *m = f.rx.front().first;
    ts->millis = f.rx.front().second;
    ts->millis_overflow = 0;
    ts->micros = 0;
    f.rx.erase(f.rx.begin());
#ifndef _WIN32
    uint64_t v;
    if (f.rx.empty() && f.receiveEvent >= 0)
        (void)!::read(f.receiveEvent, &v, sizeof v);  // readable only while frames wait
#endif
    return f.readBits;
}
PCAN_API TPCANStatus PCAN_CALL CAN_Write(TPCANHandle c, TPCANMsg* m)
{
    record("CAN_Write %02X", c);
    fakePcan().written.push_back(*m);
    return fakePcan().writeResult;
}
PCAN_API TPCANStatus PCAN_CALL CAN_FilterMessages(TPCANHandle c, DWORD from, DWORD to, TPCANMode mode)
{
    record("CAN_FilterMessages %02X %08X %08X %u", c, static_cast<unsigned>(from), static_cast<unsigned>(to), mode);
    return PCAN_ERROR_OK;
}
PCAN_API TPCANStatus PCAN_CALL CAN_SetValue(TPCANHandle c, TPCANParameter p, void* buf, DWORD len)
{
#ifdef _WIN32
    if (p == PCAN_RECEIVE_EVENT) {
        record("CAN_SetValue %02X 03 event %u", c, static_cast<unsigned>(len));
        if (!fakePcan().offerEvent || len != sizeof(HANDLE))
            return PCAN_ERROR_ILLPARAMTYPE;
        fakePcan().receiveEvent = *static_cast<HANDLE*>(buf);
        return PCAN_ERROR_OK;
    }
#endif
    record("CAN_SetValue %02X %02X %02X %u", c, p, *static_cast<BYTE*>(buf), static_cast<unsigned>(len));
    return PCAN_ERROR_OK;
}
PCAN_API TPCANStatus PCAN_CALL CAN_GetValue(TPCANHandle c, TPCANParameter p, void* buf, DWORD len)
{
    (void)c;
#ifdef _WIN32
    if (p != PCAN_RECEIVE_EVENT || len < sizeof(HANDLE) || !fakePcan().receiveEvent)
        return PCAN_ERROR_ILLPARAMTYPE;
    *static_cast<HANDLE*>(buf) = fakePcan().receiveEvent;
#else
    if (p != PCAN_RECEIVE_EVENT || len < sizeof(int) || fakePcan().receiveEvent < 0)
        return PCAN_ERROR_ILLPARAMTYPE;
    *static_cast<int*>(buf) = fakePcan().receiveEvent;
#endif
    return PCAN_ERROR_OK;
}
