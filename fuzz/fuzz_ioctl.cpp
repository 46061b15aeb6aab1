// RP1210_Ioctl with any identifier and J2534 records (parameter lists and byte arrays of
// any count, null pointers), against an adapter that answers with any data.
//
// Input: generation, the ioctl answer's tail, then up to three calls: client,
// identifier, input and output record shapes and contents.
#include "api_rig.h"

#include <vector>

namespace {

const qint32 kIds[] = {1, 2, 4, 5, 6, 250, 251, 252, 253, 254, 255};

// One caller record and the storage it points at, as an application lays them out.
struct Record {
    SCONFIG_LIST list{};
    SBYTE_ARRAY array{};
    std::vector<SCONFIG> params;
    std::vector<uint8_t> bytes;

    // Shape: 0 null, 1 empty with a null pointer, 2 a count with a null pointer, else filled.
    void *make(FuzzBytes& in, bool isList)
    {
        const quint8 shape = in.byte();
        const quint32 count = in.byte() % 40;
        if (shape % 8 == 0)
            return nullptr;
        if (isList) {
            params.resize(count);
            for (SCONFIG& p : params)
                p = {quint32(in.byte() % 0x40), in.u32()};
            list = {count, shape % 8 == 2 ? nullptr : params.data()};
            if (shape % 8 == 1)
                list = {0, nullptr};
            return &list;
        }
        const QByteArray b = in.bytes(int(count));
        bytes.assign(b.begin(), b.end());
        array = {quint32(bytes.size()), shape % 8 == 2 ? nullptr : bytes.data()};
        if (shape % 8 == 1)
            array = {0, nullptr};
        return &array;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ApiRig& rig = ApiRig::instance();
    FuzzBytes in(data, size);
    const ApiRig::Generation& generation = in.pick(ApiRig::kGenerations);
    rig.setIoctlTail(in.bytes(in.byte() % 64));
    rig.begin(generation);
    for (int n = 0; n < 3 && !in.empty(); ++n) {
        const short client = rig.client(in);
        const quint8 pick = in.byte();
        const qint32 id = pick < 240 ? kIds[pick % (sizeof kIds / sizeof kIds[0])] : qint32(in.u32());
        const bool lists = id == 1 || id == 2;
        Record input, output;
        void* i = input.make(in, lists);
        void* o = output.make(in, lists);
        rig.g.RP1210_Ioctl(client, id, i, o);
        // An answer is copied into the caller's record and never past it.
        if (o != nullptr && !lists && output.array.BytePtr == output.bytes.data() &&
            output.array.NumOfBytes > output.bytes.size())
            __builtin_trap();
    }
    rig.end();
    return 0;
}
