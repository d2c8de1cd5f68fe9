// change_store_file_test.cpp - the change-store file as the backup agent
// meets it: after the store of C: is closed, a user program reads with
// ReadFile exactly the header and the bits of the blocks that were written.
#include "scenario_fixture.h"
#include "ntos/boot/user_process.h"
#include "support/change_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST_F(BootWithDriverTest, AUserProgramReadsTheClosedStoreAsMarked) {
    const ULONGLONG volumeBytes = 8ULL << 20;
    static ChangeStore store;
    ASSERT_EQ(ChangeStoreCreate(&store, u"C:\\changes.bin", volumeBytes), 0u);
    struct Write {
        ULONGLONG Offset;
        ULONG Length;
    } writes[] = {{0, 512}, {5 * 4096, 8192}, {9 * 4096 - 1, 2}, {volumeBytes - 4096, 4096}};
    for (const Write& w : writes) {
        ChangeStoreQueueWrite(&store, w.Offset, w.Length);
    }
    ChangeStoreDrain(&store);
    ChangeStoreClose(&store);

    std::vector<UCHAR> expected(24 + volumeBytes / 32768);
    const ChangeStoreHeader header = {1 + 2 + 2 + 1, 6, 4096, 0};
    std::memcpy(expected.data(), &header, sizeof(header));
    for (ULONG block : {0, 5, 6, 8, 9, 2047}) {
        expected[24 + block / 8] |= UCHAR(1u << (block % 8));
    }

    std::vector<UCHAR> data(64 * 1024);
    FileContents contents = {u"C:\\changes.bin", ULONG(data.size()), data.data(), 0, 0};
    ULONG exitCode = 99;
    ASSERT_EQ(BootRunUserProgram(u"agent.exe", ReadWholeFileProgram, &contents, &exitCode),
              STATUS_SUCCESS);
    ASSERT_EQ(exitCode, 0u);
    EXPECT_EQ(contents.OpenError, 0u);
    ASSERT_EQ(contents.Bytes, expected.size());
    data.resize(contents.Bytes);
    EXPECT_TRUE(data == expected) << "the file differs from the header and bits marked";
}

} // namespace
