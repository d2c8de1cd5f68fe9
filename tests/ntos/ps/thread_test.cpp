// Processes and threads: system threads, termination, attachment rules,
// the build kind, leak checks at kernel stop.
#include "expect_bugcheck.h"
#include "ntddk.h"
#include "ntos/kernel_fixture.h"
#include "ntos/ps/psp.h"

#include <atomic>

namespace {

class ThreadTest : public KernelTest {};

struct Start {
    std::atomic<PEPROCESS> Process{nullptr};
    std::atomic<bool> AfterTerminate{false};
};

VOID TerminatingRoutine(PVOID Context) {
    auto* start = static_cast<Start*>(Context);
    start->Process = PsGetCurrentProcess();
    PsTerminateSystemThread(STATUS_SUCCESS);
    start->AfterTerminate = true;
}

TEST_F(ThreadTest, SystemThreadRunsInTheNamedProcessAndTerminates) {
    PEPROCESS agent;
    ASSERT_EQ(PspCreateProcess(u"agent.exe", &agent), STATUS_SUCCESS);
    HANDLE processHandle;
    ASSERT_EQ(ObpCreateHandle(agent, PROCESS_ALL_ACCESS, 0, KernelMode, &processHandle),
              STATUS_SUCCESS);
    for (HANDLE target : {HANDLE{nullptr}, processHandle}) {
        Start start;
        HANDLE thread;
        CLIENT_ID id{};
        ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, target, &id,
                                       TerminatingRoutine, &start),
                  STATUS_SUCCESS);
        EXPECT_NE(id.UniqueThread, nullptr);
        EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, nullptr), STATUS_WAIT_0);
        EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
        EXPECT_EQ(start.Process.load(), target == nullptr ? PsInitialSystemProcess : agent);
        EXPECT_FALSE(start.AfterTerminate.load()) << "PsTerminateSystemThread does not return";
    }
    EXPECT_EQ(ZwClose(processHandle), STATUS_SUCCESS);
    EXPECT_EQ(PspTerminateProcess(agent, STATUS_SUCCESS), STATUS_SUCCESS);
    ObDereferenceObject(agent);
}

std::atomic<bool> FinallyRan{false};

VOID TerminatingInsideAGuard(PVOID) {
    _SEH2_TRY {
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    _SEH2_FINALLY {
        FinallyRan = true;
    }
    _SEH2_END;
}

// The thread simply ends: a lock given back in a termination handler stays
// held, as on the platform, so a driver that relies on it shows here too.
TEST_F(ThreadTest, TerminatingInsideAGuardRunsNoTerminationHandler) {
    FinallyRan = false;
    HANDLE thread;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   TerminatingInsideAGuard, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
    EXPECT_FALSE(FinallyRan.load());
}

// PsGetVersion returns FALSE: the kernel is a free build.
TEST_F(ThreadTest, VersionReportsAFreeBuild) {
    EXPECT_FALSE(PsGetVersion(nullptr, nullptr, nullptr, nullptr));
}

using ThreadDeathTest = ThreadTest;

TEST_F(ThreadDeathTest, AttachingTwiceOrDetachingUnattachedBugChecks) {
    EXPECT_BUGCHECK(
        {
            KeAttachProcess(reinterpret_cast<PRKPROCESS>(PsInitialSystemProcess));
            KeAttachProcess(reinterpret_cast<PRKPROCESS>(PsInitialSystemProcess));
        },
        INVALID_PROCESS_ATTACH_ATTEMPT, "");
    EXPECT_BUGCHECK(KeDetachProcess(), INVALID_PROCESS_DETACH_ATTEMPT, "");
}

VOID RaisesWithParameters(PVOID) {
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = STATUS_IN_PAGE_ERROR;
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = 0xAB;
    record.ExceptionInformation[1] = 0xCD;
    ExRaiseException(&record);
}

TEST_F(ThreadDeathTest, ExceptionEscapingASystemThreadStopsTheMachine) {
    EXPECT_BUGCHECK(
        {
            HANDLE thread;
            PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, RaisesWithParameters,
                                 nullptr);
            ZwWaitForSingleObject(thread, FALSE, nullptr);
        },
        SYSTEM_THREAD_EXCEPTION_NOT_HANDLED,
        "\\(0xC0000006, 0x[0-9A-F]+, 0xAB, 0xCD\\)(.|\n)*not handled in a system thread");
}

VOID WaitForever(PVOID Context) {
    KeWaitForSingleObject(Context, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(ThreadDeathTest, KernelStopCatchesARunningSystemThread) {
    EXPECT_BUGCHECK(
        {
            static KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            HANDLE thread;
            PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, WaitForever, &never);
            ZwClose(thread);
            KiStopKernel();
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION, "system thread still running when the kernel stopped");
}

} // namespace
