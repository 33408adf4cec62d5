/*
 * machine_command_test.cpp - qelmbar machine create and import, run as a
 * user runs them: exit statuses, messages, and what the hive files and the
 * volume hold afterwards, read back with the machine readers; and a boot
 * of an imported machine, which shows the driver finds what was imported.
 */
#include "machine/machine.h"
#include "simkernel/files.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using qm::Hive;

const std::string kV5 = "Windows Registry Editor Version 5.00\r\n\r\n";

using Outcome = qelmbar::test::ToolOutcome;

using qelmbar::test::ReadWholeFile;

/* ASCII text as UTF-16LE with its byte order mark, as the registry editor
 * exports; hexUtf16 gives the text's UTF-16LE bytes the way hex(7): does. */
std::string Utf16File(const std::string &ascii)
{
    std::string out = "\xFF\xFE";
    for (char c : ascii)
        out += std::string(1, c) + '\0';
    return out;
}
std::string HexUtf16(const std::string &ascii)
{
    std::string hex;
    char byte[8];
    for (char c : ascii) {
        std::snprintf(byte, sizeof(byte), "%02x,00,", (unsigned char)c);
        hex += byte;
    }
    return hex + "00,00";
}

class MachineProgramTest : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        machine_ = (dir_ / "machine").string();
    }

    void Create() { ASSERT_EQ(Run({ "machine", "create", "-q", machine_ }).Status, 0); }
    /* A host file of volume C:, by its path below C:\. */
    fs::path OnC(const std::string &path) const { return fs::path(qm::VolumeRoot(machine_)) / path; }
    std::optional<qm::MachineValue> Value(Hive hive, const std::u16string &key,
                                          const std::u16string &name)
    {
        return qm::ReadMachineValue(machine_, hive, key, name);
    }
    /* Every hive file's bytes, to show that nothing changed. */
    std::vector<std::string> HiveFiles()
    {
        std::vector<std::string> files;
        for (Hive hive : qm::kAllHives)
            files.push_back(ReadWholeFile(qm::HiveFilePath(machine_, hive)));
        return files;
    }

    std::string machine_;
};

TEST_F(MachineProgramTest, HelpAndUsageErrors)
{
    EXPECT_NE(Run({ "--help" }).Out.find("\n  machine "), std::string::npos);
    for (const auto &[args, usage] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             { { "machine", "-h" }, "Usage: qelmbar machine COMMAND" },
             { { "machine", "create", "--help" }, "Usage: qelmbar machine create [OPTION]... DIR\n" },
             { { "machine", "import", "--help" },
               "Usage: qelmbar machine import [OPTION]... DIR [FILE.reg]...\n" } }) {
        Outcome outcome = Run(args);
        EXPECT_EQ(outcome.Status, 0);
        EXPECT_EQ(outcome.Out.rfind(usage, 0), 0u) << outcome.Out;
    }
    for (const auto &[args, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             { { "machine" }, "machine: no machine command given" },
             { { "machine", "boot" }, "machine: unknown machine command 'boot'" },
             { { "machine", "create" }, "machine create: no machine directory given" },
             { { "machine", "create", "a", "b" }, "machine create: one machine directory at a time" },
             { { "machine", "import", "m" }, "machine import: nothing to import" },
             { { "machine", "import", "m", "-c", "a.dll" }, "machine import: --copy takes HOST=PATH" } }) {
        Outcome outcome = Run(args);
        EXPECT_EQ(outcome.Status, 2);
        EXPECT_EQ(outcome.Err.rfind("qelmbar: " + err, 0), 0u) << outcome.Err;
        const std::string command = err.substr(0, err.find(':'));
        EXPECT_NE(outcome.Err.find("Try 'qelmbar " + command + " --help'"), std::string::npos);
        EXPECT_EQ(outcome.Out, "");
    }
}

TEST_F(MachineProgramTest, CreateMakesAMachineOnlyWhereNothingIs)
{
    Outcome made = Run({ "machine", "create", machine_ });
    ASSERT_EQ(made.Status, 0) << made.Err;
    EXPECT_EQ(made.Out, "created machine " + machine_ + ": volume C: in " + machine_ +
                            "/C, hive files in " + machine_ + "/C/Windows/System32/config\n");
    EXPECT_EQ(qm::AsDword(Value(Hive::System, qm::kServiceKey, u"Start")), 0u);
    for (Hive hive : qm::kAllHives)
        EXPECT_TRUE(qm::MachineKeyExists(machine_, hive, u"")) << qm::HiveFileName(hive);

    const std::string keep = Write("full/notes.txt", "mine");
    Outcome full = Run({ "machine", "create", (dir_ / "full").string() });
    EXPECT_EQ(full.Status, 2);
    EXPECT_EQ(full.Err, "qelmbar: machine create: " + (dir_ / "full").string() +
                            ": exists and is not empty\n");
    EXPECT_EQ(ReadWholeFile(keep), "mine");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "full"), fs::directory_iterator()), 1);
}

