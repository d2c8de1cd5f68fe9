// Failing registry and service steps: each reports its line and result code,
// and a filter that cannot be removed keeps the service.
#include "installer_fixture.h"

namespace {

using Lines = std::vector<std::u16string>;
const std::u16string Services = u"SYSTEM\\CurrentControlSet\\Services";
const std::u16string EventLog = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System";

TEST_F(Nt5Test, ProductMaskFailuresStopBeforeAnythingIsRegistered) {
    Fail(CmOperationCreateKey, SetupKey);
    EXPECT_EQ(QVDInstall(1), 16);
    EXPECT_EQ(Debug(), (Lines{u"Could not create driver setup key\n"}));
    CmpClearInjectedFailures(Registry);

    BasepClearDebugOutput();
    Fail(CmOperationSetValue, SetupKey, u"Products");
    EXPECT_EQ(QVDInstall(1), 17);
    EXPECT_EQ(Debug(), (Lines{u"Could not set products value\n"}));
    EXPECT_FALSE(ServiceExists());
    CmpClearInjectedFailures(Registry);

    ASSERT_EQ(QVDInstall(1), 0);
    BasepClearDebugOutput();
    Fail(CmOperationSetValue, SetupKey, u"Products");
    EXPECT_EQ(QVDUninstall(1), 17);
    EXPECT_EQ(Debug(), (Lines{u"Could not set products value\n"}));
    EXPECT_TRUE(ServiceExists());
}

TEST_F(Nt5Test, ServiceManagerFailures) {
    struct Case {
        CM_OPERATION Operation;
        std::u16string Path;
        PCWSTR Value;
        bool Installed; // the service exists before the call
        int Result;
        std::u16string Line;
    };
    const Case cases[] = {
        {CmOperationOpenKey, Services, nullptr, false, 3, u"Could not open SC Manager\n"},
        {CmOperationCreateKey, ServiceKey, nullptr, false, 4, u"Could not create service\n"},
        {CmOperationSetValue, ServiceKey, u"ImagePath", true, 12, u"Could not update service\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Line.begin(), c.Line.end()));
        if (c.Installed) {
            ASSERT_EQ(QVDInstall(1), 0);
        }
        BasepClearDebugOutput();
        Fail(c.Operation, c.Path, c.Value);
        EXPECT_EQ(QVDInstall(1), c.Result);
        EXPECT_EQ(Debug(), (Lines{Nt5Line, c.Line}));
        CmpClearInjectedFailures(Registry);
        ASSERT_EQ(QVDUninstall(1), c.Installed ? 0 : 5);
    }
}

TEST_F(Nt5Test, EventSourceFailuresLeaveTheServiceInPlace) {
    struct Case {
        CM_OPERATION Operation;
        std::u16string Path;
        PCWSTR Value;
        int Result;
        std::u16string Line;
    };
    const Case cases[] = {
        {CmOperationOpenKey, EventLog, nullptr, 7, u"Could not open eventlog key\n"},
        {CmOperationCreateKey, EventSource, nullptr, 9, u"Could not make Event key\n"},
        {CmOperationSetValue, EventSource, u"EventMessageFile", 10, u"Could not make EventMessageFile\n"},
        {CmOperationSetValue, EventSource, u"TypesSupported", 11, u"Could not make TypesSupported\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Line.begin(), c.Line.end()));
        BasepClearDebugOutput();
        Fail(c.Operation, c.Path, c.Value);
        EXPECT_EQ(QVDInstall(1), c.Result);
        EXPECT_TRUE(ServiceExists()) << "steps already done are not undone";
        EXPECT_EQ(Debug(), (Lines{Nt5Line, u"Service installed\n", Nt5Line, c.Line, u"Creating UpperFilters value\n"}))
            << "the filter step still runs";
        CmpClearInjectedFailures(Registry);
        ASSERT_EQ(QVDUninstall(1), c.Result == 7 || c.Result == 9 ? 8 : 0);
        EXPECT_FALSE(ServiceExists());
        DeleteFilters();
    }
}

TEST_F(Nt5Test, UninstallFailuresOfServiceAndEventSource) {
    ASSERT_EQ(QVDInstall(1), 0);
    BasepClearDebugOutput();
    Fail(CmOperationSetValue, ServiceKey, u"DeleteFlag");
    EXPECT_EQ(QVDUninstall(1), 6);
    EXPECT_EQ(Debug().back(), u"Could not delete service\n");
    EXPECT_TRUE(ServiceExists());
    CmpClearInjectedFailures(Registry);

    BasepClearDebugOutput();
    Fail(CmOperationDeleteKey, EventSource);
    EXPECT_EQ(QVDUninstall(1), 8);
    EXPECT_EQ(Debug(), (Lines{Nt5Line, u"Service uninstalled\n", u"Could not delete event log key\n"}));
    EXPECT_FALSE(ServiceExists());
    CmpClearInjectedFailures(Registry);

    ASSERT_EQ(QVDInstall(1), 0);
    Fail(CmOperationOpenKey, EventLog);
    EXPECT_EQ(QVDUninstall(1), 7);
    CmpClearInjectedFailures(Registry);
}

// A driver that is not a Volume-class filter never sees a volume, so the
// failure is returned, not only written to the debug output; installing again
// once the registry works completes the registration. An unreadable filter
// list is never overwritten.
TEST_F(Nt5Test, FilterFailuresOnInstallAreReportedAndARetryCompletes) {
    struct Case {
        CM_OPERATION Operation;
        PCWSTR Value;
        ULONG Skip;
        bool Present; // UpperFilters exists before install
        std::u16string Line;
        int Result;
    };
    const Case cases[] = {
        {CmOperationOpenKey, nullptr, 0, true, u"Could not open storage class key\n", 2},
        {CmOperationSetValue, u"UpperFilters", 0, false, u"Could not make UpperFilters\n", 14},
        {CmOperationQueryValue, u"UpperFilters", 0, true, u"Could not query upperfilters\n", 13},
        {CmOperationQueryValue, u"UpperFilters", 1, true, u"Could not query upperfilters\n", 13},
        {CmOperationSetValue, u"UpperFilters", 0, true, u"Could not change UpperFilters\n", 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Line.begin(), c.Line.end()));
        if (c.Present) {
            StoreFilters(List({u"Filter7"}));
        }
        BasepClearDebugOutput();
        Fail(c.Operation, VolumeClass, c.Value, c.Skip);
        EXPECT_EQ(QVDInstall(1), c.Result);
        EXPECT_EQ(Debug().back(), c.Line);
        CmpClearInjectedFailures(Registry);
        if (c.Present) {
            EXPECT_EQ(Filters().Text(), List({u"Filter7"})) << "the other filters are kept";
        }
        EXPECT_EQ(QVDInstall(1), 0);
        EXPECT_EQ(Filters().Text(), c.Present ? List({u"Filter7", u"QVDNT"}) : List({u"QVDNT"}));
        ASSERT_EQ(QVDUninstall(1), 0);
        DeleteFilters();
    }
}

TEST_F(Nt5Test, ServiceStaysWhileItsFilterCannotBeRemoved) {
    StoreFilters(List({u"Filter7"}));
    ASSERT_EQ(QVDInstall(1), 0);
    struct Case {
        CM_OPERATION Operation;
        PCWSTR Value;
        ULONG Skip;
        int Result;
        std::u16string Line;
    };
    const Case cases[] = {
        {CmOperationOpenKey, nullptr, 0, 2, u"Could not open storage class key\n"},
        {CmOperationQueryValue, u"UpperFilters", 1, 13, u"Could not query upperfilters\n"},
        {CmOperationSetValue, u"UpperFilters", 0, 15, u"Could not change UpperFilters\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Line.begin(), c.Line.end()));
        BasepClearDebugOutput();
        Fail(c.Operation, VolumeClass, c.Value, c.Skip);
        EXPECT_EQ(QVDUninstall(1), c.Result);
        EXPECT_EQ(Debug().back(), c.Line);
        CmpClearInjectedFailures(Registry);
        EXPECT_TRUE(ServiceExists());
        EXPECT_TRUE(KeyExists(EventSource));
        EXPECT_EQ(Filters().Text(), List({u"Filter7", u"QVDNT"}));
    }
    EXPECT_EQ(QVDUninstall(1), 0) << "a retry finishes the uninstall";
    EXPECT_FALSE(ServiceExists());
    EXPECT_EQ(Filters().Text(), List({u"Filter7"}));
}

} // namespace
