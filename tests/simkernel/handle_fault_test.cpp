/*
 * handle_fault_test.cpp - the kernel handle table and ZwClose, violation
 * reporting, and the counting of calls and allocations that faults are
 * planned against.
 */
#include "simkernel/internal.h"
#include "tests/support/kernel_test.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using qtest::OneViolation;
using qtest::ViolationsDuring;

constexpr ULONG kTag = (ULONG)'T' | ((ULONG)'e' << 8) | ((ULONG)'s' << 16) | ((ULONG)'t' << 24);
constexpr ULONG_PTR kKernelHandleBits = (ULONG_PTR)0xFFFFFFFF80000000ull;



/* The smallest kernel object: counts the closes of its handles. */
struct TestObject : sk::Object {
    explicit TestObject(sk::ObjectKind kind = sk::ObjectKind::Event) : kind(kind) {}
    sk::ObjectKind Kind() const override { return kind; }
    void OnHandleClosed() override { closes++; }
    sk::ObjectKind kind;
    int closes = 0;
};

/* Two platform routines that faults can be planned against. */
PVOID Allocate(SIZE_T size = 16)
{
    return ExAllocatePoolWithTag(PagedPool, size, kTag);
}

NTSTATUS Append()
{
    WCHAR buffer[8];
    UNICODE_STRING s = {0, sizeof(buffer), buffer};
    return RtlAppendUnicodeToString(&s, u"x");
}

/* ---- Handles ---------------------------------------------------------- */

class HandleTest : public qtest::KernelTest {};

TEST_F(HandleTest, HandlesAreDistinctKernelHandles)
{
    HANDLE a = sk::InsertHandle(std::make_shared<TestObject>(), KEY_READ, OBJ_KERNEL_HANDLE);
    HANDLE b = sk::InsertHandle(std::make_shared<TestObject>(), KEY_READ, OBJ_KERNEL_HANDLE);
    for (HANDLE h : {a, b}) {
        EXPECT_EQ((ULONG_PTR)h & kKernelHandleBits, kKernelHandleBits) << h;
        EXPECT_EQ((ULONG_PTR)h % 4, 0u) << h;
    }
    EXPECT_NE(a, b);
    EXPECT_EQ(sk::OpenHandleCount(), 2u);
    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(a));
    EXPECT_EQ(sk::OpenHandleCount(), 1u);
    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(b));
    EXPECT_EQ(sk::OpenHandleCount(), 0u);
}

TEST_F(HandleTest, CloseRunsTheHookOnceAndDropsTheReference)
{
    auto object = std::make_shared<TestObject>();
    std::weak_ptr<TestObject> watch = object;
    HANDLE h = sk::InsertHandle(object, 0, 0);
    HANDLE h2 = sk::InsertHandle(object, 0, 0);
    object.reset();

    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(h));
    ASSERT_FALSE(watch.expired()) << "the second handle still holds the object";
    EXPECT_EQ(watch.lock()->closes, 1);

    std::shared_ptr<TestObject> last = watch.lock();
    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(h2));
    EXPECT_EQ(last->closes, 2);
    last.reset();
    EXPECT_TRUE(watch.expired());
}

TEST_F(HandleTest, ClosingAHandleThatIsNotOpenIsViolation)
{
    HANDLE h = sk::InsertHandle(std::make_shared<TestObject>(), 0, 0);
    ASSERT_STATUS(STATUS_SUCCESS, ZwClose(h));

    const std::pair<const char *, HANDLE> bad[] = {
        {"already closed", h},
        {"null", nullptr},
        {"never issued", (HANDLE)(kKernelHandleBits | 0x12340)},
        {"user-mode value", (HANDLE)(ULONG_PTR)4},
    };
    for (const auto &[what, handle] : bad) {
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_TRUE(OneViolation(ViolationsDuring([&] { status = ZwClose(handle); }), "ZwClose"))
            << what;
        EXPECT_STATUS(STATUS_INVALID_HANDLE, status) << what;
    }
    EXPECT_EQ(sk::OpenHandleCount(), 0u);
}

