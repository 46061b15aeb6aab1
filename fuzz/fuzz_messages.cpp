// RP1210_SendMessage and RP1210_ReadMessage with any size and buffer size, blocking or
// not, with echo on or off, while the bus delivers messages of every protocol.
//
// Input: generation, then up to eight operations: send, read, or a received message.
#include "api_rig.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ApiRig& rig = ApiRig::instance();
    FuzzBytes in(data, size);
    rig.begin(in.pick(ApiRig::kGenerations));
    const quint8 settings = in.byte();
    for (size_t k = 0; k < rig.clients().size(); ++k) {
        const short id = rig.clients()[k].id;
        char echo[] = {char((settings >> k) & 1)};
        char timeout[] = {1, 1};  // blocking reads give up after a millisecond
        rig.g.RP1210_SendCommand(16, id, echo, 1);
        rig.g.RP1210_SendCommand(215, id, timeout, 2);
    }
    for (int n = 0; n < 8 && !in.empty(); ++n) {
        const quint8 op = in.byte();
        const short client = rig.client(in);
        switch (op % 3) {
        case 0: {
            const QByteArray bytes = in.bytes(in.u16() % 2100);
            std::vector<char> buffer(bytes.begin(), bytes.end());
            const short claimed = in.claimedSize(buffer.size());
            rig.g.RP1210_SendMessage(client, buffer.empty() ? nullptr : buffer.data(), claimed, op & 4, op & 8);
            break;
        }
        case 1: {
            // A buffer of exactly the size the call is told; a negative size gets none.
            const short bufferSize = short(in.u16() % 4200) - 8;
            std::vector<char> buffer(size_t(bufferSize > 0 ? bufferSize : 0));
            const short block = (op & 4) ? 1 : 0;
            const short rc = rig.g.RP1210_ReadMessage(client, buffer.empty() ? nullptr : buffer.data(), bufferSize, block);
            if (rc > 0 && rc > bufferSize)
                __builtin_trap();
            break;
        }
        default: {
            const ApiRig::Connected* target = rig.clients().empty() ? nullptr : &rig.clients()[op % rig.clients().size()];
            const quint8 protocolo = target ? target->protocolo : in.byte();
            const QByteArray message = in.bytes(in.byte());
            rig.deliver(protocolo, message);
            break;
        }
        }
    }
    rig.end();
    return 0;
}
