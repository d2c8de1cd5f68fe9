// mm/paging_file.cpp - the paging file: \pagefile.sys on a volume, held open
// by the memory manager, and the paging thread that writes pages out to it
// every MMP_PAGING_PERIOD of system time, as page-outs do.
//
// Kernel mode, PASSIVE_LEVEL. One paging file at a time.
#include "ntos/mm/paging_file.h"
#include "ntos/mm/section.h"

#include <cstring>
#include <mutex>
#include <string>

namespace {

// The running paging file. Every field is guarded by MmpPagingLock, except
// what the paging thread reads, which is set before it starts.
struct MMP_PAGING_FILE {
    PFILE_OBJECT FileObject; // referenced while the paging file runs
    ULONG Pages;             // pages of the file
    KEVENT Stop;             // set to end the paging thread
    PVOID Thread;            // referenced thread object
};

std::mutex MmpPagingLock;
MMP_PAGING_FILE* MmpPagingFile = nullptr; // MmpPagingLock

VOID MmpPagingThread(PVOID Context) {
    auto paging = static_cast<MMP_PAGING_FILE*>(Context);
    auto page = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, PAGE_SIZE, MMP_TAG_PAGING));
    LARGE_INTEGER period;
    period.QuadPart = -MMP_PAGING_PERIOD;
    ULONG next = 0;
    while (KeWaitForSingleObject(&paging->Stop, Executive, KernelMode, FALSE, &period) ==
           STATUS_TIMEOUT) {
        if (page == nullptr) {
            continue;
        }
        // A page-out: its content names the page and the round.
        std::memset(page, static_cast<int>(next & 0xFF), PAGE_SIZE);
        std::memcpy(page, &next, sizeof(next));
        ULONG_PTR written = 0;
        MmpPagingIo(paging->FileObject, true, page, PAGE_SIZE,
                    static_cast<ULONGLONG>(next % paging->Pages) * PAGE_SIZE, false, &written);
        next++;
    }
    if (page != nullptr) {
        ExFreePoolWithTag(page, MMP_TAG_PAGING);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

NTSTATUS MmpStartPagingFile(PCWSTR VolumeName, ULONG Pages) {
    std::lock_guard<std::mutex> guard(MmpPagingLock);
    if (MmpPagingFile != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (Pages == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path = std::u16string(VolumeName) + u"\\pagefile.sys";
    UNICODE_STRING name;
    name.Buffer = path.data();
    name.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb,
                                   nullptr, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0,
                                   FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID object;
    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto paging = new MMP_PAGING_FILE();
    paging->FileObject = static_cast<PFILE_OBJECT>(object);
    paging->Pages = Pages;
    KeInitializeEvent(&paging->Stop, NotificationEvent, FALSE);
    status = MmpSetFileSize(paging->FileObject, static_cast<ULONGLONG>(Pages) * PAGE_SIZE);
    HANDLE thread = nullptr;
    if (NT_SUCCESS(status)) {
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                      MmpPagingThread, paging);
    }
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(paging->FileObject);
        delete paging;
        return status;
    }
    ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &paging->Thread,
                              nullptr);
    ZwClose(thread);
    MmpPagingFile = paging;
    return STATUS_SUCCESS;
}

VOID MmpStopPagingFile() {
    MMP_PAGING_FILE* paging;
    {
        std::lock_guard<std::mutex> guard(MmpPagingLock);
        paging = MmpPagingFile;
        MmpPagingFile = nullptr;
    }
    if (paging == nullptr) {
        return;
    }
    KeSetEvent(&paging->Stop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(paging->Thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(paging->Thread);
    ObDereferenceObject(paging->FileObject);
    delete paging;
}