TEST_F(HandleTest, ClosedHandleValuesAreNotReissued)
{
    /* Otherwise a stale handle would silently reach a newer object. */
    HANDLE first = sk::InsertHandle(std::make_shared<TestObject>(), 0, 0);
    ASSERT_STATUS(STATUS_SUCCESS, ZwClose(first));
    HANDLE second = sk::InsertHandle(std::make_shared<TestObject>(), 0, 0);
    EXPECT_NE(first, second);
    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(second));
}

TEST_F(HandleTest, ReferenceChecksKindAndCopiesTheEntry)
{
    auto object = std::make_shared<TestObject>(sk::ObjectKind::Key);
    HANDLE h = sk::InsertHandle(object, KEY_READ, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE);

    sk::HandleEntry entry;
    ASSERT_STATUS(STATUS_SUCCESS, sk::ReferenceHandle(h, sk::ObjectKind::Key, &entry));
    EXPECT_EQ(entry.object.get(), object.get());
    EXPECT_EQ(entry.granted, (ACCESS_MASK)KEY_READ);
    EXPECT_EQ(entry.attributes, (ULONG)(OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE));
    EXPECT_TRUE(sk::Granted(entry, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS));
    EXPECT_FALSE(sk::Granted(entry, KEY_QUERY_VALUE | KEY_SET_VALUE));

    /* Another kind of object is an ordinary failure, not a misuse. */
    sk::HandleEntry other;
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH,
                  sk::ReferenceHandle(h, sk::ObjectKind::File, &other));
    EXPECT_EQ(other.object, nullptr);

    ASSERT_STATUS(STATUS_SUCCESS, ZwClose(h));
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_TRUE(OneViolation(
        ViolationsDuring([&] { status = sk::ReferenceHandle(h, sk::ObjectKind::Key, &other); }),
        "not an open kernel handle"));
    EXPECT_STATUS(STATUS_INVALID_HANDLE, status);
}

TEST_F(HandleTest, ReportNamesEveryOpenHandle)
{
    HANDLE key = sk::InsertHandle(std::make_shared<TestObject>(sk::ObjectKind::Key), 0, 0);
    HANDLE event = sk::InsertHandle(std::make_shared<TestObject>(sk::ObjectKind::Event), 0, 0);
    std::string report = sk::HandleReport();
    EXPECT_NE(report.find("Key object"), std::string::npos) << report;
    EXPECT_NE(report.find("Event object"), std::string::npos) << report;
    ZwClose(key);
    ZwClose(event);
    EXPECT_EQ(sk::HandleReport(), "");
}

TEST_F(HandleTest, ResetKernelDropsHandlesWithoutCloseHooks)
{
    auto object = std::make_shared<TestObject>();
    std::weak_ptr<TestObject> watch = object;
    sk::InsertHandle(object, 0, 0);
    sk::InsertHandle(object, 0, 0);
    EXPECT_EQ(sk::OpenHandleCount(), 2u);

    sk::ResetKernel();
    EXPECT_EQ(sk::OpenHandleCount(), 0u);
    EXPECT_EQ(object->closes, 0);
    object.reset();
    EXPECT_TRUE(watch.expired());
}

/* ---- Violations ------------------------------------------------------- */

class ViolationTest : public qtest::KernelTest {};

TEST_F(ViolationTest, HandlerReceivesTheFormattedMessage)
{
    auto seen = ViolationsDuring([] { sk::Violation("value %d of '%s'", 42, "name"); });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "value 42 of 'name'");
}

TEST_F(ViolationTest, HandlerMayReplaceItselfWhileItRuns)
{
    /* "Expect one violation, then fail on any further one": the handler
     * swaps itself out from inside its own call, and must keep running on
     * its own captures afterwards. */
    std::vector<std::string> seen;
    std::string label(64, 'x'); /* long enough to live on the heap */
    sk::SetViolationHandler([&seen, label](const std::string &message) {
        sk::SetViolationHandler([](const std::string &next) {
            ADD_FAILURE() << "simkernel violation: " << next;
        });
        seen.push_back(label + ":" + message);
    });
    sk::Violation("first");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], label + ":first");
}

