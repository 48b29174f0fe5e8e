// PCAN-Basic compatible C API of the Tavelin CAN platform layer.
//
// The names, types and values are those of PEAK-System's PCAN-Basic, so that
// code written against it (brivex) builds unchanged, and a machine with the
// vendor's own libpcanbasic.so can use that library in place of ours. On
// Windows the same declarations bind to the vendor's PCANBasic.dll: the
// integer types are those of <windows.h> (DWORD is unsigned long there) and
// the functions use the vendor's calling convention.
#ifndef PCANBASIC_H
#define PCANBASIC_H

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#define PCAN_CALL __stdcall
#else
#define PCAN_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef _WIN32
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
#endif

#ifdef _WIN32
// The vendor's current PCANBasic.dll takes a 16-bit channel handle: a one-byte
// argument would leave the upper bits of its register undefined there. A
// handle fits in one byte (0x51), so older DLLs read the same value.
typedef WORD TPCANHandle;
#else
typedef BYTE TPCANHandle;
#endif
typedef DWORD TPCANStatus;
typedef BYTE TPCANParameter;
typedef BYTE TPCANMessageType;
typedef BYTE TPCANType;
typedef BYTE TPCANMode;
typedef WORD TPCANBaudrate;
typedef char* TPCANBitrateFD;
typedef uint64_t TPCANTimestampFD;

/* Channel handles */
#define PCAN_NONEBUS ((TPCANHandle)0x00U)
#define PCAN_USBBUS1 ((TPCANHandle)0x51U)

/* Status and error codes */
#define PCAN_ERROR_OK ((TPCANStatus)0x00000U)
#define PCAN_ERROR_XMTFULL ((TPCANStatus)0x00001U)
#define PCAN_ERROR_OVERRUN ((TPCANStatus)0x00002U)
#define PCAN_ERROR_BUSLIGHT ((TPCANStatus)0x00004U)
#define PCAN_ERROR_BUSHEAVY ((TPCANStatus)0x00008U)
#define PCAN_ERROR_BUSOFF ((TPCANStatus)0x00010U)
/* Also named BUSWARNING: an error counter reached the warning limit. */
#define PCAN_ERROR_BUSWARNING PCAN_ERROR_BUSHEAVY
/* The bus-state bits (0x4001C). A result of CAN_Read or CAN_Write that
   carries no other bit is a success reported in that bus state. */
#define PCAN_ERROR_ANYBUSERR                                                 \
    ((TPCANStatus)(PCAN_ERROR_BUSLIGHT | PCAN_ERROR_BUSHEAVY | PCAN_ERROR_BUSOFF | \
                   PCAN_ERROR_BUSPASSIVE))
#define PCAN_ERROR_QRCVEMPTY ((TPCANStatus)0x00020U)
#define PCAN_ERROR_QOVERRUN ((TPCANStatus)0x00040U)
#define PCAN_ERROR_QXMTFULL ((TPCANStatus)0x00080U)
#define PCAN_ERROR_REGTEST ((TPCANStatus)0x00100U)
#define PCAN_ERROR_NODRIVER ((TPCANStatus)0x00200U)
#define PCAN_ERROR_HWINUSE ((TPCANStatus)0x00400U)
#define PCAN_ERROR_NETINUSE ((TPCANStatus)0x00800U)
#define PCAN_ERROR_ILLHW ((TPCANStatus)0x01400U)
#define PCAN_ERROR_ILLNET ((TPCANStatus)0x01800U)
#define PCAN_ERROR_ILLCLIENT ((TPCANStatus)0x01C00U)
#define PCAN_ERROR_ILLHANDLE ((TPCANStatus)0x01C00U)
#define PCAN_ERROR_RESOURCE ((TPCANStatus)0x02000U)
#define PCAN_ERROR_ILLPARAMTYPE ((TPCANStatus)0x04000U)
#define PCAN_ERROR_ILLPARAMVAL ((TPCANStatus)0x08000U)
#define PCAN_ERROR_UNKNOWN ((TPCANStatus)0x10000U)
#define PCAN_ERROR_ILLDATA ((TPCANStatus)0x20000U)
#define PCAN_ERROR_BUSPASSIVE ((TPCANStatus)0x40000U)
#define PCAN_ERROR_ILLMODE ((TPCANStatus)0x80000U)
#define PCAN_ERROR_CAUTION ((TPCANStatus)0x2000000U)
#define PCAN_ERROR_INITIALIZE ((TPCANStatus)0x4000000U)
#define PCAN_ERROR_ILLOPERATION ((TPCANStatus)0x8000000U)

