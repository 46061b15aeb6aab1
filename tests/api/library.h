// The driver as an application sees it: librp1210.so loaded with dlopen and its
// functions looked up by name.
#pragma once

#include <rp1210.h>

#include <dlfcn.h>

#include <QByteArray>

#include <chrono>

#define RP1210_FUNCTIONS(X)                                                                                            \
    X(ClientConnect) X(ClientDisconnect) X(SendMessage) X(ReadMessage) X(SendCommand) X(ReadVersion)                   \
    X(ReadDetailedVersion) X(GetHardwareStatus) X(GetErrorMsg) X(GetLastErrorMsg) X(Ioctl)

struct Rp1210Library {
#define RP1210_MEMBER(name) decltype(&RP1210_##name) name = nullptr;
    RP1210_FUNCTIONS(RP1210_MEMBER)
#undef RP1210_MEMBER
    void* handle = nullptr;

    explicit Rp1210Library(int flags = RTLD_NOW | RTLD_LOCAL, const char* path = RP1210_LIBRARY)
        : handle(dlopen(path, flags))
    {
#define RP1210_BIND(name) name = handle ? reinterpret_cast<decltype(name)>(dlsym(handle, "RP1210_" #name)) : nullptr;
        RP1210_FUNCTIONS(RP1210_BIND)
#undef RP1210_BIND
    }
    ~Rp1210Library() { close(); }
    Rp1210Library(const Rp1210Library&) = delete;
    Rp1210Library& operator=(const Rp1210Library&) = delete;

    bool complete() const
    {
#define RP1210_FOUND(name) && name
        return handle RP1210_FUNCTIONS(RP1210_FOUND);
#undef RP1210_FOUND
    }
    int close()
    {
        const int rc = handle ? dlclose(handle) : 0;
        handle = nullptr;
        return rc;
    }

    short connect(const char* protocol, short device = 1) { return ClientConnect(nullptr, device, protocol, 0, 0, 0); }
    // A connect that lets everything through (a new client's filters discard all).
    short connectOpen(const char* protocol, short device = 1)
    {
        const short id = connect(protocol, device);
        return id >= 1 && id <= 16 && command(RP1210_Set_All_Filters_States_to_Pass, id) != 0 ? -1 : id;
    }
    short command(short number, short client, QByteArray data = QByteArray())
    {
        return SendCommand(number, client, data.data(), static_cast<short>(data.size()));
    }
    short send(short client, QByteArray message)
    {
        return SendMessage(client, message.data(), static_cast<short>(message.size()), 0, 0);
    }
    // The first message read within `limit` for which `accept` holds; empty when none.
    template <typename Accept>
    QByteArray readUntil(short client, Accept accept, std::chrono::milliseconds limit = std::chrono::seconds(5))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char buffer[4096];
        // Blocking reads wake at once on a message; the 100 ms timeout only bounds the wait.
        const char timeout[2] = {1, 100};
        command(RP1210_Set_Blocking_Timeout, client, QByteArray(timeout, 2));
        while (std::chrono::steady_clock::now() < deadline) {
            const short n = ReadMessage(client, buffer, sizeof buffer, BLOCKING_IO);
            if (n > 0 && accept(QByteArray(buffer, n)))
                return QByteArray(buffer, n);
        }
        return QByteArray();
    }
};

// A J1939 message as sent: PGN (3, least significant first), priority, source, destination, data.
inline QByteArray j1939(quint32 pgn, quint8 destination, QByteArray data, quint8 source = 0xF9)
{
    QByteArray m;
    m.append(char(pgn & 0xFF)).append(char((pgn >> 8) & 0xFF)).append(char((pgn >> 16) & 0xFF));
    m.append(char(6)).append(char(source)).append(char(destination));
    return m + data;
}

inline QByteArray request(quint32 pgn, quint8 destination)
{
    const char asked[3] = {char(pgn & 0xFF), char((pgn >> 8) & 0xFF), char((pgn >> 16) & 0xFF)};
    return j1939(59904, destination, QByteArray(asked, 3));
}

constexpr char kVin[] = "1SVTR5EX7PS000042";  // the simulated vehicle's

// Little-endian field of a read message.
inline quint32 le(const QByteArray& m, int at, int n)
{
    quint32 v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | static_cast<quint8>(m.at(at + i));
    return v;
}

// A J1939 read: timestamp (4), with echo on an echo flag (1), PGN (3, least significant byte
// first), how/priority, source, destination, data.
inline quint32 pgnOf(const QByteArray& m, int echo = 0)
{
    if (m.size() < 10 + echo)
        return 0xFFFFFFFF;
    return quint8(m[4 + echo]) | quint32(quint8(m[5 + echo])) << 8 | quint32(quint8(m[6 + echo])) << 16;
}
