/*
 * staging_test.cpp - qelmbar schedule, package, status, install and
 * uninstall on machine directories and bare SYSTEM hive files, driven as a
 * user drives them, with the hive files read back by the machine layer and
 * booted with the driver to prove it reads what was staged; and the
 * targets' all-or-nothing changes held to their word.
 */
#include "machine/machine.h"
#include "simkernel/registry.h"
#include "tests/support/kernel_test.h"
#include "tests/support/tool_run.h"
#include "tools/lib/staging.h"
#include "tools/lib/staging_state.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using qelmbar::test::ToolOutcome;
using qm::Hive;

const std::u16string kService = u"CurrentControlSet\\Services\\Qelmbar";
const std::u16string kParameters = kService + u"\\Parameters";

using qelmbar::test::Contains;
using qelmbar::test::ReadWholeFile;

class StagingProgramTest : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        machine_ = (dir_ / "m").string();
        std::string error;
        ASSERT_TRUE(qm::CreateMachine(machine_, &error)) << error;
        system_ = qm::HiveFilePath(machine_, Hive::System);
    }

    ToolOutcome OnMachine(std::vector<std::string> args)
    {
        args.push_back("--machine");
        args.push_back(machine_);
        return Run(args);
    }

    std::optional<qm::MachineValue> Parameter(const std::u16string &name,
                                              const std::u16string &below = u"")
    {
        return qm::ReadMachineValue(machine_, Hive::System,
                                    below.empty() ? kParameters : kParameters + u"\\" + below, name);
    }

    qm::BootReport Boot(const qm::BootOptions &options = qm::BootOptions())
    {
        qm::BootReport report;
        EXPECT_TRUE(qm::Boot(machine_, options, &report)) << report.Summary();
        EXPECT_TRUE(report.violations.empty()) << report.Summary();
        return report;
    }

    bool OnVolume(const std::string &relative)
    {
        return fs::exists(fs::path(qm::VolumeRoot(machine_)) / relative);
    }

    std::string machine_;
    std::string system_;
};

#define EXPECT_OUTCOME(status, outcome) \
    EXPECT_EQ((outcome).Status, status) << "stdout:\n" << (outcome).Out << "stderr:\n" << (outcome).Err

/* ---- options ---------------------------------------------------------- */

TEST_F(StagingProgramTest, EveryCommandExplainsItselfAndWantsExactlyOneTarget)
{
    for (const char *command : { "schedule", "package", "status", "install", "uninstall" }) {
        ToolOutcome help = Run({ command, "--help" });
        EXPECT_OUTCOME(0, help);
        EXPECT_EQ(help.Out.rfind(std::string("Usage: qelmbar ") + command, 0), 0u) << help.Out;
        EXPECT_TRUE(Contains(help.Out, "--machine DIR")) << command;
        EXPECT_TRUE(Contains(help.Out, "Exit status:")) << command;
        EXPECT_EQ(help.Err, "");
        EXPECT_TRUE(Contains(Run({ "--help" }).Out, std::string("\n  ") + command + " ")) << command;
    }
    std::string script = Write("s.qbs", "CreateDir(\"\\??\\C:\\A\")\n");

    ToolOutcome none = Run({ "status" });
    EXPECT_OUTCOME(2, none);
    EXPECT_EQ(none.Err, "qelmbar: status: no target given: choose --machine DIR or --hive FILE\n"
                        "Try 'qelmbar status --help' for more information.\n");
    EXPECT_TRUE(Contains(Run({ "status", "--machine", machine_, "--hive", system_ }).Err,
                    "choose one target"));
    ToolOutcome live = Run({ "install", "--live" });
    EXPECT_OUTCOME(2, live);
    EXPECT_TRUE(Contains(live.Err, "--live works only in the Windows build")) << live.Err;

    EXPECT_OUTCOME(2, OnMachine({ "schedule" }));
    EXPECT_OUTCOME(2, OnMachine({ "schedule", "--clear", script }));
    EXPECT_OUTCOME(2, OnMachine({ "package", "add", "p" }));
    EXPECT_OUTCOME(2, OnMachine({ "package", "install", "p" }));
    EXPECT_OUTCOME(2, OnMachine({ "package", "remove", "p", "--setup", script }));
    EXPECT_OUTCOME(2, OnMachine({ "package", "add", "p", "--setup", script, "--force" }));
    ToolOutcome big = OnMachine({ "package", "add", "p", "--setup", script, "--boot-timeout", "4294967296" });
    EXPECT_OUTCOME(2, big);
    EXPECT_TRUE(Contains(big.Err, "from 0 to 4294967295")) << big.Err;
    EXPECT_OUTCOME(2, OnMachine({ "status", "extra" }));
}

