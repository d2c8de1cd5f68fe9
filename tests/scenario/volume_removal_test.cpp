// A volume removed while frozen or while quiescing, with writes in flight:
// the snapshot ends, its stores close, nothing hangs or leaks.
#include "snapshot_fixture.h"
#include "ntos/pnp/pnp.h"

namespace {

TEST_F(SnapshotTest, RemovalWhileFrozenEndsTheSnapshotAndClosesTheStores) {
    FreezeCall freeze = FreezeOfC();
    Freeze(freeze);
    ASSERT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);
    WriterJob writer;
    writer.Path = u"C:\\busy.bin";
    writer.Bytes = 16384;
    writer.Unbuffered = TRUE;
    Running writing = Start(WriterProgram, &writer);
    ASSERT_TRUE(WaitFor([&] { return writer.Writes.load() > 4; }));

    PDEVICE_OBJECT c = Volumes()[0];
    ASSERT_EQ(PnpSendSurpriseRemoval(c), STATUS_SUCCESS);
    EXPECT_EQ(FlagsOfC() & ~VOLUME_ATTACHED, 0);
    EXPECT_EQ(FilterOfC()->PreviousChangeStore, nullptr);
    EXPECT_EQ(FilterOfC()->ChangeStores[0].File, nullptr) << "the store was closed";
    EXPECT_EQ(Thaw(freeze.Reply.VolumeHandle), QVD_RESULT_INVALID);
    FreezeCall after = FreezeOfC();
    Freeze(after);
    EXPECT_EQ(after.Reply.Result, QVD_RESULT_INVALID) << "no new snapshot on a departed volume";

    writer.Stop = true;
    Finish(writing);
    ASSERT_EQ(PnpSendRemove(c), STATUS_SUCCESS);
    EXPECT_EQ(c->AttachedDevice, nullptr);
}

TEST_F(SnapshotTest, RemovalWhileQuiescingFailsTheFreezeAndWaitsForIt) {
    WriterJob writer;
    writer.Path = u"C:\\busy.bin";
    writer.Bytes = 16384;
    writer.Unbuffered = TRUE;
    Running writing = Start(WriterProgram, &writer);
    ASSERT_TRUE(WaitFor([&] { return writer.Writes.load() > 0; }));
    FreezeCall freeze = FreezeOfC();
    freeze.MaxQuiesceMs = 60000;
    Running freezing = Start(FreezeProgram, &freeze);
    ASSERT_TRUE(WaitFor([&] { return (FlagsOfC() & VOLUME_QUIESCING) != 0; }));

    PDEVICE_OBJECT c = Volumes()[0];
    ASSERT_EQ(PnpSendRemove(c), STATUS_SUCCESS) << "returns once the freeze gave up";
    Finish(freezing);
    EXPECT_EQ(freeze.Reply.Result, QVD_RESULT_FREEZE_FAILED);
    EXPECT_EQ(c->AttachedDevice, nullptr);
    writer.Stop = true;
    Finish(writing);
}

} // namespace
