/*
 * run_results_test.cpp - whole boots and what the driver records of each
 * script it ran: LastBootTimeOperationsResults for the one-shot list,
 * LastRunResults for a package, byte for byte, with deferred operations
 * completed by the deferred run, and the records on disk exactly when the
 * values they are flushed with are.
 */
#include "tests/machine/machine_fixture.h"

namespace {

using namespace machinetest;

/* Header: version, script, boot counter, count, flags; then per operation
 * status and flags, each a little-endian 32-bit word. */
struct Outcome {
    ULONG status;
    ULONG flags;
};
enum : ULONG { kOneShot = 0, kSetup = 1, kRevert = 2, kClean = 3 };
enum : ULONG { kDeferred = 1, kDeferredRan = 2, kSkipped = 4 };

/* A write that waits for SOFTWARE and then fails: a key with a subkey
 * deleted without recursion. */
const std::u16string kDeferredFailure = u"DeleteKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\", false)";

std::vector<uint8_t> Record(ULONG script, ULONG boot, ULONG flags,
                            const std::vector<Outcome> &outcomes)
{
    std::vector<uint8_t> bytes;
    auto put = [&](ULONG word) {
        for (int i = 0; i < 4; i++)
            bytes.push_back((uint8_t)(word >> (8 * i)));
    };
    put(1);
    put(script);
    put(boot);
    put((ULONG)outcomes.size());
    put(flags);
    for (const Outcome &outcome : outcomes) {
        put(outcome.status);
        put(outcome.flags);
    }
    return bytes;
}

class RunResultsTest : public MachineTest {
protected:
    std::optional<qm::MachineValue> Value(const std::u16string &key, const std::u16string &name,
                                          const std::string &dir = "")
    {
        return qm::ReadMachineValue(dir.empty() ? dir_ : dir, Hive::System, key, name);
    }
    std::optional<qm::MachineValue> OneShotRecord(const std::string &dir = "")
    {
        return Value(kParameters, u"LastBootTimeOperationsResults", dir);
    }
    std::optional<qm::MachineValue> PackageRecord(const std::u16string &name,
                                                  const std::string &dir = "")
    {
        return Value(kParameters + u"\\" + name, u"LastRunResults", dir);
    }
    std::optional<ULONG> LastPackageError(const std::u16string &name, const std::string &dir = "")
    {
        return qm::AsDword(Value(kParameters + u"\\" + name, u"LastPackageError", dir));
    }
    void ExpectRecord(const std::optional<qm::MachineValue> &value,
                      const std::vector<uint8_t> &bytes)
    {
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->type, (ULONG)REG_BINARY);
        EXPECT_EQ(value->data, bytes);
    }
    /* A boot that must end orderly and leave no kernel handle open. */
    void StageSoftwareSubkey()
    {
        std::string error;
        ASSERT_TRUE(qm::CreateMachineKey(dir_, Hive::Software, u"Vendor\\App", &error)) << error;
    }
    void Boot(const qm::BootOptions &options = qm::BootOptions())
    {
        qm::BootReport report = BootClean(options);
        EXPECT_FALSE(report.powerLost);
        EXPECT_EQ(report.openHandles, 0u) << report.Summary();
    }
};

TEST_F(RunResultsTest, AOneShotListRecordsEachOperationAndTheValuesOfTodayStayAsTheyWere)
{
    Write("a.txt", "a");
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(dir_,
                                     { CopyFileOp(u"a.txt", u"b.txt"),
                                       CopyFileOp(u"missing.txt", u"c.txt"),
                                       CopyFileOp(u"a.txt", u"b.txt") },
                                     &error))
        << error;
    Boot();
    ExpectRecord(OneShotRecord(),
                 Record(kOneShot, 1, 0,
                        { { STATUS_SUCCESS, 0 },
                          { (ULONG)STATUS_OBJECT_NAME_NOT_FOUND, 0 },
                          { (ULONG)STATUS_OBJECT_NAME_EXISTS, 0 } }));
    EXPECT_FALSE(HasParameter(u"BootTimeOperationsList"));
    EXPECT_EQ(ParameterDword(u"BootCounter"), 1u);
    /* The next boot without a list keeps the record of the last run. */
    Boot();
    EXPECT_EQ(ParameterDword(u"BootCounter"), 2u);
    ASSERT_TRUE(OneShotRecord().has_value());
    EXPECT_EQ(OneShotRecord()->data.size(), 20u + 3 * 8);
}

