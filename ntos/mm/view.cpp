// mm/view.cpp - views of sections: mapping them into a process with the
// platform's rounding, writing their changed pages back, unmapping them.
//
// Kernel mode, PASSIVE_LEVEL. The list of mapped views is guarded by
// MmpViewLock, never held across I/O; each view's write-back by its own
// FlushLock.
#include "ntos/mm/section.h"
#include "ntos/mm/user_memory.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

#include <cstdlib>
#include <cstring>

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

// Memory for a view of Size bytes: in the process's user arena when it has
// one, else host memory aligned as the platform aligns views.
PUCHAR MmpAllocateViewMemory(PEPROCESS Process, SIZE_T Size, bool* UserMemory) {
    *UserMemory = MmpHasUserAddressSpace(Process);
    if (*UserMemory) {
        PVOID base = nullptr;
        SIZE_T size = Size;
        if (!NT_SUCCESS(MmpAllocateUserMemory(Process, &base, &size, MEM_RESERVE | MEM_COMMIT,
                                              PAGE_READWRITE))) {
            return nullptr;
        }
        return static_cast<PUCHAR>(base);
    }
    const SIZE_T rounded = (Size + MmpViewGranularity - 1) & ~(MmpViewGranularity - 1);
    return static_cast<PUCHAR>(std::aligned_alloc(MmpViewGranularity, rounded));
}

VOID MmpFreeViewMemory(MMP_VIEW* View) {
    if (View->UserMemory) {
        PVOID base = View->Base;
        SIZE_T size = 0;
        MmpFreeUserMemory(View->Process, &base, &size, MEM_RELEASE);
    } else {
        std::free(View->Base);
    }
}

// Fills a new view from its file with paging reads; bytes past the end of
// the file are zero.
NTSTATUS MmpFillView(MMP_VIEW* View) {
    ULONGLONG fileSize = 0;
    NTSTATUS status = MmpQueryFileSize(View->Section->FileObject, &fileSize);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::memset(View->Base, 0, View->Size);
    if (fileSize > View->Offset) {
        ULONGLONG bytes = fileSize - View->Offset;
        if (bytes > View->Size) {
            bytes = View->Size;
        }
        ULONG_PTR read = 0;
        status = MmpPagingIo(View->Section->FileObject, false, View->Base,
                             static_cast<ULONG>(bytes), View->Offset, &read);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    View->Shadow.assign(View->Base, View->Base + View->Size);
    return STATUS_SUCCESS;
}

} // namespace

VOID MmpFlushView(MMP_VIEW* View) {
    std::lock_guard<std::mutex> guard(View->FlushLock);
    if (!View->Mapped || !View->Writable) {
        return;
    }
    SIZE_T page = 0;
    while (page < View->Size) {
        if (std::memcmp(View->Base + page, View->Shadow.data() + page, PAGE_SIZE) == 0) {
            page += PAGE_SIZE;
            continue;
        }
        // A run of changed pages goes back as one paging write, from a copy
        // so that what the file receives is what the shadow records.
        SIZE_T end = page + PAGE_SIZE;
        while (end < View->Size &&
               std::memcmp(View->Base + end, View->Shadow.data() + end, PAGE_SIZE) != 0) {
            end += PAGE_SIZE;
        }
        const auto length = static_cast<ULONG>(end - page);
        auto copy =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, MMP_TAG_PAGING));
        if (copy == nullptr) {
            return; // the pages stay changed; a later pass writes them
        }
        std::memcpy(copy, View->Base + page, length);
        ULONG_PTR written = 0;
        NTSTATUS status = MmpPagingIo(View->Section->FileObject, true, copy, length,
                                      View->Offset + page, &written);
        if (NT_SUCCESS(status)) {
            std::memcpy(View->Shadow.data() + page, copy, length);
        }
        ExFreePoolWithTag(copy, MMP_TAG_PAGING);
        page = end;
    }
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
    view->Base = MmpAllocateViewMemory(process, view->Size, &view->UserMemory);
    status = view->Base != nullptr ? MmpFillView(view.get()) : STATUS_NO_MEMORY;
    if (!NT_SUCCESS(status)) {
        if (view->Base != nullptr) {
            MmpFreeViewMemory(view.get());
        }
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