/* Parameters and their values. On/off and numeric values are DWORDs (an
   on/off value may also be passed as one BYTE); strings are zero-terminated
   and need a buffer that holds them whole. */
#define PCAN_DEVICE_ID ((TPCANParameter)0x01U)
/* Linux: CAN_GetValue gives an int file descriptor, readable while frames are
   queued. Windows: CAN_SetValue takes a HANDLE of an event that the library
   sets when a frame arrives. */
#define PCAN_RECEIVE_EVENT ((TPCANParameter)0x03U)
#define PCAN_MESSAGE_FILTER ((TPCANParameter)0x04U)
#define PCAN_API_VERSION ((TPCANParameter)0x05U)
#define PCAN_BUSOFF_AUTORESET ((TPCANParameter)0x07U)
#define PCAN_LISTEN_ONLY ((TPCANParameter)0x08U)
#define PCAN_CHANNEL_CONDITION ((TPCANParameter)0x0DU)
#define PCAN_RECEIVE_STATUS ((TPCANParameter)0x0FU)
#define PCAN_CHANNEL_FEATURES ((TPCANParameter)0x16U)
#define PCAN_BITRATE_INFO ((TPCANParameter)0x18U)
#define PCAN_BUSSPEED_NOMINAL ((TPCANParameter)0x1AU)
#define PCAN_ALLOW_STATUS_FRAMES ((TPCANParameter)0x1EU)
#define PCAN_ALLOW_ERROR_FRAMES ((TPCANParameter)0x20U)
#define PCAN_PARAMETER_OFF 0x00U
#define PCAN_PARAMETER_ON 0x01U
#define PCAN_FILTER_CLOSE 0x00U
#define PCAN_FILTER_OPEN 0x01U
#define PCAN_FILTER_CUSTOM 0x02U
#define PCAN_CHANNEL_UNAVAILABLE 0x00U
#define PCAN_CHANNEL_AVAILABLE 0x01U
#define PCAN_CHANNEL_OCCUPIED 0x02U
#define FEATURE_FD_CAPABLE 0x01U

/* Message types (OR-ed flags) */
#define PCAN_MESSAGE_STANDARD ((TPCANMessageType)0x00U)
#define PCAN_MESSAGE_RTR ((TPCANMessageType)0x01U)
#define PCAN_MESSAGE_EXTENDED ((TPCANMessageType)0x02U)
#define PCAN_MESSAGE_FD ((TPCANMessageType)0x04U)
#define PCAN_MESSAGE_BRS ((TPCANMessageType)0x08U)
#define PCAN_MESSAGE_ESI ((TPCANMessageType)0x10U)
/* An error frame seen on the bus (with PCAN_ALLOW_ERROR_FRAMES on). ID: the
   kind of error, 1 bit, 2 form, 4 stuff, 8 other; LEN 4; DATA[0]: 0 while
   transmitting, 1 while receiving; DATA[1]: the error code capture (bits 7-6
   the kind 0 bit .. 3 other, bit 5 set while receiving, bits 4-0 the place in
   the frame); DATA[2]: receive error counter; DATA[3]: transmit error counter. */
#define PCAN_MESSAGE_ERRFRAME ((TPCANMessageType)0x40U)
/* A change of the bus status (with PCAN_ALLOW_ERROR_FRAMES and
   PCAN_ALLOW_STATUS_FRAMES on). ID 0; LEN 4; DATA[0..3]: the new status code
   (PCAN_ERROR_OK, _BUSLIGHT, _BUSHEAVY, _BUSOFF, _OVERRUN), most significant
   byte first. */
