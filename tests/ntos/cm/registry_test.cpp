// The registry store: paths, values, deletion, injection, lifetime.
#include "expect_bugcheck.h"
#include "bugcodes.h"
#include "ntos/cm/cmp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class RegistryTest : public testing::Test {
  protected:
    void SetUp() override { Registry = CmpCreateRegistry(); }
    void TearDown() override { CmpDestroyRegistry(Registry); }

    PCM_KEY Create(PCWSTR Path) {
        PCM_KEY key = nullptr;
        EXPECT_EQ(CmpCreateKey(Registry, nullptr, Path, &key, nullptr), STATUS_SUCCESS);
        return key;
    }

    PCM_REGISTRY Registry = nullptr;
};

TEST_F(RegistryTest, OpenReportsMissingAndMalformedPaths) {
    PCM_KEY key = nullptr;
    EXPECT_EQ(CmpOpenKey(Registry, nullptr, u"MACHINE\\Nowhere", &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CmpOpenKey(Registry, nullptr, u"MACHINE\\\\SYSTEM", &key),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(CmpOpenKey(Registry, nullptr, u"\\MACHINE", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(CmpCreateKey(Registry, nullptr, u"MACHINE\\A\\", &key, nullptr),
              STATUS_OBJECT_NAME_INVALID);
    PCM_KEY machine = Create(u"MACHINE");
    ASSERT_EQ(CmpOpenKey(Registry, machine, u"", &key), STATUS_SUCCESS);
    EXPECT_EQ(key, machine);
    CmpDereferenceKey(key);
    CmpDereferenceKey(machine);
}

TEST_F(RegistryTest, ValuesKeepTypeAndBytesAndReportSizes) {
    PCM_KEY key = Create(u"MACHINE\\K");
    const UCHAR odd[3] = {1, 2, 3};
    ASSERT_EQ(CmpSetValue(key, u"Filters", REG_MULTI_SZ, odd, 3), STATUS_SUCCESS);
    ULONG type = 0;
    ULONG size = 0;
    ASSERT_EQ(CmpQueryValue(key, u"FILTERS", &type, nullptr, &size), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG{REG_MULTI_SZ});
    EXPECT_EQ(size, 3u);

    UCHAR small[2] = {0xEE, 0xEE};
    size = sizeof(small);
    EXPECT_EQ(CmpQueryValue(key, u"Filters", &type, small, &size), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(small[0], 0xEE) << "a refused read must not write into the caller's buffer";

    UCHAR big[8] = {};
    size = sizeof(big);
    ASSERT_EQ(CmpQueryValue(key, u"Filters", &type, big, &size), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(big, odd, 3), 0);

    ASSERT_EQ(CmpSetValue(key, nullptr, REG_SZ, u"d", 4), STATUS_SUCCESS);
    size = sizeof(big);
    EXPECT_EQ(CmpQueryValue(key, u"", &type, big, &size), STATUS_SUCCESS)
        << "null and empty name are the default value";

    EXPECT_EQ(CmpDeleteValue(key, u"FILTERS"), STATUS_SUCCESS);
    EXPECT_EQ(CmpQueryValue(key, u"Filters", &type, nullptr, &size), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CmpDeleteValue(key, u"Filters"), STATUS_OBJECT_NAME_NOT_FOUND);
    CmpDereferenceKey(key);
}

TEST_F(RegistryTest, DeletedKeysLeaveTheTreeButStayValidForHolders) {
    PCM_KEY parent = Create(u"MACHINE\\P");
    PCM_KEY child = Create(u"MACHINE\\P\\C");
    ASSERT_EQ(CmpDeleteKey(child), STATUS_SUCCESS);
    EXPECT_EQ(CmpDeleteKey(child), STATUS_KEY_DELETED);
    CmpDereferenceKey(child);
    ULONG size = 0;
    PCM_KEY again = nullptr;

    PCM_KEY deep = Create(u"MACHINE\\P\\X\\Y\\Z");
    ASSERT_EQ(CmpDeleteKeyTree(parent), STATUS_SUCCESS);
    EXPECT_EQ(CmpQueryValue(deep, u"v", nullptr, nullptr, &size), STATUS_KEY_DELETED);
    EXPECT_EQ(CmpOpenKey(Registry, nullptr, u"MACHINE\\P", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    CmpDereferenceKey(deep);
    CmpDereferenceKey(parent);

    PCM_KEY machine = Create(u"MACHINE");
    EXPECT_EQ(CmpDeleteKeyTree(machine), STATUS_ACCESS_DENIED);
    CmpDereferenceKey(machine);
}

TEST_F(RegistryTest, InjectedFailuresHitOnlyTheirTargetAfterTheSkip) {
    PCM_KEY key = Create(u"MACHINE\\Svc");
    CmpInjectFailure(Registry, CmOperationQueryValue, u"machine\\svc", u"Filters",
                     STATUS_ACCESS_DENIED, 1);
    ULONG dword = 1;
    ASSERT_EQ(CmpSetValue(key, u"Filters", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    ASSERT_EQ(CmpSetValue(key, u"Other", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    ULONG size = 4;
    EXPECT_EQ(CmpQueryValue(key, u"Filters", nullptr, &dword, &size), STATUS_SUCCESS) << "skipped";
    EXPECT_EQ(CmpQueryValue(key, u"FILTERS", nullptr, &dword, &size), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CmpQueryValue(key, u"Filters", nullptr, &dword, &size), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CmpQueryValue(key, u"Other", nullptr, &dword, &size), STATUS_SUCCESS);

    CmpInjectFailure(Registry, CmOperationCreateKey, u"MACHINE\\Svc\\Setup", nullptr,
                     STATUS_ACCESS_DENIED);
    PCM_KEY setup = nullptr;
    EXPECT_EQ(CmpCreateKey(Registry, key, u"Setup", &setup, nullptr), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CmpOpenKey(Registry, nullptr, u"MACHINE\\Svc\\Setup", &setup),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "a refused create creates nothing";
    CmpClearInjectedFailures(Registry);
    EXPECT_EQ(CmpQueryValue(key, u"Filters", nullptr, &dword, &size), STATUS_SUCCESS);
    CmpDereferenceKey(key);
}

TEST_F(RegistryTest, ConcurrentWritersAndReadersSeeWholeValues) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; ++i) {
                PCM_KEY key = nullptr;
                std::u16string path = u"MACHINE\\T" + std::u16string(1, char16_t(u'0' + (i % 3)));
                ASSERT_EQ(CmpCreateKey(Registry, nullptr, path.c_str(), &key, nullptr),
                          STATUS_SUCCESS);
                ULONG pattern[4] = {ULONG(t), ULONG(t), ULONG(t), ULONG(t)};
                // Another thread may delete the key between our create and use.
                NTSTATUS set = CmpSetValue(key, u"v", REG_BINARY, pattern, sizeof(pattern));
                ASSERT_TRUE(set == STATUS_SUCCESS || set == STATUS_KEY_DELETED);
                ULONG got[4] = {};
                ULONG size = sizeof(got);
                NTSTATUS query = CmpQueryValue(key, u"v", nullptr, got, &size);
                if (query == STATUS_SUCCESS) {
                    EXPECT_TRUE(got[0] == got[1] && got[1] == got[2] && got[2] == got[3])
                        << "torn value";
                } else {
                    EXPECT_EQ(query, STATUS_KEY_DELETED);
                }
                if (i % 50 == 49) {
                    CmpDeleteKeyTree(key);
                }
                CmpDereferenceKey(key);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
}

TEST_F(RegistryTest, SystemHiveHoldsTheServiceDatabaseAndDeviceClasses) {
    CmpInitializeSystemHive(Registry);
    PCM_KEY key = nullptr;
    ASSERT_EQ(CmpOpenKey(Registry, nullptr,
                         u"MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{71a27cdd-812a-11d0-"
                         u"bec7-08002be2092f}",
                         &key),
              STATUS_SUCCESS);
    WCHAR name[16] = {};
    ULONG size = sizeof(name);
    ASSERT_EQ(CmpQueryValue(key, u"Class", nullptr, name, &size), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Volume");
    CmpDereferenceKey(key);
    ASSERT_EQ(CmpOpenKey(Registry, nullptr,
                         u"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", &key),
              STATUS_SUCCESS);
    CmpDereferenceKey(key);
}

using RegistryDeathTest = RegistryTest;

TEST_F(RegistryDeathTest, MisuseIsABugCheck) {
    PCM_KEY key = Create(u"MACHINE");
    ULONG q = 0;
    EXPECT_BUGCHECK(CmpSetValue(key, u"q", 11 /* REG_QWORD */, &q, 4),
                    DRIVER_VERIFIER_DETECTED_VIOLATION, "registry value type is not emulated");
    EXPECT_BUGCHECK(CmpDestroyRegistry(Registry), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "registry destroyed while keys are still open");
    // Released once more than opened, while another key is still open.
    PCM_KEY other = Create(u"MACHINE\\Other");
    CmpDereferenceKey(key);
    EXPECT_BUGCHECK(CmpDereferenceKey(key), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "released more often than opened");
    CmpDereferenceKey(other);
}

} // namespace
