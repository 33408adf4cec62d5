/*
 * io_work_test.cpp - shutdown notification and work items on worker
 * threads of the simulated I/O manager.
 */
#include "tests/simkernel/io_test_util.h"

namespace {

using namespace iotest;

TEST_F(IoManagerTest, ShutdownReachesTheLastRegisteredDeviceFirstAndOnlyOnce)
{
    PDEVICE_OBJECT a = MakeDevice(u"\\Device\\A");
    PDEVICE_OBJECT b = MakeDevice(u"\\Device\\B");
    PDEVICE_OBJECT c = MakeDevice(u"\\Device\\C");
    PDEVICE_OBJECT d = MakeDevice(u"\\Device\\D");
    for (PDEVICE_OBJECT device : { a, b, c, d })
        ASSERT_STATUS(STATUS_SUCCESS, IoRegisterShutdownNotification(device));
    EXPECT_NE(a->Flags & DO_SHUTDOWN_REGISTERED, 0u);
    IoUnregisterShutdownNotification(b);
    EXPECT_EQ(b->Flags & DO_SHUTDOWN_REGISTERED, 0u);
    IoDeleteDevice(c);
    record.devices.clear();
    record.majors.clear();

    EXPECT_EQ(sk::DeliverShutdown(), 2u);
    EXPECT_EQ(record.devices, (std::vector<PDEVICE_OBJECT>{ d, a }));
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{ IRP_MJ_SHUTDOWN, IRP_MJ_SHUTDOWN }));
    EXPECT_EQ(record.requestorMode, KernelMode);
    EXPECT_EQ(sk::DeliverShutdown(), 0u) << "the registrations are used up";
    for (PDEVICE_OBJECT device : { a, b, d })
        IoDeleteDevice(device);
}

TEST_F(IoManagerTest, ARegistrationKeepsADeviceAndAFaultFailsIt)
{
    PDEVICE_OBJECT device = MakeDevice();
    ASSERT_STATUS(STATUS_SUCCESS, IoRegisterShutdownNotification(device));
    ASSERT_STATUS(STATUS_SUCCESS, IoRegisterShutdownNotification(device));
    EXPECT_EQ(sk::DeliverShutdown(), 2u) << "registered twice, told twice";
    sk::FailCall("IoRegisterShutdownNotification", sk::CallCount("IoRegisterShutdownNotification") + 1,
                 STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, IoRegisterShutdownNotification(device));
    EXPECT_EQ(sk::DeliverShutdown(), 0u);
    IoDeleteDevice(device);
}

/* Work items. */

struct WorkRecord {
    KEVENT done;
    KEVENT release;
    bool waitForRelease = false;
    std::thread::id thread;
    PDEVICE_OBJECT device = nullptr;
    PIO_WORKITEM item = nullptr;
    bool freeItself = false;
};

VOID NTAPI RecordWork(PDEVICE_OBJECT device, PVOID context)
{
    auto *work = static_cast<WorkRecord *>(context);
    work->thread = std::this_thread::get_id();
    work->device = device;
    if (work->waitForRelease)
        KeWaitForSingleObject(&work->release, Executive, KernelMode, FALSE, nullptr);
    if (work->freeItself)
        IoFreeWorkItem(work->item);
    KeSetEvent(&work->done, IO_NO_INCREMENT, FALSE);
}

