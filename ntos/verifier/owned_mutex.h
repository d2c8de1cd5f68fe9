// verifier/owned_mutex.h - a host mutex of the emulation that knows which
// thread holds it, so that a routine documented "the caller holds X" can
// assert it: ASSERT(X.HeldByCurrentThread()).
//
// Meets the standard Lockable requirements (std::lock_guard,
// std::unique_lock; std::condition_variable_any for waits).
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

class VfOwnedMutex {
public:
    void lock() {
        Mutex_.lock();
        Owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    bool try_lock() {
        if (!Mutex_.try_lock()) {
            return false;
        }
        Owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        Owner_.store(std::thread::id(), std::memory_order_relaxed);
        Mutex_.unlock();
    }
    // Exact for the calling thread: only it stores its own id, and it clears
    // the id before it lets go.
    bool HeldByCurrentThread() const {
        return Owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

private:
    std::mutex Mutex_;
    std::atomic<std::thread::id> Owner_{};
};
