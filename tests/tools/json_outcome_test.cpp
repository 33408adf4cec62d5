/*
 * json_outcome_test.cpp - qelmbar --json as a program reading it sees it:
 * exactly one JSON object on stdout for every outcome, refusals and errors
 * included, with the exit status of the same run without --json; and
 * simulate --fail-on-error.
 */
#include "machine/machine.h"
#include "tests/support/tool_run.h"

namespace {

namespace fs = std::filesystem;
using qelmbar::test::Contains;
using qelmbar::test::ToolOutcome;

class JsonOutcomeTest : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        machine_ = (dir_ / "m").string();
        std::string error;
        ASSERT_TRUE(qm::CreateMachine(machine_, &error)) << error;
    }

    /* The run with --json added, and the exit status of the same run
     * without it, which must agree. */
    ToolOutcome RunJson(std::vector<std::string> args)
    {
        int plain = Run(args).Status;
        args.push_back("--json");
        ToolOutcome json = Run(args);
        EXPECT_EQ(json.Status, plain) << json.Out << json.Err;
        return json;
    }

    /* A one-shot list of file operations on volume C:. */
    void Stage(const std::vector<std::u16string> &operations)
    {
        std::string error;
        ASSERT_TRUE(qm::StageOneShotList(machine_, operations, &error)) << error;
    }

    std::string machine_;
};

std::u16string CopyFileOp(const std::u16string &from, const std::u16string &to)
{
    return u"CopyFile(\"\\??\\C:\\" + from + u"\", \"\\??\\C:\\" + to + u"\", false)";
}

TEST_F(JsonOutcomeTest, UsageErrorsOfEveryKindAreOneErrorObject)
{
    struct Case {
        std::vector<std::string> Args;
        std::string Message;
    } cases[] = {
        { { "frobnicate" }, "unknown command 'frobnicate'" },
        { { "status", "--frob" }, "status: unknown option '--frob'" },
        { { "simulate" }, "simulate: no machine directory given" },
        { { "simulate", "--boots", "0", "m" },
          "simulate: option '--boots' needs a whole number from 1 to 1000, not '0'" },
        { { "check", "--print" }, "check: --json cannot be used with --print or --quiet" },
        { { "machine", "create" }, "machine create: no machine directory given" },
        { { "explain" }, "explain: no status given" },
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.Args;
        args.push_back("--json");
        ToolOutcome run = Run(args);
        EXPECT_EQ(run.Status, 2) << c.Message;
        EXPECT_EQ(run.Out, "{\"error\":{\"message\":\"" + c.Message +
                               "\",\"status\":null},\"exitStatus\":2}\n");
        EXPECT_TRUE(Contains(run.Err, "qelmbar: " + c.Message + "\n")) << run.Err;
    }
}

TEST_F(JsonOutcomeTest, RefusalsCarryTheirMessageAndTheStatusBehindThem)
{
    /* Not installed: a refusal without a status. */
    std::string error;
    fs::path bare = dir_ / "bare";
    ASSERT_TRUE(qm::CreateMachine(bare.string(), &error)) << error;
    ASSERT_EQ(Run({ "uninstall", "--machine", bare.string() }).Status, 0);
    std::string script = Write("one.qbs", "CreateDir(\"\\\\??\\\\C:\\\\App\")\n");
    ToolOutcome notInstalled = RunJson({ "schedule", "--machine", bare.string(), script });
    EXPECT_EQ(notInstalled.Status, 1);
    EXPECT_EQ(notInstalled.Out, "{\"error\":{\"message\":\"the driver is not installed on machine " +
                                    bare.string() +
                                    "; run 'qelmbar install' first\",\"status\":null},"
                                    "\"exitStatus\":1}\n");

    /* A script the parser refuses: where, and the parser's status. */
    std::string bad = Write("bad.qbs", "CopyFile(\"\\\\??\\\\C:\\\\a\", true)\n");
    ToolOutcome refused = RunJson({ "schedule", "--machine", machine_, bad });
    EXPECT_EQ(refused.Status, 1);
    EXPECT_EQ(refused.Out, "{\"error\":{\"message\":\"" + bad +
                               ":1:25: expected a quoted string for Target, found 'true'; "
                               "CopyFile takes 3 arguments: Source, Target, Overwrite\","
                               "\"status\":{\"code\":3221225532,\"hex\":\"0xC000003C\","
                               "\"name\":\"STATUS_DATA_OVERRUN\"}},\"exitStatus\":1}\n");

    /* A staged list the parser refuses, met by an appending schedule. */
    Stage({ u"CreateDir(" });
    ToolOutcome staged = RunJson({ "schedule", "--machine", machine_, script });
    EXPECT_EQ(staged.Status, 1);
    EXPECT_TRUE(Contains(staged.Out, "so none of it would run; use --replace\",\"status\":"
                                     "{\"code\":3221225532,\"hex\":\"0xC000003C\","
                                     "\"name\":\"STATUS_DATA_OVERRUN\"}},\"exitStatus\":1}\n"))
        << staged.Out;
}

