// Routines documented as PASSIVE_LEVEL only, or as at most APC_LEVEL, bug
// check a caller above that level on entry, before touching any argument.
#include "ntifs.h"
#include "expect_bugcheck.h"
#include "ntos/kernel_fixture.h"

#include <functional>
#include <string>

namespace {

using IrqlRuleDeathTest = KernelTest;

struct IrqlRule {
    const char* Routine;
    KIRQL FirstForbidden;
    std::function<void()> Call;
};

TEST_F(IrqlRuleDeathTest, RoutinesCalledAboveTheirHighestIrqlBugCheck) {
    const IrqlRule rules[] = {
        {"ObReferenceObjectByHandle", APC_LEVEL,
         [] { ObReferenceObjectByHandle(nullptr, 0, nullptr, KernelMode, nullptr, nullptr); }},
        {"ZwClose", APC_LEVEL, [] { ZwClose(nullptr); }},
        {"ZwCreateFile", APC_LEVEL,
         [] { ZwCreateFile(nullptr, 0, nullptr, nullptr, nullptr, 0, 0, 0, 0, nullptr, 0); }},
        {"ZwOpenFile", APC_LEVEL, [] { ZwOpenFile(nullptr, 0, nullptr, nullptr, 0, 0); }},
        {"ZwReadFile", APC_LEVEL,
         [] {
             ZwReadFile(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr);
         }},
        {"ZwWriteFile", APC_LEVEL,
         [] {
             ZwWriteFile(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr);
         }},
        {"ZwQueryVolumeInformationFile", APC_LEVEL,
         [] { ZwQueryVolumeInformationFile(nullptr, nullptr, nullptr, 0, FileFsSizeInformation); }},
        {"ZwDeviceIoControlFile", APC_LEVEL,
         [] {
             ZwDeviceIoControlFile(nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0,
                                   nullptr, 0);
         }},
        {"ZwCreateSection", APC_LEVEL,
         [] { ZwCreateSection(nullptr, 0, nullptr, nullptr, 0, 0, nullptr); }},
        {"ZwMapViewOfSection", APC_LEVEL,
         [] {
             ZwMapViewOfSection(nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr, ViewUnmap, 0, 0);
         }},
        {"ZwUnmapViewOfSection", APC_LEVEL, [] { ZwUnmapViewOfSection(nullptr, nullptr); }},
        {"ZwOpenSymbolicLinkObject", APC_LEVEL,
         [] { ZwOpenSymbolicLinkObject(nullptr, 0, nullptr); }},
        {"ZwQuerySymbolicLinkObject", APC_LEVEL,
         [] { ZwQuerySymbolicLinkObject(nullptr, nullptr, nullptr); }},
        {"ZwCreateEvent", APC_LEVEL,
         [] { ZwCreateEvent(nullptr, 0, nullptr, NotificationEvent, FALSE); }},
        {"ZwSetEvent", APC_LEVEL, [] { ZwSetEvent(nullptr, nullptr); }},
        {"ZwClearEvent", APC_LEVEL, [] { ZwClearEvent(nullptr); }},
        {"ZwWaitForSingleObject", APC_LEVEL,
         [] { ZwWaitForSingleObject(nullptr, FALSE, nullptr); }},
        {"IoGetDeviceObjectPointer", APC_LEVEL,
         [] { IoGetDeviceObjectPointer(nullptr, 0, nullptr, nullptr); }},
        {"SeSinglePrivilegeCheck", APC_LEVEL,
         [] { SeSinglePrivilegeCheck(SeExports->SeBackupPrivilege, UserMode); }},
        {"PsCreateSystemThread", APC_LEVEL,
         [] { PsCreateSystemThread(nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"IoBuildDeviceIoControlRequest", DISPATCH_LEVEL,
         [] {
             IoBuildDeviceIoControlRequest(0, nullptr, nullptr, 0, nullptr, 0, FALSE, nullptr,
                                           nullptr);
         }},
        {"IoBuildSynchronousFsdRequest", DISPATCH_LEVEL,
         [] {
             IoBuildSynchronousFsdRequest(IRP_MJ_READ, nullptr, nullptr, 0, nullptr, nullptr,
                                          nullptr);
         }},
    };
    for (const IrqlRule& rule : rules) {
        const std::string expected =
            std::string("rule: ") + rule.Routine + " called at " +
            (rule.FirstForbidden == APC_LEVEL ? "APC_LEVEL" : "DISPATCH_LEVEL");
        SCOPED_TRACE(rule.Routine);
        EXPECT_BUGCHECK(
            {
                KIRQL old;
                KeRaiseIrql(rule.FirstForbidden, &old);
                rule.Call();
            },
            DRIVER_VERIFIER_DETECTED_VIOLATION, expected.c_str());
    }
}

} // namespace
