// test_threads.h - runs test code on kernel system threads and checks that a
// test leaves none of the driver's pool behind.
//
// Host test code. Kernel routines may only be called from kernel threads, so
// concurrency tests run their workers with PsCreateSystemThread and wait for
// them through their thread objects.
#pragma once

#include "ntos/ex/exp.h"
#include "ntos/kernel_fixture.h"

#include <functional>
#include <memory>
#include <vector>

// A system thread running Body; its destruction waits for its end.
class SystemThread {
  public:
    explicit SystemThread(std::function<void()> Body) : Body(std::move(Body)) {
        HANDLE Handle;
        NTSTATUS Status = PsCreateSystemThread(
            &Handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
            [](PVOID Context) {
                static_cast<SystemThread*>(Context)->Body();
                PsTerminateSystemThread(STATUS_SUCCESS);
            },
            this);
        EXPECT_EQ(Status, STATUS_SUCCESS);
        if (NT_SUCCESS(Status)) {
            EXPECT_EQ(ObReferenceObjectByHandle(Handle, SYNCHRONIZE, *PsThreadType, KernelMode,
                                                &Thread, NULL),
                      STATUS_SUCCESS);
            ZwClose(Handle);
        }
    }
    ~SystemThread() {
        if (Thread != nullptr) {
            KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, NULL);
            ObDereferenceObject(Thread);
        }
    }
    // TRUE once the thread has ended; waits at most Milliseconds for it.
    bool Ended(LONGLONG Milliseconds) {
        LARGE_INTEGER Timeout;
        Timeout.QuadPart = -Milliseconds * 10000;
        return KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, &Timeout) ==
               STATUS_SUCCESS;
    }

  private:
    std::function<void()> Body;
    PVOID Thread = nullptr;
};

// Runs Body(index) on Count system threads at once and returns when all have
// ended.
inline void RunOnSystemThreads(ULONG Count, const std::function<void(ULONG)>& Body) {
    std::vector<std::unique_ptr<SystemThread>> Threads;
    for (ULONG Index = 0; Index < Count; ++Index) {
        Threads.push_back(std::make_unique<SystemThread>([&Body, Index] { Body(Index); }));
    }
}

// Live blocks of one driver pool tag, paged and nonpaged.
inline ULONG LiveBlocks(ULONG Tag) {
    ExpPoolTagUsage Usage = ExpQueryPoolTag(Tag);
    return Usage.NonPagedBlocks + Usage.PagedBlocks;
}

// A kernel per test; at its end no block of the driver's tags ("Qvd?") may
// be live and no fault injection is left armed.
class DriverTest : public KernelTest {
  protected:
    void TearDown() override {
        ExpResetPoolFaults();
        ExpVerifyNoPoolLeaks(EX_POOL_TAG('Q', 'v', 'd', 0), 0x00FFFFFFu);
        KernelTest::TearDown();
    }
};
