// The byte transport to the adapter, supplied by the host and never owned here.
#pragma once

#include <QString>

class IProxyLink {
public:
    virtual ~IProxyLink() = default;

    // Opens the link. Called by a connect that finds no client connected, on the
    // connecting application's thread, under the manager's connection lock.
    // Returns 0, or an RP1210 code that connect hands back unchanged.
    virtual short initializeConnection() = 0;

    // Writes one whole request frame. Called by the send thread with the output-list
    // mutex held, and by application threads for the few direct frames with no lock:
    // the implementation keeps concurrent writes whole. May block while the link is
    // busy. false from the send thread makes later API calls return 142.
    virtual bool writeData(const char* data, int length) = 0;

    // Reports the interface family letter ("K", "L", "J", "A", "E"), its version and a
    // third value that is only stored. Called at every connect, under the connection lock.
    virtual void getTypeInterface(QString& type, int& version, int& other) = 0;

    // Releases the link after the last client left or a first connect failed.
    // Called with the send and receive threads stopped, under the connection lock.
    virtual void limpiarDescargarProxy() = 0;

    // Channel in use; only 3 is singled out (wireless state query).
    virtual int getComChannel() = 0;
};
