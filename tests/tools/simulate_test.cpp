/*
 * simulate_test.cpp - qelmbar simulate as a user runs it: machines with a
 * one-shot list and packages booted once or several times, with and
 * without power losses, and what the report says each operation did,
 * held against what the machine's files and hives hold afterwards.
 */
#include "machine/machine.h"
#include "tests/support/tool_run.h"

#include <regex>

namespace {

namespace fs = std::filesystem;
using qelmbar::test::ToolOutcome;
using qm::Hive;

std::u16string CopyFileOp(const std::u16string &from, const std::u16string &to)
{
    return u"CopyFile(\"\\??\\C:\\" + from + u"\", \"\\??\\C:\\" + to + u"\", false)";
}

/* A write into SOFTWARE, which is not loaded when the boot pass runs. */
const std::u16string kSoftwareWrite =
    u"SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\Staging\", \"Version\", "
    u"\"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App\", \"Version\", true, false)";

class SimulateTest : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        machine_ = (dir_ / "machine").string();
        std::string error;
        ASSERT_TRUE(qm::CreateMachine(machine_, &error)) << error;
        ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, u"Staging", u"Version", REG_SZ,
                                        qm::StringData(u"2.0"), &error))
            << error;
        Put("a.txt", "alpha");
    }

    void Put(const std::string &path, const std::string &content)
    {
        fs::path file = fs::path(qm::VolumeRoot(machine_)) / path;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
    bool Exists(const std::string &path) const
    {
        return fs::exists(fs::path(qm::VolumeRoot(machine_)) / path);
    }
    std::optional<std::u16string> PackageState(const std::u16string &name) const
    {
        return qm::AsString(qm::ReadMachineValue(machine_, Hive::System,
                                                 std::u16string(qm::kParametersKey) + u"\\" + name,
                                                 u""));
    }

    ToolOutcome Simulate(std::vector<std::string> args)
    {
        args.insert(args.begin(), "simulate");
        args.push_back(machine_);
        return Run(args);
    }

    std::string machine_;
};

using qelmbar::test::Contains;

TEST_F(SimulateTest, ReportsEachOperationOfTheOneShotListWithItsOutcome)
{
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(machine_,
                                     { CopyFileOp(u"a.txt", u"b.txt"), kSoftwareWrite,
                                       CopyFileOp(u"missing.txt", u"c.txt") },
                                     &error))
        << error;
    ToolOutcome run = Simulate({});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    const std::string &out = run.Out;
    EXPECT_TRUE(Contains(out, "Boot 1 of 1: orderly shutdown after 600 s\n")) << out;
    EXPECT_TRUE(Contains(out, "  driver entry: STATUS_SUCCESS (0x00000000)\n")) << out;
    EXPECT_TRUE(Contains(out, "  before: BootCounter none, TickCounter none, ImproperShutdown not "
                              "set, one-shot list of 3 operations\n"))
        << out;
    EXPECT_TRUE(Contains(out, "  one-shot list, 3 operations:\n"
                              "    1. done: CopyFile(\"\\??\\C:\\a.txt\", \"\\??\\C:\\b.txt\", false)\n"
                              "    2. deferred, then done in the deferred run: SetKeyValue("))
        << out;
    EXPECT_TRUE(Contains(out, "    3. failed with STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034): "
                              "CopyFile(\"\\??\\C:\\missing.txt\""))
        << out;
    EXPECT_TRUE(Contains(out, "  deferred run after csrss.exe started, 1 operation:\n"
                              "    one-shot list 2: done\n"))
        << out;
    EXPECT_TRUE(Contains(out, "  after: BootCounter 1, TickCounter 600, ImproperShutdown not set\n"))
        << out;

    /* What the report says is what the machine holds. */
    EXPECT_TRUE(Exists("b.txt"));
    EXPECT_EQ(qm::AsString(qm::ReadMachineValue(machine_, Hive::Software, u"Vendor\\App",
                                                u"Version")),
              u"2.0");

    /* The list was one-shot: the next boot has nothing to run. */
    ToolOutcome again = Simulate({});
    EXPECT_EQ(again.Status, 0);
    EXPECT_FALSE(Contains(again.Out, "one-shot list,")) << again.Out;
    EXPECT_TRUE(Contains(again.Out, "after: BootCounter 2")) << again.Out;
}

