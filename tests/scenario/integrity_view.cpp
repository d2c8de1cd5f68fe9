// integrity_view.cpp - mapped views for the integrity torture's writers.
#include "integrity_view.h"
#include "ntifs.h"

NTSTATUS CreateFileSection(HANDLE File, HANDLE* Section) {
    return ZwCreateSection(Section, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READWRITE,
                           SEC_COMMIT, File);
}

NTSTATUS MapWholeView(HANDLE Section, PVOID* Base) {
    *Base = nullptr;
    SIZE_T size = 0;
    return ZwMapViewOfSection(Section, NtCurrentProcess(), Base, 0, 0, nullptr, &size, ViewUnmap, 0,
                              PAGE_READWRITE);
}

NTSTATUS UnmapView(PVOID Base) {
    return ZwUnmapViewOfSection(NtCurrentProcess(), Base);
}

NTSTATUS CloseSection(HANDLE Section) {
    return ZwClose(Section);
}
