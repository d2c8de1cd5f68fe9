// The outermost guard of a system thread.
#include "expect_bugcheck.h"
#include "bugcodes.h"
#include "nt/seh.h"
#include "ntos/rtl/rtlp.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

void HandlesItsOwn(PVOID Context) {
    _SEH2_TRY {
        ExRaiseStatus(STATUS_END_OF_FILE);
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        *(NTSTATUS*)Context = GetExceptionCode();
    }
    _SEH2_END;
}

void RaisesWithParameters(PVOID) {
    EXCEPTION_RECORD Record = {};
    Record.ExceptionCode = STATUS_IN_PAGE_ERROR;
    Record.NumberParameters = 3;
    Record.ExceptionInformation[0] = 0xAB;
    Record.ExceptionInformation[1] = 0xCD;
    ExRaiseException(&Record);
}

TEST(RtlpRunGuarded, RoutineHandlingItsExceptionsReturnsNormally) {
    NTSTATUS Seen = STATUS_SUCCESS;
    std::thread T(RtlpRunGuarded, HandlesItsOwn, &Seen);
    T.join();
    EXPECT_EQ(Seen, STATUS_END_OF_FILE);
}

TEST(RtlpRunGuardedDeathTest, EscapingExceptionIsASystemThreadBugCheck) {
    auto RunInThread = []() {
        std::thread T(RtlpRunGuarded, RaisesWithParameters, nullptr);
        T.join();
    };
    EXPECT_BUGCHECK(
        RunInThread(), SYSTEM_THREAD_EXCEPTION_NOT_HANDLED,
        "\\(0xC0000006, 0x[0-9A-F]+, 0xAB, 0xCD\\)(.|\n)*not handled in a system thread");
}

} // namespace