TEST_F(SimulateTest, APowerLossRevertsAPackageAtTheNextBootAndTheJsonSaysSo)
{
    qm::PackageSpec package;
    package.setupOperations = { CopyFileOp(u"a.txt", u"installed.txt"),
                                CopyFileOp(u"missing.txt", u"x.txt"),
                                CopyFileOp(u"a.txt", u"never.txt") };
    package.revertOperations = { u"DeleteFile(\"\\??\\C:\\installed.txt\")" };
    package.bootTimeout = 3;
    std::string error;
    ASSERT_TRUE(qm::StagePackage(machine_, u"Update", package, &error)) << error;

    ToolOutcome run = Simulate({ "--boots", "2", "--power-loss", "1:uptime", "--json" });
    EXPECT_EQ(run.Status, 0) << run.Err;
    const std::string &json = run.Out;
    ASSERT_EQ(json.rfind("{\"machine\":", 0), 0u) << json;
    EXPECT_TRUE(Contains(json, "\"end\":{\"kind\":\"power loss\",\"call\":null,\"routine\":\"\","
                               "\"afterStage\":\"uptime elapsed\"}"))
        << json;
    /* Boot 1: the setup stops at its failure, and the third copy never runs. */
    EXPECT_TRUE(Contains(json, "{\"script\":\"setup\",\"package\":\"Update\""));
    EXPECT_TRUE(Contains(json, "\"index\":2,\"operation\":\"CopyFile(\\\"\\\\??\\\\C:\\\\missing.txt"
                               "\\\", \\\"\\\\??\\\\C:\\\\x.txt\\\", false)\",\"outcome\":\"failed\","
                               "\"status\":{\"code\":3221225524,\"name\":\"STATUS_OBJECT_NAME_NOT_"
                               "FOUND\""))
        << json;
    EXPECT_TRUE(std::regex_search(json, std::regex("\"index\":3,[^}]*\"outcome\":\"skipped\"")));
    /* Boot 2: the improper shutdown is seen and the revert runs. */
    EXPECT_TRUE(Contains(json, "\"improperShutdownDetected\":true")) << json;
    EXPECT_TRUE(Contains(json, "{\"script\":\"revert\",\"package\":\"Update\""));
    EXPECT_TRUE(Contains(json, "\"name\":\"Update\",\"state\":\"Reverted\"")) << json;

    EXPECT_EQ(PackageState(u"Update"), u"Reverted");
    EXPECT_FALSE(Exists("installed.txt"));
}

TEST_F(SimulateTest, APowerLossAtACallInterruptsOneOperationAndLeavesTheRestNotReached)
{
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(machine_,
                                     { CopyFileOp(u"a.txt", u"b.txt"),
                                       CopyFileOp(u"a.txt", u"c.txt"), CopyFileOp(u"a.txt", u"d.txt") },
                                     &error))
        << error;
    /* Find a cut that falls inside the list: after the first copy is
     * reported and before the second is. */
    for (int call = 1; call < 200; call++) {
        std::string copy = (dir_ / ("cut" + std::to_string(call))).string();
        ASSERT_TRUE(qm::CopyMachine(machine_, copy, &error)) << error;
        ToolOutcome run = Run({ "simulate", "--power-loss", "call=" + std::to_string(call), copy });
        fs::remove_all(copy);
        ASSERT_EQ(run.Status, 0) << run.Err;
        if (!Contains(run.Out, "    2. interrupted: CopyFile"))
            continue;
        EXPECT_TRUE(Contains(run.Out, "    1. done: CopyFile")) << run.Out;
        EXPECT_TRUE(Contains(run.Out, "    3. not reached: CopyFile")) << run.Out;
        EXPECT_TRUE(std::regex_search(run.Out, std::regex("Boot 1 of 1: power lost at call [0-9]+ "
                                                          "\\(Zw[A-Za-z]+\\)")))
            << run.Out;
        return;
    }
    ADD_FAILURE() << "no cut fell between the two copies";
}

