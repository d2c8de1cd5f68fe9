// disk/queue.cpp - a volume's request queue and the kernel threads that
// serve it, with the optional latency and bandwidth model.
//
// Workers are started on demand, from any IRQL, up to the volume's limit,
// and end after a short idle spell. The machine abandons volumes at
// power-off without a word to their driver, so a worker that waited for
// work forever would keep the kernel from stopping; an idle worker ends by
// itself instead, and the kernel's shutdown joins it.
#include "ntos/disk/diskp.h"
#include "ntos/ps/psp.h"

#include <chrono>
#include <thread>

namespace {

// How long an idle worker waits for work before it ends (host time).
constexpr auto DiskpIdleLinger = std::chrono::milliseconds(20);

LONGLONG DiskpHostNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The time the request takes on the device: it waits for the shared
// channel, moves its bytes at the volume's rate, then pays the latency.
VOID DiskpModelServiceTime(DISKP_VOLUME* Volume, ULONG Bytes) {
    const ULONGLONG rate = Volume->BytesPerSecond.load(std::memory_order_relaxed);
    const ULONG latency = Volume->LatencyMicroseconds.load(std::memory_order_relaxed);
    if (rate == 0 && latency == 0) {
        return;
    }
    LONGLONG done = DiskpHostNow();
    if (rate != 0) {
        const auto transfer =
            static_cast<LONGLONG>(Bytes * 1000000000.0 / static_cast<double>(rate));
        std::lock_guard<std::mutex> guard(Volume->QueueLock);
        LONGLONG start = Volume->ChannelFreeAt > done ? Volume->ChannelFreeAt : done;
        Volume->ChannelFreeAt = start + transfer;
        done = Volume->ChannelFreeAt;
    }
    done += static_cast<LONGLONG>(latency) * 1000;
    std::this_thread::sleep_until(
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(done)));
}

// A worker: serves queued requests at PASSIVE_LEVEL until the queue has
// stayed empty for the idle spell, or the volume stops.
VOID DiskpWorker(PVOID Context) {
    auto* volume = static_cast<DISKP_VOLUME*>(Context);
    std::unique_lock<std::mutex> lock(volume->QueueLock);
    for (;;) {
        if (volume->Queue.empty()) {
            if (volume->Stopping) {
                break;
            }
            volume->IdleWorkers++;
            volume->QueueCv.wait_for(lock, DiskpIdleLinger, [volume] {
                return !volume->Queue.empty() || volume->Stopping;
            });
            volume->IdleWorkers--;
            if (volume->Queue.empty()) {
                break;
            }
        }
        PIRP irp = volume->Queue.front();
        volume->Queue.pop_front();
        lock.unlock();
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        DiskpModelServiceTime(volume, stack->Parameters.Read.Length);
        DiskpServeRequest(volume, irp);
        lock.lock();
    }
    // The volume may be freed as soon as the lock is released.
    volume->Workers--;
    volume->WorkersCv.notify_all();
}

// Starts one worker; QueueLock held. FALSE when no thread could be made.
bool DiskpStartWorkerLocked(DISKP_VOLUME* Volume) {
    PETHREAD thread;
    if (!NT_SUCCESS(PspCreateKernelThread(DiskpWorker, Volume, &thread))) {
        return false;
    }
    ObDereferenceObject(thread);
    Volume->Workers++;
    return true;
}

} // namespace

VOID DiskpQueueRequest(DISKP_VOLUME* Volume, PIRP Irp) {
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(Volume->QueueLock);
        if (Volume->Stopping) {
            // Plug and play sends no request once removal began; one that
            // races with it anyway is refused rather than left unserved.
            status = STATUS_DELETE_PENDING;
        } else if (Volume->IdleWorkers > Volume->Queue.size() ||
                   Volume->Workers >= Volume->MaxWorkers || DiskpStartWorkerLocked(Volume) ||
                   Volume->Workers != 0) {
            // Idle workers pick up what is queued; another worker starts only
            // when every one is busy, and a failed start leaves the request
            // to the busy ones.
            Volume->Queue.push_back(Irp);
            Volume->QueueCv.notify_one();
            return;
        } else {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    DiskpComplete(Volume, Irp, status, 0);
}

VOID DiskpStopWorkers(DISKP_VOLUME* Volume) {
    std::unique_lock<std::mutex> lock(Volume->QueueLock);
    Volume->Stopping = TRUE;
    Volume->QueueCv.notify_all();
    Volume->WorkersCv.wait(lock, [Volume] { return Volume->Workers == 0; });
}
