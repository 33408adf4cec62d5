/*
 * pool_test.cpp - the simulated pool: poisoned blocks, the misuses it
 * reports, and the accounting by tag that the leak check relies on.
 */
#include "simkernel/io.h"
#include "tests/support/kernel_test.h"

#include <functional>
#include <string>
#include <vector>

namespace {

constexpr ULONG kTagA = (ULONG)'A' | ((ULONG)'a' << 8) | ((ULONG)'a' << 16) | ((ULONG)'a' << 24);
constexpr ULONG kTagB = (ULONG)'B' | ((ULONG)'b' << 8) | ((ULONG)'b' << 16) | ((ULONG)'b' << 24);

using qtest::OneViolation;
using qtest::ViolationsDuring;

class PoolTest : public qtest::KernelTest {};

void ExpectPoisoned(const void *block, size_t size, const char *what)
{
    ASSERT_NE(block, nullptr) << what;
    for (size_t i = 0; i < size; i++)
        ASSERT_EQ(((const unsigned char *)block)[i], sk::kPoolPoison) << "byte " << i << " of " << what;
}

TEST_F(PoolTest, FreshBlocksOfEveryPoolTypeArePoisoned)
{
    const size_t size = 37;
    for (POOL_TYPE type : {PagedPool, NonPagedPoolNx}) {
        PVOID p = ExAllocatePoolWithTag(type, size, kTagA);
        ExpectPoisoned(p, size, "a block of Windows 10");
        EXPECT_EQ(sk::PoolBlockType(p), (int)type);
        ExFreePoolWithTag(p, kTagA);
    }
    sk::SetWindowsVersion(6, 1, 7601, 1);
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, size, kTagA);
    ExpectPoisoned(p, size, "executable pool of Windows 7");
    ExFreePoolWithTag(p, kTagA);
}

/* Windows 8 brought non-executable non-paged pool; before it the type does
 * not exist, after it executable pool is what memory integrity refuses. */
TEST_F(PoolTest, NonPagedPoolIsNonExecutableExactlyWhereWindowsHasSuch)
{
    PVOID p = nullptr;
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA); }),
                             "executable NonPagedPool"));
    EXPECT_EQ(p, nullptr);
    sk::SetWindowsVersion(6, 2, 9200);
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA); }),
                             "executable NonPagedPool"));
    sk::SetWindowsVersion(6, 1, 7601, 1);
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA); }),
                             "NonPagedPoolNx on a Windows before 8"));
    EXPECT_EQ(p, nullptr);
}

TEST_F(PoolTest, Pool2ZeroesUnlessAskedNotToAndFreesWithTheTag)
{
    auto *zeroed = (unsigned char *)ExAllocatePool2(POOL_FLAG_PAGED, 40, kTagA);
    ASSERT_NE(zeroed, nullptr);
    for (size_t i = 0; i < 40; i++)
        ASSERT_EQ(zeroed[i], 0) << "byte " << i;
    EXPECT_EQ(sk::PoolBlockType(zeroed), (int)PagedPool);
    PVOID raw = ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, 40, kTagB);
    ExpectPoisoned(raw, 40, "an uninitialised non-paged block");
    EXPECT_EQ(sk::PoolBlockType(raw), (int)NonPagedPoolNx);
    EXPECT_EQ(sk::PoolOutstandingByTag()[kTagB], 1u);
    ExFreePoolWithTag(raw, kTagB);
    ExFreePoolWithTag(zeroed, kTagA);
}

TEST_F(PoolTest, Pool2RefusesExecutablePoolAndFlagsItDoesNotModel)
{
    const struct {
        POOL_FLAGS flags;
        const char *violation;
    } cases[] = {
        { POOL_FLAG_NON_PAGED_EXECUTE, "executable non-paged pool" },
        { POOL_FLAG_UNINITIALIZED, "name no single pool" },
        { POOL_FLAG_PAGED | POOL_FLAG_NON_PAGED, "name no single pool" },
        { POOL_FLAG_PAGED | POOL_FLAG_USE_QUOTA, "not modelled" },
        { POOL_FLAG_NON_PAGED | POOL_FLAG_RAISE_ON_FAILURE, "not modelled" },
    };
    for (const auto &c : cases) {
        PVOID p = nullptr;
        EXPECT_TRUE(OneViolation(ViolationsDuring([&] { p = ExAllocatePool2(c.flags, 8, kTagA); }),
                                 c.violation))
            << "flags 0x" << std::hex << c.flags;
        EXPECT_EQ(p, nullptr);
    }
    PVOID p = nullptr;
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { p = ExAllocatePool2(POOL_FLAG_PAGED, 0, kTagA); }),
                             "request of 0 bytes"));
}

