// Structured exception guards: filter selection, search order, termination
// handlers, nesting, exceptions inside filters and handlers, parameters.
#include "expect_bugcheck.h"
#include "bugcodes.h"
#include "nt/rtl.h"
#include "nt/seh.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Records the order in which filters, handlers and termination handlers ran.
struct Trace {
    std::string Steps;
    LONG Step(const char* S, LONG Result = EXCEPTION_EXECUTE_HANDLER) {
        Steps += S;
        Steps += ' ';
        return Result;
    }
};

TEST(SehExcept, FilterRunsOnlyOnExceptionAndAnyPositiveValueExecutesTheHandler) {
    Trace Quiet;
    _SEH2_TRY {
        Quiet.Step("body");
    }
    _SEH2_EXCEPT(Quiet.Step("filter")) {
        Quiet.Step("handler");
    }
    _SEH2_END;
    EXPECT_EQ(Quiet.Steps, "body ");

    Trace T;
    NTSTATUS Code = STATUS_SUCCESS;
    _SEH2_TRY {
        T.Step("body");
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        T.Step("not-reached");
    }
    _SEH2_EXCEPT(T.Step("filter", 7)) {
        Code = _SEH2_GetExceptionCode();
    }
    _SEH2_END;
    EXPECT_EQ(T.Steps, "body filter ");
    EXPECT_EQ(Code, STATUS_INSUFFICIENT_RESOURCES);
}

TEST(SehFinally, NormalExitAndLeaveAreNormalTerminations) {
    Trace T;
    _SEH2_TRY {
        T.Step("body");
    }
    _SEH2_FINALLY {
        T.Step(AbnormalTermination() ? "finally-abnormal" : "finally-normal");
    }
    _SEH2_END;
    EXPECT_EQ(T.Steps, "body finally-normal ");

    Trace L;
    _SEH2_TRY {
        for (int i = 0; i < 3; i++) {
            L.Step("loop");
            if (i == 1) {
                _SEH2_LEAVE;
            }
        }
        L.Step("after-loop");
    }
    _SEH2_FINALLY {
        L.Step(_SEH2_AbnormalTermination() ? "finally-abnormal" : "finally-normal");
    }
    _SEH2_END;
    EXPECT_EQ(L.Steps, "loop loop finally-normal ") << "leave is a normal termination";
}

TEST(SehFinally, ReturnInsideTerminationHandlerOnNormalExitIsAllowed) {
    auto Routine = [](int& Count) -> int {
        _SEH2_TRY {
            Count++;
        }
        _SEH2_FINALLY {
            Count++;
            return 5;
        }
        _SEH2_END;
        return 0;
    };
    int Count = 0;
    EXPECT_EQ(Routine(Count), 5);
    EXPECT_EQ(Count, 2);
}

// Filters run before unwinding, the one that continues the search passing it
// on; termination handlers run during the unwind, abnormally.
TEST(SehNesting, TerminationHandlersRunInnermostFirstUpToTheTarget) {
    Trace T;
    _SEH2_TRY {
        _SEH2_TRY {
            _SEH2_TRY {
                _SEH2_TRY {
                    ExRaiseStatus(STATUS_IN_PAGE_ERROR);
                    T.Step("not-reached");
                }
                _SEH2_FINALLY {
                    T.Step(AbnormalTermination() ? "f1" : "f1-normal");
                }
                _SEH2_END;
            }
            _SEH2_EXCEPT(T.Step("x2", EXCEPTION_CONTINUE_SEARCH)) {
                T.Step("h2");
            }
            _SEH2_END;
        }
        _SEH2_FINALLY {
            T.Step("f3");
        }
        _SEH2_END;
    }
    _SEH2_EXCEPT(T.Step("x4")) {
        T.Step("h4");
    }
    _SEH2_END;
    EXPECT_EQ(T.Steps, "x2 x4 f1 f3 h4 ");
}

// A guard inside a handler is independent of the one handling; a raise from
// the handler reaches the enclosing guard.
TEST(SehNesting, GuardsInsideAHandlerAndRaiseFromIt) {
    NTSTATUS Outer = STATUS_SUCCESS;
    Trace T;
    _SEH2_TRY {
        _SEH2_TRY {
            ExRaiseStatus(STATUS_DATA_ERROR);
        }
        _SEH2_EXCEPT(T.Step("inner-filter")) {
            _SEH2_TRY {
                ExRaiseStatus(STATUS_END_OF_FILE);
            }
            _SEH2_EXCEPT(T.Step(GetExceptionCode() == STATUS_END_OF_FILE ? "eof" : "?")) {}
            _SEH2_END;
            T.Step("rethrow");
            ExRaiseStatus(GetExceptionCode());
        }
        _SEH2_END;
    }
    _SEH2_EXCEPT(T.Step("outer-filter")) {
        Outer = GetExceptionCode();
    }
    _SEH2_END;
    EXPECT_EQ(Outer, STATUS_DATA_ERROR) << "the handler's own code after its inner guard";
    EXPECT_EQ(T.Steps, "inner-filter eof rethrow outer-filter ");
}