TEST_F(RunResultsTest, AOneShotListThatDoesNotParseIsRecordedAsRejected)
{
    std::string error;
    ASSERT_TRUE(qm::SetMachineValue(dir_, Hive::System, kParameters, u"BootTimeOperationsList",
                                    REG_MULTI_SZ, qm::MultiStringData({ u"CopyFile(\"x\"" }),
                                    &error))
        << error;
    Boot();
    ExpectRecord(OneShotRecord(), Record(kOneShot, 1, 2, {}));
}

TEST_F(RunResultsTest, AFailedSetupRecordsTheFailureAndTheOperationsItSkipped)
{
    Write("a.txt", "a");
    qm::PackageSpec package;
    package.setupOperations = { CopyFileOp(u"a.txt", u"b.txt"), CopyFileOp(u"missing.txt", u"c.txt"),
                             CopyFileOp(u"a.txt", u"d.txt") };
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Pkg", package, &error)) << error;
    Boot();
    ExpectRecord(PackageRecord(u"Pkg"),
                 Record(kSetup, 1, 0,
                        { { STATUS_SUCCESS, 0 },
                          { (ULONG)STATUS_OBJECT_NAME_NOT_FOUND, 0 },
                          { STATUS_SUCCESS, kSkipped } }));
    EXPECT_EQ(LastPackageError(u"Pkg"), (ULONG)STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(Read("d.txt").has_value());
}

TEST_F(RunResultsTest, ADeferredOperationIsCompletedByTheDeferredRun)
{
    StageSoftwareSource();
    Write("a.txt", "a");
    qm::PackageSpec package;
    package.setupOperations = { kSoftwareWrite, CopyFileOp(u"a.txt", u"b.txt") };
    package.bootTimeout = 5;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Pkg", package, &error)) << error;
    Boot();
    ExpectRecord(PackageRecord(u"Pkg"),
                 Record(kSetup, 1, 0,
                        { { STATUS_SUCCESS, kDeferred | kDeferredRan }, { STATUS_SUCCESS, 0 } }));
    EXPECT_EQ(SoftwareVersion(), u"2.0");
    EXPECT_FALSE(LastPackageError(u"Pkg").has_value());
}

TEST_F(RunResultsTest, ADeferredOperationThatFailsSetsLastPackageErrorWhenNoneIsSet)
{
    StageSoftwareSubkey();
    qm::PackageSpec package;
    package.setupOperations = { kDeferredFailure };
    package.bootTimeout = 5;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Pkg", package, &error)) << error;
    Boot();
    ExpectRecord(PackageRecord(u"Pkg"),
                 Record(kSetup, 1, 0,
                        { { (ULONG)STATUS_CANNOT_DELETE, kDeferred | kDeferredRan } }));
    EXPECT_EQ(LastPackageError(u"Pkg"), (ULONG)STATUS_CANNOT_DELETE);
    EXPECT_EQ(PackageState(u"Pkg"), u"Package");
}

TEST_F(RunResultsTest, AFailureOfTheBootPassKeepsItsLastPackageErrorOverALaterDeferredOne)
{
    StageSoftwareSubkey();
    qm::PackageSpec package;
    /* The clean fails at the boot pass first, then in the deferred run. */
    package.cleanOperations = { kDeferredFailure, CopyFileOp(u"nodir\\x.txt", u"b.txt") };
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Pkg", package, &error)) << error;
    Boot();
    ExpectRecord(PackageRecord(u"Pkg"), Record(kSetup, 1, 0, {}));
    Boot();
    EXPECT_EQ(PackageState(u"Pkg"), u"Commited");
    ExpectRecord(PackageRecord(u"Pkg"),
                 Record(kClean, 2, 0,
                        { { (ULONG)STATUS_CANNOT_DELETE, kDeferred | kDeferredRan },
                          { (ULONG)STATUS_OBJECT_PATH_NOT_FOUND, 0 } }));
    EXPECT_EQ(LastPackageError(u"Pkg"), (ULONG)STATUS_OBJECT_PATH_NOT_FOUND)
        << "the failure of the boot pass stays";
}

TEST_F(RunResultsTest, ARevertWaitingForItsHiveIsRecordedWithItsStateOnceItRan)
{
    StageSoftwareSource();
    qm::PackageSpec package;
    package.revertOperations = { kSoftwareWrite, CopyFileOp(u"missing.txt", u"b.txt") };
    package.bootTimeout = 5;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Pkg", package, &error)) << error;
    qm::BootOptions cut;
    cut.powerLoss = qm::PowerLoss::AfterUptime();
    BootClean(cut); /* set up, then the power goes */
    Boot();
    EXPECT_EQ(PackageState(u"Pkg"), u"Reverted");
    ExpectRecord(PackageRecord(u"Pkg"),
                 Record(kRevert, 2, 0,
                        { { STATUS_SUCCESS, kDeferred | kDeferredRan },
                          { (ULONG)STATUS_OBJECT_NAME_NOT_FOUND, 0 } }));
    EXPECT_EQ(LastPackageError(u"Pkg"), (ULONG)STATUS_OBJECT_NAME_NOT_FOUND);
}

/* ---- power losses at the flush that carries a record --------------------- */

/* The number (from 1) of the nth ZwFlushKey of a boot's platform calls. */
std::optional<uint64_t> NthFlush(const qm::BootReport &report, size_t nth)
{
    size_t seen = 0;
    for (size_t i = 0; i < report.callTrace.size(); i++) {
        if (report.callTrace[i] == "ZwFlushKey" && ++seen == nth)
            return i + 1;
    }
    return std::nullopt;
}

TEST_F(RunResultsTest, TheOneShotRecordReachesTheDiskWithTheMarkerAndNotBefore)
{
    Write("a.txt", "a");
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(dir_, { CopyFileOp(u"a.txt", u"b.txt") }, &error)) << error;
    const fs::path base = root_ / "base";
    ASSERT_TRUE(qm::CopyMachine(dir_, base.string(), &error)) << error;
    qm::BootOptions traced;
    traced.recordCalls = true;
    qm::BootReport reference = BootClean(traced);
    /* The first flush makes the list's deletion sure; the second carries
     * the marker and the record. */
    std::optional<uint64_t> flush = NthFlush(reference, 2);
    ASSERT_TRUE(flush.has_value());

    for (uint64_t call : { *flush, *flush + 1 }) {
        SCOPED_TRACE("power lost at call " + std::to_string(call));
        const std::string dir = (root_ / ("cut" + std::to_string(call))).string();
        ASSERT_TRUE(qm::CopyMachine(base.string(), dir, &error)) << error;
        qm::BootOptions options;
        options.powerLoss = qm::PowerLoss::AtCall(call);
        qm::BootReport cut = BootClean(options, dir);
        ASSERT_TRUE(cut.powerLost);
        const bool after = call > *flush;
        EXPECT_EQ(HasParameter(u"ImproperShutdown", dir), after);
        EXPECT_EQ(OneShotRecord(dir).has_value(), after);
        if (after)
            ExpectRecord(OneShotRecord(dir), Record(kOneShot, 1, 0, { { STATUS_SUCCESS, 0 } }));
        EXPECT_FALSE(HasParameter(u"BootTimeOperationsList", dir));
    }
}