/* ---- Fault injection -------------------------------------------------- */

class FaultTest : public qtest::KernelTest {};

TEST_F(FaultTest, CallsAndAllocationsAreCountedFromOne)
{
    EXPECT_EQ(sk::CallCount(), 0u);
    EXPECT_EQ(sk::AllocationCount(), 0u);

    PVOID a = Allocate();
    EXPECT_STATUS(STATUS_SUCCESS, Append());
    PVOID b = Allocate();
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);

    EXPECT_EQ(sk::CallCount(), 3u);
    EXPECT_EQ(sk::CallCount("ExAllocatePoolWithTag"), 2u);
    EXPECT_EQ(sk::CallCount("RtlAppendUnicodeToString"), 1u);
    /* A free cannot fail, so it is not counted. */
    EXPECT_EQ(sk::CallCount("ExFreePoolWithTag"), 0u);
    EXPECT_EQ(sk::CallCount("ZwNeverCalled"), 0u);
    EXPECT_EQ(sk::AllocationCount(), 2u);
    EXPECT_EQ(sk::InjectedFaultCount(), 0u);
}

TEST_F(FaultTest, FailAllocationOnceFailsExactlyTheNth)
{
    sk::FailAllocation(3);
    std::vector<PVOID> blocks;
    for (int i = 1; i <= 5; i++) {
        PVOID p = Allocate();
        EXPECT_EQ(p == nullptr, i == 3) << "allocation " << i;
        if (p)
            blocks.push_back(p);
    }
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    EXPECT_EQ(sk::AllocationCount(), 5u);
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 4u);
    for (PVOID p : blocks)
        ExFreePoolWithTag(p, kTag);
}

TEST_F(FaultTest, FailAllocationFromThenOnFailsEveryOneAfter)
{
    sk::FailAllocation(2, sk::FaultMode::FromThenOn);
    PVOID first = Allocate();
    EXPECT_NE(first, nullptr);
    for (int i = 2; i <= 6; i++)
        EXPECT_EQ(Allocate(), nullptr) << "allocation " << i;
    EXPECT_EQ(sk::InjectedFaultCount(), 5u);
    ExFreePoolWithTag(first, kTag);
}

TEST_F(FaultTest, AllocationFaultsLeaveOtherRoutinesAlone)
{
    sk::FailAllocation(1, sk::FaultMode::FromThenOn);
    EXPECT_STATUS(STATUS_SUCCESS, Append());
    EXPECT_EQ(Allocate(), nullptr);
    EXPECT_STATUS(STATUS_SUCCESS, Append());
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
}

TEST_F(FaultTest, FailCallByNameCountsOnlyThatRoutine)
{
    sk::FailCall("RtlAppendUnicodeToString", 2, STATUS_ACCESS_DENIED);
    PVOID a = Allocate();
    EXPECT_STATUS(STATUS_SUCCESS, Append());
    PVOID b = Allocate(); /* does not move the count of appends */
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Append());
    EXPECT_STATUS(STATUS_SUCCESS, Append());
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    ASSERT_TRUE(a && b);
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);
}

TEST_F(FaultTest, FailCallOnAllocatorReturnsNull)
{
    sk::FailCall("ExAllocatePoolWithTag", 2, STATUS_INSUFFICIENT_RESOURCES);
    PVOID a = Allocate();
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(Allocate(), nullptr);
    PVOID c = Allocate();
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 2u);
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(c, kTag);
}

