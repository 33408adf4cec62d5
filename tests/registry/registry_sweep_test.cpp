/*
 * registry_sweep_test.cpp - representative key and value operations with
 * each platform call, and then each pool allocation, failing in turn:
 * every run ends with no pool block or handle left over, and no key or
 * value lost (what was moved is whole at its source or at its target).
 */
#include "tests/registry/registry_fixture.h"

#include <functional>

namespace {

using qtest::kSoftware;
using qtest::kSystem;

const std::u16string kSource = kSystem + u"\\Source";
const std::u16string kTarget = kSoftware + u"\\Target";

class RegistrySweepTest : public qtest::RegistryTest {
protected:
    /* Runs the operation once to count its events, then once per event
     * with that one failing; check judges what each run left. */
    void Sweep(const std::function<NTSTATUS()> &run,
               const std::function<void(NTSTATUS, const std::vector<std::string> &)> &check)
    {
        for (bool allocations : { false, true }) {
            Prepare();
            sk::ClearFaults();
            ASSERT_TRUE(NT_SUCCESS(run()));
            const uint64_t events = allocations ? sk::AllocationCount() : sk::CallCount();
            ASSERT_GT(events, 0u);
            for (uint64_t nth = 1; nth <= events; nth++) {
                SCOPED_TRACE(std::string(allocations ? "allocation " : "call ") +
                             std::to_string(nth) + " of " + std::to_string(events));
                Prepare();
                sk::ClearFaults();
                if (allocations)
                    sk::FailAllocation(nth);
                else
                    sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
                NTSTATUS status = run();
                sk::ClearFaults();
                EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << sk::PoolReport();
                EXPECT_EQ(sk::OpenHandleCount(), 0u) << sk::HandleReport();
                check(status, original_);
                if (HasFatalFailure() || HasFailure())
                    return;
            }
        }
    }

    void Prepare()
    {
        sk::RegDeleteTree(kSource);
        sk::RegDeleteTree(kTarget);
        LayOutSample(kSource);
        original_ = Tree(kSource);
    }

    /* A move's tree is whole in one of its two places. */
    void ExpectTreeKept(NTSTATUS status, const std::vector<std::string> &original,
                        const std::u16string &target)
    {
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(Tree(target), original);
            EXPECT_FALSE(sk::RegKeyExists(kSource));
        } else {
            EXPECT_TRUE(Tree(kSource) == original || Tree(target) == original)
                << sk::StatusText(status) << ": the tree is whole nowhere";
        }
    }

    std::vector<std::string> original_;
};

TEST_F(RegistrySweepTest, MoveKeyAcrossHives)
{
    Sweep([&] { return MoveKey(kSource, kTarget, false); },
          [&](NTSTATUS status, const std::vector<std::string> &original) {
              ExpectTreeKept(status, original, kTarget);
          });
}

TEST_F(RegistrySweepTest, RenameKeyByCopyAndDelete)
{
    Sweep([&] { return RenameKey(kSource, u"Renamed", false); },
          [&](NTSTATUS status, const std::vector<std::string> &original) {
              ExpectTreeKept(status, original, kSystem + u"\\Renamed");
              sk::RegDeleteTree(kSystem + u"\\Renamed");
          });
}

TEST_F(RegistrySweepTest, CopyKeyLeavesItsSourceAlone)
{
    Sweep([&] { return CopyKey(kSource, kTarget, true); },
          [&](NTSTATUS, const std::vector<std::string> &original) {
              EXPECT_EQ(Tree(kSource), original);
          });
}

TEST_F(RegistrySweepTest, RecursiveDeleteKey)
{
    Sweep([&] { return DeleteKey(kSource, true); },
          [&](NTSTATUS status, const std::vector<std::string> &) {
              if (NT_SUCCESS(status)) {
                  EXPECT_FALSE(sk::RegKeyExists(kSource));
              }
          });
}

TEST_F(RegistrySweepTest, ValueMovesNeverLoseTheValue)
{
    const std::vector<uint8_t> large(70000, 0x5A);
    auto whole = [&](const std::u16string &key, const std::u16string &name) {
        auto value = sk::RegGetValue(key, name);
        return value && value->type == REG_BINARY && value->data == large;
    };
    Sweep([&] { return SetKeyValue(kTarget + u"\\Deeper", u"Moved", kSource, u"Large", true, true); },
          [&](NTSTATUS status, const std::vector<std::string> &) {
              if (NT_SUCCESS(status)) {
                  EXPECT_TRUE(whole(kTarget + u"\\Deeper", u"Moved"));
                  EXPECT_FALSE(sk::RegGetValue(kSource, u"Large").has_value());
              } else {
                  EXPECT_TRUE(whole(kSource, u"Large") || whole(kTarget + u"\\Deeper", u"Moved"));
              }
          });
    Sweep([&] { return RenameValue(kSource, u"Large", u"Renamed", true); },
          [&](NTSTATUS status, const std::vector<std::string> &) {
              EXPECT_TRUE(whole(kSource, u"Large") || whole(kSource, u"Renamed"));
              if (NT_SUCCESS(status)) {
                  EXPECT_TRUE(whole(kSource, u"Renamed"));
              }
          });
}

} // namespace