TEST_F(MachineProgramTest, ImportStoresValuesAsWindowsDoesInTheirHives)
{
    Create();
    const std::string reg = Write(
        "app.reg",
        Utf16File(kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n"
                        "@=\"App \\\"2\\\"\"\r\n"
                        "\"Dir\"=hex(2):" + HexUtf16("%PF%\\A") + "\r\n"
                        "\"Names\"=hex(7):61,00,00,00,62,00,\\\r\n"
                        "  00,00,00,00\r\n"
                        "\"Big\"=hex(b):01,02,03,04,05,06,07,08\r\n"
                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Empty]\r\n"
                        "[HKLM\\SYSTEM\\CurrentControlSet\\Services\\Qelmbar\\Parameters]\r\n"
                        "\"Imported\"=dword:0000002a\r\n"
                        "[HKEY_USERS\\.DEFAULT\\Control Panel\\Desktop]\r\n"
                        "\"Wallpaper\"=\"\"\r\n"));
    Outcome outcome = Run({ "machine", "import", machine_, reg });
    ASSERT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(outcome.Out, "imported into SYSTEM: 1 key, 1 value set\n"
                           "imported into SOFTWARE: 2 keys, 4 values set\n"
                           "imported into DEFAULT: 1 key, 1 value set\n");

    const std::u16string app = u"Vendor\\App";
    std::optional<qm::MachineValue> name = Value(Hive::Software, app, u"");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->type, (ULONG)REG_SZ);
    EXPECT_EQ(name->data, qm::StringData(u"App \"2\"")) << "UTF-16LE with its NUL";
    EXPECT_EQ(Value(Hive::Software, app, u"Dir")->type, (ULONG)REG_EXPAND_SZ);
    EXPECT_EQ(qm::AsString(Value(Hive::Software, app, u"Dir")), u"%PF%\\A");
    EXPECT_EQ(qm::AsMultiString(Value(Hive::Software, app, u"Names")),
              (std::vector<std::u16string>{ u"a", u"b" }));
    EXPECT_EQ(Value(Hive::Software, app, u"Big")->type, (ULONG)REG_QWORD);
    EXPECT_EQ(Value(Hive::Software, app, u"Big")->data,
              (std::vector<uint8_t>{ 1, 2, 3, 4, 5, 6, 7, 8 }));
    EXPECT_TRUE(qm::MachineKeyExists(machine_, Hive::Software, u"Vendor\\Empty"));
    EXPECT_EQ(qm::AsDword(Value(Hive::System, qm::kParametersKey, u"Imported")), 42u);
    std::optional<std::vector<std::u16string>> top = qm::ReadMachineKeys(machine_, Hive::System, u"");
    ASSERT_TRUE(top);
    EXPECT_EQ(std::count(top->begin(), top->end(), u"CurrentControlSet"), 0);
    EXPECT_EQ(qm::AsString(Value(Hive::Default, u"Control Panel\\Desktop", u"Wallpaper")), u"");

    /* CurrentControlSet is whichever set Select\Current names. */
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, u"Select", u"Current", REG_DWORD,
                                    qm::DwordData(2)));
    const std::string two = Write("two.reg", "REGEDIT4\n[HKLM\\SYSTEM\\currentcontrolset\\X]\n");
    Outcome quiet = Run({ "machine", "import", "-q", machine_, two });
    EXPECT_EQ(quiet.Status, 0) << quiet.Err;
    EXPECT_EQ(quiet.Out, "");
    EXPECT_TRUE(qm::MachineKeyExists(machine_, Hive::System, u"ControlSet002\\X"));
    EXPECT_FALSE(qm::MachineKeyExists(machine_, Hive::System, u"ControlSet001\\X"));
}

