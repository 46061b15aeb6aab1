// The RP1210 connect string: "<keyword>[:<option>]...", options "Baud=...",
// "CommPin1=<n>", "CommPin2=<n>", "24V=true" and "Channel=...". Case-sensitive,
// nothing trimmed, empty tokens kept (so "J1939:" fails on its empty option).
#include "rp1210/gestor_rp1210.h"

#include "rp1210/connect_keywords.h"

#include "common/protocols.h"
#include "common/wire_format.h"

#include <rp1210core/mux_tables.h>

#include <QStringList>

using namespace rp1210core::internal;

namespace {

using Keyword = ConnectKeyword;

// "SWCAN" is not here: whether it is accepted depends on the adapter.
constexpr Keyword kKeywords[] = {
    {"NULL", PROTOCOLO_NULL, VELOCIDAD_NINGUNA},
    {"KWP2000", PROTOCOLO_KWP2000, VELOCIDAD_10400},
    {"ISO14230", PROTOCOLO_KWP2000, VELOCIDAD_10400},
    {"CAN", PROTOCOLO_CAN, VELOCIDAD_250000},
    {"PTCAN", PROTOCOLO_CAN, VELOCIDAD_666666},
    {"J2284", PROTOCOLO_CAN, VELOCIDAD_500000},
    {"IESCAN", PROTOCOLO_CAN, VELOCIDAD_500000},
    {"JED677", PROTOCOLO_JED677, VELOCIDAD_9600},
    {"ISO9141", PROTOCOLO_ISO9141, VELOCIDAD_10400},
    {"TP20", PROTOCOLO_TP20, VELOCIDAD_250000},
    {"J1850_104k", PROTOCOLO_J1850, VELOCIDAD_10400},
    {"J1850VPW", PROTOCOLO_J1850, VELOCIDAD_10400},
    {"J1850_416k", PROTOCOLO_J1850, VELOCIDAD_J1850_PWM},
    {"J1850PWM", PROTOCOLO_J1850, VELOCIDAD_J1850_PWM},
    {"J1708", PROTOCOLO_J1708, VELOCIDAD_9600},
    {"PLC", PROTOCOLO_J1708, VELOCIDAD_9600},
    {"J1939", PROTOCOLO_J1939, VELOCIDAD_250000},
    {"ISO15765", PROTOCOLO_ISO15765, VELOCIDAD_250000},
    {"GMLAN", PROTOCOLO_ISO15765, VELOCIDAD_500000},
    {"ISO9141_RAW", PROTOCOLO_ISO9141_RAW, VELOCIDAD_10400},
    {"ISO9141_1", PROTOCOLO_ISO9141_1, VELOCIDAD_10400},
    {"ISO9141_2", PROTOCOLO_ISO9141_2, VELOCIDAD_10400},
    {"ISO9141_3", PROTOCOLO_ISO9141_3, VELOCIDAD_10400},
    {"ISO9141_KB", PROTOCOLO_ISO9141_KB, VELOCIDAD_10400},
    {"ISO9141_KB91", PROTOCOLO_ISO9141_KB91, VELOCIDAD_10400},
    {"ZF_PROTOCOL_J1708", PROTOCOLO_ZF_J1708, VELOCIDAD_9600},
    {"GM_KLINE", PROTOCOLO_GM_KLINE, VELOCIDAD_9600},
    {"GM_ALDL", PROTOCOLO_GM_ALDL, VELOCIDAD_ALDL},
    {"J2610", PROTOCOLO_J2610, VELOCIDAD_7812},
    {"ISO9141_VMAC", PROTOCOLO_ISO9141_VMAC, VELOCIDAD_9600},
    {"RS232", PROTOCOLO_RS232, VELOCIDAD_250000},
    {"CAT", PROTOCOLO_CAT, VELOCIDAD_62500},
};

// "Baud=" texts that always select the same speed ("Baud=Auto" and "Baud=1000" depend on
// the adapter and the protocol and are decided by the parser).
using BaudText = ConnectBaudText;

constexpr BaudText kBaudTexts[] = {
    {"Baud=All", VELOCIDAD_TODAS},       {"Baud=200", VELOCIDAD_200},         {"Baud=600", VELOCIDAD_600},
    {"Baud=1200", VELOCIDAD_1200},       {"Baud=2400", VELOCIDAD_2400},       {"Baud=4200", VELOCIDAD_4200},
    {"Baud=4800", VELOCIDAD_4800},       {"Baud=5200", VELOCIDAD_5200},       {"Baud=7200", VELOCIDAD_7200},
    {"Baud=7680", VELOCIDAD_7680},       {"Baud=9600", VELOCIDAD_9600},       {"Baud=9615", VELOCIDAD_9615},
    {"Baud=9800", VELOCIDAD_9800},       {"Baud=10000", VELOCIDAD_10000},     {"Baud=10400", VELOCIDAD_10400},
    {"Baud=10870", VELOCIDAD_10870},     {"Baud=11905", VELOCIDAD_11905},     {"Baud=12500", VELOCIDAD_12500},
    {"Baud=13158", VELOCIDAD_13158},     {"Baud=13889", VELOCIDAD_13889},     {"Baud=14706", VELOCIDAD_14706},
    {"Baud=14400", VELOCIDAD_14400},     {"Baud=15625", VELOCIDAD_15625},     {"Baud=17800", VELOCIDAD_17800},
    {"Baud=17850", VELOCIDAD_17850},     {"Baud=17900", VELOCIDAD_17900},     {"Baud=19200", VELOCIDAD_19200},
    {"Baud=38400", VELOCIDAD_38400},     {"Baud=38600", VELOCIDAD_38600},     {"Baud=50000", VELOCIDAD_50000},
    {"Baud=57600", VELOCIDAD_57600},     {"Baud=95240", VELOCIDAD_95240},     {"Baud=115200", VELOCIDAD_115200},
    {"Baud=125", VELOCIDAD_125000},      {"Baud=125000", VELOCIDAD_125000},   {"Baud=250", VELOCIDAD_250000},
    {"Baud=250000", VELOCIDAD_250000},   {"Baud=500", VELOCIDAD_500000},      {"Baud=500000", VELOCIDAD_500000},
    {"Baud=1000000", VELOCIDAD_1000000}, {"Baud=100000", VELOCIDAD_100000},   {"Baud=5", VELOCIDAD_5},
    {"Baud=62500", VELOCIDAD_62500},     {"Baud=7812", VELOCIDAD_7812},       {"Baud=666", VELOCIDAD_666666},
};

const QLatin1String kBaudKey("Baud=");
const QLatin1String kChannelKey("Channel=");
const QLatin1String kCommPin1Key("CommPin1=");
const QLatin1String kCommPin2Key("CommPin2=");
const QLatin1String kVolts24Key("24V=true");
constexpr int kCommPinKeyLength = 9;  // "CommPin1=" / "CommPin2="

// The "Baud=" text of an option token, or a null text when a "Channel=" token holds none.
QString baudTextOf(const QString& token, const QStringList& tokens)
{
    if (!token.contains(kChannelKey))
        return token;
    QStringList parts;
    if (token.contains(QLatin1Char(',')))
        parts = token.split(QLatin1Char(','));
    else if (tokens.size() > 1 && tokens.at(1) == QLatin1String("Baud=Auto"))
        parts = token.split(QLatin1Char(';'));
    for (int i = parts.size() - 1; i >= 0; --i) {
        if (parts.at(i).contains(kBaudKey))
            return parts.at(i);
    }
    return QString();
}

// Applies a baud text to the speed; a text naming no known rate keeps the speed.
void applyBaudText(const QString& baud, int generation, enu_GATEWAY_Protocolo protocolo,
                   enu_GATEWAY_Velocidad& velocidad)
{
    if (baud == QLatin1String("Baud=Auto")) {
        velocidad = segmentation::segments(generation) ? VELOCIDAD_AUTO : VELOCIDAD_250000;
        return;
    }
    if (baud == QLatin1String("Baud=1000")) {
        velocidad = isCanFamily(protocolo) ? VELOCIDAD_1000000 : VELOCIDAD_1000;
        return;
    }
    for (const BaudText& entry : kBaudTexts) {
        if (baud == QLatin1String(entry.text)) {
            velocidad = entry.velocidad;
            return;
        }
    }
}

}  // namespace