/* Windows 10 version 2004 (build 19041) exports it; an older kernel has
 * no such routine, and a driver that calls it there would not load. */
TEST_F(PoolTest, Pool2IsExportedFromWindows10Version2004On)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"ExAllocatePool2");
    EXPECT_NE(MmGetSystemRoutineAddress(&name), nullptr);
    sk::SetWindowsVersion(10, 0, 18363);
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
    PVOID p = nullptr;
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { p = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTagA); }),
                             "does not export it"));
    sk::SetWindowsVersion(10, 0, 19041);
    EXPECT_NE(MmGetSystemRoutineAddress(&name), nullptr);
}

TEST_F(PoolTest, BlocksAreDistinctAndUsableToTheirLastByte)
{
    auto *a = (unsigned char *)ExAllocatePoolWithTag(PagedPool, 16, kTagA);
    auto *b = (unsigned char *)ExAllocatePoolWithTag(PagedPool, 16, kTagA);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    /* Writing the whole block, up to its last byte, is no overrun. */
    memset(a, 0, 16);
    memset(b, 0x11, 16);
    ExFreePoolWithTag(a, kTagA);
    ExFreePoolWithTag(b, kTagA);
}

TEST_F(PoolTest, FreedBlockIsPoisonedAgain)
{
    auto *p = (unsigned char *)ExAllocatePoolWithTag(PagedPool, 24, kTagA);
    ASSERT_NE(p, nullptr);
    memset(p, 0, 24);
    ExFreePoolWithTag(p, kTagA);
    /* The block stays in quarantine, so a use after free reads poison
     * rather than the driver's last data. */
    for (size_t i = 0; i < 24; i++)
        ASSERT_EQ(p[i], sk::kPoolFreedPoison) << "byte " << i;
}

TEST_F(PoolTest, HugeRequestFailsWithoutViolation)
{
    /* A request the pool cannot satisfy is an ordinary failure the driver
     * must handle, not a misuse. */
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, (SIZE_T)1 << 40, kTagA), nullptr);
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u);
}

TEST_F(PoolTest, MisusedRequestsAreViolations)
{
    PVOID p = reinterpret_cast<PVOID>(1);
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { p = ExAllocatePoolWithTag(PagedPool, 0, kTagA); }),
                             "0 bytes"));
    EXPECT_EQ(p, nullptr);

    p = reinterpret_cast<PVOID>(1);
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { p = ExAllocatePoolWithTag(PagedPool, 8, 0); }),
                             "tag 0"));
    EXPECT_EQ(p, nullptr);

    p = reinterpret_cast<PVOID>(1);
    EXPECT_TRUE(OneViolation(
        ViolationsDuring([&] { p = ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kTagA); }),
        "pool type"));
    EXPECT_EQ(p, nullptr);

    EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u);
}

TEST_F(PoolTest, FreeWithWrongTagIsViolationAndKeepsTheBlock)
{
    PVOID p = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    ASSERT_NE(p, nullptr);
    auto seen = ViolationsDuring([&] { ExFreePoolWithTag(p, kTagB); });
    EXPECT_TRUE(OneViolation(seen, "freed with 'Bbbb'"));
    EXPECT_TRUE(OneViolation(seen, "tag 'Aaaa'"));
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 1u);
    /* The block is still the driver's, and the right tag frees it. */
    ExFreePoolWithTag(p, kTagA);
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u);
}

TEST_F(PoolTest, DoubleFreeIsToldFromFreeOfUnknownAddress)
{
    PVOID p = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTagA);
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { ExFreePoolWithTag(p, kTagA); }), "twice"));

    int onStack = 0;
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { ExFreePoolWithTag(&onStack, kTagA); }),
                             "no pool block"));
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { ExFreePoolWithTag(nullptr, kTagA); }),
                             "no pool block"));
}

