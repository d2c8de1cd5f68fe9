// rtl/memory.cpp - block comparison and the check behind the list helpers.
// Any IRQL.
#include "nt/rtl.h"
#include "ntos/verifier/bugcheck.h"

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const UCHAR* A = (const UCHAR*)Source1;
    const UCHAR* B = (const UCHAR*)Source2;
    SIZE_T Equal = 0;
    while (Equal < Length && A[Equal] == B[Equal]) {
        Equal++;
    }
    return Equal;
}

void RtlpFatalListEntryError(PLIST_ENTRY Entry) {
    VfBugCheck(KERNEL_SECURITY_CHECK_FAILURE,
               "list entry links do not point back at it (removed twice, or on two lists)",
               VF_CALLER(), 3, (ULONG_PTR)Entry, (ULONG_PTR)Entry->Flink, (ULONG_PTR)Entry->Blink);
}
