// volume_test.cpp - the mounted volume: size figures that follow allocation,
// and the NT file system's control block with its internal stream, laid out
// for the build the machine reports.
#include "fs_fixture.h"

namespace {

using VolumeTest = FsTest;

FILE_FS_SIZE_INFORMATION QuerySize(HANDLE File) {
    FILE_FS_SIZE_INFORMATION info = {};
    IO_STATUS_BLOCK iosb = {};
    EXPECT_EQ(ZwQueryVolumeInformationFile(File, &iosb, &info, sizeof(info), FileFsSizeInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(info));
    return info;
}

// Opening the volume device for its attributes alone is a direct device
// open: it neither mounts the volume nor reaches the file system; any open
// that asks for data goes to the mounted file system.
TEST_F(VolumeTest, AttributesOnlyOpenOfTheVolumeIsADirectDeviceOpen) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\HarddiskVolume1");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, Observer) << "got the file system's device, expected the volume's stack";
    EXPECT_TRUE(file->Flags & FO_DIRECT_DEVICE_OPEN);
    EXPECT_EQ(MountedVolume(), nullptr) << "a direct open mounted the volume";
    ObDereferenceObject(file);

    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_NE(MountedVolume(), nullptr);
    EXPECT_NE(top, Observer) << "an open for data goes to the mounted file system";
    EXPECT_FALSE(file->Flags & FO_DIRECT_DEVICE_OPEN);
    ObDereferenceObject(file);
}

TEST_F(VolumeTest, SizeFiguresFollowAllocation) {
    HANDLE file = Create(u"\\grow.bin");
    FILE_FS_SIZE_INFORMATION before = QuerySize(file);
    EXPECT_EQ(before.BytesPerSector, 512u);
    EXPECT_EQ(before.SectorsPerAllocationUnit, 8u);
    EXPECT_EQ(before.TotalAllocationUnits.QuadPart, (16 << 20) / 4096);
    std::vector<UCHAR> data(3 * 4096 - 100, 1);
    ASSERT_EQ(Write(file, 0, data.data(), static_cast<ULONG>(data.size())), STATUS_SUCCESS);
    EXPECT_EQ(QuerySize(file).AvailableAllocationUnits.QuadPart,
              before.AvailableAllocationUnits.QuadPart - 3);

    FSP_VOLUME* volume = MountedVolume();
    const LONGLONG left = QuerySize(file).AvailableAllocationUnits.QuadPart;
    EXPECT_EQ(FsAdjustFreeSpace(volume, left - 1), left - 1);
    EXPECT_EQ(QuerySize(file).AvailableAllocationUnits.QuadPart, 1);
    EXPECT_EQ(Write(file, data.size(), data.data(), 4096 * 2), STATUS_DISK_FULL);
    EXPECT_EQ(QuerySize(file).AvailableAllocationUnits.QuadPart, 1)
        << "a refused write allocates nothing";
    EXPECT_EQ(FsAdjustFreeSpace(volume, -(left - 1)), left - 1);
    EXPECT_EQ(QuerySize(file).AvailableAllocationUnits.QuadPart, left);

    HANDLE again = nullptr;
    ASSERT_EQ(Open(u"\\grow.bin", &again, FILE_OVERWRITE), STATUS_SUCCESS);
    EXPECT_EQ(QuerySize(again).AvailableAllocationUnits.QuadPart,
              before.AvailableAllocationUnits.QuadPart)
        << "overwriting frees the file's clusters";
    ZwClose(again);
    ZwClose(file);
}

// Reads the pointer at Offset of the control block of Volume's file system.
PVOID ControlBlockPointer(PDEVICE_OBJECT FsDevice, SIZE_T Offset) {
    PVOID value;
    // The platform's offsets count 4-byte slots; the host's slots are pointers.
    const SIZE_T hostOffset = Offset / 4 * sizeof(PVOID);
    std::memcpy(&value, reinterpret_cast<PUCHAR>(FsDevice) + NTFS_VCB_DEVICE_OFFSET + hostOffset,
                sizeof(value));
    return value;
}

struct Layout {
    ULONG Build;
    const WCHAR* Csd;
    SIZE_T FileA, FileB, Scb; // x86 byte offsets, scaled to pointer slots below
};

// Test listings name a layout by its offsets instead of dumping its bytes.
void PrintTo(const Layout& L, std::ostream* Out) {
    *Out << "offsets 0x" << std::hex << L.FileA << ", 0x" << L.FileB << ", 0x" << L.Scb;
}

class ControlBlockTest : public FsTest, public ::testing::WithParamInterface<Layout> {
  protected:
    void SetUp() override {
        Config.BuildNumber = GetParam().Build;
        Config.CsdVersion = GetParam().Csd;
        FsTest::SetUp();
    }
};

TEST_P(ControlBlockTest, NtControlBlockNamesTheInternalStreamWhereTheBuildKeepsIt) {
    HANDLE file = Create(u"\\x.txt");
    PDEVICE_OBJECT fsDevice = Volume->Vpb->DeviceObject;
    ASSERT_NE(fsDevice, nullptr);
    EXPECT_EQ(std::u16string(fsDevice->DriverObject->DriverName.Buffer,
                             fsDevice->DriverObject->DriverName.Length / sizeof(WCHAR)),
              u"\\FileSystem\\Ntfs");
    USHORT nodeType;
    std::memcpy(&nodeType, reinterpret_cast<PUCHAR>(fsDevice) + NTFS_VCB_DEVICE_OFFSET,
                sizeof(nodeType));
    EXPECT_EQ(nodeType, NTFS_NTC_VCB);
    auto a = static_cast<PFILE_OBJECT>(ControlBlockPointer(fsDevice, GetParam().FileA));
    auto b = static_cast<PFILE_OBJECT>(ControlBlockPointer(fsDevice, GetParam().FileB));
    PVOID s = ControlBlockPointer(fsDevice, GetParam().Scb);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->FsContext, s);

