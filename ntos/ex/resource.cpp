// ex/resource.cpp - executive resources: shared/exclusive locks with
// per-thread recursion, release on behalf of another thread, and conversion
// from exclusive to shared.
//
// Kernel mode. Acquisition at IRQL <= APC_LEVEL with normal kernel APCs
// disabled; release and queries at IRQL <= DISPATCH_LEVEL. Blocked acquirers
// wait on the resource's kernel semaphore (shared) or synchronization event
// (exclusive), so their waits are ordinary kernel waits.
//
// Grant order: a thread releasing its exclusive hold lets every shared waiter
// in, else one exclusive waiter; the last shared owner to leave lets one
// exclusive waiter in. New shared requests queue behind exclusive waiters
// unless the requester already holds the resource.
#include "ntos/ex/exp.h"
#include "ntos/ke/ki.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/lock_order.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace {

// Owner recorded for an exclusive grant until the woken waiter claims it.
constexpr ERESOURCE_THREAD kGrantedToWaiter = 1;

// DRIVER_VERIFIER_DETECTED_VIOLATION first parameters of resource rules.
constexpr ULONG_PTR kApcsEnabled = 0x3A;
constexpr ULONG_PTR kDeletedWhileInUse = 0x3B;
constexpr ULONG_PTR kNotInitialised = 0x3C;
constexpr ULONG_PTR kSharedToExclusive = 0x3D;
constexpr ULONG_PTR kInitialisedTwice = 0x3E;
constexpr ULONG_PTR kFreedWhileInitialised = 0x3F;

// Every initialised resource, so that freeing pool that still holds one, or
// initialising one twice, is caught.
struct ExpResourceRegistry {
    std::mutex Lock;
    std::map<ULONG_PTR, const void*> Live; // resource address -> who initialised it; Lock
};

ExpResourceRegistry& Registry() {
    static ExpResourceRegistry* registry = new ExpResourceRegistry; // never destroyed
    return *registry;
}

ERESOURCE_THREAD CurrentThread() {
    return reinterpret_cast<ERESOURCE_THREAD>(KeGetCurrentThread());
}

void CheckInitialised(PERESOURCE Resource, const void* Caller) {
    if (Resource->Signature != RESOURCE_SIGNATURE) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "resource used without ExInitializeResourceLite or after ExDeleteResourceLite",
                   Caller, kNotInitialised, reinterpret_cast<ULONG_PTR>(Resource));
    }
}

void CheckAcquireContext(PERESOURCE Resource, const void* Caller) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "resource acquired above APC_LEVEL", Caller,
                   reinterpret_cast<ULONG_PTR>(Resource), irql);
    }
    if (irql < APC_LEVEL && !KeAreApcsDisabled()) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "resource acquired outside a critical region", Caller, kApcsEnabled,
                   reinterpret_cast<ULONG_PTR>(Resource));
    }
    CheckInitialised(Resource, Caller);
}

void CheckReleaseContext(PERESOURCE Resource, const void* Caller) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "resource released above DISPATCH_LEVEL", Caller,
                   reinterpret_cast<ULONG_PTR>(Resource), irql);
    }
    CheckInitialised(Resource, Caller);
}

// The shared entry of Thread, or NULL. Spin lock held.
POWNER_ENTRY FindSharedLocked(PERESOURCE Resource, ERESOURCE_THREAD Thread) {
    for (ULONG i = 0; i < Resource->OwnerTableSize; ++i) {
        if (Resource->OwnerTable[i].OwnerThread == Thread) {
            return &Resource->OwnerTable[i];
        }
    }
    return nullptr;
}

