// file_information_test.cpp - user programs moving the file pointer,
// sizing files and deleting them, and reading at an OVERLAPPED offset.
// The programs check what they see as they go (got/expected).
#include "user_program_fixture.h"
#include "windows.h"

#include <string>

namespace {

using FileInformationTest = UserVolumeTest;

// Writes ten bytes, seeks from the end and back, reads at an OVERLAPPED
// offset, then cuts the file at the pointer.
ULONG PointerProgram(PVOID) {
    HANDLE file = CreateFileW(u"T:\\pointer.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    char text[] = "0123456789"; // on this thread's stack: user memory
    DWORD done = 0;
    LARGE_INTEGER at;
    EXPECT_TRUE(WriteFile(file, text, 10, &done, nullptr));
    EXPECT_TRUE(GetFileSizeEx(file, &at));
    EXPECT_EQ(at.QuadPart, 10);
    LARGE_INTEGER move;
    move.QuadPart = -3;
    EXPECT_TRUE(SetFilePointerEx(file, move, &at, FILE_END));
    EXPECT_EQ(at.QuadPart, 7) << "3 before the end";
    move.QuadPart = -2;
    EXPECT_TRUE(SetFilePointerEx(file, move, &at, FILE_CURRENT));
    EXPECT_EQ(at.QuadPart, 5) << "2 back from there";
    move.QuadPart = -100;
    EXPECT_FALSE(SetFilePointerEx(file, move, nullptr, FILE_CURRENT));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NEGATIVE_SEEK});

    OVERLAPPED offset = {};
    offset.Offset = 6;
    char got[4] = {};
    EXPECT_TRUE(ReadFile(file, got, 4, &done, &offset));
    EXPECT_EQ(std::string(got, 4), "6789") << "the OVERLAPPED offset";

    move.QuadPart = 4;
    EXPECT_TRUE(SetFilePointerEx(file, move, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(file));
    EXPECT_TRUE(GetFileSizeEx(file, &at));
    EXPECT_EQ(at.QuadPart, 4) << "SetEndOfFile cuts at the pointer";
    return CloseHandle(file) ? 0 : 1;
}

TEST_F(FileInformationTest, FilePointerMovesFromEachOriginAndEndOfFileFollowsIt) {
    EXPECT_EQ(TestRunUserProgram(PointerProgram, nullptr), 0u);
}

ULONG DeleteProgram(PVOID) {
    HANDLE file =
        CreateFileW(u"T:\\gone.txt", GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    EXPECT_TRUE(DeleteFileW(u"T:\\gone.txt")) << "an open file (shared for delete)";
    EXPECT_EQ(CreateFileW(u"T:\\gone.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED}) << "while its delete is pending";
    CloseHandle(file);
    EXPECT_EQ(CreateFileW(u"T:\\gone.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND}) << "gone at the last close";
    EXPECT_FALSE(DeleteFileW(u"T:\\never.txt"));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});

    // A handle without FILE_WRITE_DATA cannot cut the file.
    HANDLE reader = CreateFileW(u"T:\\kept.txt", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(reader);
    reader = CreateFileW(u"T:\\kept.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
    EXPECT_FALSE(SetEndOfFile(reader));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED}) << "SetEndOfFile needs FILE_WRITE_DATA";
    CloseHandle(reader);
    return 0;
}

TEST_F(FileInformationTest, DeleteFileRemovesTheFileWhenItsLastHandleCloses) {
    EXPECT_EQ(TestRunUserProgram(DeleteProgram, nullptr), 0u);
}

} // namespace
