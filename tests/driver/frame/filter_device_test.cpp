// Filter devices: attaching above volumes, passing requests on unchanged,
// plug-and-play removal, power, and the file object of a request.
#include "frame_fixture.h"
#include "ntos/io/iop.h"

#include <ntdddisk.h>

#include <atomic>

namespace {

using FilterDeviceTest = FrameTest;

TEST_F(FilterDeviceTest, AddDeviceAttachesALinkedFilterAboveTheVolume) {
    PDEVICE_OBJECT pdo = CreateVolume();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(pdo->AttachedDevice, filter);
    EXPECT_EQ(filter->Flags & (DO_DIRECT_IO | DO_DEVICE_INITIALIZING), ULONG(DO_DIRECT_IO));
    EXPECT_EQ(FilterDevices(), std::vector<FilterExtension*>{
                                   static_cast<FilterExtension*>(filter->DeviceExtension)});
    const ULONG power = DO_POWER_PAGABLE | DO_POWER_INRUSH;
    for (ULONG flags : {ULONG(DO_POWER_PAGABLE), ULONG(DO_POWER_INRUSH), 0u}) {
        EXPECT_EQ(AddFilter(CreateVolume(flags))->Flags & power, flags) << "copied from the volume";
    }
}

TEST_F(FilterDeviceTest, RefusedAttachLeavesNoDeviceBehind) {
    PDEVICE_OBJECT pdo = CreateVolume();
    IopRefuseAttach(1);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(AddFilter(pdo, &status), nullptr);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_TRUE(FilterDevices().empty());
    for (PDEVICE_OBJECT d = Driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        EXPECT_EQ(d, DriverGlobals.ControlDevice) << "a filter device outlived the refused attach";
    }
}

TEST_F(FilterDeviceTest, RequestsReachTheVolumeWithTheirFileObjectAndStatus) {
    PDEVICE_OBJECT pdo = CreateVolume();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    static FILE_OBJECT file;
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_CREATE,
                        IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
        Stub(pdo)->Status = STATUS_MEDIA_WRITE_PROTECTED;
        EXPECT_EQ(
            Send(filter, major, 0, [](PIO_STACK_LOCATION s, PVOID) { s->FileObject = &file; }),
            STATUS_MEDIA_WRITE_PROTECTED)
            << "major " << int(major);
        EXPECT_EQ(Stub(pdo)->LastMajor, major);
        EXPECT_EQ(Stub(pdo)->LastFile, &file);
    }
    Stub(pdo)->Status = STATUS_SUCCESS;
}

