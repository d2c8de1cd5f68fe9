// mm/stream_pages.cpp - the shared pages of a file stream: loading them by
// paging reads, cached copies in and out, writing changed pages back by
// paging writes, and keeping them coherent with non-cached writes and
// truncation.
//
// Kernel mode, PASSIVE_LEVEL or APC_LEVEL (a paging write's filter may read
// cached data). Lock order and page states: see stream_pages.h.
#include "ntos/mm/stream_pages.h"
#include "ntos/mm/section.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace {

// Pages one paging request moves at most.
constexpr ULONG MmpRunPages = 16;

std::mutex MmpPagesCreateLock; // guards creating a stream's pages

ULONGLONG MmpPageOf(ULONGLONG Offset) {
    return Offset / PAGE_SIZE;
}

// End page (exclusive) of [Offset, Offset + Length), without overflowing.
ULONGLONG MmpPageEnd(ULONGLONG Offset, ULONGLONG Length) {
    const ULONGLONG end = Length > MMP_SHADOW_BASE - Offset ? MMP_SHADOW_BASE : Offset + Length;
    return (end + PAGE_SIZE - 1) / PAGE_SIZE;
}

// Makes State and Writable cover pages below End. Lock held.
void MmpCoverLocked(MMP_STREAM_PAGES* Pages, ULONGLONG End) {
    if (Pages->State.size() < End) {
        Pages->State.resize(End, MmpPageAbsent);
        Pages->Writable.resize(End, 0);
    }
}

bool MmpReadMemory(MMP_STREAM_PAGES* Pages, PVOID Buffer, SIZE_T Length, ULONGLONG At) {
    return pread(Pages->Memory, Buffer, Length, static_cast<off_t>(At)) ==
           static_cast<ssize_t>(Length);
}

bool MmpWriteMemory(MMP_STREAM_PAGES* Pages, const VOID* Buffer, SIZE_T Length, ULONGLONG At) {
    return pwrite(Pages->Memory, Buffer, Length, static_cast<off_t>(At)) ==
           static_cast<ssize_t>(Length);
}

// Fills Count pages from First by one paging read; bytes past the end of the
// file are zeros.
NTSTATUS MmpLoadRun(MMP_STREAM_PAGES* Pages, ULONGLONG First, ULONG Count) {
    const ULONG length = Count * PAGE_SIZE;
    auto buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, MMP_TAG_PAGES));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(buffer, 0, length);
    ULONG_PTR read = 0;
    NTSTATUS status =
        MmpPagingIo(Pages->PagingFileObject, false, buffer, length, First * PAGE_SIZE, true, &read);
    if (status == STATUS_END_OF_FILE) {
        status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status) && (!MmpWriteMemory(Pages, buffer, length, First * PAGE_SIZE) ||
                               !MmpWriteMemory(Pages, buffer, length,
                                               MMP_SHADOW_BASE + First * PAGE_SIZE))) {
        status = STATUS_NO_MEMORY;
    }
    ExFreePoolWithTag(buffer, MMP_TAG_PAGES);
    return status;
}

