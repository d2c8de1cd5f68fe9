// paging_file_test.cpp - the paging file: its name from the volume root, its
// attributes, and the paging thread's writes reaching the volume.
#include "ntos/fs/fs_fixture.h"
#include "ntos/ke/kernel.h"
#include "ntos/mm/paging_file.h"

namespace {

using PagingFileTest = FsTest;

TEST_F(PagingFileTest, PagingThreadWritesPagesOfPagefileSys) {
    ASSERT_EQ(MmpStartPagingFile(u"\\??\\T:", 8), STATUS_SUCCESS);
    EXPECT_EQ(MmpStartPagingFile(u"\\??\\T:", 8), STATUS_OBJECT_NAME_COLLISION);
    TakeSeen();
    std::vector<ObservedRequest> writes;
    LARGE_INTEGER pause;
    pause.QuadPart = -10 * 1000 * 10; // 10 ms
    for (int i = 0; i < 500 && writes.size() < 2; i++) {
        KiClockJump(MMP_PAGING_PERIOD);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        for (const ObservedRequest& seen : TakeSeen()) {
            if (seen.Major == IRP_MJ_WRITE && (seen.Flags & IRP_PAGING_IO)) {
                writes.push_back(seen);
            }
        }
    }
    ASSERT_GE(writes.size(), 2u);
    PFILE_OBJECT file = writes[0].FileObject;
    EXPECT_EQ(std::u16string(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR)),
              u"\\pagefile.sys");
    for (const ObservedRequest& seen : writes) {
        EXPECT_EQ(seen.FileObject, file);
        EXPECT_NE(seen.Sender, PsGetCurrentThread()) << "written by the paging thread";
        EXPECT_EQ(seen.Flags & IRP_NOCACHE, static_cast<ULONG>(IRP_NOCACHE));
    }
    auto stream = static_cast<FSP_STREAM*>(file->FsContext);
    EXPECT_EQ(stream->Attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              static_cast<ULONG>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    MmpStopPagingFile();
    HANDLE opened = nullptr;
    EXPECT_EQ(Open(u"\\pagefile.sys", &opened, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                   GENERIC_READ | SYNCHRONIZE),
              STATUS_SUCCESS)
        << "the paging file stays on the volume";
    ZwClose(opened);
}

} // namespace
