// ZwQueryInformationFile and ZwSetInformationFile: read-only attribute,
// sizes and allocation, and deletion at the last close.
#include "fs_fixture.h"

namespace {

class InformationTest : public FsTest {
  protected:
    template <typename T> static NTSTATUS Query(HANDLE File, FILE_INFORMATION_CLASS Class, T* Info) {
        IO_STATUS_BLOCK iosb = {};
        return ZwQueryInformationFile(File, &iosb, Info, sizeof(T), Class);
    }
    template <typename T>
    static NTSTATUS Set(HANDLE File, FILE_INFORMATION_CLASS Class, const T& Info) {
        IO_STATUS_BLOCK iosb = {};
        return ZwSetInformationFile(File, &iosb, const_cast<T*>(&Info), sizeof(T), Class);
    }
    static FILE_STANDARD_INFORMATION Standard(HANDLE File) {
        FILE_STANDARD_INFORMATION info = {};
        EXPECT_EQ(Query(File, FileStandardInformation, &info), STATUS_SUCCESS);
        return info;
    }
};

TEST_F(InformationTest, EndOfFileAndAllocationAreSetApart) {
    HANDLE file = Create(u"\\sizes.bin");
    std::vector<UCHAR> data(5000, 0x5A);
    ASSERT_EQ(Write(file, 0, data.data(), 5000), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION info = Standard(file);
    EXPECT_EQ(info.EndOfFile.QuadPart, 5000);
    EXPECT_EQ(info.AllocationSize.QuadPart, 8192) << "two 4 KiB clusters";

    FILE_ALLOCATION_INFORMATION allocation;
    allocation.AllocationSize.QuadPart = 20000;
    EXPECT_EQ(Set(file, FileAllocationInformation, allocation), STATUS_SUCCESS);
    info = Standard(file);
    EXPECT_EQ(info.EndOfFile.QuadPart, 5000) << "allocating does not change the end of file";
    EXPECT_EQ(info.AllocationSize.QuadPart, 20480);

    allocation.AllocationSize.QuadPart = 3000;
    EXPECT_EQ(Set(file, FileAllocationInformation, allocation), STATUS_SUCCESS);
    info = Standard(file);
    EXPECT_EQ(info.EndOfFile.QuadPart, 3000) << "an allocation below the end cuts the file";
    EXPECT_EQ(info.AllocationSize.QuadPart, 4096);

    FILE_END_OF_FILE_INFORMATION end;
    end.EndOfFile.QuadPart = 10000;
    EXPECT_EQ(Set(file, FileEndOfFileInformation, end), STATUS_SUCCESS);
    EXPECT_EQ(Standard(file).EndOfFile.QuadPart, 10000);
    std::vector<UCHAR> back(10000, 0xFF);
    ULONG_PTR read = 0;
    ASSERT_EQ(Read(file, 0, back.data(), 10000, &read), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<UCHAR>(back.begin(), back.begin() + 3000),
              std::vector<UCHAR>(3000, 0x5A));
    EXPECT_EQ(std::vector<UCHAR>(back.begin() + 3000, back.end()), std::vector<UCHAR>(7000, 0))
        << "a file grown by its end reads as zeros past what was kept";
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST_F(InformationTest, ClassesAndLengthsTheServiceRefuses) {
    HANDLE file = Create(u"\\refuse.bin");
    IO_STATUS_BLOCK iosb = {};
    UCHAR buffer[64] = {};
    EXPECT_EQ(ZwQueryInformationFile(file, &iosb, buffer, sizeof(buffer), FileEndOfFileInformation),
              STATUS_INVALID_INFO_CLASS)
        << "the end of file is set, not queried";
    EXPECT_EQ(ZwSetInformationFile(file, &iosb, buffer, sizeof(buffer), FileStandardInformation),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(ZwQueryInformationFile(file, &iosb, buffer, sizeof(FILE_STANDARD_INFORMATION) - 1,
                                     FileStandardInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST_F(InformationTest, DispositionDeletesTheFileAtItsLastClose) {
    HANDLE first = Create(u"\\doomed.bin");
    std::vector<UCHAR> data(64 * 1024, 0x11);
    ASSERT_EQ(Write(first, 0, data.data(), static_cast<ULONG>(data.size())), STATUS_SUCCESS);
    HANDLE second = nullptr;
    ASSERT_EQ(Open(u"\\doomed.bin", &second, FILE_OPEN), STATUS_SUCCESS);
    FSP_VOLUME* volume = FsGetVolume(Volume);
    ULONGLONG freeBefore;
    {
        std::lock_guard<std::mutex> guard(volume->Lock);
        freeBefore = volume->FreeClusters;
    }

    FILE_DISPOSITION_INFORMATION disposition = {TRUE};
    EXPECT_EQ(Set(first, FileDispositionInformation, disposition), STATUS_SUCCESS);
    EXPECT_TRUE(Standard(second).DeletePending);
    HANDLE third = nullptr;
    EXPECT_EQ(Open(u"\\doomed.bin", &third, FILE_OPEN), STATUS_DELETE_PENDING)
        << "no new open while the delete is pending";

    EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\doomed.bin", &third, FILE_OPEN), STATUS_DELETE_PENDING)
        << "still there while a handle is open";
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\doomed.bin", &third, FILE_OPEN), STATUS_OBJECT_NAME_NOT_FOUND)
        << "gone after the last close";
    {
        std::lock_guard<std::mutex> guard(volume->Lock);
        EXPECT_EQ(volume->FreeClusters, freeBefore + 16) << "its clusters are free again";
    }
    // The name can be used again, for a new and empty file.
    HANDLE again = Create(u"\\doomed.bin");
    EXPECT_EQ(Standard(again).EndOfFile.QuadPart, 0);
    EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
}

TEST_F(InformationTest, DispositionCanBeTakenBackAndRefusesWhatCannotGo) {
    HANDLE file = Create(u"\\kept.bin");
    FILE_DISPOSITION_INFORMATION disposition = {TRUE};
    EXPECT_EQ(Set(file, FileDispositionInformation, disposition), STATUS_SUCCESS);
    disposition.DeleteFile = FALSE;
    EXPECT_EQ(Set(file, FileDispositionInformation, disposition), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\kept.bin", &file, FILE_OPEN), STATUS_SUCCESS) << "the delete was taken back";

    FILE_BASIC_INFORMATION readOnly = {};
    readOnly.FileAttributes = FILE_ATTRIBUTE_READONLY;
    EXPECT_EQ(Set(file, FileBasicInformation, readOnly), STATUS_SUCCESS);
    disposition.DeleteFile = TRUE;
    EXPECT_EQ(Set(file, FileDispositionInformation, disposition), STATUS_CANNOT_DELETE)
        << "a read-only file";
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);

    HANDLE directory = nullptr;
    ASSERT_EQ(Open(u"\\full", &directory, FILE_CREATE,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
    HANDLE child = Create(u"\\full\\child.txt");
    EXPECT_EQ(Set(directory, FileDispositionInformation, disposition), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(directory), STATUS_SUCCESS);
}

} // namespace
