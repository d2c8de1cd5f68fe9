// store_test.cpp - the backing store: copies taken while writers run never
// show a torn or misplaced sector, and a large volume on a sparse host file
// takes only the space written.
#include "disk_fixture.h"
#include "support/sector_pattern.h"

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

constexpr ULONG kSector = 512;
constexpr ULONG kSectorsPerWrite = 128; // 64 KiB writes: long copies that could tear

// Empty when every sector is either never written (all zero) or whole and
// in its place; otherwise what is wrong with the first bad sector.
std::string CheckImage(const std::vector<UCHAR>& Image) {
    for (size_t index = 0; index < Image.size() / kSector; index++) {
        const UCHAR* sector = &Image[index * kSector];
        if (std::all_of(sector, sector + kSector, [](UCHAR b) { return b == 0; })) {
            continue;
        }
        const SectorVerdict verdict = CheckSector(sector, kSector, index, UINT64_MAX);
        if (verdict != SectorVerdict::Good) {
            return "sector " + std::to_string(index) + ": " + SectorVerdictName(verdict);
        }
    }
    return {};
}

TEST_F(DiskTest, CopiesTakenWhileWritersRunNeverShowATornSector) {
    const ULONG sectors = 4096; // 2 MiB
    DISK_VOLUME_CONFIG config = Config(static_cast<ULONGLONG>(sectors) * kSector);
    config.Threads = 4;
    PDEVICE_OBJECT pdo = Create(config);
    std::atomic<bool> stop{false};
    std::atomic<ULONGLONG> writes{0};
    std::vector<std::unique_ptr<TestThread>> writers;
    for (ULONG w = 0; w < 4; w++) {
        writers.push_back(std::make_unique<TestThread>([&, w] {
            std::vector<UCHAR> buffer(kSectorsPerWrite * kSector);
            ULONGLONG sequence = w;
            for (ULONG round = 0; !stop.load(); round++, sequence += 4) {
                // Writers overlap one another on purpose.
                const ULONG first = (round * 97 + w * 1031) % (sectors - kSectorsPerWrite);
                for (ULONG i = 0; i < kSectorsPerWrite; i++) {
                    MakeSector(&buffer[i * kSector], kSector, first + i, sequence);
                }
                EXPECT_EQ(Write(pdo, static_cast<LONGLONG>(first) * kSector, buffer.data(),
                                static_cast<ULONG>(buffer.size()))
                              .Status,
                          STATUS_SUCCESS);
                writes++;
            }
        }));
    }
    // At least 40 copies, and on until the writers made 40 writes (under load
    // they may start late). Stop them before judging, so that a failure does
    // not leave them running.
    std::string verdict;
    for (int copy = 0; verdict.empty() && (copy < 40 || (writes.load() <= 40 && copy < 20000));
         copy++) {
        verdict = CheckImage(DiskSnapshotBackingStore(pdo));
    }
    stop = true;
    writers.clear();
    EXPECT_EQ(verdict, "");
    EXPECT_GT(writes.load(), 40u);
}

TEST_F(DiskTest, CopyOfARangeMatchesWhatWasWrittenAndRejectsRangesPastTheEnd) {
    PDEVICE_OBJECT pdo = Create(Config(1 << 20, 4096));
    std::vector<UCHAR> data(8192);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<UCHAR>(i * 13);
    }
    ASSERT_EQ(Write(pdo, 4096, data.data(), 8192).Status, STATUS_SUCCESS);
    std::vector<UCHAR> copy(100);
    EXPECT_EQ(DiskCopyBackingStore(pdo, 4096 + 7, copy.data(), copy.size()), STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), data.begin() + 7));
    EXPECT_EQ(DiskCopyBackingStore(pdo, (1 << 20) - 50, copy.data(), copy.size()),
              STATUS_INVALID_PARAMETER);
}

TEST_F(DiskTest, LargeVolumeOnASparseFileTakesOnlyTheSpaceWritten) {
    DISK_VOLUME_CONFIG config = Config(8ULL << 30, 4096);
    config.Backing = DiskBackingSparseFile;
    PDEVICE_OBJECT pdo = Create(config);
    ASSERT_NE(pdo, nullptr);
    std::vector<UCHAR> data(65536, 0xAB);
    const LONGLONG offsets[] = {0, 3LL << 30, (8LL << 30) - 65536};
    for (LONGLONG offset : offsets) {
        ASSERT_EQ(Write(pdo, offset, data.data(), 65536).Status, STATUS_SUCCESS);
    }
    for (LONGLONG offset : offsets) {
        std::vector<UCHAR> back(65536);
        ASSERT_EQ(Read(pdo, offset, back.data(), 65536).Status, STATUS_SUCCESS);
        EXPECT_EQ(back, data);
    }
    std::vector<UCHAR> hole(4096, 0xFF);
    ASSERT_EQ(Read(pdo, 5LL << 30, hole.data(), 4096).Status, STATUS_SUCCESS);
    EXPECT_EQ(hole, std::vector<UCHAR>(4096));
    EXPECT_LT(DiskQueryBackingFootprint(pdo), 16ULL << 20);
}

} // namespace
