// create_test.cpp - opening files: dispositions and their results,
// attributes of hidden and system files, share access, directories, one
// FsContext per stream and names relative to the volume root.
#include "fs_fixture.h"

namespace {

using CreateTest = FsTest;

ULONGLONG SizeOf(HANDLE File) {
    UCHAR probe[1];
    ULONGLONG size = 0;
    // The end of the file is where a one-byte read first hits it.
    for (ULONGLONG at = 0;; at++) {
        ULONG_PTR read = 0;
        IO_STATUS_BLOCK iosb;
        LARGE_INTEGER offset;
        offset.QuadPart = static_cast<LONGLONG>(at);
        if (ZwReadFile(File, nullptr, nullptr, nullptr, &iosb, probe, 1, &offset, nullptr) !=
            STATUS_SUCCESS) {
            return size;
        }
        read = iosb.Information;
        size = at + read;
    }
}

TEST_F(CreateTest, DispositionsGiveThePlatformsResults) {
    struct Case {
        ULONG Disposition;
        bool Exists;
        NTSTATUS Status;
        ULONG_PTR Information;
        bool Emptied;
    };
    const Case cases[] = {
        {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, true},
        {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, true},
        {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, false},
        {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, false},
        {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, true},
        {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, 0, false},
        {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, true},
        {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, false},
        {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, false},
        {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, true},
        {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, true},
        {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::u16string name = u"\\case" + std::u16string(1, static_cast<char16_t>(u'a' + n++));
        if (c.Exists) {
            HANDLE existing = Create(name);
            ASSERT_EQ(Write(existing, 0, "12345", 5), STATUS_SUCCESS);
            ZwClose(existing);
        }
        HANDLE file = nullptr;
        ULONG_PTR information = 0;
        NTSTATUS status =
            Open(name, &file, c.Disposition, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                 GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, 0, 0, &information);
        SCOPED_TRACE(testing::Message() << "disposition " << c.Disposition << " on "
                                        << (c.Exists ? "an existing" : "a missing") << " file");
        EXPECT_EQ(status, c.Status);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(information, c.Information);
            EXPECT_EQ(SizeOf(file), c.Emptied ? 0u : 5u);
            ZwClose(file);
        }
    }
}

TEST_F(CreateTest, ReplacingAHiddenSystemFileDemandsThoseAttributes) {
    const ULONG hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\partial.dat", &file, FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE,
                   GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE, FILE_SHARE_READ,
                   hiddenSystem),
              STATUS_SUCCESS);
    ZwClose(file);
    EXPECT_EQ(Open(u"\\partial.dat", &file, FILE_OVERWRITE_IF), STATUS_ACCESS_DENIED);
    ULONG_PTR information = 0;
    ASSERT_EQ(Open(u"\\partial.dat", &file, FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE,
                   GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_SHARE_READ, hiddenSystem,
                   &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, FILE_OVERWRITTEN);
    auto stream = static_cast<FSP_STREAM*>(FileObjectOf(file)->FsContext);
    EXPECT_EQ(stream->Attributes & hiddenSystem, hiddenSystem);
    ZwClose(file);
}

TEST_F(CreateTest, ShareAccessIsCheckedAgainstEveryOpenUntilItsCleanup) {
    HANDLE writer = nullptr;
    ASSERT_EQ(Open(u"\\shared.txt", &writer, FILE_OPEN_IF,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                   GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_SHARE_READ),
              STATUS_SUCCESS);
    HANDLE other = nullptr;
    EXPECT_EQ(Open(u"\\shared.txt", &other, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                   GENERIC_WRITE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE),
              STATUS_SHARING_VIOLATION)
        << "the first open does not share writing";
    EXPECT_EQ(Open(u"\\shared.txt", &other, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                   GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ),
              STATUS_SHARING_VIOLATION)
        << "the second open must share writing with the first, which writes";
    ASSERT_EQ(Open(u"\\shared.txt", &other, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                   GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE),
              STATUS_SUCCESS);
    EXPECT_EQ(FileObjectOf(other)->FsContext, FileObjectOf(writer)->FsContext)
        << "two opens of one file share its stream";
    ZwClose(other);
    ZwClose(writer);
    ASSERT_EQ(Open(u"\\shared.txt", &other, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                   GENERIC_WRITE | SYNCHRONIZE, 0),
              STATUS_SUCCESS)
        << "closed opens no longer count";
    ZwClose(other);
}

// Share access counts what generic rights and MAXIMUM_ALLOWED grant: each of
// them writes, so each conflicts with a reader that shares only reading.
TEST_F(CreateTest, ShareAccessCountsGenericRightsAsTheirSpecificOnes) {
    HANDLE reader = nullptr;
    ASSERT_EQ(Open(u"\\generic.txt", &reader, FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT,
                   FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ),
              STATUS_SUCCESS);
    for (ACCESS_MASK access : {ACCESS_MASK{GENERIC_ALL}, ACCESS_MASK{GENERIC_WRITE},
                               ACCESS_MASK{MAXIMUM_ALLOWED}}) {
        HANDLE other = nullptr;
        EXPECT_EQ(Open(u"\\generic.txt", &other, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                       access | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE),
                  STATUS_SHARING_VIOLATION)
            << "open for 0x" << std::hex << access;
    }
    HANDLE second = nullptr;
    ASSERT_EQ(Open(u"\\generic.txt", &second, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                   GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ),
              STATUS_SUCCESS);
    PVOID object;
    OBJECT_HANDLE_INFORMATION info{};
    ASSERT_EQ(ObReferenceObjectByHandle(second, 0, *IoFileObjectType, KernelMode, &object, &info),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(info.GrantedAccess, ACCESS_MASK{FILE_GENERIC_READ}) << "got/expected rights";
    HANDLE writer = nullptr;
    EXPECT_EQ(Open(u"\\generic.txt", &writer, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                   GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE),
              STATUS_SUCCESS)
        << "a generic reader alongside two readers";
    ZwClose(writer);
    ZwClose(second);
    ZwClose(reader);
}

TEST_F(CreateTest, DirectoriesHoldFilesAndNamesAreRelativeToTheVolumeRoot) {
    HANDLE directory = nullptr;
    EXPECT_EQ(Open(u"\\Logs\\today.txt", &directory, FILE_CREATE), STATUS_OBJECT_PATH_NOT_FOUND);
    ASSERT_EQ(Open(u"\\Logs", &directory, FILE_CREATE,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, GENERIC_READ | SYNCHRONIZE),
              STATUS_SUCCESS);
    ZwClose(directory);
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\logs\\Today.txt", &file, FILE_CREATE), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = FileObjectOf(file);
    EXPECT_EQ(
        std::u16string(fileObject->FileName.Buffer, fileObject->FileName.Length / sizeof(WCHAR)),
        u"\\logs\\Today.txt");
    HANDLE again = nullptr;
    ASSERT_EQ(Open(u"\\LOGS\\TODAY.TXT", &again, FILE_OPEN), STATUS_SUCCESS)
        << "names are case-insensitive";
    EXPECT_EQ(FileObjectOf(again)->FsContext, fileObject->FsContext);
    ZwClose(again);
    ZwClose(file);
    EXPECT_EQ(Open(u"\\Logs", &directory, FILE_OPEN), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\Logs\\Today.txt", &directory, FILE_OPEN,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\bad|name", &file, FILE_CREATE), STATUS_OBJECT_NAME_INVALID);
}

} // namespace
