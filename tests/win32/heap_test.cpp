// heap_test.cpp - the process heap: a user program's blocks are user memory
// its device-control requests may carry, directly or as embedded pointers,
// until freed; outside user programs the heap still serves host memory.
#include "user_program_fixture.h"
#include "ioapiset.h"

#include <cstring>

namespace {

using HeapTest = UserProgramTest;

// The program checks what it sees in place.
ULONG HeapProgram(PVOID) {
    HANDLE heap = GetProcessHeap();
    auto* input = static_cast<UCHAR*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 12));
    auto* output = static_cast<UCHAR*>(HeapAlloc(heap, 0, 12));
    auto* target = static_cast<UCHAR*>(HeapAlloc(heap, 0, 64));
    auto* request = static_cast<TEST_EMBEDDED*>(HeapAlloc(heap, 0, sizeof(TEST_EMBEDDED)));
    HANDLE device = CreateFileW(TEST_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (input == nullptr || output == nullptr || target == nullptr || request == nullptr ||
        device == INVALID_HANDLE_VALUE) {
        return 1;
    }
    const UCHAR zeroes[12] = {};
    EXPECT_EQ(std::memcmp(input, zeroes, 12), 0) << "HEAP_ZERO_MEMORY";
    for (int b = 4; b < 12; b++) {
        input[b] = static_cast<UCHAR>(b); // status STATUS_SUCCESS, then bytes
    }
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, TEST_IOCTL_ECHO, input, 12, output, 12, &bytes, nullptr))
        << "heap buffers accepted by the system service";
    EXPECT_EQ(bytes, 12u);
    EXPECT_EQ(std::memcmp(input, output, 12), 0);

    // A heap block's address fits a 32-bit embedded pointer; once freed, it
    // is no longer the program's memory.
    request->Address = static_cast<ULONG32>(reinterpret_cast<ULONG_PTR>(target));
    request->Length = 64;
    EXPECT_TRUE(DeviceIoControl(device, TEST_IOCTL_EMBEDDED, request, sizeof(*request), nullptr, 0,
                                &bytes, nullptr))
        << "an embedded pointer to a heap block";
    HeapFree(heap, 0, target);
    EXPECT_FALSE(DeviceIoControl(device, TEST_IOCTL_EMBEDDED, request, sizeof(*request), nullptr, 0,
                                 &bytes, nullptr))
        << "a freed block is no longer user memory";
    HeapFree(heap, 0, request);
    HeapFree(heap, 0, output);
    HeapFree(heap, 0, input);
    return CloseHandle(device) ? 0 : 3;
}

TEST_F(HeapTest, UserProgramsHeapBlocksAreUserMemoryUntilFreed) {
    EXPECT_EQ(TestRunUserProgram(HeapProgram, nullptr), 0u);
}

TEST_F(HeapTest, KernelContextHeapServesHostMemory) {
    auto* block = static_cast<UCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 100000));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[99999], 0);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
}

} // namespace
