// mm/view.cpp - views of sections: mapping the stream's shared pages into a
// process with the platform's rounding, writing their changed pages back,
// unmapping them.
//
// Kernel mode, PASSIVE_LEVEL. The list of mapped views is guarded by
// MmpViewLock, never held across I/O; each view's write-back by its own
// FlushLock.
#include "ntos/mm/section.h"
#include "ntos/mm/user_memory.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

#include <sys/mman.h>

namespace {

// Views start at multiples of the allocation granularity of the section.
constexpr ULONGLONG MmpViewGranularity = 0x10000;

std::mutex MmpViewLock;
std::vector<MMP_VIEW_REF> MmpViews; // every mapped view; MmpViewLock

NTSTATUS MmpReferenceProcess(HANDLE ProcessHandle, PEPROCESS* Process) {
    if (ProcessHandle == NtCurrentProcess()) {
        *Process = PsGetCurrentProcess();
        ObReferenceObject(*Process);
        return STATUS_SUCCESS;
    }
    PVOID object;
    NTSTATUS status =
        ObReferenceObjectByHandle(ProcessHandle, 0, *PsProcessType, KernelMode, &object, nullptr);
    if (NT_SUCCESS(status)) {
        *Process = static_cast<PEPROCESS>(object);
    }
    return status;
}

// Maps the view's range of the stream's pages at Base (MAP_FIXED over a
// reservation the caller owns) or anywhere 64 KiB-aligned (Base NULL).
PUCHAR MmpMapMemory(MMP_VIEW* View, PUCHAR Base) {
    const int protection = View->Writable ? PROT_READ | PROT_WRITE : PROT_READ;
    const int memory = View->Section->Pages->Memory;
    if (Base != nullptr) {
        void* mapped = mmap(Base, View->Size, protection, MAP_SHARED | MAP_FIXED, memory,
                            static_cast<off_t>(View->Offset));
        return mapped == MAP_FAILED ? nullptr : static_cast<PUCHAR>(mapped);
    }
    // Reserve enough to find an aligned start, then map the pages there.
    const SIZE_T reserved = View->Size + MmpViewGranularity;
    void* area = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                      -1, 0);
    if (area == MAP_FAILED) {
        return nullptr;
    }
    const auto low = reinterpret_cast<ULONG_PTR>(area);
    const ULONG_PTR aligned = (low + MmpViewGranularity - 1) & ~(MmpViewGranularity - 1);
    if (aligned != low) {
        munmap(area, aligned - low);
    }
    const ULONG_PTR tail = aligned + View->Size;
    if (tail != low + reserved) {
        munmap(reinterpret_cast<void*>(tail), low + reserved - tail);
    }
    void* mapped = mmap(reinterpret_cast<void*>(aligned), View->Size, protection,
                        MAP_SHARED | MAP_FIXED, memory, static_cast<off_t>(View->Offset));
    if (mapped == MAP_FAILED) {
        munmap(reinterpret_cast<void*>(aligned), View->Size);
        return nullptr;
    }
    return static_cast<PUCHAR>(mapped);
}

// Places the view: in the process's user arena when it has one, else in
// host memory aligned as the platform aligns views.
NTSTATUS MmpAllocateViewMemory(MMP_VIEW* View) {
    View->UserMemory = MmpHasUserAddressSpace(View->Process);
    if (!View->UserMemory) {
        View->Base = MmpMapMemory(View, nullptr);
        return View->Base != nullptr ? STATUS_SUCCESS : STATUS_NO_MEMORY;
    }
    PVOID base = nullptr;
    SIZE_T size = View->Size;
    NTSTATUS status =
        MmpAllocateUserMemory(View->Process, &base, &size, MEM_RESERVE | MEM_COMMIT,
                              View->Writable ? PAGE_READWRITE : PAGE_READONLY);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    View->Base = MmpMapMemory(View, static_cast<PUCHAR>(base));
    if (View->Base == nullptr) {
        SIZE_T none = 0;
        MmpFreeUserMemory(View->Process, &base, &none, MEM_RELEASE);
        return STATUS_NO_MEMORY;
    }
    return STATUS_SUCCESS;
}

VOID MmpFreeViewMemory(MMP_VIEW* View) {
    if (!View->UserMemory) {
        munmap(View->Base, View->Size);
        return;
    }
    // The arena gets private memory back before the range is released, so a
    // later allocation there never sees the stream's pages.
    mmap(View->Base, View->Size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED,
         -1, 0);
    PVOID base = View->Base;
    SIZE_T size = 0;
    MmpFreeUserMemory(View->Process, &base, &size, MEM_RELEASE);
}

} // namespace

VOID MmpFlushView(MMP_VIEW* View) {
    std::lock_guard<std::mutex> guard(View->FlushLock);
    if (!View->Mapped || !View->Writable) {
        return;
    }
    // Failed pages stay changed; a later pass writes them.
    MmpFlushPages(View->Section->Pages, View->Offset, View->Size, true, false);
}

