// section_test.cpp - sections on files and their views: the platform's view
// rounding, size rules, and changes reaching the file only as paging writes,
// at unmap and from the background writer.
#include "ntos/fs/fs_fixture.h"
#include "ntos/ke/kernel.h"
#include "ntos/mm/section.h"

namespace {

class SectionTest : public FsTest {
  protected:
    // A file of Size bytes, each byte its offset modulo 251.
    HANDLE FileOf(ULONG Size) {
        HANDLE file = Create(u"\\mapped.bin");
        std::vector<UCHAR> data(Size);
        for (ULONG i = 0; i < Size; i++) {
            data[i] = static_cast<UCHAR>(i % 251);
        }
        EXPECT_EQ(Write(file, 0, data.data(), Size), STATUS_SUCCESS);
        IO_STATUS_BLOCK iosb;
        EXPECT_EQ(ZwFlushBuffersFile(file, &iosb), STATUS_SUCCESS);
        return file;
    }

    static HANDLE SectionOn(HANDLE File, LONGLONG MaximumSize, ULONG Protection = PAGE_READWRITE) {
        HANDLE section = nullptr;
        LARGE_INTEGER maximum;
        maximum.QuadPart = MaximumSize;
        EXPECT_EQ(ZwCreateSection(&section, SECTION_ALL_ACCESS, nullptr, &maximum, Protection,
                                  SEC_RESERVE, File),
                  STATUS_SUCCESS);
        return section;
    }

    // Writes seen at the volume for File's stream, split by paging or not.
    void CountWrites(HANDLE File, ULONG* Paging, ULONG* Other, PETHREAD* Sender = nullptr) {
        PVOID context = FileObjectOf(File)->FsContext;
        *Paging = *Other = 0;
        for (const ObservedRequest& seen : TakeSeen()) {
            if (seen.Major != IRP_MJ_WRITE || seen.FsContext != context) {
                continue;
            }
            if ((seen.Flags & (IRP_PAGING_IO | IRP_NOCACHE)) == (IRP_PAGING_IO | IRP_NOCACHE)) {
                ++*Paging;
                if (Sender != nullptr) {
                    *Sender = seen.Sender;
                }
            } else {
                ++*Other;
            }
        }
    }
};

TEST_F(SectionTest, ViewOffsetsRoundDownToTheAllocationGranularity) {
    HANDLE file = FileOf(200000);
    HANDLE section = SectionOn(file, 200000);
    PVOID base = nullptr;
    LARGE_INTEGER offset;
    offset.QuadPart = 65536 + 100;
    SIZE_T size = 10;
    ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, &offset, &size,
                                 ViewShare, 0, PAGE_READWRITE),
              STATUS_SUCCESS);
    EXPECT_EQ(offset.QuadPart, 65536);
    EXPECT_EQ(size, static_cast<SIZE_T>(PAGE_SIZE)) << "100 + 10 bytes, rounded up to a page";
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(base) % 0x10000, 0u);
    EXPECT_EQ(static_cast<PUCHAR>(base)[100], (65536 + 100) % 251);
    EXPECT_EQ(MmUnmapViewOfSection(PsGetCurrentProcess(), static_cast<PUCHAR>(base) + 5),
              STATUS_SUCCESS)
        << "any address inside the view unmaps it";
    EXPECT_EQ(MmUnmapViewOfSection(PsGetCurrentProcess(), base), STATUS_NOT_MAPPED_VIEW);

    base = nullptr;
    size = 0;
    offset.QuadPart = 131072;
    ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, &offset, &size,
                                 ViewShare, 0, PAGE_READONLY),
              STATUS_SUCCESS);
    EXPECT_EQ(size, (200000 - 131072 + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE)
        << "size 0 maps to the end of the section";
    EXPECT_EQ(static_cast<PUCHAR>(base)[200000 - 131072], 0) << "past the file's end: zeros";
    EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), base), STATUS_SUCCESS);

    base = nullptr;
    size = 65536;
    offset.QuadPart = 196608;
    EXPECT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, &offset, &size,
                                 ViewShare, 0, PAGE_READWRITE),
              STATUS_INVALID_VIEW_SIZE);
    ZwClose(section);
    ZwClose(file);
}

