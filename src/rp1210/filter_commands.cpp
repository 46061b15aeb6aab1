// Filter commands of RP1210_SendCommand (4, 5, 7, 8, 9, 17, 211), the adapter-side
// J1939 filter requests of adapters that hold filters, and the exported local-only
// filter additions.
//
// A filter record is read by Cliente::addFiltro with the length of the client's
// protocol, whatever record length the caller meant; every walk here therefore checks
// that each record holds the bytes addFiltro will read before adding any.
#include "rp1210/gestor_rp1210.h"

#include "common/protocols.h"

#include "client/filters.h"
#include "link/igestor_output.h"

#include <vector>

using namespace rp1210core::internal;

namespace {

constexpr int kCanFilterLimitS = 7;
constexpr int kJ1850FilterLimitS = 7;
constexpr int kIso15765FilterLimitS = 4;

constexpr int kJ1708RecordSize = 1;
constexpr quint8 kFlagComparePgn = 0x01;
constexpr quint8 kFlagSourceOnly = 0x04;
constexpr int kMaxCdlPattern = 255;  // the record carries the pattern length in one byte

// Generations 1, 3 and 5 also hold J1939 and CAN filters in the adapter.
bool holdsFiltersInAdapter(enum_VersionVCI g)
{
    return g == VCI_J || g == VCI_K1 || g == VCI_E;
}

// Whether `available` bytes from `record` hold what addFiltro reads for the protocol.
bool recordFits(quint8 protocolo, const unsigned char* record, int available)
{
    switch (protocolFacts(protocolo).filter) {
    case FilterKind::Can: return available >= CAN_Filtro::kRecordSize;
    case FilterKind::J1850: return available >= J1850_Filtro::kRecordSize;
    case FilterKind::J1708: return available >= kJ1708RecordSize;
    case FilterKind::J1939: return available >= J1939_Filtro::kRecordSize;
    case FilterKind::Iso15765: return available >= ISO15765_Filtro::kRecordSize;
    case FilterKind::Cat: return available >= 1 && record[0] + 1 <= available;
    case FilterKind::None: break;
    }
    return true;  // no filter class: addFiltro reads nothing
}

bool allRecordsFit(quint8 protocolo, const unsigned char* bytes, int size, int recordLength)
{
    for (int offset = 0; offset < size; offset += recordLength)
        if (!recordFits(protocolo, bytes + offset, recordLength))
            return false;
    return true;
}

const unsigned char* asBytes(const char* data)
{
    return reinterpret_cast<const unsigned char*>(data);
}

}  // namespace

quint32 GestorRP1210::addFiltros(Cliente* cliente, const char* data, int size, int recordLength)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (size < 1 || !data || recordLength < 1 || size % recordLength != 0)
        return rp1210rc::INVALID_COMMAND;
    const unsigned char* bytes = asBytes(data);
    if (!allRecordsFit(cliente->getProtocolo(), bytes, size, recordLength))
        return rp1210rc::INVALID_COMMAND;
    // A refused record (list full) does not stop the walk; the last answer counts.
    quint32 result = 0;
    for (int offset = 0; offset < size; offset += recordLength)
        result = cliente->addFiltro(bytes + offset);
    return result;
}

// ---- J1939 filters held in the adapter: queued without a wait ----
// Their answers only update states nobody reads, hence the fixed result.

short GestorRP1210::Cmd_SetFiltersV6(Cliente* cliente, const char* data, short count)
{
    if (!cliente || !data || count < 0)
        return rp1210rc::INVALID_COMMAND;
    cliente->setServiceRequestState(SERV_SET_FILTERS_V6, RESP_SERV_PENDING);
    // The PGN bytes follow the flag byte of the record.
    output_->GenerarTrama_SetFiltersV6(cliente->getIdCliente(), cliente->getProtocolo(), data + 1, count);
    return rp1210rc::ADAPTER_NEGATIVE;
}

short GestorRP1210::Cmd_SetFilters_SA_V6(Cliente* cliente, const char* data)
{
    if (!cliente || !data)
        return rp1210rc::INVALID_COMMAND;
    cliente->setServiceRequestState(SERV_SET_FILTER_SA_V6, RESP_SERV_PENDING);
    output_->GenerarTrama_SetFilter_SA_V6(cliente->getIdCliente(), cliente->getProtocolo(),
                                          static_cast<quint8>(data[5]));
    return rp1210rc::ADAPTER_NEGATIVE;
}

short GestorRP1210::Cmd_ClearFiltersV6(Cliente* cliente, const QByteArray& pgn)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    cliente->setServiceRequestState(SERV_CLEAR_FILTER_V6, RESP_SERV_PENDING);
    output_->GenerarTrama_ClearFilterV6(cliente->getIdCliente(), cliente->getProtocolo(), pgn);
    return rp1210rc::ADAPTER_NEGATIVE;
}

