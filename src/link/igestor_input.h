// The receive side of the adapter link, as the API manager and the transport see it.
#pragma once

#include <QtGlobal>

class IGestorInput {
public:
    // Empties the receive ring and starts the receive thread. Called by connect
    // under the connection lock, after the send thread has started.
    virtual void ArrancarHiloRecepcion() = 0;

    // Stops the receive thread and returns once it has left its loop; false when it
    // was not running. Frames still queued stay until the next start discards them.
    virtual bool pararHiloRecepcion() = 0;

    // Called by the transport's receiving thread with one whole adapter frame. Copies it;
    // while the receive thread runs and the ring is full it blocks rather than drop the
    // frame. Frames delivered while the thread is stopped are dropped: nobody would
    // dispatch them, and a transport blocked here could never release the link.
    virtual void storeMsg(const char* data, quint32 length) = 0;

protected:
    ~IGestorInput() = default;
};
