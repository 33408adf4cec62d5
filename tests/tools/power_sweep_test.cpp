/*
 * power_sweep_test.cpp - a power cut at every platform call of each boot
 * of a package's life, on a disk that forgets what was not flushed, with
 * the metadata journal cut at both extremes; each cut is followed by
 * orderly boots.  Every file the package touches ends whole, a "Reverted"
 * package has every file back and a "Commited" one the new files.  Run on
 * the sample package, the user guide's worked example, and backups by
 * copy or by rename reverted by copy or by move.
 */
#include "machine/sweep.h"
#include "tests/support/tool_run.h"

#include <iostream>

namespace {

namespace fs = std::filesystem;
using qm::Hive;
using qelmbar::test::ReadWholeFile;

const std::string kExamples = std::string(QELMBAR_SOURCE_DIR) + "/examples";
const std::string kPackage = kExamples + "/packages/lumen-2.0";
const std::string kEditor = "Program Files/Brightlark/Lumen Editor/";

/* A file the package replaces: where, before, after. */
struct Replaced {
    std::string path;
    std::string before;
    std::string after;
};

class PowerSweep : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        machine_ = (dir_ / "machine").string();
    }

    void Expect(const std::vector<std::string> &args)
    {
        qelmbar::test::ToolOutcome run = Run(args);
        ASSERT_EQ(run.Status, 0) << args[0] << ": " << run.Err;
    }

    void Boot(qm::PowerLoss loss = qm::PowerLoss::None())
    {
        qm::BootOptions options;
        options.powerLoss = loss;
        qm::BootReport report;
        ASSERT_TRUE(qm::Boot(machine_, options, &report)) << report.failure;
        ASSERT_TRUE(report.violations.empty()) << report.Summary();
    }

    static std::optional<std::u16string> State(const std::string &dir, const std::u16string &name)
    {
        return qm::AsString(qm::ReadMachineValue(
            dir, Hive::System, std::u16string(qm::kParametersKey) + u"\\" + name, u""));
    }

    /* What a cut may end with: each replaced file old or new as the
     * package's state says, and any backup whole. */
    static std::string CheckEnd(const std::string &dir, const std::u16string &package,
                                const std::vector<Replaced> &files,
                                const std::vector<std::string> &backups)
    {
        const std::optional<std::u16string> state = State(dir, package);
        const bool reverted = state == u"Reverted";
        for (const Replaced &file : files) {
            const fs::path path = fs::path(qm::VolumeRoot(dir)) / file.path;
            if (!fs::exists(path))
                return file.path + " is gone";
            const std::string content = ReadWholeFile(path);
            const std::string &want = reverted ? file.before : file.after;
            if (content != want)
                return file.path + " holds \"" + content + "\" in state " +
                       (state ? std::string(state->begin(), state->end()) : "none");
        }
        for (const std::string &backup : backups) {
            const fs::path path = fs::path(qm::VolumeRoot(dir)) / backup;
            if (!fs::exists(path))
                continue;
            bool whole = false;
            for (const Replaced &file : files)
                whole = whole || ReadWholeFile(path) == file.before;
            if (!whole)
                return backup + " is a partial backup";
        }
        return "";
    }

    /* Sweeps boot cutBoot of boots at both extremes of the journal. */
    void SweepBoth(size_t boots, size_t cutBoot, bool mustStayInside,
                   const std::function<std::string(const std::string &)> &check,
                   const std::string &label)
    {
        for (sk::SurvivingJournal surviving :
             {sk::SurvivingJournal::None(), sk::SurvivingJournal::All()}) {
            qm::SweepOptions options;
            options.boots = boots;
            options.cutBoot = cutBoot;
            options.surviving = surviving;
            options.scratch = (dir_ / "sweep").string();
            options.inspectEnd = [&](uint64_t, const std::string &dir) { return check(dir); };
            qm::SweepResult result = qm::Sweep(machine_, options);
            ASSERT_TRUE(result.completed) << result.failure;
            const char *journal = surviving.kind == sk::SurvivingJournal::Kind::None ? "none" : "all";
            std::cout << "[ sweep    ] " << label << ", journal " << journal << ": "
                      << result.cutPoints << " cut points\n";
            EXPECT_GT(result.cutPoints, 20u);
            for (const std::string &complaint : result.complaints)
                ADD_FAILURE() << label << ", journal " << journal << ", " << complaint;
            for (const qm::SweepPoint &point : result.outside) {
                EXPECT_TRUE(point.partialFiles.empty())
                    << label << ": call " << point.call << " left " << point.partialFiles.front();
                if (mustStayInside) {
                    ADD_FAILURE() << label << ", journal " << journal << ": cut at call "
                                  << point.call << " (" << point.routine << ") ends outside, "
                                  << (point.differences.empty()
                                          ? std::string()
                                          : point.differences.front().what + ": " +
                                                point.differences.front().detail);
                }
            }
        }
    }

    void StageSample()
    {
        Expect({"machine", "create", "-q", machine_});
        Expect({"machine", "import", "-q", machine_, kExamples + "/sample-machine/software.reg",
                "--force", "--copy", kExamples + "/sample-machine/C=C:\\"});
        Expect({"package", "add", "Lumen-2.0", "--machine", machine_, "--setup",
                kPackage + "/setup.qbs", "--revert", kPackage + "/revert.qbs", "--clean",
                kPackage + "/clean.qbs", "--boot-timeout", "2"});
    }

    std::vector<Replaced> SampleFiles()
    {
        const fs::path staged = kExamples + "/sample-machine/C/Windows/Temp/LumenSetup";
        const fs::path installed = kExamples + "/sample-machine/C/" + kEditor;
        return {{kEditor + "lumen.exe", ReadWholeFile(installed / "lumen.exe"),
                 ReadWholeFile(staged / "lumen.exe")},
                {kEditor + "lumencore.dll", ReadWholeFile(installed / "lumencore.dll"),
                 ReadWholeFile(staged / "lumencore.dll")}};
    }

    std::string machine_;
};

