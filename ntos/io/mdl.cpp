// io/mdl.cpp - memory descriptor lists: allocation, partial MDLs, locking and
// system mappings.
//
// Kernel mode. The emulated machine has one address space for kernel code,
// so a locked buffer's system address is the buffer's own address; the
// routines keep the platform's state rules (lock before map, unlock before
// free) and bug-check when a driver breaks them. User-mode probing and
// user-mode mappings are not emulated and bug-check with a message saying so.
#include "ntos/io/iop.h"
#include "ntos/verifier/bugcheck.h"

namespace {

void IopInitializeMdl(PMDL Mdl, PVOID Base, SIZE_T Length, CSHORT Size, CSHORT Flags) {
    Mdl->Next = nullptr;
    Mdl->Size = Size;
    Mdl->MdlFlags = Flags;
    Mdl->Process = nullptr;
    Mdl->MappedSystemVa = nullptr;
    Mdl->StartVa = PAGE_ALIGN(Base);
    Mdl->ByteOffset = BYTE_OFFSET(Base);
    Mdl->ByteCount = static_cast<ULONG>(Length);
}

PVOID IopMdlAddress(PMDL Mdl) {
    return MmGetMdlVirtualAddress(Mdl);
}

} // namespace

SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length) {
    return sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length) * sizeof(PFN_NUMBER);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
    if (size > 0x7fff) {
        return nullptr;
    }
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, size, IOP_TAG_MDL));
    if (mdl == nullptr) {
        return nullptr;
    }
    IopInitializeMdl(mdl, VirtualAddress, Length, static_cast<CSHORT>(size),
                     MDL_ALLOCATED_FIXED_SIZE);
    if (Irp != nullptr) {
        if (SecondaryBuffer) {
            PMDL* link = &Irp->MdlAddress;
            while (*link != nullptr) {
                link = &(*link)->Next;
            }
            *link = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        VfBugCheck(DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS, "MDL freed with its pages still locked",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(Mdl));
    }
    ExFreePoolWithTag(Mdl, IOP_TAG_MDL);
}

VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    auto sourceStart = static_cast<PUCHAR>(IopMdlAddress(SourceMdl));
    auto start = static_cast<PUCHAR>(VirtualAddress);
    if (start < sourceStart || start > sourceStart + SourceMdl->ByteCount) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "IoBuildPartialMdl address outside the source MDL", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(SourceMdl), reinterpret_cast<ULONG_PTR>(start));
    }
    ULONG offset = static_cast<ULONG>(start - sourceStart);
    if (Length == 0) {
        Length = SourceMdl->ByteCount - offset;
    }
    if (Length > SourceMdl->ByteCount - offset ||
        static_cast<SIZE_T>(TargetMdl->Size) < MmSizeOfMdl(VirtualAddress, Length)) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "IoBuildPartialMdl range beyond the source MDL or the target's size",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(SourceMdl), offset, Length);
    }
    CSHORT kept = TargetMdl->MdlFlags & (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED);
    CSHORT inherited = SourceMdl->MdlFlags &
                       (MDL_IO_PAGE_READ | MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA);
    IopInitializeMdl(TargetMdl, VirtualAddress, Length, TargetMdl->Size,
                     static_cast<CSHORT>(kept | inherited | MDL_PARTIAL));
    TargetMdl->Process = SourceMdl->Process;
    if (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        TargetMdl->MappedSystemVa = static_cast<PUCHAR>(SourceMdl->MappedSystemVa) + offset;
    }
    if (SourceMdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        TargetMdl->MdlFlags |= MDL_PARENT_MAPPED_SYSTEM_VA;
    }
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = IopMdlAddress(MemoryDescriptorList);
    MemoryDescriptorList->Process = nullptr;
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                         LOCK_OPERATION Operation) {
    if (AccessMode != KernelMode) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "MmProbeAndLockPages for a user-mode buffer is not emulated", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(MemoryDescriptorList));
    }
    if (MemoryDescriptorList->MdlFlags &
        (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "MmProbeAndLockPages on an MDL that is locked, nonpaged or partial", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(MemoryDescriptorList));
    }
    if (KeGetCurrentIrql() > APC_LEVEL) {
        VfBugCheck(DRIVER_IRQL_NOT_LESS_OR_EQUAL, "MmProbeAndLockPages above APC_LEVEL",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(MemoryDescriptorList),
                   KeGetCurrentIrql());
    }
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) {
        MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
    }
    MemoryDescriptorList->Process = nullptr;
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "MmUnlockPages on pages not locked",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(MemoryDescriptorList));
    }
    MemoryDescriptorList->MdlFlags &=
        ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                   ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    if (AccessMode != KernelMode || BaseAddress != nullptr) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "mapping an MDL into user space is not emulated", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(MemoryDescriptorList));
    }
    CSHORT flags = MemoryDescriptorList->MdlFlags;
    if (!(flags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL))) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "MDL mapped before its pages were locked",
                   VF_CALLER(), reinterpret_cast<ULONG_PTR>(MemoryDescriptorList));
    }
    if (flags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return MemoryDescriptorList->MappedSystemVa;
    }
    MemoryDescriptorList->MappedSystemVa = IopMdlAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |=
        (flags & MDL_PARTIAL) ? MDL_PARTIAL_HAS_BEEN_MAPPED : MDL_MAPPED_TO_SYSTEM_VA;
    if (flags & MDL_PARTIAL) {
        MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return MemoryDescriptorList->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) ||
        BaseAddress != MemoryDescriptorList->MappedSystemVa) {
        VfBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "MmUnmapLockedPages on an address the MDL is not mapped at", VF_CALLER(),
                   reinterpret_cast<ULONG_PTR>(MemoryDescriptorList),
                   reinterpret_cast<ULONG_PTR>(BaseAddress));
    }
    MemoryDescriptorList->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, MM_PAGE_PRIORITY Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return Mdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE, Priority);
}
