// Only a caller who may read the whole volume freezes it or names
// pass-through files; anyone may ask the version.
#include "snapshot_fixture.h"

namespace {

ControlCall PassThroughCall(ULONG Code, const char16_t* Path) {
    ControlCall call = {};
    call.Code = Code;
    call.InputLength = call.OutputLength = Code == IOCTL_QVD_CLEAR_PASS_THROUGH_FILES ? 4 : 8;
    call.OpenPath = Path;
    return call;
}

TEST_F(SnapshotTest, APlainUserIsRefusedAndChangesNothing) {
    FreezeCall freeze = FreezeOfC();
    Freeze(freeze, BootUserPlain);
    EXPECT_EQ(freeze.Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(FlagsOfC() & ~VOLUME_ATTACHED, 0);

    ControlCall version = {};
    version.Code = IOCTL_QVD_QUERY_VERSION;
    version.InputLength = version.OutputLength = sizeof(QvdVersionInfo);
    std::vector<ControlCall> calls = {
        version,
        PassThroughCall(IOCTL_QVD_ADD_PASS_THROUGH_FILE, u"C:\\mine.txt"),
        PassThroughCall(IOCTL_QVD_REMOVE_PASS_THROUGH_FILE, u"C:\\mine.txt"),
        PassThroughCall(IOCTL_QVD_CLEAR_PASS_THROUGH_FILES, nullptr),
    };
    Send(calls, BootUserPlain);
    EXPECT_EQ(calls[0].Status, STATUS_SUCCESS);
    EXPECT_EQ(RecordOf<QvdVersionInfo>(calls[0])->Build, 102u);
    for (size_t i = 1; i < calls.size(); i++) {
        EXPECT_EQ(calls[i].Status, STATUS_ACCESS_DENIED) << "call " << i;
        EXPECT_EQ(calls[i].Information, 0u);
    }
}

TEST_F(SnapshotTest, ABackupOperatorFreezesAndNamesPassThroughFiles) {
    FreezeCall freeze = FreezeOfC();
    Freeze(freeze, BootUserBackupOperator);
    ASSERT_EQ(freeze.Status, STATUS_SUCCESS);
    EXPECT_EQ(freeze.Reply.Result, QVD_RESULT_SUCCESS);

    ControlCall badHandle = PassThroughCall(IOCTL_QVD_ADD_PASS_THROUGH_FILE, nullptr);
    std::vector<ControlCall> calls = {
        PassThroughCall(IOCTL_QVD_ADD_PASS_THROUGH_FILE, u"C:\\mine.txt"),
        PassThroughCall(IOCTL_QVD_REMOVE_PASS_THROUGH_FILE, u"C:\\mine.txt"),
        PassThroughCall(IOCTL_QVD_REMOVE_PASS_THROUGH_FILE, u"C:\\mine.txt"),
        badHandle,
    };
    Send(calls, BootUserBackupOperator);
    const ULONG expected[] = {QVD_RESULT_SUCCESS, QVD_RESULT_SUCCESS, QVD_RESULT_NOT_LISTED,
                              QVD_RESULT_BAD_FILE_HANDLE};
    for (size_t i = 0; i < calls.size(); i++) {
        EXPECT_EQ(calls[i].Status, STATUS_SUCCESS) << "call " << i;
        EXPECT_EQ(RecordOf<QvdResultRecord>(calls[i])->Result, expected[i]) << "call " << i;
    }
    EXPECT_EQ(Thaw(freeze.Reply.VolumeHandle), QVD_RESULT_SUCCESS);
}

} // namespace
