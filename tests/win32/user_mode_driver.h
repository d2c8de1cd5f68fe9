// user_mode_driver.h - the kernel side of the user-mode tests: a small
// driver with a control device, and user programs run on the machine.
// Plain types only, so user-mode test code can include it beside windows.h.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

// \\.\TCTL; its control codes (buffered, any access).
#define TEST_DEVICE_NAME u"\\\\.\\TCTL"
#define TEST_IOCTL_ECHO 0x80002000     // input: ULONG status, then bytes; echoes the input
#define TEST_IOCTL_EMBEDDED 0x80002004 // input: TEST_EMBEDDED; writes through the pointer

struct TEST_EMBEDDED {
    ULONG32 Address; // user address of the target bytes
    ULONG32 Length;
};

// Starts the I/O manager and loads the test driver (call in the test's
// initial thread after the kernel started).
void TestLoadControlDriver();
// The requestor mode of the last device-control request the driver saw.
KPROCESSOR_MODE TestLastRequestorMode();
// Forgets the I/O manager's state (after the kernel stopped).
void TestStopIo();

typedef ULONG (*TEST_USER_ROUTINE)(PVOID Context);
// Whom a test program runs as.
enum TEST_ACCOUNT { TestAdministrator, TestBackupOperator, TestPlainUser };
// Runs Routine as a user program in a new process; returns its exit code.
ULONG TestRunUserProgram(TEST_USER_ROUTINE Routine, PVOID Context,
                         TEST_ACCOUNT Account = TestAdministrator);

// A process with threads started one by one; Wait returns the exit code.
struct TestUserProcess;
TestUserProcess* TestCreateUserProcess();
void TestStartUserThread(TestUserProcess* Process, TEST_USER_ROUTINE Routine, PVOID Context);
ULONG TestWaitUserThreads(TestUserProcess* Process); // exit code of the last thread
void TestDeleteUserProcess(TestUserProcess* Process);
