// lifecycle_race_test.cpp - lifecycle races, each with writers (cached and
// non-cached) and readers of the volume in flight and the scheduling jitter
// on, seeded by the test's parameter: thaw while quiescing; a replacing
// freeze while frozen and while quiescing; surprise removal then removal
// while frozen; the agent's process ending while frozen; two volumes frozen
// at once by two agents.
// Each must end in bounded time with the volumes idle and the driver's pool
// and handles back where they were (or, once the volumes are gone, none of
// its pool left).
//
// Two seeds per race by default; QVD_RELIABILITY_FULL=1 runs 25.
#include "reliability_fixture.h"
#include "ntos/ke/kernel.h"
#include "ntos/pnp/pnp.h"

#include <cstdio>
#include <cstdlib>

namespace {

const int BoundMs = 20000; // host time any step may take before it counts as a hang
const LONGLONG WatchdogPeriod = 61ll * 10000000;

struct RaceCounts {
    ULONG Races = 0;
    ULONG Hangs = 0;
};
RaceCounts Counts;

class RaceFigure : public ::testing::Environment {
  public:
    void TearDown() override {
        if (Counts.Races != 0) {
            std::printf("%lu races run, %lu hangs\n", (unsigned long)Counts.Races,
                        (unsigned long)Counts.Hangs);
        }
    }
};
::testing::Environment* const Figure = ::testing::AddGlobalTestEnvironment(new RaceFigure);

ULONG SeedsPerRace() {
    return std::getenv("QVD_RELIABILITY_FULL") != nullptr ? 25 : 2;
}

class LifecycleRaceTest : public ReliabilityTest, public ::testing::WithParamInterface<ULONG> {
  protected:
    void Describe(BOOT_MACHINE_DESCRIPTION& Description) override {
        ReliabilityTest::Describe(Description);
        Description.Storage.push_back(BOOT_STORAGE_DEVICE{u"E:", 8 << 20, 512, FALSE});
    }

