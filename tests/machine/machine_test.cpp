/*
 * machine_test.cpp - whole machines booted as Windows boots them, with the
 * driver loaded as a boot-start driver: what it leaves on the volume and in
 * the hive files across orderly shutdowns and power losses cut at every
 * point of a boot.
 *
 * Every check reads what is on disk afterwards (hive files, host files) or
 * what the booting child saw at a stage, never the driver's own beliefs.
 */
#include "tests/machine/machine_fixture.h"

namespace {

using namespace machinetest;

/* ---- the machine directory ------------------------------------------- */

using MachineDirectoryTest = MachineTest;

TEST_F(MachineDirectoryTest, ANewMachineHasTheDriverInstalledAsABootStartService)
{
    EXPECT_TRUE(fs::is_regular_file(File("Windows/System32/drivers/qelmbar.sys")));
    for (Hive hive : qm::kAllHives)
        EXPECT_TRUE(fs::is_regular_file(qm::HiveFilePath(dir_, hive))) << qm::HiveFileName(hive);

    EXPECT_EQ(qm::AsDword(qm::ReadMachineValue(dir_, Hive::System, u"Select", u"Current")), 1u);
    const std::u16string service = qm::kServiceKey;
    EXPECT_EQ(qm::AsDword(qm::ReadMachineValue(dir_, Hive::System, service, u"Start")), 0u);
    EXPECT_EQ(qm::AsDword(qm::ReadMachineValue(dir_, Hive::System, service, u"Type")), 1u);
    auto image = qm::ReadMachineValue(dir_, Hive::System, service, u"ImagePath");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->type, (ULONG)REG_EXPAND_SZ);
    EXPECT_EQ(qm::AsString(image), u"System32\\drivers\\qelmbar.sys");
    EXPECT_EQ(qm::AsString(qm::ReadMachineValue(dir_, Hive::System, service, u"Group")),
              u"Boot Bus Extender");
    EXPECT_TRUE(qm::MachineKeyExists(dir_, Hive::System, u"CurrentControlSet\\Control\\Class"));
    EXPECT_TRUE(
        qm::MachineKeyExists(dir_, Hive::Software, u"Microsoft\\Windows NT\\CurrentVersion"));
    EXPECT_FALSE(qm::MachineKeyExists(dir_, Hive::System, kParameters))
        << "the driver creates its Parameters key itself";

    std::string error;
    EXPECT_FALSE(qm::CreateMachine(dir_, &error)) << "a directory in use is refused";
    EXPECT_NE(error.find("not empty"), std::string::npos) << error;
}

TEST_F(MachineDirectoryTest, WritersChangeTheHiveFilesAndReadersSeeIt)
{
    std::string error;
    ASSERT_TRUE(qm::SetMachineValue(dir_, Hive::Software, u"Vendor\\App\\Deep", u"Count",
                                    REG_DWORD, qm::DwordData(7), &error))
        << error;
    EXPECT_EQ(qm::AsDword(qm::ReadMachineValue(dir_, Hive::Software, u"vendor\\APP\\deep",
                                               u"count")),
              7u)
        << "names match ignoring case";
    EXPECT_EQ(qm::ReadMachineKeys(dir_, Hive::Software, u"Vendor\\App"),
              (std::vector<std::u16string>{ u"Deep" }));
    EXPECT_EQ(qm::AsString(qm::ReadMachineValue(dir_, Hive::Software,
                                                u"Microsoft\\Windows NT\\CurrentVersion",
                                                u"SystemRoot")),
              u"C:\\Windows")
        << "what the hive held before stays";

    ASSERT_TRUE(qm::SetMachineValue(dir_, Hive::System, u"CurrentControlSet\\Services\\Other",
                                    u"Start", REG_DWORD, qm::DwordData(3), &error))
        << error;
    EXPECT_TRUE(qm::MachineKeyExists(dir_, Hive::System, u"ControlSet001\\Services\\Other"))
        << "CurrentControlSet stands for the control set Select\\Current names";
    EXPECT_FALSE(qm::MachineKeyExists(dir_, Hive::System, u"CurrentControlSet\\Services\\None"));

    ASSERT_TRUE(qm::DeleteMachineKey(dir_, Hive::Software, u"Vendor", &error)) << error;
    EXPECT_FALSE(qm::MachineKeyExists(dir_, Hive::Software, u"Vendor"));
    EXPECT_FALSE(qm::DeleteMachineKey(dir_, Hive::Software, u"Vendor", &error));
    EXPECT_FALSE(qm::DeleteMachineKey(dir_, Hive::Software, u"", &error));

    ASSERT_TRUE(qm::StageOneShotList(dir_, { u"CreateKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\A\")",
                                             u"CreateKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\B\")" },
                                     &error))
        << error;
    EXPECT_EQ(qm::AsMultiString(
                  qm::ReadMachineValue(dir_, Hive::System, kParameters, u"BootTimeOperationsList")),
              (std::vector<std::u16string>{ u"CreateKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\A\")",
                                            u"CreateKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\B\")" }));
}

