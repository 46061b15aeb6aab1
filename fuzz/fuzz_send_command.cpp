// RP1210_SendCommand with any command number, size and data, on connected clients of
// each protocol, against an adapter that answers every request at once.
//
// Input: generation, the adapter's answer state and tail, then up to four commands:
// client, number (a known one or any 16-bit value), data length and bytes, claimed size.
#include "api_rig.h"

#include <vector>

namespace {

const short kCommands[] = {0,  3,  4,  5,  7,  8,  9,  15, 16, 17, 18, 19, 20, 21, 22,  23,  24,   25,   26,   27,
                           28, 29, 30, 31, 32, 33, 34, 35, 37, 38, 39, 41, 42, 45, 46,  47,  48,   211,  215,  305,
                           1000, 1001, 1002, 1003};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ApiRig& rig = ApiRig::instance();
    FuzzBytes in(data, size);
    const ApiRig::Generation& generation = in.pick(ApiRig::kGenerations);
    const quint8 state = in.byte() % 4 == 0 ? in.byte() : 0;
    rig.begin(generation, state, in.bytes(in.byte() % 16));
    for (int n = 0; n < 4 && !in.empty(); ++n) {
        const short client = rig.client(in);
        const quint8 pick = in.byte();
        const short command = pick < 200 ? kCommands[pick % (sizeof kCommands / sizeof kCommands[0])] : short(in.u16());
        const QByteArray bytes = in.bytes(in.byte() % 80);
        // The caller's buffer, exactly as long as its bytes.
        std::vector<char> buffer(bytes.begin(), bytes.end());
        const short claimed = in.claimedSize(buffer.size());
        rig.g.RP1210_SendCommand(command, client, buffer.empty() ? nullptr : buffer.data(), claimed);
    }
    rig.end();
    return 0;
}