// Loads every absent page of [First, End). Pages another thread is loading
// are waited for after this thread has loaded its own, so two loaders never
// wait on each other.
NTSTATUS MmpLoadPages(MMP_STREAM_PAGES* Pages, ULONGLONG First, ULONGLONG End) {
    for (;;) {
        std::vector<ULONGLONG> mine;
        bool othersLoading = false;
        {
            std::lock_guard<std::mutex> guard(Pages->Lock);
            MmpCoverLocked(Pages, End);
            for (ULONGLONG page = First; page < End; page++) {
                if (Pages->State[page] == MmpPageAbsent) {
                    Pages->State[page] = MmpPageLoading;
                    mine.push_back(page);
                } else if (Pages->State[page] == MmpPageLoading) {
                    othersLoading = true;
                }
            }
        }
        NTSTATUS status = STATUS_SUCCESS;
        for (size_t i = 0; i < mine.size();) {
            size_t j = i + 1;
            while (j < mine.size() && mine[j] == mine[j - 1] + 1 && j - i < MmpRunPages) {
                j++;
            }
            if (NT_SUCCESS(status)) {
                status = MmpLoadRun(Pages, mine[i], static_cast<ULONG>(j - i));
            }
            {
                std::lock_guard<std::mutex> guard(Pages->Lock);
                for (size_t k = i; k < j; k++) {
                    Pages->State[mine[k]] = NT_SUCCESS(status) ? MmpPageClean : MmpPageAbsent;
                }
            }
            Pages->Ready.notify_all();
            i = j;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (!othersLoading) {
            return STATUS_SUCCESS;
        }
        // Another loader's failure leaves its pages absent: take them on.
        std::unique_lock<std::mutex> lock(Pages->Lock);
        Pages->Ready.wait(lock, [&] {
            for (ULONGLONG page = First; page < End; page++) {
                if (Pages->State[page] == MmpPageLoading) {
                    return false;
                }
            }
            return true;
        });
    }
}

// Copies Page into Slot when it must be written back, marking a dirty page
// clean first (a write after the copy marks it dirty again).
bool MmpTakeForWriteBack(MMP_STREAM_PAGES* Pages, ULONGLONG Page, bool MappedChanges,
                         PUCHAR Slot) {
    bool dirty, mapped;
    {
        std::lock_guard<std::mutex> guard(Pages->Lock);
        const UCHAR state = Pages->State[Page];
        if (state == MmpPageLoading) {
            return false;
        }
        dirty = state == MmpPageDirty;
        if (dirty) {
            Pages->State[Page] = MmpPageClean;
        }
        mapped = Pages->Writable[Page] != 0;
    }
    if (!dirty && !(MappedChanges && mapped)) {
        return false;
    }
    if (!MmpReadMemory(Pages, Slot, PAGE_SIZE, Page * PAGE_SIZE)) {
        return dirty;
    }
    if (dirty) {
        return true;
    }
    UCHAR shadow[PAGE_SIZE];
    return MmpReadMemory(Pages, shadow, PAGE_SIZE, MMP_SHADOW_BASE + Page * PAGE_SIZE) &&
           std::memcmp(Slot, shadow, PAGE_SIZE) != 0;
}

// Sends Count pages copied at Buffer back to the file at page First.
NTSTATUS MmpWriteRun(MMP_STREAM_PAGES* Pages, ULONGLONG First, ULONG Count, PUCHAR Buffer,
                     bool Synchronous) {
    ULONG_PTR written = 0;
    NTSTATUS status = MmpPagingIo(Pages->PagingFileObject, true, Buffer, Count * PAGE_SIZE,
                                  First * PAGE_SIZE, Synchronous, &written);
    if (NT_SUCCESS(status)) {
        MmpWriteMemory(Pages, Buffer, Count * PAGE_SIZE, MMP_SHADOW_BASE + First * PAGE_SIZE);
    }
    std::lock_guard<std::mutex> guard(Pages->Lock);
    for (ULONGLONG page = First; page < First + Count; page++) {
        if (!NT_SUCCESS(status)) {
            Pages->State[page] = MmpPageDirty;
        } else if (Pages->State[page] == MmpPageAbsent) {
            Pages->State[page] = MmpPageClean; // a view wrote into a page never loaded
        }
    }
    return status;
}

} // namespace

NTSTATUS MmpCreateStreamPages(PSECTION_OBJECT_POINTERS Pointers, PFILE_OBJECT PagingFileObject) {
    std::lock_guard<std::mutex> guard(MmpPagesCreateLock);
    if (MmpPagesOf(Pointers) != nullptr) {
        return STATUS_SUCCESS;
    }
    const int memory = memfd_create("stream-pages", MFD_CLOEXEC);
    if (memory < 0) {
        return STATUS_NO_MEMORY;
    }
    if (ftruncate(memory, static_cast<off_t>(2 * MMP_SHADOW_BASE)) != 0) {
        close(memory);
        return STATUS_NO_MEMORY;
    }
    auto pages = new MMP_STREAM_PAGES();
    pages->PagingFileObject = PagingFileObject;
    pages->Memory = memory;
    __atomic_store_n(&Pointers->DataSectionObject, static_cast<PVOID>(pages), __ATOMIC_RELEASE);
    return STATUS_SUCCESS;
}

