// brivex: the CAN hardware interface library. Opens the PCAN-USB channel,
// writes and receives single frames with the tester's identifier filter,
// reports and repairs the bus state, traces every frame on stdout and, on
// request, logs the frames of a run to a file.
#ifndef BRIVEX_H
#define BRIVEX_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(BUILD_DLL_BRIVEX)
#    define BRIVEX_API __declspec(dllexport)
#  else
#    define BRIVEX_API __declspec(dllimport)
#  endif
#else
#  if defined(BUILD_DLL_BRIVEX)
#    define BRIVEX_API __attribute__((visibility("default")))
#  else
#    define BRIVEX_API
#  endif
#endif

// 32 bits on every platform, as in PCAN-Basic: on Windows the type of
// <windows.h> (unsigned long), elsewhere uint32_t.
#if defined(_WIN32)
typedef unsigned long DWORD;
#else
typedef uint32_t DWORD;
#endif

// Identifier families admitted on reception (the low byte is the sender).
#define BASE_RX_ID1 0x18DAF900u  // physical messages to the tester address 0xF9
#define BASE_RX_ID2 0x18EEFF00u  // J1939 address claims to the global address

// One classic CAN frame.
struct CAN_msg_T {
    uint8_t type;       // send: 0 standard, else extended; receive: PCAN MSGTYPE flags
    uint32_t ID;        // identifier value, 11 or 29 bits
    uint8_t dlc;        // number of valid data bytes, 0..8
    uint8_t data[8];
    uint32_t timestamp; // receive: milliseconds of the adapter's clock
};

// 0 connected; -1 failed (unsupported bit rate or the adapter refused).
BRIVEX_API int InitHWInterface(int baudrate, DWORD claim);
// 0 closed; -1 the adapter refused.
BRIVEX_API int ReleaseHWInterface();
// 0 written; -1 not written.
BRIVEX_API int SendCANMessage(CAN_msg_T out_msg);
// 0 a frame was stored in *rec_msg; -1 time-out, *rec_msg untouched.
BRIVEX_API int ReceiveCANMessage(CAN_msg_T* rec_msg, uint32_t timeout_ms);
// 0 bus OK; -1 bad bus state (channel reset and re-initialised). Writes the
// state's word ("OK", "BUS LIGHT", ...) into output_message (>= 10 bytes) unless null.
BRIVEX_API int GetHWInterfaceStatus(char* output_message);

// The bus log: from StartBusLog until StopBusLog every frame sent and every
// frame read is also written to path (the adapter maker's text trace,
// version 1.1, with the bit rate of the last InitHWInterface), replacing a
// file there; a log already open is ended first. 0 started; -1 the file
// cannot be made (nothing is logged then).
BRIVEX_API int StartBusLog(const char* path);
// Ends the bus log, written to the disk; nothing happens without one.
BRIVEX_API void StopBusLog();

#endif
