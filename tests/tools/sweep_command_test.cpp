/*
 * sweep_command_test.cpp - qelmbar simulate --sweep and the platform-call
 * count of every boot: a package whose every cut ends where it would end
 * anyway, a one-shot list cut between two copies, and a --power-loss call
 * past the boot's calls.
 */
#include "machine/machine.h"
#include "tests/support/tool_run.h"

namespace {

namespace fs = std::filesystem;
using qelmbar::test::Contains;

class SweepCommand : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        machine_ = (dir_ / "machine").string();
        ASSERT_EQ(Run({"machine", "create", "-q", machine_}).Status, 0);
        const fs::path root = qm::VolumeRoot(machine_);
        fs::create_directories(root / "App");
        std::ofstream(root / "App/a.dll", std::ios::binary) << "old a";
        std::ofstream(root / "App/b.dll", std::ios::binary) << "old b";
        std::ofstream(root / "App/a.new", std::ios::binary) << "new a, longer";
        std::ofstream(root / "App/b.new", std::ios::binary) << "new b, longer";
    }
    std::string machine_;
};

TEST_F(SweepCommand, APackageBackedUpByCopyEndsInsideTheReferencesAtEveryCut)
{
    const std::string setup =
        Write("setup.qbs", "CopyFile(\"\\??\\C:\\App\\a.dll\", \"\\??\\C:\\App\\a.bak\", true)\n"
                           "CopyFile(\"\\??\\C:\\App\\a.new\", \"\\??\\C:\\App\\a.dll\", true)\n");
    const std::string revert =
        Write("revert.qbs", "MoveFile(\"\\??\\C:\\App\\a.bak\", \"\\??\\C:\\App\\a.dll\", true)\n");
    ASSERT_EQ(Run({"package", "add", "P", "--machine", machine_, "--setup", setup, "--revert",
                   revert})
                  .Status,
              0);
    const std::string before = qelmbar::test::ReadWholeFile(qm::HiveFilePath(machine_, qm::Hive::System));
    qelmbar::test::ToolOutcome run = Run({"simulate", "--sweep", "1", "--json", machine_});
    ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_TRUE(Contains(run.Out, "\"journal\":\"none\"")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "\"journal\":\"all\"")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "\"outside\":[]")) << run.Out;
    /* The machine itself is left as it was. */
    EXPECT_EQ(qelmbar::test::ReadWholeFile(qm::HiveFilePath(machine_, qm::Hive::System)), before);
    EXPECT_FALSE(fs::exists(qm::VolumeRoot(machine_) + "/App/a.bak"));
}

TEST_F(SweepCommand, AOneShotListCutBetweenTwoCopiesEndsOutside)
{
    const std::string list =
        Write("list.qbs", "CopyFile(\"\\??\\C:\\App\\a.new\", \"\\??\\C:\\App\\a.dll\", true)\n"
                          "CopyFile(\"\\??\\C:\\App\\b.new\", \"\\??\\C:\\App\\b.dll\", true)\n");
    ASSERT_EQ(Run({"schedule", "--machine", machine_, list}).Status, 0);
    qelmbar::test::ToolOutcome run =
        Run({"simulate", "--sweep", "1", "--boots", "1", "--journal", "all", machine_});
    EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
    EXPECT_TRUE(Contains(run.Out, "journal after the last flush kept: all")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "platform calls per boot without a cut: 1: ")) << run.Out;
    /* Cut after the first copy: a.dll new, b.dll old; no file partial. */
    EXPECT_TRUE(Contains(run.Out, "file C:\\App\\b.dll: reference: 13 bytes")) << run.Out;
    EXPECT_FALSE(Contains(run.Out, "partially written")) << run.Out;
}

TEST_F(SweepCommand, EveryBootSaysItsCallsAndACutPastThemIsAnError)
{
    qelmbar::test::ToolOutcome run = Run({"simulate", "--scratch", machine_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const size_t at = run.Out.find("platform calls: ");
    ASSERT_NE(at, std::string::npos) << run.Out;
    const unsigned long long calls = std::stoull(run.Out.substr(at + 16));
    ASSERT_GT(calls, 0u);

    run = Run({"simulate", "--scratch", "--power-loss", "1:call=" + std::to_string(calls), machine_});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Out, "power lost at call " + std::to_string(calls))) << run.Out;

    run = Run({"simulate", "--scratch", "--power-loss", "1:call=" + std::to_string(calls + 1),
               machine_});
    EXPECT_EQ(run.Status, 2);
    EXPECT_TRUE(Contains(run.Err, "call=" + std::to_string(calls + 1) + " lies past the " +
                                      std::to_string(calls) + " platform calls boot 1 made"))
        << run.Err;
}

} // namespace
