// ex_test_threads.h - system threads for the executive's tests: start a
// callable on its own kernel thread, wait for a condition, join.
#pragma once

#include "ntddk.h"

#include <gtest/gtest.h>

// A system thread running Body; the destructor waits for it to end.
template <class Body> class SystemThread {
  public:
    explicit SystemThread(Body body) : Body_(body) {
        NTSTATUS status = PsCreateSystemThread(&Handle_, 0, nullptr, nullptr, nullptr, &Run, this);
        EXPECT_EQ(status, STATUS_SUCCESS) << "PsCreateSystemThread";
    }
    ~SystemThread() { Join(); }
    void Join() {
        if (Handle_ != nullptr) {
            PVOID thread = nullptr;
            EXPECT_EQ(ObReferenceObjectByHandle(Handle_, SYNCHRONIZE, *PsThreadType, KernelMode,
                                                &thread, nullptr),
                      STATUS_SUCCESS);
            ZwClose(Handle_);
            Handle_ = nullptr;
            if (thread != nullptr) {
                EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr),
                          STATUS_SUCCESS);
                ObDereferenceObject(thread);
            }
        }
    }
    SystemThread(const SystemThread&) = delete;
    SystemThread& operator=(const SystemThread&) = delete;

  private:
    static VOID Run(PVOID Context) { static_cast<SystemThread*>(Context)->Body_(); }
    Body Body_;
    HANDLE Handle_ = nullptr;
};

// Sleeps in 1 ms steps until Done() holds; fails the test after ~10 s.
template <class Pred> bool WaitUntil(Pred Done) {
    for (int i = 0; i < 10000; ++i) {
        if (Done()) {
            return true;
        }
        LARGE_INTEGER interval;
        interval.QuadPart = -10000; // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    ADD_FAILURE() << "condition not reached in time";
    return false;
}
