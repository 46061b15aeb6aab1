// The connect-string parser's own tables, for whatever must list what it accepts (the
// vendor INI is generated from them, so the two cannot drift apart).
#pragma once

#include <rp1210core/types.h>

#include <cstddef>

namespace rp1210core::internal {

struct ConnectKeyword {
    const char* text;
    enu_GATEWAY_Protocolo protocolo;
    enu_GATEWAY_Velocidad velocidad;  // without a "Baud=" option
};

// A "Baud=" option that always selects the same speed. "Baud=Auto" and "Baud=1000" are
// decided by the parser from the adapter and the protocol and are not listed.
struct ConnectBaudText {
    const char* text;
    enu_GATEWAY_Velocidad velocidad;
};

template <typename T>
struct Table {
    const T* data;
    std::size_t size;
    const T* begin() const { return data; }
    const T* end() const { return data + size; }
};

// "SWCAN" is accepted only by some adapters and is not in the keyword table.
Table<ConnectKeyword> connectKeywords();
Table<ConnectBaudText> connectBaudTexts();

}  // namespace rp1210core::internal
