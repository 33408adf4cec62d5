/*
 * run_results_test.cpp - the records of script runs at the driver's own
 * level: the bound on their size, the deferred run completing the record
 * of the script an operation came from, and a record for every script
 * when the pool runs dry in turn, with nothing left over.
 */
#include "boot/boot.h"
#include "exec/exec.h"
#include "simkernel/io.h"
#include "simkernel/objects.h"
#include "simkernel/sim.h"
#include "tests/registry/registry_fixture.h"

namespace {

using qtest::kSoftware;
using qtest::kSystem;

const std::u16string kService = kSystem + u"\\Services\\Qelmbar";
const std::u16string kParameters = kService + u"\\Parameters";
const std::u16string kPkg = kParameters + u"\\Pkg";
const std::u16string kProbe = kSystem + u"\\Probe";

class RunResultsTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        MakeDir('C', "Windows/System32/config");
        ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpEarlyBootLinks());
        sk::RegCreateKey(kParameters);
        sk::RegCreateKey(kProbe);
        path_ = Keep(kParameters);
        context_.ParametersPath = &path_;
    }
    void TearDown() override
    {
        FreeOperationList(&context_.DeferredList);
        qtest::RegistryTest::TearDown();
    }

    /* What the deferred run does with the records, without its thread. */
    void DeferredRun()
    {
        const ListOrigin origin = { ListDeferredRun, nullptr, nullptr };
        RunOperationList(&context_.DeferredList, FALSE, nullptr, &origin);
        FreeOperationList(&context_.DeferredList);
        RecordDeferredResults(&context_.RunResultsList);
        CompletePendingReverts(&context_.PendingRevertList);
        ReleaseRunResults(&context_.RunResultsList);
    }

    static std::vector<ULONG> Words(const std::optional<sk::RegValue> &value)
    {
        std::vector<ULONG> words;
        if (!value || value->type != REG_BINARY)
            return words;
        for (size_t i = 0; i + 4 <= value->data.size(); i += 4)
            words.push_back(*(const ULONG *)(value->data.data() + i));
        return words;
    }

    UNICODE_STRING path_;
};

TEST_F(RunResultsTest, AScriptPastTheBoundHasItsFirstOperationsRecordedAndIsMarkedTruncated)
{
    std::vector<std::u16string> lines;
    for (int i = 0; i < 1030; i++)
        lines.push_back(u"CreateKey(\"" + kProbe + u"\\K" + qtest::U16(std::to_string(i % 3)) +
                        u"\")");
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList", lines);
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    auto value = sk::RegGetValue(kParameters, u"LastBootTimeOperationsResults");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->data.size(), 20u + 1024u * 8u);
    std::vector<ULONG> words = Words(value);
    ASSERT_EQ(words.size(), 5u + 2048u);
    EXPECT_EQ(std::vector<ULONG>(words.begin(), words.begin() + 5),
              (std::vector<ULONG>{ 1, 0, 1, 1024, 1 }));
    for (size_t i = 5; i < words.size(); i += 2) {
        EXPECT_EQ(words[i], (ULONG)STATUS_SUCCESS);
        EXPECT_EQ(words[i + 1], 0u);
    }
    EXPECT_TRUE(sk::RegKeyExists(kProbe + u"\\K2")) << "every operation still runs";
}

TEST_F(RunResultsTest, TheDeferredRunCompletesEachRecordItsOperationsCameFrom)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(kSoftware));
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList",
                          { u"CreateKey(\"" + kSoftware + u"\\One\")",
                            u"CreateKey(\"" + kProbe + u"\\One\")" });
    sk::RegCreateKey(kPkg);
    sk::RegSetString(kPkg, u"", u"Package");
    sk::RegSetMultiString(kPkg, u"SetupOperations",
                          { u"CreateKey(\"" + kProbe + u"\\Two\")",
                            u"CopyKey(\"" + kSoftware + u"\\Absent\", \"" + kSoftware +
                                u"\\Copy\", false)",
                            u"CreateKey(\"" + kSoftware + u"\\Two\")" });
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    EXPECT_EQ(Words(sk::RegGetValue(kParameters, u"LastBootTimeOperationsResults")),
              (std::vector<ULONG>{ 1, 0, 1, 2, 0, (ULONG)STATUS_FAIL_CHECK, 1, 0, 0 }));
    EXPECT_EQ(Words(sk::RegGetValue(kPkg, u"LastRunResults")),
              (std::vector<ULONG>{ 1, 1, 1, 3, 0, 0, 0, (ULONG)STATUS_FAIL_CHECK, 1,
                                   (ULONG)STATUS_FAIL_CHECK, 1 }));
    EXPECT_FALSE(sk::RegGetValue(kPkg, u"LastPackageError").has_value());

    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
    DeferredRun();
    EXPECT_EQ(Words(sk::RegGetValue(kParameters, u"LastBootTimeOperationsResults")),
              (std::vector<ULONG>{ 1, 0, 1, 2, 0, 0, 3, 0, 0 }));
    EXPECT_EQ(Words(sk::RegGetValue(kPkg, u"LastRunResults")),
              (std::vector<ULONG>{ 1, 1, 1, 3, 0, 0, 0, (ULONG)STATUS_OBJECT_NAME_NOT_FOUND, 3,
                                   0, 3 }));
    auto error = sk::RegGetValue(kPkg, u"LastPackageError");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*(const ULONG *)error->data.data(), (ULONG)STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(IsListEmpty(&context_.RunResultsList));
}

TEST_F(RunResultsTest, WithNoDeferredRunTheRecordsAreFreedAndSayTheOperationsStillWait)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(kSoftware));
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList",
                          { u"CreateKey(\"" + kSoftware + u"\\One\")" });
    EXPECT_STATUS(STATUS_SUCCESS, BootPass());
    EXPECT_FALSE(IsListEmpty(&context_.RunResultsList));
    /* Teardown's share when no run came. */
    FreeOperationList(&context_.DeferredList);
    RecordDeferredResults(&context_.RunResultsList);
    ReleaseRunResults(&context_.RunResultsList);
    EXPECT_EQ(Words(sk::RegGetValue(kParameters, u"LastBootTimeOperationsResults")),
              (std::vector<ULONG>{ 1, 0, 1, 1, 0, (ULONG)STATUS_FAIL_CHECK, 1 }));
}

TEST_F(RunResultsTest, EveryAllocationFailingInTurnLeavesARecordOrNoneAndNothingBehind)
{
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList",
                          { u"CreateKey(\"" + kProbe + u"\\One\")" });
    size_t incomplete = 0;
    for (uint64_t nth = 1;; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " fails");
        sk::RegSetMultiString(kParameters, u"BootTimeOperationsList",
                              { u"CreateKey(\"" + kProbe + u"\\One\")" });
        sk::RegDeleteValue(kParameters, u"LastBootTimeOperationsResults");
        sk::ClearFaults();
        sk::FailAllocation(nth);
        BootPass();
        const bool hit = sk::InjectedFaultCount() > 0;
        sk::ClearFaults();
        FreeOperationList(&context_.DeferredList);
        ReleaseRunResults(&context_.RunResultsList);
        ExpectNothingLeftOver();
        std::vector<ULONG> words =
            Words(sk::RegGetValue(kParameters, u"LastBootTimeOperationsResults"));
        if (words.size() == 5 && words[4] == 4) {
            incomplete++;
        } else if (!words.empty()) {
            EXPECT_EQ(words.size(), 5u + 2u);
        }
        if (!hit)
            break;
    }
    EXPECT_GT(incomplete, 0u) << "one failure fell on the record itself";
}

} // namespace
