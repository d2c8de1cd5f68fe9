// heap_test.cpp - the process heap: a user program's blocks are user memory
// its device-control requests may carry, directly or as embedded pointers,
// until freed; outside user programs the heap still serves host memory.
#include "user_program_fixture.h"
#include "ioapiset.h"

#include <cstring>

namespace {

using HeapTest = UserProgramTest;

struct HeapResult {
    BOOL EchoOk = FALSE;
    DWORD EchoBytes = 0;
    bool EchoMatches = false;
    bool Zeroed = false;
    DWORD EmbeddedError = 1;
    DWORD EmbeddedAfterFreeError = 0;
};

ULONG HeapProgram(PVOID Context) {
    auto* result = static_cast<HeapResult*>(Context);
    HANDLE heap = GetProcessHeap();
    auto* input = static_cast<UCHAR*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 12));
    auto* output = static_cast<UCHAR*>(HeapAlloc(heap, 0, 12));
    auto* target = static_cast<UCHAR*>(HeapAlloc(heap, 0, 64));
    if (input == nullptr || output == nullptr || target == nullptr) {
        return 1;
    }
    result->Zeroed = true;
    for (int i = 0; i < 12; i++) {
        result->Zeroed = result->Zeroed && input[i] == 0;
    }
    for (int b = 4; b < 12; b++) {
        input[b] = static_cast<UCHAR>(b); // status STATUS_SUCCESS, then bytes
    }
    HANDLE device = CreateFileW(TEST_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return 2;
    }
    result->EchoOk = DeviceIoControl(device, TEST_IOCTL_ECHO, input, 12, output, 12,
                                     &result->EchoBytes, nullptr);
    result->EchoMatches = std::memcmp(input, output, 12) == 0;

    // A heap block's address fits a 32-bit embedded pointer; once freed, it
    // is no longer the program's memory.
    TEST_EMBEDDED* request = static_cast<TEST_EMBEDDED*>(HeapAlloc(heap, 0, sizeof(TEST_EMBEDDED)));
    request->Address = static_cast<ULONG32>(reinterpret_cast<ULONG_PTR>(target));
    request->Length = 64;
    DWORD bytes = 0;
    result->EmbeddedError = DeviceIoControl(device, TEST_IOCTL_EMBEDDED, request, sizeof(*request),
                                            nullptr, 0, &bytes, nullptr)
                                ? 0
                                : GetLastError();
    HeapFree(heap, 0, target);
    result->EmbeddedAfterFreeError = DeviceIoControl(device, TEST_IOCTL_EMBEDDED, request,
                                                     sizeof(*request), nullptr, 0, &bytes, nullptr)
                                         ? 0
                                         : GetLastError();
    HeapFree(heap, 0, request);
    HeapFree(heap, 0, output);
    HeapFree(heap, 0, input);
    return CloseHandle(device) ? 0 : 3;
}

TEST_F(HeapTest, UserProgramsHeapBlocksAreUserMemoryUntilFreed) {
    HeapResult result;
    ASSERT_EQ(TestRunUserProgram(HeapProgram, &result), 0u);
    EXPECT_TRUE(result.Zeroed);
    EXPECT_TRUE(result.EchoOk) << "heap buffers accepted by the system service";
    EXPECT_EQ(result.EchoBytes, 12u);
    EXPECT_TRUE(result.EchoMatches);
    EXPECT_EQ(result.EmbeddedError, 0u) << "an embedded pointer to a heap block is accepted";
    EXPECT_NE(result.EmbeddedAfterFreeError, 0u) << "a freed block is no longer user memory";
}

TEST_F(HeapTest, KernelContextHeapServesHostMemory) {
    auto* block = static_cast<UCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 100000));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[99999], 0);
    block[99999] = 1;
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
}

} // namespace
