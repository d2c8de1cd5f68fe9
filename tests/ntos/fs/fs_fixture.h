// fs_fixture.h - a fixture that runs each file-system test in a fresh kernel
// with one emulated volume (drive T:), an observing filter attached on top of
// the volume's stack, and the file system loaded under a name the test
// chooses. The filter records every read and write that reaches the top of
// the volume's stack, then passes it down.
#pragma once

#include "ntos/disk/disk.h"
#include "ntos/ex/exp.h"
#include "ntos/fs/fsp.h"
#include "ntos/io/iop.h"
#include "ntos/kernel_fixture.h"
#include "ntos/remove_volume.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

// One read or write seen at the top of the volume's stack.
struct ObservedRequest {
    UCHAR Major;
    ULONGLONG Offset;
    ULONG Length;
    ULONG Flags;             // Irp->Flags
    PFILE_OBJECT FileObject; // of the stack location
    PVOID FsContext;         // of that file object, or NULL
    PETHREAD Thread;         // Irp->Tail.Overlay.Thread
    PETHREAD Sender;         // thread that sent it
    KIRQL Irql;              // at which it was sent
};

struct ObserverExtension {
    PDEVICE_OBJECT Lower;
    std::mutex Lock;
    std::vector<ObservedRequest> Seen; // Lock
    bool ProbeWrites = false;          // read the volume in each write's path
    std::vector<NTSTATUS> ProbeWaits;  // Lock: how each probe's wait ended
    KEVENT ProbeDone;                  // the probe's event; outlives a late completion
    IO_STATUS_BLOCK ProbeIosb;
    UCHAR ProbeBuffer[512];
};

// A probe's read of the volume's first sector from a write's path, by a
// threaded request waited for 200 ms at most: it completes by an APC to this
// thread, which cannot run while paging I/O holds it at APC_LEVEL.
inline NTSTATUS ObserverProbe(ObserverExtension* Ext) {
    LARGE_INTEGER offset = {};
    LARGE_INTEGER timeout;
    timeout.QuadPart = -200 * 10000LL;
    KeInitializeEvent(&Ext->ProbeDone, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Ext->Lower, Ext->ProbeBuffer, 512, &offset,
                                            &Ext->ProbeDone, &Ext->ProbeIosb);
    if (IoCallDriver(Ext->Lower, irp) != STATUS_PENDING) {
        return STATUS_SUCCESS;
    }
    return KeWaitForSingleObject(&Ext->ProbeDone, Executive, KernelMode, FALSE, &timeout);
}

inline NTSTATUS ObserverDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto ext = static_cast<ObserverExtension*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_READ || stack->MajorFunction == IRP_MJ_WRITE) {
        ObservedRequest seen = {};
        seen.Major = stack->MajorFunction;
        seen.Offset = static_cast<ULONGLONG>(stack->Parameters.Read.ByteOffset.QuadPart);
        seen.Length = stack->Parameters.Read.Length;
        seen.Flags = Irp->Flags;
        seen.FileObject = stack->FileObject;
        seen.FsContext = stack->FileObject != nullptr ? stack->FileObject->FsContext : nullptr;
        seen.Thread = Irp->Tail.Overlay.Thread;
        seen.Sender = PsGetCurrentThread();
        seen.Irql = KeGetCurrentIrql();
        {
            std::lock_guard<std::mutex> guard(ext->Lock);
            ext->Seen.push_back(seen);
        }
        if (seen.Major == IRP_MJ_WRITE && ext->ProbeWrites) {
            const NTSTATUS waited = ObserverProbe(ext);
            std::lock_guard<std::mutex> guard(ext->Lock);
            ext->ProbeWaits.push_back(waited);
        }
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->Lower, Irp);
}

inline NTSTATUS ObserverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (auto& dispatch : DriverObject->MajorFunction) {
        dispatch = ObserverDispatch;
    }
    return STATUS_SUCCESS;
}

class FsTest : public KernelTest {
  protected:
    // The file system's name, the volume's sector size; a derived fixture
    // may change them (and Config) before SetUp.
    const WCHAR* FileSystemName = u"Ntfs";
    ULONG SectorSize = 512;

