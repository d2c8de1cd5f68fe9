// rtl/guarded_thread.cpp - the outermost exception guard of a system thread.
// Runs at the thread routine's IRQL.
#include "bugcodes.h"
#include "nt/seh.h"
#include "ntos/rtl/rtlp.h"
#include "ntos/verifier/bugcheck.h"

namespace {

// Filter of the outermost guard: reached only when nothing inside the thread
// handled the exception, so the machine stops before anything unwinds.
LONG UnhandledInSystemThread(PEXCEPTION_POINTERS Pointers) {
    PEXCEPTION_RECORD Record = Pointers->ExceptionRecord;
    VfBugCheck(SYSTEM_THREAD_EXCEPTION_NOT_HANDLED, "exception not handled in a system thread",
               Record->ExceptionAddress, (ULONG_PTR)(ULONG)Record->ExceptionCode,
               (ULONG_PTR)Record->ExceptionAddress, Record->ExceptionInformation[0],
               Record->ExceptionInformation[1]);
}

} // namespace

VOID RtlpRunGuarded(void (*Routine)(PVOID), PVOID Context) {
    _SEH2_TRY {
        Routine(Context);
    }
    _SEH2_EXCEPT(UnhandledInSystemThread(GetExceptionInformation())) {}
    _SEH2_END;
}