TEST_F(StagingProgramTest, PackageNamesAreOneRegistryKeyName)
{
    std::string script = Write("s.qbs", "CreateDir(\"\\??\\C:\\A\")\n");
    for (const std::string &name : { std::string(), std::string("a\\b"), std::string("tab\there"),
                                     std::string(256, 'n') }) {
        ToolOutcome refused = OnMachine({ "package", "add", name, "--setup", script });
        EXPECT_OUTCOME(2, refused);
        EXPECT_TRUE(Contains(refused.Err, "qelmbar: package add: a package name")) << refused.Err;
    }
    std::string longest(255, 'n');
    EXPECT_OUTCOME(0, OnMachine({ "package", "add", longest, "--setup", script }));
    EXPECT_OUTCOME(0, OnMachine({ "package", "add", "Ünïcode name", "--setup", script }));
    EXPECT_EQ(qm::ReadMachineKeys(machine_, Hive::System, kParameters),
              (std::vector<std::u16string>{ std::u16string(255, u'n'), u"Ünïcode name" }));
}

/* ---- schedule --------------------------------------------------------- */

TEST_F(StagingProgramTest, ScheduleAppendsSoTheNextBootRunsBothInstallersScriptsOnce)
{
    std::string first = Write("first.qbs", "CreateDir(\"\\??\\C:\\First\")\n\n  \n");
    std::string second = Write("second.qbs", "CreateDir(\"\\??\\C:\\Second\")\r\n"
                                             "CreateDir(\"\\??\\C:\\Second\\Inner\")\n");
    ToolOutcome one = OnMachine({ "schedule", first });
    EXPECT_OUTCOME(0, one);
    EXPECT_EQ(one.Out, "machine " + machine_ + ": 1 operation staged for the next boot (1 added)\n");
    ToolOutcome two = OnMachine({ "schedule", second });
    EXPECT_OUTCOME(0, two);
    EXPECT_EQ(two.Out, "machine " + machine_ +
                           ": 3 operations staged for the next boot (2 added after the 1 already "
                           "staged)\n");

    std::optional<qm::MachineValue> list = Parameter(u"BootTimeOperationsList");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->type, (ULONG)REG_MULTI_SZ);
    EXPECT_EQ(list->data, qm::MultiStringData({ u"CreateDir(\"\\??\\C:\\First\")",
                                                u"CreateDir(\"\\??\\C:\\Second\")",
                                                u"CreateDir(\"\\??\\C:\\Second\\Inner\")" }))
        << "blank lines and carriage returns stay out of the driver's strings";

    qm::BootReport report = Boot();
    EXPECT_EQ(report.lastStage, qm::BootStage::HivesFlushed) << report.Summary();
    EXPECT_TRUE(OnVolume("First"));
    EXPECT_TRUE(OnVolume("Second/Inner"));
    EXPECT_FALSE(Parameter(u"BootTimeOperationsList")) << "the driver deletes what it ran";

    ToolOutcome status = OnMachine({ "status" });
    EXPECT_TRUE(Contains(status.Out, "One-shot list: none\n")) << status.Out;
}

TEST_F(StagingProgramTest, ScheduleReplacesOrClearsTheListOnlyWhenAsked)
{
    std::string first = Write("first.qbs", "CreateDir(\"\\??\\C:\\First\")\n");
    std::string second = Write("second.qbs", "CreateDir(\"\\??\\C:\\Second\")\n");
    EXPECT_OUTCOME(0, OnMachine({ "schedule", first }));
    ToolOutcome replaced = OnMachine({ "schedule", "--replace", "--json", second });
    EXPECT_OUTCOME(0, replaced);
    EXPECT_EQ(replaced.Out,
              "{\"target\":{\"kind\":\"machine\",\"location\":\"" + machine_ +
                  "\"},\"mode\":\"replace\",\"written\":true,\"kept\":0,\"replaced\":1,\"added\":1,"
                  "\"operations\":1,\"files\":[{\"path\":\"" + second + "\",\"operations\":1}]}\n");
    EXPECT_EQ(qm::AsMultiString(Parameter(u"BootTimeOperationsList")),
              (std::vector<std::u16string>{ u"CreateDir(\"\\??\\C:\\Second\")" }));

    std::string empty = Write("empty.qbs", "\n");
    std::string before = ReadWholeFile(system_);
    ToolOutcome nothing = OnMachine({ "schedule", empty });
    EXPECT_OUTCOME(0, nothing);
    EXPECT_TRUE(Contains(nothing.Out, "nothing to schedule")) << nothing.Out;
    EXPECT_EQ(ReadWholeFile(system_), before) << "nothing to write is no write";

    ToolOutcome cleared = OnMachine({ "schedule", "--clear" });
    EXPECT_OUTCOME(0, cleared);
    EXPECT_EQ(cleared.Out, "machine " + machine_ + ": removed the one-shot list (1 operation)\n");
    EXPECT_FALSE(Parameter(u"BootTimeOperationsList"));
    ToolOutcome again = OnMachine({ "schedule", "--clear" });
    EXPECT_OUTCOME(0, again);
    EXPECT_EQ(again.Out, "machine " + machine_ + ": no one-shot list is staged\n");
}