TEST_F(MachineDirectoryTest, NtPathsOfVolumeCMapToTheHostTree)
{
    const std::string root = qm::VolumeRoot(dir_);
    EXPECT_EQ(qm::HostPathOf(dir_, u"\\??\\C:\\a\\b.txt"), (fs::path(root) / "a" / "b.txt").string());
    EXPECT_EQ(qm::HostPathOf(dir_, u"\\Device\\HarddiskVolume1\\x"), (fs::path(root) / "x").string());
    EXPECT_EQ(qm::HostPathOf(dir_, u"\\SystemRoot\\System32"),
              (fs::path(root) / "Windows" / "System32").string());
    EXPECT_FALSE(qm::HostPathOf(dir_, u"\\??\\D:\\a"));
    EXPECT_FALSE(qm::HostPathOf(dir_, u"\\Device\\HarddiskVolume10\\a"));
}

/* ---- boots ----------------------------------------------------------- */

using MachineBootTest = MachineTest;

TEST_F(MachineBootTest, TheFirstBootCountsMarksTheCycleAndTheShutdownClosesIt)
{
    qm::BootOptions options;
    options.driverLoadSeconds = 3;
    options.uptimeSeconds = 600;
    const std::string dir = dir_;
    options.inspect = [dir](qm::BootStage stage) -> std::string {
        if (stage != qm::BootStage::UptimeElapsed)
            return std::string();
        /* On disk while the system runs. */
        auto marker = qm::ReadMachineValue(dir, Hive::System, qm::kParametersKey,
                                           u"ImproperShutdown");
        auto counter =
            qm::ReadMachineValue(dir, Hive::System, qm::kParametersKey, u"BootCounter");
        return "marker=" + std::to_string(qm::AsDword(marker).value_or(0)) +
               " counter=" + std::to_string(qm::AsDword(counter).value_or(0));
    };
    qm::BootReport report = BootClean(options);
    EXPECT_EQ(Seen(report, qm::BootStage::UptimeElapsed), "marker=1 counter=1");
    EXPECT_EQ(report.lastStage, qm::BootStage::HivesFlushed);
    EXPECT_FALSE(report.powerLost);
    EXPECT_EQ(report.shutdownRequests, 1u);
    EXPECT_EQ(report.openHandles, 0u);
    EXPECT_EQ(report.bootCounter, 1u);
    EXPECT_FALSE(report.improperShutdownDetected);

    EXPECT_EQ(ParameterDword(u"BootCounter"), 1u);
    EXPECT_FALSE(HasParameter(u"ImproperShutdown"));
    EXPECT_EQ(ParameterDword(u"TickCounter"), 600u) << "counted from the boot pass on";
    auto root = qm::AsString(qm::ReadMachineValue(dir_, Hive::System, kParameters, u"SystemRoot"));
    ASSERT_TRUE(root) << "the running system's root is recorded for the next early boot";
    EXPECT_TRUE(qm::HostPathOf(dir_, *root)) << sk::Utf8FromUtf16(*root);
    EXPECT_EQ(qm::HostPathOf(dir_, *root), qm::HostPathOf(dir_, u"\\??\\C:\\Windows")) << sk::Utf8FromUtf16(*root);

    options.inspect = nullptr;
    options.uptimeSeconds = 250;
    report = BootClean(options);
    EXPECT_FALSE(report.improperShutdownDetected);
    EXPECT_EQ(ParameterDword(u"BootCounter"), 2u);
    EXPECT_EQ(ParameterDword(u"TickCounter"), 850u);
    EXPECT_FALSE(HasParameter(u"ImproperShutdown"));
}

