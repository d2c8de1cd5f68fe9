// Memory descriptor lists: layout, partial MDLs, locking and mapping rules.
#include "io_fixture.h"

TEST_F(IoTest, MdlDescribesItsBufferAndPartialMdlsAPartOfIt) {
    alignas(4096) static UCHAR buffer[3 * 4096];
    PUCHAR start = buffer + 100;
    PMDL mdl = IoAllocateMdl(start, 8000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 8000u);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), 100u);
    EXPECT_EQ(mdl->StartVa, buffer);
    EXPECT_EQ(static_cast<SIZE_T>(mdl->Size), sizeof(MDL) + 2 * sizeof(PFN_NUMBER));

    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);

    PMDL part = IoAllocateMdl(start + 5000, 1000, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(mdl, part, start + 5000, 1000);
    EXPECT_TRUE(part->MdlFlags & MDL_PARTIAL);
    EXPECT_EQ(MmGetMdlVirtualAddress(part), start + 5000);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), start + 5000);
    IoFreeMdl(part);

    MmUnlockPages(mdl);
    EXPECT_FALSE(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
    IoFreeMdl(mdl);
}

// Secondary MDLs chain behind the request's first; an MDL of non-paged pool
// maps without locking.
TEST_F(IoTest, MdlsChainToTheirRequestAndPoolMdlsNeedNoLocking) {
    static UCHAR buffer[64];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(buffer, 32, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(buffer + 32, 32, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);

    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 256, EX_POOL_TAG('T', 'e', 's', 't'));
    PMDL mdl = IoAllocateMdl(block, 256, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);
    IoFreeMdl(mdl);
    ExFreePool(block);
}

using IoMdlDeathTest = IoTest;

TEST_F(IoMdlDeathTest, MdlRulesAreEnforced) {
    static UCHAR buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, 64, FALSE, FALSE, nullptr);
    EXPECT_BUGCHECK(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority),
                    DRIVER_VERIFIER_IOMANAGER_VIOLATION, "mapped before its pages were locked");
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    EXPECT_BUGCHECK(IoFreeMdl(mdl), DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS, "pages still locked");
    MmUnlockPages(mdl);
    EXPECT_BUGCHECK(MmUnlockPages(mdl), DRIVER_VERIFIER_IOMANAGER_VIOLATION, "not locked");
    IoFreeMdl(mdl);
}
