// probe_test.cpp - probes of user buffers and user address spaces: what is
// committed user memory of which process, and how a failed probe raises.
#include "ntos/kernel_fixture.h"
#include "ntos/mm/user_memory.h"
#include "ntos/ps/psp.h"

namespace {

class ProbeTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(PspCreateProcess(u"probe.exe", &Process), STATUS_SUCCESS);
        ASSERT_EQ(MmpCreateUserAddressSpace(Process), STATUS_SUCCESS);
    }
    void TearDown() override {
        MmpDeleteUserAddressSpace(Process);
        PspTerminateProcess(Process, STATUS_SUCCESS);
        ObDereferenceObject(Process);
        KernelTest::TearDown();
    }
    // The status a probe raises in Process's context, or STATUS_SUCCESS.
    NTSTATUS ProbeIn(PVOID Address, SIZE_T Length, ULONG Alignment, bool Write) {
        NTSTATUS status = STATUS_SUCCESS;
        KeAttachProcess(&Process->Pcb);
        _SEH2_TRY {
            if (Write) {
                ProbeForWrite(Address, Length, Alignment);
            } else {
                ProbeForRead(Address, Length, Alignment);
            }
        }
        _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            status = GetExceptionCode();
        }
        _SEH2_END;
        KeDetachProcess();
        return status;
    }
    PEPROCESS Process = nullptr;
};

TEST_F(ProbeTest, OnlyCommittedMemoryOfTheCurrentProcessPasses) {
    PVOID base = nullptr;
    SIZE_T size = 3 * PAGE_SIZE;
    ASSERT_EQ(MmpAllocateUserMemory(Process, &base, &size, MEM_RESERVE, PAGE_NOACCESS),
              STATUS_SUCCESS);
    EXPECT_LT(reinterpret_cast<ULONG_PTR>(base) + size, 0x100000000ull) << "fits in 32 bits";
    EXPECT_EQ(ProbeIn(base, 16, 4, false), STATUS_ACCESS_VIOLATION) << "reserved only";

    PVOID page = static_cast<PUCHAR>(base) + PAGE_SIZE;
    SIZE_T pageSize = PAGE_SIZE;
    ASSERT_EQ(MmpAllocateUserMemory(Process, &page, &pageSize, MEM_COMMIT, PAGE_READWRITE),
              STATUS_SUCCESS);
    EXPECT_EQ(ProbeIn(page, PAGE_SIZE, 8, true), STATUS_SUCCESS);
    EXPECT_EQ(ProbeIn(static_cast<PUCHAR>(page) + 8, PAGE_SIZE, 8, false), STATUS_ACCESS_VIOLATION)
        << "a range running into an uncommitted page";
    EXPECT_EQ(ProbeIn(static_cast<PUCHAR>(page) + 2, 4, 4, false), STATUS_DATATYPE_MISALIGNMENT);
    EXPECT_EQ(ProbeIn(nullptr, 0, 4, true), STATUS_SUCCESS) << "nothing to probe";

    // The System process has no user memory at all.
    NTSTATUS status = STATUS_SUCCESS;
    _SEH2_TRY {
        ProbeForRead(page, 4, 4);
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    _SEH2_END;
    EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);

    static_cast<PUCHAR>(page)[0] = 7;
    SIZE_T decommit = PAGE_SIZE;
    ASSERT_EQ(MmpFreeUserMemory(Process, &page, &decommit, MEM_DECOMMIT), STATUS_SUCCESS);
    EXPECT_EQ(ProbeIn(page, 1, 1, false), STATUS_ACCESS_VIOLATION);
    ASSERT_EQ(MmpAllocateUserMemory(Process, &page, &pageSize, MEM_COMMIT, PAGE_READONLY),
              STATUS_SUCCESS);
    EXPECT_EQ(static_cast<PUCHAR>(page)[0], 0) << "recommitted pages are zero";
    EXPECT_EQ(ProbeIn(page, 1, 1, true), STATUS_ACCESS_VIOLATION) << "read-only page written";

    SIZE_T release = PAGE_SIZE;
    EXPECT_NE(MmpFreeUserMemory(Process, &base, &release, MEM_RELEASE), STATUS_SUCCESS)
        << "a release names the whole reservation with size 0";
    release = 0;
    EXPECT_EQ(MmpFreeUserMemory(Process, &base, &release, MEM_RELEASE), STATUS_SUCCESS);
    EXPECT_EQ(release, 3u * PAGE_SIZE);
}

TEST_F(ProbeTest, EmbeddedAddressReachesTheSameBytes) {
    PVOID base = nullptr;
    SIZE_T size = PAGE_SIZE;
    ASSERT_EQ(
        MmpAllocateUserMemory(Process, &base, &size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE),
        STATUS_SUCCESS);
    KeAttachProcess(&Process->Pcb);
    PVOID pointer = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    _SEH2_TRY {
        pointer =
            MmGetUserBuffer(static_cast<ULONG32>(reinterpret_cast<ULONG_PTR>(base)), 64, 4, TRUE);
        MmGetUserBuffer(static_cast<ULONG32>(reinterpret_cast<ULONG_PTR>(base)) + PAGE_SIZE, 1, 1,
                        FALSE);
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
        EXPECT_EQ(GetExceptionInformation()->ExceptionRecord->ExceptionInformation[1],
                  reinterpret_cast<ULONG_PTR>(base) + PAGE_SIZE)
            << "the faulting address is reported";
    }
    _SEH2_END;
    KeDetachProcess();
    EXPECT_EQ(pointer, base);
    EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
}

} // namespace