// The shared entry of Thread, created empty when missing. Spin lock held.
POWNER_ENTRY GetSharedLocked(PERESOURCE Resource, ERESOURCE_THREAD Thread) {
    POWNER_ENTRY entry = FindSharedLocked(Resource, Thread);
    if (entry != nullptr) {
        return entry;
    }
    for (ULONG i = 0; i < Resource->OwnerTableSize; ++i) {
        if (Resource->OwnerTable[i].OwnerThread == 0) {
            entry = &Resource->OwnerTable[i];
            break;
        }
    }
    if (entry == nullptr) {
        ULONG oldSize = Resource->OwnerTableSize;
        ULONG newSize = oldSize == 0 ? 4 : oldSize * 2;
        auto* table = static_cast<POWNER_ENTRY>(
            std::realloc(Resource->OwnerTable, newSize * sizeof(OWNER_ENTRY)));
        if (table == nullptr) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "host memory exhausted growing a resource's owner table", VF_CALLER());
        }
        std::memset(table + oldSize, 0, (newSize - oldSize) * sizeof(OWNER_ENTRY));
        Resource->OwnerTable = table;
        Resource->OwnerTableSize = newSize;
        entry = &table[oldSize];
    }
    *entry = OWNER_ENTRY{Thread, 0, 0};
    return entry;
}

void FreeEntryIfUnusedLocked(POWNER_ENTRY Entry) {
    if (Entry->OwnerCount == 0 && Entry->SharedWaits == 0) {
        Entry->OwnerThread = 0;
    }
}

// Grants the resource to every shared waiter. Spin lock held, resource not
// held exclusively.
void GrantSharedWaitersLocked(PERESOURCE Resource) {
    if (Resource->NumberOfSharedWaiters == 0) {
        return;
    }
    for (ULONG i = 0; i < Resource->OwnerTableSize; ++i) {
        OWNER_ENTRY& e = Resource->OwnerTable[i];
        if (e.SharedWaits != 0) {
            if (e.OwnerCount == 0) {
                ++Resource->ActiveCount;
            }
            e.OwnerCount += e.SharedWaits;
            e.SharedWaits = 0;
        }
    }
    LONG waiters = static_cast<LONG>(Resource->NumberOfSharedWaiters);
    Resource->NumberOfSharedWaiters = 0;
    KeReleaseSemaphore(&Resource->SharedWaiters, 0, waiters, FALSE);
}

// Grants the resource exclusively to one exclusive waiter. Spin lock held,
// resource free.
void GrantExclusiveWaiterLocked(PERESOURCE Resource) {
    Resource->Flag |= ResourceOwnedExclusive;
    Resource->ActiveCount = 1;
    Resource->ExclusiveOwner = OWNER_ENTRY{kGrantedToWaiter, 1, 0};
    --Resource->NumberOfExclusiveWaiters;
    KeSetEvent(&Resource->ExclusiveWaiters, 0, FALSE);
}

// Hands a resource that has just become free to its waiters. Spin lock held.
void GrantAfterReleaseLocked(PERESOURCE Resource, bool WasExclusive) {
    if (WasExclusive && Resource->NumberOfSharedWaiters != 0) {
        GrantSharedWaitersLocked(Resource);
    } else if (Resource->NumberOfExclusiveWaiters != 0) {
        GrantExclusiveWaiterLocked(Resource);
    } else {
        GrantSharedWaitersLocked(Resource);
    }
}

void WaitForGrant(PVOID Object) {
    NTSTATUS status = KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, nullptr);
    if (status != STATUS_SUCCESS) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "wait for a resource ended without the grant", VF_CALLER(),
                   static_cast<ULONG_PTR>(status));
    }
}

// The three shared acquisitions differ only in when an exclusive waiter makes
// a new shared request wait.
enum class SharedPolicy {
    Normal,          // wait behind exclusive waiters unless already a holder
    StarveExclusive, // never wait behind exclusive waiters
    WaitForExclusive // wait behind exclusive waiters even as a holder
};