TEST_F(FaultTest, FailAnyCallCountsAcrossRoutines)
{
    /* Calls: 1 allocate, 2 append, 3 allocate, 4 append. */
    sk::FailCall("", 2, STATUS_ACCESS_DENIED);
    sk::FailCall("", 3, STATUS_INSUFFICIENT_RESOURCES);
    PVOID a = Allocate();
    EXPECT_NE(a, nullptr);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Append());
    EXPECT_EQ(Allocate(), nullptr);
    EXPECT_STATUS(STATUS_SUCCESS, Append());
    EXPECT_EQ(sk::InjectedFaultCount(), 2u);
    ExFreePoolWithTag(a, kTag);
}

TEST_F(FaultTest, FailAnyCallFromThenOn)
{
    sk::FailCall("", 2, STATUS_ACCESS_DENIED, sk::FaultMode::FromThenOn);
    EXPECT_STATUS(STATUS_SUCCESS, Append());
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Append());
    EXPECT_EQ(Allocate(), nullptr);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Append());
    EXPECT_EQ(sk::InjectedFaultCount(), 3u);
}

TEST_F(FaultTest, InjectedFailureLeavesTheDestinationAlone)
{
    WCHAR buffer[8] = {u'a', u'b', 0, u'#', u'#', u'#', u'#', u'#'};
    UNICODE_STRING s = {4, sizeof(buffer), buffer};
    sk::FailCall("RtlAppendUnicodeToString", 1, STATUS_UNSUCCESSFUL);
    EXPECT_STATUS(STATUS_UNSUCCESSFUL, RtlAppendUnicodeToString(&s, u"cd"));
    EXPECT_EQ(s.Length, 4u);
    EXPECT_EQ(std::u16string(buffer, 8), std::u16string(u"ab\0#####", 8));
}

TEST_F(FaultTest, ClearFaultsResetsPlansAndCountersButKeepsTheObserver)
{
    std::vector<std::pair<std::string, uint64_t>> seen;
    sk::SetCallObserver([&seen](const char *routine, uint64_t n) { seen.emplace_back(routine, n); });
    sk::FailAllocation(2);
    sk::FailCall("RtlAppendUnicodeToString", 1, STATUS_ACCESS_DENIED);
    PVOID a = Allocate();
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Append());
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);

    sk::ClearFaults();
    EXPECT_EQ(sk::CallCount(), 0u);
    EXPECT_EQ(sk::CallCount("ExAllocatePoolWithTag"), 0u);
    EXPECT_EQ(sk::AllocationCount(), 0u);
    EXPECT_EQ(sk::InjectedFaultCount(), 0u);

    /* The plans are gone: the second allocation and the first append succeed. */
    EXPECT_STATUS(STATUS_SUCCESS, Append());
    PVOID b = Allocate();
    PVOID c = Allocate();
    EXPECT_TRUE(b && c);
    EXPECT_EQ(sk::InjectedFaultCount(), 0u);

    /* The observer stayed, and sees the numbering start again at 1. */
    const std::vector<std::pair<std::string, uint64_t>> expected = {
        {"ExAllocatePoolWithTag", 1}, {"RtlAppendUnicodeToString", 2},
        {"RtlAppendUnicodeToString", 1}, {"ExAllocatePoolWithTag", 2},
        {"ExAllocatePoolWithTag", 3}};
    EXPECT_EQ(seen, expected);

    sk::SetCallObserver(nullptr);
    for (PVOID p : {a, b, c})
        ExFreePoolWithTag(p, kTag);
}

TEST_F(FaultTest, ObserverSeesEveryCountedCallIncludingFailedOnes)
{
    std::vector<std::pair<std::string, uint64_t>> seen;
    sk::SetCallObserver([&seen](const char *routine, uint64_t n) {
        /* The count is already taken when the observer runs. */
        EXPECT_EQ(sk::CallCount(), n);
        seen.emplace_back(routine, n);
    });
    sk::FailCall("", 2, STATUS_ACCESS_DENIED, sk::FaultMode::FromThenOn);
    PVOID a = Allocate();
    EXPECT_NE(a, nullptr);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Append());
    ExFreePoolWithTag(a, kTag); /* not counted, not seen */
    EXPECT_EQ(Allocate(), nullptr);
    sk::SetCallObserver(nullptr);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Append()); /* counted, no longer seen */

    const std::vector<std::pair<std::string, uint64_t>> expected = {
        {"ExAllocatePoolWithTag", 1}, {"RtlAppendUnicodeToString", 2}, {"ExAllocatePoolWithTag", 3}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(sk::CallCount(), 4u);
    ExpectNothingLeftOver();
}

