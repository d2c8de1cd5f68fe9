// The service control manager: what it writes, its error codes, and deletion
// on the last handle.
#include "expect_bugcheck.h"
#include "machine_fixture.h"

namespace {

class ServicesTest : public MachineTest {
  protected:
    SC_HANDLE CreateDriver(SC_HANDLE Manager, PCWSTR Name, PCWSTR Display) {
        return CreateServiceW(Manager, Name, Display, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                              SERVICE_BOOT_START, SERVICE_ERROR_IGNORE,
                              u"%SystemRoot%\\system32\\drivers\\x.sys", u"Filter", nullptr,
                              nullptr, nullptr, nullptr);
    }
    const std::u16string Key = u"SYSTEM\\CurrentControlSet\\Services\\Drv";
};

TEST_F(ServicesTest, CreateWritesTheServiceValuesWithTheirTypes) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateDriver(manager, u"Drv", u"A Driver");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(Stored(Key, u"Type").Dword(), ULONG{SERVICE_KERNEL_DRIVER});
    EXPECT_EQ(Stored(Key, u"Start").Dword(), ULONG{SERVICE_BOOT_START});
    EXPECT_EQ(Stored(Key, u"ErrorControl").Dword(), ULONG{SERVICE_ERROR_IGNORE});
    EXPECT_EQ(Stored(Key, u"ImagePath").Type, ULONG{REG_EXPAND_SZ});
    EXPECT_EQ(Stored(Key, u"ImagePath").Text(),
              std::u16string(u"%SystemRoot%\\system32\\drivers\\x.sys", 36));
    EXPECT_EQ(Stored(Key, u"Group").Type, ULONG{REG_SZ});
    EXPECT_EQ(Stored(Key, u"Group").Text(), std::u16string(u"Filter", 7));
    EXPECT_EQ(Stored(Key, u"DisplayName").Text(), std::u16string(u"A Driver", 9));
    EXPECT_EQ(Stored(Key, u"ObjectName").Status, STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(CreateDriver(manager, u"DRV", u"Other"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_EXISTS});
    EXPECT_EQ(CreateDriver(manager, u"Second", u"a driver"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_DUPLICATE_SERVICE_NAME});
    EXPECT_EQ(CreateServiceW(manager, u"Proc", nullptr, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START, SERVICE_ERROR_NORMAL,
                             u"p.exe", nullptr, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << "boot start is for drivers only";
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(ServicesTest, AKeyWithoutTypeIsNoServiceAndIsCompletedByCreate) {
    ULONG mask = 1;
    Store(Key + u"\\Setup", u"Products", REG_DWORD, &mask, 4);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    EXPECT_EQ(OpenServiceW(manager, u"Drv", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    SC_HANDLE service = CreateDriver(manager, u"Drv", u"D");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(Stored(Key + u"\\Setup", u"Products").Dword(), 1u)
        << "create keeps what the key held";
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(ServicesTest, ChangeConfigRewritesOnlyWhatIsGiven) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    CloseServiceHandle(CreateDriver(manager, u"Drv", u"D"));
    SC_HANDLE service = OpenServiceW(manager, u"drv", SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                     SERVICE_NO_CHANGE, nullptr, u"", nullptr, nullptr, nullptr,
                                     nullptr, u"New Name"));
    EXPECT_EQ(Stored(Key, u"Start").Dword(), ULONG{SERVICE_DEMAND_START});
    EXPECT_EQ(Stored(Key, u"ErrorControl").Dword(), ULONG{SERVICE_ERROR_IGNORE});
    EXPECT_EQ(Stored(Key, u"Group").Status, STATUS_OBJECT_NAME_NOT_FOUND)
        << "an empty group removes it";
    EXPECT_EQ(Stored(Key, u"DisplayName").Text(), std::u16string(u"New Name", 9));
    EXPECT_FALSE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, 7, SERVICE_NO_CHANGE, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(ServicesTest, DeletedServiceGoesWithItsLastHandle) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE first = CreateDriver(manager, u"Drv", u"D");
    SC_HANDLE second = OpenServiceW(manager, u"Drv", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(DeleteService(first));
    EXPECT_EQ(Stored(Key, u"DeleteFlag").Dword(), 1u);
    EXPECT_FALSE(DeleteService(second));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_MARKED_FOR_DELETE});
    EXPECT_EQ(CreateDriver(manager, u"Drv", u"D"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_MARKED_FOR_DELETE});
    EXPECT_FALSE(ChangeServiceConfigW(second, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                      SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_MARKED_FOR_DELETE});
    CloseServiceHandle(first);
    EXPECT_TRUE(KeyExists(Key)) << "another handle is still open";
    CloseServiceHandle(second);
    EXPECT_FALSE(KeyExists(Key));
    EXPECT_FALSE(CloseServiceHandle(second));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    CloseServiceHandle(manager);
}

TEST_F(ServicesTest, StoreFailuresBecomeServiceErrors) {
    Fail(CmOperationOpenKey, u"SYSTEM\\CurrentControlSet\\Services");
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    CmpClearInjectedFailures(Registry);

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    Fail(CmOperationSetValue, Key, u"Start");
    EXPECT_EQ(CreateDriver(manager, u"Drv", u"D"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(OpenServiceW(manager, u"Drv", SERVICE_ALL_ACCESS), nullptr)
        << "a half-written service does not exist";
    CloseServiceHandle(manager);
}

TEST(ServicesDeathTest, UnemulatedFeaturesAreRefusedLoudly) {
    EXPECT_BUGCHECK(OpenSCManagerW(u"\\\\remote", nullptr, SC_MANAGER_ALL_ACCESS),
                    DRIVER_VERIFIER_DETECTED_VIOLATION,
                    "only the local machine's manager is emulated");
}

} // namespace
