// disk/store.cpp - a volume's backing store: anonymous memory, or a sparse
// host file for volumes larger than the host would want to keep in memory.
//
// Host code, any thread. Reads and copies hold the store's lock shared and
// writes hold it exclusive (see DISKP_STORE).
#include "ntos/disk/diskp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An unlinked temporary file: it disappears with its descriptor.
int DiskpOpenTemporaryFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != 0 ? dir : "/tmp") + "/volemu-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd >= 0) {
        unlink(path.c_str());
    }
    return fd;
}

} // namespace

NTSTATUS DiskpCreateStore(DISKP_STORE* Store, DISK_BACKING Kind, ULONGLONG Bytes,
                          const std::string& Path) {
    Store->Kind = Kind;
    Store->Bytes = Bytes;
    Store->Memory = nullptr;
    Store->File = -1;
    if (Kind == DiskBackingMemory) {
        // Pages are zero until written and cost nothing until touched.
        void* memory = mmap(nullptr, Bytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory == MAP_FAILED) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        Store->Memory = static_cast<PUCHAR>(memory);
        return STATUS_SUCCESS;
    }
    int fd = Path.empty() ? DiskpOpenTemporaryFile()
                          : open(Path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Extending by truncation leaves a hole: no block is allocated until written.
    if (ftruncate(fd, static_cast<off_t>(Bytes)) != 0) {
        close(fd);
        return STATUS_DISK_FULL;
    }
    Store->File = fd;
    return STATUS_SUCCESS;
}

VOID DiskpDestroyStore(DISKP_STORE* Store) {
    if (Store->Memory != nullptr) {
        munmap(Store->Memory, Store->Bytes);
        Store->Memory = nullptr;
    }
    if (Store->File >= 0) {
        close(Store->File);
        Store->File = -1;
    }
}

NTSTATUS DiskpStoreRead(DISKP_STORE* Store, ULONGLONG Offset, PVOID Buffer, SIZE_T Length) {
    std::shared_lock<std::shared_mutex> guard(Store->Lock);
    if (Store->Memory != nullptr) {
        std::memcpy(Buffer, Store->Memory + Offset, Length);
        return STATUS_SUCCESS;
    }
    auto* out = static_cast<PUCHAR>(Buffer);
    while (Length != 0) {
        ssize_t done = pread(Store->File, out, Length, static_cast<off_t>(Offset));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        out += done;
        Offset += static_cast<ULONGLONG>(done);
        Length -= static_cast<SIZE_T>(done);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DiskpStoreWrite(DISKP_STORE* Store, ULONGLONG Offset, const VOID* Buffer, SIZE_T Length) {
    std::unique_lock<std::shared_mutex> guard(Store->Lock);
    if (Store->Memory != nullptr) {
        std::memcpy(Store->Memory + Offset, Buffer, Length);
        return STATUS_SUCCESS;
    }
    auto* in = static_cast<const UCHAR*>(Buffer);
    while (Length != 0) {
        ssize_t done = pwrite(Store->File, in, Length, static_cast<off_t>(Offset));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            // The host file system is full: the disk reports a write fault.
            return STATUS_DEVICE_DATA_ERROR;
        }
        in += done;
        Offset += static_cast<ULONGLONG>(done);
        Length -= static_cast<SIZE_T>(done);
    }
    return STATUS_SUCCESS;
}

ULONGLONG DiskpStoreFootprint(DISKP_STORE* Store) {
    if (Store->Memory != nullptr) {
        const SIZE_T page = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
        const SIZE_T pages = (Store->Bytes + page - 1) / page;
        std::vector<unsigned char> resident(pages);
        if (mincore(Store->Memory, Store->Bytes, resident.data()) != 0) {
            return Store->Bytes;
        }
        ULONGLONG bytes = 0;
        for (unsigned char r : resident) {
            bytes += (r & 1) != 0 ? page : 0;
        }
        return bytes;
    }
    struct stat info;
    if (fstat(Store->File, &info) != 0) {
        return Store->Bytes;
    }
    return static_cast<ULONGLONG>(info.st_blocks) * 512;
}