TEST_F(FaultTest, ResetKernelDropsPlansCountersAndObserver)
{
    int observed = 0;
    sk::SetCallObserver([&observed](const char *, uint64_t) { observed++; });
    sk::FailAllocation(1, sk::FaultMode::FromThenOn);
    sk::FailCall("", 1, STATUS_ACCESS_DENIED, sk::FaultMode::FromThenOn);
    EXPECT_EQ(Allocate(), nullptr);
    EXPECT_EQ(observed, 1);

    sk::ResetKernel();
    EXPECT_EQ(sk::CallCount(), 0u);
    EXPECT_EQ(sk::AllocationCount(), 0u);
    EXPECT_EQ(sk::InjectedFaultCount(), 0u);
    PVOID p = Allocate();
    EXPECT_NE(p, nullptr);
    EXPECT_STATUS(STATUS_SUCCESS, Append());
    EXPECT_EQ(observed, 1);
    ExFreePoolWithTag(p, kTag);
}

/* ---- The sweep -------------------------------------------------------- */

/* A piece of driver-like code with a cleanup path for every failure:
 * three blocks, then a string append, released in reverse order. */
NTSTATUS Scenario(bool leakWhenThirdFails)
{
    PVOID first = Allocate(32);
    if (!first)
        return STATUS_INSUFFICIENT_RESOURCES;
    PVOID second = Allocate(64);
    if (!second) {
        ExFreePoolWithTag(first, kTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID third = Allocate(16);
    if (!third) {
        if (!leakWhenThirdFails)
            ExFreePoolWithTag(second, kTag);
        ExFreePoolWithTag(first, kTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = Append();
    ExFreePoolWithTag(third, kTag);
    ExFreePoolWithTag(second, kTag);
    ExFreePoolWithTag(first, kTag);
    return status;
}

/* Fails each allocation of the scenario in turn and answers the numbers of
 * the failures after which pool was left over. */
std::vector<uint64_t> AllocationSweep(const std::function<NTSTATUS()> &scenario)
{
    sk::ClearFaults();
    EXPECT_STATUS(STATUS_SUCCESS, scenario());
    const uint64_t allocations = sk::AllocationCount();
    EXPECT_GT(allocations, 0u);
    std::vector<uint64_t> leaking;
    for (uint64_t nth = 1; nth <= allocations; nth++) {
        sk::ResetKernel();
        sk::FailAllocation(nth);
        EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, scenario()) << "allocation " << nth;
        EXPECT_EQ(sk::InjectedFaultCount(), 1u) << "allocation " << nth;
        if (sk::PoolOutstandingBlocks() != 0)
            leaking.push_back(nth);
    }
    sk::ResetKernel();
    return leaking;
}

TEST_F(FaultTest, SweepFailsEachAllocationInTurn)
{
    EXPECT_EQ(AllocationSweep([] { return Scenario(false); }), std::vector<uint64_t>{});
}

TEST_F(FaultTest, SweepFindsTheCleanupPathThatLeaks)
{
    EXPECT_EQ(AllocationSweep([] { return Scenario(true); }), std::vector<uint64_t>{3});
}

TEST_F(FaultTest, SweepOverEveryCall)
{
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Scenario(false));
    const uint64_t calls = sk::CallCount();
    ASSERT_EQ(calls, 4u);
    for (uint64_t nth = 1; nth <= calls; nth++) {
        sk::ClearFaults();
        sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Scenario(false)) << "call " << nth;
        EXPECT_EQ(sk::InjectedFaultCount(), 1u) << "call " << nth;
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << "call " << nth << "\n" << sk::PoolReport();
    }
}

} // namespace
