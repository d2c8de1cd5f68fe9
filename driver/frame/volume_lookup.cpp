// volume_lookup.cpp - from the agent's names and handles to the filter
// devices above the volumes, and the naming and volume-query routines of the
// snapshot set-up.
//
// Kernel mode, PASSIVE_LEVEL. The driver's filter devices are found only in
// its list (FilterDeviceList), walked under ListLock; a device is handed out
// with its remove lock taken inside the lock, so removal, which takes the
// device out of service before it unlinks it, waits for the caller to give it
// back.
#include "frame/volume_lookup.h"

#include "frame/frame.h"
#include "support/pool_tags.h"
#include "support/zeroed_memory.h"

// Room of the stack buffer for a link target, in bytes: most targets
// ("\Device\HarddiskVolume12") fit; longer ones are read again into pool.
#define LINK_TARGET_STACK_BYTES 70u

// The prefix every drive letter of a filtered volume points below.
#define HARDDISK_PREFIX u"\\Device\\Harddisk"
#define HARDDISK_PREFIX_CHARS 16u

// Access of OpenVolumeForRead: SYNCHRONIZE, READ_CONTROL, FILE_READ_ATTRIBUTES,
// FILE_READ_EA, FILE_READ_DATA.
#define VOLUME_READ_ACCESS 0x120089u

VOID ReleaseFilterDevice(FilterExtension* Extension) {
    IoReleaseRemoveLock(&Extension->RemoveLock, VOLUME_LOOKUP_LOCK_TAG);
}

static FilterDeviceList* DriverDeviceList(VOID) {
    return (FilterDeviceList*)IoGetDriverObjectExtension(DriverGlobals.DriverObject,
                                                         (PVOID)AddDevice);
}

// Characters of Name before its terminator, counting at most Limit + 1.
static SIZE_T BoundedLength(PCWSTR Name, SIZE_T Limit) {
    SIZE_T length = 0;
    while (length <= Limit && Name[length] != 0) {
        length++;
    }
    return length;
}

// The first filter device of the list that Matches accepts, held by its remove
// lock; NULL when none is found or the one found is being removed.
typedef BOOLEAN (*FilterDeviceMatch)(FilterExtension* Extension, ULONG_PTR Key);

static PDEVICE_OBJECT FindFilterDevice(FilterDeviceMatch Matches, ULONG_PTR Key) {
    FilterDeviceList* list = DriverDeviceList();
    if (list == NULL) {
        return NULL;
    }
    PDEVICE_OBJECT found = NULL;
    KeWaitForSingleObject(&list->ListLock, Executive, KernelMode, FALSE, NULL);
    _SEH2_TRY {
        for (PLIST_ENTRY entry = list->FilterDevices.Flink; entry != &list->FilterDevices;
             entry = entry->Flink) {
            FilterExtension* extension = CONTAINING_RECORD(entry, FilterExtension, ListLink);
            if ((extension->Tag == FILTER_TAG_LEGACY || extension->Tag == FILTER_TAG_VOLUME) &&
                Matches(extension, Key)) {
                if (NT_SUCCESS(IoAcquireRemoveLock(&extension->RemoveLock,
                                                   VOLUME_LOOKUP_LOCK_TAG))) {
                    found = extension->Self;
                }
                break;
            }
        }
    }
    _SEH2_FINALLY {
        KeReleaseSemaphore(&list->ListLock, IO_NO_INCREMENT, 1, FALSE);
    }
    _SEH2_END;
    return found;
}

// A device enters the list only once it is attached (AddDevice), so every
// listed device has VOLUME_ATTACHED; the flags, which change under other
// locks, need not be read here.
static BOOLEAN MatchesPdo(FilterExtension* Extension, ULONG_PTR Pdo) {
    return (ULONG_PTR)Extension->VolumePdo == Pdo;
}

static BOOLEAN MatchesVolumeHandle(FilterExtension* Extension, ULONG_PTR VolumeHandle) {
    return Extension->VolumeHandle == (ULONG)VolumeHandle;
}

PDEVICE_OBJECT FindFilterDeviceByPdo(PDEVICE_OBJECT Pdo) {
    if (Pdo == NULL) {
        return NULL;
    }
    return FindFilterDevice(MatchesPdo, (ULONG_PTR)Pdo);
}

