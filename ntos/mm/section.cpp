// mm/section.cpp - section objects on files: the object type and
// ZwCreateSection.
//
// Kernel mode, PASSIVE_LEVEL. The section holds a reference on its file
// object for its whole life; views hold references on the section.
#include "ntos/mm/section.h"
#include "ntos/ob/obp.h"
#include "ntos/verifier/bugcheck.h"
#include "ntos/verifier/irql_rule.h"

namespace {

std::mutex MmpSectionTypeLock; // guards creating the section object type

VOID MmpDeleteSection(PVOID Object) {
    ObDereferenceObject(static_cast<MMP_SECTION*>(Object)->FileObject);
}

// The section object type, created with the first section of a running
// kernel (the object manager forgets it when the kernel stops).
POBJECT_TYPE MmpSectionType() {
    std::lock_guard<std::mutex> guard(MmpSectionTypeLock);
    if (*MmSectionObjectType == nullptr) {
        OBP_TYPE_PROCEDURES procedures = {};
        procedures.Delete = MmpDeleteSection;
        *MmSectionObjectType = ObpCreateObjectType(u"Section", procedures);
    }
    return *MmSectionObjectType;
}

} // namespace

NTSTATUS ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                         ULONG SectionPageProtection, ULONG AllocationAttributes,
                         HANDLE FileHandle) {
    VfCheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateSection", VF_CALLER());
    // Named sections, image sections and sections backed by the paging file
    // are not emulated.
    if ((ObjectAttributes != nullptr && ObjectAttributes->ObjectName != nullptr) ||
        (AllocationAttributes & SEC_IMAGE) || FileHandle == nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    if ((AllocationAttributes & ~(SEC_COMMIT | SEC_RESERVE | SEC_NOCACHE | SEC_FILE)) != 0 ||
        (AllocationAttributes & (SEC_COMMIT | SEC_RESERVE)) == 0) {
        return STATUS_INVALID_PARAMETER_6;
    }
    if (SectionPageProtection != PAGE_READONLY && SectionPageProtection != PAGE_READWRITE) {
        return STATUS_INVALID_PAGE_PROTECTION;
    }
    if (MaximumSize != nullptr && MaximumSize->QuadPart < 0) {
        return STATUS_INVALID_PARAMETER_4;
    }
    PVOID object;
    NTSTATUS status =
        ObReferenceObjectByHandle(FileHandle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto fileObject = static_cast<PFILE_OBJECT>(object);
    const bool writable = SectionPageProtection == PAGE_READWRITE;
    ULONGLONG fileSize = 0;
    MMP_STREAM_PAGES* pages = MmpStreamPagesOf(fileObject);
    if (pages == nullptr) {
        // Only a file system's data streams have pages to map.
        status = STATUS_INVALID_FILE_FOR_SECTION;
    } else if (!fileObject->ReadAccess || (writable && !fileObject->WriteAccess)) {
        status = STATUS_ACCESS_DENIED;
    } else {
        status = MmpQueryFileSize(fileObject, &fileSize);
    }
    ULONGLONG maximum = MaximumSize != nullptr ? static_cast<ULONGLONG>(MaximumSize->QuadPart) : 0;
    if (NT_SUCCESS(status)) {
        if (maximum == 0) {
            maximum = fileSize;
            if (maximum == 0) {
                status = STATUS_MAPPED_FILE_SIZE_ZERO;
            }
        } else if (maximum > fileSize) {
            // Only a section that may write the file may make it longer.
            status = writable ? MmpSetFileSize(fileObject, maximum) : STATUS_SECTION_TOO_BIG;
        }
    }
    PVOID body = nullptr;
    if (NT_SUCCESS(status)) {
        status = ObpCreateObject(MmpSectionType(), sizeof(MMP_SECTION), &body);
    }
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(fileObject);
        return status;
    }
    auto section = static_cast<MMP_SECTION*>(body);
    section->FileObject = fileObject;
    section->MaximumSize = maximum;
    section->Protection = SectionPageProtection;
    section->Pages = pages;
    const ULONG attributes = ObjectAttributes != nullptr
                                 ? ObjectAttributes->Attributes & (OBJ_KERNEL_HANDLE | OBJ_INHERIT)
                                 : 0;
    status = ObpCreateHandle(section, DesiredAccess, attributes, KernelMode, SectionHandle);
    ObDereferenceObject(section);
    return status;
}
