// Installing and uninstalling for one or several products, by system version.
#include "installer_fixture.h"

namespace {

using Lines = std::vector<std::u16string>;

// The values written for each version are checked on Windows itself (the
// Wine runs); here, what the library reports and that NT 4 has no filter.
TEST_F(Nt4Test, InstallTouchesNoFilter) {
    StoreFilters(List({u"Filter7"}));
    ASSERT_EQ(QVDInstall(1), 0);
    EXPECT_EQ(Filters().Text(), List({u"Filter7"}));
    EXPECT_EQ(Debug(), (Lines{Nt4Line, u"Service installed\n", Nt4Line}));

    BasepClearDebugOutput();
    ASSERT_EQ(QVDUninstall(1), 0);
    EXPECT_FALSE(KeyExists(ServiceKey));
    EXPECT_EQ(Filters().Text(), List({u"Filter7"}));
    EXPECT_EQ(Debug(), (Lines{Nt4Line, u"Service uninstalled\n"}));
}

TEST_F(Nt5Test, ProductNumbersMapToMaskBits) {
    for (auto [product, bit] :
         {std::pair<DWORD, ULONG>{1, 1u}, {32, 0x80000000u}, {0, 0x80000000u}, {33, 1u}}) {
        ASSERT_EQ(QVDInstall(product), 0);
        EXPECT_EQ(Products(), bit) << "product " << product;
        ASSERT_EQ(QVDUninstall(product), 0);
    }
}

TEST_F(Nt5Test, TwoProductsShareTheDriverUntilTheLastUninstalls) {
    StoreFilters(List({u"Filter7"}));
    ASSERT_EQ(QVDInstall(1), 0);
    ASSERT_EQ(QVDInstall(2), 0);
    BasepClearDebugOutput();
    EXPECT_EQ(QVDUninstall(1), 18);
    EXPECT_TRUE(KeyExists(EventSource));
    EXPECT_TRUE(Debug().empty());

    EXPECT_EQ(QVDUninstall(2), 0);
    EXPECT_FALSE(KeyExists(ServiceKey)) << "the service key and its Setup subkey go";
    EXPECT_FALSE(KeyExists(EventSource));
    EXPECT_EQ(Filters().Text(), List({u"Filter7"}));
    EXPECT_EQ(Debug(),
              (Lines{Nt5Line, u"Removing Driver from UpperFilters\n", u"Service uninstalled\n"}));
}

TEST_F(Nt5Test, ReinstallUpdatesTheServiceAndLeavesTheFilterAlone) {
    ASSERT_EQ(QVDInstall(1), 0);
    Store(ServiceKey, u"Group", REG_SZ, u"Stale", 12);
    BasepClearDebugOutput();
    ASSERT_EQ(QVDInstall(1), 0);
    EXPECT_EQ(Products(), 1u);
    EXPECT_EQ(Stored(ServiceKey, u"Group").Text(), std::u16string(u"System Bus Extender") + u'\0');
    EXPECT_EQ(Filters().Text(), List({u"QVDNT"}));
    EXPECT_EQ(Debug(), (Lines{Nt5Line, u"Service updated\n", Nt5Line,
                              u"Driver is already in UpperFilters\n"}));
}

TEST_F(Nt6Test, AnotherVersionKeepsTheBitButRegistersNothing) {
    EXPECT_EQ(QVDInstall(3), 1);
    EXPECT_EQ(Products(), 4u);
    EXPECT_FALSE(ServiceExists());
    EXPECT_EQ(Debug(),
              (Lines{u"NT Version 6.0  Build 2195 Service Pack 4\n", u"Incorrect NT Version\n"}));
    BasepClearDebugOutput();
    EXPECT_EQ(QVDUninstall(3), 5) << "uninstall does not check the version and finds no service";
    EXPECT_EQ(Products(), 0u);
    EXPECT_EQ(Debug(),
              (Lines{u"NT Version 6.0  Build 2195 Service Pack 4\n", u"Could not open service\n"}));
}

TEST_F(Nt5Test, UninstallGoesAheadWithoutSetupKeyOrProducts) {
    ASSERT_EQ(QVDInstall(1), 0);
    PCM_KEY setup = nullptr;
    ASSERT_EQ(CmpOpenKey(Registry, nullptr, (u"MACHINE\\" + SetupKey).c_str(), &setup),
              STATUS_SUCCESS);
    ASSERT_EQ(CmpDeleteValue(setup, u"Products"), STATUS_SUCCESS);
    BasepClearDebugOutput();
    EXPECT_EQ(QVDUninstall(7), 0);
    EXPECT_EQ(Debug().front(), u"No products value - uninstalling anyway\n");
    CmpDereferenceKey(setup);

    ASSERT_EQ(QVDInstall(1), 0);
    ASSERT_EQ(CmpOpenKey(Registry, nullptr, (u"MACHINE\\" + SetupKey).c_str(), &setup),
              STATUS_SUCCESS);
    ASSERT_EQ(CmpDeleteKey(setup), STATUS_SUCCESS);
    CmpDereferenceKey(setup);
    BasepClearDebugOutput();
    EXPECT_EQ(QVDUninstall(1), 0);
    EXPECT_EQ(Debug().front(), u"No setup subkey - uninstalling anyway\n");
    EXPECT_FALSE(KeyExists(ServiceKey));
}

} // namespace
