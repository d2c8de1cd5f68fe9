// nt/seh.h - structured exception handling for kernel code.
//
// Kernel mode, any IRQL. Guards are written in the PSEH2 spelling:
//
//     _SEH2_TRY { ... } _SEH2_EXCEPT(filter-expression) { ... } _SEH2_END;
//     _SEH2_TRY { ... } _SEH2_FINALLY { ... } _SEH2_END;
//
// Dispatch follows the platform's two passes. A raise first evaluates the
// filters of the enclosing exception guards, innermost first, at the point of
// the raise (nothing has been unwound yet, inner termination handlers have
// not run). The first filter that returns EXCEPTION_EXECUTE_HANDLER (any
// positive value) chooses its guard; EXCEPTION_CONTINUE_SEARCH (0) goes on to
// the next enclosing guard. Then the stack unwinds to the chosen guard,
// running every termination handler on the way, and its handler runs.
// EXCEPTION_CONTINUE_EXECUTION (negative) is not emulated and bug-checks.
// An exception that no filter accepts bug-checks KMODE_EXCEPTION_NOT_HANDLED
// at the raise (a system thread's outermost guard turns it into
// SYSTEM_THREAD_EXCEPTION_NOT_HANDLED). An exception raised inside a filter
// is dispatched to the guards that enclose that filter's guard (and to
// guards inside the filter's own code).
//
// Rules of the guarded body (the block after _SEH2_TRY):
//  - `return`, and `break`, `continue` or `goto` leaving the body, do not
//    compile: the body is a lambda whose return type no statement of the
//    caller can produce. Leave the body with _SEH2_LEAVE (a normal
//    termination); to return a value, store it and return after _SEH2_END.
//  - The exception handler (the block after _SEH2_EXCEPT) and the
//    termination handler (after _SEH2_FINALLY) are ordinary blocks: `return`
//    works there. Leaving a termination handler by a jump while an exception
//    is passing through it would swallow the exception: that bug-checks.
//  - GetExceptionCode() / GetExceptionInformation() are valid in a filter and
//    in an exception handler; AbnormalTermination() in a termination handler
//    (TRUE when an exception is passing, FALSE on normal exit and on
//    _SEH2_LEAVE). Used elsewhere they bug-check.
//  - Exceptions are the ones raised by the raise routines below (and the
//    emulation's own faults on user addresses); host C++ exceptions pass
//    through guards untouched, as a thread's end does on the platform (the
//    emulated machine's power-off alone runs termination handlers on its way).
#pragma once

#include <type_traits>

#include "ntdef.h"
#include "ntstatus.h"

#ifndef STATUS_INSTRUCTION_MISALIGNMENT
#define STATUS_INSTRUCTION_MISALIGNMENT ((NTSTATUS)0xC00000AAL)
#endif

#define EXCEPTION_NONCONTINUABLE 0x1
#define EXCEPTION_MAXIMUM_PARAMETERS 15

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

