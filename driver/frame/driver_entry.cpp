// driver_entry.cpp - the driver's entry point: the global state, the order in
// which the driver's services come up, the dispatch table, and the unwinding
// of a start that fails.
//
// Kernel mode, PASSIVE_LEVEL, System process. The driver has no unload
// routine: once started, its services live until the system stops, so the
// unwinding below is the only teardown there is.
#include "frame/frame.h"
#include "frame/exempt_file_list.h"
#include "frame/work_queue.h"
#include "io/copy_on_write.h"
#include "io/io.h"
#include "resources/messages.h"
#include "resources/version.h"
#include "support/block_cache.h"

DriverGlobalsRecord DriverGlobals;

// Room of the narrow copy of a service-pack number: 20 bytes, of which 19
// may be converted so that a terminator always fits.
#define SERVICE_PACK_DIGITS_BYTES 20

VOID ParseServicePack(PCUNICODE_STRING CsdVersion) {
    PAGED_CODE();
    _SEH2_TRY {
        // The string is counted; a terminated copy lets wcscspn stop inside it.
        WCHAR text[128];
        USHORT length = CsdVersion->Length / sizeof(WCHAR);
        if (length >= sizeof(text) / sizeof(text[0])) {
            length = sizeof(text) / sizeof(text[0]) - 1;
        }
        RtlCopyMemory(text, CsdVersion->Buffer, length * sizeof(WCHAR));
        text[length] = 0;

        SIZE_T first = wcscspn(text, u"0123456789");
        if (first == 0 || first >= length) {
            _SEH2_LEAVE;
        }
        UNICODE_STRING tail;
        tail.Buffer = text + first;
        tail.Length = (USHORT)((length - first) * sizeof(WCHAR));
        tail.MaximumLength = tail.Length;

        CHAR digits[SERVICE_PACK_DIGITS_BYTES];
        ANSI_STRING narrow;
        narrow.Buffer = digits;
        narrow.Length = 0;
        narrow.MaximumLength = SERVICE_PACK_DIGITS_BYTES - 1;
        // A tail longer than the buffer converts what fits and reports an
        // overflow; the leading digits are all that matter.
        RtlUnicodeStringToAnsiString(&narrow, &tail, FALSE);
        digits[narrow.Length] = 0;
        DriverGlobals.ServicePackNumber = (LONG)atol(digits);
    }
    _SEH2_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {}
    _SEH2_END;
}

//
// InstallDispatchTable - points every request at its handler and sets up
// the driver object extension that lists the filter devices.
//
// Every major function starts on PassDown; then the handled ones are set.
// Returns STATUS_SUCCESS or the status of IoAllocateDriverObjectExtension.
// IRQL: PASSIVE_LEVEL.
//
static NTSTATUS InstallDispatchTable(PDRIVER_OBJECT DriverObject) {
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = PassDown;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCloseCleanup;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCloseCleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverExtension->AddDevice = AddDevice;

    FilterDeviceList* list = NULL;
    NTSTATUS status = IoAllocateDriverObjectExtension(DriverObject, (PVOID)AddDevice,
                                                      sizeof(FilterDeviceList), (PVOID*)&list);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory(list, sizeof(*list));
    list->DriverObject = DriverObject;
    InitializeListHead(&list->FilterDevices);
    KeInitializeSemaphore(&list->ListLock, 1, 1);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    PAGED_CODE();
    // A freshly loaded image starts with zeroed globals.
    RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
    RtlZeroMemory(&ReclaimGlobals, sizeof(ReclaimGlobals));
    InitBacklog();
    DriverGlobals.DriverObject = DriverObject;
    DriverGlobals.SystemProcess = IoGetCurrentProcess();
    EventLogInit();

    UNICODE_STRING csdVersion = {};
    PsGetVersion(NULL, NULL, &DriverGlobals.OsBuildNumber, &csdVersion);
    if (csdVersion.Length != 0) {
        ParseServicePack(&csdVersion);
    }

    ExemptFileInit();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (!InitBlockPools()) {
        goto CloseExemptLists;
    }
    if (!StartWorkQueues()) {
        goto FreePools;
    }
    if (!StartReclaimThread()) {
        goto StopQueues;
    }
    DriverObject->DriverUnload = NULL;
    status = CreateControlDevice(DriverObject);
    if (!NT_SUCCESS(status)) {
        goto StopReclaim;
    }
    status = InstallDispatchTable(DriverObject);
    if (!NT_SUCCESS(status)) {
        goto DeleteControl;
    }

    LogEvent(QVD_MSG_DRIVER_LOADED, "ddcsdS", DriverVersion.MajorVersion,
             DriverVersion.MinorVersion, DriverVersion.RevisionLetter, DriverVersion.BuildFlavor,
             DriverVersion.BuildNumber, DriverVersion.ProductName);
    return status;

DeleteControl:
    DeleteControlDevice();
StopReclaim:
    StopReclaimThread();
StopQueues:
    StopWorkQueues();
FreePools:
    FreeBlockPools();
CloseExemptLists:
    ExemptFileClose();
    return status;
}
