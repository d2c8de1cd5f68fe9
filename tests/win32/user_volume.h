// user_volume.h - a volume T: with the file system mounted, for user
// programs that work with files. Plain types only, beside windows.h.
#pragma once

struct TestVolume;
// In the test's initial thread after TestLoadControlDriver.
TestVolume* TestMountVolume();
// Unloads the file system (no file may be open) and removes the volume.
void TestUnmountVolume(TestVolume* Volume);