LONG RaisingFilter(Trace& T) {
    T.Step("raising-filter");
    ExRaiseStatus(STATUS_CRC_ERROR);
}

TEST(SehNesting, ExceptionInAFilterSkipsGuardsBetweenRaiseAndFilter) {
    Trace T;
    NTSTATUS Outer = STATUS_SUCCESS;
    _SEH2_TRY {
        _SEH2_TRY {
            _SEH2_TRY {
                _SEH2_TRY {
                    ExRaiseStatus(STATUS_DATA_ERROR);
                }
                _SEH2_EXCEPT(
                    T.Step(GetExceptionCode() == STATUS_DATA_ERROR ? "inner-data" : "inner-crc",
                           EXCEPTION_CONTINUE_SEARCH)) {
                    T.Step("inner-handler");
                }
                _SEH2_END;
            }
            _SEH2_FINALLY {
                T.Step("finally");
            }
            _SEH2_END;
        }
        _SEH2_EXCEPT(RaisingFilter(T)) {
            T.Step("middle-handler");
        }
        _SEH2_END;
    }
    _SEH2_EXCEPT(T.Step("outer-filter")) {
        Outer = GetExceptionCode();
    }
    _SEH2_END;
    EXPECT_EQ(Outer, STATUS_CRC_ERROR);
    // The inner filter sees only the first exception; the second one unwinds
    // through the inner termination handler on its way out.
    EXPECT_EQ(T.Steps, "inner-data raising-filter outer-filter finally ");
}

LONG FilterWithItsOwnGuard(Trace& T) {
    LONG Decision = EXCEPTION_CONTINUE_SEARCH;
    _SEH2_TRY {
        ExRaiseStatus(STATUS_CRC_ERROR);
    }
    _SEH2_EXCEPT(T.Step("filter-guard")) {
        Decision = EXCEPTION_EXECUTE_HANDLER;
    }
    _SEH2_END;
    return Decision;
}

TEST(SehNesting, FilterMayUseGuardsOfItsOwn) {
    Trace T;
    _SEH2_TRY {
        ExRaiseStatus(STATUS_DATA_ERROR);
    }
    _SEH2_EXCEPT(FilterWithItsOwnGuard(T)) {
        T.Step(GetExceptionCode() == STATUS_DATA_ERROR ? "handler-data" : "handler-?");
    }
    _SEH2_END;
    EXPECT_EQ(T.Steps, "filter-guard handler-data ");
}