typedef struct _EXCEPTION_RECORD {
    NTSTATUS ExceptionCode;
    ULONG ExceptionFlags;                      // EXCEPTION_NONCONTINUABLE for raised statuses
    struct _EXCEPTION_RECORD* ExceptionRecord; // chained record, or NULL
    PVOID ExceptionAddress;                    // code address of the raise
    ULONG NumberParameters;                    // valid entries of ExceptionInformation
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

// Processor context of the raise. The emulation does not capture one:
// ContextRecord is always NULL.
typedef struct _CONTEXT CONTEXT, *PCONTEXT;

typedef struct _EXCEPTION_POINTERS {
    PEXCEPTION_RECORD ExceptionRecord;
    PCONTEXT ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;

// Raise a noncontinuable exception with Status as its code and no
// parameters. They do not return.
[[noreturn]] VOID ExRaiseStatus(NTSTATUS Status);
[[noreturn]] VOID RtlRaiseStatus(NTSTATUS Status);

// Raise the exception that ExceptionRecord describes (copied; at most
// EXCEPTION_MAXIMUM_PARAMETERS parameters, more bug-checks). Filters and
// handlers see the same code, flags and parameters.
[[noreturn]] VOID ExRaiseException(PEXCEPTION_RECORD ExceptionRecord);
[[noreturn]] VOID RtlRaiseException(PEXCEPTION_RECORD ExceptionRecord);

// FALSE for the statuses that mean a bug in the code that raised them
// (access violation, datatype and instruction misalignment, illegal
// instruction); TRUE for every other status.
BOOLEAN FsRtlIsNtstatusExpected(NTSTATUS Exception);

// ---------------------------------------------------------------------------
// Machinery behind the macros. Not for direct use.
// ---------------------------------------------------------------------------

// The body lambda's return type. Only the macros can make one, so a `return`
// written in a guarded body fails to compile.
struct RtlpSehToken {
    explicit RtlpSehToken() = default;
};
struct RtlpSehBodyExit {
    explicit RtlpSehBodyExit(RtlpSehToken) {}
};

enum RTLP_SEH_STATE {
    RtlpSehRunning,          // body running, or guard finished normally
    RtlpSehFiltering,        // this guard's filter is being evaluated
    RtlpSehHandling,         // this guard's exception handler is running
    RtlpSehFinallyNormal,    // termination handler after a normal exit
    RtlpSehFinallyUnwinding, // termination handler while an exception passes
};

typedef void (*RTLP_SEH_BODY)(PVOID Body);
typedef LONG (*RTLP_SEH_FILTER)(PVOID Filter);

// One guard, on the stack of the thread that entered it. Touched only by
// that thread.
struct RtlpSehGuard {
    RtlpSehGuard* Outer = NULL;           // next enclosing exception guard while registered
    RTLP_SEH_FILTER FilterRoutine = NULL; // evaluates the filter expression (exception guards)
    PVOID FilterContext = NULL;           // the filter lambda FilterRoutine calls
    RTLP_SEH_STATE State = RtlpSehRunning;
    RtlpSehGuard* UnwindTarget = NULL; // guard the passing exception is headed for
    EXCEPTION_RECORD Record = {};      // the exception, while filtering/handling/unwinding
    EXCEPTION_POINTERS Pointers = {};  // points at Record; what GetExceptionInformation gives
    int UncaughtAtFinally = 0; // host exceptions in flight when the termination handler began

    RtlpSehGuard() = default;
    RtlpSehGuard(const RtlpSehGuard&) = delete;
    RtlpSehGuard& operator=(const RtlpSehGuard&) = delete;
    ~RtlpSehGuard();

    template <typename Body, typename Filter> bool RunExcept(Body& Routine, Filter&& Decide) {
        using FilterType = std::remove_reference_t<Filter>;
        return RunExceptCore([](PVOID B) { (void)(*static_cast<Body*>(B))(); }, &Routine,
                             [](PVOID F) -> LONG { return (*static_cast<FilterType*>(F))(); },
                             &Decide);
    }

    template <typename Body> void RunFinally(Body& Routine) {
        RunFinallyCore([](PVOID B) { (void)(*static_cast<Body*>(B))(); }, &Routine);
    }

    bool RunExceptCore(RTLP_SEH_BODY Body, PVOID BodyContext, RTLP_SEH_FILTER Filter,
                       PVOID FilterContext);
    void RunFinallyCore(RTLP_SEH_BODY Body, PVOID BodyContext);
    // Sends a passing exception on after the termination handler.
    void Resume();
    NTSTATUS QueryExceptionCode();
    PEXCEPTION_POINTERS QueryExceptionInformation();
    BOOLEAN QueryAbnormalTermination();
};

#define _SEH2_TRY                                                                                  \
    {                                                                                              \
        ::RtlpSehGuard _seh2Guard;                                                                 \
        auto _seh2Body = [&]() -> ::RtlpSehBodyExit {

#define _SEH2_EXCEPT(...)                                                                          \
    return ::RtlpSehBodyExit(::RtlpSehToken());                                                    \
    }                                                                                              \
    ;                                                                                              \
    if (_seh2Guard.RunExcept(_seh2Body, [&]() -> LONG { return (LONG)(__VA_ARGS__); }))

#define _SEH2_FINALLY                                                                              \
    return ::RtlpSehBodyExit(::RtlpSehToken());                                                    \
    }                                                                                              \
    ;                                                                                              \
    _seh2Guard.RunFinally(_seh2Body);

#define _SEH2_END                                                                                  \
    _seh2Guard.Resume();                                                                           \
    }

#define _SEH2_LEAVE return ::RtlpSehBodyExit(::RtlpSehToken())

#define _SEH2_GetExceptionCode() (_seh2Guard.QueryExceptionCode())
#define _SEH2_GetExceptionInformation() (_seh2Guard.QueryExceptionInformation())
#define _SEH2_AbnormalTermination() (_seh2Guard.QueryAbnormalTermination())

#ifndef GetExceptionCode
#define GetExceptionCode() _SEH2_GetExceptionCode()
#endif
#ifndef GetExceptionInformation
#define GetExceptionInformation() _SEH2_GetExceptionInformation()
#endif
#ifndef AbnormalTermination
#define AbnormalTermination() _SEH2_AbnormalTermination()
#endif