BOOLEAN AcquireSharedChecked(PERESOURCE Resource, BOOLEAN Wait, SharedPolicy Policy,
                             const void* Caller) {
    ERESOURCE_THREAD self = CurrentThread();
    KIRQL oldIrql;
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    if (Resource->Flag & ResourceOwnedExclusive) {
        if (Resource->ExclusiveOwner.OwnerThread == self) {
            ++Resource->ExclusiveOwner.OwnerCount;
            KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
            return TRUE;
        }
    } else {
        POWNER_ENTRY entry = FindSharedLocked(Resource, self);
        bool holder = entry != nullptr && entry->OwnerCount != 0;
        bool mayPass = Resource->NumberOfExclusiveWaiters == 0 ||
                       Policy == SharedPolicy::StarveExclusive ||
                       (Policy == SharedPolicy::Normal && holder);
        if (mayPass) {
            entry = GetSharedLocked(Resource, self);
            if (entry->OwnerCount++ == 0) {
                ++Resource->ActiveCount;
            }
            KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
            return TRUE;
        }
    }
    if (!Wait) {
        KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
        return FALSE;
    }
    ++GetSharedLocked(Resource, self)->SharedWaits;
    ++Resource->NumberOfSharedWaiters;
    ++Resource->ContentionCount;
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
    // The releaser records each grant in its waiter's entry (SharedWaits back
    // to 0) before it releases the semaphore once per grant. A permit is not
    // tied to a thread: a waiter that queued later may take the permit of one
    // that has not reached its wait yet. Such a waiter hands the permit on and
    // waits again, so that only granted threads go on.
    for (;;) {
        WaitForGrant(&Resource->SharedWaiters);
        oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
        POWNER_ENTRY entry = FindSharedLocked(Resource, self);
        bool granted = entry != nullptr && entry->SharedWaits == 0;
        KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
        if (granted) {
            return TRUE;
        }
        KeReleaseSemaphore(&Resource->SharedWaiters, 0, 1, FALSE);
    }
}

// Records the hold of a resource acquired by the current thread; an
// acquisition that may wait is first checked against the lock order.
template <typename Acquire>
BOOLEAN AcquireRecorded(PERESOURCE Resource, BOOLEAN Wait, const void* Caller, Acquire Take) {
    CheckAcquireContext(Resource, Caller);
    PKTHREAD thread = KeGetCurrentThread();
    if (Wait) {
        VfLockOrderCheck(thread, Resource, VfLockKind::Resource, Caller);
    }
    if (!Take()) {
        return FALSE;
    }
    VfLockHeld(thread, Resource, VfLockKind::Resource, Caller);
    return TRUE;
}

BOOLEAN AcquireShared(PERESOURCE Resource, BOOLEAN Wait, SharedPolicy Policy, const void* Caller) {
    return AcquireRecorded(Resource, Wait, Caller, [&] {
        return AcquireSharedChecked(Resource, Wait, Policy, Caller);
    });
}

// Releases one hold of Thread. Checks are the caller's.
void ReleaseForThread(PERESOURCE Resource, ERESOURCE_THREAD Thread, const void* Caller) {
    VfLockReleased(reinterpret_cast<PKTHREAD>(Thread), Resource, Caller);
    KIRQL oldIrql;
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    if (Resource->Flag & ResourceOwnedExclusive) {
        if (Resource->ExclusiveOwner.OwnerThread != Thread) {
            VfBugCheck(RESOURCE_NOT_OWNED, "resource released by a thread that does not own it",
                       Caller, reinterpret_cast<ULONG_PTR>(Resource), Thread,
                       Resource->ExclusiveOwner.OwnerThread);
        }
        if (--Resource->ExclusiveOwner.OwnerCount == 0) {
            Resource->ExclusiveOwner = OWNER_ENTRY{0, 0, 0};
            Resource->Flag &= ~ResourceOwnedExclusive;
            Resource->ActiveCount = 0;
            GrantAfterReleaseLocked(Resource, true);
        }
    } else {
        POWNER_ENTRY entry = FindSharedLocked(Resource, Thread);
        if (entry == nullptr || entry->OwnerCount == 0) {
            VfBugCheck(RESOURCE_NOT_OWNED, "resource released by a thread that does not own it",
                       Caller, reinterpret_cast<ULONG_PTR>(Resource), Thread, 0);
        }
        if (--entry->OwnerCount == 0) {
            FreeEntryIfUnusedLocked(entry);
            if (--Resource->ActiveCount == 0) {
                GrantAfterReleaseLocked(Resource, false);
            }
        }
    }
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
}

} // namespace

void ExpCheckNoResourceIn(const void* Start, SIZE_T Size, const void* Caller) {
    ExpResourceRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    auto begin = reinterpret_cast<ULONG_PTR>(Start);
    auto it = registry.Live.lower_bound(begin);
    if (it != registry.Live.end() && it->first < begin + Size) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "pool freed while it holds a resource that was not deleted", Caller,
                   kFreedWhileInitialised, it->first, begin, Size);
    }
}

