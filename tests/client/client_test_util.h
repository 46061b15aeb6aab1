// Helpers shared by the client tests.
#pragma once

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace clienttest {

// Bytes from a hex text such as "0A 80 01"; spaces are ignored.
inline QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text)); }
inline const unsigned char* bytes(const QByteArray& a) { return reinterpret_cast<const unsigned char*>(a.constData()); }

// Signals a condition between threads; waitFor sleeps until it holds or the timeout ends.
class Flag {
public:
    void set()
    {
        {
            std::lock_guard<std::mutex> lock(m_);
            set_ = true;
        }
        cv_.notify_all();
    }
    bool waitFor(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, timeout, [this] { return set_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace clienttest
