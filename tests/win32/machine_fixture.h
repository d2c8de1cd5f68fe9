// machine_fixture.h - a test fixture for user-mode code: a running kernel of a
// chosen version and a fresh registry with a freshly installed system's keys,
// active for the win32 routines. Every win32 handle must be closed by the end
// of the test.
#pragma once

#include "ntos/cm/cmp.h"
#include "ntos/kernel_fixture.h"
#include "win32/debug_output.h"
#include "win32/handle_count.h"
#include "windows.h"

#include <string>
#include <vector>

class MachineTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        Registry = CmpCreateRegistry();
        CmpInitializeSystemHive(Registry);
        CmpSetActiveRegistry(Registry);
        BasepClearDebugOutput();
        HandlesAtStart = BasepOpenHandleCount();
    }

    void TearDown() override {
        EXPECT_EQ(BasepOpenHandleCount(), HandlesAtStart) << "win32 handles left open";
        CmpSetActiveRegistry(nullptr);
        CmpDestroyRegistry(Registry);
        KernelTest::TearDown();
    }

    struct StoredValue {
        NTSTATUS Status = STATUS_OBJECT_NAME_NOT_FOUND;
        ULONG Type = 0;
        std::vector<UCHAR> Data;
        ULONG Dword() const { return Data.size() == 4 ? *reinterpret_cast<const ULONG*>(Data.data()) : ~0u; }
        std::u16string Text() const {
            return std::u16string(reinterpret_cast<const char16_t*>(Data.data()), Data.size() / 2);
        }
    };

    // Reads a value straight from the store; Path is below HKEY_LOCAL_MACHINE.
    StoredValue Stored(const std::u16string& Path, PCWSTR Name) {
        StoredValue v;
        PCM_KEY key = nullptr;
        v.Status = CmpOpenKey(Registry, nullptr, (u"MACHINE\\" + Path).c_str(), &key);
        if (v.Status != STATUS_SUCCESS) {
            return v;
        }
        ULONG size = 0;
        v.Status = CmpQueryValue(key, Name, &v.Type, nullptr, &size);
        if (v.Status == STATUS_SUCCESS) {
            v.Data.resize(size);
            v.Status = CmpQueryValue(key, Name, &v.Type, v.Data.data(), &size);
        }
        CmpDereferenceKey(key);
        return v;
    }

    void Store(const std::u16string& Path, PCWSTR Name, ULONG Type, const void* Data, ULONG Size) {
        PCM_KEY key = nullptr;
        ASSERT_EQ(CmpCreateKey(Registry, nullptr, (u"MACHINE\\" + Path).c_str(), &key, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(CmpSetValue(key, Name, Type, Data, Size), STATUS_SUCCESS);
        CmpDereferenceKey(key);
    }

    bool KeyExists(const std::u16string& Path) {
        PCM_KEY key = nullptr;
        if (CmpOpenKey(Registry, nullptr, (u"MACHINE\\" + Path).c_str(), &key) != STATUS_SUCCESS) {
            return false;
        }
        CmpDereferenceKey(key);
        return true;
    }

    // Fails Operation on the key at Path (below HKEY_LOCAL_MACHINE).
    void Fail(CM_OPERATION Operation, const std::u16string& Path, PCWSTR Value = nullptr, ULONG Skip = 0,
              NTSTATUS Status = STATUS_ACCESS_DENIED) {
        CmpInjectFailure(Registry, Operation, (u"MACHINE\\" + Path).c_str(), Value, Status, Skip);
    }

    PCM_REGISTRY Registry = nullptr;
    ULONG HandlesAtStart = 0;
};