TEST_F(SectionTest, SectionSizeAndProtectionRules) {
    HANDLE file = FileOf(5000);
    HANDLE section = SectionOn(file, 100000);
    IO_STATUS_BLOCK iosb;
    UCHAR byte;
    LARGE_INTEGER at;
    at.QuadPart = 99999;
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, &byte, 1, &at, nullptr),
              STATUS_SUCCESS)
        << "a larger maximum size extends the file";
    ZwClose(section);

    HANDLE readOnly = SectionOn(file, 0, PAGE_READONLY);
    PVOID base = nullptr;
    SIZE_T size = 0;
    EXPECT_EQ(ZwMapViewOfSection(readOnly, NtCurrentProcess(), &base, 0, 0, nullptr, &size,
                                 ViewShare, 0, PAGE_READWRITE),
              STATUS_SECTION_PROTECTION);
    ZwClose(readOnly);
    LARGE_INTEGER bigger;
    bigger.QuadPart = 200000;
    HANDLE refused = nullptr;
    EXPECT_EQ(ZwCreateSection(&refused, SECTION_ALL_ACCESS, nullptr, &bigger, PAGE_READONLY,
                              SEC_COMMIT, file),
              STATUS_SECTION_TOO_BIG);
    HANDLE empty = nullptr;
    ASSERT_EQ(Open(u"\\empty.bin", &empty, FILE_CREATE), STATUS_SUCCESS);
    EXPECT_EQ(ZwCreateSection(&refused, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READWRITE,
                              SEC_RESERVE, empty),
              STATUS_MAPPED_FILE_SIZE_ZERO);
    ZwClose(empty);
    ZwClose(file);
}

TEST_F(SectionTest, ViewChangesReachTheFileOnlyAsPagingWritesAtUnmap) {
    HANDLE file = FileOf(32792);
    HANDLE section = SectionOn(file, 32792);
    PVOID base = nullptr;
    LARGE_INTEGER offset = {};
    SIZE_T size = 32792;
    ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, &offset, &size,
                                 ViewShare, 0, PAGE_READWRITE),
              STATUS_SUCCESS);
    TakeSeen();
    auto view = static_cast<PUCHAR>(base);
    view[10] = 0xF0;
    view[20000] = 0xF1;
    ULONG paging = 0, other = 0;
    CountWrites(file, &paging, &other);
    EXPECT_EQ(paging + other, 0u) << "nothing reaches the file while the view is mapped";
    ASSERT_EQ(MmUnmapViewOfSection(PsGetCurrentProcess(), base), STATUS_SUCCESS);
    CountWrites(file, &paging, &other);
    EXPECT_EQ(other, 0u) << "view changes reach the file only through paging writes";
    EXPECT_EQ(paging, 2u) << "one write per run of changed pages";
    UCHAR back[2];
    ASSERT_EQ(Read(file, 10, back, 1), STATUS_SUCCESS);
    ASSERT_EQ(Read(file, 20000, back + 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(back[0], 0xF0);
    EXPECT_EQ(back[1], 0xF1);
    ZwClose(section);
    ZwClose(file);
}

TEST_F(SectionTest, BackgroundWriterWritesChangedPagesFromItsOwnThread) {
    HANDLE file = FileOf(8192);
    HANDLE section = SectionOn(file, 8192);
    PVOID base = nullptr;
    SIZE_T size = 0;
    ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, nullptr, &size,
                                 ViewShare, 0, PAGE_READWRITE),
              STATUS_SUCCESS);
    TakeSeen();
    static_cast<PUCHAR>(base)[5000] = 0xAB;
    ULONG paging = 0, other = 0, total = 0;
    PETHREAD sender = nullptr;
    LARGE_INTEGER pause;
    pause.QuadPart = -10 * 1000 * 10; // 10 ms
    for (int i = 0; i < 500 && total == 0; i++) {
        // The writer may not have begun its wait at the first jump.
        KiClockJump(MMP_WRITER_PERIOD);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        CountWrites(file, &paging, &other, &sender);
        total += paging;
    }
    EXPECT_EQ(total, 1u);
    EXPECT_NE(sender, PsGetCurrentThread());
    UCHAR back = 0;
    ASSERT_EQ(Read(file, 5000, &back, 1), STATUS_SUCCESS);
    EXPECT_EQ(back, 0xAB);
    ASSERT_EQ(MmUnmapViewOfSection(PsGetCurrentProcess(), base), STATUS_SUCCESS);
    CountWrites(file, &paging, &other);
    EXPECT_EQ(paging, 0u) << "pages written already are not written again";
    ZwClose(section);
    ZwClose(file);
}

} // namespace