TEST_F(StagingProgramTest, RefusedScriptsAreReportedAsCheckReportsThemAndNothingIsWritten)
{
    std::string good = Write("good.qbs", "CreateDir(\"\\??\\C:\\Good\")\n");
    std::string bad = Write("bad.qbs", "CreateDir(\"\\??\\C:\\A\")\nDeleteFile(\"\\??\\C:\\x\", true)\n");
    ToolOutcome check = Run({ "check", bad });
    ASSERT_EQ(check.Status, 1);
    ASSERT_TRUE(Contains(check.Err, "bad.qbs:2:")) << check.Err;
    const std::string before = ReadWholeFile(system_);

    ToolOutcome scheduled = OnMachine({ "schedule", good, bad });
    EXPECT_OUTCOME(1, scheduled);
    EXPECT_EQ(scheduled.Err, check.Err + "qelmbar: nothing was scheduled\n");
    EXPECT_EQ(scheduled.Out, "");

    ToolOutcome package = OnMachine({ "package", "add", "p", "--setup", good, "--clean", bad });
    EXPECT_OUTCOME(1, package);
    EXPECT_EQ(package.Err, check.Err + "qelmbar: package p was not staged\n");

    ToolOutcome missing = OnMachine({ "schedule", (dir_ / "missing.qbs").string() });
    EXPECT_OUTCOME(2, missing);
    EXPECT_TRUE(Contains(missing.Err, "cannot read")) << missing.Err;
    std::string utf16 = Write("utf16.qbs", std::string("\xFF\xFE" "C\0", 4));
    ToolOutcome wide = OnMachine({ "schedule", good, utf16 });
    EXPECT_OUTCOME(1, wide) << "a file the driver cannot be handed is refused as check refuses it";
    EXPECT_EQ(wide.Err, Run({ "check", utf16 }).Err + "qelmbar: nothing was scheduled\n");

    EXPECT_EQ(ReadWholeFile(system_), before);
}

TEST_F(StagingProgramTest, AListTheDriverWouldNotRunIsNeitherAppendedToNorLostUnasked)
{
    std::string script = Write("s.qbs", "CreateDir(\"\\??\\C:\\New\")\n");
    std::string error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, kParameters, u"BootTimeOperationsList",
                                    REG_SZ, qm::StringData(u"CreateDir(\"x\")"), &error))
        << error;
    std::string before = ReadWholeFile(system_);
    ToolOutcome wrongType = OnMachine({ "schedule", script });
    EXPECT_OUTCOME(1, wrongType);
    EXPECT_TRUE(Contains(wrongType.Err, "is REG_SZ, which the driver deletes without running it; use "
                                   "--replace")) << wrongType.Err;
    EXPECT_EQ(ReadWholeFile(system_), before);

    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, kParameters, u"BootTimeOperationsList",
                                    REG_MULTI_SZ, qm::MultiStringData({ u"CreatDir(\"x\")" }), &error))
        << error;
    ToolOutcome refused = OnMachine({ "schedule", script });
    EXPECT_OUTCOME(1, refused);
    EXPECT_TRUE(Contains(refused.Err, "is refused by the driver parser (STATUS_DATA_OVERRUN (0xC000003C))"))
        << refused.Err;
    ToolOutcome status = OnMachine({ "status" });
    EXPECT_TRUE(Contains(status.Out, "One-shot list: refused by the driver parser: STATUS_DATA_OVERRUN"))
        << status.Out;

    EXPECT_OUTCOME(0, OnMachine({ "schedule", "--replace", script }));
    EXPECT_EQ(qm::AsMultiString(Parameter(u"BootTimeOperationsList")),
              (std::vector<std::u16string>{ u"CreateDir(\"\\??\\C:\\New\")" }));
}

TEST_F(StagingProgramTest, AWriteOfOneScriptOvertakenByAnotherIsWarnedAbout)
{
    std::string write = Write("write.qbs", "CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App\")\n");
    std::string copy = Write("copy.qbs",
                             "\nCopyKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\", "
                             "\"\\REGISTRY\\MACHINE\\SYSTEM\\Backup\", false)\n");
    const std::string tail = " may be deferred until the Win32 subsystem starts, and then runs "
                             "after ";
    ToolOutcome both = OnMachine({ "schedule", write, copy });
    EXPECT_OUTCOME(0, both);
    EXPECT_EQ(both.Err, write + ":1: warning: this write to \\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App" +
                            tail + copy + ":2, which works on the enclosing key "
                            "\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\n");

    /* The first installer's write is staged already; the second's copy
     * still overtakes it. */
    EXPECT_OUTCOME(0, OnMachine({ "schedule", "--replace", write }));
    ToolOutcome later = OnMachine({ "schedule", copy });
    EXPECT_OUTCOME(0, later);
    EXPECT_EQ(later.Err, "BootTimeOperationsList, operation 1: warning: this write to "
                         "\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App" +
                             tail + copy + ":2, which works on the enclosing key "
                             "\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\n");
}

/* ---- packages --------------------------------------------------------- */