TEST_F(JsonOutcomeTest, EveryCommandPrintsOneObjectWhenItSucceeds)
{
    std::string script = Write("one.qbs", "CreateDir(\"\\\\??\\\\C:\\\\App\")\n");
    std::string fresh = (dir_ / "fresh").string();
    std::vector<std::vector<std::string>> runs = {
        { "machine", "create", fresh },
        { "machine", "import", "--dry-run", machine_, "--copy", script + "=C:\\App\\one.qbs" },
        { "check", script },
        { "schedule", "--machine", machine_, script },
        { "status", "--machine", machine_ },
        { "explain", "STATUS_FAIL_CHECK" },
        { "simulate", machine_ },
    };
    for (std::vector<std::string> args : runs) {
        args.push_back("--json");
        ToolOutcome run = Run(args);
        EXPECT_EQ(run.Status, 0) << args[0] << run.Err;
        ASSERT_FALSE(run.Out.empty()) << args[0];
        EXPECT_EQ(run.Out.front(), '{') << args[0];
        EXPECT_EQ(run.Out.find('\n'), run.Out.size() - 1) << args[0] << run.Out;
        EXPECT_NE(run.Out.rfind("{\"error\":", 0), 0u) << args[0] << run.Out;
    }
    EXPECT_EQ(Run({ "machine", "create", (dir_ / "other").string(), "--json" }).Out,
              "{\"machine\":\"" + (dir_ / "other").string() + "\",\"volume\":\"" +
                  (dir_ / "other" / "C").string() + "\",\"hives\":\"" +
                  (dir_ / "other" / "C" / "Windows" / "System32" / "config").string() + "\"}\n");
}

TEST_F(JsonOutcomeTest, SimulateAndStatusNameTheDriverValuesAlike)
{
    Stage({ CopyFileOp(u"missing.txt", u"b.txt") });
    ToolOutcome simulate = Run({ "simulate", machine_, "--json" });
    ToolOutcome status = Run({ "status", "--machine", machine_, "--json" });
    for (const char *key : { "\"bootCounter\":1,", "\"tickCounter\":600,",
                             "\"improperShutdown\":false,", "\"systemRoot\":\"" }) {
        EXPECT_TRUE(Contains(simulate.Out, key)) << key << simulate.Out;
        EXPECT_TRUE(Contains(status.Out, key)) << key << status.Out;
    }
    for (const char *old : { "BootCounter", "TickCounter", "ImproperShutdown", "SystemRoot",
                             "LastPackageError", "Timeout\"" })
        EXPECT_FALSE(Contains(simulate.Out, std::string("\"") + old)) << old;
}

TEST_F(JsonOutcomeTest, FailOnErrorGatesOnFailedAndSkippedOperations)
{
    fs::path volume = qm::VolumeRoot(machine_);
    std::ofstream(volume / "a.txt") << "alpha";
    Stage({ CopyFileOp(u"a.txt", u"b.txt") });
    EXPECT_EQ(Run({ "simulate", "--scratch", "--fail-on-error", machine_ }).Status, 0);

    /* A missing source fails; the list goes on past it. */
    Stage({ CopyFileOp(u"missing.txt", u"c.txt"), CopyFileOp(u"a.txt", u"d.txt") });
    ToolOutcome plain = Run({ "simulate", "--scratch", machine_ });
    EXPECT_EQ(plain.Status, 0) << plain.Err;
    ToolOutcome gated = Run({ "simulate", "--scratch", "--fail-on-error", machine_ });
    EXPECT_EQ(gated.Status, 1) << gated.Err;
    EXPECT_EQ(gated.Out, plain.Out);
    ToolOutcome json = Run({ "simulate", "--scratch", "--fail-on-error", "--json", machine_ });
    EXPECT_EQ(json.Status, 1);
    EXPECT_TRUE(Contains(json.Out, "\"outcome\":\"failed\"")) << json.Out;
    const std::string end = "}],\"clean\":true,\"operationsFailed\":true}\n";
    ASSERT_GT(json.Out.size(), end.size());
    EXPECT_EQ(json.Out.substr(json.Out.size() - end.size()), end);

    /* A package setup: its first copy fails and ends it, the second is
     * skipped. */
    qm::PackageSpec package;
    package.setupOperations = { CopyFileOp(u"missing.txt", u"x.txt"),
                                CopyFileOp(u"a.txt", u"never.txt") };
    std::string error;
    ASSERT_TRUE(qm::StagePackage(machine_, u"Update", package, &error)) << error;
    ToolOutcome setup = Run({ "simulate", "--scratch", "--fail-on-error", "--json", machine_ });
    EXPECT_EQ(setup.Status, 1);
    EXPECT_TRUE(Contains(setup.Out, R"x("index":2,"operation":"CopyFile(\"\\??\\C:\\a.txt\", )x"
                                    R"x(\"\\??\\C:\\never.txt\", false)","outcome":"skipped")x"))
        << setup.Out;
    EXPECT_EQ(Run({ "simulate", "--scratch", machine_ }).Status, 0);
}

TEST_F(JsonOutcomeTest, AFailureAfterTheFirstBootEndsTheObjectWithItsError)
{
    ToolOutcome run = RunJson({ "simulate", "--boots", "2", "--power-loss", "2:call=99999",
                                machine_ });
    EXPECT_EQ(run.Status, 2);
    ASSERT_EQ(run.Out.rfind("{\"machine\":\"" + machine_ + "\",\"scratch\":false,\"boots\":[{", 0),
              0u)
        << run.Out;
    EXPECT_EQ(run.Out.find('\n'), run.Out.size() - 1) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "\"boot\":1,")) << run.Out;
    EXPECT_FALSE(Contains(run.Out, "\"boot\":2,")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "}],\"error\":{\"message\":\"" + machine_ +
                                      ": --power-loss 2:call=99999 lies past the "))
        << run.Out;
    EXPECT_EQ(run.Out.substr(run.Out.size() - 18), "\",\"status\":null}}\n");
}

} // namespace
