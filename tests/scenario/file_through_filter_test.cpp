// A user program's file on C: goes through the file system and the
// driver's filter device to the volume: written in unaligned pieces, read
// back intact, and found in the volume's backing store where the file
// system put it.
#include "scenario_fixture.h"
#include "frame/frame.h"
#include "host/volumes.h"
#include "ntos/boot/user_process.h"
#include "ntos/fs/fsp.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

// The filter device sits directly above Volume.
bool FilterAbove(PDEVICE_OBJECT Volume) {
    const std::vector<std::u16string> stack = HostDeviceStack(Volume);
    return stack.size() == 2 && stack[1] == u"\\Driver\\QVDNT";
}

// The file's bytes as the volume stores them: its clusters, in file order,
// read from a copy of the backing store.
std::vector<UCHAR> StoredFile(PDEVICE_OBJECT Volume, const std::u16string& UpcasedPath) {
    FSP_VOLUME* mounted = FsGetVolume(Volume);
    if (mounted == nullptr) {
        return {};
    }
    std::vector<ULONGLONG> clusters;
    ULONGLONG size = 0;
    {
        std::lock_guard<std::mutex> guard(mounted->Lock);
        auto it = mounted->Streams.find(UpcasedPath);
        if (it == mounted->Streams.end()) {
            return {};
        }
        clusters = it->second->Clusters;
        size = it->second->FileSize;
    }
    const std::vector<UCHAR> store = DiskSnapshotBackingStore(Volume);
    std::vector<UCHAR> file;
    for (ULONGLONG cluster : clusters) {
        const ULONGLONG at = cluster * mounted->ClusterSize;
        file.insert(file.end(), store.begin() + at, store.begin() + at + mounted->ClusterSize);
    }
    file.resize(size);
    return file;
}

TEST_F(BootWithDriverTest, FileWrittenThroughTheFilterReadsBackAndLiesOnTheVolume) {
    PDEVICE_OBJECT c = Volumes()[0];
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(FilterAbove(c));
    DiskResetCounters(c);

    FileRoundTrip trip = {};
    ULONG exitCode = 99;
    ASSERT_EQ(BootRunUserProgram(u"writer.exe", FileRoundTripProgram, &trip, &exitCode),
              STATUS_SUCCESS);
    ASSERT_EQ(exitCode, 0u);
    EXPECT_EQ(trip.CreateError, 0u);
    EXPECT_EQ(trip.BytesWritten, FILE_ROUND_TRIP_BYTES);
    EXPECT_EQ(trip.FlushError, 0u);
    EXPECT_EQ(trip.ReopenError, 0u);
    EXPECT_EQ(trip.BytesRead, FILE_ROUND_TRIP_BYTES) << "the read stops at the end of the file";
    EXPECT_TRUE(trip.Matches);
    EXPECT_TRUE(FilterAbove(c)) << "the filter stayed in place";

    const DISK_COUNTERS counters = DiskQueryCounters(c);
    EXPECT_GE(counters.WriteBytes, FILE_ROUND_TRIP_BYTES) << "the data reached the volume";
    EXPECT_EQ(counters.FailedRequests, 0u);

    std::vector<UCHAR> expected(FILE_ROUND_TRIP_BYTES);
    FillRoundTripData(0, expected.data(), FILE_ROUND_TRIP_BYTES);
    const std::vector<UCHAR> stored = StoredFile(c, u"\\FILE.BIN");
    ASSERT_EQ(stored.size(), expected.size());
    EXPECT_TRUE(stored == expected) << "the backing store holds other bytes than were written";
}

TEST_F(BootWithDriverTest, CreatingAnExistingFileAnewFailsAndLeavesItWhole) {
    FileRoundTrip first = {};
    ULONG exitCode = 99;
    ASSERT_EQ(BootRunUserProgram(u"writer.exe", FileRoundTripProgram, &first, &exitCode),
              STATUS_SUCCESS);
    ASSERT_TRUE(first.Matches);

    // The second run's CREATE_NEW is refused; its reopen still finds the
    // first run's bytes.
    FileRoundTrip second = {};
    ASSERT_EQ(BootRunUserProgram(u"writer.exe", FileRoundTripProgram, &second, &exitCode),
              STATUS_SUCCESS);
    EXPECT_EQ(second.CreateError, 80u) << "ERROR_FILE_EXISTS";
    EXPECT_EQ(second.BytesWritten, 0u);
    EXPECT_EQ(second.ReopenError, 0u);
    EXPECT_TRUE(second.Matches);
}

} // namespace
