// Shared enumerations and records of the RP1210 core.
//
// Every enumeration has a fixed underlying type so that any byte the adapter
// sends can be carried in it without undefined behaviour, and every field the
// RP1210/J2534 interface fixes at 32 bits is a fixed-width integer (on the
// original 32-bit Windows target `long` is 32-bit; on Linux it is not).
#pragma once

#include <QByteArray>

#include <cstdint>

// Network protocol, one byte on the adapter wire.
enum enu_GATEWAY_Protocolo : int {
    PROTOCOLO_NULL = 0,
    PROTOCOLO_KWP2000 = 1,
    PROTOCOLO_CAN = 2,
    PROTOCOLO_JED677 = 4,
    PROTOCOLO_ISO9141 = 5,
    PROTOCOLO_TP20 = 9,
    PROTOCOLO_J1850 = 10,
    PROTOCOLO_J1708 = 15,
    PROTOCOLO_J1939 = 16,
    PROTOCOLO_ISO15765 = 17,
    PROTOCOLO_ISO9141_RAW = 18,
    PROTOCOLO_ISO9141_1 = 19,
    PROTOCOLO_ISO9141_2 = 20,
    PROTOCOLO_ISO9141_3 = 21,
    PROTOCOLO_ISO9141_KB = 22,
    PROTOCOLO_ISO9141_KB91 = 23,
    PROTOCOLO_ZF_J1708 = 24,  // parser-internal, reported as PROTOCOLO_ISO9141_1
    PROTOCOLO_GM_KLINE = 25,
    PROTOCOLO_GM_ALDL = 28,
    PROTOCOLO_J2610 = 29,
    PROTOCOLO_ISO15765_ALT = 30,
    PROTOCOLO_ISO9141_VMAC = 31,
    PROTOCOLO_RS232 = 32,
    PROTOCOLO_CAT = 33,
};

// Bus speed, one byte on the adapter wire.
enum enu_GATEWAY_Velocidad : int {
    VELOCIDAD_NINGUNA = 0,
    VELOCIDAD_AUTO = 1,
    VELOCIDAD_TODAS = 2,
    VELOCIDAD_200 = 3,
    VELOCIDAD_600 = 4,
    VELOCIDAD_1200 = 5,
    VELOCIDAD_2400 = 6,
    VELOCIDAD_4200 = 7,
    VELOCIDAD_4800 = 8,
    VELOCIDAD_5200 = 9,
    VELOCIDAD_7200 = 10,
    VELOCIDAD_7680 = 11,
    VELOCIDAD_9600 = 12,
    VELOCIDAD_9615 = 13,
    VELOCIDAD_9800 = 14,
    VELOCIDAD_10000 = 15,
    VELOCIDAD_10400 = 16,
    VELOCIDAD_10870 = 17,
    VELOCIDAD_11905 = 18,
    VELOCIDAD_12500 = 19,
    VELOCIDAD_13158 = 20,
    VELOCIDAD_13889 = 21,
    VELOCIDAD_14706 = 22,
    VELOCIDAD_14400 = 23,
    VELOCIDAD_15625 = 24,
    VELOCIDAD_17800 = 25,
    VELOCIDAD_17850 = 26,
    VELOCIDAD_17900 = 27,
    VELOCIDAD_19200 = 28,
    VELOCIDAD_38400 = 29,
    VELOCIDAD_38600 = 30,
    VELOCIDAD_50000 = 31,
    VELOCIDAD_57600 = 32,
    VELOCIDAD_95240 = 33,
    VELOCIDAD_115200 = 34,
    VELOCIDAD_125000 = 35,
    VELOCIDAD_250000 = 36,
    VELOCIDAD_500000 = 37,
    VELOCIDAD_1000000 = 38,
    VELOCIDAD_J1850_PWM = 39,
    VELOCIDAD_100000 = 40,
    VELOCIDAD_5 = 41,
    VELOCIDAD_62500 = 42,
    VELOCIDAD_ALDL = 43,
    VELOCIDAD_1000 = 44,
    VELOCIDAD_7812 = 45,
    VELOCIDAD_666666 = 46,
};

