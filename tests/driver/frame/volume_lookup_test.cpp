// volume_lookup_test.cpp - the agent's volume handles name live filter
// devices only; lookups hold the device against removal; the naming
// routines build the names the set-up opens.
#include "frame_fixture.h"
#include "frame/volume_lookup.h"
#include "support/zeroed_memory.h"

#include <atomic>
#include <string>

namespace {

class VolumeLookupTest : public FrameTest {
  public:
    NTSTATUS Remove(PDEVICE_OBJECT Filter) {
        return Send(Filter, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    }
};

FilterExtension* Extension(PDEVICE_OBJECT Filter) {
    return static_cast<FilterExtension*>(Filter->DeviceExtension);
}

TEST_F(VolumeLookupTest, HandlesNameLiveFilterDevicesOnly) {
    PDEVICE_OBJECT pdo1 = CreateVolume();
    PDEVICE_OBJECT pdo2 = CreateVolume();
    PDEVICE_OBJECT filter1 = AddFilter(pdo1);
    PDEVICE_OBJECT filter2 = AddFilter(pdo2);
    ASSERT_NE(filter1, nullptr);
    ASSERT_NE(filter2, nullptr);
    const ULONG handle1 = Extension(filter1)->VolumeHandle;
    const ULONG handle2 = Extension(filter2)->VolumeHandle;
    EXPECT_NE(handle1, 0u);
    EXPECT_NE(handle1, handle2);

    struct Case {
        ULONG Value;
        PDEVICE_OBJECT Expected;
    } cases[] = {
        {handle1, filter1},
        {handle2, filter2},
        {0, nullptr},
        {static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(DriverGlobals.ControlDevice)), nullptr},
        {static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(filter1)), nullptr},
        {handle2 + 1000, nullptr},
    };
    for (const Case& c : cases) {
        PDEVICE_OBJECT got = IsFilterDevice(c.Value);
        EXPECT_EQ(got, c.Expected) << "value " << std::hex << c.Value;
        if (got != nullptr) {
            ReleaseFilterDevice(Extension(got));
        }
    }

    PDEVICE_OBJECT byPdo = FindFilterDeviceByPdo(pdo2);
    EXPECT_EQ(byPdo, filter2);
    if (byPdo != nullptr) {
        ReleaseFilterDevice(Extension(byPdo));
    }
    EXPECT_EQ(FindFilterDeviceByPdo(filter1), nullptr) << "a filter device is no volume PDO";

    ASSERT_EQ(Remove(filter1), STATUS_SUCCESS);
    EXPECT_EQ(IsFilterDevice(handle1), nullptr) << "a removed device's handle names nothing";
    EXPECT_EQ(FindFilterDeviceByPdo(pdo1), nullptr);

    // A new device never reuses a handle still in service.
    PDEVICE_OBJECT filter3 = AddFilter(pdo1);
    ASSERT_NE(filter3, nullptr);
    EXPECT_NE(Extension(filter3)->VolumeHandle, handle2);
}

TEST_F(VolumeLookupTest, RemovalWaitsForTheDeviceALookupHolds) {
    PDEVICE_OBJECT filter = AddFilter(CreateVolume());
    ASSERT_NE(filter, nullptr);
    PDEVICE_OBJECT held = IsFilterDevice(Extension(filter)->VolumeHandle);
    ASSERT_EQ(held, filter);
    std::atomic<bool> removed{false};
    RunOnSystemThreads(2, [&](ULONG Index) {
        if (Index == 0) {
            Remove(filter);
            removed = true;
            return;
        }
        LARGE_INTEGER shortly;
        shortly.QuadPart = -200 * 10000LL;
        KeDelayExecutionThread(KernelMode, FALSE, &shortly);
        EXPECT_FALSE(removed) << "the device went away while a lookup held it";
        ReleaseFilterDevice(Extension(held));
    });
    EXPECT_TRUE(FilterDevices().empty());
}

std::u16string Text(PCUNICODE_STRING String) {
    return std::u16string(String->Buffer, String->Length / sizeof(WCHAR));
}

TEST_F(VolumeLookupTest, JoinPathPutsOneBackslashBetweenPresentParts) {
    struct Case {
        PCWSTR A, B, C;
        std::u16string Expected;
        USHORT Capacity; // bytes
    } cases[] = {
        {u"\\DosDevices", u"X:", nullptr, u"\\DosDevices\\X:", 2 * (12 + 3)},
        {nullptr, u"b", u"c", u"b\\c", 2 * (2 + 2)},
        {u"a", nullptr, u"c", u"a\\c", 2 * (2 + 2)},
        {u"\\DosDevices", u"C:\\dir\\f.bin", nullptr, u"\\DosDevices\\C:\\dir\\f.bin",
         2 * (12 + 13)},
        {nullptr, nullptr, nullptr, u"", 0},
    };
    for (const Case& c : cases) {
        PUNICODE_STRING joined = JoinPath(c.A, c.B, c.C);
        ASSERT_NE(joined, nullptr);
        EXPECT_EQ(Text(joined), c.Expected);
        EXPECT_EQ(joined->MaximumLength, c.Capacity) << "for " << Text(joined).size() << " chars";
        FreeIfAllocated(joined);
    }

    std::u16string tooLong(VOLUME_NAME_MAX_CHARS, u'x');
    EXPECT_EQ(JoinPath(u"\\DosDevices", tooLong.c_str(), nullptr), nullptr)
        << "a name longer than a counted string holds is refused, not truncated into it";
}

TEST_F(VolumeLookupTest, MakeNtVolumePathTurnsVolumePathsIntoObjectNames) {
    struct Case {
        std::u16string Name;
        std::u16string Expected;
    } cases[] = {
        {u"\\\\?\\Volume{1234}\\", u"\\??\\Volume{1234}"},
        {u"\\\\?\\Volume{1234}", u"\\??\\Volume{1234}"},
        {u"\\\\", u"\\?"},
        {u"\\", u"\\"},
        {u"C:", u"C:"},
        {u"C:\\", u"C:\\"},
        {u"", u""},
    };
    for (const Case& c : cases) {
        UNICODE_STRING path = {};
        ASSERT_EQ(MakeNtVolumePath(c.Name.c_str(), &path), STATUS_SUCCESS);
        EXPECT_EQ(Text(&path), c.Expected)
            << "from \"" << std::string(c.Name.begin(), c.Name.end()) << "\"";
        EXPECT_EQ(path.Buffer[path.Length / sizeof(WCHAR)], 0) << "the copy is terminated";
        EXPECT_LT(path.Length, path.MaximumLength);
        ExFreePool(path.Buffer);
    }

    std::u16string tooLong(VOLUME_NAME_MAX_CHARS + 1, u'x');
    UNICODE_STRING path = {};
    EXPECT_EQ(MakeNtVolumePath(tooLong.c_str(), &path), STATUS_NAME_TOO_LONG);
}

TEST_F(VolumeLookupTest, VolumeSizeOfNoHandleIsAFailure) {
    VolumeSizeInfo info = {7, 7, 7};
    EXPECT_EQ(QueryVolumeSize(nullptr, &info), -1);
    EXPECT_EQ(info.TotalAllocationUnits, 7) << "the output stays untouched";
    CloseHandleIfOpen(nullptr);
}

} // namespace
