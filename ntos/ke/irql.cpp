// ke/irql.cpp - the per-thread interrupt request level and spin locks.
//
// IRQL is a property of the emulated thread. Raising it changes nothing in the
// host's scheduling; it decides which kernel calls are legal. Spin locks give
// real mutual exclusion between host threads and remember their owner so that
// misuse is caught.
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/lock_order.h"

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
    VfLockInitialized(SpinLock);
    std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_release);
}

namespace {

// Takes the lock for Thread, which runs at DISPATCH_LEVEL or above; Tracked
// records it in the lock order.
void KipAcquireSpinLock(PKSPIN_LOCK SpinLock, PKTHREAD Thread, const void* Caller,
                        bool Tracked = true) {
    std::atomic_ref<ULONG_PTR> lock(*SpinLock);
    const ULONG_PTR self = reinterpret_cast<ULONG_PTR>(Thread);
    if (lock.load(std::memory_order_relaxed) == self) {
        VfBugCheck(SPIN_LOCK_ALREADY_OWNED,
                   "spin lock acquired again by the thread that holds it (deadlock)", Caller,
                   reinterpret_cast<ULONG_PTR>(SpinLock));
    }
    if (Tracked) {
        VfLockAcquire(Thread, SpinLock, VfLockKind::SpinLock, Caller);
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

void KipReleaseSpinLock(PKSPIN_LOCK SpinLock, PKTHREAD Thread, const void* Caller,
                        bool Tracked = true) {
    std::atomic_ref<ULONG_PTR> lock(*SpinLock);
    if (lock.load(std::memory_order_relaxed) != reinterpret_cast<ULONG_PTR>(Thread)) {
        VfBugCheck(SPIN_LOCK_NOT_OWNED, "spin lock released by a thread that does not hold it",
                   Caller, reinterpret_cast<ULONG_PTR>(SpinLock),
                   lock.load(std::memory_order_relaxed));
    }
    if (Tracked) {
        VfLockReleased(Thread, SpinLock, Caller);
    }
    lock.store(0, std::memory_order_release);
}

} // namespace

namespace {

KIRQL KipRaiseAndAcquire(PKSPIN_LOCK SpinLock, const void* Caller, bool Tracked) {
    KiJitter();
    PKTHREAD thread = KiCurrentThread(Caller);
    KIRQL old = thread->Irql;
    if (old > DISPATCH_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "spin lock acquired above DISPATCH_LEVEL", Caller, old,
                   reinterpret_cast<ULONG_PTR>(SpinLock));
    }
    thread->Irql = DISPATCH_LEVEL;
    KipAcquireSpinLock(SpinLock, thread, Caller, Tracked);
    return old;
}

void KipReleaseAndLower(PKSPIN_LOCK SpinLock, KIRQL NewIrql, const void* Caller, bool Tracked) {
    PKTHREAD thread = KiCurrentThread(Caller);
    KiCheckNoWaitNext(thread, Caller);
    KipReleaseSpinLock(SpinLock, thread, Caller, Tracked);
    if (NewIrql > thread->Irql) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "spin lock released to an IRQL above the current one",
                   Caller, thread->Irql, NewIrql);
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

} // namespace

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    return KipRaiseAndAcquire(SpinLock, VF_CALLER(), true);
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KipReleaseAndLower(SpinLock, NewIrql, VF_CALLER(), true);
}

KIRQL KiAcquireObjectSpinLock(PKSPIN_LOCK SpinLock) {
    return KipRaiseAndAcquire(SpinLock, VF_CALLER(), false);
}

void KiReleaseObjectSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KipReleaseAndLower(SpinLock, NewIrql, VF_CALLER(), false);
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
