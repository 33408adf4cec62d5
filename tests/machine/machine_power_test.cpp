/*
 * machine_power_test.cpp - whole machines whose power goes at every
 * platform call of a boot: a one-shot list never runs twice, a moved file
 * is whole in one place, and a package is set up whole or reverted.
 */
#include "tests/machine/machine_fixture.h"

namespace {

using namespace machinetest;
/* ---- power losses at every call ------------------------------------------ */

using MachinePowerLossTest = MachineTest;

TEST_F(MachinePowerLossTest, AOneShotListCutShortIsNeverRunAgain)
{
    Write("one.txt", "1");
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(
        dir_, { CopyFileOp(u"one.txt", u"first.txt"), CopyFileOp(u"one.txt", u"second.txt") },
        &error))
        << error;
    const fs::path base = root_ / "base";
    ASSERT_TRUE(qm::CopyMachine(dir_, base.string(), &error)) << error;
    qm::BootReport reference = BootClean();
    ASSERT_TRUE(reference.CallsAt(qm::BootStage::DriverLoaded));
    const uint64_t boot = *reference.CallsAt(qm::BootStage::DriverLoaded);

    size_t cutBeforeDeletion = 0;
    size_t cutInTheMiddle = 0;
    for (uint64_t call = 1; call <= boot; call++) {
        SCOPED_TRACE("power lost at call " + std::to_string(call));
        const std::string dir = (root_ / ("cut" + std::to_string(call))).string();
        ASSERT_TRUE(qm::CopyMachine(base.string(), dir, &error)) << error;
        qm::BootOptions options;
        options.powerLoss = qm::PowerLoss::AtCall(call);
        qm::BootReport cut = BootClean(options, dir);
        ASSERT_TRUE(cut.powerLost);
        const bool listOnDisk = HasParameter(u"BootTimeOperationsList", dir);
        const bool first = fs::exists(fs::path(qm::VolumeRoot(dir)) / "first.txt");
        const bool second = fs::exists(fs::path(qm::VolumeRoot(dir)) / "second.txt");
        if (listOnDisk) {
            EXPECT_FALSE(first || second) << "nothing runs before its deletion is on disk";
        }

        BootClean(qm::BootOptions(), dir);
        EXPECT_FALSE(HasParameter(u"BootTimeOperationsList", dir));
        const bool firstAfter = fs::exists(fs::path(qm::VolumeRoot(dir)) / "first.txt");
        const bool secondAfter = fs::exists(fs::path(qm::VolumeRoot(dir)) / "second.txt");
        if (listOnDisk) {
            cutBeforeDeletion++;
            EXPECT_TRUE(firstAfter && secondAfter) << "the next boot runs the whole list";
        } else {
            if (first && !second)
                cutInTheMiddle++;
            EXPECT_EQ(firstAfter, first) << "the list is not run again";
            EXPECT_EQ(secondAfter, second) << "the list is not run again";
        }
        fs::remove_all(dir);
    }
    EXPECT_GT(cutBeforeDeletion, 0u);
    EXPECT_GT(cutInTheMiddle, 0u) << "some cut fell between the two copies";
}