TEST_F(MachineBootTest, TheOneShotListDoesFilesAtTheBootPassAndSoftwareAfterTheSubsystemStarts)
{
    Write("a.txt", "alpha");
    StageSoftwareSource();
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(dir_, { CopyFileOp(u"a.txt", u"b.txt"), kSoftwareWrite },
                                     &error))
        << error;

    qm::BootOptions options;
    const std::string dir = dir_;
    const fs::path copy = File("b.txt");
    options.inspect = [dir, copy](qm::BootStage stage) -> std::string {
        if (stage != qm::BootStage::DriverLoaded && stage != qm::BootStage::SubsystemStarted)
            return std::string();
        auto live = sk::RegGetValue(kSoftwareApp, u"Version");
        auto file = qm::ReadMachineValue(dir, Hive::Software, u"Vendor\\App", u"Version");
        return std::string("copy=") + (fs::exists(copy) ? "yes" : "no") +
               " software=" + (live ? "set" : "unset") + " file=" + (file ? "set" : "unset");
    };
    qm::BootReport report = BootClean(options);
    EXPECT_EQ(Seen(report, qm::BootStage::DriverLoaded), "copy=yes software=unset file=unset");
    EXPECT_EQ(report.deferredAfterEntry, 1u) << "the SOFTWARE write waits for its hive";
    EXPECT_TRUE(report.driverStateFlagsAfterEntry & DRIVER_STATE_PROCESS_NOTIFY);
    EXPECT_TRUE(report.deferredRunStarted);
    /* The deferred run changes the loaded hive and flushes it. */
    EXPECT_EQ(Seen(report, qm::BootStage::SubsystemStarted), "copy=yes software=set file=set");

    EXPECT_EQ(Read("b.txt"), "alpha");
    EXPECT_EQ(SoftwareVersion(), u"2.0");
    EXPECT_FALSE(HasParameter(u"BootTimeOperationsList"));
    EXPECT_EQ(qm::AsString(qm::ReadMachineValue(dir_, Hive::System, u"Staging", u"Version")),
              u"2.0")
        << "the source is kept";
}

TEST_F(MachineBootTest, WithSoftwareLoadedAlreadyNothingWaits)
{
    StageSoftwareSource();
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(dir_, { kSoftwareWrite }, &error)) << error;
    qm::BootOptions options;
    options.softwareLoadedAtDriverLoad = true;
    qm::BootReport report = BootClean(options);
    EXPECT_EQ(report.deferredAfterEntry, 0u);
    EXPECT_FALSE(report.driverStateFlagsAfterEntry & DRIVER_STATE_PROCESS_NOTIFY);
    EXPECT_FALSE(report.deferredRunStarted);
    EXPECT_EQ(SoftwareVersion(), u"2.0");
}

TEST_F(MachineBootTest, ADeferredWriteIsOnDiskOnceTheDeferredRunEnds)
{
    StageSoftwareSource();
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(dir_, { kSoftwareWrite }, &error)) << error;

    qm::BootOptions options;
    options.powerLoss = qm::PowerLoss::AfterUptime();
    qm::BootReport report = BootClean(options);
    EXPECT_TRUE(report.powerLost);
    EXPECT_TRUE(report.deferredRunStarted);
    /* The list left the disk before it ran, and the hive its deferred
     * write changed was flushed when the deferred run ended: a power loss
     * afterwards loses neither. */
    EXPECT_FALSE(HasParameter(u"BootTimeOperationsList"));
    EXPECT_EQ(SoftwareVersion(), u"2.0");
    report = BootClean();
    EXPECT_TRUE(report.improperShutdownDetected);
    EXPECT_EQ(SoftwareVersion(), u"2.0") << "the list does not run again";
}

