// An in-process CAN bus: ports attach to it as CanBus nodes; what one port writes reaches
// every other open port, and the writer's confirmation, from one delivery thread of the
// bus, in the order written. The thread sleeps while nothing is queued.
//
// A port must be opened at the bus's bitrate: open() fails at any other, as a controller
// at the wrong speed cannot take part in the bus (the caller learns it at once instead of
// hearing silence). The queue is bounded; write() returns false when it is full. Ports
// may outlive the bus; once the bus is gone they cannot open or write.
#pragma once

#include "bus/bus.h"
#include "common/mutex.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace rp1210core::bus {

namespace sim {

// What both simulated buses share: ports, the bounded queue and the delivery thread.
template <class Message>
class BusCore {
    using Mutex = internal::Mutex;
    using MutexLocker = internal::MutexLocker;
    using UniqueLock = internal::UniqueLock;

public:
    using Deliver = std::function<void(const Message& message, qint64 timestampUs, bool own)>;

    BusCore(quint32 speed, int capacity)
        : speed_(speed), capacity_(capacity > 0 ? capacity : 1), epoch_(std::chrono::steady_clock::now())
    {
        thread_ = std::thread([this] { run(); });
        deliveryThread_ = thread_.get_id();
    }
    ~BusCore() { shutdown(); }
    BusCore(const BusCore&) = delete;
    BusCore& operator=(const BusCore&) = delete;

    // Stops the delivery thread; afterwards no port opens or writes.
    void shutdown() EXCLUDES(mutex_)
    {
        {
            MutexLocker lock(mutex_);
            if (stopping_)
                return;
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
        MutexLocker lock(mutex_);
        for (Port& p : ports_)
            p.deliver.reset();
        targets_ = std::make_shared<const std::vector<Target>>();
    }

    quint32 speed() const { return speed_; }
    qint64 nowUs() const
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - epoch_)
            .count();
    }

    int addPort() EXCLUDES(mutex_)
    {
        MutexLocker lock(mutex_);
        ports_.push_back(Port());
        return int(ports_.size()) - 1;
    }

    bool open(int port, quint32 speed, Deliver deliver) EXCLUDES(mutex_)
    {
        if (speed != speed_ || !deliver)
            return false;
        {
            MutexLocker lock(mutex_);
            Port& p = ports_[size_t(port)];
            if (stopping_ || p.deliver)
                return false;
            p.deliver = std::make_shared<const Deliver>(std::move(deliver));
            rebuildTargets();
        }
        notifyObserver();
        return true;
    }

    bool write(int port, const Message& message) EXCLUDES(mutex_)
    {
        {
            MutexLocker lock(mutex_);
            if (stopping_ || !ports_[size_t(port)].deliver || int(queue_.size()) >= capacity_)
                return false;
            queue_.push_back(Entry{message, nowUs(), port});
            if (queue_.size() > 1 || delivering_)
                return true;  // the thread is awake and will find it
        }
        wake_.notify_one();
        return true;
    }

    // Returns once no delivery to the port runs (at once when called from a receiver).
    void close(int port) EXCLUDES(mutex_)
    {
        {
            UniqueLock lock(mutex_);
            Port& p = ports_[size_t(port)];
            if (!p.deliver)
                return;
            p.deliver.reset();
            rebuildTargets();
            if (std::this_thread::get_id() != deliveryThread_) {
                const quint64 batch = batchStarted_;
                while (delivering_ && batchDone_ < batch)
                    lock.wait(idle_);
            }
        }
        notifyObserver();
    }

    int openPorts() const EXCLUDES(mutex_)
    {
        MutexLocker lock(mutex_);
        return int(targets_->size());
    }

    // Called after any port opens or closes, on the thread that opened or closed it.
    void setObserver(std::function<void()> observer) EXCLUDES(mutex_)
    {
        MutexLocker lock(mutex_);
        observer_ = std::make_shared<const std::function<void()>>(std::move(observer));
    }

private:
    struct Port {
        std::shared_ptr<const Deliver> deliver;  // set while open
    };
    struct Target {
        int port;
        std::shared_ptr<const Deliver> deliver;
    };
    struct Entry {
        Message message;
        qint64 timestampUs;
        int port;
    };

    void rebuildTargets() REQUIRES(mutex_)
    {
        auto targets = std::make_shared<std::vector<Target>>();
        for (size_t i = 0; i < ports_.size(); ++i)
            if (ports_[i].deliver)
                targets->push_back(Target{int(i), ports_[i].deliver});
        targets_ = std::move(targets);
    }

    void notifyObserver() EXCLUDES(mutex_)
    {
        std::shared_ptr<const std::function<void()>> observer;
        {
            MutexLocker lock(mutex_);
            observer = observer_;
        }
        if (observer && *observer)
            (*observer)();
    }

    // Takes everything queued at once with the ports open at that moment, so a port
    // opened later does not see frames written before it opened.
    void run() EXCLUDES(mutex_)
    {
        std::vector<Entry> batch;
        std::shared_ptr<const std::vector<Target>> targets;
        for (;;) {
            {
                UniqueLock lock(mutex_);
                if (delivering_) {
                    delivering_ = false;
                    batchDone_ = batchStarted_;
                    idle_.notify_all();
                }
                while (!stopping_ && queue_.empty())
                    lock.wait(wake_);
                if (stopping_)
                    return;
                batch.clear();
                batch.swap(queue_);
                targets = targets_;
                delivering_ = true;
                ++batchStarted_;
            }
            for (const Entry& e : batch)
                for (const Target& t : *targets)
                    (*t.deliver)(e.message, e.timestampUs, t.port == e.port);
        }
    }

    const quint32 speed_;
    const int capacity_;
    const std::chrono::steady_clock::time_point epoch_;
    mutable Mutex mutex_;
    std::condition_variable wake_;  // something queued, or stop
    std::condition_variable idle_;  // a batch was delivered
    std::vector<Port> ports_ GUARDED_BY(mutex_);
    std::shared_ptr<const std::vector<Target>> targets_ GUARDED_BY(mutex_) =
        std::make_shared<const std::vector<Target>>();
    std::shared_ptr<const std::function<void()>> observer_ GUARDED_BY(mutex_);
    std::vector<Entry> queue_ GUARDED_BY(mutex_);
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool delivering_ GUARDED_BY(mutex_) = false;
    quint64 batchStarted_ GUARDED_BY(mutex_) = 0;
    quint64 batchDone_ GUARDED_BY(mutex_) = 0;
    std::thread thread_;
    std::thread::id deliveryThread_;  // set once, before any port exists
};

}  // namespace sim

class SimulatedCanBus {
public:
    struct Config {
        quint32 bitrate = 250000;  // the J1939 rate; an OBD bus would run at 500000
        int queueCapacity = 4096;  // frames written and not yet delivered
    };

    SimulatedCanBus();
    explicit SimulatedCanBus(const Config& config);
    ~SimulatedCanBus();
    SimulatedCanBus(const SimulatedCanBus&) = delete;
    SimulatedCanBus& operator=(const SimulatedCanBus&) = delete;

    // A new node, closed until opened.
    std::unique_ptr<CanBus> createPort();

    quint32 bitrate() const { return core_->speed(); }
    int openPorts() const { return core_->openPorts(); }
    // Called after any port opens or closes, on that port's thread; must not block.
    void setPortObserver(std::function<void()> observer) { core_->setObserver(std::move(observer)); }

private:
    std::shared_ptr<sim::BusCore<CanFrame>> core_;
};

}  // namespace rp1210core::bus
