// The control device: opening and closing it, and the routing of control
// requests (length rule, codes in and outside the table).
#include "frame_fixture.h"
#include "snapshot/qvdapi.h"

namespace {

using ControlDeviceTest = FrameTest;

TEST_F(ControlDeviceTest, OpensAsOftenAsAskedAndClosesWithoutFailing) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\DosDevices\\QVDAPI");
    PFILE_OBJECT files[2] = {};
    for (PFILE_OBJECT& file : files) {
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
        EXPECT_EQ(device, DriverGlobals.ControlDevice);
    }
    for (PFILE_OBJECT file : files) {
        ObDereferenceObject(file); // cleanup and close reach the driver
    }
    ULONG_PTR information = 9;
    EXPECT_EQ(Send(DriverGlobals.ControlDevice, IRP_MJ_CREATE, 0, nullptr, nullptr, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, ULONG_PTR(FILE_OPENED));
    EXPECT_EQ(Send(DriverGlobals.ControlDevice, IRP_MJ_CLEANUP, 0, nullptr, nullptr, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(Send(DriverGlobals.ControlDevice, IRP_MJ_CLOSE, 0, nullptr, nullptr, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
}

TEST_F(ControlDeviceTest, OutputShorterThanAWordFailsWhateverTheCode) {
    // The word rule comes first; a 4-byte output passes it and reaches the
    // routing (codes outside the table: invalid requests), so the rows with
    // table codes stop at 3 bytes, where each operation's own record rule
    // would otherwise answer.
    // 0x80001FFC and 0x80002024 lie just outside the table's range.
    for (ULONG code : {ULONG(IOCTL_QVD_QUERY_VERSION), ULONG(IOCTL_QVD_READ_EXTENT_LIST), 0x80002001u,
                       0x80002024u, 0x80001FFCu, 0x1234u, 0u}) {
        const bool inTable = code == IOCTL_QVD_QUERY_VERSION || code == IOCTL_QVD_READ_EXTENT_LIST;
        for (ULONG output : {0u, 3u, 4u}) {
            if (inTable && output == 4) {
                continue;
            }
            ULONG_PTR information = 5;
            NTSTATUS expected =
                output < 4 ? STATUS_INVALID_BUFFER_SIZE : STATUS_INVALID_DEVICE_REQUEST;
            EXPECT_EQ(Control(DriverGlobals.ControlDevice, code, 64, output, &information),
                      expected)
                << std::hex << code << std::dec << " with " << output << " output bytes";
            EXPECT_EQ(information, 0u);
        }
    }
}

TEST_F(ControlDeviceTest, OtherDevicesOfTheDriverRefuseDeviceControl) {
    PDEVICE_OBJECT stray = nullptr;
    ASSERT_EQ(IoCreateDevice(Driver, sizeof(ULONG), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &stray),
              STATUS_SUCCESS);
    *static_cast<USHORT*>(stray->DeviceExtension) = 7; // not a filter device's tag
    EXPECT_EQ(Control(stray, IOCTL_QVD_QUERY_VERSION, 16, 16), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(stray);
}

} // namespace