TEST_F(StagingProgramTest, APackageIsStagedAsTheDriverReadsItAndOnceSetUpIsKept)
{
    std::string setup = Write("setup.qbs", "CreateDir(\"\\??\\C:\\Pkg\")\n");
    std::string revert = Write("revert.qbs", "RemoveDir(\"\\??\\C:\\Pkg\", true, true)\n\n");
    std::string clean = Write("clean.qbs", "CreateDir(\"\\??\\C:\\Clean\")\n");
    ToolOutcome added = OnMachine({ "package", "add", "app", "--setup", setup, "--revert", revert,
                                    "--clean", clean, "--boot-timeout", "2", "--tick-timeout", "30" });
    EXPECT_OUTCOME(0, added);
    EXPECT_EQ(added.Out, "machine " + machine_ +
                             ": package app staged: setup 1, revert 1, clean 1 operations; commit "
                             "once 2 boots and 30 s of uptime have followed the setup\n");

    std::optional<qm::MachineValue> marker = Parameter(u"", u"app");
    ASSERT_TRUE(marker);
    EXPECT_EQ(marker->type, (ULONG)REG_SZ);
    EXPECT_EQ(marker->data, qm::StringData(u"Package"));
    EXPECT_EQ(Parameter(u"SetupOperations", u"app")->data,
              qm::MultiStringData({ u"CreateDir(\"\\??\\C:\\Pkg\")" }));
    EXPECT_EQ(qm::AsMultiString(Parameter(u"RevertOperations", u"app")),
              (std::vector<std::u16string>{ u"RemoveDir(\"\\??\\C:\\Pkg\", true, true)" }));
    EXPECT_EQ(qm::AsDword(Parameter(u"BootTimeout", u"app")), 2u);
    EXPECT_EQ(qm::AsDword(Parameter(u"TickTimeout", u"app")), 30u);
    EXPECT_EQ(qm::ReadMachineValueNames(machine_, Hive::System, kParameters + u"\\app")->size(), 6u)
        << "no start counters, no error: the driver writes those";

    Boot();
    EXPECT_TRUE(OnVolume("Pkg")) << "the setup ran";
    EXPECT_EQ(qm::AsDword(Parameter(u"StartBootCounter", u"app")), 1u);
    ToolOutcome status = OnMachine({ "status", "--json" });
    EXPECT_TRUE(Contains(status.Out, "{\"name\":\"app\",\"state\":\"Package\",\"package\":true,"
                                "\"setUp\":true,\"startBootCounter\":1,"))
        << status.Out;

    const std::string before = ReadWholeFile(system_);
    ToolOutcome replaced = OnMachine({ "package", "add", "APP", "--setup", setup, "--replace" });
    EXPECT_OUTCOME(1, replaced);
    EXPECT_TRUE(Contains(replaced.Err, "package app on machine " + machine_ +
                                      " has been set up and waits to be committed or reverted"))
        << replaced.Err;
    EXPECT_OUTCOME(1, OnMachine({ "package", "remove", "app" }));
    EXPECT_OUTCOME(1, OnMachine({ "uninstall" }));
    EXPECT_EQ(ReadWholeFile(system_), before);

    ToolOutcome forced = OnMachine({ "package", "remove", "App", "--force" });
    EXPECT_OUTCOME(0, forced);
    EXPECT_EQ(forced.Out, "machine " + machine_ + ": removed a package whose setup has run named app\n");
    EXPECT_EQ(forced.Err, "qelmbar: warning: the setup of package app has run and its revert never will\n");
    EXPECT_FALSE(qm::MachineKeyExists(machine_, Hive::System, kParameters + u"\\app"));
    EXPECT_OUTCOME(1, OnMachine({ "package", "remove", "app" }));
}

TEST_F(StagingProgramTest, AnExistingKeyIsReplacedOnlyWhenAsked)
{
    std::string setup = Write("setup.qbs", "CreateDir(\"\\??\\C:\\Pkg\")\n");
    std::string revert = Write("revert.qbs", "RemoveDir(\"\\??\\C:\\Pkg\", true, true)\n");
    EXPECT_OUTCOME(0, OnMachine({ "package", "add", "app", "--setup", setup, "--revert", revert }));
    ToolOutcome twice = OnMachine({ "package", "add", "APP", "--setup", setup });
    EXPECT_OUTCOME(1, twice);
    EXPECT_EQ(twice.Err, "qelmbar: machine " + machine_ +
                             " already holds a package not set up yet named app; use --replace to "
                             "stage the new one instead\n");

    ToolOutcome replaced = OnMachine({ "package", "add", "APP", "--setup", setup, "--json" });
    EXPECT_OUTCOME(1, replaced);
    replaced = OnMachine({ "package", "add", "APP", "--setup", setup, "--replace", "--json" });
    EXPECT_OUTCOME(0, replaced);
    EXPECT_TRUE(Contains(replaced.Out, "\"package\":\"APP\",\"replaced\":true,\"operations\":{\"setup\":1,"
                                  "\"revert\":0,\"clean\":0}"))
        << replaced.Out;
    EXPECT_EQ(qm::ReadMachineKeys(machine_, Hive::System, kParameters),
              (std::vector<std::u16string>{ u"APP" }));
    EXPECT_FALSE(Parameter(u"RevertOperations", u"APP")) << "nothing of the old package is kept";

    /* A finished package's key, and one that is no package at all. */
    std::string error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, kParameters + u"\\old", u"", REG_SZ,
                                    qm::StringData(u"Commited"), &error));
    ASSERT_TRUE(qm::CreateMachineKey(machine_, Hive::System, kParameters + u"\\bare", &error));
    ToolOutcome finished = OnMachine({ "package", "add", "old", "--setup", setup });
    EXPECT_OUTCOME(1, finished);
    EXPECT_TRUE(Contains(finished.Err, "holds a key in state \"Commited\" named old")) << finished.Err;
    EXPECT_TRUE(Contains(OnMachine({ "package", "add", "bare", "--setup", setup }).Err,
                    "holds a key that is no package named bare"));
    EXPECT_OUTCOME(0, OnMachine({ "package", "add", "old", "--setup", setup, "--replace" }));
    EXPECT_EQ(qm::AsString(Parameter(u"", u"old")), u"Package");
    EXPECT_OUTCOME(0, OnMachine({ "package", "remove", "bare" }));
}

