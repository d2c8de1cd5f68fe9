// user_volume.cpp - the kernel side of user_volume.h.
#include "user_volume.h"
#include "ntos/disk/disk.h"
#include "ntos/fs/fsp.h"
#include "ntos/remove_volume.h"

#include <gtest/gtest.h>

struct TestVolume {
    PDEVICE_OBJECT Pdo;
    PDRIVER_OBJECT FileSystem;
    std::u16string GuidName;
};

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
    TestRemoveVolume(Volume->Pdo);
    delete Volume;
}