TEST_F(MachineProgramTest, ImportDeletesInFileOrderAndPassesOverWhatIsMissing)
{
    Create();
    const std::string first = Write("first.reg", kV5 + "[HKLM\\SOFTWARE\\A\\Old\\Deep]\r\n"
                                                       "\"x\"=\"1\"\r\n"
                                                       "[HKLM\\SOFTWARE\\A]\r\n"
                                                       "@=\"d\"\r\n"
                                                       "\"Keep\"=\"k\"\r\n"
                                                       "\"Drop\"=\"k\"\r\n");
    const std::string second = Write("second.reg", kV5 + "[-HKLM\\SOFTWARE\\A\\Old]\r\n"
                                                         "[-HKLM\\SOFTWARE\\Never\\There]\r\n"
                                                         "[HKLM\\SOFTWARE\\A]\r\n"
                                                         "\"drop\"=-\r\n"
                                                         "@=-\r\n"
                                                         "\"Missing\"=-\r\n"
                                                         "[HKLM\\SOFTWARE\\A\\Again]\r\n"
                                                         "\"v\"=\"1\"\r\n"
                                                         "[-HKLM\\SOFTWARE\\A\\Again]\r\n"
                                                         "[HKLM\\SOFTWARE\\A\\Again]\r\n");
    Outcome outcome = Run({ "machine", "import", machine_, first, second });
    ASSERT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(outcome.Out, "imported into SOFTWARE: 5 keys, 5 values set, 3 values deleted, "
                           "3 key trees deleted\n");
    EXPECT_EQ(qm::ReadMachineKeys(machine_, Hive::Software, u"A"),
              std::vector<std::u16string>{ u"Again" });
    EXPECT_EQ(qm::ReadMachineValueNames(machine_, Hive::Software, u"A"),
              std::vector<std::u16string>{ u"Keep" });
    EXPECT_EQ(qm::ReadMachineValueNames(machine_, Hive::Software, u"A\\Again"),
              std::vector<std::u16string>{ })
        << "deleted and made again, without its old value";
}

TEST_F(MachineProgramTest, ImportRefusesAKeyNestedDeeperThanWindowsAllows)
{
    Create();
    const std::vector<std::string> before = HiveFiles();
    /* \REGISTRY\MACHINE\SOFTWARE and 509 more levels is as deep as a key
     * goes; one more is refused before anything is written. */
    std::string deep = "HKEY_LOCAL_MACHINE\\SOFTWARE";
    for (int i = 0; i < 509; i++)
        deep += "\\n";
    const std::string ok = Write("ok.reg", "REGEDIT4\n[" + deep + "]\n");
    const std::string bad =
        Write("bad.reg", "REGEDIT4\n[HKLM\\SOFTWARE\\Good]\n[" + deep + "\\n]\n");
    Outcome outcome = Run({ "machine", "import", machine_, bad });
    EXPECT_EQ(outcome.Status, 1);
    EXPECT_EQ(outcome.Err, bad + ":3: error: " + deep + "\\n would be nested 513 levels deep; "
                           "Windows nests keys at most 512 levels deep\n"
                           "qelmbar: machine import: 1 error; nothing was changed\n");
    EXPECT_EQ(HiveFiles(), before);
    Outcome fine = Run({ "machine", "import", "-q", machine_, ok });
    EXPECT_EQ(fine.Status, 0) << fine.Err;
}