// Adapter generation, derived from the transport's interface letter and version.
enum enum_VersionVCI : int {
    VCI_DESCONOCIDA = 0,
    VCI_J = 1,
    VCI_A = 2,
    VCI_K1 = 3,
    VCI_K = 4,
    VCI_E = 5,
};

// Adapter service number: the service byte of a request frame and of its answer.
enum IDS_SERV_RP1210 : int {
    SERV_VERSION_FIRMWARE = 1,
    SERV_CONECTAR_CLIENTE = 2,
    SERV_DESCONECTAR_CLIENTE = 3,
    SERV_ENVIAR_MENSAJE = 4,
    SERV_RECEPCION_TRAMA = 5,
    SERV_ESTADO_HARDWARE = 6,
    SERV_RESETEAR_LINK = 7,
    SERV_J1939_ADDRESS_CLAIM = 8,
    SERV_ISO15765_FLOW_CONTROL = 9,
    SERV_ISO15765_CLEAR_FLOW_CONTROL = 10,
    SERV_IOCTL = 13,
    SERV_CAMBIO_MODO = 14,
    SERV_SET_BAUD = 16,
    SERV_CMMD_MUX = 17,
    SERV_J1939_INTERPACKET_TIME = 20,
    SERV_TESTER_LINK = 59,
    SERV_SEGMENTO = 211,
    SERV_SET_FILTERS_V6 = 224,
    SERV_CLEAR_ALL_FILTERS_V6 = 225,
    SERV_CLEAR_FILTER_V6 = 226,
    SERV_SET_FILTER_SA_V6 = 227,
    SERV_CLEAR_FILTER_SA_V6 = 228,
    SERV_PROTECT_J1939_ADDRESS = 229,
    SERV_SET_CAN_FILTER = 230,
    SERV_CLEAR_CAN_FILTERS = 231,
    SERV_SET_PADDING_ISO15765 = 232,
    SERV_SET_REMOTE_CAN_MESSAGE = 233,
    SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE = 234,
    SERV_SET_ISO15765_FILTER = 235,
    SERV_LOG_SEGMENTOS = 240,
    SERV_TEST_VELOCIDAD = 241,
    SERV_PIC_CONNECTION = 242,
    SERV_SET_J1850_FILTER = 243,
    SERV_CLEAR_J1850_FILTERS = 244,
    SERV_SET_BROADCAST_LINK = 254,
    SERV_CLEAR_BROADCAST_LINK = 255,
};

// State of one service request: -1 while an answer is awaited, else the
// adapter's state byte (0 to 255; 16, 17 and 18 carry no name of their own).
enum RESPONSES_SERV_RP1210 : int {
    RESP_SERV_PENDING = -1,
    RESP_SERV_OK = 0,
    RESP_SERV_NEGATIVE = 1,
    RESP_SERV_ALREADY_CONNECTED = 2,
    RESP_SERV_NOT_SUPPORTED = 3,
    RESP_SERV_OTHER_SPEED = 4,
    RESP_SERV_NOT_CONNECTED = 5,
    RESP_SERV_HW_QUEUE_FULL = 8,
    RESP_SERV_MAX_FLOW_CONTROL = 9,
    RESP_SERV_MAX_ADDRESSING_TYPES = 10,
    RESP_SERV_UNKNOWN_REQUEST = 11,
    RESP_SERV_MAX_CAN_FILTERS = 12,
    RESP_SERV_CAN_FILTER_NOT_FOUND = 13,
    RESP_SERV_MESSAGE_TOO_LONG = 14,
    RESP_SERV_CAN_LINES_IN_USE = 15,
};

