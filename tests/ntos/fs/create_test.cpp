// create_test.cpp - opening files: dispositions and their results,
// attributes of hidden and system files, share access, directories, one
// FsContext per stream and names relative to the volume root.
#include "fs_fixture.h"

namespace {

using CreateTest = FsTest;

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
            UCHAR probe[8];
            ULONG_PTR size = 0;
            Read(file, 0, probe, sizeof(probe), &size);
            EXPECT_EQ(size, c.Emptied ? 0u : 5u) << "bytes kept";
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

// A second open must allow what the first does and ask only what the first
// shares; generic rights and MAXIMUM_ALLOWED count as the specific ones they
// grant (each of those writes). Closed opens no longer count: each row opens
// the file anew after the last row's cleanup.
TEST_F(CreateTest, ShareAccessIsCheckedAgainstEveryOpenUntilItsCleanup) {
    const ULONG read = FILE_SHARE_READ;
    const ULONG readWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const ACCESS_MASK readWriteAccess = GENERIC_READ | GENERIC_WRITE;
    struct Case {
        ACCESS_MASK FirstAccess;
        ULONG FirstShare;
        ACCESS_MASK SecondAccess;
        ULONG SecondShare;
        NTSTATUS Expected;
    } const cases[] = {
        {readWriteAccess, read, GENERIC_WRITE, readWrite, STATUS_SHARING_VIOLATION},
        {readWriteAccess, read, GENERIC_READ, read, STATUS_SHARING_VIOLATION},
        {readWriteAccess, read, GENERIC_READ, readWrite, STATUS_SUCCESS},
        {FILE_READ_DATA, read, GENERIC_ALL, readWrite, STATUS_SHARING_VIOLATION},
        {FILE_READ_DATA, read, GENERIC_WRITE, readWrite, STATUS_SHARING_VIOLATION},
        {FILE_READ_DATA, read, MAXIMUM_ALLOWED, readWrite, STATUS_SHARING_VIOLATION},
        {FILE_READ_DATA, read, GENERIC_READ, read, STATUS_SUCCESS},
        {readWriteAccess, 0, readWriteAccess, 0, STATUS_SHARING_VIOLATION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << "first 0x" << c.FirstAccess << " sharing " << c.FirstShare
                     << ", second 0x" << c.SecondAccess << " sharing " << c.SecondShare);
        HANDLE first = nullptr;
        ASSERT_EQ(Open(u"\\shared.txt", &first, FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT,
                       c.FirstAccess | SYNCHRONIZE, c.FirstShare),
                  STATUS_SUCCESS);
        HANDLE second = nullptr;
        ASSERT_EQ(Open(u"\\shared.txt", &second, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                       c.SecondAccess | SYNCHRONIZE, c.SecondShare),
                  c.Expected);
        if (c.Expected == STATUS_SUCCESS) {
            EXPECT_EQ(FileObjectOf(second)->FsContext, FileObjectOf(first)->FsContext)
                << "two opens of one file share its stream";
            OBJECT_HANDLE_INFORMATION info{};
            PVOID object;
            ASSERT_EQ(
                ObReferenceObjectByHandle(second, 0, *IoFileObjectType, KernelMode, &object, &info),
                STATUS_SUCCESS);
            ObDereferenceObject(object);
            if (c.SecondAccess == GENERIC_READ) {
                EXPECT_EQ(info.GrantedAccess, ACCESS_MASK{FILE_GENERIC_READ});
            }
            ZwClose(second);
        }
        ZwClose(first);
    }
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