short GestorRP1210::Cmd_ClearFilters_SA_V6(Cliente* cliente)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    cliente->setServiceRequestState(SERV_CLEAR_FILTER_SA_V6, RESP_SERV_PENDING);
    output_->GenerarTrama_ClearFilter_SA_V6(cliente->getIdCliente(), cliente->getProtocolo());
    return rp1210rc::ADAPTER_NEGATIVE;
}

// ---- ISO 15765 filters, held in the client and in the adapter ----

short GestorRP1210::Cmd_Set_Message_Filtering_For_ISO15765(Cliente* cliente, const char* data, int size,
                                                           short recordLength)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (!isIso15765Family(cliente->getProtocolo()) || recordLength != ISO15765_Filtro::kRecordSize || size < 0 ||
        (!data && size > 0) || size % recordLength != 0)
        return rp1210rc::INVALID_COMMAND;

    QByteArray records(data, size);
    int count = size;
    // Filters the client already holds are neither asked for again nor added twice.
    if (!cliente->areISO15765FiltersCorrect(records, count))
        return 0;

    const short result =
        AnswerWait(*this, iso15765FilterStatus, cliente, EndsEarlyOn::Nothing).request(kIso15765FilterLimitS, [&] {
            output_->GenerarTrama_Set_ISO15765_Filter(cliente->getIdCliente(), cliente->getProtocolo(), 1, &records,
                                                      static_cast<short>(count));
        }).code;
    if (result != 0)
        return result;

    quint32 added = 0;
    for (int offset = 0; offset + recordLength <= count; offset += recordLength)
        added = cliente->addFiltro(asBytes(records.constData()) + offset);
    return static_cast<short>(added);
}

// ---- exported local-only additions ----

quint32 GestorRP1210::Cmd_Set_Message_Filtering_For_J1708(Cliente* cliente, const char* data, short size)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (size < 0 || (!data && size > 0))
        return rp1210rc::INVALID_COMMAND;
    if (size == 0)
        return 0;
    if (!allRecordsFit(cliente->getProtocolo(), asBytes(data), size, kJ1708RecordSize))
        return rp1210rc::INVALID_COMMAND;
    // One MID per byte, every byte up to the last (no 8-bit counter to wrap).
    quint32 result = 0;
    for (int i = 0; i < size; ++i)
        result = cliente->addFiltro(asBytes(data) + i);
    return result;
}

quint32 GestorRP1210::Cmd_Set_Message_Filtering_For_CDL(Cliente* cliente, const char* data, short size)
{
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (size < 0 || (!data && size > 0))
        return rp1210rc::INVALID_COMMAND;
    if (size < 2)
        return 0;
    // A longer pattern would wrap its one-byte length into a shorter, wrong filter.
    if (size > kMaxCdlPattern)
        return rp1210rc::INVALID_COMMAND;
    QByteArray record;
    record.reserve(size + 1);
    record.append(static_cast<char>(size));
    record.append(data, size);
    if (!recordFits(cliente->getProtocolo(), asBytes(record.constData()), record.size()))
        return rp1210rc::INVALID_COMMAND;
    return cliente->addFiltro(asBytes(record.constData()));
}

quint32 GestorRP1210::Cmd_Set_Message_Filtering_For_J1939(Cliente* cliente, const char* data, short size)
{
    return addFiltros(cliente, data, size, J1939_Filtro::kRecordSize);
}

quint32 GestorRP1210::Cmd_Set_Message_Filtering_For_CAN(Cliente* cliente, const char* data, short size)
{
    return addFiltros(cliente, data, size, CAN_Filtro::kRecordSize);
}

quint32 GestorRP1210::Cmd_Set_Message_Filtering(Cliente* cliente, const char* data, int size, short recordLength)
{
    return addFiltros(cliente, data, size, recordLength);
}

// ---- the commands ----

