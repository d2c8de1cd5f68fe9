// scenario_fixture.h - a machine with the driver installed by the install
// library on a running system and then restarted, so that boot loaded it:
// C: (8 MiB, 512-byte sectors), a read-only D: (4 MiB, 4096-byte sectors)
// and a volume without a letter, with the NT file system.
#pragma once

#include "agent_side.h"
#include "host/qvdnt5_module.h"
#include "ntos/boot/machine.h"
#include "ntos/disk/disk.h"
#include "ntos/evlog/evlp.h"

#include <gtest/gtest.h>

#include <vector>

class BootWithDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterQvdnt5Module();
        BOOT_MACHINE_DESCRIPTION description;
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"C:", 8 << 20, 512, FALSE});
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"D:", 4 << 20, 4096, TRUE});
        description.Storage.push_back(BOOT_STORAGE_DEVICE{u"", 2 << 20, 512, FALSE});
        Describe(description);
        Machine = BootCreateMachine(description);

        ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
        ASSERT_EQ(InstallForProduct(1), 0);
        ShutDownQvdnt5Machine(Machine);
        ASSERT_EQ(BootMachine(Machine), STATUS_SUCCESS);
        ASSERT_TRUE(Qvdnt5Loaded(Machine));
    }

    void TearDown() override {
        if (Machine->Running) {
            ShutDownQvdnt5Machine(Machine);
        }
        EvlpResetEventLog();
        BootDestroyMachine(Machine);
        UnregisterQvdnt5Module();
    }

    // Lets a test change the machine before it is created.
    virtual void Describe(BOOT_MACHINE_DESCRIPTION& Description) {}

    // The machine's volumes in the order of the description.
    std::vector<PDEVICE_OBJECT> Volumes() {
        std::vector<PDEVICE_OBJECT> volumes;
        for (PCWSTR name : {u"\\Device\\HarddiskVolume1", u"\\Device\\HarddiskVolume2",
                            u"\\Device\\HarddiskVolume3"}) {
            volumes.push_back(DiskFindVolume(name));
        }
        return volumes;
    }

    PBOOT_MACHINE Machine = nullptr;
};
