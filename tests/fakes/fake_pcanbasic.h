// Test double of libpcanbasic: scripted results and frames, every call recorded.
#ifndef TAVELIN_FAKE_PCANBASIC_H
#define TAVELIN_FAKE_PCANBASIC_H

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "PCANBasic.h"

#ifdef _WIN32
#define FAKE_API __declspec(dllexport)
#else
#define FAKE_API __attribute__((visibility("default")))
#endif

struct FakePcan {
    std::vector<std::string> calls;      // "CAN_Initialize 51 011C 0 0 0", ...
    std::vector<TPCANMsg> written;
    std::vector<std::pair<TPCANMsg, DWORD>> rx;  // frames to read, with their millis
    TPCANStatus initResult = PCAN_ERROR_OK;
    std::vector<TPCANStatus> initAnswers;  // CAN_Initialize's next results, before initResult
    TPCANStatus readBits = PCAN_ERROR_OK;  // OR-ed into every read's result (bus-state bits)
    TPCANStatus writeResult = PCAN_ERROR_OK;
    TPCANStatus status = PCAN_ERROR_OK;
    TPCANStatus uninitResult = PCAN_ERROR_OK;
#ifdef _WIN32
    bool offerEvent = false;    // accept the caller's event in CAN_SetValue(PCAN_RECEIVE_EVENT)
    HANDLE receiveEvent = nullptr;  // the event accepted, handed back by CAN_GetValue
#else
    int receiveEvent = -1;      // handed out by CAN_GetValue(PCAN_RECEIVE_EVENT); -1: not offered
#endif
    std::atomic<int> reads{0};  // CAN_Read calls
    std::mutex rxLock;          // rx may be filled from another thread

    FakePcan() = default;
    FakePcan& operator=(const FakePcan& o)
    {
        calls = o.calls;
        written = o.written;
        rx = o.rx;
        initResult = o.initResult;
        initAnswers = o.initAnswers;
        readBits = o.readBits;
        writeResult = o.writeResult;
        status = o.status;
        uninitResult = o.uninitResult;
        receiveEvent = o.receiveEvent;
#ifdef _WIN32
        offerEvent = o.offerEvent;
#endif
        reads = o.reads.load();
        return *this;
    }
};

FAKE_API FakePcan& fakePcan();  // the state; reset it with fakePcan() = FakePcan()

#endif
