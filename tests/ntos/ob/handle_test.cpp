// Handles: per-process tables, kernel handles, access checks, bad handles.
#include "expect_bugcheck.h"
#include "ntddk.h"
#include "ntos/kernel_fixture.h"
#include "ntos/ob/obp.h"
#include "ntos/ps/psp.h"

namespace {

class HandleTest : public KernelTest {
  protected:
    HANDLE CreateEvent(ULONG Attributes = 0, ACCESS_MASK Access = EVENT_ALL_ACCESS) {
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, nullptr, Attributes, nullptr, nullptr);
        HANDLE handle = nullptr;
        EXPECT_EQ(ZwCreateEvent(&handle, Access, &oa, NotificationEvent, FALSE), STATUS_SUCCESS);
        return handle;
    }
    HANDLE CreateMutant(ACCESS_MASK Access) {
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, nullptr, 0, nullptr, nullptr);
        HANDLE handle = nullptr;
        EXPECT_EQ(ZwCreateMutant(&handle, Access, &oa, FALSE), STATUS_SUCCESS);
        return handle;
    }
    // References the event behind Handle as Mode would, dropping the reference again.
    static NTSTATUS Use(HANDLE Handle, KPROCESSOR_MODE Mode) {
        PVOID object;
        NTSTATUS status =
            ObReferenceObjectByHandle(Handle, 0, *ExEventObjectType, Mode, &object, nullptr);
        if (NT_SUCCESS(status)) {
            ObDereferenceObject(object);
        }
        return status;
    }
};

TEST_F(HandleTest, HandleOfOneProcessFailsInAnotherUnlessAttached) {
    PEPROCESS agent;
    ASSERT_EQ(PspCreateProcess(u"agent.exe", &agent), STATUS_SUCCESS);
    KeAttachProcess(reinterpret_cast<PRKPROCESS>(agent));
    EXPECT_EQ(PsGetCurrentProcess(), agent);
    HANDLE agentHandle = CreateEvent();
    HANDLE kernelHandle = CreateEvent(OBJ_KERNEL_HANDLE);
    KeDetachProcess();
    EXPECT_NE(agentHandle, kernelHandle);
    for (HANDLE h : {agentHandle, kernelHandle}) {
        const ULONG_PTR v = reinterpret_cast<ULONG_PTR>(h);
        EXPECT_TRUE(v != 0 && v % 4 == 0 && v <= 0xFFFFFFFFu) << "got handle value " << v;
    }

    EXPECT_EQ(Use(agentHandle, KernelMode), STATUS_INVALID_HANDLE)
        << "an agent handle used in the System process";
    EXPECT_EQ(Use(kernelHandle, KernelMode), STATUS_SUCCESS);
    EXPECT_EQ(Use(kernelHandle, UserMode), STATUS_INVALID_HANDLE)
        << "kernel handles are not usable from user mode";

    KeAttachProcess(reinterpret_cast<PRKPROCESS>(agent));
    EXPECT_EQ(Use(agentHandle, KernelMode), STATUS_SUCCESS);
    EXPECT_EQ(Use(kernelHandle, KernelMode), STATUS_SUCCESS)
        << "kernel handles work from any process";
    EXPECT_EQ(ZwClose(agentHandle), STATUS_SUCCESS);
    KeDetachProcess();
    EXPECT_EQ(ZwClose(kernelHandle), STATUS_SUCCESS);
    EXPECT_EQ(PspTerminateProcess(agent, STATUS_SUCCESS), STATUS_SUCCESS);
    ObDereferenceObject(agent);
}

TEST_F(HandleTest, TypeAndAccessAreChecked) {
    HANDLE handle = CreateEvent(0, SYNCHRONIZE);
    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
                                        &object, nullptr),
              STATUS_ACCESS_DENIED);
    OBJECT_HANDLE_INFORMATION info;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode,
                                        &object, &info),
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

