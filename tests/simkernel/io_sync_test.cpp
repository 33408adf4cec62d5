/*
 * io_sync_test.cpp - the simulated dispatcher's remove locks, events and
 * waits on the simulated clock.
 */
#include "tests/simkernel/io_test_util.h"

namespace {

using namespace iotest;

class RemoveLockTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        IoInitializeRemoveLock(&lock, QELMBAR_TAG, 0, 0);
    }
    IO_REMOVE_LOCK lock;
    int tagA = 0, tagB = 0;
};

TEST_F(RemoveLockTest, CountsAsNtAndAnswersDeletePendingOnceRemovalBegan)
{
    EXPECT_EQ(lock.Common.IoCount, 1) << "the bias";
    EXPECT_FALSE(lock.Common.Removed);
    ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagA));
    ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagB));
    EXPECT_EQ(lock.Common.IoCount, 3);
    IoReleaseRemoveLock(&lock, &tagB);
    EXPECT_EQ(lock.Common.IoCount, 2);

    IoReleaseRemoveLockAndWait(&lock, &tagA);
    EXPECT_TRUE(lock.Common.Removed);
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_STATUS(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &tagB));
    EXPECT_EQ(lock.Common.IoCount, 0) << "a refused acquisition does not count";
    auto seen = ViolationsDuring([&] { IoReleaseRemoveLock(&lock, &tagB); });
    EXPECT_TRUE(OneViolation(seen, "not held"));
}

TEST_F(RemoveLockTest, ReleaseAndWaitBlocksUntilEveryOtherHolderReleased)
{
    ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagA));
    std::atomic<bool> returned{ false };
    std::thread remover([&] {
        ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagB));
        IoReleaseRemoveLockAndWait(&lock, &tagB);
        returned = true;
    });
    sk::WaitForBlockedThreads(1);
    EXPECT_FALSE(returned) << "a holder is left";
    EXPECT_STATUS(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &tagB));
    IoReleaseRemoveLock(&lock, &tagA);
    remover.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(lock.Common.IoCount, 0);
}

TEST_F(RemoveLockTest, MisuseIsAViolation)
{
    auto seen = ViolationsDuring([&] { IoReleaseRemoveLock(&lock, &tagA); });
    EXPECT_TRUE(OneViolation(seen, "not held with tag"));
    EXPECT_EQ(lock.Common.IoCount, 1) << "a refused release does not count";

    ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagA));
    seen = ViolationsDuring([&] { IoReleaseRemoveLock(&lock, &tagB); });
    EXPECT_TRUE(OneViolation(seen, "not held with tag")) << "tags are told apart";
    seen = ViolationsDuring([&] { IoReleaseRemoveLockAndWait(&lock, &tagB); });
    EXPECT_TRUE(OneViolation(seen, "does not hold"));
    IoReleaseRemoveLockAndWait(&lock, &tagA);
    seen = ViolationsDuring([&] { IoReleaseRemoveLockAndWait(&lock, &tagA); });
    EXPECT_TRUE(OneViolation(seen, "already being removed"));

    IO_REMOVE_LOCK never;
    memset(&never, 0, sizeof(never));
    seen = ViolationsDuring([&] { (void)IoAcquireRemoveLock(&never, nullptr); });
    EXPECT_TRUE(OneViolation(seen, "never initialized"));
    seen = ViolationsDuring(
        [&] { (void)IoAcquireRemoveLockEx(&lock, nullptr, "", 1, sizeof(IO_REMOVE_LOCK) + 8); });
    EXPECT_TRUE(OneViolation(seen, "size"));
}

/* Events and waits. */

class EventTest : public qtest::KernelTest {};

TEST_F(EventTest, ANotificationEventReleasesEveryWaiterAndStaysSet)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{ 0 };
    auto waiter = [&] {
        EXPECT_STATUS(STATUS_SUCCESS,
                      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
        woken++;
    };
    std::thread a(waiter), b(waiter);
    sk::WaitForBlockedThreads(2);
    EXPECT_EQ(woken, 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, ASynchronizationEventReleasesOneWaiterAndResets)
{
    KEVENT gate, oneThrough;
    KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
    KeInitializeEvent(&oneThrough, NotificationEvent, FALSE);
    std::atomic<int> woken{ 0 };
    auto waiter = [&] {
        KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
        woken++;
        KeSetEvent(&oneThrough, IO_NO_INCREMENT, FALSE);
    };
    std::thread a(waiter), b(waiter);
    sk::WaitForBlockedThreads(2);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&oneThrough, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(sk::BlockedThreadCount(), 1u) << "the other waiter still waits";
    EXPECT_EQ(KeReadStateEvent(&gate), 0);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);

    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    EXPECT_STATUS(STATUS_SUCCESS, KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(KeReadStateEvent(&gate), 0) << "a satisfied wait resets it";
}

TEST_F(EventTest, TimeoutsRunOnTheSimulatedClock)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_STATUS(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));

    NTSTATUS shortWait = STATUS_PENDING, longWait = STATUS_PENDING;
    std::thread a([&] {
        LARGE_INTEGER halfSecond;
        halfSecond.QuadPart = -5000000;
        shortWait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &halfSecond);
    });
    std::thread b([&] {
        LARGE_INTEGER tenSeconds;
        tenSeconds.QuadPart = -100000000;
        longWait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tenSeconds);
    });
    sk::WaitForBlockedThreads(2);
    sk::AdvanceUptime(1);
    a.join();
    EXPECT_STATUS(STATUS_TIMEOUT, shortWait);
    EXPECT_EQ(sk::BlockedThreadCount(), 1u) << "ten seconds have not passed";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    b.join();
    EXPECT_STATUS(STATUS_SUCCESS, longWait);
    EXPECT_STATUS(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
}

TEST_F(EventTest, AnEventNeverInitializedIsAViolation)
{
    KEVENT event;
    memset(&event, sk::kPoolPoison, sizeof(event));
    auto seen = ViolationsDuring([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_TRUE(OneViolation(seen, "no initialized event"));
    seen = ViolationsDuring([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_TRUE(OneViolation(seen, "no initialized event"));
}

/* Shutdown notification. */

} // namespace
