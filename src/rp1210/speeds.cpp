#include "rp1210/speeds.h"

#include <cstring>

namespace rp1210core::internal {

namespace {

struct SpeedInfo {
    const char* text;  // decimal text for the adapter's baud commands; "" when it has none
    bool kLine;
};

// Indexed by enu_GATEWAY_Velocidad. The longest text ("1000000") plus its terminator is
// what EnumSpeed_to_StringValue promises to fit in 8 bytes.
constexpr SpeedInfo kSpeeds[] = {
    {"0", false},        // VELOCIDAD_NINGUNA
    {"0", false},        // VELOCIDAD_AUTO
    {"", false},         // VELOCIDAD_TODAS
    {"200", true},       // VELOCIDAD_200
    {"600", true},       // VELOCIDAD_600
    {"1200", true},      // VELOCIDAD_1200
    {"2400", true},      // VELOCIDAD_2400
    {"4200", true},      // VELOCIDAD_4200
    {"4800", true},      // VELOCIDAD_4800
    {"5200", true},      // VELOCIDAD_5200
    {"7200", true},      // VELOCIDAD_7200
    {"7680", true},      // VELOCIDAD_7680
    {"9600", true},      // VELOCIDAD_9600
    {"9615", true},      // VELOCIDAD_9615
    {"9800", true},      // VELOCIDAD_9800
    {"10000", true},     // VELOCIDAD_10000
    {"10400", true},     // VELOCIDAD_10400
    {"10870", true},     // VELOCIDAD_10870
    {"11905", true},     // VELOCIDAD_11905
    {"12500", true},     // VELOCIDAD_12500
    {"13158", true},     // VELOCIDAD_13158
    {"13889", true},     // VELOCIDAD_13889
    {"14706", true},     // VELOCIDAD_14706
    {"14400", true},     // VELOCIDAD_14400
    {"15625", true},     // VELOCIDAD_15625
    {"17800", true},     // VELOCIDAD_17800
    {"17850", true},     // VELOCIDAD_17850
    {"17900", true},     // VELOCIDAD_17900
    {"19200", true},     // VELOCIDAD_19200
    {"38400", true},     // VELOCIDAD_38400
    {"38600", true},     // VELOCIDAD_38600
    {"50000", true},     // VELOCIDAD_50000
    {"57600", true},     // VELOCIDAD_57600
    {"95240", false},    // VELOCIDAD_95240
    {"115200", true},    // VELOCIDAD_115200
    {"125000", false},   // VELOCIDAD_125000
    {"250000", false},   // VELOCIDAD_250000
    {"500000", false},   // VELOCIDAD_500000
    {"1000000", false},  // VELOCIDAD_1000000
    {"", true},          // VELOCIDAD_J1850_PWM
    {"100000", false},   // VELOCIDAD_100000
    {"", true},          // VELOCIDAD_5
    {"62500", true},     // VELOCIDAD_62500
    {"", true},          // VELOCIDAD_ALDL
    {"1000", true},      // VELOCIDAD_1000
    {"7812", true},      // VELOCIDAD_7812
    {"666666", false},   // VELOCIDAD_666666
};

constexpr unsigned kSpeedCount = sizeof(kSpeeds) / sizeof(kSpeeds[0]);
static_assert(kSpeedCount == VELOCIDAD_666666 + 1, "one entry per speed value");

}  // namespace

const char* speedText(unsigned char velocidad)
{
    return velocidad < kSpeedCount ? kSpeeds[velocidad].text : "";
}

void EnumSpeed_to_StringValue(unsigned char velocidad, char* out)
{
    if (out == nullptr)
        return;
    const char* text = speedText(velocidad);
    std::memcpy(out, text, std::strlen(text) + 1);
}

bool isKLineBaudRate(unsigned char velocidad)
{
    return velocidad < kSpeedCount && kSpeeds[velocidad].kLine;
}

enu_GATEWAY_Velocidad translateSpeed_SetBaud_J1708(unsigned char code)
{
    switch (code) {
    case 0: return VELOCIDAD_9600;
    case 1: return VELOCIDAD_19200;
    case 2: return VELOCIDAD_38400;
    case 3: return VELOCIDAD_57600;
    case 151: return VELOCIDAD_7812;
    case 153: return VELOCIDAD_62500;
    default: return VELOCIDAD_NINGUNA;
    }
}

enu_GATEWAY_Velocidad translateSpeed_SetBaud_CAN(unsigned char code)
{
    switch (code) {
    case 4: return VELOCIDAD_125000;
    case 5: return VELOCIDAD_250000;
    case 6: return VELOCIDAD_500000;
    case 7: return VELOCIDAD_1000000;
    case 152: return VELOCIDAD_100000;
    default: return VELOCIDAD_NINGUNA;
    }
}

}  // namespace rp1210core::internal
