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

struct EchoResult {
    BOOL Ok[3];
    DWORD Error[3];
    DWORD Bytes[3];
    UCHAR Output[16];
};

ULONG EchoProgram(PVOID Context) {
    auto* result = static_cast<EchoResult*>(Context);
    HANDLE device = CreateFileW(TEST_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const NTSTATUS statuses[3] = {STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_INVALID_PARAMETER};
    for (int i = 0; i < 3; i++) {
        UCHAR input[12] = {};
        std::memcpy(input, &statuses[i], sizeof(NTSTATUS));
        for (int b = 4; b < 12; b++) {
            input[b] = static_cast<UCHAR>(b);
        }
        // Buffers in user memory (this thread's stack); the result record
        // belongs to the test and is not.
        UCHAR output[sizeof(result->Output)];
        std::memset(output, 0xEE, sizeof(output));
        SetLastError(0);
        result->Ok[i] = DeviceIoControl(device, TEST_IOCTL_ECHO, input, sizeof(input), output,
                                        sizeof(output), &result->Bytes[i], nullptr);
        result->Error[i] = GetLastError();
        std::memcpy(result->Output, output, sizeof(output));
    }
    return CloseHandle(device) ? 0 : 1;
}

TEST_F(UserModeTest, DeviceControlReturnsTheDriversBytesAndStatus) {
    EchoResult result = {};
    ASSERT_EQ(TestRunUserProgram(EchoProgram, &result), 0u);
    EXPECT_EQ(TestLastRequestorMode(), UserMode);
    EXPECT_TRUE(result.Ok[0]);
    EXPECT_EQ(result.Bytes[0], 12u) << "bytes the driver reported";
    EXPECT_FALSE(result.Ok[1]) << "a warning status fails the call";
    EXPECT_EQ(result.Error[1], DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(result.Bytes[1], 12u) << "and still returns the bytes";
    EXPECT_FALSE(result.Ok[2]);
    EXPECT_EQ(result.Error[2], DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(result.Bytes[2], 0u);
    EXPECT_EQ(result.Output[12], 0xEE) << "copied past the reported count";
}

// Shared between two concurrently running user processes.
struct CrossProcess {
    std::atomic<ULONG32> Address{0};    // user memory of the first process
    std::atomic<HANDLE> Mutex{nullptr}; // a handle of the first process
    std::atomic<bool> Done{false};      // lets the first process end
    UCHAR Seen = 0;
    DWORD OwnError = 0;
    DWORD ForeignError = 0;
    DWORD ForeignWait = 0;
    DWORD ForeignWaitError = 0;
    BOOL ForeignClose = TRUE;
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
    shared->OwnError = SendEmbedded(static_cast<ULONG32>(reinterpret_cast<ULONG_PTR>(memory)), 16);
    shared->Seen = memory[15];
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
    shared->ForeignError = SendEmbedded(shared->Address, 16);
    shared->ForeignWait = WaitForSingleObject(shared->Mutex, 0);
    shared->ForeignWaitError = GetLastError();
    shared->ForeignClose = CloseHandle(shared->Mutex);
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

    EXPECT_EQ(shared.OwnError, 0u) << "the pointer is valid in its own process";
    EXPECT_EQ(shared.Seen, 0x5A);
    EXPECT_EQ(shared.ForeignError, DWORD{ERROR_NOACCESS})
        << "the driver's guard turns the access violation into the request's status";
    EXPECT_EQ(shared.ForeignWait, WAIT_FAILED);
    EXPECT_EQ(shared.ForeignWaitError, DWORD{ERROR_INVALID_HANDLE});
    EXPECT_FALSE(shared.ForeignClose);
}

ULONG UnmappedPointerProgram(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    return SendEmbedded(0x1000, 4);
}

TEST_F(UserModeTest, EmbeddedPointerOutsideUserMemoryFailsTheRequest) {
    EXPECT_EQ(TestRunUserProgram(UnmappedPointerProgram, nullptr), DWORD{ERROR_NOACCESS});
}

struct AbandonState {
    HANDLE Mutex = nullptr;
    DWORD Wait = 0;
    BOOL Released = FALSE;
};

ULONG TakeAndExit(PVOID Context) {
    auto* state = static_cast<AbandonState*>(Context);
    state->Mutex = CreateMutexW(nullptr, TRUE, nullptr);
    return state->Mutex != nullptr ? 0 : 1;
}

ULONG WaitForAbandoned(PVOID Context) {
    auto* state = static_cast<AbandonState*>(Context);
    state->Wait = WaitForSingleObject(state->Mutex, 5000);
    state->Released = ReleaseMutex(state->Mutex);
    CloseHandle(state->Mutex);
    return 0;
}

TEST_F(UserModeTest, MutexOwnedByAnEndedThreadIsAbandonedToTheNextWaiter) {
    AbandonState state;
    TestUserProcess* process = TestCreateUserProcess();
    TestStartUserThread(process, TakeAndExit, &state);
    ASSERT_EQ(TestWaitUserThreads(process), 0u);
    TestStartUserThread(process, WaitForAbandoned, &state);
    TestWaitUserThreads(process);
    TestDeleteUserProcess(process);
    EXPECT_EQ(state.Wait, DWORD{WAIT_ABANDONED});
    EXPECT_TRUE(state.Released) << "the waiter owns the abandoned mutex";
}

} // namespace
