/*
 * sample_test.cpp - the sample of examples/, run as sample.sh runs it: the
 * machine built from its files and .reg text, the Lumen 2.0 package and a
 * one-shot list staged, and boots that commit the package or, after a
 * power loss, revert it.  What the sample shows its readers must stay
 * true.
 */
#include "machine/machine.h"
#include "tests/support/tool_run.h"

namespace {

namespace fs = std::filesystem;
using qm::Hive;

const std::string kExamples = std::string(QELMBAR_SOURCE_DIR) + "/examples";
const std::string kPackage = kExamples + "/packages/lumen-2.0";
const std::u16string kEditorKey = u"Brightlark\\Lumen Editor";

class SampleTest : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        machine_ = (dir_ / "machine").string();
        Expect({ "machine", "create", "-q", machine_ });
        Expect({ "machine", "import", "-q", machine_, kExamples + "/sample-machine/software.reg",
                 "--force", "--copy", kExamples + "/sample-machine/C=C:\\" });
        Expect({ "package", "add", "Lumen-2.0", "--machine", machine_, "--setup",
                 kPackage + "/setup.qbs", "--revert", kPackage + "/revert.qbs", "--clean",
                 kPackage + "/clean.qbs", "--boot-timeout", "2" });
        Expect({ "schedule", "--machine", machine_, kExamples + "/scripts/upgrade_editor.qbs" });
    }

    void Expect(const std::vector<std::string> &args)
    {
        qelmbar::test::ToolOutcome run = Run(args);
        ASSERT_EQ(run.Status, 0) << args[0] << ": " << run.Err;
    }

    std::string Volume(const std::string &path) const
    {
        return qelmbar::test::ReadWholeFile(fs::path(qm::VolumeRoot(machine_)) / path);
    }
    bool Exists(const std::string &path) const
    {
        return fs::exists(fs::path(qm::VolumeRoot(machine_)) / path);
    }
    std::optional<std::u16string> Software(const std::u16string &key, const std::u16string &name)
    {
        return qm::AsString(qm::ReadMachineValue(machine_, Hive::Software, key, name));
    }
    std::optional<std::u16string> State()
    {
        return qm::AsString(qm::ReadMachineValue(
            machine_, Hive::System, std::u16string(qm::kParametersKey) + u"\\Lumen-2.0", u""));
    }

    std::string machine_;
};

const std::string kProgram = "Program Files/Brightlark/Lumen Editor/";

TEST_F(SampleTest, ThreeOrderlyBootsSetUpCommitAndCleanThePackage)
{
    qelmbar::test::ToolOutcome run = Run({ "simulate", "--boots", "3", machine_ });
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out.find("failed"), std::string::npos) << run.Out;
    EXPECT_EQ(State(), u"Commited");

    EXPECT_EQ(Volume(kProgram + "lumen.exe"), "Lumen Editor 2.0 (program)\n");
    EXPECT_EQ(Volume(kProgram + "lumencore.dll"), "Lumen Editor 2.0 (core library)\n");
    EXPECT_FALSE(Exists(kProgram + "lumen.exe.1.4")) << "the clean deletes what the setup kept";
    EXPECT_FALSE(Exists("Windows/Temp/LumenSetup"));
    EXPECT_EQ(Software(kEditorKey, u"Version"), u"2.0");
    EXPECT_FALSE(qm::MachineKeyExists(machine_, Hive::Software, u"Brightlark\\Lumen Editor 1.4"));
    EXPECT_FALSE(qm::MachineKeyExists(machine_, Hive::Software, u"Brightlark\\Setup\\Staging"));

    /* The one-shot list's renames and moves. */
    EXPECT_TRUE(Exists(kProgram + "lumen.ini.v2"));
    EXPECT_TRUE(Exists(kProgram + "plugins-v2/spell.lpx"));
    EXPECT_TRUE(Exists("ProgramData/Brightlark/Lumen Editor/Cache/thumbs.cache"));
    EXPECT_EQ(Software(kEditorKey + u"\\Settings", u"Theme"), u"dark");
    EXPECT_TRUE(qm::MachineKeyExists(machine_, Hive::Software, kEditorKey + u"\\RecentFiles"));
    EXPECT_EQ(Software(kEditorKey, u"InstallDir"), u"C:\\Program Files\\Brightlark\\Lumen Editor");
}

TEST_F(SampleTest, APowerLossInTheFirstBootRevertsThePackageAtTheSecond)
{
    qelmbar::test::ToolOutcome run =
        Run({ "simulate", "--boots", "2", "--power-loss", "1:uptime", machine_ });
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Out.find("improper shutdown of the last cycle: detected"), std::string::npos);
    EXPECT_EQ(State(), u"Reverted");
    EXPECT_EQ(Volume(kProgram + "lumen.exe"), "Lumen Editor 1.4 (program)\n");
    EXPECT_EQ(Volume(kProgram + "lumencore.dll"), "Lumen Editor 1.4 (core library)\n");
    EXPECT_FALSE(Exists(kProgram + "lumen.exe.1.4"));
    EXPECT_EQ(Software(kEditorKey, u"Version"), u"1.4");
    EXPECT_FALSE(qm::MachineKeyExists(machine_, Hive::Software, u"Brightlark\\Lumen Editor 1.4"));
}

} // namespace
