// The three process-wide managers as a host sees them: how to obtain them and how to
// wire them together and to the transport. Everything else about them is private to
// the core.
//
// Wiring, once, before the first RP1210 call:
//   auto* api = rp1210core::GestorRP1210::getInstance();
//   auto* out = rp1210core::Gestor_IO::getInstance();
//   auto* in = rp1210core::GestorInput::getInstance();
//   out->setIProxyLink(&transport);          // the host's transport, not owned
//   api->setIGestorOutput(out);
//   api->setIGestorInput(in);
//   // and the transport hands every frame it receives to in->storeMsg(data, length).
#pragma once

#include <rp1210core/export.h>
#include <rp1210core/iproxy_link.h>
#include <rp1210core/irp1210.h>

namespace rp1210core {

// The output manager: frame builders and the send thread towards the adapter.
class RP1210CORE_EXPORT Gestor_IO {
public:
    // Created on first call (thread-safe), never destroyed; already wired to the other
    // two managers' internals.
    static Gestor_IO* getInstance();

    // The transport every request frame is written to. Not owned; set before the first
    // connect and kept while any client is connected.
    virtual void setIProxyLink(IProxyLink* link) = 0;

protected:
    ~Gestor_IO() = default;
};

// The input manager: the receive ring and the thread that dispatches adapter frames.
class RP1210CORE_EXPORT GestorInput {
public:
    static GestorInput* getInstance();

    // Called by the transport's receiving thread with one whole adapter frame, which is
    // copied. Blocks while the receive ring is full and the receive thread runs; frames
    // that arrive while no client is connected are dropped.
    virtual void storeMsg(const char* data, quint32 length) = 0;

protected:
    ~GestorInput() = default;
};

// The API manager: the RP1210 operations that the front library forwards.
class RP1210CORE_EXPORT GestorRP1210 : public IRp1210 {
public:
    static GestorRP1210* getInstance();

    // Hands the manager its output and input managers (those of getInstance()).
    virtual void setIGestorOutput(Gestor_IO* output) = 0;
    virtual void setIGestorInput(GestorInput* input) = 0;

    // The text of an RP1210 code as RP1210_GetErrorMsg gives it, with the adapter's
    // sub-error for the client where one exists (-1 otherwise).
    virtual short RP1210_GetLastErrorMsg(short code, int* subCode, char* text, short clientId) = 0;

protected:
    ~GestorRP1210() = default;
};

}  // namespace rp1210core
