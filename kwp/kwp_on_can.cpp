#include "kwp.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

namespace {

constexpr uint32_t kFlowControlTimeoutMs = 1000;
constexpr uint32_t kAnyId = 0xFFFFFFFFu;

uint64_t nowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count());
}

void OutputKWPMessage(const KWP_msg_T* msg, int direction)
{
    std::cout << std::endl;
    std::cout << (direction > 0 ? "Inviato: " : "Ricevuto: ");
    char buf[16];
    std::snprintf(buf, sizeof buf, "SID=%X", msg->SID);
    std::cout << buf << " data: ";
    uint32_t n = msg->len == 0 ? 0 : msg->len - 1;
    if (n > KWP_MAX_PAYLOAD)
        n = KWP_MAX_PAYLOAD;
    for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X ", msg->payload[i]);
        std::cout << buf;
    }
    std::cout << std::endl;
}

CAN_msg_T frameFor(uint8_t type, uint32_t id)
{
    CAN_msg_T f;
    std::memset(&f, 0, sizeof f);
    f.type = type;
    f.ID = id;
    f.dlc = 8;
    return f;
}

}  // namespace

int KWPonCAN_Send(uint8_t can_id_type, uint32_t can_id, KWP_msg_T* send_msg)
{
    const uint32_t len = send_msg->len;
    // Outside 1..1101 there is no valid framing: refuse before anything goes out.
    if (len == 0 || len > KWP_MAX_PAYLOAD + 1)
        return -1;
    CAN_msg_T f = frameFor(can_id_type, can_id);
    if (len <= 7) {
        f.data[0] = static_cast<uint8_t>(len);
        f.data[1] = send_msg->SID;
        std::memcpy(&f.data[2], send_msg->payload, len - 1);
        int r = SendCANMessage(f);
        if (r != 0)
            return r;
        OutputKWPMessage(send_msg, 1);
        return 0;
    }
    f.data[0] = static_cast<uint8_t>(0x10 | ((len >> 8) & 0x0F));
    f.data[1] = static_cast<uint8_t>(len & 0xFF);
    f.data[2] = send_msg->SID;
    std::memcpy(&f.data[3], send_msg->payload, 5);
    if (SendCANMessage(f) != 0)
        return -3;

    // Exactly one flow control, from any admitted identifier.
    CAN_msg_T fc;
    std::memset(&fc, 0, sizeof fc);
    if (ReceiveCANMessage(&fc, kFlowControlTimeoutMs) != 0)
        return -1;
    if (fc.data[0] != 0x30)
        return -2;
    const uint8_t multiframe_period = fc.data[2];

    uint32_t payload_index = 5;
    uint8_t cf_counter = 0x21;
    while (payload_index < len - 1) {
        if (multiframe_period)
            std::this_thread::sleep_for(std::chrono::milliseconds(multiframe_period));
        CAN_msg_T cf = frameFor(can_id_type, can_id);
        cf.data[0] = cf_counter;
        for (int k = 1; k <= 7; ++k)
            cf.data[k] = payload_index < len - 1 ? send_msg->payload[payload_index++] : 0xFF;
        if (SendCANMessage(cf) != 0)
            return -3;
        cf_counter = cf_counter == 0x2F ? 0x20 : static_cast<uint8_t>(cf_counter + 1);
    }
    return 0;
}

int KWPonCAN_Receive(uint32_t* can_id, KWP_msg_T* rec_msg, uint32_t timeout)
{
    CAN_msg_T f;
    std::memset(&f, 0, sizeof f);
    if (ReceiveCANMessage(&f, timeout) != 0)
        return -1;
    const uint8_t n = f.data[0];
    // Only single frames: 1..7 bytes that the frame's length really holds.
    if (n == 0 || n >= f.dlc)
        return -1;
    *can_id = f.ID;
    rec_msg->len = n;
    rec_msg->SID = f.data[1];
    std::memcpy(rec_msg->payload, &f.data[2], n - 1);
    OutputKWPMessage(rec_msg, -1);
    return 0;
}

int KWPonCAN_SendAndReceive(uint32_t msg_out_id, KWP_msg_T* msg_out, uint32_t* msg_in_id,
                            KWP_msg_T* msg_in, uint32_t timeout)
{
    int ret = KWPonCAN_Send(1, msg_out_id, msg_out);
    if (ret != 0)
        return ret;
    const uint64_t start = nowMs();
    const unsigned positive = static_cast<unsigned>(msg_out->SID) + 0x40;
    KWP_msg_T msg_rec;
    std::memset(&msg_rec, 0, sizeof msg_rec);
    for (;;) {
        uint64_t time_elapsed = nowMs() - start;
        if (time_elapsed > timeout)
            return -1;
        uint32_t id = 0;
        if (KWPonCAN_Receive(&id, &msg_rec, static_cast<uint32_t>(timeout - time_elapsed)) != 0)
            continue;
        if (*msg_in_id != kAnyId && id != *msg_in_id)
            continue;
        if (msg_rec.SID == positive) {
            *msg_in = msg_rec;
            if (*msg_in_id == kAnyId)
                *msg_in_id = id;
            return 0;
        }
        // A negative response must carry its code byte; a truncated one is ignored.
        if (msg_rec.SID == 0x7F && msg_rec.len >= 3 && msg_rec.payload[0] == msg_out->SID) {
            *msg_in = msg_rec;
            if (*msg_in_id == kAnyId)
                *msg_in_id = id;
            return msg_rec.payload[1];
        }
    }
}