    void SetUp() override {
        ReliabilityTest::SetUp();
        // A first snapshot of each volume leaves its change store behind:
        // the baseline holds one per volume, as after every later thaw.
        for (const char16_t* letter : {u"C:", u"E:"}) {
            FreezeCall freeze = FreezeOn(letter, 0);
            Freeze(freeze);
            ASSERT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);
            Handles.push_back(freeze.Reply.VolumeHandle);
            ASSERT_EQ(Thaw(freeze.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
        }
        Baseline = DriverFootprint(true);
        KiSetSchedulingJitter(GetParam(), 5, 300);
        Counts.Races++;
    }

    void TearDown() override {
        KiSetSchedulingJitter(0, 0, 0);
        if (Machine->Running) {
            ShutDownQvdnt5Machine(Machine);
        }
        EXPECT_TRUE(DriverFootprint().Pool.empty())
            << "left after the volumes went: " << Text(DriverFootprint());
        ReliabilityTest::TearDown();
    }

    // A freeze of Letter with its files on the same volume; Store picks one
    // of two change stores (a snapshot's store stays open until the next).
    static FreezeCall FreezeOn(const char16_t* Letter, int Store) {
        static const char16_t* const partial[] = {u"C:\\partial.dat", u"E:\\partial.dat"};
        static const char16_t* const stores[2][2] = {{u"C:\\changes0.bmp", u"C:\\changes1.bmp"},
                                                     {u"E:\\changes0.bmp", u"E:\\changes1.bmp"}};
        const int volume = Letter[0] == u'E';
        FreezeCall call = FreezeOfC(stores[volume][Store]);
        call.VolumeName = Letter;
        call.PartialDataFilePath = partial[volume];
        call.MaxQuiesceMs = 1500;
        call.QuietPeriodMs = 100;
        return call;
    }

    // Writers and a reader of a volume that is not the agent.
    struct Traffic {
        WriterJob Cached, Direct;
        VolumeReaderJob Reader;
        std::vector<Running> Programs;
    };
    void StartTraffic(Traffic& Load, bool OnE = false) {
        Load.Cached.Path = OnE ? u"E:\\cached.bin" : u"C:\\cached.bin";
        Load.Cached.Bytes = 256 << 10;
        Load.Direct.Path = OnE ? u"E:\\direct.bin" : u"C:\\direct.bin";
        Load.Direct.Bytes = 256 << 10;
        Load.Direct.Unbuffered = TRUE;
        Load.Reader.VolumePath = OnE ? u"\\\\.\\E:" : u"\\\\.\\C:";
        Load.Programs.push_back(Start(WriterProgram, &Load.Cached));
        Load.Programs.push_back(Start(WriterProgram, &Load.Direct));
        Load.Programs.push_back(Start(VolumeReaderProgram, &Load.Reader));
        EXPECT_TRUE(WaitFor([&] { return Load.Cached.Writes > 4 && Load.Direct.Writes > 4; }));
    }
    bool StopTraffic(Traffic& Load) {
        Load.Cached.Stop = Load.Direct.Stop = Load.Reader.Stop = true;
        bool ended = true;
        for (Running& program : Load.Programs) {
            ended &= End(program, "traffic");
        }
        return ended;
    }

    // Waits a bounded time for Program to end, then ends its process. A
    // program still running is a hang: it is left alone.
    bool End(Running& Program, const char* What) {
        ULONG exitCode = 0;
        if (BootWaitUserThread(Program.Thread, BoundMs, &exitCode) != STATUS_SUCCESS) {
            Counts.Hangs++;
            ADD_FAILURE() << What << " did not end within " << BoundMs << " ms";
            return false;
        }
        Finish(Program);
        return true;
    }

    SnapshotAgent* NewAgent(const char16_t* Letter, int Store) {
        Agents.push_back(std::make_unique<SnapshotAgent>());
        SnapshotAgent* agent = Agents.back().get();
        agent->Freeze = FreezeOn(Letter, Store);
        agent->VolumePath = Letter[0] == u'E' ? u"\\\\.\\E:" : u"\\\\.\\C:";
        agent->Seed = GetParam();
        agent->Reading = AgentReads::UntilStop;
        return agent;
    }
    // Starts Agent and waits until it froze and reads.
    Running StartFrozen(SnapshotAgent* Agent) {
        Running program = Start(SnapshotAgentProgram, Agent);
        EXPECT_TRUE(WaitFor([&] { return Agent->Phase != 0; }, BoundMs));
        EXPECT_EQ(Agent->Phase, 1) << "freeze result " << Agent->Freeze.Reply.Result;
        Agent->Phase = 2;
        EXPECT_TRUE(WaitFor([&] { return Agent->Reads > 8; }, BoundMs));
        return program;
    }

    FilterExtension* FilterOf(int Volume) {
        PDEVICE_OBJECT device =
            Volume == 0 ? Volumes()[0] : DiskFindVolume(u"\\Device\\HarddiskVolume4");
        return static_cast<FilterExtension*>(device->AttachedDevice->DeviceExtension);
    }
    UCHAR FlagsOf(int Volume) { return ReadVolumeFlags(FilterOf(Volume)); }
    // Both volumes idle and the footprint at the baseline, within the bound.
    void ExpectSettled() {
        for (int volume : {0, 1}) {
            EXPECT_TRUE(WaitFor([&] { return Idle(FilterOf(volume)); }, BoundMs))
                << "volume " << volume << " not idle: flags 0x" << std::hex << (int)FlagsOf(volume);
        }
        EXPECT_TRUE(BackTo(Baseline, BoundMs, true));
    }

    std::vector<ULONG> Handles; // of C: and E:
    Footprint Baseline;
    std::vector<std::unique_ptr<SnapshotAgent>> Agents;
};

TEST_P(LifecycleRaceTest, ThawWhileQuiescing) {
    Traffic load;
    StartTraffic(load); // the non-cached writer keeps C: from turning quiet
    FreezeCall freeze = FreezeOn(u"C:", 1);
    Running freezing = Start(FreezeProgram, &freeze);
    ASSERT_TRUE(WaitFor([&] { return (FlagsOf(0) & VOLUME_QUIESCING) != 0; }, BoundMs));
    Thaw(Handles[0]);
    ASSERT_TRUE(StopTraffic(load));
    ASSERT_TRUE(End(freezing, "the freeze"));
    if (freeze.Reply.Result == QVD_RESULT_SUCCESS) {
        Thaw(freeze.Reply.VolumeHandle);
    }
    ExpectSettled();
}

TEST_P(LifecycleRaceTest, ReplacingFreezeWhileFrozen) {
    SnapshotAgent* first = NewAgent(u"C:", 1);
    Running agent = StartFrozen(first);
    Traffic load;
    StartTraffic(load);
    FreezeCall replace = FreezeOn(u"C:", 0);
    replace.FreezeFlags = QVD_FREEZE_REPLACE_FREEZE;
    replace.KeepMutex = TRUE;
    Running replacing = Start(FreezeProgram, &replace);
    if (GetParam() % 2 == 0) {
        ASSERT_TRUE(StopTraffic(load)); // let the replacing freeze find C: quiet
    }
    ASSERT_TRUE(End(replacing, "the replacing freeze"));
    first->Stop = true;
    ASSERT_TRUE(End(agent, "the first agent"));
    if (GetParam() % 2 != 0) {
        ASSERT_TRUE(StopTraffic(load));
    }
    Thaw(Handles[0]); // the volume's one snapshot, whichever it is
    ExpectSettled();
}

TEST_P(LifecycleRaceTest, ReplacingFreezeWhileQuiescing) {
    Traffic load;
    StartTraffic(load);
    FreezeCall first = FreezeOn(u"C:", 1);
    first.KeepMutex = TRUE;
    Running freezing = Start(FreezeProgram, &first);
    ASSERT_TRUE(WaitFor([&] { return (FlagsOf(0) & VOLUME_QUIESCING) != 0; }, BoundMs));
    FreezeCall replace = FreezeOn(u"C:", 0);
    replace.FreezeFlags = QVD_FREEZE_REPLACE_FREEZE;
    replace.KeepMutex = TRUE;
    Running replacing = Start(FreezeProgram, &replace);
    ASSERT_TRUE(StopTraffic(load));
    ASSERT_TRUE(End(freezing, "the first freeze"));
    ASSERT_TRUE(End(replacing, "the replacing freeze"));
    Thaw(Handles[0]);
    ExpectSettled();
}

TEST_P(LifecycleRaceTest, SurpriseRemovalThenRemovalWhileFrozen) {
    SnapshotAgent* reader = NewAgent(u"C:", 1);
    Running agent = StartFrozen(reader);
    Traffic load;
    StartTraffic(load);
    PDEVICE_OBJECT c = Volumes()[0];
    ASSERT_EQ(PnpSendSurpriseRemoval(c), STATUS_SUCCESS);
    ASSERT_EQ(PnpSendRemove(c), STATUS_SUCCESS);
    reader->Stop = true;
    ASSERT_TRUE(End(agent, "the agent"));
    ASSERT_TRUE(StopTraffic(load));
    EXPECT_EQ(c->AttachedDevice, nullptr);
}

TEST_P(LifecycleRaceTest, AgentProcessEndsWhileFrozen) {
    SnapshotAgent* dying = NewAgent(u"C:", 1);
    dying->Thaw = FALSE;
    Running agent = StartFrozen(dying);
    Traffic load;
    StartTraffic(load);
    dying->Stop = true;
    ASSERT_TRUE(End(agent, "the agent")); // its mutex is abandoned, its process gone
    KiClockJump(WatchdogPeriod);
    ASSERT_TRUE(WaitFor([&] { return Idle(FilterOf(0)); }, BoundMs)) << "the watchdog did not thaw";
    ASSERT_TRUE(StopTraffic(load));
    EXPECT_EQ(Thaw(Handles[0]), QVD_RESULT_SUCCESS) << "the watchdog's timer block goes now";
    ExpectSettled();
}

TEST_P(LifecycleRaceTest, TwoVolumesFrozenByTwoAgents) {
    SnapshotAgent* onC = NewAgent(u"C:", 1);
    SnapshotAgent* onE = NewAgent(u"E:", 1);
    Running agents[] = {Start(SnapshotAgentProgram, onC), Start(SnapshotAgentProgram, onE)};
    ASSERT_TRUE(WaitFor([&] { return onC->Phase != 0 && onE->Phase != 0; }, BoundMs));
    EXPECT_EQ(onC->Phase, 1);
    EXPECT_EQ(onE->Phase, 1);
    onC->Phase = onE->Phase = 2;
    Traffic loadC, loadE;
    StartTraffic(loadC);
    StartTraffic(loadE, true);
    const int first = GetParam() % 2;
    SnapshotAgent* jobs[] = {onC, onE};
    jobs[first]->Stop = true;
    jobs[1 - first]->Stop = true;
    ASSERT_TRUE(End(agents[first], "an agent"));
    ASSERT_TRUE(End(agents[1 - first], "an agent"));
    EXPECT_EQ(onC->ThawResult, QVD_RESULT_SUCCESS);
    EXPECT_EQ(onE->ThawResult, QVD_RESULT_SUCCESS);
    ASSERT_TRUE(StopTraffic(loadC));
    ASSERT_TRUE(StopTraffic(loadE));
    ExpectSettled();
}

INSTANTIATE_TEST_SUITE_P(Seeds, LifecycleRaceTest, ::testing::Range(1u, 1u + SeedsPerRace()));

} // namespace
