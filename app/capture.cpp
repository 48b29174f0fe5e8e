#include "capture.h"

#include <cstring>

#include "brivex.h"
#include "kwp.h"

namespace capture {

namespace {
// The code with which a powering-up ECU is asked to stay in its bootloader.
const uint8_t kCaptureCode[6] = {0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69};
constexpr uint32_t kBroadcastId = 0x18DAFFF9;
}  // namespace

void sendCaptureRequest()
{
    KWP_msg_T msg;
    msg.SID = 0x80;
    msg.len = 7;
    for (int i = 0; i < 6; ++i)
        msg.payload[i] = kCaptureCode[i];
    KWPonCAN_Send(1, kBroadcastId, &msg);
}

void sendAddressClaim()
{
    CAN_msg_T claim;
    claim.type = 1;
    claim.ID = 0x18EEFFF9;
    claim.dlc = 8;
    const uint8_t name[8] = {0xFF, 0xFF, 0xDF, 0x0B, 0x00, 0x81, 0x00, 0x00};
    std::memcpy(claim.data, name, 8);
    claim.timestamp = 0;
    SendCANMessage(claim);
}

bool ecuPresent(exchange::Exchanger& exchanger)
{
    KWP_msg_T request;
    request.SID = 0x3E;
    request.len = 1;
    KWP_msg_T answer;
    answer.SID = 0;
    // Only the positive response counts.
    const int r = exchanger.exchange(request, answer, kPresenceTimeoutMs);
    return r == 0 || r == exchange::kMoreThanOneEcu;
}

}  // namespace capture