/* ---- status ----------------------------------------------------------- */

TEST_F(StagingProgramTest, StatusShowsCountersMarkerListAndPackagesAsTheDriverSeesThem)
{
    std::string setup = Write("setup.qbs", "CreateDir(\"\\??\\C:\\Pkg\")\n");
    std::string list = Write("list.qbs", "CreateDir(\"\\??\\C:\\A\")\nCreateDir(\"\\??\\C:\\B\")\n");
    EXPECT_OUTCOME(0, OnMachine({ "package", "add", "good", "--setup", setup }));
    EXPECT_OUTCOME(0, OnMachine({ "package", "add", "bad", "--setup", setup }));
    std::string error;
    ASSERT_TRUE(qm::EditMachineHive(
        machine_, Hive::System,
        [](const std::u16string &root) {
            NTSTATUS status = sk::RegSetQword(root + u"\\ControlSet001\\Services\\Qelmbar\\Parameters\\bad",
                                              u"TickTimeout", 30);
            return NT_SUCCESS(status) ? std::string() : "TickTimeout";
        },
        &error))
        << error;
    EXPECT_OUTCOME(0, OnMachine({ "schedule", list }));

    ToolOutcome before = OnMachine({ "status", "--json" });
    EXPECT_OUTCOME(0, before);
    EXPECT_TRUE(Contains(before.Out, "\"service\":{\"installed\":true,\"bootStartDriver\":true,\"type\":1,"
                                "\"start\":0,\"errorControl\":1,\"group\":\"Boot Bus Extender\","
                                "\"imagePath\":\"System32\\\\drivers\\\\qelmbar.sys\"}"))
        << before.Out;
    EXPECT_TRUE(Contains(before.Out, "\"oneShotList\":{\"present\":true,\"type\":\"REG_MULTI_SZ\","
                                "\"parses\":true,\"operations\":2,\"refusal\":null}"))
        << before.Out;
    EXPECT_TRUE(Contains(before.Out, "\"problem\":{\"reason\":\"TickTimeout is REG_QWORD, not REG_DWORD\","
                                "\"status\":{\"code\":3221225659,\"hex\":\"0xC00000BB\","
                                "\"name\":\"STATUS_NOT_SUPPORTED\"}}"))
        << before.Out;
    EXPECT_TRUE(Contains(before.Out, "\"stagedPackages\":2,")) << before.Out;

    /* A boot that loses its power once the system has run: the marker
     * stays, and the counters hold what the driver flushed. */
    qm::BootOptions options;
    options.powerLoss = qm::PowerLoss::AfterUptime();
    Boot(options);
    std::optional<ULONG> boots = qm::AsDword(Parameter(u"BootCounter"));
    ASSERT_TRUE(boots);
    ToolOutcome after = OnMachine({ "status", "--json" });
    EXPECT_TRUE(Contains(after.Out, "\"parameters\":{\"present\":true,\"bootCounter\":" +
                                   std::to_string(*boots) +
                                   ",\"tickCounter\":null,\"improperShutdown\":true,"))
        << after.Out;
    EXPECT_TRUE(Contains(after.Out, "\"oneShotList\":{\"present\":false,")) << after.Out;
    EXPECT_TRUE(Contains(after.Out, "{\"name\":\"bad\",\"state\":\"Corrupted\",\"package\":false,"))
        << after.Out;
    EXPECT_TRUE(Contains(after.Out, "\"lastPackageError\":{\"code\":3221225659,\"hex\":\"0xC00000BB\","
                               "\"name\":\"STATUS_NOT_SUPPORTED\"},\"problem\":null,"
                               "\"lastRunResults\":null}"))
        << after.Out;
    EXPECT_TRUE(Contains(after.Out, "\"stagedPackages\":1,")) << after.Out;

    ToolOutcome text = OnMachine({ "status" });
    EXPECT_OUTCOME(0, text);
    EXPECT_TRUE(Contains(text.Out, "ImproperShutdown marker: present")) << text.Out;
    EXPECT_TRUE(Contains(text.Out, "  bad: \"Corrupted\"; finished; the driver no longer runs it\n"
                              "    setup 1 operation, revert none, clean none\n"
                              "    LastPackageError STATUS_NOT_SUPPORTED (0xC00000BB)\n"))
        << text.Out;
    EXPECT_TRUE(Contains(text.Out, "  good: \"Package\"; set up at boot " + std::to_string(*boots)))
        << text.Out;
}

