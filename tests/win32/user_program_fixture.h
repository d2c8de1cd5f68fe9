// user_program_fixture.h - runs each user-mode test in a fresh kernel with the
// test driver loaded; UserVolumeTest also mounts the volume T: for the test.
#pragma once

#include "ntos/kernel_fixture.h"
#include "user_mode_driver.h"
#include "user_volume.h"

class UserProgramTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        TestLoadControlDriver();
    }
    void TearDown() override {
        KernelTest::TearDown();
        TestStopIo();
    }
};

class UserVolumeTest : public UserProgramTest {
  protected:
    void SetUp() override {
        UserProgramTest::SetUp();
        Volume = TestMountVolume();
    }
    void TearDown() override {
        TestUnmountVolume(Volume);
        UserProgramTest::TearDown();
    }
    TestVolume* Volume = nullptr;
};