TEST_F(MachineBootTest, TheClockGoesOnAcrossBootsAndPowerLosses)
{
    qm::BootOptions options;
    options.offSeconds = 3600;
    options.inspect = [](qm::BootStage stage) -> std::string {
        if (stage != qm::BootStage::Start && stage != qm::BootStage::UptimeElapsed)
            return std::string();
        return std::to_string(sk::PeekSystemTime());
    };
    auto time = [](const qm::BootReport &report, qm::BootStage stage) {
        return std::stoll(Seen(report, stage));
    };
    const LONGLONG hour = 3600LL * 10000000LL;
    qm::BootReport first = BootClean(options);
    EXPECT_EQ(time(first, qm::BootStage::Start), sk::kSystemClockStart);
    options.powerLoss = qm::PowerLoss::AfterUptime();
    qm::BootReport second = BootClean(options);
    EXPECT_GE(time(second, qm::BootStage::Start), time(first, qm::BootStage::UptimeElapsed) + hour);
    options.powerLoss = qm::PowerLoss::None();
    qm::BootReport third = BootClean(options);
    EXPECT_GE(time(third, qm::BootStage::Start), time(second, qm::BootStage::UptimeElapsed) + hour)
        << "the machine's clock keeps running through a power loss";
}

/* ---- the executor's trace ---------------------------------------------- */

/* One event as "kind script package index status deferred run". */
std::string Describe(const qm::TraceEvent &event)
{
    std::string text = event.kind == qm::TraceEvent::Kind::ListRun ? "run " : "op ";
    text += qm::ScriptKindName(event.script);
    if (!event.package.empty())
        text += " " + sk::Utf8FromUtf16(event.package);
    if (event.kind == qm::TraceEvent::Kind::Outcome) {
        text += " #" + std::to_string(event.index) + " " + sk::StatusText(event.status);
        if (event.deferred)
            text += " deferred";
    }
    if (event.deferredRun)
        text += " (deferred run)";
    return text;
}

std::vector<std::string> Describe(const std::vector<qm::TraceEvent> &trace)
{
    std::vector<std::string> lines;
    for (const qm::TraceEvent &event : trace)
        lines.push_back(Describe(event));
    return lines;
}

using MachineTraceTest = MachineTest;

TEST_F(MachineTraceTest, EachOperationIsTracedToItsScriptAndPlaceAcrossTheDeferredRun)
{
    Write("a.txt", "alpha");
    StageSoftwareSource();
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(dir_,
                                     { CopyFileOp(u"a.txt", u"b.txt"), kSoftwareWrite,
                                       CopyFileOp(u"missing.txt", u"c.txt") },
                                     &error))
        << error;
    qm::PackageSpec package;
    package.setupOperations = { CopyFileOp(u"a.txt", u"d.txt"), CopyFileOp(u"none.txt", u"x.txt"),
                                CopyFileOp(u"a.txt", u"e.txt") };
    package.bootTimeout = 2;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Update", package, &error)) << error;

    qm::BootOptions options;
    options.traceOperations = true;
    qm::BootReport report = BootClean(options);
    EXPECT_EQ(Describe(report.trace),
              (std::vector<std::string>{
                  "run one-shot list",
                  "op one-shot list #0 STATUS_SUCCESS (0x00000000)",
                  "op one-shot list #1 STATUS_FAIL_CHECK (0xC0000229) deferred",
                  "op one-shot list #2 STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)",
                  "run setup Update",
                  "op setup Update #0 STATUS_SUCCESS (0x00000000)",
                  "op setup Update #1 STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)",
                  "run one-shot list (deferred run)",
                  "op one-shot list #1 STATUS_SUCCESS (0x00000000) (deferred run)",
              }))
        << "the failed setup stops its script, so its third operation never runs";
    ASSERT_FALSE(report.trace.empty());
    EXPECT_EQ(report.trace.front().stage, qm::BootStage::EarlyBoot);
    EXPECT_EQ(report.trace.back().stage, qm::BootStage::HivesLoaded)
        << "the deferred run starts with csrss.exe";
    EXPECT_EQ(report.openHandles, 0u);

    qm::BootReport untraced = BootClean();
    EXPECT_TRUE(untraced.trace.empty()) << "tracing is asked for";
}