    void SetUp() override {
        KernelTest::SetUp();
        IopInitialize();
        DISK_VOLUME_CONFIG config;
        config.Bytes = 16ULL << 20;
        config.SectorSize = SectorSize;
        config.DriveLetter = u"T:";
        ASSERT_EQ(DiskCreateVolume(config, &Volume), STATUS_SUCCESS);
        ASSERT_EQ(IopLoadDriver(u"FsObserver", ObserverEntry, &ObserverDriver), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(ObserverDriver, sizeof(ObserverExtension), nullptr,
                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &Observer),
                  STATUS_SUCCESS);
        Ext = new (Observer->DeviceExtension) ObserverExtension();
        Ext->Lower = IoAttachDeviceToDeviceStack(Observer, Volume);
        ASSERT_NE(Ext->Lower, nullptr);
        Observer->Flags |= DO_DIRECT_IO;
        Observer->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(FsLoadFileSystem(FileSystemName, &FsDriver), STATUS_SUCCESS);
    }

    void TearDown() override {
        FsUnloadFileSystem(FsDriver);
        IoDetachDevice(Volume);
        Ext->~ObserverExtension();
        IoDeleteDevice(Observer);
        IopUnloadDriver(ObserverDriver);
        TestRemoveVolume(Volume);
        IopVerifyNoLeakedIrps();
        IopShutdown();
        ExpVerifyNoPoolLeaks();
        KernelTest::TearDown();
    }

    // Opens Path (below \??\T:) with the given disposition; returns the
    // status, *Information the create's result.
    NTSTATUS Open(const std::u16string& Path, HANDLE* Handle, ULONG Disposition,
                  ULONG Options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                  ACCESS_MASK Access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE,
                  ULONG Share = FILE_SHARE_READ | FILE_SHARE_WRITE, ULONG Attributes = 0,
                  ULONG_PTR* Information = nullptr) {
        std::u16string full = u"\\??\\T:" + Path;
        UNICODE_STRING name;
        name.Buffer = full.data();
        name.Length = static_cast<USHORT>(full.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        IO_STATUS_BLOCK iosb = {};
        iosb.Information = 0xDEAD;
        NTSTATUS status = ZwCreateFile(Handle, Access, &attributes, &iosb, nullptr, Attributes,
                                       Share, Disposition, Options, nullptr, 0);
        if (Information != nullptr) {
            *Information = iosb.Information;
        }
        return status;
    }

    HANDLE Create(const std::u16string& Path) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(Path, &handle, FILE_OVERWRITE_IF), STATUS_SUCCESS);
        return handle;
    }

    static NTSTATUS Write(HANDLE File, ULONGLONG Offset, const void* Data, ULONG Length) {
        IO_STATUS_BLOCK iosb = {};
        LARGE_INTEGER offset;
        offset.QuadPart = static_cast<LONGLONG>(Offset);
        NTSTATUS status = ZwWriteFile(File, nullptr, nullptr, nullptr, &iosb,
                                      const_cast<PVOID>(Data), Length, &offset, nullptr);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(iosb.Information, Length);
        }
        return status;
    }

    static NTSTATUS Read(HANDLE File, ULONGLONG Offset, void* Data, ULONG Length,
                         ULONG_PTR* Transferred = nullptr) {
        IO_STATUS_BLOCK iosb = {};
        LARGE_INTEGER offset;
        offset.QuadPart = static_cast<LONGLONG>(Offset);
        NTSTATUS status =
            ZwReadFile(File, nullptr, nullptr, nullptr, &iosb, Data, Length, &offset, nullptr);
        if (Transferred != nullptr) {
            *Transferred = NT_SUCCESS(status) ? iosb.Information : 0;
        }
        return status;
    }

    static PFILE_OBJECT FileObjectOf(HANDLE File) {
        PVOID object = nullptr;
        EXPECT_EQ(
            ObReferenceObjectByHandle(File, 0, *IoFileObjectType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
        ObDereferenceObject(object); // the handle keeps it
        return static_cast<PFILE_OBJECT>(object);
    }

    std::vector<ObservedRequest> TakeSeen() {
        std::lock_guard<std::mutex> guard(Ext->Lock);
        std::vector<ObservedRequest> seen;
        seen.swap(Ext->Seen);
        return seen;
    }

    FSP_VOLUME* MountedVolume() { return FsGetVolume(Volume); }

    PDEVICE_OBJECT Volume = nullptr;
    PDEVICE_OBJECT Observer = nullptr;
    ObserverExtension* Ext = nullptr;
    PDRIVER_OBJECT ObserverDriver = nullptr;
    PDRIVER_OBJECT FsDriver = nullptr;
};
