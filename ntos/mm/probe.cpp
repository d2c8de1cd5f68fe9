// mm/probe.cpp - probing user buffers and reaching embedded user addresses.
//
// Kernel mode, IRQL <= APC_LEVEL. A failed probe raises through the
// exception guards: STATUS_DATATYPE_MISALIGNMENT, or STATUS_ACCESS_VIOLATION
// with the platform's two parameters (0 read / 1 write, the faulting address).
#include "nt/mm.h"
#include "ntos/mm/user_memory.h"
#include "ntos/verifier/bugcheck.h"

namespace {

[[noreturn]] void MmpRaiseAccessViolation(ULONG_PTR Address, BOOLEAN Write) {
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = STATUS_ACCESS_VIOLATION;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = Write ? 1 : 0;
    record.ExceptionInformation[1] = Address;
    ExRaiseException(&record);
}

void MmpProbe(ULONG_PTR Address, SIZE_T Length, ULONG Alignment, BOOLEAN Write,
              const void* Caller) {
    if (Alignment != 1 && Alignment != 2 && Alignment != 4 && Alignment != 8 && Alignment != 16) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "user buffer probed with an alignment that is not 1, 2, 4, 8 or 16", Caller,
                   Alignment);
    }
    if (Length == 0) {
        return;
    }
    if (KeGetCurrentIrql() > APC_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "user buffer probed above APC_LEVEL", Caller,
                   KeGetCurrentIrql());
    }
    if ((Address & (Alignment - 1)) != 0) {
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
    }
    if (!MmpIsUserRange(PsGetCurrentProcess(), Address, Length, Write)) {
        MmpRaiseAccessViolation(Address, Write);
    }
}

} // namespace

VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
    MmpProbe(reinterpret_cast<ULONG_PTR>(Address), Length, Alignment, FALSE, VF_CALLER());
}

VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
    MmpProbe(reinterpret_cast<ULONG_PTR>(Address), Length, Alignment, TRUE, VF_CALLER());
}

PVOID MmGetUserBuffer(ULONG32 UserAddress, SIZE_T Length, ULONG Alignment, BOOLEAN Write) {
    MmpProbe(UserAddress, Length, Alignment, Write, VF_CALLER());
    return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(UserAddress));
}