PDEVICE_OBJECT IsFilterDevice(ULONG VolumeHandle) {
    if (VolumeHandle == 0) {
        return NULL;
    }
    return FindFilterDevice(MatchesVolumeHandle, VolumeHandle);
}

// The filter device above the volume device that Target (an object name)
// opens, or NULL; *ReadOnly set when that device is read-only.
static PDEVICE_OBJECT FilterDeviceOfTarget(PUNICODE_STRING Target, PBOOLEAN ReadOnly) {
    PFILE_OBJECT file = NULL;
    PDEVICE_OBJECT device = NULL;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(Target, FILE_READ_ATTRIBUTES, &file, &device))) {
        return NULL;
    }
    PDEVICE_OBJECT found = NULL;
    if (device->Characteristics & FILE_READ_ONLY_DEVICE) {
        *ReadOnly = TRUE;
    } else {
        found = FindFilterDeviceByPdo(file->DeviceObject);
    }
    ObDereferenceObject(file);
    return found;
}

// Reads the target of the open link LinkHandle into Target, whose buffer is
// the caller's stack buffer or, when that is too small, *Allocated (the
// caller frees it). FALSE when the target cannot be read.
static BOOLEAN ReadLinkTarget(HANDLE LinkHandle, PUNICODE_STRING Target, PWCHAR* Allocated) {
    ULONG needed = 0;
    NTSTATUS status = ZwQuerySymbolicLinkObject(LinkHandle, Target, &needed);
    if (status == STATUS_BUFFER_TOO_SMALL && needed > Target->MaximumLength && needed <= 0xFFFE) {
        *Allocated = (PWCHAR)ExAllocatePoolWithTag(PagedPool, needed, QVD_TAG_LINK_TARGET);
        if (*Allocated == NULL) {
            return FALSE;
        }
        Target->Buffer = *Allocated;
        Target->Length = 0;
        Target->MaximumLength = (USHORT)needed;
        status = ZwQuerySymbolicLinkObject(LinkHandle, Target, &needed);
    }
    return NT_SUCCESS(status) && Target->Length <= Target->MaximumLength;
}

// The drive-letter form: the filter device above the volume the link
// \DosDevices\X: points to. FALSE when there is no such link (the name may
// then be a volume path); TRUE with *Found set or NULL otherwise.
static BOOLEAN FindByDriveLetter(WCHAR Letter, PBOOLEAN ReadOnly, PDEVICE_OBJECT* Found) {
    WCHAR linkName[] = u"\\DosDevices\\X:";
    linkName[12] = Letter;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, linkName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &link, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE linkHandle = NULL;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&linkHandle, SYMBOLIC_LINK_QUERY, &attributes))) {
        return FALSE;
    }

    WCHAR stackBuffer[LINK_TARGET_STACK_BYTES / sizeof(WCHAR)];
    UNICODE_STRING target;
    target.Buffer = stackBuffer;
    target.Length = 0;
    target.MaximumLength = sizeof(stackBuffer);
    PWCHAR allocated = NULL;
    *Found = NULL;
    _SEH2_TRY {
        // A link of a filtered volume points below \Device\Harddisk; drive
        // letters of CD-ROMs, network drives and substitutes do not.
        if (ReadLinkTarget(linkHandle, &target, &allocated) &&
            target.Length >= HARDDISK_PREFIX_CHARS * sizeof(WCHAR) &&
            _wcsnicmp(target.Buffer, HARDDISK_PREFIX, HARDDISK_PREFIX_CHARS) == 0) {
            // The object manager compares names without case, but spell the
            // prefix exactly as the devices are named.
            target.Buffer[1] = u'D';
            target.Buffer[8] = u'H';
            *Found = FilterDeviceOfTarget(&target, ReadOnly);
        }
    }
    _SEH2_FINALLY {
        ZwClose(linkHandle);
        if (allocated != NULL) {
            ExFreePool(allocated);
        }
    }
    _SEH2_END;
    return TRUE;
}

PDEVICE_OBJECT FindFilterDeviceByName(PCWSTR Name, PBOOLEAN ReadOnly) {
    *ReadOnly = FALSE;
    if (Name == NULL || Name[0] == 0) {
        return NULL;
    }
    PDEVICE_OBJECT found = NULL;
    if (FindByDriveLetter(Name[0], ReadOnly, &found)) {
        return found;
    }

    UNICODE_STRING ntPath;
    if (!NT_SUCCESS(MakeNtVolumePath(Name, &ntPath))) {
        return NULL;
    }
    _SEH2_TRY {
        found = FilterDeviceOfTarget(&ntPath, ReadOnly);
    }
    _SEH2_FINALLY {
        ExFreePool(ntPath.Buffer);
    }
    _SEH2_END;
    return found;
}