namespace rp1210core::internal {

Table<ConnectKeyword> connectKeywords()
{
    return {kKeywords, sizeof kKeywords / sizeof kKeywords[0]};
}

Table<ConnectBaudText> connectBaudTexts()
{
    return {kBaudTexts, sizeof kBaudTexts / sizeof kBaudTexts[0]};
}

}  // namespace rp1210core::internal

short GestorRP1210::TranslateProtocolString(const char* connectString, enu_GATEWAY_Protocolo* protocoloOut,
                                            enu_GATEWAY_Velocidad* velocidadOut, QString* muxOut)
{
    // Callers always pass the three outputs; stand-ins keep a null one from crashing.
    enu_GATEWAY_Protocolo protocoloStandIn = PROTOCOLO_NULL;
    enu_GATEWAY_Velocidad velocidadStandIn = VELOCIDAD_NINGUNA;
    QString muxStandIn;
    enu_GATEWAY_Protocolo& protocolo = protocoloOut ? *protocoloOut : protocoloStandIn;
    enu_GATEWAY_Velocidad& velocidad = velocidadOut ? *velocidadOut : velocidadStandIn;
    QString& mux = muxOut ? *muxOut : muxStandIn;

    const QStringList tokens = QString::fromLatin1(connectString ? connectString : "").split(QLatin1Char(':'));
    const QString& keyword = tokens.at(0);

    short result = rp1210rc::OK;
    bool keywordFound = false;
    if (keyword == QLatin1String("SWCAN")) {
        keywordFound = true;
        const bool swcanAdapter = (interfaceType_ == QLatin1String("L") && interfaceVersion_ >= 9) ||
                                  (interfaceType_ == QLatin1String("K") && interfaceVersion_ >= 3);
        if (swcanAdapter) {
            protocolo = PROTOCOLO_CAN;
            velocidad = VELOCIDAD_50000;
        } else {
            // Keep reading: a malformed option still reports its own code.
            result = rp1210rc::INVALID_PROTOCOL;
        }
    } else {
        for (const Keyword& entry : kKeywords) {
            if (keyword == QLatin1String(entry.text)) {
                protocolo = entry.protocolo;
                velocidad = entry.velocidad;
                keywordFound = true;
                break;
            }
        }
    }
    if (!keywordFound)
        return rp1210rc::INVALID_PROTOCOL;

    // The ZF variant of J1708 picks its pins from the J1708 table but reaches every
    // caller as ISO 9141-1, whatever the outcome.
    const auto finish = [&protocolo](short code) {
        if (protocolo == PROTOCOLO_ZF_J1708)
            protocolo = PROTOCOLO_ISO9141_1;
        return code;
    };

    int pin1 = 0;
    int pin2 = 0;
    bool pin1Given = false;
    bool volts24 = false;
    const bool rs232 = keyword == QLatin1String("RS232");
    for (int i = 1; i < tokens.size(); ++i) {
        const QString& token = tokens.at(i);
        if (token.contains(kBaudKey)) {
            if (rs232)
                continue;
            const QString baud = baudTextOf(token, tokens);
            if (baud.isNull())
                return finish(rp1210rc::INVALID_PROTOCOL);
            applyBaudText(baud, generation_.load(), protocolo, velocidad);
        } else if (token.contains(kCommPin1Key)) {
            bool ok = false;
            pin1 = token.mid(kCommPinKeyLength).toInt(&ok, 10);
            if (!ok)
                return finish(rp1210rc::PINOUT_NOT_SUPPORTED);
            pin1Given = true;
        } else if (token.contains(kCommPin2Key)) {
            bool ok = false;
            pin2 = token.mid(kCommPinKeyLength).toInt(&ok, 10);
            if (!ok)
                return finish(rp1210rc::PINOUT_NOT_SUPPORTED);
        } else if (token.contains(kVolts24Key)) {
            volts24 = true;
        } else if (!token.contains(kChannelKey)) {
            return finish(rp1210rc::INVALID_PROTOCOL);
        }
    }

    if (pin1Given) {
        mux = getMUXCommand(static_cast<unsigned char>(protocolo), pin1, pin2, volts24);
        if (mux.isEmpty())
            return finish(rp1210rc::PINOUT_NOT_SUPPORTED);
    } else if (volts24) {
        mux = QStringLiteral("D0000");
    } else if (protocolo == PROTOCOLO_J1850) {
        mux = velocidad == VELOCIDAD_J1850_PWM ? QStringLiteral("Z1518") : QStringLiteral("Y0018");
    } else if (protocolo == PROTOCOLO_CAT) {
        mux = QStringLiteral("J1519");
    } else {
        mux = QStringLiteral("C0000");
    }
    return finish(result);
}

bool GestorRP1210::isMuxSent(enu_GATEWAY_Protocolo protocolo) const
{
    const quint16 connected = numeroClientesConectados();
    if (connected == 0)
        return protocolo != PROTOCOLO_NULL;
    if (connected != 1)
        return false;
    for (quint8 id = 1; id <= kMaxClients; ++id) {
        const Cliente* cliente = getCliente(id);
        if (cliente != nullptr && cliente->getConectado())
            return cliente->getProtocolo() == PROTOCOLO_NULL;
    }
    return false;
}
