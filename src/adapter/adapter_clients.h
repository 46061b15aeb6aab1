// The adapter's own client table: who is connected on which protocol and speed, and
// what each client asked of the adapter (filters held in the adapter, ISO 15765 flow
// control records). The protocols of one bus share it and therefore its speed: the CAN
// family, J1708 and CAT, the K-line family, J1850.
#pragma once

#include <rp1210core/types.h>

#include <QByteArray>

#include <array>
#include <optional>
#include <set>
#include <vector>

namespace rp1210core::adapter {

// One ISO 15765 flow-control record: the identifier pair of one connection.
struct IsoFlowRecord {
    quint8 type = 0;  // RP1210 addressing type, 0 to 4
    quint32 incomingId = 0, outgoingId = 0;
    quint8 incomingAddress = 0, outgoingAddress = 0;
    quint8 blockSize = 0, stMin = 0, transmitStMin = 0;
    int connection = -1;  // the ISO-TP engine's handle

    static bool typeHasAddress(quint8 type) { return type >= 2 && type <= 4; }
    static bool typeExtended(quint8 type) { return type == 1 || type == 3; }
    // Reads the records of a flow-control command; nullopt when the bytes are not whole records.
    static std::optional<std::vector<IsoFlowRecord>> parse(const QByteArray& bytes);
};

// The adapter-side filter of a CAN message: (id & mask) == (header & mask).
struct CanAdapterFilter {
    bool extended = false;
    quint32 header = 0, mask = 0;
};

struct AdapterClient {
    bool connected = false;
    quint8 protocol = 0;
    quint8 speed = 0;
    bool packetize = false;
    quint8 mode = 0;  // ISO 9141 mode flag of the mode-change command (0: RP1210 mode 1, the default)
    std::set<quint32> pgnFilters;     // J1939 filters held in the adapter; empty: every PGN
    std::optional<quint8> saFilter;   // J1939 source-address filter held in the adapter
    std::vector<IsoFlowRecord> flow;  // ISO 15765 connections
    quint8 padding = 1, padByte = 0xCC;

    bool passesJ1939(quint32 pgn, quint8 source) const
    {
        return (pgnFilters.empty() || pgnFilters.count(pgn) != 0) && (!saFilter || *saFilter == source);
    }
};

class AdapterClients {
public:
    static constexpr int kClients = 16;

    enum class Bus : quint8 { None, Can, J1708, KLine, J1850 };
    static constexpr int kBuses = 5;

    struct ConnectResult {
        quint8 state;
        quint8 speed;      // the speed the client runs at
        bool opensBus;     // first client of its bus: the caller opens the bus at `speed`
    };
    // Checks and records a connect; a protocol without a bus here gets state 3.
    ConnectResult connect(quint8 client, quint8 protocol, quint8 speed, bool packetize);
    // Removes a client; true when it was the last one on its bus (the caller closes it).
    bool disconnect(quint8 client, quint8* protocol = nullptr);
    // A speed change (the caller reopens the bus); the state to answer.
    quint8 changeSpeed(quint8 client, quint8 speed, bool* reopen);
    void clear() { clients_ = {}; speeds_ = {}; canFilters_.clear(); }

    AdapterClient* find(quint8 client);
    // The client whose record carries a request of `client` on `protocol`: the client
    // itself when connected on it, else the first client connected on the protocol (the
    // library connects only the first client of a protocol to the adapter; the later
    // ones send under their own ids). 0 when nobody carries the protocol.
    quint8 carrierOf(quint8 client, quint8 protocol) const;
    const std::array<AdapterClient, kClients>& all() const { return clients_; }
    int connectedCount() const;
    int countOn(Bus bus) const;  // connected clients on the bus

    std::vector<CanAdapterFilter>& canFilters() { return canFilters_; }
    bool passesCan(quint32 id, bool extended) const;

    static Bus busOf(quint8 protocol);
    static bool onCanBus(quint8 protocol) { return busOf(protocol) == Bus::Can; }
    static bool onJ1708Bus(quint8 protocol) { return busOf(protocol) == Bus::J1708; }
    // bits/s of a speed code, 0 when it names none.
    static quint32 bitrate(quint8 speed);

private:
    std::array<AdapterClient, kClients> clients_{};
    std::array<quint8, kBuses> speeds_{};  // by bus; 0 while the bus has no client
    std::vector<CanAdapterFilter> canFilters_;
};

}  // namespace rp1210core::adapter
