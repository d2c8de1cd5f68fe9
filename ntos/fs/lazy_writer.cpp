// fs/lazy_writer.cpp - the lazy writer: one System thread per mounted volume
// that, about once a second of system time, writes the pages cached writes
// dirtied back to the volume as paging writes carrying each stream's paging
// file object, as the platform's lazy writer does.
//
// Kernel mode, PASSIVE_LEVEL (its paging writes at APC_LEVEL). Tests move it
// on by jumping the clock.
#include "ntos/fs/fsp.h"

namespace {

VOID FspLazyWriterThread(PVOID Context) {
    auto volume = static_cast<FSP_VOLUME*>(Context);
    LARGE_INTEGER period;
    period.QuadPart = -FSP_LAZY_WRITER_PERIOD;
    while (KeWaitForSingleObject(&volume->LazyWriterStop, Executive, KernelMode, FALSE, &period) ==
           STATUS_TIMEOUT) {
        // A failed write leaves its pages dirty for the next pass.
        for (FSP_STREAM* stream : FspVolumeStreams(volume)) {
            FspFlushStream(stream, false);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

NTSTATUS FspStartLazyWriter(FSP_VOLUME* Volume) {
    KeInitializeEvent(&Volume->LazyWriterStop, NotificationEvent, FALSE);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr,
                                           nullptr, FspLazyWriterThread, Volume);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &Volume->LazyWriter,
                              nullptr);
    ZwClose(handle);
    return STATUS_SUCCESS;
}

VOID FspStopLazyWriter(FSP_VOLUME* Volume) {
    if (Volume->LazyWriter == nullptr) {
        return;
    }
    KeSetEvent(&Volume->LazyWriterStop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(Volume->LazyWriter, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(Volume->LazyWriter);
    Volume->LazyWriter = nullptr;
}
