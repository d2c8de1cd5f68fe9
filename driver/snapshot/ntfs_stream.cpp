// ntfs_stream.cpp - finding the NT file system's internal stream on a
// volume about to be frozen, so that the file system's own writes to it
// pass the freeze.
//
// Kernel mode, PASSIVE_LEVEL. The stream is found in the file system's
// private volume control block, which lies in its volume device object at
// a fixed distance (0xD0 bytes on x86) and begins with node type 0x0701; its
// layout depends on the operating system's build and service pack. Every
// read of it runs under an exception guard.
#include "snapshot/snapshot.h"

#include <cstring>

// Where a build keeps the internal stream's two stream file objects (A, B)
// and the stream itself (S), as offsets into the control block. The
// platform header counts them in pointer-sized slots, which are the x86
// byte offsets (0x5C, 0x1C ...) on the 32-bit platform.
typedef struct _NtfsStreamOffsets {
    ULONG FileA;
    ULONG FileB;
    ULONG Stream;
} NtfsStreamOffsets;

static NtfsStreamOffsets OffsetsForThisBuild(VOID) {
    if (DriverGlobals.OsBuildNumber >= 2195) {
        return {NTFS_VCB_STREAM_FILE_2195, NTFS_VCB_STREAM_FILE_2195, NTFS_VCB_STREAM_SCB_2195};
    }
    if (DriverGlobals.ServicePackNumber > 3) {
        return {NTFS_VCB_STREAM_FILE_SP4, NTFS_VCB_STREAM_FILE_SP4, NTFS_VCB_STREAM_SCB_SP4};
    }
    return {NTFS_VCB_STREAM_FILE_A_SP3, NTFS_VCB_STREAM_FILE_B_SP3, NTFS_VCB_STREAM_SCB_SP3};
}

static PVOID ReadPointer(const UCHAR* Base, ULONG Offset) {
    PVOID value;
    memcpy(&value, Base + Offset, sizeof(value));
    return value;
}

// TRUE when Name ends in "\Ntfs" (any case).
static BOOLEAN IsNtfsDriverName(PCUNICODE_STRING Name) {
    static const WCHAR suffix[] = u"\\Ntfs";
    const ULONG chars = sizeof(suffix) / sizeof(WCHAR) - 1;
    ULONG length = Name->Length / sizeof(WCHAR);
    return length >= chars && _wcsnicmp(Name->Buffer + length - chars, suffix, chars) == 0;
}

NTSTATUS CheckNtfsStream(FilterExtension* Volume, PVOID* Identity) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    *Identity = NULL;
    _SEH2_TRY {
        PVPB vpb = Volume->VolumePdo->Vpb;
        PDEVICE_OBJECT mounted = vpb != NULL ? vpb->DeviceObject : NULL;
        if (mounted == NULL) {
            _SEH2_LEAVE;
        }
        if (!IsNtfsDriverName(&mounted->DriverObject->DriverName)) {
            status = STATUS_SUCCESS;
            _SEH2_LEAVE;
        }
        const UCHAR* vcb = (const UCHAR*)mounted + NTFS_VCB_DEVICE_OFFSET;
        USHORT nodeType;
        memcpy(&nodeType, vcb, sizeof(nodeType));
        if (nodeType != NTFS_NTC_VCB) {
            _SEH2_LEAVE;
        }
        NtfsStreamOffsets offsets = OffsetsForThisBuild();
        PFILE_OBJECT fileA = (PFILE_OBJECT)ReadPointer(vcb, offsets.FileA);
        PFILE_OBJECT fileB = (PFILE_OBJECT)ReadPointer(vcb, offsets.FileB);
        PVOID stream = ReadPointer(vcb, offsets.Stream);
        if (stream == NULL) {
            _SEH2_LEAVE;
        }
        BOOLEAN matches = (fileA != NULL && fileA->FsContext == stream) ||
                          (fileB != NULL && fileB->FsContext == stream);
        if (matches && ExemptFileAdd(stream, OWN_FILE_LIST)) {
            *Identity = stream;
            status = STATUS_SUCCESS;
        }
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {}
    _SEH2_END;
    return status;
}