void ExpForgetResourcesIn(const void* Start, SIZE_T Size) {
    ExpResourceRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    auto begin = reinterpret_cast<ULONG_PTR>(Start);
    registry.Live.erase(registry.Live.lower_bound(begin), registry.Live.lower_bound(begin + Size));
}

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource) {
    const void* caller = VF_CALLER();
    {
        ExpResourceRegistry& registry = Registry();
        std::lock_guard<std::mutex> guard(registry.Lock);
        auto [it, inserted] =
            registry.Live.try_emplace(reinterpret_cast<ULONG_PTR>(Resource), caller);
        if (!inserted) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "resource initialised again without ExDeleteResourceLite", caller,
                       kInitialisedTwice, reinterpret_cast<ULONG_PTR>(Resource));
        }
    }
    VfLockInitialized(Resource);
    std::memset(Resource, 0, sizeof *Resource);
    KeInitializeSpinLock(&Resource->SpinLock);
    KeInitializeSemaphore(&Resource->SharedWaiters, 0, MAXLONG);
    KeInitializeEvent(&Resource->ExclusiveWaiters, SynchronizationEvent, FALSE);
    Resource->Signature = RESOURCE_SIGNATURE;
    return STATUS_SUCCESS;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE Resource) {
    const void* caller = VF_CALLER();
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "resource deleted above APC_LEVEL", caller,
                   reinterpret_cast<ULONG_PTR>(Resource), irql);
    }
    CheckInitialised(Resource, caller);
    KIRQL oldIrql;
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    if (Resource->ActiveCount != 0 || Resource->NumberOfSharedWaiters != 0 ||
        Resource->NumberOfExclusiveWaiters != 0) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "resource deleted while it is held or waited for", caller, kDeletedWhileInUse,
                   reinterpret_cast<ULONG_PTR>(Resource), Resource->ActiveCount,
                   Resource->NumberOfSharedWaiters + Resource->NumberOfExclusiveWaiters);
    }
    Resource->Signature = 0;
    std::free(Resource->OwnerTable);
    Resource->OwnerTable = nullptr;
    Resource->OwnerTableSize = 0;
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
    VfLockInitialized(Resource);
    ExpResourceRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    registry.Live.erase(reinterpret_cast<ULONG_PTR>(Resource));
    return STATUS_SUCCESS;
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
    KiJitter();
    return AcquireShared(Resource, Wait, SharedPolicy::Normal, VF_CALLER());
}

BOOLEAN ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait) {
    return AcquireShared(Resource, Wait, SharedPolicy::StarveExclusive, VF_CALLER());
}

BOOLEAN ExAcquireSharedWaitForExclusive(PERESOURCE Resource, BOOLEAN Wait) {
    return AcquireShared(Resource, Wait, SharedPolicy::WaitForExclusive, VF_CALLER());
}

namespace {

BOOLEAN AcquireExclusiveChecked(PERESOURCE Resource, BOOLEAN Wait, const void* caller) {
    KiJitter();
    ERESOURCE_THREAD self = CurrentThread();
    KIRQL oldIrql;
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    if (Resource->ActiveCount == 0) {
        Resource->Flag |= ResourceOwnedExclusive;
        Resource->ActiveCount = 1;
        Resource->ExclusiveOwner = OWNER_ENTRY{self, 1, 0};
        KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
        return TRUE;
    }
    if ((Resource->Flag & ResourceOwnedExclusive) && Resource->ExclusiveOwner.OwnerThread == self) {
        ++Resource->ExclusiveOwner.OwnerCount;
        KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
        return TRUE;
    }
    if (!Wait) {
        KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
        return FALSE;
    }
    POWNER_ENTRY mine = FindSharedLocked(Resource, self);
    if (mine != nullptr && mine->OwnerCount != 0) {
        // It would wait for its own shared hold to go away.
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "resource acquired exclusively by a thread that holds it shared", caller,
                   kSharedToExclusive, reinterpret_cast<ULONG_PTR>(Resource));
    }
    ++Resource->NumberOfExclusiveWaiters;
    ++Resource->ContentionCount;
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
    WaitForGrant(&Resource->ExclusiveWaiters);
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    Resource->ExclusiveOwner.OwnerThread = self; // replaces kGrantedToWaiter
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
    return TRUE;
}

} // namespace

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
    const void* caller = VF_CALLER();
    return AcquireRecorded(Resource, Wait, caller,
                           [&] { return AcquireExclusiveChecked(Resource, Wait, caller); });
}