TEST_F(MachineTraceTest, APowerLossKeepsTheTraceUpToTheCallThatNeverHappened)
{
    Write("a.txt", "alpha");
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(dir_, { CopyFileOp(u"a.txt", u"b.txt"),
                                             CopyFileOp(u"a.txt", u"c.txt") },
                                     &error))
        << error;
    /* The first boot finds where the second copy starts. */
    qm::BootOptions options;
    options.traceOperations = true;
    options.recordCalls = true;
    const std::string probe = (root_ / "probe").string();
    ASSERT_TRUE(qm::CopyMachine(dir_, probe, &error)) << error;
    qm::BootReport full = BootClean(options, probe);
    ASSERT_EQ(Describe(full.trace),
              (std::vector<std::string>{ "run one-shot list",
                                         "op one-shot list #0 STATUS_SUCCESS (0x00000000)",
                                         "op one-shot list #1 STATUS_SUCCESS (0x00000000)",
                                         "run one-shot list (deferred run)" }))
        << "the deferred run starts with csrss.exe even when nothing waits";

    /* Calls of the driver up to the end of the first copy: cut the power
     * after them, before the list is done. */
    uint64_t cut = 0;
    for (uint64_t call = 1; call <= full.platformCalls; call++) {
        options.powerLoss = qm::PowerLoss::AtCall(call);
        ASSERT_TRUE(qm::CopyMachine(dir_, (root_ / ("cut" + std::to_string(call))).string(), &error));
        qm::BootReport report = BootClean(options, (root_ / ("cut" + std::to_string(call))).string());
        fs::remove_all(root_ / ("cut" + std::to_string(call)));
        if (report.trace.size() == 2 && !report.trace[1].deferred) {
            cut = call;
            EXPECT_EQ(Describe(report.trace[1]), "op one-shot list #0 STATUS_SUCCESS (0x00000000)");
            EXPECT_TRUE(report.powerLost);
            break;
        }
    }
    EXPECT_NE(cut, 0u) << "some cut falls between the two copies";
}

/* ---- the watchdog --------------------------------------------------- */

using MachineWatchdogTest = MachineTest;

/* A boot stuck once the hives are loaded: the watchdog stops it, and the
 * report still holds what the driver did before, up to the operation left
 * for the deferred run that never came. */
TEST_F(MachineWatchdogTest, AStuckBootIsStoppedAndItsReportKeepsWhatRanUpToThen)
{
    Write("a.txt", "alpha");
    StageSoftwareSource();
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(dir_, { CopyFileOp(u"a.txt", u"b.txt"), kSoftwareWrite },
                                     &error))
        << error;
    qm::BootOptions options;
    options.traceOperations = true;
    options.watchdogSeconds = 1;
    options.inspect = [](qm::BootStage stage) -> std::string {
        if (stage == qm::BootStage::HivesLoaded) {
            for (;;)
                pause();
        }
        return std::string();
    };
    qm::BootReport report;
    EXPECT_FALSE(qm::Boot(dir_, options, &report));
    EXPECT_FALSE(report.completed);
    EXPECT_TRUE(report.watchdogFired);
    EXPECT_EQ(report.failure, "the boot did not end within 1 s and was stopped by the watchdog "
                              "(last stage: hives loaded)");
    EXPECT_EQ(report.lastStage, qm::BootStage::HivesLoaded);
    EXPECT_FALSE(report.powerLost);
    EXPECT_TRUE(report.entryReturned);
    EXPECT_EQ(report.entryStatus, STATUS_SUCCESS);
    EXPECT_EQ(report.bootCounter, 1u);
    ASSERT_TRUE(report.CallsAt(qm::BootStage::HivesLoaded));
    EXPECT_EQ(report.platformCalls, *report.CallsAt(qm::BootStage::HivesLoaded));
    EXPECT_EQ(Describe(report.trace),
              (std::vector<std::string>{
                  "run one-shot list",
                  "op one-shot list #0 STATUS_SUCCESS (0x00000000)",
                  "op one-shot list #1 STATUS_FAIL_CHECK (0xC0000229) deferred",
              }));
    EXPECT_EQ(Read("b.txt"), "alpha") << "what the boot pass did stays on the volume";
    EXPECT_EQ(ParameterDword(u"ImproperShutdown"), 1u) << "the marker was flushed; no shutdown";

    /* Without a watchdog the same boot ends in order. */
    options.watchdogSeconds = 0;
    options.inspect = nullptr;
    report = BootClean(options);
    EXPECT_FALSE(report.watchdogFired);
    EXPECT_EQ(report.lastStage, qm::BootStage::HivesFlushed);
}