TEST_F(SimulateTest, ScratchBootsLeaveTheMachineAsItWas)
{
    std::string error;
    ASSERT_TRUE(qm::StageOneShotList(machine_, { CopyFileOp(u"a.txt", u"b.txt") }, &error));
    const std::string before = qelmbar::test::ReadWholeFile(qm::HiveFilePath(machine_, Hive::System));
    ToolOutcome run = Simulate({ "--scratch" });
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Out, "    1. done: CopyFile")) << run.Out;
    EXPECT_FALSE(Exists("b.txt"));
    EXPECT_EQ(qelmbar::test::ReadWholeFile(qm::HiveFilePath(machine_, Hive::System)), before);
}

TEST_F(SimulateTest, TheStateShownIsThatOfTheControlSetSelectNames)
{
    /* The driver's keys in ControlSet002, which Select\Current names, and
     * other counters in ControlSet001, which the driver does not read. */
    const std::u16string service = u"ControlSet002\\Services\\Qelmbar";
    std::string error;
    for (const auto &[name, value] :
         { std::pair<const char16_t *, ULONG>{ u"Type", 1 }, { u"Start", 0 }, { u"ErrorControl", 1 } })
        ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, service, name, REG_DWORD,
                                        qm::DwordData(value), &error))
            << error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, service + u"\\Parameters",
                                    u"BootCounter", REG_DWORD, qm::DwordData(5), &error))
        << error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, qm::kParametersKey, u"BootCounter",
                                    REG_DWORD, qm::DwordData(9), &error))
        << error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, u"Select", u"Current", REG_DWORD,
                                    qm::DwordData(2), &error))
        << error;

    ToolOutcome run = Simulate({});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Out, "  before: BootCounter 5, ")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "  after: BootCounter 6, ")) << run.Out;
}

TEST_F(SimulateTest, AScriptTheParserRefusesIsReportedAsNotRun)
{
    qm::PackageSpec package;
    package.setupOperations = { u"CopyFiel(\"\\??\\C:\\a.txt\", \"\\??\\C:\\b.txt\", false)" };
    std::string error;
    ASSERT_TRUE(qm::StagePackage(machine_, u"Broken", package, &error)) << error;
    ToolOutcome run = Simulate({});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Out, "  package Broken, setup: not run, the driver's parser refuses "
                                  "it: unknown operation 'CopyFiel'; did you mean 'CopyFile'?\n"))
        << run.Out;
    EXPECT_TRUE(Contains(run.Out, "    package Broken: Corrupted, LastPackageError "
                                  "STATUS_DATA_OVERRUN (0xC000003C)"))
        << run.Out;
}

TEST_F(SimulateTest, UsageErrorsAndMachinesThatAreNone)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{ { "--boots", "0" },
                                                { "--power-loss", "sometime" },
                                                { "--power-loss", "3:uptime" },
                                                { "--power-loss", "call=x" },
                                                { "--windows", "10.0" },
                                                { "--watchdog", "soon" },
                                                { "--watchdog", "-1" },
                                                { "--uptime" } }) {
        ToolOutcome run = Simulate(args);
        EXPECT_EQ(run.Status, 2) << args[0];
        EXPECT_EQ(run.Err.rfind("qelmbar: simulate: ", 0), 0u) << run.Err;
    }
    ToolOutcome none = Run({ "simulate", (dir_ / "nothing").string() });
    EXPECT_EQ(none.Status, 2);
    EXPECT_TRUE(Contains(none.Err, "not a machine directory")) << none.Err;
    EXPECT_EQ(Run({ "simulate" }).Status, 2);

    ToolOutcome help = Run({ "simulate", "--help" });
    EXPECT_EQ(help.Status, 0);
    EXPECT_EQ(help.Out.rfind("Usage: qelmbar simulate [OPTION]... MACHINE\n", 0), 0u);
}

} // namespace