TEST_F(MachineProgramTest, AnyFaultInAnyFileChangesNothing)
{
    Create();
    const std::vector<std::string> before = HiveFiles();
    const std::string good = Write("good.reg", kV5 + "[HKLM\\SOFTWARE\\Good]\r\n\"v\"=\"1\"\r\n");
    const std::string bad = Write("bad.reg", kV5 + "[HKLM\\SOFTWARE\\Fine]\r\n"         /* 3 */
                                                   "\"path\"=\"C:\\Temp\"\r\n"         /* 4 */
                                                   "[HKEY_CURRENT_USER\\Software]\r\n" /* 5 */
                                                   "\"v\"=dword:1\r\n"                  /* 6 */
                                                   "[HKLM\\HARDWARE\\X]\r\n"            /* 7 */
                                                   "[-HKLM\\SAM]\r\n");                 /* 8 */
    Outcome outcome =
        Run({ "machine", "import", machine_, good, bad, "--copy", good + "=C:\\good.reg" });
    EXPECT_EQ(outcome.Status, 1);
    EXPECT_EQ(outcome.Out, "");
    const std::string refused = " is in no hive file of a machine; keys must lie under "
                                "HKEY_LOCAL_MACHINE\\SYSTEM, \\SOFTWARE, \\SAM, \\SECURITY or "
                                "HKEY_USERS\\.DEFAULT\n";
    EXPECT_EQ(outcome.Err,
              bad + ":4: error: unknown escape '\\T' in a string; only \\\\ and \\\" are "
                    "escapes, so a backslash is written \\\\\n" +
                  bad + ":5: error: HKEY_CURRENT_USER\\Software" + refused + bad +
                  ":7: error: HKEY_LOCAL_MACHINE\\HARDWARE\\X" + refused + bad +
                  ":8: error: [-HKEY_LOCAL_MACHINE\\SAM] would delete the root of hive SAM, "
                  "which cannot be deleted\n"
                  "qelmbar: machine import: 4 errors; nothing was changed\n");
    EXPECT_EQ(HiveFiles(), before);
    EXPECT_FALSE(fs::exists(OnC("good.reg")));

    const std::string none = (dir_ / "none.reg").string();
    Outcome unreadable = Run({ "machine", "import", machine_, good, none });
    EXPECT_EQ(unreadable.Status, 2);
    EXPECT_EQ(unreadable.Err, "qelmbar: machine import: cannot read " + none +
                                  ": No such file or directory\n"
                                  "qelmbar: machine import: nothing was changed\n");
    Outcome dryRun = Run({ "machine", "import", "-n", machine_, good, "-c", good + "=C:\\g.reg" });
    EXPECT_EQ(dryRun.Status, 0) << dryRun.Err;
    EXPECT_EQ(dryRun.Out, "would copy " + good + " to C:\\g.reg: 1 file, 0 directories\n"
                          "would import into SOFTWARE: 1 key, 1 value set\n"
                          "dry run: nothing was changed\n");
    EXPECT_EQ(HiveFiles(), before);
    EXPECT_FALSE(fs::exists(OnC("g.reg")));

    Outcome noMachine = Run({ "machine", "import", (dir_ / "nothing").string(), good });
    EXPECT_EQ(noMachine.Status, 2);
    EXPECT_NE(noMachine.Err.find("is no machine directory"), std::string::npos) << noMachine.Err;
}

TEST_F(MachineProgramTest, CopyPlacesFilesAndTreesOnVolumeC)
{
    Create();
    const std::string dll = Write("build/app.dll", "new code");
    const std::string tree = (dir_ / "tree").string();
    Write("tree/bin/run.exe", "MZ");
    Write("tree/readme.txt", "hello");
    fs::create_directories(dir_ / "tree/empty");
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(dll, stamp);

    Outcome outcome = Run({ "machine", "import", machine_, "--copy",
                            dll + "=C:\\Program Files\\App\\app.dll", "--copy",
                            tree + "=c:/windows/Vendor" });
    ASSERT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(outcome.Out, "copied " + dll + " to C:\\Program Files\\App\\app.dll: 1 file, 0 "
                           "directories\ncopied " + tree +
                               " to c:\\windows\\Vendor: 2 files, 3 directories\n");
    const fs::path app = OnC("Program Files/App/app.dll");
    EXPECT_EQ(ReadWholeFile(app), "new code");
    EXPECT_EQ(fs::last_write_time(app), stamp);
    EXPECT_FALSE(sk::HostFileHasRecord(app.string())) << "a plain file, as its host stat says";
    EXPECT_EQ(ReadWholeFile(OnC("Windows/Vendor/bin/run.exe")), "MZ") << "into Windows, ignoring case";
    EXPECT_TRUE(fs::is_directory(OnC("Windows/Vendor/empty")));
    EXPECT_FALSE(fs::exists(OnC("windows")));

    /* What exists is replaced only with --force, under the name it has. */
    const std::string newer = Write("build/APP.DLL", "newer");
    ASSERT_EQ(setxattr(app.c_str(), sk::kHostInfoXattr, "stale", 5, 0), 0);
    Outcome refused = Run({ "machine", "import", machine_, "-c", newer + "=C:\\PROGRAM FILES\\app\\APP.DLL" });
    EXPECT_EQ(refused.Status, 1);
    EXPECT_EQ(refused.Err, "qelmbar: machine import: cannot copy " + newer +
                               " to C:\\PROGRAM FILES\\app\\APP.DLL: C:\\Program Files\\App\\"
                               "app.dll exists; --force replaces it\n"
                               "qelmbar: machine import: 1 error; nothing was changed\n");
    EXPECT_EQ(ReadWholeFile(app), "new code");

    Outcome forced = Run({ "machine", "import", "-fq", machine_, "-c",
                           newer + "=C:\\PROGRAM FILES\\app\\APP.DLL", "-c",
                           tree + "=C:\\Windows\\vendor" });
    ASSERT_EQ(forced.Status, 0) << forced.Err;
    EXPECT_EQ(ReadWholeFile(app), "newer");
    EXPECT_FALSE(fs::exists(OnC("Program Files/App/APP.DLL")));
    char record[8];
    EXPECT_LT(getxattr(app.c_str(), sk::kHostInfoXattr, record, sizeof(record)), 0)
        << "nothing recorded for the old file stays with the new one";
    EXPECT_EQ(std::distance(fs::directory_iterator(OnC("Windows/Vendor")), fs::directory_iterator()),
              3);
}