#define PCAN_MESSAGE_STATUS ((TPCANMessageType)0x80U)

/* Filter modes */
#define PCAN_MODE_STANDARD ((TPCANMode)0x00U)
#define PCAN_MODE_EXTENDED ((TPCANMode)0x02U)

/* Bit-timing codes (BTR0/BTR1) */
#define PCAN_BAUD_1M ((TPCANBaudrate)0x0014U)
#define PCAN_BAUD_500K ((TPCANBaudrate)0x001CU)
#define PCAN_BAUD_250K ((TPCANBaudrate)0x011CU)
#define PCAN_BAUD_125K ((TPCANBaudrate)0x031CU)
#define PCAN_BAUD_100K ((TPCANBaudrate)0x432FU)
#define PCAN_BAUD_50K ((TPCANBaudrate)0x472FU)
#define PCAN_BAUD_10K ((TPCANBaudrate)0x672FU)

typedef struct tagTPCANMsg {
    DWORD ID;
    TPCANMessageType MSGTYPE;
    BYTE LEN;
    BYTE DATA[8];
} TPCANMsg;

typedef struct tagTPCANTimestamp {
    DWORD millis;
    WORD millis_overflow;
    WORD micros;
} TPCANTimestamp;

typedef struct tagTPCANMsgFD {
    DWORD ID;
    TPCANMessageType MSGTYPE;
    BYTE DLC;
    BYTE DATA[64];
} TPCANMsgFD;

TPCANStatus PCAN_CALL CAN_Initialize(TPCANHandle Channel, TPCANBaudrate Btr0Btr1, TPCANType HwType,
                           DWORD IOPort, WORD Interrupt);
TPCANStatus PCAN_CALL CAN_Uninitialize(TPCANHandle Channel);
TPCANStatus PCAN_CALL CAN_Reset(TPCANHandle Channel);
TPCANStatus PCAN_CALL CAN_GetStatus(TPCANHandle Channel);
TPCANStatus PCAN_CALL CAN_Read(TPCANHandle Channel, TPCANMsg* MessageBuffer,
                     TPCANTimestamp* TimestampBuffer);
TPCANStatus PCAN_CALL CAN_Write(TPCANHandle Channel, TPCANMsg* MessageBuffer);
TPCANStatus PCAN_CALL CAN_FilterMessages(TPCANHandle Channel, DWORD FromID, DWORD ToID, TPCANMode Mode);
TPCANStatus PCAN_CALL CAN_SetValue(TPCANHandle Channel, TPCANParameter Parameter, void* Buffer,
                         DWORD BufferLength);
TPCANStatus PCAN_CALL CAN_GetValue(TPCANHandle Channel, TPCANParameter Parameter, void* Buffer,
                         DWORD BufferLength);
/* Buffer: at least 256 bytes. Language: 0x00 neutral or a primary language
   id (0x07, 0x09, 0x0A, 0x0C, 0x10); the texts are English. */
TPCANStatus PCAN_CALL CAN_GetErrorText(TPCANStatus Error, WORD Language, char* Buffer);
/* Parameters: "devicetype=PCAN_USB, controllernumber=0, deviceid=N", any of them. */
TPCANStatus PCAN_CALL CAN_LookUpChannel(char* Parameters, TPCANHandle* FoundChannel);
/* CAN FD: not available on this channel (PCAN_ERROR_ILLOPERATION). */
TPCANStatus PCAN_CALL CAN_InitializeFD(TPCANHandle Channel, TPCANBitrateFD BitrateFD);
TPCANStatus PCAN_CALL CAN_ReadFD(TPCANHandle Channel, TPCANMsgFD* MessageBuffer,
                       TPCANTimestampFD* TimestampBuffer);
TPCANStatus PCAN_CALL CAN_WriteFD(TPCANHandle Channel, TPCANMsgFD* MessageBuffer);

#ifdef __cplusplus
}
#endif

#endif
