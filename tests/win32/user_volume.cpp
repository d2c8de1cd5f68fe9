// user_volume.cpp - the kernel side of user_volume.h.
#include "user_volume.h"
#include "ntos/disk/disk.h"
#include "ntos/fs/fsp.h"

#include <gtest/gtest.h>

struct TestVolume {
    PDEVICE_OBJECT Pdo;
    PDRIVER_OBJECT FileSystem;
    std::u16string GuidName;
};

namespace {

NTSTATUS TestRemoved(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

TestVolume* TestMountVolume() {
    auto* volume = new TestVolume{};
    DISK_VOLUME_CONFIG config;
    config.Bytes = 16ULL << 20;
    config.DriveLetter = u"T:";
    EXPECT_EQ(DiskCreateVolume(config, &volume->Pdo), STATUS_SUCCESS);
    EXPECT_EQ(FsLoadFileSystem(u"Ntfs", &volume->FileSystem), STATUS_SUCCESS);
    volume->GuidName = DiskQueryVolumeGuidName(volume->Pdo);
    return volume;
}

const char16_t* TestVolumeGuidName(TestVolume* Volume) {
    return Volume->GuidName.c_str();
}

void TestUnmountVolume(TestVolume* Volume) {
    FsUnloadFileSystem(Volume->FileSystem);
    PIRP irp = IoAllocateIrp(Volume->Pdo->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_REMOVE_DEVICE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, TestRemoved, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Volume->Pdo, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    IoFreeIrp(irp);
    delete Volume;
}
