// mm/paging_writer.cpp - the background writer: a System-process thread that
// runs while any view is mapped and, every MMP_WRITER_PERIOD of system time,
// writes the views' changed pages back to their files.
//
// Kernel mode, PASSIVE_LEVEL. Tests move it on by jumping the clock.
#include "ntos/mm/section.h"

namespace {

// One run of the writer thread, from its start to its stop.
struct MMP_WRITER {
    KEVENT Stop;  // set to end the thread
    PVOID Thread; // referenced thread object; set at start
};

std::mutex MmpWriterLock;
ULONG MmpMappedViewCount = 0;           // MmpWriterLock
MMP_WRITER* MmpRunningWriter = nullptr; // MmpWriterLock

VOID MmpWriterThread(PVOID Context) {
    auto writer = static_cast<MMP_WRITER*>(Context);
    LARGE_INTEGER period;
    period.QuadPart = -MMP_WRITER_PERIOD;
    while (KeWaitForSingleObject(&writer->Stop, Executive, KernelMode, FALSE, &period) ==
           STATUS_TIMEOUT) {
        for (const MMP_VIEW_REF& view : MmpMappedViews()) {
            MmpFlushView(view.get());
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

VOID MmpWriterViewMapped() {
    std::lock_guard<std::mutex> guard(MmpWriterLock);
    if (MmpMappedViewCount++ != 0 || MmpRunningWriter != nullptr) {
        return;
    }
    auto writer = new MMP_WRITER();
    KeInitializeEvent(&writer->Stop, NotificationEvent, FALSE);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                         MmpWriterThread, writer))) {
        // Views are still written back at unmap.
        delete writer;
        return;
    }
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &writer->Thread,
                              nullptr);
    ZwClose(handle);
    MmpRunningWriter = writer;
}

VOID MmpWriterViewUnmapped() {
    MMP_WRITER* writer = nullptr;
    {
        std::lock_guard<std::mutex> guard(MmpWriterLock);
        if (--MmpMappedViewCount == 0) {
            writer = MmpRunningWriter;
            MmpRunningWriter = nullptr;
        }
    }
    if (writer != nullptr) {
        KeSetEvent(&writer->Stop, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(writer->Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(writer->Thread);
        delete writer;
    }
}
