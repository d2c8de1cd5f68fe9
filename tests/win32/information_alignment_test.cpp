// information_alignment_test.cpp - the file-information service probes a
// caller's record at the record's own alignment: a one-byte disposition
// record may sit at any address, a record holding 64-bit times may not.
#include "user_program_fixture.h"
#include "win32/ntcall.h"
#include "windows.h"

namespace {

using InformationAlignmentTest = UserVolumeTest;

constexpr ULONG FileBasicClass = 4;
constexpr ULONG FileDispositionClass = 13;

ULONG AlignmentProgram(PVOID) {
    HANDLE file =
        CreateFileW(u"T:\\odd.txt", GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    alignas(8) UCHAR record[64] = {};
    record[1] = FALSE; // keep the file: only the probe is under test
    EXPECT_EQ(BasepNtSetInformationFile(file, record + 1, 1, FileDispositionClass), STATUS_SUCCESS)
        << "a byte-sized record";
    EXPECT_EQ(BasepNtSetInformationFile(file, record + 1, 40, FileBasicClass),
              STATUS_DATATYPE_MISALIGNMENT)
        << "a record of 64-bit times";
    return CloseHandle(file) ? 0 : 1;
}

TEST_F(InformationAlignmentTest, RecordsAreProbedAtTheirOwnAlignment) {
    EXPECT_EQ(TestRunUserProgram(AlignmentProgram, nullptr), 0u);
}

} // namespace
