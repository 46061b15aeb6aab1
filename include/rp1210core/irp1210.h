// The ten RP1210 operations that the front library forwards to the core.
#pragma once

#include <QtGlobal>

// Thread: any application thread. Every operation returns a signed 16-bit RP1210
// code (0 success); RP1210_ReadMessage returns a byte count or a negated code.
// No exception leaves these operations.
class IRp1210 {
public:
    virtual short RP1210_ClientConnect(quint32 hwnd, short deviceId, const char* connectString,
                                       qint32 txBufferSize, qint32 rxBufferSize, short appPacketizing) = 0;
    virtual short RP1210_ClientDisconnect(short clientId) = 0;
    virtual short RP1210_SendMessage(short clientId, const char* message, short size, short notifyStatusOnTx,
                                     short blockOnSend) = 0;
    virtual short RP1210_ReadMessage(short clientId, char* buffer, short bufferSize, short blockOnRead) = 0;
    virtual short RP1210_SendCommand(short command, short clientId, char* data, short size) = 0;
    virtual short RP1210_ReadVersion(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor) = 0;
    virtual short RP1210_GetErrorMsg(short code, char* text) = 0;
    virtual short RP1210_GetHardwareStatus(short clientId, char* status, short size, short blockOnRequest) = 0;
    virtual short RP1210_ReadDetailedVersion(short clientId, char* apiVersion, char* dllVersion,
                                             char* firmwareVersion) = 0;
    virtual short RP1210_Ioctl(short clientId, qint32 ioctlId, void* input, void* output) = 0;

protected:
    // Never deleted through the interface.
    ~IRp1210() = default;
};
