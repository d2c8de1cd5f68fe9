// disk_fixture.h - a fixture that runs each volume test in a fresh kernel,
// with helpers that send reads, writes, control and plug-and-play requests
// to a volume and wait for them. Volumes a test leaves are removed on the
// way out, and no request may leak.
#pragma once

#include "expect_bugcheck.h"

#include "ntos/disk/disk.h"
#include "ntos/io/iop.h"
#include "ntos/ke/ke_test_util.h"

#include <cstring>
#include <vector>

class DiskTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        IopInitialize();
    }

    void TearDown() override {
        for (PDEVICE_OBJECT pdo : Volumes) {
            SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        }
        IopVerifyNoLeakedIrps();
        IopShutdown();
        KernelTest::TearDown();
    }

    // A volume removed at the end of the test unless the test removed it.
    PDEVICE_OBJECT Create(const DISK_VOLUME_CONFIG& Config) {
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(DiskCreateVolume(Config, &pdo), STATUS_SUCCESS);
        if (pdo != nullptr) {
            Volumes.push_back(pdo);
        }
        return pdo;
    }

  public:
    static DISK_VOLUME_CONFIG Config(ULONGLONG Bytes, ULONG SectorSize = 512) {
        DISK_VOLUME_CONFIG config;
        config.Bytes = Bytes;
        config.SectorSize = SectorSize;
        return config;
    }

    // A synchronous read or write; returns the final status block.
    static IO_STATUS_BLOCK Transfer(PDEVICE_OBJECT Pdo, ULONG Major, LONGLONG Offset, PVOID Buffer,
                                    ULONG Length) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb = {};
        LARGE_INTEGER offset;
        offset.QuadPart = Offset;
        PIRP irp = IoBuildSynchronousFsdRequest(Major, Pdo, Buffer, Length, &offset, &done, &iosb);
        EXPECT_NE(irp, nullptr);
        if (IoCallDriver(Pdo, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        return iosb;
    }

    static IO_STATUS_BLOCK Read(PDEVICE_OBJECT Pdo, LONGLONG Offset, PVOID Buffer, ULONG Length) {
        return Transfer(Pdo, IRP_MJ_READ, Offset, Buffer, Length);
    }
    static IO_STATUS_BLOCK Write(PDEVICE_OBJECT Pdo, LONGLONG Offset, const void* Buffer,
                                 ULONG Length) {
        return Transfer(Pdo, IRP_MJ_WRITE, Offset, const_cast<PVOID>(Buffer), Length);
    }

    static IO_STATUS_BLOCK Control(PDEVICE_OBJECT Pdo, ULONG Code, PVOID Output, ULONG Length) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb = {};
        PIRP irp = IoBuildDeviceIoControlRequest(Code, Pdo, nullptr, 0, Output, Length, FALSE,
                                                 &done, &iosb);
        EXPECT_NE(irp, nullptr);
        if (IoCallDriver(Pdo, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        return iosb;
    }

    static NTSTATUS RequestDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
        KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // A plug-and-play or power request, forwarded and waited for. The request
    // starts with STATUS_NOT_SUPPORTED as the platform's do.
    static IO_STATUS_BLOCK SendPnp(PDEVICE_OBJECT Pdo, UCHAR Minor, UCHAR Major = IRP_MJ_PNP,
                                   ULONG_PTR Parameter = 0) {
        ObReferenceObject(Pdo);
        PIRP irp = IoAllocateIrp(Pdo->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->Tail.Overlay.Thread = PsGetCurrentThread();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = Major;
        next->MinorFunction = Minor;
        next->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(Parameter);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, RequestDone, &done, TRUE, TRUE, TRUE);
        if ((Major == IRP_MJ_POWER ? PoCallDriver(Pdo, irp) : IoCallDriver(Pdo, irp)) ==
            STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        IO_STATUS_BLOCK iosb = irp->IoStatus;
        IoFreeIrp(irp);
        ObDereferenceObject(Pdo);
        return iosb;
    }

  protected:
    // Removes a volume now (the fixture then leaves it alone).
    void Remove(PDEVICE_OBJECT Pdo) {
        EXPECT_EQ(SendPnp(Pdo, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
        std::erase(Volumes, Pdo);
    }

    std::vector<PDEVICE_OBJECT> Volumes;
};
