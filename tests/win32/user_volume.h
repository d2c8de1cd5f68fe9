// user_volume.h - a volume T: with the file system mounted, for user
// programs that work with files. Plain types only, beside windows.h.
#pragma once

struct TestVolume;
// In the test's initial thread after TestLoadControlDriver.
TestVolume* TestMountVolume();
// The volume's "\??\Volume{GUID}" name, as the disk gave it.
const char16_t* TestVolumeGuidName(TestVolume* Volume);
// Unloads the file system (no file may be open) and removes the volume.
void TestUnmountVolume(TestVolume* Volume);
