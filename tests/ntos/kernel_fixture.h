// kernel_fixture.h - a test fixture that runs each test in a freshly started
// emulated kernel; the test body runs as the initial thread of the System
// process. A derived fixture may change Config before SetUp runs.
#pragma once

#include "ntos/ke/kernel.h"

#include <gtest/gtest.h>

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { KiStartKernel(Config); }
    void TearDown() override { KiStopKernel(); }

    KernelConfig Config;
};