/* ---- install and uninstall -------------------------------------------- */

TEST_F(StagingProgramTest, InstallWritesABootStartServiceAndUninstallKeepsStagedWork)
{
    const std::string hive = (dir_ / "SYSTEM").string();
    fs::copy_file(system_, hive);
    std::string script = Write("s.qbs", "CreateDir(\"\\??\\C:\\A\")\n");

    EXPECT_OUTCOME(0, Run({ "uninstall", "--hive", hive }));
    EXPECT_FALSE(qm::ReadHiveFileKey(hive, Hive::System, kService).key);
    EXPECT_TRUE(Contains(Run({ "status", "--hive", hive }).Out, "Service: not installed\n"));
    ToolOutcome notInstalled = Run({ "schedule", script, "--hive", hive });
    EXPECT_OUTCOME(1, notInstalled);
    EXPECT_EQ(notInstalled.Err, "qelmbar: the driver is not installed on hive " + hive +
                                    "; run 'qelmbar install' first\n");
    EXPECT_OUTCOME(1, Run({ "package", "add", "p", "--setup", script, "--hive", hive }));
    ToolOutcome gone = Run({ "uninstall", "--hive", hive });
    EXPECT_EQ(gone.Out, "hive " + hive + ": the driver is not installed\n");

    ToolOutcome install = Run({ "install", "--hive", hive, "--json" });
    EXPECT_OUTCOME(0, install);
    EXPECT_EQ(install.Out, "{\"target\":{\"kind\":\"hive\",\"location\":\"" + hive +
                               "\"},\"controlSet\":\"ControlSet001\",\"wasInstalled\":false,"
                               "\"written\":[\"ImagePath\",\"Type\",\"ErrorControl\",\"Group\","
                               "\"Start\"],\"image\":{\"path\":null,\"present\":null}}\n");
    qm::HiveFileRead service = qm::ReadHiveFileKey(hive, Hive::System, kService);
    ASSERT_TRUE(service.key);
    std::vector<std::pair<std::u16string, qm::MachineValue>> expected = {
        { u"ImagePath", { REG_EXPAND_SZ, qm::StringData(u"\\SystemRoot\\System32\\drivers\\qelmbar.sys") } },
        { u"Type", { REG_DWORD, qm::DwordData(1) } },
        { u"ErrorControl", { REG_DWORD, qm::DwordData(1) } },
        { u"Group", { REG_SZ, qm::StringData(u"Boot Bus Extender") } },
        { u"Start", { REG_DWORD, qm::DwordData(0) } },
    };
    ASSERT_EQ(service.key->values.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(service.key->values[i].first, expected[i].first);
        EXPECT_EQ(service.key->values[i].second.type, expected[i].second.type);
        EXPECT_EQ(service.key->values[i].second.data, expected[i].second.data);
    }
    const std::string installed = ReadWholeFile(hive);
    ToolOutcome again = Run({ "install", "--hive", hive });
    EXPECT_EQ(again.Out, "hive " + hive + ": the driver is already installed as a boot-start service\n");
    EXPECT_EQ(ReadWholeFile(hive), installed) << "nothing to change is no write";

    EXPECT_OUTCOME(0, Run({ "schedule", script, "--hive", hive }));
    EXPECT_OUTCOME(0, Run({ "package", "add", "p", "--setup", script, "--hive", hive }));
    const std::string staged = ReadWholeFile(hive);
    ToolOutcome refused = Run({ "uninstall", "--hive", hive });
    EXPECT_OUTCOME(1, refused);
    EXPECT_TRUE(Contains(refused.Err, "holds a one-shot list and 1 package for the driver")) << refused.Err;
    EXPECT_EQ(ReadWholeFile(hive), staged);
    ToolOutcome forced = Run({ "uninstall", "--hive", hive, "--force" });
    EXPECT_OUTCOME(0, forced);
    EXPECT_EQ(forced.Err, "qelmbar: warning: a one-shot list and 1 package staged for the driver "
                          "were discarded\n");
    EXPECT_FALSE(qm::ReadHiveFileKey(hive, Hive::System, kService).key);

    /* A finished package alone does not hold an uninstall back. */
    EXPECT_OUTCOME(0, OnMachine({ "package", "add", "p", "--setup", script }));
    std::string error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, kParameters + u"\\p", u"", REG_SZ,
                                    qm::StringData(u"Reverted"), &error));
    EXPECT_OUTCOME(0, OnMachine({ "uninstall" }));
}

