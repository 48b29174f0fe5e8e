// Test double of libpcanbasic: scripted results and frames, every call recorded.
#ifndef TAVELIN_FAKE_PCANBASIC_H
#define TAVELIN_FAKE_PCANBASIC_H

#include <string>
#include <vector>

#include "PCANBasic.h"

#define FAKE_API __attribute__((visibility("default")))

struct FakePcan {
    std::vector<std::string> calls;      // "CAN_Initialize 51 011C 0 0 0", ...
    std::vector<TPCANMsg> written;
    std::vector<std::pair<TPCANMsg, DWORD>> rx;  // frames to read, with their millis
    TPCANStatus initResult = PCAN_ERROR_OK;
    TPCANStatus writeResult = PCAN_ERROR_OK;
    TPCANStatus status = PCAN_ERROR_OK;
    TPCANStatus uninitResult = PCAN_ERROR_OK;
};

FAKE_API FakePcan& fakePcan();  // the state; reset it with fakePcan() = FakePcan()

#endif
