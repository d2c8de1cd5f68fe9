// volume_lookup_test.cpp - lookups hold the device against removal; the
// naming routines refuse names too long to hold.
#include "frame_fixture.h"
#include "frame/volume_lookup.h"

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

// A name longer than a counted string holds is refused, not truncated into it.
TEST_F(VolumeLookupTest, NamesTooLongForACountedStringAreRefused) {
    std::u16string tooLong(VOLUME_NAME_MAX_CHARS, u'x');
    EXPECT_EQ(JoinPath(u"\\DosDevices", tooLong.c_str(), nullptr), nullptr);
    tooLong += u'x';
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
