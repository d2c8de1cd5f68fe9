// rtl/seh.cpp - structured exception dispatch on C++ exceptions: the raise
// routines, the two passes over a thread's exception guards, and the guard
// operations behind the _SEH2_ macros. Any IRQL.
//
// Each thread keeps its registered exception guards as a chain (innermost
// first) and the dispatches whose filters are running. A raise walks the
// chain calling filters; the guard that accepts becomes the target of a C++
// exception that unwinds to it, through the termination handlers on the way.
#include "nt/seh.h"

#include <exception>
#include <utility>
#include <vector>

#include "bugcodes.h"
#include "ntos/verifier/bugcheck.h"

namespace {

// A raise whose first pass is in progress on this thread.
struct ActiveDispatch {
    RtlpSehGuard* RaiseTop;   // innermost registered guard when the raise began
    RtlpSehGuard* Evaluating; // guard whose filter is running, or NULL
    ActiveDispatch* Outer;    // older dispatch still in its first pass
};

// The second pass: a C++ exception headed for the guard that accepted it.
struct SehUnwind {
    EXCEPTION_RECORD Record;
    RtlpSehGuard* Target;
};

thread_local RtlpSehGuard* TopGuard;      // innermost registered exception guard
thread_local ActiveDispatch* TopDispatch; // innermost first pass in progress

// Host exceptions held by termination handlers that run while they pass
// (innermost last); each goes on from its guard's Resume. A guard in this
// state is RtlpSehFinallyUnwinding with no UnwindTarget.
thread_local std::vector<std::pair<const RtlpSehGuard*, std::exception_ptr>> ForeignUnwinds;

// Whether host exceptions run termination handlers in this thread.
thread_local BOOLEAN RunHandlersOnHostUnwind = FALSE;

void ForgetForeignUnwind(const RtlpSehGuard* Guard) {
    for (auto It = ForeignUnwinds.begin(); It != ForeignUnwinds.end(); ++It) {
        if (It->first == Guard) {
            ForeignUnwinds.erase(It);
            return;
        }
    }
}

// An exception raised inside a filter cannot be handled by the guards between
// the original raise and the filter's own guard (nor by that guard): skip
// them, continuing below the guard whose filter is running.
RtlpSehGuard* SkipSuspendedGuards(RtlpSehGuard* Guard, ActiveDispatch* Dispatches) {
    bool Moved = true;
    while (Guard != NULL && Moved) {
        Moved = false;
        for (ActiveDispatch* D = Dispatches; D != NULL; D = D->Outer) {
            if (D->Evaluating != NULL && D->RaiseTop == Guard) {
                Guard = D->Evaluating->Outer;
                Moved = true;
                break;
            }
        }
    }
    return Guard;
}

[[noreturn]] void DispatchException(const EXCEPTION_RECORD& Record) {
    ActiveDispatch Self{TopGuard, NULL, TopDispatch};
    TopDispatch = &Self;
    struct PopDispatch {
        ActiveDispatch* D;
        ~PopDispatch() { TopDispatch = D->Outer; }
    } Pop{&Self};

    for (RtlpSehGuard* Guard = SkipSuspendedGuards(TopGuard, Self.Outer); Guard != NULL;
         Guard = SkipSuspendedGuards(Guard->Outer, Self.Outer)) {
        Guard->Record = Record;
        Guard->Pointers = {&Guard->Record, NULL};
        Guard->State = RtlpSehFiltering;
        Self.Evaluating = Guard;
        LONG Decision = Guard->FilterRoutine(Guard->FilterContext);
        Self.Evaluating = NULL;
        Guard->State = RtlpSehRunning;
        if (Decision < 0) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "exception filter returned EXCEPTION_CONTINUE_EXECUTION, which is not "
                       "emulated",
                       Record.ExceptionAddress, (ULONG_PTR)(ULONG)Record.ExceptionCode);
        }
        if (Decision > 0) {
            throw SehUnwind{Record, Guard};
        }
    }
    VfBugCheck(KMODE_EXCEPTION_NOT_HANDLED, "exception raised with no guard to handle it",
               Record.ExceptionAddress, (ULONG_PTR)(ULONG)Record.ExceptionCode,
               (ULONG_PTR)Record.ExceptionAddress, Record.ExceptionInformation[0],
               Record.ExceptionInformation[1]);
}

[[noreturn]] void RaiseStatusFrom(NTSTATUS Status, const void* Caller) {
    EXCEPTION_RECORD Record = {};
    Record.ExceptionCode = Status;
    Record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    Record.ExceptionAddress = (PVOID)Caller;
    DispatchException(Record);
}

[[noreturn]] void RaiseRecordFrom(PEXCEPTION_RECORD ExceptionRecord, const void* Caller) {
    if (ExceptionRecord->NumberParameters > EXCEPTION_MAXIMUM_PARAMETERS) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "exception record has more than EXCEPTION_MAXIMUM_PARAMETERS parameters", Caller,
                   ExceptionRecord->NumberParameters);
    }
    EXCEPTION_RECORD Record = *ExceptionRecord;
    Record.ExceptionAddress = (PVOID)Caller;
    DispatchException(Record);
}

} // namespace

