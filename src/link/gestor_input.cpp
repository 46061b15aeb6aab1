#include "link/gestor_input.h"

#include "common/message_semaphore.h"
#include "link/gestor_io.h"
#include "link/thread_priority.h"

#include <cstring>
#include <system_error>

using namespace rp1210core::internal;


namespace {
// A slot that once held a long frame gives its buffer back when a short one replaces
// it, so that a burst of long frames does not pin a megabyte-sized ring for ever.
constexpr int kKeptSlotCapacity = 4096;

// A store blocked on a full ring is woken once this many slots are free, or when the
// receive thread has finished the frames it took: waking it for every single slot
// costs a context switch per frame and slows the whole stream down.
constexpr int kWakeBatch = 64;

// Readers blocked on the clients' queues are woken once per this many dispatched frames
// (or sooner, when the frames waiting run out), not once per message: with 16 clients a
// wake per message costs more than the delivery itself. A lone frame wakes its readers
// as soon as it is dispatched.
constexpr int kReaderWakeFrames = 64;
}  // namespace

GestorInput::GestorInput() = default;

GestorInput::~GestorInput()
{
    pararHiloRecepcion();
    // A loop ended by a stop from the dispatch itself has not been joined yet.
    MutexLocker control(controlMutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void GestorInput::setDispatchHook(std::function<void(QByteArray&)> hook)
{
    MutexLocker control(controlMutex_);
    hook_ = std::move(hook);
}

void GestorInput::ArrancarHiloRecepcion()
{
    // The dispatch cannot restart the loop it runs in.
    if (receiveThreadId_.load() == std::this_thread::get_id())
        return;
    MutexLocker control(controlMutex_);
    if (running_)
        return;
    if (thread_.joinable())
        thread_.join();  // a loop that a stop from the dispatch ended

    activeHook_ = hook_;
    activeIo_ = io_.load();
    {
        MutexLocker lock(mutex_);
        // What the last run left is discarded; the slots keep their buffers for reuse.
        freeCount_ = kSlots;
        filledCount_ = 0;
        readIndex_ = 0;
        writeIndex_ = 0;
        running_ = true;
    }
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread: behave as stopped, so storeMsg drops instead of filling a dead ring.
        MutexLocker lock(mutex_);
        running_ = false;
        freeCount_ = 0;
    }
}

bool GestorInput::stopLoop()
{
    {
        MutexLocker lock(mutex_);
        if (!running_)
            return false;
        running_ = false;
    }
    filled_.notify_all();
    freed_.notify_all();  // a storeMsg blocked on a full ring drops its frame
    return true;
}

bool GestorInput::pararHiloRecepcion()
{
    // From the dispatch the loop ends once the current frame is done; the next start
    // or the destructor joins it.
    if (receiveThreadId_.load() == std::this_thread::get_id())
        return stopLoop();
    MutexLocker control(controlMutex_);
    if (!stopLoop())
        return false;
    if (thread_.joinable())
        thread_.join();
    return true;
}

void GestorInput::storeMsg(const char* data, quint32 length)
{
    if (data == nullptr || length == 0 || length > kMaxFrameLength)
        return;
    {
        UniqueLock lock(mutex_);
        if (freeCount_ == 0 && running_) {
            ++storesWaiting_;
            while (freeCount_ == 0 && running_)
                lock.wait(freed_);
            --storesWaiting_;
        }
        if (!running_)
            return;
        --freeCount_;
        QByteArray& slot = ring_[writeIndex_];
        const int n = static_cast<int>(length);
        if (slot.capacity() > kKeptSlotCapacity && n <= kKeptSlotCapacity)
            slot.clear();
        slot.resize(n);
        std::memcpy(slot.data(), data, length);
        writeIndex_ = (writeIndex_ + 1) % kSlots;
        ++filledCount_;
    }
    filled_.notify_one();
}

int GestorInput::filledSlots() const
{
    MutexLocker lock(mutex_);
    return filledCount_;
}

int GestorInput::freeSlots() const
{
    MutexLocker lock(mutex_);
    return freeCount_;
}

void GestorInput::run()
{
    receiveThreadId_ = std::this_thread::get_id();
    raiseLinkThreadPriority();
    for (;;) {
        int batch = 0;
        qint32 index = 0;
        {
            UniqueLock lock(mutex_);
            while (filledCount_ == 0 && running_)
                lock.wait(filled_);
            if (!running_)
                break;
            // Take every waiting frame at once: one lock round per frame fewer.
            batch = filledCount_;
            filledCount_ = 0;
            index = readIndex_;
        }
        int done = 0;
        WakeBatch readerWakes;
        while (done < batch && running_) {
            QByteArray& slot = ring_[index];
            try {
                if (activeHook_)
                    activeHook_(slot);
                else if (activeIo_ != nullptr)  // unwired: the frame has nobody to go to
                    activeIo_->switchApplication(slot);
            } catch (...) {
                // Out of memory inside the dispatch: the frame is lost, the loop lives on.
            }
            index = (index + 1) % kSlots;
            ++done;
            if (done % kReaderWakeFrames == 0)
                readerWakes.flush();
            bool wake = false;
            {
                MutexLocker lock(mutex_);
                readIndex_ = index;
                ++freeCount_;
                wake = storesWaiting_ > 0 && (freeCount_ >= kWakeBatch || done == batch);
            }
            if (wake)
                freed_.notify_all();
        }
        if (done < batch) {
            // Stopped inside the batch: the rest stays queued, as if never taken.
            MutexLocker lock(mutex_);
            filledCount_ += batch - done;
            break;
        }
    }
    receiveThreadId_ = std::thread::id();
}
