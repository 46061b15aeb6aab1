/*
 * The RP1210C application interface of the TRAVONE driver (librp1210.so), for C and C++.
 *
 * Link with -lrp1210 (pkg-config rp1210, or CMake find_package(rp1210) and the target
 * rp1210::rp1210), or load the library with dlopen and look the functions up by name.
 * Functions return an RP1210 code (0 for success) unless stated; RP1210_ReadMessage
 * returns the number of bytes read, or a code negated.
 */
#ifndef RP1210_H
#define RP1210_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define RP1210_API __declspec(dllimport)
#else
#define RP1210_API __attribute__((visibility("default")))
#endif

/* ---- functions ---- */

/* hwndClient: an opaque window handle, unused on Linux (pass 0). Returns the client id
 * (1 to 16) or an error code (128 and above). */
RP1210_API short RP1210_ClientConnect(void* hwndClient, short nDeviceID, const char* fpchProtocol,
                                      long lTxBufferSize, long lRcvBufferSize,
                                      short nIsAppPacketizingIncomingMsgs);
RP1210_API short RP1210_ClientDisconnect(short nClientID);
RP1210_API short RP1210_SendMessage(short nClientID, char* fpchClientMessage, short nMessageSize,
                                    short nNotifyStatusOnTx, short nBlockOnSend);
RP1210_API short RP1210_ReadMessage(short nClientID, char* fpchAPIMessage, short nBufferSize,
                                    short nBlockOnRead);
RP1210_API short RP1210_SendCommand(short nCommandNumber, short nClientID, char* fpchClientCommand,
                                    short nMessageSize);
/* Each buffer receives a zero-terminated text of at most 4 characters. */
RP1210_API void RP1210_ReadVersion(char* fpchDLLMajorVersion, char* fpchDLLMinorVersion,
                                   char* fpchAPIMajorVersion, char* fpchAPIMinorVersion);
/* Each buffer must hold at least 17 bytes. */
RP1210_API short RP1210_ReadDetailedVersion(short nClientID, char* fpchAPIVersionInfo,
                                            char* fpchDLLVersionInfo, char* fpchFWVersionInfo);
RP1210_API short RP1210_GetHardwareStatus(short nClientID, char* fpchClientInfo, short nInfoSize,
                                          short nBlockOnRequest);
/* fpchDescription must hold at least 81 bytes. */
RP1210_API short RP1210_GetErrorMsg(short ErrorCode, char* fpchDescription);
RP1210_API short RP1210_GetLastErrorMsg(short ErrorCode, int* SubErrorCode, char* fpchDescription,
                                        short nClientID);
RP1210_API short RP1210_Ioctl(short nClientID, long nIoctlID, void* pInput, void* pOutput);

/* ---- reading, sending and echo ---- */
#define BLOCKING_IO 1
#define NON_BLOCKING_IO 0
#define BLOCK_INFINITE 0
#define CONVERTED_MODE 1
#define RAW_MODE 0
#define ECHO_OFF 0x00
#define ECHO_ON 0x01
#define RECEIVE_ON 0x01
#define RECEIVE_OFF 0x00
#define NOTIFICATION_NONE 0
#define APP_PACKETIZING 1
#define NO_APP_PACKETIZING 0

/* ---- filters ---- */
#define FILTER_PGN 0x01
#define FILTER_PRIORITY 0x02
#define FILTER_SOURCE 0x04
#define FILTER_DESTINATION 0x08
#define FILTER_INCLUSIVE 0x00
#define FILTER_EXCLUSIVE 0x01
#define STANDARD_CAN 0x00
#define EXTENDED_CAN 0x01
#define STANDARD_CAN_ISO15765_EXTENDED 0x02
#define EXTENDED_CAN_ISO15765_EXTENDED 0x03
#define STANDARD_MIXED_CAN_ISO15765 0x04
#define ISO15765_ACTUAL_MESSAGE 0x00
#define ISO15765_CONFIRM 0x01
#define ISO15765_FF_INDICATION 0x02

/* ---- J1939 address claim (command 19) ---- */
#define BLOCK_UNTIL_DONE 0
#define RETURN_BEFORE_COMPLETION 2