VOID ExReleaseResourceLite(PERESOURCE Resource) {
    const void* caller = VF_CALLER();
    CheckReleaseContext(Resource, caller);
    if (KeGetCurrentIrql() < APC_LEVEL && !KeAreApcsDisabled()) {
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                   "resource released outside a critical region", caller, kApcsEnabled,
                   reinterpret_cast<ULONG_PTR>(Resource));
    }
    ReleaseForThread(Resource, CurrentThread(), caller);
}

VOID ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId) {
    const void* caller = VF_CALLER();
    CheckReleaseContext(Resource, caller);
    ReleaseForThread(Resource, ResourceThreadId, caller);
}

VOID ExConvertExclusiveToSharedLite(PERESOURCE Resource) {
    const void* caller = VF_CALLER();
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        VfBugCheck(IRQL_NOT_LESS_OR_EQUAL, "resource converted above APC_LEVEL", caller,
                   reinterpret_cast<ULONG_PTR>(Resource), irql);
    }
    CheckInitialised(Resource, caller);
    ERESOURCE_THREAD self = CurrentThread();
    KIRQL oldIrql;
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    if (!(Resource->Flag & ResourceOwnedExclusive) ||
        Resource->ExclusiveOwner.OwnerThread != self) {
        VfBugCheck(RESOURCE_NOT_OWNED,
                   "resource converted to shared by a thread that does not own it exclusively",
                   caller, reinterpret_cast<ULONG_PTR>(Resource), self,
                   Resource->ExclusiveOwner.OwnerThread);
    }
    LONG count = Resource->ExclusiveOwner.OwnerCount;
    Resource->ExclusiveOwner = OWNER_ENTRY{0, 0, 0};
    Resource->Flag &= ~ResourceOwnedExclusive;
    GetSharedLocked(Resource, self)->OwnerCount = count;
    Resource->ActiveCount = 1;
    GrantSharedWaitersLocked(Resource);
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
}

ULONG ExGetExclusiveWaiterCount(PERESOURCE Resource) {
    CheckInitialised(Resource, VF_CALLER());
    KIRQL oldIrql;
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    ULONG count = Resource->NumberOfExclusiveWaiters;
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
    return count;
}

ULONG ExGetSharedWaiterCount(PERESOURCE Resource) {
    CheckInitialised(Resource, VF_CALLER());
    KIRQL oldIrql;
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    ULONG count = Resource->NumberOfSharedWaiters;
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
    return count;
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) {
    CheckInitialised(Resource, VF_CALLER());
    ERESOURCE_THREAD self = CurrentThread();
    KIRQL oldIrql;
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    BOOLEAN owned =
        (Resource->Flag & ResourceOwnedExclusive) && Resource->ExclusiveOwner.OwnerThread == self;
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
    return owned;
}

ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource) {
    CheckInitialised(Resource, VF_CALLER());
    ERESOURCE_THREAD self = CurrentThread();
    KIRQL oldIrql;
    oldIrql = KiAcquireObjectSpinLock(&Resource->SpinLock);
    ULONG count = 0;
    if (Resource->Flag & ResourceOwnedExclusive) {
        if (Resource->ExclusiveOwner.OwnerThread == self) {
            count = static_cast<ULONG>(Resource->ExclusiveOwner.OwnerCount);
        }
    } else if (POWNER_ENTRY entry = FindSharedLocked(Resource, self)) {
        count = static_cast<ULONG>(entry->OwnerCount);
    }
    KiReleaseObjectSpinLock(&Resource->SpinLock, oldIrql);
    return count;
}

ERESOURCE_THREAD ExGetCurrentResourceThread(VOID) {
    return CurrentThread();
}
