// verifier/bugcheck.h - how the emulation reports misuse of the kernel API.
//
// A violated rule ends the process, as the platform's verifier ends the
// machine: the report names the bug check code, the rule and the caller, and
// prints the host stack. Tests observe it with death tests, matching the rule.
#pragma once

#include "ntdef.h"

// Reports a violated rule and ends the process. `rule` is a short sentence
// naming the rule ("spin lock released at an IRQL it was not acquired at");
// `caller` is the code address that broke it (pass __builtin_return_address(0)
// from the API entry point), printed symbolised when possible.
[[noreturn]] void VfBugCheck(ULONG BugCheckCode, const char* rule, const void* caller,
                             ULONG_PTR P1 = 0, ULONG_PTR P2 = 0, ULONG_PTR P3 = 0,
                             ULONG_PTR P4 = 0);

// Convenience for API entry points.
#define VF_CALLER() __builtin_return_address(0)