// RP1210_Ioctl identifiers: 1, 2, 4 and 5 are the J2534 ones, 6 and 250-255 the adapter's.
enum IDS_RP1210_IOCTL : int {
    IOCTL_GET_CONFIG = 1,
    IOCTL_SET_CONFIG = 2,
    IOCTL_FIVE_BAUD_INIT = 4,
    IOCTL_FAST_INIT = 5,
    IOCTL_INIT_NO_WAIT = 6,
    IOCTL_REQUEST_COMMANDS = 250,
    IOCTL_TEARDOWN_CONNECTION = 251,
    IOCTL_REQUEST_CONNECTION = 252,
    IOCTL_BECOME_MASTER = 253,
    IOCTL_SET_POLL_RESPONSE = 254,
    IOCTL_SEND_PULSES = 255,
};

// The caller's J2534-style records, read and written in place.
struct SCONFIG {
    uint32_t Parameter;
    uint32_t Value;
};

struct SCONFIG_LIST {
    uint32_t NumOfParams;
    SCONFIG* ConfigPtr;
};

struct SBYTE_ARRAY {
    uint32_t NumOfBytes;
    uint8_t* BytePtr;
};

static_assert(sizeof(SCONFIG) == 8, "SCONFIG must be two 32-bit fields");

// One request frame waiting for the send thread.
struct TLink_Request_Msg {
    quint8 idCliente = 0;
    quint8 idBroadcast = 0xFF;  // 0xFF: not a periodic broadcast
    QByteArray trama;
};

// RP1210 return codes used by the library (texts in GestionErrores).
namespace rp1210rc {
enum : short {
    OK = 0,
    DLL_NOT_INITIALIZED = 128,
    INVALID_CLIENT_ID = 129,
    CLIENT_ALREADY_CONNECTED = 130,
    CLIENT_AREA_FULL = 131,
    INVALID_PROTOCOL = 136,
    TX_QUEUE_FULL = 137,
    RX_QUEUE_FULL = 139,
    MESSAGE_TOO_LONG = 141,
    HARDWARE_NOT_RESPONDING = 142,
    COMMAND_NOT_SUPPORTED = 143,
    INVALID_COMMAND = 144,
    ADDRESS_CLAIM_FAILED = 146,
    CLIENT_DISCONNECTED = 148,
    CONNECT_NOT_ALLOWED = 149,
    CODE_NOT_FOUND = 154,
    MULTIPLE_CLIENTS_CONNECTED = 156,
    ADAPTER_MAX_CAN_FILTERS = 161,
    CANNOT_RELEASE_ADDRESS = 227,
    CAN_SPEED_MISMATCH = 454,
    CONNECTIONS_DISALLOWED = 455,
    J1708_BAUD_NONSTANDARD = 456,
    J1939_BAUD_NONSTANDARD = 457,
    ISO15765_BAUD_NONSTANDARD = 458,
    ECHO_OFF = 500,
    TOO_MANY_FILTERS = 501,
    J1708_BROADCAST_LIMIT = 505,
    PINOUT_NOT_SUPPORTED = 506,
    KLINE_BAUD_NOT_SUPPORTED = 507,
    ADAPTER_NEGATIVE = 511,
    ADAPTER_NOT_CONNECTED = 515,
    ADAPTER_QUEUE_FULL = 518,
    ADAPTER_MAX_ADDRESSING_TYPES = 520,
    ADAPTER_CAN_FILTER_NOT_FOUND = 523,
    ADAPTER_CAN_LINES_IN_USE = 525,
    INVALID_IOCTL_ID = 600,
    NULL_PARAMETER = 601,
    HARDWARE_NOT_SUPPORTED = 602,
};
}  // namespace rp1210rc

// The CAN family shares one bus speed on the adapter.
inline bool isCanFamily(int protocolo)
{
    return protocolo == PROTOCOLO_CAN || protocolo == PROTOCOLO_TP20 || protocolo == PROTOCOLO_J1939 ||
           protocolo == PROTOCOLO_ISO15765 || protocolo == PROTOCOLO_ISO15765_ALT;
}

inline bool isIso15765Family(int protocolo)
{
    return protocolo == PROTOCOLO_ISO15765 || protocolo == PROTOCOLO_ISO15765_ALT;
}
