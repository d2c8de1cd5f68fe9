// control_test.cpp - the device-control requests of a volume and their
// short-buffer answers, read-only volumes and the CD-ROM drive.
#include "disk_fixture.h"
#include "mountdev.h"
#include "ntdddisk.h"

namespace {

TEST_F(DiskTest, GeometryDescribesTheVolumeAndShortBuffersAreTooSmall) {
    PDEVICE_OBJECT pdo = Create(Config(255ULL * 63 * 4096 * 10, 4096));
    DISK_GEOMETRY geometry = {};
    IO_STATUS_BLOCK iosb = Control(pdo, IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof(geometry));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 24u);
    EXPECT_EQ(geometry.MediaType, FixedMedia);
    EXPECT_EQ(geometry.Cylinders.QuadPart * geometry.TracksPerCylinder * geometry.SectorsPerTrack,
              255LL * 63 * 10);

    UCHAR small[23];
    iosb = Control(pdo, IOCTL_DISK_GET_DRIVE_GEOMETRY, small, sizeof(small));
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(iosb.Information, 0u);
}

TEST_F(DiskTest, PartitionInfoDescribesAnInstallableFileSystemPartition) {
    PDEVICE_OBJECT pdo = Create(Config(48ULL << 20));
    UCHAR raw[32];
    std::memset(raw, 0xCC, sizeof(raw));
    IO_STATUS_BLOCK iosb = Control(pdo, IOCTL_DISK_GET_PARTITION_INFO, raw, sizeof(raw));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 32u);
    auto* info = reinterpret_cast<PPARTITION_INFORMATION>(raw);
    EXPECT_EQ(info->PartitionType, PARTITION_IFS);
    EXPECT_TRUE(info->RecognizedPartition);
    EXPECT_EQ(static_cast<ULONGLONG>(info->StartingOffset.QuadPart),
              static_cast<ULONGLONG>(info->HiddenSectors) * 512);

    iosb = Control(pdo, IOCTL_DISK_GET_PARTITION_INFO, raw, 31);
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(iosb.Information, 0u);
}

TEST_F(DiskTest, DeviceNameQueryAnswersFullAndShortBuffersAsTheMountManagerExpects) {
    Create(Config(1 << 20));
    PDEVICE_OBJECT pdo = Create(Config(1 << 20));
    const std::u16string expected = u"\\Device\\HarddiskVolume2";
    const USHORT nameBytes = static_cast<USHORT>(expected.size() * sizeof(WCHAR));

    std::vector<UCHAR> buffer(256);
    IO_STATUS_BLOCK iosb = Control(pdo, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, buffer.data(), 256);
    auto* name = reinterpret_cast<PMOUNTDEV_NAME>(buffer.data());
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 2u + nameBytes);
    EXPECT_EQ(name->NameLength, nameBytes);
    EXPECT_EQ(std::u16string(name->Name, name->NameLength / sizeof(WCHAR)), expected);

    // Room for the record but not the name: the needed length and overflow.
    std::memset(buffer.data(), 0, buffer.size());
    iosb = Control(pdo, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, buffer.data(), sizeof(MOUNTDEV_NAME));
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(iosb.Information, sizeof(MOUNTDEV_NAME));
    EXPECT_EQ(name->NameLength, nameBytes);
    // One byte short of the name is still an overflow.
    iosb = Control(pdo, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, buffer.data(), 2u + nameBytes - 1);
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_OVERFLOW);

    // Not even the record fits.
    iosb = Control(pdo, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, buffer.data(), sizeof(MOUNTDEV_NAME) - 1);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(iosb.Information, 0u);
}

