// The exported RP1210 functions: C linkage, the RP1210C argument lists, each forwarding
// to the driver. Nothing else of the library is visible (hidden visibility and a version
// script), and it binds its own calls to itself, so an application exporting the same
// names cannot step in between.
#include "api/driver.h"

#include <rp1210.h>

#include <limits>

using rp1210core::api::Driver;

namespace {

// The RP1210C sizes are `long`; the core's are 32-bit. Larger requests get the largest.
qint32 clamp32(long v)
{
    if (v > std::numeric_limits<qint32>::max())
        return std::numeric_limits<qint32>::max();
    if (v < std::numeric_limits<qint32>::min())
        return std::numeric_limits<qint32>::min();
    return static_cast<qint32>(v);
}

}  // namespace

extern "C" {

short RP1210_ClientConnect(void* hwndClient, short nDeviceID, const char* fpchProtocol, long lTxBufferSize,
                           long lRcvBufferSize, short nIsAppPacketizingIncomingMsgs)
{
    // The handle only reaches the core's send thread, which keeps its low bits.
    const auto hwnd = static_cast<quint32>(reinterpret_cast<quintptr>(hwndClient));
    return Driver::instance().connect(hwnd, nDeviceID, fpchProtocol, clamp32(lTxBufferSize), clamp32(lRcvBufferSize),
                                      nIsAppPacketizingIncomingMsgs);
}

short RP1210_ClientDisconnect(short nClientID)
{
    return Driver::instance().disconnect(nClientID);
}

short RP1210_SendMessage(short nClientID, char* fpchClientMessage, short nMessageSize, short nNotifyStatusOnTx,
                         short nBlockOnSend)
{
    return Driver::instance().sendMessage(nClientID, fpchClientMessage, nMessageSize, nNotifyStatusOnTx, nBlockOnSend);
}

short RP1210_ReadMessage(short nClientID, char* fpchAPIMessage, short nBufferSize, short nBlockOnRead)
{
    return Driver::instance().readMessage(nClientID, fpchAPIMessage, nBufferSize, nBlockOnRead);
}

short RP1210_SendCommand(short nCommandNumber, short nClientID, char* fpchClientCommand, short nMessageSize)
{
    return Driver::instance().sendCommand(nCommandNumber, nClientID, fpchClientCommand, nMessageSize);
}

void RP1210_ReadVersion(char* fpchDLLMajorVersion, char* fpchDLLMinorVersion, char* fpchAPIMajorVersion,
                        char* fpchAPIMinorVersion)
{
    Driver::instance().readVersion(fpchDLLMajorVersion, fpchDLLMinorVersion, fpchAPIMajorVersion, fpchAPIMinorVersion);
}

short RP1210_ReadDetailedVersion(short nClientID, char* fpchAPIVersionInfo, char* fpchDLLVersionInfo,
                                 char* fpchFWVersionInfo)
{
    return Driver::instance().readDetailedVersion(nClientID, fpchAPIVersionInfo, fpchDLLVersionInfo, fpchFWVersionInfo);
}

short RP1210_GetHardwareStatus(short nClientID, char* fpchClientInfo, short nInfoSize, short nBlockOnRequest)
{
    return Driver::instance().getHardwareStatus(nClientID, fpchClientInfo, nInfoSize, nBlockOnRequest);
}

short RP1210_GetErrorMsg(short ErrorCode, char* fpchDescription)
{
    return Driver::instance().getErrorMsg(ErrorCode, fpchDescription);
}

short RP1210_GetLastErrorMsg(short ErrorCode, int* SubErrorCode, char* fpchDescription, short nClientID)
{
    return Driver::instance().getLastErrorMsg(ErrorCode, SubErrorCode, fpchDescription, nClientID);
}

short RP1210_Ioctl(short nClientID, long nIoctlID, void* pInput, void* pOutput)
{
    // Identifiers beyond 32 bits name no ioctl; the core refuses them as any unknown one.
    const qint32 id = nIoctlID > std::numeric_limits<qint32>::max() || nIoctlID < 0 ? -1 : static_cast<qint32>(nIoctlID);
    return Driver::instance().ioctl(nClientID, id, pInput, pOutput);
}

}  // extern "C"