TEST_F(StagingProgramTest, InstallKeepsOtherValuesAndWarnsOfAMissingImage)
{
    std::string error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, kService, u"Start", REG_DWORD,
                                    qm::DwordData(3), &error));
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, kService, u"DisplayName", REG_SZ,
                                    qm::StringData(u"Qelmbar"), &error));
    EXPECT_TRUE(Contains(OnMachine({ "status" }).Out,
                    "Service: installed, but not as a boot-start driver from qelmbar.sys"));
    fs::remove(fs::path(qm::VolumeRoot(machine_)) / "Windows/System32/drivers/qelmbar.sys");

    ToolOutcome install = OnMachine({ "install" });
    EXPECT_OUTCOME(0, install);
    EXPECT_EQ(install.Out, "machine " + machine_ +
                               ": the driver is now installed as a boot-start service in "
                               "ControlSet001\\Services\\Qelmbar (Start written)\n");
    EXPECT_TRUE(Contains(install.Err, "qelmbar: warning: ")) << install.Err;
    EXPECT_TRUE(Contains(install.Err, "qelmbar.sys is missing")) << install.Err;
    EXPECT_EQ(qm::AsDword(qm::ReadMachineValue(machine_, Hive::System, kService, u"Start")), 0u);
    EXPECT_EQ(qm::AsString(qm::ReadMachineValue(machine_, Hive::System, kService, u"DisplayName")),
              u"Qelmbar");
    EXPECT_EQ(qm::AsString(qm::ReadMachineValue(machine_, Hive::System, kService, u"ImagePath")),
              u"System32\\drivers\\qelmbar.sys")
        << "the same image named relative to the Windows directory is kept";
}

/* ---- hive files ------------------------------------------------------- */

TEST_F(StagingProgramTest, AHiveFileIsChangedInTheControlSetSelectCurrentNames)
{
    const std::string hive = (dir_ / "image" / "SYSTEM").string();
    fs::create_directories(dir_ / "image");
    fs::copy_file(system_, hive);
    std::string error;
    ASSERT_TRUE(qm::EditHiveFile(
        hive, Hive::System,
        [](const std::u16string &root) {
            NTSTATUS status = sk::RegSetDword(root + u"\\Select", u"Current", 2);
            if (NT_SUCCESS(status))
                status = sk::RegCreateKey(root + u"\\ControlSet002\\Services\\Other");
            return NT_SUCCESS(status) ? std::string() : "setting up ControlSet002";
        },
        &error))
        << error;
    const std::string link = (dir_ / "link-to-SYSTEM").string();
    fs::create_symlink(hive, link);

    EXPECT_TRUE(Contains(Run({ "status", "--hive", link }).Out,
                    "(ControlSet002)\nService: not installed\n"));
    EXPECT_OUTCOME(0, Run({ "install", "--hive", link }));
    EXPECT_TRUE(fs::is_symlink(link)) << "the file the link names is replaced, not the link";
    EXPECT_TRUE(qm::ReadHiveFileKey(hive, Hive::System, u"ControlSet002\\Services\\Qelmbar").key);
    EXPECT_EQ(qm::AsString(qm::ReadMachineValue(machine_, Hive::System,
                                                u"ControlSet001\\Services\\Qelmbar", u"ImagePath")),
              u"System32\\drivers\\qelmbar.sys");
    qm::HiveFileRead old = qm::ReadHiveFileKey(hive, Hive::System, u"ControlSet001\\Services\\Qelmbar");
    ASSERT_TRUE(old.key);
    EXPECT_EQ(old.key->values.size(), 5u) << "the other control set is left alone";

    ASSERT_TRUE(qm::EditHiveFile(
        hive, Hive::System,
        [](const std::u16string &root) -> std::string {
            return NT_SUCCESS(sk::RegSetDword(root + u"\\Select", u"Current", 3)) ? "" : "Select";
        },
        &error));
    ToolOutcome noSet = Run({ "install", "--hive", hive });
    EXPECT_OUTCOME(1, noSet);
    EXPECT_EQ(noSet.Err, "qelmbar: hive " + hive +
                             " has no ControlSet003\\Services key to install into; is it a SYSTEM "
                             "hive?\n");
}

TEST_F(StagingProgramTest, FilesThatAreNoHiveAreReportedAndLeftAlone)
{
    std::string text = Write("notes.txt", "not a hive\n");
    ToolOutcome status = Run({ "status", "--hive", text });
    EXPECT_OUTCOME(2, status);
    EXPECT_EQ(status.Err, "qelmbar: cannot read hive " + text + ": " + text +
                              ": STATUS_NOT_REGISTRY_FILE (0xC000015C)\n");
    EXPECT_OUTCOME(2, Run({ "install", "--hive", text }));
    EXPECT_EQ(ReadWholeFile(text), "not a hive\n");
    ToolOutcome missing = Run({ "status", "--machine", (dir_ / "nowhere").string() });
    EXPECT_OUTCOME(2, missing);
    EXPECT_TRUE(Contains(missing.Err, "qelmbar: cannot read machine ")) << missing.Err;
}