TEST_F(PowerSweep, TheSamplePackageSetUpRevertedAndCommitted)
{
    StageSample();
    const std::vector<Replaced> files = SampleFiles();
    const std::vector<std::string> backups = {kEditor + "lumen.exe.1.4",
                                              kEditor + "lumencore.dll.1.4"};
    auto check = [&](const std::string &dir) { return CheckEnd(dir, u"Lumen-2.0", files, backups); };

    /* The setup boot, then a boot that reverts or waits. */
    SweepBoth(2, 1, true, check, "sample, setup boot");

    /* The revert boot: set up, then the power lost at the end of a boot. */
    const std::string start = (dir_ / "start").string();
    std::string error;
    ASSERT_TRUE(qm::CopyMachine(machine_, start, &error)) << error;
    Boot();
    Boot(qm::PowerLoss::AfterUptime());
    SweepBoth(2, 1, true, check, "sample, revert boot");

    /* The commit boot: a cut there before "Commited" reverts at the next
     * boot, and one during the clean leaves some of what it removes. */
    fs::remove_all(machine_);
    fs::rename(start, machine_);
    Boot();
    Boot();
    SweepBoth(2, 1, false, check, "sample, commit boot");
}

class PatternSweep : public PowerSweep,
                     public ::testing::WithParamInterface<std::pair<const char *, const char *>> {
};

/* The user guide's worked example, and the usual patterns, on a machine
 * with one program file and a staged replacement. */
