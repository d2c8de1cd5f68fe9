// Quiescing: requests the agent got wrong, a volume kept busy past the
// agent's limit, a volume frozen twice, and the volume's file system.
#include "snapshot_fixture.h"

namespace {

TEST_F(SnapshotTest, RequestsWithMissingOrOutOfRangeFieldsAreInvalid) {
    struct Case {
        const char* What;
        void (*Spoil)(FreezeCall&);
    };
    const Case cases[] = {
        {"no volume", [](FreezeCall& c) { c.VolumeName = nullptr; }},
        {"no partial data file", [](FreezeCall& c) { c.PartialDataFilePath = nullptr; }},
        {"path without drive", [](FreezeCall& c) { c.PartialDataFilePath = u"\\partial.dat"; }},
        {"MaxQuiesceMs 0", [](FreezeCall& c) { c.MaxQuiesceMs = 0; }},
        {"QuietPeriodMs 0", [](FreezeCall& c) { c.QuietPeriodMs = 0; }},
        {"WarnFreeKB < MinFreeKB", [](FreezeCall& c) { c.MinFreeKB = 1; }},
        {"MaxQuiesceMs overflows", [](FreezeCall& c) { c.MaxQuiesceMs = ~0ull / 1000; }},
        {"QuietPeriodMs overflows", [](FreezeCall& c) { c.QuietPeriodMs = ~0ull / 1000; }},
        {"WarnFreeKB overflows", [](FreezeCall& c) { c.WarnFreeKB = c.MinFreeKB = ~0ull / 512; }},
        {"unknown drive", [](FreezeCall& c) { c.VolumeName = u"Q:"; }},
    };
    for (const Case& test : cases) {
        FreezeCall call = FreezeOfC();
        test.Spoil(call);
        Freeze(call);
        EXPECT_EQ(call.Status, STATUS_SUCCESS) << test.What;
        EXPECT_EQ(call.Reply.Result, QVD_RESULT_INVALID) << test.What;
        EXPECT_EQ(call.Reply.VolumeHandle, 0u) << test.What;
    }
    FreezeCall readOnly = FreezeOfC();
    readOnly.VolumeName = u"D:";
    Freeze(readOnly);
    EXPECT_EQ(readOnly.Reply.Result, QVD_RESULT_READ_ONLY_VOLUME);
    FreezeCall unowned = FreezeOfC();
    unowned.MutexNotOwned = TRUE;
    Freeze(unowned);
    EXPECT_EQ(unowned.Reply.Result, QVD_RESULT_BAD_MUTEX);
    EXPECT_EQ(FlagsOfC() & ~VOLUME_ATTACHED, 0) << "no failed freeze leaves state behind";

    FreezeCall equalLimits = FreezeOfC();
    equalLimits.WarnFreeKB = equalLimits.MinFreeKB = 1;
    Freeze(equalLimits);
    EXPECT_EQ(equalLimits.Reply.Result, QVD_RESULT_SUCCESS) << "WarnFreeKB = MinFreeKB is valid";
    EXPECT_EQ(Thaw(equalLimits.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
}

TEST_F(SnapshotTest, AFileWrittenContinuouslyKeepsTheVolumeQuiescingUntilTheLimit) {
    WriterJob writer;
    writer.Path = u"C:\\busy.bin";
    writer.Bytes = 16384;
    writer.Unbuffered = TRUE; // each write reaches the volume at once
    Running writing = Start(WriterProgram, &writer);
    ASSERT_TRUE(WaitFor([&] { return writer.Writes.load() > 0; }));

    FreezeCall freeze = FreezeOfC();
    freeze.MaxQuiesceMs = 1000;
    freeze.QuietPeriodMs = 300;
    const LONGLONG elapsed = Freeze(freeze);
    writer.Stop = true;
    Finish(writing);
    EXPECT_EQ(writer.Error, 0u);
    EXPECT_EQ(freeze.Reply.Result, QVD_RESULT_FREEZE_FAILED);
    EXPECT_EQ(freeze.Reply.VolumeHandle, 0u);
    EXPECT_GE(elapsed, 1000);
    EXPECT_EQ(FlagsOfC() & ~VOLUME_ATTACHED, 0) << "idle again";
    EXPECT_EQ(FilterOfC()->SnapshotContext, nullptr);
    EXPECT_EQ(FilterOfC()->FreezeTimer, nullptr);

    // Once the writer stopped, the volume freezes; the failed freeze's store
    // was merged, not reported.
    FreezeCall quiet = FreezeOfC(u"C:\\next.bmp");
    Freeze(quiet);
    EXPECT_EQ(quiet.Reply.Result, QVD_RESULT_SUCCESS);
    EXPECT_EQ(quiet.Reply.PreviousChangeStoreName[0], 0);
    EXPECT_EQ(Thaw(quiet.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
}

TEST_F(SnapshotTest, AFrozenVolumeIsFrozenAgainOnlyWhenTheAgentAsksToReplace) {
    FreezeCall first = FreezeOfC();
    Freeze(first);
    ASSERT_EQ(first.Reply.Result, QVD_RESULT_SUCCESS);

    FreezeCall second = FreezeOfC(u"C:\\second.bmp");
    Freeze(second);
    EXPECT_EQ(second.Reply.Result, QVD_RESULT_ALREADY_FROZEN);
    EXPECT_EQ(second.Reply.VolumeHandle, 0u) << "left as the agent sent it";

    second.FreezeFlags = QVD_FREEZE_REPLACE_FREEZE;
    Freeze(second);
    EXPECT_EQ(second.Reply.Result, QVD_RESULT_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(
                  second.Reply.PreviousChangeStoreName)),
              u"C:\\changes.bmp")
        << "the replaced snapshot's store is the previous one";
    EXPECT_EQ(Thaw(second.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
}

} // namespace
