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
#include <vector>

// Runs Body(index) on Count system threads at once and returns when all have
// ended.
inline void RunOnSystemThreads(ULONG Count, const std::function<void(ULONG)>& Body) {
    struct Start {
        const std::function<void(ULONG)>* Body;
        ULONG Index;
    };
    std::vector<Start> Starts(Count);
    std::vector<PVOID> Threads(Count);
    for (ULONG Index = 0; Index < Count; ++Index) {
        Starts[Index] = {&Body, Index};
        HANDLE Handle;
        NTSTATUS Status = PsCreateSystemThread(
            &Handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
            [](PVOID Context) {
                Start* S = static_cast<Start*>(Context);
                (*S->Body)(S->Index);
                PsTerminateSystemThread(STATUS_SUCCESS);
            },
            &Starts[Index]);
        ASSERT_EQ(Status, STATUS_SUCCESS);
        ASSERT_EQ(ObReferenceObjectByHandle(Handle, SYNCHRONIZE, *PsThreadType, KernelMode,
                                            &Threads[Index], NULL),
                  STATUS_SUCCESS);
        ZwClose(Handle);
    }
    for (PVOID Thread : Threads) {
        KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(Thread);
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
