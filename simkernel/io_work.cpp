/*
 * io_work.cpp - work items: IoAllocateWorkItem, IoQueueWorkItem,
 * IoFreeWorkItem and ExQueueWorkItem, run by system worker threads.
 *
 * Workers are real threads, started as needed so that a work routine that
 * blocks never keeps a later item from starting; items start in the order
 * queued, whatever their queue type.  No lock is held while a routine
 * runs.  As in NT, an I/O work item is pool memory, its device is
 * referenced while the item is queued, the item may be freed or queued
 * again by its own routine, and queueing an item that is still queued or
 * freeing it then is an error (a violation here).  ExQueueWorkItem marks
 * the item queued through List.Flink, as NT does, and clears it before the
 * routine runs.
 *
 * A child forked from a process with workers has none of them: it counts
 * none idle and none running, and starts workers for what is queued.
 */
#include "simkernel/io.h"
#include "simkernel/io_internal.h"

#include <deque>
#include <thread>

#include <pthread.h>

/* An I/O work item; opaque to the driver. */
struct _IO_WORKITEM {
    ULONG magic;
    bool queued;
    PDEVICE_OBJECT deviceObject;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
};

namespace sk {
namespace io {

namespace {

constexpr ULONG kWorkItemTag = 'I' | ('o' << 8) | ('W' << 16) | ('k' << 24);
constexpr ULONG kWorkItemMagic = 0x6B72576F;
/* A marker List.Flink holds while an executive work item is queued. */
PLIST_ENTRY const kQueuedMark = reinterpret_cast<PLIST_ENTRY>(uintptr_t(0x1));

struct Job {
    PIO_WORKITEM ioItem = nullptr; /* or */
    PWORK_QUEUE_ITEM exItem = nullptr;
};

/* Guarded by the dispatcher lock; never destroyed, as idle workers wait on
 * it until the process ends. */
struct WorkQueue {
    std::deque<Job> jobs;
    size_t running = 0;
    size_t idle = 0;
    size_t starting = 0; /* workers started that have not yet looked for work */
    uint64_t generation = 0;
};

WorkQueue &Queue()
{
    static WorkQueue *queue = new WorkQueue;
    return *queue;
}

thread_local bool onWorker = false;

void RunJob(const Job &job)
{
    if (job.ioItem) {
        PDEVICE_OBJECT device;
        PIO_WORKITEM_ROUTINE routine;
        PVOID context;
        {
            std::lock_guard<std::mutex> guard(DispatcherLock());
            device = job.ioItem->deviceObject;
            routine = job.ioItem->routine;
            context = job.ioItem->context;
            job.ioItem->queued = false;
        }
        routine(device, context);
        std::lock_guard<std::recursive_mutex> guard(KernelLock());
        DropSystemReference(device);
        return;
    }
    PWORKER_THREAD_ROUTINE routine;
    PVOID parameter;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        routine = job.exItem->WorkerRoutine;
        parameter = job.exItem->Parameter;
        job.exItem->List.Flink = nullptr;
    }
    routine(parameter);
}

void WorkerMain()
{
    onWorker = true;
    std::unique_lock<std::mutex> lock(DispatcherLock());
    WorkQueue &queue = Queue();
    if (queue.starting)
        queue.starting--;
    for (;;) {
        queue.idle++;
        WaitUnblocked(lock, [&queue] { return !queue.jobs.empty(); });
        queue.idle--;
        Job job = queue.jobs.front();
        queue.jobs.pop_front();
        queue.running++;
        const uint64_t generation = queue.generation;
        lock.unlock();
        RunJob(job);
        lock.lock();
        /* A reset in between has counted the queue anew. */
        if (queue.generation == generation)
            queue.running--;
        SignalDispatcher();
    }
}

/* Starts workers until every queued job has one; dispatcher lock held. */
void EnsureWorkers()
{
    WorkQueue &queue = Queue();
    while (queue.idle + queue.starting < queue.jobs.size()) {
        queue.starting++;
        std::thread(WorkerMain).detach();
    }
}

/* Queues a job; the caller holds the dispatcher lock. */
void Enqueue(const Job &job)
{
    Queue().jobs.push_back(job);
    EnsureWorkers();
    SignalDispatcher();
}

void ForgetWorkersInChild()
{
    WorkQueue &queue = Queue();
    queue.idle = 0;
    queue.starting = 0;
    queue.running = 0;
    queue.generation++;
}

const int forkHandler = pthread_atfork(nullptr, nullptr, ForgetWorkersInChild);

PIO_WORKITEM CheckItem(const char *routine, PIO_WORKITEM item)
{
    if (!item || item->magic != kWorkItemMagic) {
        Violation("%s: %p is no work item", routine, (void *)item);
        return nullptr;
    }
    return item;
}

} // namespace

void ResetWorkQueue()
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    WorkQueue &queue = Queue();
    if (!queue.jobs.empty() || queue.running)
        Violation("reset with %zu work items queued and %zu running", queue.jobs.size(),
                  queue.running);
    queue.jobs.clear();
    queue.running = 0;
    queue.generation++;
}

} // namespace io