TEST_F(PoolTest, FreeOfPointerIntoBlockIsViolation)
{
    auto *p = (unsigned char *)ExAllocatePoolWithTag(PagedPool, 32, kTagA);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { ExFreePoolWithTag(p + 8, kTagA); }),
                             "no pool block"));
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 1u);
    ExFreePoolWithTag(p, kTagA);
}

TEST_F(PoolTest, WritePastEndIsReportedAtFree)
{
    for (size_t size : {1u, 7u, 64u}) {
        auto *p = (unsigned char *)ExAllocatePoolWithTag(PagedPool, size, kTagA);
        ASSERT_NE(p, nullptr);
        p[size] = 0; /* one byte too far */
        EXPECT_TRUE(OneViolation(ViolationsDuring([&] { ExFreePoolWithTag(p, kTagA); }),
                                 "past its end"))
            << "block of " << size << " bytes";
        /* Reported, but released all the same. */
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u);
    }
}

TEST_F(PoolTest, OutstandingBlocksAreCountedByTag)
{
    PVOID a1 = ExAllocatePoolWithTag(PagedPool, 10, kTagA);
    PVOID a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 20, kTagA);
    PVOID b1 = ExAllocatePoolWithTag(PagedPool, 30, kTagB);
    ASSERT_TRUE(a1 && a2 && b1);

    EXPECT_EQ(sk::PoolOutstandingBlocks(), 3u);
    EXPECT_EQ(sk::PoolOutstandingByTag(), (std::map<ULONG, size_t>{{kTagA, 2}, {kTagB, 1}}));

    ExFreePoolWithTag(a1, kTagA);
    EXPECT_EQ(sk::PoolOutstandingByTag(), (std::map<ULONG, size_t>{{kTagA, 1}, {kTagB, 1}}));
    ExFreePoolWithTag(b1, kTagB);
    EXPECT_EQ(sk::PoolOutstandingByTag(), (std::map<ULONG, size_t>{{kTagA, 1}}));
    ExFreePoolWithTag(a2, kTagA);
    EXPECT_TRUE(sk::PoolOutstandingByTag().empty());
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u);
}

TEST_F(PoolTest, ReportListsOutstandingBlocksInAllocationOrder)
{
    PVOID first = ExAllocatePoolWithTag(PagedPool, 11, kTagB);
    PVOID second = ExAllocatePoolWithTag(PagedPool, 22, kTagA);
    PVOID third = ExAllocatePoolWithTag(PagedPool, 33, QELMBAR_TAG);
    ASSERT_TRUE(first && second && third);
    ExFreePoolWithTag(second, kTagA);

    std::string report = sk::PoolReport();
    size_t b = report.find("'Bbbb' 11 bytes");
    size_t z = report.find("'Zqlk' 33 bytes");
    EXPECT_NE(b, std::string::npos) << report;
    EXPECT_NE(z, std::string::npos) << report;
    EXPECT_LT(b, z) << report;
    EXPECT_EQ(report.find("Aaaa"), std::string::npos) << "freed block still reported:\n" << report;

    ExFreePoolWithTag(first, kTagB);
    ExFreePoolWithTag(third, QELMBAR_TAG);
    EXPECT_EQ(sk::PoolReport(), "");
}

TEST_F(PoolTest, TagNameReadsAsInAPoolDump)
{
    EXPECT_EQ(sk::TagName(QELMBAR_TAG), "Zqlk");
    EXPECT_EQ(sk::TagName(kTagA), "Aaaa");
    /* Bytes that do not print are shown as '?'. */
    EXPECT_EQ(sk::TagName(0x7F00'4241u), "AB??");
    EXPECT_EQ(sk::TagName(0), "????");
}

TEST_F(PoolTest, ResetKernelFreesEverything)
{
    for (int i = 0; i < 5; i++)
        ASSERT_NE(ExAllocatePoolWithTag(PagedPool, 100, i % 2 ? kTagA : kTagB), nullptr);
    PVOID freed = ExAllocatePoolWithTag(PagedPool, 100, kTagA);
    ASSERT_NE(freed, nullptr);
    ExFreePoolWithTag(freed, kTagA);
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 5u);

    sk::ResetKernel();

    EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u);
    EXPECT_TRUE(sk::PoolOutstandingByTag().empty());
    EXPECT_EQ(sk::PoolReport(), "");
    /* The pool works as before after the reset. */
    PVOID p = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 1u);
    ExFreePoolWithTag(p, kTagA);
}

} // namespace
