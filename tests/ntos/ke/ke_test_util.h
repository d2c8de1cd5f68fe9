// ke_test_util.h - helpers for kernel tests: run a routine on a system thread
// and wait for it, wait for a condition, and short relative time-outs.
#pragma once

#include "ntddk.h"
#include "ntos/ps/psp.h"
#include "ntos/ke/ki.h"
#include "ntos/kernel_fixture.h"

#include <functional>

// A system thread running a std::function; Join waits for it and closes its handle.
class TestThread {
  public:
    explicit TestThread(std::function<void()> Body) : Body_(std::move(Body)) {
        NTSTATUS status = PsCreateSystemThread(&Handle_, THREAD_ALL_ACCESS, nullptr, nullptr,
                                               nullptr, &TestThread::Start, this);
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    ~TestThread() { Join(); }

    void Join() {
        if (Handle_ != nullptr) {
            EXPECT_EQ(ZwWaitForSingleObject(Handle_, FALSE, nullptr), STATUS_WAIT_0);
            EXPECT_EQ(ZwClose(Handle_), STATUS_SUCCESS);
            Handle_ = nullptr;
        }
    }
    HANDLE Handle() const { return Handle_; }

  private:
    static VOID Start(PVOID Context) { static_cast<TestThread*>(Context)->Body_(); }
    std::function<void()> Body_;
    HANDLE Handle_ = nullptr;
};

inline LARGE_INTEGER RelativeMs(LONGLONG Ms) {
    LARGE_INTEGER t;
    t.QuadPart = -Ms * 10000;
    return t;
}

// Sleeps in 1 ms steps until Done() holds; fails the test after ~10 s.
template <class Pred> bool WaitUntil(Pred Done) {
    for (int i = 0; i < 10000; ++i) {
        if (Done()) {
            return true;
        }
        LARGE_INTEGER interval = RelativeMs(1);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    ADD_FAILURE() << "condition not reached in time";
    return false;
}

// TRUE once Thread is blocked in a wait.
inline bool IsThreadBlocked(PKTHREAD Thread) {
    std::lock_guard<std::mutex> guard(KiDispatcherLock);
    return Thread != nullptr && Thread->Waiting;
}
