/*
 * driver_pool_test.cpp - the driver's allocator on each Windows: which
 * routine it calls and which pool a non-paged block comes from, as entry
 * chooses them, and what teardown leaves for code that runs without entry.
 */
#include "driver/driver.h"
#include "simkernel/io.h"
#include "tests/support/kernel_test.h"

#include <string>
#include <vector>

namespace {

class DriverPoolTest : public qtest::KernelTest {
protected:
    void TearDown() override
    {
        sk::SetCallObserver(nullptr);
        ForgetDriverPool();
        qtest::KernelTest::TearDown();
    }

    /* Allocates one block of each kind and notes the routine that served
     * each and the pool type of the non-paged one. */
    void AllocateBoth()
    {
        routines_.clear();
        sk::SetCallObserver([this](const char *routine, uint64_t) {
            std::string name = routine;
            if (name.rfind("ExAllocatePool", 0) == 0)
                routines_.push_back(name);
        });
        PVOID paged = AllocatePool(PoolPaged, 24);
        PVOID nonPaged = AllocatePool(PoolNonPaged, 24);
        sk::SetCallObserver(nullptr);
        ASSERT_NE(paged, nullptr);
        ASSERT_NE(nonPaged, nullptr);
        pagedType_ = sk::PoolBlockType(paged);
        nonPagedType_ = sk::PoolBlockType(nonPaged);
        /* Uninitialised either way: the driver zeroes what it relies on. */
        EXPECT_EQ(((unsigned char *)nonPaged)[0], sk::kPoolPoison);
        ExFreePoolWithTag(paged, QELMBAR_TAG);
        ExFreePoolWithTag(nonPaged, QELMBAR_TAG);
    }

    std::vector<std::string> routines_;
    int pagedType_ = -1;
    int nonPagedType_ = -1;
};

TEST_F(DriverPoolTest, Windows10Version2004AndLaterServeThroughPool2WithoutExecutablePool)
{
    ChooseDriverPool();
    AllocateBoth();
    EXPECT_EQ(routines_, (std::vector<std::string>{ "ExAllocatePool2", "ExAllocatePool2" }));
    EXPECT_EQ(pagedType_, (int)PagedPool);
    EXPECT_EQ(nonPagedType_, (int)NonPagedPoolNx);
}

TEST_F(DriverPoolTest, Windows8To10Version1909UseTheOlderRoutineWithNonExecutablePool)
{
    for (ULONG build : { 9200u, 18363u }) {
        sk::SetWindowsVersion(build == 9200u ? 6 : 10, build == 9200u ? 2 : 0, build);
        ChooseDriverPool();
        AllocateBoth();
        EXPECT_EQ(routines_, (std::vector<std::string>{ "ExAllocatePoolWithTag",
                                                        "ExAllocatePoolWithTag" }))
            << "build " << build;
        EXPECT_EQ(pagedType_, (int)PagedPool);
        EXPECT_EQ(nonPagedType_, (int)NonPagedPoolNx) << "build " << build;
    }
}

/* Windows 7 has no non-executable pool, and a kernel older than that has
 * no RtlIsNtDdiVersionAvailable to ask: PsGetVersion tells. */
TEST_F(DriverPoolTest, WindowsBefore8KeepsNonPagedPool)
{
    sk::SetWindowsVersion(6, 1, 7601, 1);
    ChooseDriverPool();
    AllocateBoth();
    EXPECT_EQ(nonPagedType_, (int)NonPagedPool);

    sk::SetWindowsVersion(6, 0, 6002);
    sk::SetRoutineExported("RtlIsNtDdiVersionAvailable", false);
    ChooseDriverPool();
    AllocateBoth();
    EXPECT_EQ(routines_, (std::vector<std::string>{ "ExAllocatePoolWithTag",
                                                    "ExAllocatePoolWithTag" }));
    EXPECT_EQ(nonPagedType_, (int)NonPagedPool);
}

TEST_F(DriverPoolTest, TeardownForgetsTheChoice)
{
    ChooseDriverPool();
    ForgetDriverPool();
    AllocateBoth();
    EXPECT_EQ(routines_, (std::vector<std::string>{ "ExAllocatePoolWithTag",
                                                    "ExAllocatePoolWithTag" }));
    EXPECT_EQ(nonPagedType_, (int)NonPagedPoolNx);
}

} // namespace