/* ---- the targets' changes --------------------------------------------- */

class StagingTargetTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        dir_ = qelmbar::test::FreshTestDirectory();
        std::string error;
        ASSERT_TRUE(qm::CreateMachine((dir_ / "m").string(), &error)) << error;
        fs::copy_file(qm::HiveFilePath((dir_ / "m").string(), Hive::System), dir_ / "SYSTEM");
    }
    void TearDown() override
    {
        fs::remove_all(dir_);
        KernelTest::TearDown();
    }

    /* The machine's target and the bare hive file's. */
    std::vector<std::pair<std::unique_ptr<qelmbar::staging::Target>, std::string>> Targets()
    {
        std::vector<std::pair<std::unique_ptr<qelmbar::staging::Target>, std::string>> targets;
        std::string error;
        qelmbar::staging::TargetChoice machine;
        machine.MachineDir = (dir_ / "m").string();
        targets.emplace_back(qelmbar::staging::OpenTarget(machine, &error),
                             qm::HiveFilePath(machine.MachineDir, Hive::System));
        qelmbar::staging::TargetChoice hive;
        hive.HiveFile = (dir_ / "SYSTEM").string();
        targets.emplace_back(qelmbar::staging::OpenTarget(hive, &error), hive.HiveFile);
        return targets;
    }

    fs::path dir_;
};

TEST_F(StagingTargetTest, AChangeIsAppliedWholeOrNotAtAll)
{
    using namespace qelmbar::staging;
    for (auto &[target, file] : Targets()) {
        ASSERT_TRUE(target) << file;
        const std::string before = ReadWholeFile(file);
        std::string error;

        Change failing;
        failing.CreateKey(u"Qelmbar\\Parameters\\p");
        failing.SetValue(u"Qelmbar\\Parameters\\p", u"", kTypeSz, StringBytes(u"Package"));
        failing.DeleteValue(u"Qelmbar\\Parameters", u"NoSuchValue");
        EXPECT_FALSE(target->Apply(failing, &error)) << file;
        EXPECT_TRUE(Contains(error, "STATUS_OBJECT_NAME_NOT_FOUND")) << error;
        EXPECT_EQ(ReadWholeFile(file), before) << "a failed step leaves the file as it was";

        Snapshot snapshot;
        ASSERT_TRUE(target->Read(&snapshot, &error)) << error;
        ASSERT_TRUE(snapshot.Service);
        const Value *type = snapshot.Service->FindValue(u"TYPE");
        ASSERT_TRUE(type);
        Value other = *type;
        other.Data = DwordBytes(2);
        Change stale;
        stale.ExpectValue(u"Qelmbar", u"Type", &other);
        stale.SetValue(u"Qelmbar", u"Start", kTypeDword, DwordBytes(4));
        EXPECT_FALSE(target->Apply(stale, &error));
        EXPECT_EQ(error, "the value \"Type\" of Qelmbar changed while qelmbar was working; nothing "
                         "was written, try again");
        Change absent;
        absent.ExpectKey(u"Qelmbar\\Parameters", true);
        EXPECT_FALSE(target->Apply(absent, &error));
        EXPECT_EQ(ReadWholeFile(file), before);

        Change whole;
        whole.ExpectValue(u"Qelmbar", u"Type", type);
        whole.ExpectKey(u"Qelmbar\\Parameters", false);
        whole.CreateKey(u"Qelmbar\\Parameters\\p");
        whole.SetValue(u"Qelmbar\\Parameters\\p", u"SetupOperations", kTypeMultiSz,
                       MultiStringBytes({ u"CreateDir(\"\\??\\C:\\A\")", u"CreatDir(\"x\")" }));
        whole.SetValue(u"Qelmbar\\Parameters\\p", u"", kTypeSz, StringBytes(u"Package"));
        ASSERT_TRUE(target->Apply(whole, &error)) << error;
        ASSERT_TRUE(target->Read(&snapshot, &error)) << error;
        DriverState state = InterpretSnapshot(snapshot);
        ASSERT_EQ(state.Packages.size(), 1u);
        EXPECT_TRUE(state.Packages[0].IsPackage);
        EXPECT_FALSE(state.Packages[0].Setup.Parses);
        EXPECT_STATUS(STATUS_DATA_OVERRUN, state.Packages[0].ProblemStatus);
        EXPECT_EQ(state.Packages[0].Problem, "SetupOperations is refused by the driver parser");

        Change away;
        away.DeleteTree(u"Qelmbar");
        ASSERT_TRUE(target->Apply(away, &error)) << error;
        ASSERT_TRUE(target->Read(&snapshot, &error)) << error;
        EXPECT_FALSE(snapshot.Service);
        EXPECT_TRUE(snapshot.ServicesExists);
        EXPECT_EQ(snapshot.ControlSet, "ControlSet001");
    }
}

} // namespace
