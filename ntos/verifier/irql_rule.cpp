// verifier/irql_rule.cpp - entry checks of a routine's highest IRQL.
#include "ntos/verifier/irql_rule.h"
#include "ntos/verifier/bugcheck.h"
#include "bugcodes.h"
#include "nt/ke.h"

#include <cstdio>

namespace {

const char* VfpIrqlName(KIRQL Irql) {
    switch (Irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    default:
        return "a device IRQL";
    }
}

} // namespace

void VfCheckIrqlAtMost(KIRQL Highest, const char* Routine, const void* Caller) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql <= Highest) {
        return;
    }
    static thread_local char rule[160];
    std::snprintf(rule, sizeof(rule), "%s called at %s (allowed at %s%s)", Routine,
                  VfpIrqlName(irql), Highest == PASSIVE_LEVEL ? "" : "or below ",
                  VfpIrqlName(Highest));
    VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, rule, Caller, irql, Highest);
}