std::vector<MMP_VIEW_REF> MmpMappedViews() {
    std::lock_guard<std::mutex> guard(MmpViewLock);
    return MmpViews;
}

NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress,
                            ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                            PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition,
                            ULONG AllocationType, ULONG Win32Protect) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwMapViewOfSection", VF_CALLER());
    UNREFERENCED_PARAMETER(CommitSize); // a file-backed view is committed whole
    // Views at a caller's chosen address and allocation flags are not emulated.
    if (*BaseAddress != nullptr || ZeroBits != 0 || AllocationType != 0) {
        return STATUS_NOT_IMPLEMENTED;
    }
    if (InheritDisposition != ViewShare && InheritDisposition != ViewUnmap) {
        return STATUS_INVALID_PARAMETER_8;
    }
    if (Win32Protect != PAGE_READONLY && Win32Protect != PAGE_READWRITE) {
        return STATUS_INVALID_PAGE_PROTECTION;
    }
    const bool writable = Win32Protect == PAGE_READWRITE;
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(
        SectionHandle, SECTION_MAP_READ | (writable ? SECTION_MAP_WRITE : 0), *MmSectionObjectType,
        KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto section = static_cast<MMP_SECTION*>(object);
    const LONGLONG requested = SectionOffset != nullptr ? SectionOffset->QuadPart : 0;
    const ULONGLONG offset = static_cast<ULONGLONG>(requested) & ~(MmpViewGranularity - 1);
    ULONGLONG size = *ViewSize;
    if (writable && section->Protection != PAGE_READWRITE) {
        status = STATUS_SECTION_PROTECTION;
    } else if (requested < 0 || offset >= section->MaximumSize) {
        status = STATUS_INVALID_VIEW_SIZE;
    } else if (size == 0) {
        size = section->MaximumSize - offset;
    } else {
        size += static_cast<ULONGLONG>(requested) - offset;
        if (offset + size > section->MaximumSize) {
            status = STATUS_INVALID_VIEW_SIZE;
        }
    }
    size = (size + PAGE_SIZE - 1) & ~static_cast<ULONGLONG>(PAGE_SIZE - 1);
    PEPROCESS process = nullptr;
    if (NT_SUCCESS(status)) {
        status = MmpReferenceProcess(ProcessHandle, &process);
    }
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(section);
        return status;
    }

    auto view = std::make_shared<MMP_VIEW>();
    view->Section = section;
    view->Process = process;
    view->Size = static_cast<SIZE_T>(size);
    view->Offset = offset;
    view->Writable = writable;
    view->Mapped = true;
    status = MmpMapPages(section->Pages, offset, view->Size, writable);
    if (NT_SUCCESS(status)) {
        status = MmpAllocateViewMemory(view.get());
        if (!NT_SUCCESS(status)) {
            MmpUnmapPages(section->Pages, offset, view->Size, writable);
        }
    }
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(process);
        ObDereferenceObject(section);
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(MmpViewLock);
        MmpViews.push_back(view);
    }
    MmpWriterViewMapped();
    *BaseAddress = view->Base;
    *ViewSize = view->Size;
    if (SectionOffset != nullptr) {
        SectionOffset->QuadPart = static_cast<LONGLONG>(offset);
    }
    return STATUS_SUCCESS;
}

NTSTATUS MmUnmapViewOfSection(PEPROCESS Process, PVOID BaseAddress) {
    MMP_VIEW_REF view;
    {
        std::lock_guard<std::mutex> guard(MmpViewLock);
        auto address = static_cast<PUCHAR>(BaseAddress);
        for (auto it = MmpViews.begin(); it != MmpViews.end(); ++it) {
            if ((*it)->Process == Process && address >= (*it)->Base &&
                address < (*it)->Base + (*it)->Size) {
                view = *it;
                MmpViews.erase(it);
                break;
            }
        }
    }
    if (view == nullptr) {
        return STATUS_NOT_MAPPED_VIEW;
    }
    MmpFlushView(view.get());
    {
        std::lock_guard<std::mutex> guard(view->FlushLock);
        view->Mapped = false;
        MmpFreeViewMemory(view.get());
    }
    MmpUnmapPages(view->Section->Pages, view->Offset, view->Size, view->Writable);
    ObDereferenceObject(view->Process);
    ObDereferenceObject(view->Section);
    MmpWriterViewUnmapped();
    return STATUS_SUCCESS;
}

NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwUnmapViewOfSection", VF_CALLER());
    PEPROCESS process;
    NTSTATUS status = MmpReferenceProcess(ProcessHandle, &process);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = MmUnmapViewOfSection(process, BaseAddress);
    ObDereferenceObject(process);
    return status;
}