/* ---- commands (RP1210_SendCommand) ---- */
#define RP1210_Reset_Device 0
#define RP1210_Set_All_Filters_States_to_Pass 3
#define RP1210_Set_Message_Filtering_For_J1939 4
#define RP1210_Set_Message_Filtering_For_CAN 5
#define RP1210_Set_Message_Filtering_For_J1708 7
#define RP1210_Set_Message_Filtering_For_J1850 8
#define RP1210_Set_Message_Filtering_For_ISO15765 9
#define RP1210_Set_J1708_Mode 15
#define RP1210_Echo_Transmitted_Messages 16
#define RP1210_Set_All_Filters_States_to_Discard 17
#define RP1210_Set_Message_Receive 18
#define RP1210_Protect_J1939_Address 19
#define RP1210_Set_Broadcast_For_J1708 20
#define RP1210_Set_Broadcast_For_CAN 21
#define RP1210_Set_Broadcast_For_J1939 22
#define RP1210_Set_Broadcast_For_J1850 23
#define RP1210_Set_J1708_Filter_Type 24
#define RP1210_Set_J1939_Filter_Type 25
#define RP1210_Set_CAN_Filter_Type 26
#define RP1210_Set_J1939_Interpacket_Time 27
#define RP1210_SetMaxErrorMsgSize 28
#define RP1210_Disallow_Further_Connections 29
#define RP1210_Set_J1850_Filter_Type 30
#define RP1210_Release_J1939_Address 31
#define RP1210_Set_ISO15765_Filter_Type 32
#define RP1210_Set_Broadcast_For_ISO15765 33
#define RP1210_Set_ISO15765_Flow_Control 34
#define RP1210_Clear_ISO15765_Flow_Control 35
#define RP1210_Set_J1939_Baud 37
#define RP1210_Set_ISO15765_Baud 38
#define RP1210_Flush_Tx_Rx_Buffers 39
#define RP1210_Set_Broadcast_For_KWP2000 41
#define RP1210_Set_Broadcast_For_ISO9141 42
#define RP1210_Get_Protocol_Connection_Speed 45
#define RP1210_Set_ISO9141KWP2000_Mode 46
#define RP1210_Set_CAN_Baud 47
#define RP1210_Get_Wireless_State 48
#define RP1210_Set_Blocking_Timeout 215
#define RP1210_Set_J1708_Baud 305

/* Baud codes of the speed commands (37, 38, 47, 305). */
#define RP1210_BAUD_9600 0
#define RP1210_BAUD_19200 1
#define RP1210_BAUD_38400 2
#define RP1210_BAUD_57600 3
#define RP1210_BAUD_125k 4
#define RP1210_BAUD_250k 5
#define RP1210_BAUD_500k 6
#define RP1210_BAUD_1000k 7

/* ---- ioctl identifiers (RP1210_Ioctl), as SAE J2534 numbers them ---- */
#define GET_CONFIG 0x01
#define SET_CONFIG 0x02
#define FIVE_BAUD_INIT 0x04
#define FAST_INIT 0x05

/* The caller's records of the ioctls: fixed-width counts on every platform. */
typedef struct {
    uint32_t Parameter;
    uint32_t Value;
} SCONFIG;

typedef struct {
    uint32_t NumOfParams;
    SCONFIG* ConfigPtr;
} SCONFIG_LIST;

typedef struct {
    uint32_t NumOfBytes;
    uint8_t* BytePtr;
} SBYTE_ARRAY;

/* ---- return codes ---- */
#define NO_ERRORS 0
#define ERR_DLL_NOT_INITIALIZED 128
#define ERR_INVALID_CLIENT_ID 129
#define ERR_CLIENT_ALREADY_CONNECTED 130
#define ERR_CLIENT_AREA_FULL 131
#define ERR_FREE_MEMORY 132
#define ERR_NOT_ENOUGH_MEMORY 133
#define ERR_INVALID_DEVICE 134
#define ERR_DEVICE_IN_USE 135
#define ERR_INVALID_PROTOCOL 136
#define ERR_TX_QUEUE_FULL 137
#define ERR_TX_QUEUE_CORRUPT 138
#define ERR_RX_QUEUE_FULL 139
#define ERR_RX_QUEUE_CORRUPT 140
#define ERR_MESSAGE_TOO_LONG 141
#define ERR_HARDWARE_NOT_RESPONDING 142
#define ERR_COMMAND_NOT_SUPPORTED 143
#define ERR_INVALID_COMMAND 144
#define ERR_TXMESSAGE_STATUS 145
#define ERR_ADDRESS_CLAIM_FAILED 146
#define ERR_CANNOT_SET_PRIORITY 147
#define ERR_CLIENT_DISCONNECTED 148
#define ERR_CONNECT_NOT_ALLOWED 149
#define ERR_CHANGE_MODE_FAILED 150
#define ERR_BUS_OFF 151
#define ERR_COULD_NOT_TX_ADDRESS_CLAIMED 152
#define ERR_ADDRESS_LOST 153
#define ERR_CODE_NOT_FOUND 154
#define ERR_BLOCK_NOT_ALLOWED 155
#define ERR_MULTIPLE_CLIENTS_CONNECTED 156
#define ERR_ADDRESS_NEVER_CLAIMED 157
#define ERR_WINDOW_HANDLE_REQUIRED 158
#define ERR_MESSAGE_NOT_SENT 159
#define ERR_MAX_NOTIFY_EXCEEDED 160
#define ERR_MAX_FILTERS_EXCEEDED 161
#define ERR_HARDWARE_STATUS_CHANGE 162
#define ERR_INI_FILE_NOT_IN_WIN_DIR 202
#define ERR_INVALID_KEY_STRING 206
#define ERR_ADDRESS_RELEASE_FAILED 227
#define ERR_CAN_BAUD_SET_NONSTANDARD 454
#define ERR_MULTIPLE_CONNECTIONS_NOT_ALLOWED_NOW 455
#define ERR_J1708_BAUD_SET_NONSTANDARD 456
#define ERR_J1939_BAUD_SET_NONSTANDARD 457
#define ERR_ISO15765_BAUD_SET_NONSTANDARD 458
#define ERR_INVALID_IOCTL_ID 600
#define ERR_NULL_PARAMETER 601
#define ERR_HARDWARE_NOT_SUPPORTED 602

#ifdef __cplusplus
}
#endif

#endif /* RP1210_H */