TEST_F(MachinePowerLossTest, AMovedFileIsWholeAtItsSourceOrTargetWhereverThePowerGoes)
{
    std::string content;
    for (int i = 0; i < 50000; i++)
        content += (char)('a' + i % 26);
    Write("Staging/big.bin", content);
    fs::create_directories(File("Target"));
    std::string error;
    StageSoftwareSource();
    ASSERT_TRUE(qm::StageOneShotList(
        dir_, { MoveFileOp(u"Staging\\big.bin", u"Target\\big.bin"), kSoftwareWrite }, &error))
        << error;
    const fs::path base = root_ / "base";
    ASSERT_TRUE(qm::CopyMachine(dir_, base.string(), &error)) << error;

    qm::BootReport reference = BootClean();
    ASSERT_EQ(Read("Target/big.bin"), content);
    ASSERT_FALSE(fs::exists(File("Staging/big.bin")));
    /* Every call of a boot, from the driver load to the last flush; a long
     * boot is sampled evenly, always with its first and last call. */
    const uint64_t calls = reference.platformCalls;
    ASSERT_GT(calls, 0u);
    const uint64_t step = calls / 150 + 1;
    std::vector<uint64_t> points;
    for (uint64_t call = 1; call <= calls; call += step)
        points.push_back(call);
    if (points.back() != calls)
        points.push_back(calls);
    std::set<qm::BootStage> stagesCut;
    for (uint64_t call : points) {
        SCOPED_TRACE("power lost at call " + std::to_string(call));
        const std::string dir = (root_ / ("cut" + std::to_string(call))).string();
        ASSERT_TRUE(qm::CopyMachine(base.string(), dir, &error)) << error;
        qm::BootOptions options;
        options.powerLoss = qm::PowerLoss::AtCall(call);
        qm::BootReport cut = BootClean(options, dir);
        ASSERT_TRUE(cut.powerLost);
        stagesCut.insert(cut.powerLossStage);
        const bool markerOnDisk = HasParameter(u"ImproperShutdown", dir);

        qm::BootReport next = BootClean(qm::BootOptions(), dir);
        EXPECT_EQ(next.improperShutdownDetected, markerOnDisk)
            << "the next boot sees the cycle ended badly exactly when its marker was on disk";
        const fs::path volume = qm::VolumeRoot(dir);
        std::ifstream source(volume / "Staging" / "big.bin", std::ios::binary);
        std::ifstream target(volume / "Target" / "big.bin", std::ios::binary);
        EXPECT_NE((bool)source, (bool)target) << "the file is in exactly one place";
        std::ifstream &whole = source ? source : target;
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(whole), {}), content);
        EXPECT_FALSE(HasParameter(u"BootTimeOperationsList", dir));
        fs::remove_all(dir);
    }
    EXPECT_TRUE(stagesCut.count(qm::BootStage::EarlyBoot)) << "cuts inside driver entry";
    EXPECT_TRUE(stagesCut.count(qm::BootStage::HivesLoaded)) << "cuts in the deferred run";
    EXPECT_TRUE(stagesCut.count(qm::BootStage::ShutdownDelivered)) << "cuts in the last flushes";
}

TEST_F(MachinePowerLossTest, APackageCutShortInItsFirstBootIsEitherSetUpWholeOrReverted)
{
    Write("payload.txt", "new");
    qm::PackageSpec package;
    package.setupOperations = { CopyFileOp(u"payload.txt", u"one.txt"),
                                CopyFileOp(u"payload.txt", u"two.txt") };
    package.revertOperations = { DeleteFileOp(u"one.txt"), DeleteFileOp(u"two.txt") };
    package.bootTimeout = 5;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Update", package, &error)) << error;
    const fs::path base = root_ / "base";
    ASSERT_TRUE(qm::CopyMachine(dir_, base.string(), &error)) << error;
    qm::BootReport reference = BootClean();
    ASSERT_EQ(PackageState(u"Update"), u"Package");

    size_t reverted = 0;
    size_t kept = 0;
    for (uint64_t call = 1; call <= reference.platformCalls; call++) {
        SCOPED_TRACE("power lost at call " + std::to_string(call));
        const std::string dir = (root_ / ("cut" + std::to_string(call))).string();
        ASSERT_TRUE(qm::CopyMachine(base.string(), dir, &error)) << error;
        qm::BootOptions options;
        options.powerLoss = qm::PowerLoss::AtCall(call);
        ASSERT_TRUE(BootClean(options, dir).powerLost);
        const fs::path volume = qm::VolumeRoot(dir);
        const bool started = fs::exists(volume / "one.txt");
        const bool markerOnDisk = HasParameter(u"ImproperShutdown", dir);
        BootClean(qm::BootOptions(), dir);

        auto state = qm::AsString(qm::ReadMachineValue(dir, Hive::System, kParameters + u"\\Update", u""));
        const bool one = fs::exists(volume / "one.txt");
        const bool two = fs::exists(volume / "two.txt");
        if (started && markerOnDisk) {
            EXPECT_EQ(state, u"Reverted") << "a setup begun in a cycle that ended badly";
        }
        if (!markerOnDisk) {
            EXPECT_EQ(state, u"Package") << "the cycle was not known to end badly";
        }
        if (state == u"Reverted") {
            reverted++;
            EXPECT_FALSE(one || two) << "the revert takes back all of the setup";
        } else {
            kept++;
            EXPECT_EQ(state, u"Package");
            EXPECT_TRUE(one && two) << "a package is set up whole";
        }
        fs::remove_all(dir);
    }
    EXPECT_GT(reverted, 0u);
    EXPECT_GT(kept, 0u);
}

} // namespace