VOID MmpDeleteStreamPages(PSECTION_OBJECT_POINTERS Pointers) {
    MMP_STREAM_PAGES* pages = MmpPagesOf(Pointers);
    if (pages == nullptr) {
        return;
    }
    __atomic_store_n(&Pointers->DataSectionObject, nullptr, __ATOMIC_RELEASE);
    close(pages->Memory);
    delete pages;
}

MMP_STREAM_PAGES* MmpStreamPagesOf(PFILE_OBJECT FileObject) {
    if (FileObject->SectionObjectPointer == nullptr) {
        return nullptr;
    }
    return MmpPagesOf(FileObject->SectionObjectPointer);
}

MMP_STREAM_PAGES* MmpPagesOf(PSECTION_OBJECT_POINTERS Pointers) {
    return static_cast<MMP_STREAM_PAGES*>(
        __atomic_load_n(&Pointers->DataSectionObject, __ATOMIC_ACQUIRE));
}

NTSTATUS MmpReadPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, PVOID Buffer, ULONG Length) {
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    if (Offset >= MMP_SHADOW_BASE || Length > MMP_SHADOW_BASE - Offset) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = MmpLoadPages(Pages, MmpPageOf(Offset), MmpPageEnd(Offset, Length));
    if (NT_SUCCESS(status) && !MmpReadMemory(Pages, Buffer, Length, Offset)) {
        status = STATUS_NO_MEMORY;
    }
    return status;
}

NTSTATUS MmpWritePages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, const VOID* Buffer,
                       ULONG Length) {
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    if (Offset >= MMP_SHADOW_BASE || Length > MMP_SHADOW_BASE - Offset) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONGLONG first = MmpPageOf(Offset);
    const ULONGLONG end = MmpPageEnd(Offset, Length);
    NTSTATUS status = MmpLoadPages(Pages, first, end);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Buffer != nullptr) {
        if (!MmpWriteMemory(Pages, Buffer, Length, Offset)) {
            return STATUS_NO_MEMORY;
        }
    } else if (fallocate(Pages->Memory, FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE,
                         static_cast<off_t>(Offset), Length) != 0) {
        static const UCHAR zeros[PAGE_SIZE] = {};
        for (ULONG done = 0; done < Length;) {
            const ULONG part = Length - done < PAGE_SIZE ? Length - done : PAGE_SIZE;
            if (!MmpWriteMemory(Pages, zeros, part, Offset + done)) {
                return STATUS_NO_MEMORY;
            }
            done += part;
        }
    }
    std::lock_guard<std::mutex> guard(Pages->Lock);
    for (ULONGLONG page = first; page < end; page++) {
        Pages->State[page] = MmpPageDirty;
    }
    return STATUS_SUCCESS;
}

VOID MmpRefreshPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, const VOID* Buffer, ULONG Length) {
    auto bytes = static_cast<const UCHAR*>(Buffer);
    const ULONGLONG end = Offset + Length;
    for (ULONGLONG page = MmpPageOf(Offset); page < MmpPageEnd(Offset, Length); page++) {
        {
            std::lock_guard<std::mutex> guard(Pages->Lock);
            if (page >= Pages->State.size() || Pages->State[page] == MmpPageAbsent ||
                Pages->State[page] == MmpPageLoading) {
                continue;
            }
        }
        const ULONGLONG from = page * PAGE_SIZE > Offset ? page * PAGE_SIZE : Offset;
        const ULONGLONG to = (page + 1) * PAGE_SIZE < end ? (page + 1) * PAGE_SIZE : end;
        MmpWriteMemory(Pages, bytes + (from - Offset), to - from, from);
        MmpWriteMemory(Pages, bytes + (from - Offset), to - from, MMP_SHADOW_BASE + from);
    }
}