namespace {

// Command 17: the adapter forgets the client's filters (J1939 one by one from the
// client's list, the others wholesale), then the client discards everything,
// whatever the adapter answered.
short discardAllFilters(GestorRP1210& g, Cliente* cliente, bool adapterFilters)
{
    const quint8 protocolo = cliente->getProtocolo();
    short result = 0;
    if (protocolo == PROTOCOLO_J1939 && adapterFilters) {
        // Copy what the requests need first: the list is not touched while they go out.
        struct Held {
            quint8 flags;
            QByteArray pgn;
        };
        std::vector<Held> held;
        for (int i = 0; i < cliente->getFilterSize(); ++i)
            if (const auto* f = dynamic_cast<const J1939_Filtro*>(cliente->getActiveFilter(i)))
                held.push_back({f->getFilterFlag(), f->getPGN().left(3)});
        for (const Held& h : held) {
            if (h.flags & kFlagComparePgn)
                g.Cmd_ClearFiltersV6(cliente, h.pgn);
            else if (h.flags == kFlagSourceOnly)
                g.Cmd_ClearFilters_SA_V6(cliente);
        }
    }
    IGestorOutput* out = g.getIGestorOutput();
    if (protocolo == PROTOCOLO_J1850) {
        result = AnswerWait(g, g.j1850ClearFilterStatus, cliente, EndsEarlyOn::Nothing)
                     .request(kJ1850FilterLimitS, [&] { out->GenerarTrama_ClearFilterJ1850(); })
                     .code;
    } else if (protocolo == PROTOCOLO_CAN && adapterFilters) {
        result = AnswerWait(g, g.canClearFilterStatus, cliente, EndsEarlyOn::Nothing)
                     .request(kCanFilterLimitS, [&] { out->GenerarTrama_ClearFilterCAN(); })
                     .code;
    } else if (isIso15765Family(protocolo)) {
        result = g.Cmd_ISO15765_Clear_Filter(cliente);
    }
    cliente->deleteAllFilters();
    cliente->setFilterState(0);
    return result;
}

}  // namespace

short GestorRP1210::dispatchFilterCommand(short command, Cliente* cliente, const char* data, short size)
{
    const quint8 protocolo = cliente->getProtocolo();
    const bool validBuffer = size >= 0 && (data != nullptr || size == 0);
    const bool adapterFilters = holdsFiltersInAdapter(getAdapterGeneration());

    switch (command) {
    case 4:  // Set_Message_Filtering_For_J1939
        if (protocolo != PROTOCOLO_J1939 || !validBuffer)
            return rp1210rc::INVALID_COMMAND;
        if (adapterFilters) {
            if (size < J1939_Filtro::kRecordSize)
                return rp1210rc::INVALID_COMMAND;
            // Only the first record goes to the adapter; the client list does the rest.
            const quint8 flags = static_cast<quint8>(data[0]);
            if (flags & kFlagComparePgn)
                Cmd_SetFiltersV6(cliente, data, 1);
            else if (flags == kFlagSourceOnly)
                Cmd_SetFilters_SA_V6(cliente, data);
        }
        return static_cast<short>(addFiltros(cliente, data, size, J1939_Filtro::kRecordSize));

    case 5:  // Set_Message_Filtering_For_CAN
        if (protocolo != PROTOCOLO_CAN || !validBuffer)
            return rp1210rc::INVALID_COMMAND;
        if (adapterFilters) {
            if (size < CAN_Filtro::kRecordSize)
                return rp1210rc::INVALID_COMMAND;
            const short result = AnswerWait(*this, canFilterStatus, cliente, EndsEarlyOn::Nothing)
                                     .request(kCanFilterLimitS, [&] { output_->GenerarTrama_Set_CAN_Filter(data); })
                                     .code;
            if (result != 0)
                return result;
        }
        return static_cast<short>(addFiltros(cliente, data, size, CAN_Filtro::kRecordSize));

    case 7:  // Set_Message_Filtering_For_J1708
        if (protocolo != PROTOCOLO_J1708)
            return rp1210rc::INVALID_COMMAND;
        return static_cast<short>(Cmd_Set_Message_Filtering_For_J1708(cliente, data, size));

    case 8: {  // Set_Message_Filtering_For_J1850: client list first, then the adapter
        if (protocolo != PROTOCOLO_J1850)
            return rp1210rc::INVALID_COMMAND;
        const quint32 added = addFiltros(cliente, data, size, J1850_Filtro::kRecordSize);
        if (added != 0)
            return static_cast<short>(added);
        return AnswerWait(*this, j1850FilterStatus, cliente, EndsEarlyOn::Nothing)
            .request(kJ1850FilterLimitS, [&] { output_->GenerarTrama_Set_J1850_Filter(data); })
            .code;
    }

    case 9: {  // Set_Message_Filtering_For_ISO15765
        if (!isIso15765Family(protocolo) || !validBuffer || size % ISO15765_Filtro::kRecordSize != 0)
            return rp1210rc::INVALID_COMMAND;
        const short result =
            Cmd_Set_Message_Filtering_For_ISO15765(cliente, data, size, ISO15765_Filtro::kRecordSize);
        return result == rp1210rc::ADAPTER_NEGATIVE ? short(rp1210rc::INVALID_COMMAND) : result;
    }

    case 17:  // Set_All_Filters_States_to_Discard
        return discardAllFilters(*this, cliente, adapterFilters);

    case 211:  // Set_Message_Filtering_For_CDL
        if (protocolo != PROTOCOLO_CAT)
            return rp1210rc::INVALID_COMMAND;
        return static_cast<short>(Cmd_Set_Message_Filtering_For_CDL(cliente, data, size));

    default:
        return rp1210rc::COMMAND_NOT_SUPPORTED;
    }
}
