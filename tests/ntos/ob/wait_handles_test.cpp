// ZwWaitForMultipleObjects: any and all, the index of the signalled object,
// time-outs, more objects than a thread's own wait blocks, and the
// parameters the platform refuses. Kernel callers: access is not checked.
#include "ntddk.h"
#include "ntos/kernel_fixture.h"

#include <vector>

namespace {

class WaitHandlesTest : public KernelTest {
  protected:
    HANDLE Event(EVENT_TYPE Type, BOOLEAN Signalled) {
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, nullptr, 0, nullptr, nullptr);
        HANDLE handle = nullptr;
        EXPECT_EQ(ZwCreateEvent(&handle, EVENT_ALL_ACCESS, &oa, Type, Signalled), STATUS_SUCCESS);
        Handles.push_back(handle);
        return handle;
    }
    void TearDown() override {
        for (HANDLE handle : Handles) {
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
        KernelTest::TearDown();
    }
    std::vector<HANDLE> Handles;
};

TEST_F(WaitHandlesTest, AnyGivesTheFirstSignalledIndexAndAllNeedsEvery) {
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    // Eight objects: more than a thread's built-in wait blocks.
    std::vector<HANDLE> handles;
    for (int i = 0; i < 8; ++i) {
        handles.push_back(Event(SynchronizationEvent, i == 5 || i == 6));
    }
    EXPECT_EQ(ZwWaitForMultipleObjects(8, handles.data(), WaitAny, FALSE, &poll),
              STATUS_WAIT_0 + 5)
        << "the lowest signalled index";
    EXPECT_EQ(ZwWaitForMultipleObjects(8, handles.data(), WaitAny, FALSE, &poll),
              STATUS_WAIT_0 + 6)
        << "the synchronization event 5 was reset by the first wait";
    EXPECT_EQ(ZwWaitForMultipleObjects(8, handles.data(), WaitAny, FALSE, &poll), STATUS_TIMEOUT);

    for (HANDLE handle : handles) {
        ZwSetEvent(handle, nullptr);
    }
    ZwClearEvent(handles[3]);
    EXPECT_EQ(ZwWaitForMultipleObjects(8, handles.data(), WaitAll, FALSE, &poll), STATUS_TIMEOUT)
        << "one object not signalled";
    EXPECT_EQ(ZwWaitForMultipleObjects(1, &handles[0], WaitAny, FALSE, &poll), STATUS_WAIT_0)
        << "a failed wait for all took nothing";
    ZwSetEvent(handles[0], nullptr);
    ZwSetEvent(handles[3], nullptr);
    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -10 * 1000 * 10; // 10 ms
    EXPECT_EQ(ZwWaitForMultipleObjects(8, handles.data(), WaitAll, FALSE, &shortWait),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForMultipleObjects(8, handles.data(), WaitAny, FALSE, &poll), STATUS_TIMEOUT)
        << "a wait for all took every synchronization event";
}

TEST_F(WaitHandlesTest, RefusesWhatThePlatformRefuses) {
    HANDLE event = Event(NotificationEvent, TRUE);
    HANDLE twice[2] = {event, event};
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, event);

    EXPECT_EQ(ZwWaitForMultipleObjects(0, twice, WaitAny, FALSE, &poll),
              STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(ZwWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, tooMany.data(), WaitAny, FALSE,
                                       &poll),
              STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(ZwWaitForMultipleObjects(2, twice, static_cast<WAIT_TYPE>(7), FALSE, &poll),
              STATUS_INVALID_PARAMETER_3);
    EXPECT_EQ(ZwWaitForMultipleObjects(2, twice, WaitAll, FALSE, &poll),
              STATUS_INVALID_PARAMETER_MIX)
        << "one object twice in a wait for all";
    EXPECT_EQ(ZwWaitForMultipleObjects(2, twice, WaitAny, FALSE, &poll), STATUS_WAIT_0)
        << "is fine in a wait for any";
    HANDLE bad[2] = {event, reinterpret_cast<HANDLE>(0x7FFC)};
    EXPECT_EQ(ZwWaitForMultipleObjects(2, bad, WaitAny, FALSE, &poll), STATUS_INVALID_HANDLE);
}

} // namespace