/* ---- packages across boots --------------------------------------------- */

using MachinePackageTest = MachineTest;

TEST_F(MachinePackageTest, APowerLossMakesTheNextBootRevertAPackageSetUpInTheCycle)
{
    Write("payload.txt", "new");
    qm::PackageSpec package;
    package.setupOperations = { CopyFileOp(u"payload.txt", u"installed.txt") };
    package.revertOperations = { DeleteFileOp(u"installed.txt") };
    package.bootTimeout = 3;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Update", package, &error)) << error;

    qm::BootOptions options;
    options.powerLoss = qm::PowerLoss::AfterUptime();
    qm::BootReport report = BootClean(options);
    EXPECT_TRUE(report.powerLost);
    EXPECT_EQ(report.powerLossStage, qm::BootStage::UptimeElapsed);
    EXPECT_EQ(Read("installed.txt"), "new");
    EXPECT_EQ(PackageState(u"Update"), u"Package");
    EXPECT_EQ(qm::AsDword(qm::ReadMachineValue(dir_, Hive::System, kParameters + u"\\Update",
                                               u"StartBootCounter")),
              1u);
    EXPECT_EQ(ParameterDword(u"ImproperShutdown"), 1u);
    EXPECT_FALSE(HasParameter(u"TickCounter")) << "no shutdown recorded the cycle";

    report = BootClean();
    EXPECT_TRUE(report.improperShutdownDetected);
    EXPECT_EQ(report.bootCounter, 2u);
    EXPECT_EQ(PackageState(u"Update"), u"Reverted");
    EXPECT_FALSE(fs::exists(File("installed.txt")));
    EXPECT_FALSE(HasParameter(u"ImproperShutdown"));

    report = BootClean();
    EXPECT_FALSE(report.improperShutdownDetected);
    EXPECT_EQ(PackageState(u"Update"), u"Reverted") << "a final state stays";
}

TEST_F(MachinePackageTest, APackageIsCommitedOnceItsBootsHaveGoneByWithOrderlyShutdowns)
{
    Write("payload.txt", "new");
    Write("leftover.txt", "old");
    qm::PackageSpec package;
    package.setupOperations = { CopyFileOp(u"payload.txt", u"installed.txt") };
    package.revertOperations = { DeleteFileOp(u"installed.txt") };
    package.cleanOperations = { DeleteFileOp(u"leftover.txt") };
    package.bootTimeout = 2;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Update", package, &error)) << error;

    BootClean();
    EXPECT_EQ(PackageState(u"Update"), u"Package");
    BootClean();
    EXPECT_EQ(PackageState(u"Update"), u"Package") << "one boot since the setup";
    EXPECT_TRUE(fs::exists(File("leftover.txt")));
    BootClean();
    EXPECT_EQ(PackageState(u"Update"), u"Commited");
    EXPECT_FALSE(fs::exists(File("leftover.txt"))) << "the clean script ran";
    EXPECT_EQ(Read("installed.txt"), "new");
}

TEST_F(MachinePackageTest, ATickTimeoutCountsUptimeAcrossCycles)
{
    Write("leftover.txt", "old");
    qm::PackageSpec package;
    package.cleanOperations = { DeleteFileOp(u"leftover.txt") };
    package.tickTimeout = 1000;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Update", package, &error)) << error;

    qm::BootOptions options;
    options.uptimeSeconds = 600;
    BootClean(options);
    BootClean(options);
    EXPECT_EQ(PackageState(u"Update"), u"Package") << "600 s since the setup";
    BootClean(options);
    EXPECT_EQ(PackageState(u"Update"), u"Commited") << "1200 s since the setup";
    EXPECT_FALSE(fs::exists(File("leftover.txt")));
}

