// power_test.cpp - a query-power or set-power request must not finish before
// every driver it reached has let the next power request start.
#include "expect_bugcheck.h"
#include "io_fixture.h"

TEST_F(IoTest, PowerRequestFinishedWithoutPoStartNextPowerIrpIsABugCheck) {
    auto devices = Stack({TestAction::Complete, TestAction::PassDown});
    for (UCHAR minor : {IRP_MN_SET_POWER, IRP_MN_QUERY_POWER}) {
        PIRP irp = IoAllocateIrp(devices[1]->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = minor;
        EXPECT_BUGCHECK(PoCallDriver(devices[1], irp), DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                        "before every driver it reached called PoStartNextPowerIrp");
        IoFreeIrp(irp);
    }
}
