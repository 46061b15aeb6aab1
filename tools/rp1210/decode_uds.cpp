#include "decode_uds.h"

namespace rp1210tool::uds {

namespace {

constexpr quint8 kPositiveOffset = 0x40;

struct Named {
    quint8 code;
    const char* name;
};

constexpr Named kServices[] = {
    {0x10, "DiagnosticSessionControl"},
    {0x11, "ECUReset"},
    {0x14, "ClearDiagnosticInformation"},
    {0x19, "ReadDTCInformation"},
    {0x22, "ReadDataByIdentifier"},
    {0x23, "ReadMemoryByAddress"},
    {0x24, "ReadScalingDataByIdentifier"},
    {0x27, "SecurityAccess"},
    {0x28, "CommunicationControl"},
    {0x29, "Authentication"},
    {0x2A, "ReadDataByPeriodicIdentifier"},
    {0x2C, "DynamicallyDefineDataIdentifier"},
    {0x2E, "WriteDataByIdentifier"},
    {0x2F, "InputOutputControlByIdentifier"},
    {0x31, "RoutineControl"},
    {0x34, "RequestDownload"},
    {0x35, "RequestUpload"},
    {0x36, "TransferData"},
    {0x37, "RequestTransferExit"},
    {0x38, "RequestFileTransfer"},
    {0x3D, "WriteMemoryByAddress"},
    {0x3E, "TesterPresent"},
    {0x83, "AccessTimingParameter"},
    {0x84, "SecuredDataTransmission"},
    {0x85, "ControlDTCSetting"},
    {0x86, "ResponseOnEvent"},
    {0x87, "LinkControl"},
};

constexpr Named kNrcs[] = {
    {0x10, "generalReject"},
    {0x11, "serviceNotSupported"},
    {0x12, "subFunctionNotSupported"},
    {0x13, "incorrectMessageLengthOrInvalidFormat"},
    {0x14, "responseTooLong"},
    {0x21, "busyRepeatRequest"},
    {0x22, "conditionsNotCorrect"},
    {0x24, "requestSequenceError"},
    {0x25, "noResponseFromSubnetComponent"},
    {0x26, "failurePreventsExecutionOfRequestedAction"},
    {0x31, "requestOutOfRange"},
    {0x33, "securityAccessDenied"},
    {0x35, "invalidKey"},
    {0x36, "exceededNumberOfAttempts"},
    {0x37, "requiredTimeDelayNotExpired"},
    {0x70, "uploadDownloadNotAccepted"},
    {0x71, "transferDataSuspended"},
    {0x72, "generalProgrammingFailure"},
    {0x73, "wrongBlockSequenceCounter"},
    {0x78, "requestCorrectlyReceivedResponsePending"},
    {0x7E, "subFunctionNotSupportedInActiveSession"},
    {0x7F, "serviceNotSupportedInActiveSession"},
    {0x81, "rpmTooHigh"},
    {0x82, "rpmTooLow"},
    {0x83, "engineIsRunning"},
    {0x84, "engineIsNotRunning"},
    {0x85, "engineRunTimeTooLow"},
    {0x86, "temperatureTooHigh"},
    {0x87, "temperatureTooLow"},
    {0x88, "vehicleSpeedTooHigh"},
    {0x89, "vehicleSpeedTooLow"},
    {0x8A, "throttlePedalTooHigh"},
    {0x8B, "throttlePedalTooLow"},
    {0x8C, "transmissionRangeNotInNeutral"},
    {0x8D, "transmissionRangeNotInGear"},
    {0x8F, "brakeSwitchesNotClosed"},
    {0x90, "shifterLeverNotInPark"},
    {0x91, "torqueConverterClutchLocked"},
    {0x92, "voltageTooHigh"},
    {0x93, "voltageTooLow"},
};

struct Did {
    quint16 did;
    const char* name;
};

// Identifiers ISO 14229 reserves for identification; their values are text.
constexpr Did kDids[] = {
    {0xF186, "active diagnostic session"}, {0xF187, "spare part number"},
    {0xF188, "ECU software number"},       {0xF189, "ECU software version"},
    {0xF18A, "system supplier"},           {0xF18B, "ECU manufacturing date"},
    {0xF18C, "ECU serial number"},         {0xF190, "VIN"},
    {0xF191, "ECU hardware number"},       {0xF192, "supplier hardware number"},
    {0xF194, "supplier software number"},  {0xF197, "system name"},
};

const char* find(const Named* table, int size, quint8 code)
{
    for (int i = 0; i < size; ++i)
        if (table[i].code == code)
            return table[i].name;
    return nullptr;
}

QString hex(quint32 v, int digits)
{
    return QStringLiteral("%1").arg(v, digits, 16, QLatin1Char('0')).toUpper();
}

QString serviceText(quint8 service)
{
    const char* name = serviceName(service);
    return name ? QLatin1String(name) : QStringLiteral("service %1").arg(hex(service, 2));
}

bool printableText(const QByteArray& bytes)
{
    for (const char c : bytes)
        if (c < 0x20 || c >= 0x7F)
            return false;
    return !bytes.isEmpty();
}

// ReadDataByIdentifier: the identifier, then its value; without a length table only
// the first identifier's value is known to be the rest of the answer.
void dataIdentifier(const QByteArray& body, bool answer, Decoded& out)
{
    if (body.size() < 2)
        return;
    const quint16 did = quint16(quint8(body.at(0)) << 8 | quint8(body.at(1)));
    const char* name = nullptr;
    for (const Did& d : kDids)
        if (d.did == did)
            name = d.name;
    const QString label = name ? QLatin1String(name) : QStringLiteral("DID %1").arg(hex(did, 4));
    Value v = text(label, QString());
    v.extra.insert(QStringLiteral("did"), int(did));
    if (answer) {
        const QByteArray value = body.mid(2);
        v.text = printableText(value) ? QString::fromLatin1(value) : hexBytes(value);
    } else {
        v.text = hex(did, 4);
        v.name = QStringLiteral("DID");
        if (name)
            v.text += QStringLiteral(" (%1)").arg(QLatin1String(name));
    }
    out.values.push_back(v);
}

}  // namespace

const char* serviceName(quint8 service)
{
    return find(kServices, int(sizeof kServices / sizeof kServices[0]), service);
}

const char* nrcName(quint8 code)
{
    return find(kNrcs, int(sizeof kNrcs / sizeof kNrcs[0]), code);
}

bool isNegative(const QByteArray& p)
{
    return p.size() >= 3 && quint8(p.at(0)) == kNegativeResponse;
}

bool isPending(const QByteArray& p)
{
    return isNegative(p) && quint8(p.at(2)) == kResponsePending;
}

bool answers(const QByteArray& request, const QByteArray& answer)
{
    if (request.isEmpty() || answer.isEmpty())
        return false;
    const quint8 service = quint8(request.at(0));
    if (isNegative(answer))
        return quint8(answer.at(1)) == service;
    return quint8(answer.at(0)) == quint8(service + kPositiveOffset);
}

Decoded decode(const QByteArray& p)
{
    Decoded out;
    if (p.isEmpty())
        return out;
    const quint8 first = quint8(p.at(0));
    if (first == kNegativeResponse) {
        out.negative = true;
        if (p.size() < 3) {
            out.name = QStringLiteral("negative response");
            return out;
        }
        const quint8 code = quint8(p.at(2));
        out.name = serviceText(quint8(p.at(1))) + QStringLiteral(" negative");
        const char* name = nrcName(code);
        Value v = text(QStringLiteral("NRC"),
                       QStringLiteral("%1 %2").arg(hex(code, 2), QLatin1String(name ? name : "")).trimmed());
        v.extra.insert(QStringLiteral("nrc"), code);
        out.values.push_back(v);
        return out;
    }
    // A positive answer is its service plus 0x40; a known request is its service.
    const bool answer = (first & kPositiveOffset) != 0 && serviceName(quint8(first - kPositiveOffset)) != nullptr;
    const quint8 service = answer ? quint8(first - kPositiveOffset) : first;
    out.name = serviceText(service) + (answer ? QStringLiteral(" positive") : QString());
    const QByteArray body = p.mid(1);
    switch (service) {
        case 0x22:
            dataIdentifier(body, answer, out);
            break;
        case 0x10:
            if (!body.isEmpty()) {
                static const char* const kSessions[] = {nullptr, "default", "programming", "extended", "safety system"};
                const int s = quint8(body.at(0)) & 0x7F;
                out.values.push_back(text(QStringLiteral("session"),
                                          s >= 1 && s <= 4 ? QLatin1String(kSessions[s]) : hex(quint32(s), 2)));
            }
            if (answer && body.size() >= 5) {
                out.values.push_back(number(QStringLiteral("P2"), quint8(body.at(1)) << 8 | quint8(body.at(2)),
                                            QStringLiteral("ms"), 0));
                out.values.push_back(number(QStringLiteral("P2*"), (quint8(body.at(3)) << 8 | quint8(body.at(4))) * 10,
                                            QStringLiteral("ms"), 0));
            }
            break;
        default:
            if (!body.isEmpty())
                out.values.push_back(text(QStringLiteral("data"), hexBytes(body)));
            break;
    }
    return out;
}

}  // namespace rp1210tool::uds
