#include "error_frames.h"

#include <linux/can.h>
#include <linux/can/error.h>

namespace pcan {

namespace {

// Kinds of bus error, in the ID of an error frame and bits 7-6 of its error
// code capture.
enum : uint8_t { kBit = 0, kForm = 1, kStuff = 2, kOther = 3 };

TPCANMsg errorFrameOf(uint8_t kind, bool receiving, uint8_t place, const uint8_t data[8])
{
    TPCANMsg m{};
    m.ID = 1u << kind;
    m.MSGTYPE = PCAN_MESSAGE_ERRFRAME;
    m.LEN = 4;
    m.DATA[0] = receiving ? 1 : 0;
    m.DATA[1] = static_cast<uint8_t>(kind << 6 | (receiving ? 0x20 : 0) | (place & 0x1F));
    m.DATA[2] = data[7];  // the kernel's receive error counter
    m.DATA[3] = data[6];  // transmit error counter
    return m;
}

}  // namespace

uint32_t errorClassesHeard()
{
    return CAN_ERR_PROT | CAN_ERR_ACK | CAN_ERR_BUSERROR | CAN_ERR_CRTL | CAN_ERR_BUSOFF |
           CAN_ERR_RESTARTED;
}

ErrorReport reportOfErrorFrame(uint32_t errorClass, const uint8_t data[8])
{
    ErrorReport r;
    if (errorClass & CAN_ERR_PROT) {
        const uint8_t type = data[2];
        uint8_t kind = kOther;
        if (type & (CAN_ERR_PROT_BIT | CAN_ERR_PROT_BIT0 | CAN_ERR_PROT_BIT1))
            kind = kBit;
        else if (type & CAN_ERR_PROT_FORM)
            kind = kForm;
        else if (type & CAN_ERR_PROT_STUFF)
            kind = kStuff;
        // The kernel's places in the frame are the SJA1000's segment codes.
        r.errorFrame = errorFrameOf(kind, !(type & CAN_ERR_PROT_TX), data[3], data);
        r.hasErrorFrame = true;
    } else if (errorClass & CAN_ERR_ACK) {
        r.errorFrame = errorFrameOf(kOther, false, CAN_ERR_PROT_LOC_ACK, data);
        r.hasErrorFrame = true;
    } else if (errorClass & CAN_ERR_BUSERROR) {
        r.errorFrame = errorFrameOf(kOther, true, CAN_ERR_PROT_LOC_UNSPEC, data);
        r.hasErrorFrame = true;
    }
    // The state the frame announces; the most severe one wins.
    if (errorClass & CAN_ERR_BUSOFF) {
        r.status = PCAN_ERROR_BUSOFF;
        r.busOff = r.hasStatus = true;
    } else if (errorClass & CAN_ERR_CRTL) {
        const uint8_t c = data[1];
        r.hasStatus = true;
        if (c & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE))
            r.status = PCAN_ERROR_BUSHEAVY;
        else if (c & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING))
            r.status = PCAN_ERROR_BUSLIGHT;
        else if (c & (CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW))
            r.status = PCAN_ERROR_OVERRUN;
        else if (c & CAN_ERR_CRTL_ACTIVE)
            r.status = PCAN_ERROR_OK;
        else
            r.hasStatus = false;
    } else if (errorClass & CAN_ERR_RESTARTED) {
        r.status = PCAN_ERROR_OK;
        r.hasStatus = true;
    }
    return r;
}

}  // namespace pcan