TEST_P(PatternSweep, SetupAndRevertBoots)
{
    Expect({"machine", "create", "-q", machine_});
    const fs::path root = qm::VolumeRoot(machine_);
    fs::create_directories(root / kEditor);
    fs::create_directories(root / "Windows/Temp/LumenSetup");
    const std::string before = "Lumen Editor 1.4 library\n";
    const std::string after = "Lumen Editor 2.0 library, longer than the old one\n";
    std::ofstream(root / kEditor / "lumen.dll", std::ios::binary) << before;
    std::ofstream(root / "Windows/Temp/LumenSetup/lumen.dll", std::ios::binary) << after;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::Software, u"Brightlark\\Lumen Editor",
                                    u"Version", REG_SZ, qm::StringData(u"1.4")));
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::Software, u"Brightlark\\Setup\\Staging",
                                    u"Version", REG_SZ, qm::StringData(u"2.0")));
    const std::string dll = "\\??\\C:\\Program Files\\Brightlark\\Lumen Editor\\lumen.dll";
    const std::string setup = Write("setup.qbs", GetParam().first);
    const std::string revert = Write("revert.qbs", GetParam().second);
    const std::string clean = Write("clean.qbs", "DeleteFile(\"" + dll + ".bak\")\n");
    Expect({"package", "add", "P", "--machine", machine_, "--setup", setup, "--revert", revert,
            "--clean", clean, "--boot-timeout", "2"});

    const std::vector<Replaced> files = {{kEditor + "lumen.dll", before, after}};
    auto check = [&](const std::string &dir) {
        return CheckEnd(dir, u"P", files, {kEditor + "lumen.dll.bak"});
    };
    /* A revert by copy keeps the backup, which a cut before the backup
     * never made: such ends differ from the references and are whole. */
    SweepBoth(2, 1, false, check, "setup boot");
    Boot();
    Boot(qm::PowerLoss::AfterUptime());
    SweepBoth(2, 1, false, check, "revert boot");
}

#define DLL "\\??\\C:\\Program Files\\Brightlark\\Lumen Editor\\lumen.dll"
#define NEW_DLL "\\??\\C:\\Windows\\Temp\\LumenSetup\\lumen.dll"
#define VALUES                                                                                   \
    "SetKeyValue(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Brightlark\\Lumen Editor\", \"Version\", "      \
    "\"\\REGISTRY\\MACHINE\\SOFTWARE\\Brightlark\\Setup\\Backup\", \"Version\", true, false)\n"    \
    "SetKeyValue(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Brightlark\\Setup\\Staging\", \"Version\", "    \
    "\"\\REGISTRY\\MACHINE\\SOFTWARE\\Brightlark\\Lumen Editor\", \"Version\", true, true)\n"
#define VALUES_BACK                                                                              \
    "SetKeyValue(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Brightlark\\Setup\\Backup\", \"Version\", "     \
    "\"\\REGISTRY\\MACHINE\\SOFTWARE\\Brightlark\\Lumen Editor\", \"Version\", true, true)\n"

INSTANTIATE_TEST_SUITE_P(
    Patterns, PatternSweep,
    ::testing::Values(
        /* The guide's worked example: backup by copy, revert by move. */
        std::make_pair("CopyFile(\"" DLL "\", \"" DLL ".bak\", true)\n"
                       "CopyFile(\"" NEW_DLL "\", \"" DLL "\", true)\n" VALUES,
                       "MoveFile(\"" DLL ".bak\", \"" DLL "\", true)\n" VALUES_BACK),
        /* Backup by copy, revert by copy. */
        std::make_pair("CopyFile(\"" DLL "\", \"" DLL ".bak\", true)\n"
                       "CopyFile(\"" NEW_DLL "\", \"" DLL "\", true)\n",
                       "CopyFile(\"" DLL ".bak\", \"" DLL "\", true)\n"),
        /* Backup by rename, revert by move. */
        std::make_pair("RenameFile(\"" DLL "\", \"lumen.dll.bak\", true)\n"
                       "CopyFile(\"" NEW_DLL "\", \"" DLL "\", true)\n",
                       "MoveFile(\"" DLL ".bak\", \"" DLL "\", true)\n"),
        /* Backup by rename, revert by copy. */
        std::make_pair("RenameFile(\"" DLL "\", \"lumen.dll.bak\", true)\n"
                       "CopyFile(\"" NEW_DLL "\", \"" DLL "\", true)\n",
                       "CopyFile(\"" DLL ".bak\", \"" DLL "\", true)\n")));

} // namespace
