// rtl/assert.cpp - the failure path of ASSERT, ASSERTMSG and PAGED_CODE.
// Any IRQL.
#include "nt/debug.h"

#include <string>

#include "bugcodes.h"
#include "ntstatus.h"
#include "ntos/verifier/bugcheck.h"

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
    std::string rule = "assertion failed: ";
    rule += static_cast<const char*>(FailedAssertion);
    if (Message != nullptr) {
        rule += " (";
        rule += Message;
        rule += ")";
    }
    rule += " at ";
    rule += static_cast<const char*>(FileName);
    rule += ":" + std::to_string(LineNumber);
    VfBugCheck(KMODE_EXCEPTION_NOT_HANDLED, rule.c_str(), VF_CALLER(),
               static_cast<ULONG>(STATUS_BREAKPOINT));
}