class WorkItemTest : public IoManagerTest {
protected:
    void SetUp() override
    {
        IoManagerTest::SetUp();
        device = MakeDevice();
    }
    void TearDown() override
    {
        sk::WaitForWorkItems();
        if (device)
            IoDeleteDevice(device);
        IoManagerTest::TearDown();
    }
    void Init(WorkRecord &work)
    {
        KeInitializeEvent(&work.done, NotificationEvent, FALSE);
        KeInitializeEvent(&work.release, NotificationEvent, FALSE);
    }
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(WorkItemTest, TheRoutineRunsOnAWorkerThreadWithTheDeviceAndContext)
{
    WorkRecord work;
    Init(work);
    work.item = IoAllocateWorkItem(device);
    ASSERT_NE(work.item, nullptr);
    work.freeItself = true;
    IoQueueWorkItem(work.item, RecordWork, DelayedWorkQueue, &work);
    EXPECT_STATUS(STATUS_SUCCESS,
                  KeWaitForSingleObject(&work.done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_NE(work.thread, std::this_thread::get_id());
    EXPECT_EQ(work.device, device);
}

TEST_F(WorkItemTest, NoLockIsHeldWhileARoutineRunsAndABlockedOneHoldsNoOtherBack)
{
    WorkRecord first, second;
    Init(first);
    Init(second);
    first.waitForRelease = true;
    first.item = IoAllocateWorkItem(device);
    second.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(first.item, RecordWork, DelayedWorkQueue, &first);
    IoQueueWorkItem(second.item, RecordWork, DelayedWorkQueue, &second);
    KeWaitForSingleObject(&second.done, Executive, KernelMode, FALSE, nullptr);
    sk::WaitForBlockedThreads(1);
    /* The kernel stays usable while the first routine blocks. */
    PDEVICE_OBJECT other = MakeDevice(u"\\Device\\Other");
    IoDeleteDevice(other);
    KeSetEvent(&first.release, IO_NO_INCREMENT, FALSE);
    sk::WaitForWorkItems();
    EXPECT_NE(first.thread, second.thread);
    IoFreeWorkItem(first.item);
    IoFreeWorkItem(second.item);
}

TEST_F(WorkItemTest, AQueuedItemKeepsItsDeletedDevice)
{
    WorkRecord work;
    Init(work);
    work.waitForRelease = true;
    work.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(work.item, RecordWork, CriticalWorkQueue, &work);
    const size_t blocks = sk::PoolOutstandingBlocks();
    IoDeleteDevice(device);
    device = nullptr;
    EXPECT_EQ(sk::PoolOutstandingBlocks(), blocks) << "the device stays while the item is out";
    KeSetEvent(&work.release, IO_NO_INCREMENT, FALSE);
    sk::WaitForWorkItems();
    EXPECT_EQ(sk::PoolOutstandingBlocks(), blocks - 1);
    IoFreeWorkItem(work.item);
}

struct ExecutiveWork {
    WORK_QUEUE_ITEM item;
    KEVENT done;
    bool flinkCleared = false;
};

VOID NTAPI RunExecutiveWork(PVOID parameter)
{
    auto *work = static_cast<ExecutiveWork *>(parameter);
    work->flinkCleared = work->item.List.Flink == nullptr;
    KeSetEvent(&work->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItemTest, AnExecutiveItemRunsWithItsParameterAndMayNotBeQueuedTwice)
{
    ExecutiveWork work;
    KeInitializeEvent(&work.done, NotificationEvent, FALSE);
    ExInitializeWorkItem(&work.item, RunExecutiveWork, &work);
    ExQueueWorkItem(&work.item, DelayedWorkQueue);
    KeWaitForSingleObject(&work.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(work.flinkCleared) << "the item is free to queue again when its routine runs";
    sk::WaitForWorkItems();

    LIST_ENTRY elsewhere;
    work.item.List.Flink = &elsewhere;
    auto seen = ViolationsDuring([&] { ExQueueWorkItem(&work.item, DelayedWorkQueue); });
    EXPECT_TRUE(OneViolation(seen, "queued already"));
}

TEST_F(WorkItemTest, AllocationCanFailAndAFreedItemIsNoItem)
{
    sk::FailCall("IoAllocateWorkItem", sk::CallCount("IoAllocateWorkItem") + 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(IoAllocateWorkItem(device), nullptr);
    sk::FailAllocation(sk::AllocationCount() + 1);
    EXPECT_EQ(IoAllocateWorkItem(device), nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    IoFreeWorkItem(item);
    auto seen = ViolationsDuring([&] { IoFreeWorkItem(item); });
    EXPECT_TRUE(OneViolation(seen, "no work item"));
}

/* The machine model boots in a forked child of a process that has workers
 * already; the child has no threads but its own. */
TEST_F(WorkItemTest, AForkedChildRunsWorkItemsOfItsOwn)
{
    WorkRecord before;
    Init(before);
    before.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(before.item, RecordWork, DelayedWorkQueue, &before);
    KeWaitForSingleObject(&before.done, Executive, KernelMode, FALSE, nullptr);
    sk::WaitForWorkItems();

    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60); /* a watchdog only: a hang fails the test */
        WorkRecord after;
        KeInitializeEvent(&after.done, NotificationEvent, FALSE);
        KeInitializeEvent(&after.release, NotificationEvent, FALSE);
        after.item = before.item;
        IoQueueWorkItem(after.item, RecordWork, DelayedWorkQueue, &after);
        NTSTATUS status = KeWaitForSingleObject(&after.done, Executive, KernelMode, FALSE, nullptr);
        sk::WaitForWorkItems();
        _exit(status == STATUS_SUCCESS && after.device == device ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child was killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    IoFreeWorkItem(before.item);
}

} // namespace
