// file_information_test.cpp - user programs moving the file pointer,
// sizing files and deleting them, and reading at an OVERLAPPED offset.
#include "user_program_fixture.h"
#include "windows.h"

#include <cstring>

namespace {

using FileInformationTest = UserVolumeTest;

struct PointerResult {
    LARGE_INTEGER Size, AfterEnd, AfterBack;
    BOOL NegativeOk;
    DWORD NegativeError;
    char ReadAtOffset[4];
    LARGE_INTEGER Truncated;
};

// Writes ten bytes, seeks from the end and back, reads at an OVERLAPPED
// offset, then cuts the file at the pointer.
ULONG PointerProgram(PVOID Context) {
    auto* result = static_cast<PointerResult*>(Context);
    HANDLE file = CreateFileW(u"T:\\pointer.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    char text[] = "0123456789";
    DWORD done = 0;
    if (!WriteFile(file, text, 10, &done, nullptr) || !GetFileSizeEx(file, &result->Size)) {
        return 100 + GetLastError();
    }
    LARGE_INTEGER move;
    move.QuadPart = -3;
    if (!SetFilePointerEx(file, move, &result->AfterEnd, FILE_END)) {
        return 200 + GetLastError();
    }
    move.QuadPart = -2;
    if (!SetFilePointerEx(file, move, &result->AfterBack, FILE_CURRENT)) {
        return 300 + GetLastError();
    }
    move.QuadPart = -100;
    SetLastError(0);
    result->NegativeOk = SetFilePointerEx(file, move, nullptr, FILE_CURRENT);
    result->NegativeError = GetLastError();

    OVERLAPPED at = {};
    at.Offset = 6;
    char got[4] = {};
    if (!ReadFile(file, got, 4, &done, &at)) {
        return 400 + GetLastError();
    }
    std::memcpy(result->ReadAtOffset, got, 4);

    move.QuadPart = 4;
    if (!SetFilePointerEx(file, move, nullptr, FILE_BEGIN) || !SetEndOfFile(file) ||
        !GetFileSizeEx(file, &result->Truncated)) {
        return 500 + GetLastError();
    }
    return CloseHandle(file) ? 0 : 600;
}

TEST_F(FileInformationTest, FilePointerMovesFromEachOriginAndEndOfFileFollowsIt) {
    PointerResult result = {};
    ASSERT_EQ(TestRunUserProgram(PointerProgram, &result), 0u);
    EXPECT_EQ(result.Size.QuadPart, 10);
    EXPECT_EQ(result.AfterEnd.QuadPart, 7) << "3 before the end";
    EXPECT_EQ(result.AfterBack.QuadPart, 5) << "2 back from there";
    EXPECT_FALSE(result.NegativeOk);
    EXPECT_EQ(result.NegativeError, DWORD{ERROR_NEGATIVE_SEEK});
    EXPECT_EQ(std::string(result.ReadAtOffset, 4), "6789") << "the OVERLAPPED offset";
    EXPECT_EQ(result.Truncated.QuadPart, 4) << "SetEndOfFile cuts at the pointer";
}

struct DeleteResult {
    BOOL WhileOpen;
    DWORD ReopenError;
    DWORD AfterCloseError;
    BOOL Missing;
    DWORD MissingError;
    BOOL ReadOnlyHandleOk;
    DWORD ReadOnlyHandleError;
};

ULONG DeleteProgram(PVOID Context) {
    auto* result = static_cast<DeleteResult*>(Context);
    HANDLE file = CreateFileW(u"T:\\gone.txt", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    result->WhileOpen = DeleteFileW(u"T:\\gone.txt");
    HANDLE again = CreateFileW(u"T:\\gone.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    result->ReopenError = again == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    CloseHandle(file);
    again = CreateFileW(u"T:\\gone.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    result->AfterCloseError = again == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    result->Missing = DeleteFileW(u"T:\\never.txt");
    result->MissingError = GetLastError();

    // A handle without FILE_WRITE_DATA cannot cut the file.
    HANDLE reader = CreateFileW(u"T:\\kept.txt", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(reader);
    reader = CreateFileW(u"T:\\kept.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
    result->ReadOnlyHandleOk = SetEndOfFile(reader);
    result->ReadOnlyHandleError = GetLastError();
    CloseHandle(reader);
    return 0;
}

TEST_F(FileInformationTest, DeleteFileRemovesTheFileWhenItsLastHandleCloses) {
    DeleteResult result = {};
    ASSERT_EQ(TestRunUserProgram(DeleteProgram, &result), 0u);
    EXPECT_TRUE(result.WhileOpen) << "an open file (shared for delete) can be deleted";
    EXPECT_EQ(result.ReopenError, DWORD{ERROR_ACCESS_DENIED}) << "while its delete is pending";
    EXPECT_EQ(result.AfterCloseError, DWORD{ERROR_FILE_NOT_FOUND}) << "gone at the last close";
    EXPECT_FALSE(result.Missing);
    EXPECT_EQ(result.MissingError, DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_FALSE(result.ReadOnlyHandleOk);
    EXPECT_EQ(result.ReadOnlyHandleError, DWORD{ERROR_ACCESS_DENIED})
        << "SetEndOfFile needs FILE_WRITE_DATA";
}

} // namespace