VOID ExRaiseStatus(NTSTATUS Status) {
    RaiseStatusFrom(Status, VF_CALLER());
}

VOID RtlRaiseStatus(NTSTATUS Status) {
    RaiseStatusFrom(Status, VF_CALLER());
}

VOID ExRaiseException(PEXCEPTION_RECORD ExceptionRecord) {
    RaiseRecordFrom(ExceptionRecord, VF_CALLER());
}

VOID RtlRaiseException(PEXCEPTION_RECORD ExceptionRecord) {
    RaiseRecordFrom(ExceptionRecord, VF_CALLER());
}

BOOLEAN FsRtlIsNtstatusExpected(NTSTATUS Exception) {
    return (Exception == STATUS_DATATYPE_MISALIGNMENT || Exception == STATUS_ACCESS_VIOLATION ||
            Exception == STATUS_ILLEGAL_INSTRUCTION || Exception == STATUS_INSTRUCTION_MISALIGNMENT)
               ? FALSE
               : TRUE;
}

bool RtlpSehGuard::RunExceptCore(RTLP_SEH_BODY Body, PVOID BodyContext, RTLP_SEH_FILTER Filter,
                                 PVOID FilterContextIn) {
    FilterRoutine = Filter;
    FilterContext = FilterContextIn;
    Outer = TopGuard;
    TopGuard = this;
    struct Unregister {
        RtlpSehGuard* Guard;
        ~Unregister() { TopGuard = Guard->Outer; }
    };
    try {
        Unregister Registered{this};
        Body(BodyContext);
        return false;
    } catch (SehUnwind& Unwind) {
        if (Unwind.Target != this) {
            throw;
        }
        Record = Unwind.Record;
        Pointers = {&Record, NULL};
        State = RtlpSehHandling;
        return true;
    }
}

VOID RtlpRunTerminationHandlersOnHostUnwind(BOOLEAN Run) { RunHandlersOnHostUnwind = Run; }

void RtlpSehGuard::RunFinallyCore(RTLP_SEH_BODY Body, PVOID BodyContext) {
    try {
        Body(BodyContext);
        State = RtlpSehFinallyNormal;
    } catch (SehUnwind& Unwind) {
        Record = Unwind.Record;
        UnwindTarget = Unwind.Target;
        State = RtlpSehFinallyUnwinding;
    } catch (...) {
        // A host exception (a thread's end) passes untouched unless the
        // thread is being ended by power-off, which runs termination handlers.
        if (!RunHandlersOnHostUnwind) {
            throw;
        }
        Record = {};
        UnwindTarget = NULL;
        State = RtlpSehFinallyUnwinding;
        ForeignUnwinds.emplace_back(this, std::current_exception());
    }
    UncaughtAtFinally = std::uncaught_exceptions();
}

void RtlpSehGuard::Resume() {
    if (State == RtlpSehFinallyUnwinding) {
        State = RtlpSehRunning;
        if (UnwindTarget == NULL) {
            std::exception_ptr Foreign;
            for (auto& Entry : ForeignUnwinds) {
                if (Entry.first == this) {
                    Foreign = Entry.second;
                }
            }
            ForgetForeignUnwind(this);
            std::rethrow_exception(Foreign);
        }
        throw SehUnwind{Record, UnwindTarget};
    }
}

RtlpSehGuard::~RtlpSehGuard() {
    // Still unwinding here, with no newer exception under way, means the
    // termination handler was left by a jump and would swallow the exception.
    if (State == RtlpSehFinallyUnwinding && std::uncaught_exceptions() <= UncaughtAtFinally) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "termination handler left by return, break or goto while an exception was "
                   "passing through it",
                   Record.ExceptionAddress, (ULONG_PTR)(ULONG)Record.ExceptionCode);
    }
    if (State == RtlpSehFinallyUnwinding && UnwindTarget == NULL) {
        ForgetForeignUnwind(this); // a newer exception left the termination handler
    }
}

namespace {

void CheckExceptionAvailable(const RtlpSehGuard* Guard, const void* Caller) {
    if (Guard->State != RtlpSehFiltering && Guard->State != RtlpSehHandling) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "GetExceptionCode or GetExceptionInformation used outside an exception "
                   "filter or handler",
                   Caller);
    }
}

} // namespace

NTSTATUS RtlpSehGuard::QueryExceptionCode() {
    CheckExceptionAvailable(this, VF_CALLER());
    return Record.ExceptionCode;
}

PEXCEPTION_POINTERS RtlpSehGuard::QueryExceptionInformation() {
    CheckExceptionAvailable(this, VF_CALLER());
    return &Pointers;
}

BOOLEAN RtlpSehGuard::QueryAbnormalTermination() {
    return State == RtlpSehFinallyUnwinding ? TRUE : FALSE;
}