TEST_F(FilterDeviceTest, DeviceControlOfAnyCodeGoesToTheVolume) {
    PDEVICE_OBJECT pdo = CreateVolume();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    for (ULONG code :
         {ULONG(IOCTL_DISK_GET_DRIVE_GEOMETRY), 0x80002000u, 0x80002004u, 0x12345678u}) {
        ULONG before = Stub(pdo)->Requests;
        EXPECT_EQ(Control(filter, code, 8, 3), STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(Stub(pdo)->Requests, before + 1);
        EXPECT_EQ(Stub(pdo)->LastControlCode, code);
    }
}

TEST_F(FilterDeviceTest, RemovalDetachesDeletesAndUnlinksTheFilter) {
    PDEVICE_OBJECT pdo = CreateVolume();
    PDEVICE_OBJECT kept = AddFilter(CreateVolume());
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_EQ(FilterDevices().size(), 2u);
    EXPECT_EQ(Send(filter, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Stub(pdo)->LastMinor, IRP_MN_REMOVE_DEVICE) << "the removal went on to the volume";
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    ASSERT_EQ(FilterDevices().size(), 1u);
    EXPECT_EQ(FilterDevices()[0]->Self, kept);
    // The volume takes its requests directly again.
    EXPECT_EQ(Send(pdo, IRP_MJ_READ), STATUS_SUCCESS);
}

TEST_F(FilterDeviceTest, BusRelationsQueryAsksTheVolumeForItsGeometryFirst) {
    PDEVICE_OBJECT pdo = CreateVolume();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    Stub(pdo)->Status = STATUS_NOT_SUPPORTED;
    auto bus = [](PIO_STACK_LOCATION s, PVOID) {
        s->Parameters.QueryDeviceRelations.Type = BusRelations;
    };
    EXPECT_EQ(Send(filter, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, bus), STATUS_NOT_SUPPORTED)
        << "a failed geometry query does not fail the relations query";
    EXPECT_EQ(Stub(pdo)->Requests, 2u);
    EXPECT_EQ(Stub(pdo)->LastMajor, IRP_MJ_PNP);

    auto removal = [](PIO_STACK_LOCATION s, PVOID) {
        s->Parameters.QueryDeviceRelations.Type = RemovalRelations;
    };
    Send(filter, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, removal);
    EXPECT_EQ(Stub(pdo)->Requests, 3u) << "other relation types send no geometry query";
    Stub(pdo)->Status = STATUS_SUCCESS;
}

// Removal while a request still runs in the volume below the filter: the
// filter device must stay until the request has left it.
TEST_F(FilterDeviceTest, RemovalWaitsForRequestsStillInTheFilter) {
    PDEVICE_OBJECT pdo = CreateVolume();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    Stub(pdo)->HoldFlushes = &release;
    std::atomic<bool> removed{false};
    LARGE_INTEGER shortly;
    shortly.QuadPart = -10000 * 200;
    RunOnSystemThreads(3, [&](ULONG Index) {
        if (Index == 0) {
            EXPECT_EQ(Send(filter, IRP_MJ_FLUSH_BUFFERS), STATUS_SUCCESS);
        } else if (Index == 1) {
            KeWaitForSingleObject(&Stub(pdo)->FlushArrived, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(Send(filter, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
            removed = true;
        } else {
            KeWaitForSingleObject(&Stub(pdo)->FlushArrived, Executive, KernelMode, FALSE, nullptr);
            KeDelayExecutionThread(KernelMode, FALSE, &shortly);
            EXPECT_FALSE(removed) << "removal finished while a request was still in the filter";
            EXPECT_EQ(pdo->AttachedDevice, filter);
            KeSetEvent(&release, 0, FALSE);
        }
    });
    EXPECT_TRUE(removed);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_TRUE(FilterDevices().empty());
}

TEST_F(FilterDeviceTest, PowerGoesToTheVolumeAndTheControlDeviceAcceptsIt) {
    PDEVICE_OBJECT pdo = CreateVolume();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    EXPECT_EQ(Send(filter, IRP_MJ_POWER, IRP_MN_SET_POWER), STATUS_SUCCESS);
    EXPECT_EQ(Stub(pdo)->LastMajor, IRP_MJ_POWER);
    ULONG before = Stub(pdo)->Requests;
    EXPECT_EQ(Send(DriverGlobals.ControlDevice, IRP_MJ_POWER, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
    EXPECT_EQ(Stub(pdo)->Requests, before);
}

TEST_F(FilterDeviceTest, ControlDeviceRefusesPlugAndPlayAndUnservedRequests) {
    ULONG_PTR information = 7;
    EXPECT_EQ(Send(DriverGlobals.ControlDevice, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, nullptr,
                   nullptr, &information),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Send(DriverGlobals.ControlDevice, IRP_MJ_FLUSH_BUFFERS),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(FilterDeviceTest, RequestFileObjectFallsBackToTheMaster) {
    FILE_OBJECT own = {}, masters = {};
    PIRP master = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(master);
    IoGetCurrentIrpStackLocation(master)->FileObject = &masters;
    PIRP plain = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(plain);
    EXPECT_EQ(RequestFileObject(plain), nullptr) << "no file object, not associated";
    IoGetCurrentIrpStackLocation(plain)->FileObject = &own;
    EXPECT_EQ(RequestFileObject(plain), &own);

    PIRP associated = IoMakeAssociatedIrp(master, 1);
    IoSetNextIrpStackLocation(associated);
    EXPECT_EQ(RequestFileObject(associated), &masters);
    IoGetCurrentIrpStackLocation(associated)->FileObject = &own;
    EXPECT_EQ(RequestFileObject(associated), &own);
    IoFreeIrp(associated);
    IoFreeIrp(plain);
    IoFreeIrp(master);
}

} // namespace