void WaitForWorkItems()
{
    if (io::onWorker) {
        Violation("WaitForWorkItems called from a work routine");
        return;
    }
    std::unique_lock<std::mutex> lock(io::DispatcherLock());
    io::EnsureWorkers();
    io::WaitUnblocked(lock, [] { return io::Queue().jobs.empty() && io::Queue().running == 0; });
}

} // namespace sk

using namespace sk;
using namespace sk::io;

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    if (EnterRoutine("IoAllocateWorkItem"))
        return nullptr;
    if (!DeviceObject || !IsObject(DeviceObject)) {
        Violation("IoAllocateWorkItem: %p is no device object", (void *)DeviceObject);
        return nullptr;
    }
    auto item = static_cast<PIO_WORKITEM>(
        ExAllocatePoolWithTag(SystemNonPagedPool(), sizeof(_IO_WORKITEM), kWorkItemTag));
    if (!item)
        return nullptr;
    item->magic = kWorkItemMagic;
    item->queued = false;
    item->deviceObject = DeviceObject;
    item->routine = nullptr;
    item->context = nullptr;
    return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    if (!WorkerRoutine) {
        Violation("IoQueueWorkItem: no routine");
        return;
    }
    if (QueueType < CriticalWorkQueue || QueueType >= MaximumWorkQueue) {
        Violation("IoQueueWorkItem: queue type %d", (int)QueueType);
        return;
    }
    std::lock_guard<std::recursive_mutex> kernel(KernelLock());
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!CheckItem("IoQueueWorkItem", IoWorkItem))
        return;
    if (IoWorkItem->queued) {
        Violation("IoQueueWorkItem: work item %p is queued already", (void *)IoWorkItem);
        return;
    }
    AddSystemReference(IoWorkItem->deviceObject);
    IoWorkItem->queued = true;
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    Job job;
    job.ioItem = IoWorkItem;
    Enqueue(job);
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        if (!CheckItem("IoFreeWorkItem", IoWorkItem))
            return;
        if (IoWorkItem->queued) {
            Violation("IoFreeWorkItem: work item %p is still queued", (void *)IoWorkItem);
            return;
        }
        IoWorkItem->magic = 0;
    }
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    if (!WorkItem || !WorkItem->WorkerRoutine) {
        Violation("ExQueueWorkItem: no work item or no routine");
        return;
    }
    if (QueueType < CriticalWorkQueue || QueueType >= MaximumWorkQueue) {
        Violation("ExQueueWorkItem: queue type %d", (int)QueueType);
        return;
    }
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (WorkItem->List.Flink) {
        Violation("ExQueueWorkItem: work item %p is queued already (List.Flink is set)",
                  (void *)WorkItem);
        return;
    }
    WorkItem->List.Flink = kQueuedMark;
    Job job;
    job.exItem = WorkItem;
    Enqueue(job);
}