NTSTATUS MakeNtVolumePath(PCWSTR Name, PUNICODE_STRING NtPath) {
    SIZE_T length = BoundedLength(Name, VOLUME_NAME_MAX_CHARS);
    if (length > VOLUME_NAME_MAX_CHARS) {
        return STATUS_NAME_TOO_LONG;
    }
    PWCHAR buffer = (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, (length + 1) * sizeof(WCHAR),
                                                  QVD_TAG_VOLUME_NAME);
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Everything below works on the copy: the caller's string is not read
    // again.
    RtlCopyMemory(buffer, Name, length * sizeof(WCHAR));
    buffer[length] = 0;
    if (length >= 2 && buffer[0] == u'\\') {
        buffer[1] = u'?';
        if (buffer[length - 1] == u'\\') {
            length--;
            buffer[length] = 0;
        }
    }
    NtPath->Buffer = buffer;
    NtPath->Length = (USHORT)(length * sizeof(WCHAR));
    NtPath->MaximumLength = NtPath->Length + sizeof(WCHAR);
    return STATUS_SUCCESS;
}

PUNICODE_STRING JoinPath(PCWSTR First, PCWSTR Second, PCWSTR Third) {
    PCWSTR parts[3] = {First, Second, Third};
    SIZE_T units = 0;
    for (ULONG index = 0; index < 3; index++) {
        if (parts[index] != NULL) {
            units += BoundedLength(parts[index], VOLUME_NAME_MAX_CHARS) + 1;
        }
    }
    if (units > VOLUME_NAME_MAX_CHARS) {
        return NULL;
    }
    PUNICODE_STRING joined = (PUNICODE_STRING)AllocZeroed(
        (ULONG)(sizeof(UNICODE_STRING) + units * sizeof(WCHAR)), PagedPool);
    if (joined == NULL) {
        return NULL;
    }
    joined->Buffer = (PWCHAR)(joined + 1);
    joined->Length = 0;
    joined->MaximumLength = (USHORT)(units * sizeof(WCHAR));
    BOOLEAN anyBefore = FALSE;
    for (ULONG index = 0; index < 3; index++) {
        if (parts[index] == NULL) {
            continue;
        }
        if (anyBefore) {
            RtlAppendUnicodeToString(joined, u"\\");
        }
        RtlAppendUnicodeToString(joined, parts[index]);
        anyBefore = TRUE;
    }
    return joined;
}

HANDLE OpenVolumeForRead(PCWSTR Name) {
    PUNICODE_STRING joined = NULL;
    UNICODE_STRING objectName;
    if (Name[0] != 0 && Name[1] == u':') {
        WCHAR drive[3] = {Name[0], u':', 0};
        joined = JoinPath(u"\\DosDevices", drive, NULL);
        if (joined == NULL) {
            return NULL;
        }
        objectName = *joined;
    } else {
        RtlInitUnicodeString(&objectName, Name);
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    HANDLE handle = NULL;
    NTSTATUS status = ZwOpenFile(&handle, VOLUME_READ_ACCESS, &attributes, &ioStatus,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SYNCHRONOUS_IO_NONALERT);
    FreeIfAllocated(joined);
    return NT_SUCCESS(status) ? handle : NULL;
}

VOID CloseHandleIfOpen(HANDLE Handle) {
    if (Handle != NULL) {
        ZwClose(Handle);
    }
}

LONG QueryVolumeSize(HANDLE Handle, VolumeSizeInfo* Info) {
    if (Handle == NULL) {
        return -1;
    }
    FILE_FS_SIZE_INFORMATION size;
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status =
        ZwQueryVolumeInformationFile(Handle, &ioStatus, &size, sizeof(size), FileFsSizeInformation);
    if (status != STATUS_SUCCESS) {
        return -1;
    }
    Info->TotalAllocationUnits = size.TotalAllocationUnits.QuadPart;
    Info->AvailableAllocationUnits = size.AvailableAllocationUnits.QuadPart;
    Info->BytesPerAllocationUnit = size.SectorsPerAllocationUnit * size.BytesPerSector;
    return 0;
}
