// fs/lazy_writer.cpp - the lazy writer: one System thread per mounted volume
// that, about once a second of system time, writes the pages cached writes
// dirtied back to the volume as paging writes carrying each stream's paging
// file object, as the platform's lazy writer does.
//
// Kernel mode, PASSIVE_LEVEL (its paging writes at APC_LEVEL). A kernel
// thread of the file system's own: stopped at dismount, never ended early by
// a power-off. Tests move it on by jumping the clock.
#include "ntos/fs/fsp.h"
#include "ntos/ps/psp.h"

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
}

} // namespace

NTSTATUS FspStartLazyWriter(FSP_VOLUME* Volume) {
    KeInitializeEvent(&Volume->LazyWriterStop, NotificationEvent, FALSE);
    PETHREAD thread;
    NTSTATUS status = PspCreateKernelThread(FspLazyWriterThread, Volume, &thread);
    if (NT_SUCCESS(status)) {
        Volume->LazyWriter = thread;
    }
    return status;
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