/* Fails today: the revert is recorded at the boot pass, while its SOFTWARE
 * part still waits for the deferred run; a power loss in between leaves the
 * setup in place under a final "Reverted". */
TEST_F(MachinePackageTest, ARevertThatWaitsForItsHiveIsRecordedOnlyOnceItRan)
{
    StageSoftwareSource();
    qm::PackageSpec package;
    package.setupOperations = { kSoftwareWrite };
    package.revertOperations = { u"DeleteKeyValue(\"" + kSoftwareApp + u"\", \"Version\")" };
    package.bootTimeout = 5;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Update", package, &error)) << error;
    BootClean();
    ASSERT_EQ(SoftwareVersion(), u"2.0");
    qm::BootOptions lose;
    lose.powerLoss = qm::PowerLoss::AfterUptime();
    BootClean(lose);

    /* The revert boot loses the power once the driver is loaded, before
     * the subsystem starts. */
    const std::string probe = (root_ / "probe").string();
    ASSERT_TRUE(qm::CopyMachine(dir_, probe, &error)) << error;
    qm::BootReport reference = BootClean(qm::BootOptions(), probe);
    ASSERT_TRUE(reference.CallsAt(qm::BootStage::DriverLoaded));
    lose.powerLoss = qm::PowerLoss::AtCall(*reference.CallsAt(qm::BootStage::DriverLoaded) + 1);
    BootClean(lose);
    BootClean();
    EXPECT_EQ(PackageState(u"Update"), u"Reverted");
    EXPECT_FALSE(SoftwareVersion()) << "the setup is taken back before the package is final";
}

/* ---- flushes the next boot relies on -------------------------------------- */

/* Power cuts just after each flush whose loss the next boot would notice:
 * what the flush wrote must be in the hive file. */
using MachineFlushTest = MachineTest;

TEST_F(MachineFlushTest, TheMarkerIsOnDiskBeforeAnyPackageIsRead)
{
    Write("payload.txt", "new");
    qm::PackageSpec package;
    package.setupOperations = { CopyFileOp(u"payload.txt", u"installed.txt") };
    package.revertOperations = { DeleteFileOp(u"installed.txt") };
    package.bootTimeout = 3;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Update", package, &error)) << error;
    BootClean();
    ASSERT_EQ(Read("installed.txt"), "new");
    ASSERT_FALSE(HasParameter(u"ImproperShutdown"));

    /* The package waits to commit; this boot loses the power as the driver
     * starts to read its packages, once the marker was set. */
    qm::BootOptions options;
    options.recordCalls = true;
    const std::string probe = (root_ / "probe").string();
    ASSERT_TRUE(qm::CopyMachine(dir_, probe, &error)) << error;
    qm::BootReport reference = BootClean(options, probe);
    auto enumerate = std::find(reference.callTrace.begin(), reference.callTrace.end(), "ZwEnumerateKey");
    ASSERT_NE(enumerate, reference.callTrace.end());
    options = qm::BootOptions();
    options.powerLoss = qm::PowerLoss::AtCall((uint64_t)(enumerate - reference.callTrace.begin()) + 1);
    qm::BootReport cut = BootClean(options);
    ASSERT_TRUE(cut.powerLost);
    EXPECT_EQ(cut.powerLossRoutine, "ZwEnumerateKey");
    EXPECT_EQ(ParameterDword(u"ImproperShutdown"), 1u) << "set and flushed before the packages";
    EXPECT_EQ(PackageState(u"Update"), u"Package");

    qm::BootReport next = BootClean();
    EXPECT_TRUE(next.improperShutdownDetected);
    EXPECT_EQ(PackageState(u"Update"), u"Reverted");
    EXPECT_FALSE(fs::exists(File("installed.txt")));
}

