// user_mode_test.cpp - user programs calling the device, mutex and memory
// routines: device control through the I/O manager, embedded user pointers,
// per-process handles and abandoned mutexes.
#include "user_program_fixture.h"
#include "ioapiset.h"
#include "memoryapi.h"
#include "synchapi.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using UserModeTest = UserProgramTest;

// Echoes a success, a warning and an error status; the program checks each
// answer in place. Buffers in user memory (this thread's stack).
ULONG EchoProgram(PVOID) {
    HANDLE device = CreateFileW(TEST_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const struct {
        NTSTATUS Status;
        BOOL Ok;
        DWORD Error;
        DWORD Bytes;
    } cases[] = {{STATUS_SUCCESS, TRUE, 0, 12},
                 {STATUS_BUFFER_OVERFLOW, FALSE, ERROR_MORE_DATA, 12}, // a warning still copies
                 {STATUS_INVALID_PARAMETER, FALSE, ERROR_INVALID_PARAMETER, 0}};
    for (const auto& c : cases) {
        UCHAR input[12] = {};
        std::memcpy(input, &c.Status, sizeof(NTSTATUS));
        UCHAR output[16];
        std::memset(output, 0xEE, sizeof(output));
        DWORD bytes = 0;
        SetLastError(0);
        EXPECT_EQ(DeviceIoControl(device, TEST_IOCTL_ECHO, input, sizeof(input), output,
                                  sizeof(output), &bytes, nullptr),
                  c.Ok)
            << "status 0x" << std::hex << c.Status;
        EXPECT_EQ(GetLastError(), c.Error) << "status 0x" << std::hex << c.Status;
        EXPECT_EQ(bytes, c.Bytes) << "bytes the driver reported";
        EXPECT_EQ(output[12], 0xEE) << "copied past the reported count";
    }
    return CloseHandle(device) ? 0 : 1;
}

TEST_F(UserModeTest, DeviceControlReturnsTheDriversBytesAndStatus) {
    ASSERT_EQ(TestRunUserProgram(EchoProgram, nullptr), 0u);
    EXPECT_EQ(TestLastRequestorMode(), UserMode);
}

// Shared between two concurrently running user processes.
struct CrossProcess {
    std::atomic<ULONG32> Address{0};    // user memory of the first process
    std::atomic<HANDLE> Mutex{nullptr}; // a handle of the first process
    std::atomic<bool> Done{false};      // lets the first process end
};

DWORD SendEmbedded(ULONG32 Address, ULONG32 Length) {
    HANDLE device = CreateFileW(TEST_DEVICE_NAME, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    TEST_EMBEDDED request = {Address, Length};
    DWORD bytes = 0;
    DWORD error = DeviceIoControl(device, TEST_IOCTL_EMBEDDED, &request, sizeof(request), nullptr,
                                  0, &bytes, nullptr)
                      ? 0
                      : GetLastError();
    CloseHandle(device);
    return error;
}

ULONG OwnerProgram(PVOID Context) {
    auto* shared = static_cast<CrossProcess*>(Context);
    auto* memory = static_cast<UCHAR*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    if (memory == nullptr || reinterpret_cast<ULONG_PTR>(memory) > 0xFFFFFFFFu) {
        return 1;
    }
    EXPECT_EQ(SendEmbedded(static_cast<ULONG32>(reinterpret_cast<ULONG_PTR>(memory)), 16), 0u)
        << "the pointer is valid in its own process";
    EXPECT_EQ(memory[15], 0x5A);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    shared->Mutex = mutex;
    shared->Address = static_cast<ULONG32>(reinterpret_cast<ULONG_PTR>(memory));
    while (!shared->Done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CloseHandle(mutex);
    VirtualFree(memory, 0, MEM_RELEASE);
    return 0;
}

ULONG ForeignProgram(PVOID Context) {
    auto* shared = static_cast<CrossProcess*>(Context);
    EXPECT_EQ(SendEmbedded(shared->Address, 16), DWORD{ERROR_NOACCESS})
        << "the driver's guard turns the access violation into the request's status";
    EXPECT_EQ(WaitForSingleObject(shared->Mutex, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_FALSE(CloseHandle(shared->Mutex));
    return 0;
}

TEST_F(UserModeTest, UserPointersAndHandlesAreValidOnlyInTheirOwnProcess) {
    CrossProcess shared;
    TestUserProcess* owner = TestCreateUserProcess();
    TestStartUserThread(owner, OwnerProgram, &shared);
    while (shared.Address == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(TestRunUserProgram(ForeignProgram, &shared), 0u);
    shared.Done = true;
    EXPECT_EQ(TestWaitUserThreads(owner), 0u);
    TestDeleteUserProcess(owner);
}

ULONG UnmappedPointerProgram(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    return SendEmbedded(0x1000, 4);
}

TEST_F(UserModeTest, EmbeddedPointerOutsideUserMemoryFailsTheRequest) {
    EXPECT_EQ(TestRunUserProgram(UnmappedPointerProgram, nullptr), DWORD{ERROR_NOACCESS});
}

ULONG TakeAndExit(PVOID Context) {
    *static_cast<HANDLE*>(Context) = CreateMutexW(nullptr, TRUE, nullptr);
    return *static_cast<HANDLE*>(Context) != nullptr ? 0 : 1;
}

ULONG WaitForAbandoned(PVOID Context) {
    HANDLE mutex = *static_cast<HANDLE*>(Context);
    EXPECT_EQ(WaitForSingleObject(mutex, 5000), DWORD{WAIT_ABANDONED});
    EXPECT_TRUE(ReleaseMutex(mutex)) << "the waiter owns the abandoned mutex";
    return CloseHandle(mutex) ? 0 : 1;
}

TEST_F(UserModeTest, MutexOwnedByAnEndedThreadIsAbandonedToTheNextWaiter) {
    HANDLE mutex = nullptr;
    TestUserProcess* process = TestCreateUserProcess();
    TestStartUserThread(process, TakeAndExit, &mutex);
    ASSERT_EQ(TestWaitUserThreads(process), 0u);
    TestStartUserThread(process, WaitForAbandoned, &mutex);
    EXPECT_EQ(TestWaitUserThreads(process), 0u);
    TestDeleteUserProcess(process);
}

} // namespace
