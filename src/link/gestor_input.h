// The receive side of the adapter link: a fixed ring of received frames between the
// transport's receiving thread and the receive thread that dispatches them.
//
// Threads: the transport calls storeMsg on its own thread; run() is the receive thread,
// the only consumer, and runs the whole answer dispatch. ArrancarHiloRecepcion and
// pararHiloRecepcion run on application threads under the manager's connection lock.
// Called from the dispatch itself, a stop ends the loop after the current frame without
// joining, and a start does nothing.
//
// Storage: slot n % kSlots holds frame n. Frames are copied once, into their slot, under
// mutex_; the receive thread dispatches a slot without the lock, which is safe because
// the slot counts neither as free nor as filled while it is being dispatched.
#pragma once

#include "common/mutex.h"
#include "link/igestor_input.h"

#include <rp1210core/managers.h>

#include <QByteArray>

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class Gestor_IO;

class GestorInput final : public rp1210core::GestorInput, public IGestorInput {
public:
    static constexpr int kSlots = 1024;
    // The longest frame of the wire format is a received message: 5 header bytes and a
    // 16-bit length of data. Anything longer is not an adapter frame and is dropped.
    static constexpr quint32 kMaxFrameLength = 5 + 0xFFFF;

    // The host's instance comes from rp1210core::GestorInput::getInstance(); tests may own
    // further, independent queues.
    GestorInput();
    // Stops the receive thread if it still runs.
    ~GestorInput();
    GestorInput(const GestorInput&) = delete;
    GestorInput& operator=(const GestorInput&) = delete;

    // ---- IGestorInput ----
    // Discards what the ring holds and starts the receive thread. Does nothing while the
    // thread already runs (a second consumer would break the slot order).
    void ArrancarHiloRecepcion() override;
    // Stops the receive thread and joins it; false when it was not running. Releases a
    // storeMsg blocked on a full ring (its frame is dropped).
    bool pararHiloRecepcion() override;
    // Copies one frame into the ring. While the thread runs and the ring is full it blocks
    // until slots free (it is woken once 64 are free or the receive thread has caught
    // up, not for every single slot) or the thread is stopped. Dropped without reading: frames
    // delivered while the thread is not running (the next start discards the ring anyway,
    // and a transport blocked here could never release the link), a null pointer, a
    // length of 0 (no frame; the dispatch ignores anything under 3 bytes) and lengths
    // above kMaxFrameLength.
    void storeMsg(const char* data, quint32 length) override;

    // Where frames are dispatched; not owned. Until it is set, frames are dropped.
    // Both settings take effect at the next ArrancarHiloRecepcion.
    void setGestorIO(Gestor_IO* io) { io_ = io; }
    // When set, frames go to the hook instead of Gestor_IO::switchApplication (tests use
    // it to observe and to stall the dispatch).
    void setDispatchHook(std::function<void(QByteArray&)> hook);

    // ---- observation, for diagnostics and tests ----
    bool isRunning() const { return running_; }
    int filledSlots() const;  // frames waiting for dispatch
    int freeSlots() const;    // slots storeMsg may fill without blocking

private:
    void run();
    bool stopLoop();  // false when it was not running

    std::atomic<Gestor_IO*> io_{nullptr};

    // Serialises start and stop. Lock order: controlMutex_ before mutex_.
    rp1210core::internal::Mutex controlMutex_ ACQUIRED_BEFORE(mutex_);
    std::thread thread_ GUARDED_BY(controlMutex_);
    std::function<void(QByteArray&)> hook_ GUARDED_BY(controlMutex_);
    // Set by ArrancarHiloRecepcion before the thread starts; read only by the thread.
    std::function<void(QByteArray&)> activeHook_;
    Gestor_IO* activeIo_ = nullptr;
    // Lets start and stop recognise a call from the dispatch, which must not join itself.
    std::atomic<std::thread::id> receiveThreadId_{};

    mutable rp1210core::internal::Mutex mutex_;
    std::condition_variable filled_;  // signalled when a frame is stored or the thread stops
    std::condition_variable freed_;   // signalled when a slot frees or the thread stops
    // Not guarded as a whole: a slot is written under mutex_ by storeMsg, and read by the
    // receive thread without it while it counts neither as free nor as filled.
    std::array<QByteArray, kSlots> ring_;
    int freeCount_ GUARDED_BY(mutex_) = 0;
    int filledCount_ GUARDED_BY(mutex_) = 0;
    int storesWaiting_ GUARDED_BY(mutex_) = 0;  // storeMsg calls blocked on a full ring
    qint32 readIndex_ GUARDED_BY(mutex_) = 0;
    qint32 writeIndex_ GUARDED_BY(mutex_) = 0;
    // Written under mutex_ so that no waiter misses the change; read lock-free by isRunning.
    std::atomic<bool> running_{false};
};