TEST_F(MachineFlushTest, ARevertFinishedByTheDeferredRunIsOnDiskOnceItEnds)
{
    StageSoftwareSource();
    qm::PackageSpec package;
    package.setupOperations = { kSoftwareWrite };
    package.revertOperations = { u"DeleteKeyValue(\"" + kSoftwareApp + u"\", \"Version\")" };
    package.bootTimeout = 5;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(dir_, u"Update", package, &error)) << error;
    BootClean();
    ASSERT_EQ(SoftwareVersion(), u"2.0");
    qm::BootOptions lose;
    lose.powerLoss = qm::PowerLoss::AfterUptime();
    BootClean(lose);

    /* The revert's SOFTWARE part waits for the deferred run, which records
     * the package as reverted; the power goes after it, before any lazy
     * flush or shutdown. */
    qm::BootReport report = BootClean(lose);
    EXPECT_TRUE(report.improperShutdownDetected);
    EXPECT_TRUE(report.deferredRunStarted);
    EXPECT_EQ(PackageState(u"Update"), u"Reverted");
    EXPECT_FALSE(SoftwareVersion());

    /* So the next boot, which follows a power loss again, leaves it be. */
    qm::BootOptions traced;
    traced.traceOperations = true;
    report = BootClean(traced);
    EXPECT_TRUE(report.improperShutdownDetected);
    for (const qm::TraceEvent &event : report.trace)
        EXPECT_NE(event.kind, qm::TraceEvent::Kind::Outcome) << "the revert does not run again";
    EXPECT_EQ(PackageState(u"Update"), u"Reverted");
}

TEST_F(MachineFlushTest, ADeferredCopyIntoSoftwareIsOnDiskOnceTheDeferredRunEnds)
{
    StageSoftwareSource();
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(
                    dir_, { u"CopyKey(\"" + kStaging + u"\", \"" + kSoftwareApp + u"\", false)" },
                    &error))
        << error;
    qm::BootOptions options;
    options.powerLoss = qm::PowerLoss::AfterUptime();
    qm::BootReport report = BootClean(options);
    EXPECT_TRUE(report.deferredRunStarted);
    EXPECT_EQ(SoftwareVersion(), u"2.0") << "the hive the copy went into was flushed";
    EXPECT_TRUE(qm::ReadMachineValue(dir_, Hive::System, u"Staging", u"Version").has_value());
}

/* The shutdown request's record of an orderly end is on disk before the
 * request returns: a power cut right after it (before the system flushes
 * its hives) does not make the next boot take it for a power loss. */
TEST_F(MachineFlushTest, TheOrderlyEndIsOnDiskWhenTheShutdownRequestReturns)
{
    BootClean();
    std::string error;
    qm::BootOptions options;
    options.recordCalls = true;
    const std::string probe = (root_ / "probe").string();
    ASSERT_TRUE(qm::CopyMachine(dir_, probe, &error)) << error;
    qm::BootReport reference = BootClean(options, probe);
    /* The shutdown pass writes the tick count and the system root last;
     * the system's own flush of its hives opens them next. */
    const auto &trace = reference.callTrace;
    auto written = std::find(trace.rbegin(), trace.rend(), "ZwSetValueKey");
    ASSERT_NE(written, trace.rend());
    auto systemFlush = std::find(written.base(), trace.end(), "ZwOpenKey");
    ASSERT_NE(systemFlush, trace.end());
    options = qm::BootOptions();
    options.powerLoss = qm::PowerLoss::AtCall((uint64_t)(systemFlush - trace.begin()) + 1);
    qm::BootReport cut = BootClean(options);
    ASSERT_TRUE(cut.powerLost);
    EXPECT_EQ(cut.powerLossRoutine, "ZwOpenKey");
    EXPECT_EQ(cut.lastStage, qm::BootStage::ShutdownDelivered);
    EXPECT_FALSE(HasParameter(u"ImproperShutdown"));
    EXPECT_EQ(ParameterDword(u"TickCounter"), ParameterDword(u"TickCounter", probe));

    qm::BootReport next = BootClean();
    EXPECT_FALSE(next.improperShutdownDetected);
}

} // namespace