    // The file system's own metadata goes through that stream whenever a
    // file is created or grows.
    TakeSeen();
    HANDLE created = Create(u"\\y.txt");
    std::vector<UCHAR> data(10000, 3);
    ASSERT_EQ(Write(created, 0, data.data(), static_cast<ULONG>(data.size())), STATUS_SUCCESS);
    ULONG metadataWrites = 0;
    for (const ObservedRequest& seen : TakeSeen()) {
        if (seen.Major == IRP_MJ_WRITE && seen.FsContext == s) {
            metadataWrites++;
            EXPECT_EQ(seen.FileObject, a);
        }
    }
    EXPECT_EQ(metadataWrites, 2u) << "one for the create, one for the growth";
    ZwClose(created);
    ZwClose(file);
}

INSTANTIATE_TEST_SUITE_P(Builds, ControlBlockTest,
                         ::testing::Values(Layout{2195, u"Service Pack 4", 0x5C, 0x5C, 0x1C},
                                           Layout{2194, u"Service Pack 4", 0x44, 0x44, 0x18},
                                           Layout{2194, u"Service Pack 3", 0x3C, 0x40, 0x18}),
                         [](const auto& info) {
                             return "Build" + std::to_string(info.param.Build) + "Sp" +
                                    std::to_string(info.param.Csd[13] - u'0');
                         });

class FatVolumeTest : public FsTest {
  protected:
    void SetUp() override {
        FileSystemName = u"Fastfat";
        FsTest::SetUp();
    }
};

TEST_F(FatVolumeTest, OtherFileSystemsCarryNoNtControlBlock) {
    HANDLE file = Create(u"\\x.txt");
    PDEVICE_OBJECT fsDevice = Volume->Vpb->DeviceObject;
    EXPECT_EQ(std::u16string(fsDevice->DriverObject->DriverName.Buffer,
                             fsDevice->DriverObject->DriverName.Length / sizeof(WCHAR)),
              u"\\FileSystem\\Fastfat");
    USHORT nodeType;
    std::memcpy(&nodeType, reinterpret_cast<PUCHAR>(fsDevice) + NTFS_VCB_DEVICE_OFFSET,
                sizeof(nodeType));
    EXPECT_NE(nodeType, NTFS_NTC_VCB);
    ZwClose(file);
}

} // namespace