TEST_F(MachineProgramTest, CopyRefusesWhatWindowsCouldNotHoldAndThenCopiesNothing)
{
    Create();
    const std::string file = Write("f.txt", "x");
    const std::string cased = (dir_ / "cased").string();
    Write("cased/Name.txt", "1");
    Write("cased/NAME.TXT", "2");
    Write("linked/real.txt", "r");
    fs::create_symlink("real.txt", dir_ / "linked/link.txt");
    fs::create_directories(OnC("Data"));
    std::ofstream(OnC("Data/file")) << "in the way";
    const std::string windows = qm::VolumeRoot(machine_) + "/Windows";

    const std::vector<std::pair<std::string, std::string>> cases = {
        { file + "=D:\\f.txt", "D:\\f.txt is not on volume C:" },
        { file + "=C:\\..\\..\\f.txt", "'..' in C:\\..\\..\\f.txt is no file name on Windows" },
        { file + "=C:\\a|b", "'a|b' in C:\\a|b is no file name on Windows" },
        { file + "=C:\\Data\\FILE\\f.txt", "C:\\Data\\file is a file, not a directory" },
        { file + "=C:\\data", "C:\\Data is a directory" },
        { cased + "=C:\\cased",
          cased + " holds both NAME.TXT and Name.txt, which are one name on Windows" },
        { (dir_ / "linked").string() + "=C:\\linked",
          (dir_ / "linked/link.txt").string() + " is a symbolic link" },
        { windows + "=C:\\Windows\\Temp\\w", "C:\\Windows\\Temp\\w lies inside " + windows },
    };
    std::vector<std::string> args = { "machine", "import", "--force", machine_ };
    std::string expected;
    for (const auto &[argument, problem] : cases) {
        args.insert(args.end(), { "--copy", argument });
        const size_t cut = argument.find('=');
        expected += "qelmbar: machine import: cannot copy " + argument.substr(0, cut) + " to " +
                    argument.substr(cut + 1) + ": " + problem + "\n";
    }
    args.insert(args.end(), { "--copy", file + "=C:\\fine.txt" });
    Outcome outcome = Run(args);
    EXPECT_EQ(outcome.Status, 1);
    EXPECT_EQ(outcome.Err, expected + "qelmbar: machine import: 8 errors; nothing was changed\n");
    EXPECT_FALSE(fs::exists(OnC("fine.txt")));
    EXPECT_FALSE(fs::exists(OnC("cased")));
}

TEST_F(MachineProgramTest, AnImportedMachineBootsAndTheDriverRunsWhatWasStaged)
{
    Create();
    Write("pkg/app.dll", "version 2");
    Write("old/app.dll", "version 1");
    const std::string reg = Write(
        "stage.reg",
        kV5 + "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Qelmbar\\Parameters]\r\n"
              "\"BootTimeOperationsList\"=hex(7):" +
            HexUtf16("CopyFile(\"\\??\\C:\\Staging\\app.dll\", "
                     "\"\\??\\C:\\Program Files\\App\\app.dll\", true)") +
            ",00,00\r\n");
    Outcome outcome =
        Run({ "machine", "import", "-q", machine_, reg, "-c",
              (dir_ / "pkg/app.dll").string() + "=C:\\Staging\\app.dll", "-c",
              (dir_ / "old/app.dll").string() + "=C:\\Program Files\\App\\app.dll" });
    ASSERT_EQ(outcome.Status, 0) << outcome.Err;

    qm::BootReport report;
    ASSERT_TRUE(qm::Boot(machine_, qm::BootOptions(), &report)) << report.Summary();
    EXPECT_EQ(report.entryStatus, STATUS_SUCCESS) << report.Summary();
    EXPECT_TRUE(report.violations.empty() && report.systemErrors.empty()) << report.Summary();
    EXPECT_EQ(ReadWholeFile(OnC("Program Files/App/app.dll")), "version 2");
    EXPECT_FALSE(Value(Hive::System, qm::kParametersKey, u"BootTimeOperationsList"))
        << "the one-shot list is gone once it ran";
}

} // namespace
