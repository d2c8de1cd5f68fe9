// ex/interlocked.cpp - lists and counters guarded by a spin lock that only
// these routines take, at any IRQL.
//
// The platform takes the lock with interrupts disabled and leaves the IRQL
// alone; here nothing interrupts a thread, so the lock word is simply spun
// on. It holds the owning thread, as a spin lock's word does, so that a
// thread that takes it twice is caught.
#include "ntddk.h"
#include "nt/interlocked.h"
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/lock_order.h"

#include <atomic>
#include <thread>

namespace {

// Holds Lock for the lifetime of the guard.
class ExpInterlockedGuard {
  public:
    ExpInterlockedGuard(PKSPIN_LOCK Lock, const void* Caller)
        : Lock_(*Lock), Address_(Lock), Caller_(Caller) {
        PKTHREAD thread = KiCurrentThreadOrNull();
        Thread_ = thread;
        // A host thread without a kernel thread record still needs an owner
        // value that is not 0.
        Self_ = thread != nullptr ? reinterpret_cast<ULONG_PTR>(thread) : 1;
        if (thread != nullptr && Lock_.load(std::memory_order_relaxed) == Self_) {
            VfBugCheck(SPIN_LOCK_ALREADY_OWNED,
                       "interlocked list lock taken again by the thread that holds it", Caller,
                       reinterpret_cast<ULONG_PTR>(Lock));
        }
        if (thread != nullptr) {
            VfLockAcquire(thread, Lock, VfLockKind::SpinLock, Caller);
        }
        for (unsigned spins = 0;; ++spins) {
            ULONG_PTR expected = 0;
            if (Lock_.compare_exchange_weak(expected, Self_, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return;
            }
            if (spins > 64) {
                std::this_thread::yield();
            }
        }
    }
    ~ExpInterlockedGuard() {
        if (Thread_ != nullptr) {
            VfLockReleased(Thread_, Address_, Caller_);
        }
        Lock_.store(0, std::memory_order_release);
    }
    ExpInterlockedGuard(const ExpInterlockedGuard&) = delete;
    ExpInterlockedGuard& operator=(const ExpInterlockedGuard&) = delete;

  private:
    std::atomic_ref<ULONG_PTR> Lock_;
    PKSPIN_LOCK Address_;
    const void* Caller_;
    PKTHREAD Thread_; // NULL for a host thread the kernel does not know: not tracked
    ULONG_PTR Self_;
};

} // namespace

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
    ExpInterlockedGuard guard(Lock, VF_CALLER());
    PLIST_ENTRY first = ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    return first == ListHead ? nullptr : first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
    ExpInterlockedGuard guard(Lock, VF_CALLER());
    PLIST_ENTRY last = ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    return last == ListHead ? nullptr : last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    ExpInterlockedGuard guard(Lock, VF_CALLER());
    if (IsListEmpty(ListHead)) {
        return nullptr;
    }
    return RemoveHeadList(ListHead);
}

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                              PSINGLE_LIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    ExpInterlockedGuard guard(Lock, VF_CALLER());
    PSINGLE_LIST_ENTRY top = ListHead->Next;
    PushEntryList(ListHead, ListEntry);
    return top;
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    ExpInterlockedGuard guard(Lock, VF_CALLER());
    return PopEntryList(ListHead);
}

ULONG ExInterlockedAddUlong(PULONG Addend, ULONG Increment, PKSPIN_LOCK Lock) {
    ExpInterlockedGuard guard(Lock, VF_CALLER());
    const ULONG former = *Addend;
    *Addend = former + Increment;
    return former;
}

LARGE_INTEGER ExInterlockedAddLargeInteger(PLARGE_INTEGER Addend, LARGE_INTEGER Increment,
                                           PKSPIN_LOCK Lock) {
    ExpInterlockedGuard guard(Lock, VF_CALLER());
    const LARGE_INTEGER former = *Addend;
    Addend->QuadPart = static_cast<LONGLONG>(static_cast<ULONGLONG>(former.QuadPart) +
                                             static_cast<ULONGLONG>(Increment.QuadPart));
    return former;
}
