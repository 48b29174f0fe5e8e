// SocketCAN error frames as PCAN-Basic messages. Pure functions, so that the
// mapping can be tested on a machine whose kernel has no CAN.
#ifndef TAVELIN_PCAN_ERROR_FRAMES_H
#define TAVELIN_PCAN_ERROR_FRAMES_H

#include <cstdint>

#include "PCANBasic.h"

namespace pcan {

// What one error frame of the kernel says. errorClass is the frame's can_id
// without CAN_ERR_FLAG (the CAN_ERR_* class bits), data its eight bytes.
struct ErrorReport {
    bool hasErrorFrame = false;  // a bus error: errorFrame holds it (PCAN_MESSAGE_ERRFRAME)
    TPCANMsg errorFrame{};
    bool hasStatus = false;  // the controller changed state: status holds the new one
    TPCANStatus status = PCAN_ERROR_OK;
    bool busOff = false;
};
ErrorReport reportOfErrorFrame(uint32_t errorClass, const uint8_t data[8]);

// The PCAN_MESSAGE_STATUS message that announces a status. (Inline: the
// Windows stand-in, which has no error frames, queues these too.)
inline TPCANMsg statusMessage(TPCANStatus status)
{
    TPCANMsg m{};
    m.MSGTYPE = PCAN_MESSAGE_STATUS;
    m.LEN = 4;
    for (int i = 0; i < 4; ++i)
        m.DATA[i] = static_cast<uint8_t>(status >> (24 - 8 * i));
    return m;
}

// The kernel's error classes the channel listens to (CAN_RAW_ERR_FILTER).
uint32_t errorClassesHeard();

}  // namespace pcan

#endif
