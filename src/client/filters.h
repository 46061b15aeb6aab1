// Message filters of a client: one class per protocol family, built from the bytes
// of an RP1210 filter command record.
//
// A filter is immutable once built, so the receive thread may evaluate it while an
// application thread reads it through Cliente::getActiveFilter. Valid_Filter only
// reads the filter's fields and the message (never past its end) and allocates
// nothing: it runs once per received message, client and filter.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <vector>

class GestionFiltro {
public:
    GestionFiltro() = default;
    virtual ~GestionFiltro() = default;
    GestionFiltro(const GestionFiltro&) = delete;
    GestionFiltro& operator=(const GestionFiltro&) = delete;

    // message: timestamp (4 bytes), the echo byte when echo is true, then the payload.
    // A message too short for the filter is rejected whatever filterMode says; any
    // other answer is inverted when filterMode is not 0.
    virtual bool Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const = 0;
};

// Record: flags, PGN (3 bytes), priority, source address, destination address.
class J1939_Filtro final : public GestionFiltro {
public:
    static constexpr int kRecordSize = 7;
    explicit J1939_Filtro(const unsigned char* record);

    bool Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const override;

    quint8 getFilterFlag() const { return flags_; }
    QByteArray getPGN() const;  // the three PGN bytes in record order
    quint8 getPriority() const { return priority_; }
    quint8 getSourceAddress() const { return sourceAddress_; }
    quint8 getDestinationAddress() const { return destinationAddress_; }

private:
    quint8 flags_;
    quint8 pgn_[3];
    bool comparePgn_;
    quint8 priority_;
    bool comparePriority_;
    quint8 sourceAddress_;
    bool compareSource_;
    quint8 destinationAddress_;
    bool compareDestination_;
};

// One MID.
class J1708_Filtro final : public GestionFiltro {
public:
    explicit J1708_Filtro(unsigned char mid) : mid_(mid) {}

    bool Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const override;

    quint8 getMID() const { return mid_; }

private:
    quint8 mid_;
};

// Record: type (1 extended, else standard), mask (4 bytes), header (4 bytes), most
// significant byte first; a standard type uses only the two low bytes of each.
class CAN_Filtro final : public GestionFiltro {
public:
    static constexpr int kRecordSize = 9;
    explicit CAN_Filtro(const unsigned char* record);

    bool Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const override;

    quint8 getType() const { return type_; }
    quint32 getHeader() const { return header_; }
    quint32 getMask() const { return mask_; }

private:
    quint8 type_;
    quint32 header_;
    quint32 mask_;
};

// Record: type, mask (4), extended-address mask, header (4), extended-address value.
// Types 1 and 3 carry a 29-bit identifier and an extended address; the others an
// 11-bit identifier in the two low bytes and no extended address.
class ISO15765_Filtro final : public GestionFiltro {
public:
    static constexpr int kRecordSize = 11;
    explicit ISO15765_Filtro(const unsigned char* record);

    bool Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const override;

    quint8 getType() const { return type_; }
    quint32 getHeader() const { return header_; }
    quint32 getMask() const { return mask_; }
    quint8 getExtAddress() const { return extAddress_; }
    quint8 getExtAddressMask() const { return extAddressMask_; }

    // Same type, header and mask, and for types 2 and above the same extended address.
    bool sameAs(const ISO15765_Filtro& other) const;

private:
    quint8 type_;
    quint32 header_;
    quint32 mask_;
    quint8 extAddress_;
    quint8 extAddressMask_;
};

// Record: masks of header bytes 1 to 3, then their values.
class J1850_Filtro final : public GestionFiltro {
public:
    static constexpr int kRecordSize = 6;
    explicit J1850_Filtro(const unsigned char* record);

    bool Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const override;

    quint8 getValue(int i) const { return (i >= 0 && i < 3) ? value_[i] : 0; }
    quint8 getMask(int i) const { return (i >= 0 && i < 3) ? mask_[i] : 0; }

private:
    quint8 value_[3];
    quint8 mask_[3];
};

// A byte pattern of which only the length decides: a message passes when it is long
// enough to hold it behind the timestamp (and echo byte).
class CDL_Filtro final : public GestionFiltro {
public:
    CDL_Filtro(const unsigned char* pattern, short length);

    bool Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const override;

    const std::vector<quint8>& getPattern() const { return pattern_; }

private:
    std::vector<quint8> pattern_;
};
