// ke/kernel.cpp - starting and stopping the emulated kernel in a host process.
#include "ntos/ke/kernel.h"
#include "ntos/evlog/evlp.h"
#include "ntos/ke/ki.h"
#include "ntos/ob/obp.h"
#include "ntos/ps/psp.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/lock_order.h"

#include <string>

void PspSetCsdVersion(const WCHAR* CsdVersion);

namespace {

struct KI_KERNEL {
    bool Running = false;      // written by the initial thread only
    KernelConfig Config;       // written at start only
    std::u16string CsdVersion; // the configured string, owned while running
};

KI_KERNEL KipKernel;

} // namespace

void KiStartKernel(const KernelConfig& Config) {
    if (KipKernel.Running) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "kernel started while it runs", VF_CALLER());
    }
    if (KiCurrentThreadOrNull() != nullptr) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "kernel started from a thread that is already a kernel thread", VF_CALLER());
    }
    KipKernel.Config = Config;
    KipKernel.CsdVersion = Config.CsdVersion != nullptr ? Config.CsdVersion : u"";
    KipKernel.Config.CsdVersion = KipKernel.CsdVersion.c_str();
    PspSetCsdVersion(KipKernel.CsdVersion.c_str());
    KipKernel.Running = true;
    VfLockOrderReset(); // a new machine: the locks of the last one are gone
    ObpInitialize();
    SepInitialize();
    PspInitialize();
    KiStartClock(Config.ClockScale);
    KiStartDpcThread();
}

void KiPowerOffThreads() {
    PKTHREAD current = KiCurrentThread(VF_CALLER());
    if (!current->IsInitialThread) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "machine powered off from a thread other than the one that started it",
                   VF_CALLER());
    }
    if (current->Irql != PASSIVE_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "machine powered off above PASSIVE_LEVEL", VF_CALLER(),
                   current->Irql);
    }
    KiBeginPowerOff();
    PspWaitForPowerOff();
}

void KiStopKernel() {
    if (!KipKernel.Running) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "kernel stopped while not running",
                   VF_CALLER());
    }
    PspVerifyShutdown();
    KiStopDpcThread();
    KiStopClock();
    PspShutdown();
    SepShutdown();
    ObpShutdown();
    EvlpResetEventLog();
    {
        std::lock_guard<std::mutex> guard(KiDispatcherLock);
        KiPowerOffUnderway = FALSE;
    }
    KipKernel.Running = false;
}

BOOLEAN KiKernelRunning() {
    return KipKernel.Running;
}

const KernelConfig& KiConfig() {
    return KipKernel.Config;
}
