// Handles: per-process tables, kernel handles, access checks, bad handles.
#include "expect_bugcheck.h"
#include "ntddk.h"
#include "ntos/kernel_fixture.h"
#include "ntos/ob/obp.h"
#include "ntos/ps/psp.h"

namespace {

class HandleTest : public KernelTest {
protected:
    HANDLE CreateEvent(ULONG Attributes = 0) {
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, nullptr, Attributes, nullptr, nullptr);
        HANDLE handle = nullptr;
        EXPECT_EQ(ZwCreateEvent(&handle, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE),
                  STATUS_SUCCESS);
        return handle;
    }
};

TEST_F(HandleTest, HandleValuesAreNonZeroMultiplesOfFourIn32Bits) {
    HANDLE a = CreateEvent();
    HANDLE b = CreateEvent(OBJ_KERNEL_HANDLE);
    for (HANDLE h : {a, b}) {
        ULONG_PTR v = reinterpret_cast<ULONG_PTR>(h);
        EXPECT_NE(v, 0u);
        EXPECT_EQ(v % 4, 0u);
        EXPECT_LE(v, 0xFFFFFFFFu);
    }
    EXPECT_NE(a, b);
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
}

TEST_F(HandleTest, HandleOfOneProcessFailsInAnotherUnlessAttached) {
    PEPROCESS agent;
    ASSERT_EQ(PspCreateProcess(u"agent.exe", &agent), STATUS_SUCCESS);
    KeAttachProcess(reinterpret_cast<PRKPROCESS>(agent));
    EXPECT_EQ(PsGetCurrentProcess(), agent);
    HANDLE agentHandle = CreateEvent();
    HANDLE kernelHandle = CreateEvent(OBJ_KERNEL_HANDLE);
    KeDetachProcess();

    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(agentHandle, 0, *ExEventObjectType, KernelMode, &object,
                                        nullptr),
              STATUS_INVALID_HANDLE)
        << "an agent handle used in the System process";
    EXPECT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, *ExEventObjectType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, *ExEventObjectType, UserMode, &object,
                                        nullptr),
              STATUS_INVALID_HANDLE)
        << "kernel handles are not usable from user mode";

    KeAttachProcess(reinterpret_cast<PRKPROCESS>(agent));
    EXPECT_EQ(ObReferenceObjectByHandle(agentHandle, 0, *ExEventObjectType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, *ExEventObjectType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS)
        << "kernel handles work from any process";
    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(agentHandle), STATUS_SUCCESS);
    KeDetachProcess();
    EXPECT_EQ(ZwClose(kernelHandle), STATUS_SUCCESS);
    EXPECT_EQ(PspTerminateProcess(agent, STATUS_SUCCESS), STATUS_SUCCESS);
    ObDereferenceObject(agent);
}

TEST_F(HandleTest, TypeAndAccessAreChecked) {
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, 0, nullptr, nullptr);
    HANDLE handle;
    ASSERT_EQ(ZwCreateEvent(&handle, SYNCHRONIZE, &oa, NotificationEvent, FALSE), STATUS_SUCCESS);
    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
                                        &object, nullptr),
              STATUS_ACCESS_DENIED);
    OBJECT_HANDLE_INFORMATION info;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                        KernelMode, &object, &info),
              STATUS_SUCCESS)
        << "kernel mode is not access-checked";
    EXPECT_EQ(info.GrantedAccess, ACCESS_MASK{SYNCHRONIZE});
    EXPECT_EQ(ObpHandleCount(object), 1u);
    EXPECT_EQ(ObpPointerCount(object), 2u);
    ObDereferenceObject(object);
    EXPECT_EQ(ObpCloseHandle(handle, UserMode), STATUS_SUCCESS);
    EXPECT_EQ(ObpCloseHandle(handle, UserMode), STATUS_INVALID_HANDLE) << "a stale handle";
    EXPECT_EQ(ObReferenceObjectByHandle(nullptr, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
}

TEST_F(HandleTest, EventsThroughHandles) {
    HANDLE handle = CreateEvent();
    LARGE_INTEGER zero{};
    EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, &zero), STATUS_TIMEOUT);
    LONG previous = -1;
    EXPECT_EQ(ZwSetEvent(handle, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, &zero), STATUS_WAIT_0);
    EXPECT_EQ(ZwClearEvent(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(HandleTest, MutantReleaseByNonOwnerFails) {
    HANDLE handle;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(ZwCreateMutant(&handle, MUTANT_ALL_ACCESS, &oa, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(ZwReleaseMutant(handle, nullptr), STATUS_MUTANT_NOT_OWNED);
    EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, nullptr), STATUS_WAIT_0);
    LONG previous = 1;
    EXPECT_EQ(ZwReleaseMutant(handle, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(HandleTest, TerminatingAProcessClosesItsHandles) {
    PEPROCESS agent;
    ASSERT_EQ(PspCreateProcess(u"agent.exe", &agent), STATUS_SUCCESS);
    KeAttachProcess(reinterpret_cast<PRKPROCESS>(agent));
    HANDLE handle = CreateEvent();
    PVOID event;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &event, nullptr),
              STATUS_SUCCESS);
    KeDetachProcess();
    EXPECT_EQ(ObpHandleCount(event), 1u);
    EXPECT_EQ(PspTerminateProcess(agent, STATUS_SUCCESS), STATUS_SUCCESS);
    EXPECT_EQ(ObpHandleCount(event), 0u);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(agent, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0)
        << "an ended process is signalled";
    ObDereferenceObject(event);
    ObDereferenceObject(agent);
}

using HandleDeathTest = HandleTest;

TEST_F(HandleDeathTest, ClosingABadKernelHandleBugChecks) {
    EXPECT_BUGCHECK(ZwClose(reinterpret_cast<HANDLE>(ULONG_PTR{0x44})), INVALID_KERNEL_HANDLE,
                    "invalid handle closed from kernel mode");
}

TEST_F(HandleDeathTest, KernelStopCatchesALeakedHandle) {
    EXPECT_BUGCHECK(
        {
            CreateEvent();
            KiStopKernel();
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION,
        "leaked handle 0x4 to a Event object in process System");
}

} // namespace
