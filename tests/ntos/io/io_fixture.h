// io_fixture.h - a fixture that runs each I/O manager test in a fresh kernel
// with the test driver loaded, and checks on the way out that no request or
// pool block leaked.
#pragma once

#include "expect_bugcheck.h"

#include "ntos/kernel_fixture.h"
#include "ntos/ex/exp.h"
#include "ntos/io/iop.h"
#include "testdrv.h"

#include <initializer_list>
#include <vector>

class IoTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        IopInitialize();
        ASSERT_EQ(IopLoadDriver(u"IoTestDrv", TestDriverEntry, &Driver), STATUS_SUCCESS);
    }

    void TearDown() override {
        // Devices go top of stack first, each detached from the one below.
        while (Driver->DeviceObject != nullptr) {
            PDEVICE_OBJECT device = Driver->DeviceObject;
            while (device->AttachedDevice != nullptr) {
                device = device->AttachedDevice;
            }
            if (IopGetLowerDevice(device) != nullptr) {
                IoDetachDevice(IopGetLowerDevice(device));
            }
            IoDeleteDevice(device);
        }
        IopVerifyNoLeakedIrps();
        IopUnloadDriver(Driver);
        IopShutdown();
        ExpVerifyNoPoolLeaks();
        KernelTest::TearDown();
    }

    // Builds a stack from the bottom up; returns the devices bottom first.
    std::vector<PDEVICE_OBJECT> Stack(std::initializer_list<TestAction> Actions, ULONG Flags = 0) {
        std::vector<PDEVICE_OBJECT> devices;
        for (TestAction action : Actions) {
            PDEVICE_OBJECT device = TestCreateDevice(Driver, nullptr, action, Flags);
            if (!devices.empty()) {
                TestAttach(device, devices.back());
            }
            devices.push_back(device);
        }
        return devices;
    }

    PDRIVER_OBJECT Driver = nullptr;
};
