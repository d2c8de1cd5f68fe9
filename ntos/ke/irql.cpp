// ke/irql.cpp - the per-thread interrupt request level and spin locks.
//
// IRQL is a property of the emulated thread. Raising it changes nothing in the
// host's scheduling; it decides which kernel calls are legal. Spin locks give
// real mutual exclusion between host threads and remember their owner so that
// misuse is caught.
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"

#include <atomic>
#include <thread>

void KiSetIrql(PKTHREAD Thread, KIRQL Irql) { Thread->Irql = Irql; }

KIRQL KeGetCurrentIrql(VOID) { return KiCurrentThread(VF_CALLER())->Irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    KIRQL old = thread->Irql;
    if (NewIrql < old) {
        VfBugCheck(IRQL_NOT_GREATER_OR_EQUAL, "IRQL raised to a level below the current one",
                   VF_CALLER(), old, NewIrql);
    }
    thread->Irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    KiCheckNoWaitNext(thread, VF_CALLER());
    if (NewIrql > thread->Irql) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "IRQL lowered to a level above the current one",
                   VF_CALLER(), thread->Irql, NewIrql);
    }
    KIRQL old = thread->Irql;
    thread->Irql = NewIrql;
    if (NewIrql < DISPATCH_LEVEL && old >= DISPATCH_LEVEL) {
        KiRunHeldDpcs(thread);
    }
    if (NewIrql == PASSIVE_LEVEL && old != PASSIVE_LEVEL) {
        KiCheckApcs(thread);
    }
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_release);
}

namespace {

// Takes the lock for Thread, which runs at DISPATCH_LEVEL or above.
void KipAcquireSpinLock(PKSPIN_LOCK SpinLock, PKTHREAD Thread, const void* Caller) {
    std::atomic_ref<ULONG_PTR> lock(*SpinLock);
    const ULONG_PTR self = reinterpret_cast<ULONG_PTR>(Thread);
    if (lock.load(std::memory_order_relaxed) == self) {
        VfBugCheck(SPIN_LOCK_ALREADY_OWNED,
                   "spin lock acquired again by the thread that holds it (deadlock)", Caller,
                   reinterpret_cast<ULONG_PTR>(SpinLock));
    }
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (lock.compare_exchange_weak(expected, self, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
            return;
        }
        if (spins > 64) {
            std::this_thread::yield();
        }
    }
}

void KipReleaseSpinLock(PKSPIN_LOCK SpinLock, PKTHREAD Thread, const void* Caller) {
    std::atomic_ref<ULONG_PTR> lock(*SpinLock);
    if (lock.load(std::memory_order_relaxed) != reinterpret_cast<ULONG_PTR>(Thread)) {
        VfBugCheck(SPIN_LOCK_NOT_OWNED, "spin lock released by a thread that does not hold it",
                   Caller, reinterpret_cast<ULONG_PTR>(SpinLock),
                   lock.load(std::memory_order_relaxed));
    }
    lock.store(0, std::memory_order_release);
}

} // namespace

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    KiJitter();
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    KIRQL old = thread->Irql;
    if (old > DISPATCH_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "spin lock acquired above DISPATCH_LEVEL",
                   VF_CALLER(), old, reinterpret_cast<ULONG_PTR>(SpinLock));
    }
    thread->Irql = DISPATCH_LEVEL;
    KipAcquireSpinLock(SpinLock, thread, VF_CALLER());
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    KiCheckNoWaitNext(thread, VF_CALLER());
    KipReleaseSpinLock(SpinLock, thread, VF_CALLER());
    if (NewIrql > thread->Irql) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "spin lock released to an IRQL above the current one",
                   VF_CALLER(), thread->Irql, NewIrql);
    }
    KIRQL old = thread->Irql;
    thread->Irql = NewIrql;
    if (NewIrql < DISPATCH_LEVEL && old >= DISPATCH_LEVEL) {
        KiRunHeldDpcs(thread);
    }
    if (NewIrql == PASSIVE_LEVEL && old != PASSIVE_LEVEL) {
        KiCheckApcs(thread);
    }
}

VOID FASTCALL KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    PKTHREAD thread = KiCurrentThread(VF_CALLER());
    if (thread->Irql != DISPATCH_LEVEL) {
        VfBugCheck(IRQL_NOT_GREATER_OR_EQUAL,
                   "spin lock acquired at DPC level by a thread not at DISPATCH_LEVEL",
                   VF_CALLER(), thread->Irql, reinterpret_cast<ULONG_PTR>(SpinLock));
    }
    KipAcquireSpinLock(SpinLock, thread, VF_CALLER());
}

VOID FASTCALL KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    KipReleaseSpinLock(SpinLock, KiCurrentThread(VF_CALLER()), VF_CALLER());
}
