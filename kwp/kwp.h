// kwp: KWP diagnostic messages on CAN with ISO 15765-2 framing, through brivex.
#ifndef KWP_H
#define KWP_H

#include <stdint.h>

#include "brivex.h"

#if defined(_WIN32)
#  if defined(BUILD_DLL_KWP)
#    define KWP_API __declspec(dllexport)
#  else
#    define KWP_API __declspec(dllimport)
#  endif
#else
#  if defined(BUILD_DLL_KWP)
#    define KWP_API __attribute__((visibility("default")))
#  else
#    define KWP_API
#  endif
#endif

#define KWP_MAX_PAYLOAD 1100

// One KWP message: the service identifier and the bytes after it.
struct KWP_msg_T {
    uint8_t SID;
    uint32_t len;  // message length counting the SID: 1..1101
    uint8_t payload[KWP_MAX_PAYLOAD];
};

// 0 sent; -1 single frame not written, or no flow control within 1000 ms;
// -2 the flow control is not continue-to-send; -3 a segment was not written.
KWP_API int KWPonCAN_Send(uint8_t can_id_type, uint32_t can_id, KWP_msg_T* send_msg);
// 0 a single-frame message was stored; -1 none within timeout, or not a single frame.
KWP_API int KWPonCAN_Receive(uint32_t* can_id, KWP_msg_T* rec_msg, uint32_t timeout);
// 0 positive response; 1..255 negative response code; -1/-2/-3 send failure,
// or -1 when no matching response arrived within timeout after sending.
// *msg_in_id 0xFFFFFFFF accepts any sender and receives the sender's identifier.
KWP_API int KWPonCAN_SendAndReceive(uint32_t msg_out_id, KWP_msg_T* msg_out, uint32_t* msg_in_id,
                                    KWP_msg_T* msg_in, uint32_t timeout);

#endif