TEST_F(DiskTest, EveryVolumeHasAVolumeGuidLinkOfItsOwn) {
    DISK_VOLUME_CONFIG lettered = Config(1 << 20);
    lettered.DriveLetter = u"E:";
    DISK_VOLUME_CONFIG cdromConfig = Config(2048 * 16);
    cdromConfig.CdRom = TRUE;
    const std::vector<PDEVICE_OBJECT> pdos = {Create(lettered), Create(Config(1 << 20)),
                                              Create(cdromConfig)};
    std::vector<std::u16string> names;
    for (PDEVICE_OBJECT pdo : pdos) {
        const std::u16string name = DiskQueryVolumeGuidName(pdo);
        // \??\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, lowercase hex
        ASSERT_EQ(name.size(), 48u) << "got " << std::string(name.begin(), name.end());
        EXPECT_EQ(name.substr(0, 11), u"\\??\\Volume{");
        EXPECT_EQ(name.back(), u'}');
        for (size_t i : {19u, 24u, 29u, 34u}) {
            EXPECT_EQ(name[i], u'-') << "at " << i;
        }
        EXPECT_EQ(DiskFindVolume(name.c_str()), pdo) << "the GUID link reaches its volume";
        names.push_back(name);
    }
    EXPECT_NE(names[0], names[1]);
    EXPECT_NE(names[1], names[2]);
    EXPECT_EQ(DiskFindVolume(u"\\DosDevices\\E:"), pdos[0]) << "the drive letter stays";

    // A removed volume loses its GUID link with its drive letter.
    Remove(pdos[0]);
    EXPECT_EQ(DiskFindVolume(names[0].c_str()), nullptr);
}

TEST_F(DiskTest, ReadOnlyVolumeRefusesWritesAsProtectedMedia) {
    DISK_VOLUME_CONFIG config = Config(1 << 20);
    config.ReadOnly = TRUE;
    PDEVICE_OBJECT pdo = Create(config);
    EXPECT_TRUE(pdo->Characteristics & FILE_READ_ONLY_DEVICE);
    std::vector<UCHAR> data(512, 0x77);
    EXPECT_EQ(Write(pdo, 0, data.data(), 512).Status, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(Read(pdo, 0, data.data(), 512).Status, STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<UCHAR>(512));
    // Clearing the injected protection does not make a read-only device writable.
    DiskSetWriteProtected(pdo, FALSE);
    EXPECT_EQ(Write(pdo, 0, data.data(), 512).Status, STATUS_MEDIA_WRITE_PROTECTED);
}

TEST_F(DiskTest, CdRomHasItsOwnNameLetterAndSectorsAndIsReadOnly) {
    DISK_VOLUME_CONFIG config = Config(2048 * 100);
    config.CdRom = TRUE;
    config.DriveLetter = u"d:";
    PDEVICE_OBJECT cdrom = Create(config);
    DISK_VOLUME_CONFIG volumeConfig = Config(1 << 20);
    volumeConfig.DriveLetter = u"C:";
    PDEVICE_OBJECT volume = Create(volumeConfig);

    EXPECT_EQ(DiskFindVolume(u"\\Device\\CdRom0"), cdrom);
    EXPECT_EQ(DiskFindVolume(u"\\DosDevices\\D:"), cdrom);
    EXPECT_EQ(DiskFindVolume(u"\\??\\C:"), volume);
    EXPECT_EQ(DiskFindVolume(u"\\Device\\HarddiskVolume1"), volume);
    EXPECT_EQ(cdrom->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_CD_ROM));
    EXPECT_TRUE(cdrom->Characteristics & FILE_READ_ONLY_DEVICE);
    EXPECT_TRUE(cdrom->Characteristics & FILE_REMOVABLE_MEDIA);
    ASSERT_NE(cdrom->Vpb, nullptr);
    EXPECT_EQ(cdrom->Vpb->RealDevice, cdrom);
    EXPECT_EQ(cdrom->SectorSize, 2048);

    std::vector<UCHAR> data(2048);
    EXPECT_EQ(Read(cdrom, 2048, data.data(), 2048).Status, STATUS_SUCCESS);
    EXPECT_EQ(Read(cdrom, 512, data.data(), 512).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Write(cdrom, 0, data.data(), 2048).Status, STATUS_MEDIA_WRITE_PROTECTED);
    DISK_GEOMETRY geometry = {};
    EXPECT_EQ(Control(cdrom, IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof(geometry)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(geometry.BytesPerSector, 2048u);
    EXPECT_EQ(geometry.MediaType, RemovableMedia);
}

TEST_F(DiskTest, InvalidConfigurationsAreRefused) {
    PDEVICE_OBJECT pdo;
    EXPECT_EQ(DiskCreateVolume(Config(1 << 20, 1024), &pdo), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DiskCreateVolume(Config(4096 * 3 + 512, 4096), &pdo), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DiskCreateVolume(Config(0), &pdo), STATUS_INVALID_PARAMETER);
    DISK_VOLUME_CONFIG config = Config(1 << 20);
    config.DriveLetter = u"CC";
    EXPECT_EQ(DiskCreateVolume(config, &pdo), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pdo, nullptr);
}

} // namespace