TEST(SehParameters, RaisedRecordIsVisibleInFilterAndHandler) {
    // A raised status carries no parameters and cannot be continued.
    EXCEPTION_RECORD Status = {};
    _SEH2_TRY {
        ExRaiseStatus(STATUS_NO_MEMORY);
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        Status = *GetExceptionInformation()->ExceptionRecord;
    }
    _SEH2_END;
    EXPECT_EQ(Status.ExceptionFlags, (ULONG)EXCEPTION_NONCONTINUABLE);
    EXPECT_EQ(Status.NumberParameters, 0u);
    EXPECT_NE(Status.ExceptionAddress, nullptr);

    EXCEPTION_RECORD Record = {};
    Record.ExceptionCode = STATUS_IN_PAGE_ERROR;
    Record.NumberParameters = 3;
    Record.ExceptionInformation[0] = 0;
    Record.ExceptionInformation[1] = 0x1000;
    Record.ExceptionInformation[2] = (ULONG_PTR)(ULONG)STATUS_DEVICE_DATA_ERROR;

    EXCEPTION_RECORD InFilter = {};
    EXCEPTION_RECORD InHandler = {};
    _SEH2_TRY {
        ExRaiseException(&Record);
    }
    _SEH2_EXCEPT((InFilter = *GetExceptionInformation()->ExceptionRecord, 1)) {
        InHandler = *_SEH2_GetExceptionInformation()->ExceptionRecord;
    }
    _SEH2_END;
    for (const EXCEPTION_RECORD& Seen : {InFilter, InHandler}) {
        EXPECT_EQ(Seen.ExceptionCode, STATUS_IN_PAGE_ERROR);
        EXPECT_EQ(Seen.NumberParameters, 3u);
        EXPECT_EQ((NTSTATUS)Seen.ExceptionInformation[2], STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(Seen.ExceptionFlags, 0u) << "the raiser's flags are kept";
    }
}

TEST(SehThreads, EachThreadHasItsOwnGuards) {
    // Raise concurrently in two threads; each must land in its own handler.
    std::atomic<int> Handled{0};
    auto Worker = [&](NTSTATUS Code) {
        for (int i = 0; i < 200; i++) {
            _SEH2_TRY {
                _SEH2_TRY {
                    ExRaiseStatus(Code);
                }
                _SEH2_FINALLY {}
                _SEH2_END;
            }
            _SEH2_EXCEPT(GetExceptionCode() == Code ? EXCEPTION_EXECUTE_HANDLER
                                                    : EXCEPTION_CONTINUE_SEARCH) {
                Handled++;
            }
            _SEH2_END;
        }
    };
    std::thread A(Worker, STATUS_DISK_FULL);
    std::thread B(Worker, STATUS_END_OF_FILE);
    A.join();
    B.join();
    EXPECT_EQ(Handled.load(), 400);
}

TEST(FsRtlIsNtstatusExpected, ProgrammingFaultsAreUnexpected) {
    EXPECT_FALSE(FsRtlIsNtstatusExpected(STATUS_ACCESS_VIOLATION));
    EXPECT_FALSE(FsRtlIsNtstatusExpected(STATUS_DATATYPE_MISALIGNMENT));
    EXPECT_FALSE(FsRtlIsNtstatusExpected(STATUS_ILLEGAL_INSTRUCTION));
    EXPECT_FALSE(FsRtlIsNtstatusExpected(STATUS_INSTRUCTION_MISALIGNMENT));
    EXPECT_TRUE(FsRtlIsNtstatusExpected(STATUS_INSUFFICIENT_RESOURCES));
    EXPECT_TRUE(FsRtlIsNtstatusExpected(STATUS_IN_PAGE_ERROR));
    EXPECT_TRUE(FsRtlIsNtstatusExpected(STATUS_DATATYPE_MISALIGNMENT_ERROR));
}

// ---- misuse and unhandled exceptions stop the machine ----

void RaiseUnguarded() {
    ExRaiseStatus(STATUS_DISK_FULL);
}

void RaiseThroughTermination() {
    _SEH2_TRY {
        _SEH2_TRY {
            ExRaiseStatus(STATUS_DISK_FULL);
        }
        _SEH2_FINALLY {
            std::_Exit(7); // a different exit code shows the handler ran
        }
        _SEH2_END;
    }
    _SEH2_EXCEPT(EXCEPTION_CONTINUE_SEARCH) {}
    _SEH2_END;
}

void ContinueExecution() {
    _SEH2_TRY {
        ExRaiseStatus(STATUS_DISK_FULL);
    }
    _SEH2_EXCEPT(EXCEPTION_CONTINUE_EXECUTION) {}
    _SEH2_END;
}

void ReturnFromTerminationDuringUnwind() {
    auto Routine = []() -> int {
        _SEH2_TRY {
            ExRaiseStatus(STATUS_DISK_FULL);
        }
        _SEH2_FINALLY {
            return 1;
        }
        _SEH2_END;
        return 0;
    };
    _SEH2_TRY {
        Routine();
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {}
    _SEH2_END;
}

void ExceptionCodeOutsideHandler() {
    _SEH2_TRY {}
    _SEH2_FINALLY {
        (void)GetExceptionCode();
    }
    _SEH2_END;
}

void TooManyParameters() {
    EXCEPTION_RECORD Record = {};
    Record.ExceptionCode = STATUS_UNSUCCESSFUL;
    Record.NumberParameters = EXCEPTION_MAXIMUM_PARAMETERS + 1;
    RtlRaiseException(&Record);
}

TEST(SehDeathTest, UnhandledExceptionStopsBeforeUnwinding) {
    EXPECT_BUGCHECK(RaiseUnguarded(), KMODE_EXCEPTION_NOT_HANDLED,
                    "\\(0xC000007F(.|\n)*no guard to handle it");
    EXPECT_BUGCHECK(RaiseThroughTermination(), KMODE_EXCEPTION_NOT_HANDLED, "");
}

TEST(SehDeathTest, MisuseStopsTheMachine) {
    EXPECT_BUGCHECK(ContinueExecution(), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "EXCEPTION_CONTINUE_EXECUTION, which is not emulated");
    EXPECT_BUGCHECK(ReturnFromTerminationDuringUnwind(), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "termination handler left by return");
    EXPECT_BUGCHECK(ExceptionCodeOutsideHandler(), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "outside an exception filter or handler");
    EXPECT_BUGCHECK(TooManyParameters(), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "more than EXCEPTION_MAXIMUM_PARAMETERS");
}

} // namespace