TEST_F(RunResultsTest, ASetupRecordReachesTheDiskWithLastPackageErrorAndNotBefore)
{
    qm::PackageSpec package;
    package.setupOperations = { CopyFileOp(u"missing.txt", u"b.txt") };
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Pkg", package, &error)) << error;
    const fs::path base = root_ / "base";
    ASSERT_TRUE(qm::CopyMachine(dir_, base.string(), &error)) << error;
    qm::BootOptions traced;
    traced.recordCalls = true;
    qm::BootReport reference = BootClean(traced);
    /* The list's absence needs no flush: the marker's, the start
     * counters', then the end of the pass, which carries both values. */
    std::optional<uint64_t> flush = NthFlush(reference, 3);
    ASSERT_TRUE(flush.has_value());

    for (uint64_t call : { *flush, *flush + 1 }) {
        SCOPED_TRACE("power lost at call " + std::to_string(call));
        const std::string dir = (root_ / ("cut" + std::to_string(call))).string();
        ASSERT_TRUE(qm::CopyMachine(base.string(), dir, &error)) << error;
        qm::BootOptions options;
        options.powerLoss = qm::PowerLoss::AtCall(call);
        qm::BootReport cut = BootClean(options, dir);
        ASSERT_TRUE(cut.powerLost);
        const bool after = call > *flush;
        EXPECT_EQ(LastPackageError(u"Pkg", dir).has_value(), after);
        EXPECT_EQ(PackageRecord(u"Pkg", dir).has_value(), after);
        if (after)
            ExpectRecord(PackageRecord(u"Pkg", dir),
                         Record(kSetup, 1, 0, { { (ULONG)STATUS_OBJECT_NAME_NOT_FOUND, 0 } }));
    }
}

} // namespace