// A handle holds the specific rights its type gives the generic rights and
// MAXIMUM_ALLOWED; generic rights asked of it later mean the same.
TEST_F(HandleTest, GenericRightsAreMappedPerTypeWhenAHandleIsMade) {
    HANDLE eventHandle = CreateEvent(0, 0);
    HANDLE mutantHandle = CreateMutant(0);
    PVOID event;
    PVOID mutant;
    ASSERT_EQ(ObReferenceObjectByHandle(eventHandle, 0, nullptr, KernelMode, &event, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(ObReferenceObjectByHandle(mutantHandle, 0, nullptr, KernelMode, &mutant, nullptr),
              STATUS_SUCCESS);
    ZwClose(eventHandle);
    ZwClose(mutantHandle);
    const struct {
        const char* Type;
        PVOID Object;
        ACCESS_MASK Desired;
        ACCESS_MASK Granted;
    } cases[] = {
        {"event", event, GENERIC_READ, READ_CONTROL | EVENT_QUERY_STATE},
        {"event", event, GENERIC_WRITE, READ_CONTROL | EVENT_MODIFY_STATE},
        {"event", event, GENERIC_EXECUTE, READ_CONTROL | SYNCHRONIZE},
        {"event", event, GENERIC_ALL, EVENT_ALL_ACCESS},
        {"event", event, MAXIMUM_ALLOWED, EVENT_ALL_ACCESS},
        {"mutant", mutant, GENERIC_READ | DELETE, DELETE | READ_CONTROL | MUTANT_QUERY_STATE},
        {"mutant", mutant, GENERIC_ALL, MUTANT_ALL_ACCESS},
        {"process", PsInitialSystemProcess, GENERIC_READ,
         READ_CONTROL | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION},
        {"process", PsInitialSystemProcess, MAXIMUM_ALLOWED, PROCESS_ALL_ACCESS},
        {"thread", KeGetCurrentThread(), GENERIC_EXECUTE, READ_CONTROL | SYNCHRONIZE},
        {"thread", KeGetCurrentThread(), GENERIC_ALL, THREAD_ALL_ACCESS},
    };
    for (const auto& c : cases) {
        HANDLE handle;
        ASSERT_EQ(ObpCreateHandle(c.Object, c.Desired, 0, KernelMode, &handle), STATUS_SUCCESS);
        PVOID object;
        OBJECT_HANDLE_INFORMATION info{};
        EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, UserMode, &object, &info),
                  STATUS_SUCCESS);
        ObDereferenceObject(object);
        EXPECT_EQ(info.GrantedAccess, c.Granted)
            << c.Type << " opened for 0x" << std::hex << c.Desired << ": got/expected rights";
        NTSTATUS asked = ObReferenceObjectByHandle(
            handle, c.Desired & ~ACCESS_MASK{MAXIMUM_ALLOWED}, nullptr, UserMode, &object, nullptr);
        EXPECT_EQ(asked, STATUS_SUCCESS) << c.Type << ": the same generic rights asked again";
        if (NT_SUCCESS(asked)) {
            ObDereferenceObject(object);
        }
        ZwClose(handle);
    }
    HANDLE readOnly;
    ASSERT_EQ(ObpCreateHandle(event, GENERIC_READ, 0, KernelMode, &readOnly), STATUS_SUCCESS);
    PVOID object;
    EXPECT_EQ(
        ObReferenceObjectByHandle(readOnly, GENERIC_WRITE, nullptr, UserMode, &object, nullptr),
        STATUS_ACCESS_DENIED)
        << "GENERIC_WRITE asks for EVENT_MODIFY_STATE, which a read handle lacks";
    ZwClose(readOnly);
    ObDereferenceObject(event);
    ObDereferenceObject(mutant);
}

// The services report the former state; a mutant's release by a non-owner fails.
TEST_F(HandleTest, EventAndMutantServices) {
    HANDLE event = CreateEvent();
    LONG previous = -1;
    EXPECT_EQ(ZwSetEvent(event, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(ZwClose(event), STATUS_SUCCESS);

    HANDLE handle = CreateMutant(MUTANT_ALL_ACCESS);
    EXPECT_EQ(ZwReleaseMutant(handle, nullptr), STATUS_MUTANT_NOT_OWNED);
    EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, nullptr), STATUS_WAIT_0);
    previous = 1;
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

TEST_F(HandleDeathTest, BadCloseAndLeakedHandleBugCheck) {
    EXPECT_BUGCHECK(ZwClose(reinterpret_cast<HANDLE>(ULONG_PTR{0x44})), INVALID_KERNEL_HANDLE,
                    "invalid handle closed from kernel mode");
    EXPECT_BUGCHECK(
        {
            CreateEvent();
            KiStopKernel();
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION,
        "leaked handle 0x4 to a Event object in process System");
}

} // namespace