VOID MmpTruncatePages(MMP_STREAM_PAGES* Pages, ULONGLONG Size) {
    if (Size >= MMP_SHADOW_BASE) {
        return;
    }
    std::lock_guard<std::mutex> guard(Pages->Lock);
    const ULONGLONG kept = MmpPageEnd(0, Size);
    for (ULONGLONG page = kept; page < Pages->State.size(); page++) {
        if (Pages->State[page] != MmpPageLoading) {
            Pages->State[page] = MmpPageAbsent;
        }
    }
    // Zero the tail of the last kept page and everything after, shadow too.
    for (ULONGLONG base : {0ULL, MMP_SHADOW_BASE}) {
        fallocate(Pages->Memory, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(base + Size), static_cast<off_t>(MMP_SHADOW_BASE - Size));
    }
}

NTSTATUS MmpFlushPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, ULONGLONG Length,
                       bool MappedChanges, bool Synchronous) {
    if (Offset >= MMP_SHADOW_BASE) {
        return STATUS_SUCCESS;
    }
    std::lock_guard<std::mutex> flush(Pages->FlushLock);
    ULONGLONG end = MmpPageEnd(Offset, Length);
    {
        std::lock_guard<std::mutex> guard(Pages->Lock);
        if (end > Pages->State.size()) {
            end = Pages->State.size();
        }
    }
    auto buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, MmpRunPages * PAGE_SIZE, MMP_TAG_PAGES));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS result = STATUS_SUCCESS;
    ULONGLONG start = 0;
    ULONG count = 0;
    auto writeRun = [&] {
        NTSTATUS status = MmpWriteRun(Pages, start, count, buffer, Synchronous);
        if (NT_SUCCESS(result) && !NT_SUCCESS(status)) {
            result = status;
        }
        count = 0;
    };
    for (ULONGLONG page = MmpPageOf(Offset); page < end; page++) {
        if (!MmpTakeForWriteBack(Pages, page, MappedChanges, buffer + count * PAGE_SIZE)) {
            if (count != 0) {
                writeRun();
            }
            continue;
        }
        if (count == 0) {
            start = page;
        }
        if (++count == MmpRunPages) {
            writeRun();
        }
    }
    if (count != 0) {
        writeRun();
    }
    ExFreePoolWithTag(buffer, MMP_TAG_PAGES);
    return result;
}

bool MmpPagesDirty(MMP_STREAM_PAGES* Pages) {
    std::lock_guard<std::mutex> guard(Pages->Lock);
    for (UCHAR state : Pages->State) {
        if (state == MmpPageDirty) {
            return true;
        }
    }
    return false;
}

NTSTATUS MmpMapPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, SIZE_T Size, bool Writable) {
    if (Offset >= MMP_SHADOW_BASE || Size > MMP_SHADOW_BASE - Offset) {
        return STATUS_INVALID_VIEW_SIZE;
    }
    const ULONGLONG first = MmpPageOf(Offset);
    const ULONGLONG end = MmpPageEnd(Offset, Size);
    NTSTATUS status = MmpLoadPages(Pages, first, end);
    if (NT_SUCCESS(status) && Writable) {
        std::lock_guard<std::mutex> guard(Pages->Lock);
        for (ULONGLONG page = first; page < end; page++) {
            Pages->Writable[page]++;
        }
    }
    return status;
}

VOID MmpUnmapPages(MMP_STREAM_PAGES* Pages, ULONGLONG Offset, SIZE_T Size, bool Writable) {
    if (!Writable) {
        return;
    }
    std::lock_guard<std::mutex> guard(Pages->Lock);
    for (ULONGLONG page = MmpPageOf(Offset); page < MmpPageEnd(Offset, Size); page++) {
        Pages->Writable[page]--;
    }
}
