/*
 * machine_compare_test.cpp - qelmbar machine diff, machine export and
 * simulate --diff, run as a user runs them: the exact lines of each
 * difference, the exact .reg text written, and the round trip through
 * machine import that gives back the same keys and values of every type.
 */
#include "machine/machine.h"
#include "tests/support/tool_run.h"
#include "tools/lib/machine_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using Outcome = qelmbar::test::ToolOutcome;
using qelmbar::test::ReadWholeFile;

const std::string kShaHello = "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";
const std::string kShaOne = "7692c3ad3540bb803c020b3aee66cd8887123234ea0c6e7143c0add73ff431ed";
const std::string kShaThree = "8b5b9db0c13db24256c829aa364aa90c6d2eba318b9232a4ab9313b954d3555f";
const std::string kShaX = "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881";

/* Text as a registry editor's export: UTF-16LE after a byte order mark,
 * lines ended by CR LF. */
std::string RegFile(const std::string &ascii)
{
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        if (c == '\n')
            out += std::string("\r\0", 2);
        out += std::string(1, c) + '\0';
    }
    return out;
}

/* The UTF-16LE text of an ASCII-only .reg file, CRs dropped. */
std::string Ascii(const std::string &regFile)
{
    EXPECT_EQ(regFile.compare(0, 2, "\xFF\xFE"), 0) << "a byte order mark first";
    std::string out;
    for (size_t i = 2; i + 1 < regFile.size(); i += 2) {
        EXPECT_EQ(regFile[i + 1], '\0') << "at " << i;
        if (regFile[i] != '\r')
            out += regFile[i];
    }
    return out;
}

class MachineCompareTest : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        a_ = (dir_ / "a").string();
        b_ = (dir_ / "b").string();
        ASSERT_EQ(Run({ "machine", "create", "-q", a_ }).Status, 0);
        ASSERT_EQ(Run({ "machine", "create", "-q", b_ }).Status, 0);
    }

    void Import(const std::string &machine, const std::string &reg)
    {
        std::string file = Write("import.reg", RegFile(reg));
        Outcome run = Run({ "machine", "import", "-q", machine, file });
        ASSERT_EQ(run.Status, 0) << run.Err;
    }

    void PutFile(const std::string &machine, const std::string &below, const std::string &bytes)
    {
        fs::path path = fs::path(qm::VolumeRoot(machine)) / below;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }

    std::string a_, b_;
};

TEST_F(MachineCompareTest, TwoFreshMachinesHoldTheSame)
{
    Outcome run = Run({ "machine", "diff", a_, b_ });
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out + run.Err, "");
    Outcome json = Run({ "machine", "diff", "--json", a_, b_ });
    EXPECT_EQ(json.Status, 0);
    EXPECT_EQ(json.Out,
              "{\"machine1\":\"" + a_ + "\",\"machine2\":\"" + b_ + "\",\"same\":true,\"changes\":[]}\n");
}

TEST_F(MachineCompareTest, EveryFileKeyAndValueThatDiffersIsOneLine)
{
    const std::string kV5 = "Windows Registry Editor Version 5.00\n\n";
    Import(a_, kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n\"x\"=hex:01,02\n\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Same]\n\"V\"=\"1\"\n\"Kept\"=dword:00000007\n");
    Import(b_, kV5 + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\App]\n\"Version\"=\"2\"\n@=dword:00000001\n\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\App\\Sub]\n\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Same]\n\"v\"=\"2\"\n\"Kept\"=dword:00000007\n");
    PutFile(b_, "App/hello.txt", "hello\n");
    PutFile(a_, "Gone.txt", "x");
    PutFile(a_, "Changed.txt", "one");
    PutFile(b_, "Changed.txt", "three");

    Outcome run = Run({ "machine", "diff", a_, b_ });
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, "");
    EXPECT_EQ(run.Out,
              "+ directory C:\\App\n"
              "+ file C:\\App\\hello.txt (6 bytes, sha256 " + kShaHello + ")\n"
              "~ file C:\\Changed.txt: 3 bytes, sha256 " + kShaOne + " -> 5 bytes, sha256 " +
                  kShaThree + "\n"
              "- file C:\\Gone.txt (1 byte, sha256 " + kShaX + ")\n"
              "+ key \\REGISTRY\\MACHINE\\SOFTWARE\\App\n"
              "+ value \\REGISTRY\\MACHINE\\SOFTWARE\\App \"Version\" = REG_SZ \"2\"\n"
              "+ value \\REGISTRY\\MACHINE\\SOFTWARE\\App (default) = REG_DWORD 0x00000001 (1)\n"
              "+ key \\REGISTRY\\MACHINE\\SOFTWARE\\App\\Sub\n"
              "~ value \\REGISTRY\\MACHINE\\SOFTWARE\\Same \"V\": REG_SZ \"1\" -> REG_SZ \"2\"\n"
              "- key \\REGISTRY\\MACHINE\\SOFTWARE\\Old\n"
              "- value \\REGISTRY\\MACHINE\\SOFTWARE\\Old \"x\" = REG_BINARY 01 02\n")
        << "names compare ignoring case, as the registry compares them";

    Outcome back = Run({ "machine", "diff", b_, a_ });
    EXPECT_EQ(back.Status, 1);
    EXPECT_NE(back.Out.find("- file C:\\App\\hello.txt (6 bytes"), std::string::npos) << back.Out;
    EXPECT_NE(back.Out.find("+ key \\REGISTRY\\MACHINE\\SOFTWARE\\Old\n"), std::string::npos);

    Outcome json = Run({ "machine", "diff", "--json", a_, b_ });
    EXPECT_EQ(json.Status, 1);
    EXPECT_NE(json.Out.find("{\"change\":\"changed\",\"item\":\"value\",\"path\":\"\\\\REGISTRY\\\\"
                            "MACHINE\\\\SOFTWARE\\\\Same\",\"value\":\"V\",\"before\":\"REG_SZ "
                            "\\\"1\\\"\",\"after\":\"REG_SZ \\\"2\\\"\"}"),
              std::string::npos)
        << json.Out;
    EXPECT_NE(json.Out.find("{\"change\":\"removed\",\"item\":\"file\",\"path\":\"C:\\\\Gone.txt\","
                            "\"before\":\"1 byte, sha256 " + kShaX + "\",\"after\":null}"),
              std::string::npos)
        << json.Out;
}

TEST_F(MachineCompareTest, DiffRefusesWhatIsNoPairOfMachines)
{
    Outcome one = Run({ "machine", "diff", a_ });
    EXPECT_EQ(one.Status, 2);
    EXPECT_EQ(one.Err, "qelmbar: machine diff: two machine directories needed, not 1\n"
                       "Try 'qelmbar machine diff --help' for more information.\n");
    std::string missing = (dir_ / "missing").string();
    Outcome none = Run({ "machine", "diff", a_, missing });
    EXPECT_EQ(none.Status, 2);
    EXPECT_EQ(none.Err, "qelmbar: machine diff: " + missing + " is no machine directory (it has no " +
                            qm::HiveFilePath(missing, qm::Hive::System) + ")\n");
}

/* ---- export ---------------------------------------------------------- */

const char kEveryType[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Types]\n"
    "@=\"default \\\"quoted\\\" C:\\\\path\"\n"
    "\"none\"=hex(0):\n"
    "\"none data\"=hex(0):01,02\n"
    "\"sz\"=\"text\"\n"
    "\"empty sz\"=\"\"\n"
    "\"odd sz\"=hex(1):41\n"
    "\"expand\"=hex(2):25,00,50,00,25,00,00,00\n"
    "\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
    "\"empty multi\"=hex(7):00,00\n"
    "\"dword\"=dword:0000002a\n"
    "\"short dword\"=hex(4):2a,00\n"
    "\"qword\"=hex(b):01,02,03,04,05,06,07,08\n"
    "\"binary\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
    "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\n"
    "\"empty binary\"=hex:\n"
    "\"odd type\"=hex(123456):ff\n"
    "\"name \\\"with\\\" quotes\\\\and backslash\"=\"v\\\\\\\"w\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Types\\Child]\n"
    "\"x\"=dword:00000000\n"
    "\n";

TEST_F(MachineCompareTest, ExportWritesEveryTypeSoThatImportGivesItBack)
{
    Import(a_, kEveryType);
    std::string exported = (dir_ / "t.reg").string();
    Outcome run = Run({ "machine", "export", a_, "software", "TYPES", "-o", exported });
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out + run.Err, "");
    std::string bytes = ReadWholeFile(exported);
    EXPECT_EQ(Ascii(bytes), std::string(kEveryType))
        << "the file the registry editor would write: the same text, names as stored";
    EXPECT_NE(bytes.find(std::string("\r\0\n\0", 4)), std::string::npos) << "CR LF line ends";

    Outcome imported = Run({ "machine", "import", "-q", b_, exported });
    ASSERT_EQ(imported.Status, 0) << imported.Err;
    Outcome same = Run({ "machine", "diff", a_, b_ });
    EXPECT_EQ(same.Status, 0) << same.Out;
    EXPECT_EQ(same.Out, "");
    Outcome again = Run({ "machine", "export", b_, "SOFTWARE", "Types" });
    EXPECT_EQ(again.Status, 0);
    EXPECT_EQ(again.Out, bytes) << "to standard output, byte for byte the same";
}

TEST_F(MachineCompareTest, AWholeMachineExportedAndImportedIntoAFreshOneIsTheSame)
{
    Import(a_, kEveryType);
    ASSERT_EQ(Run({ "schedule", "--machine", a_, Write("s.qbs", "CreateDir(\"\\??\\C:\\X\")\n") })
                  .Status,
              0);
    std::string all = (dir_ / "all.reg").string();
    Outcome run = Run({ "machine", "export", "--json", "-o", all, a_ });
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out.find("{\"machine\":\"" + a_ + "\",\"file\":\"" + all + "\",\"keys\":"), 0u)
        << run.Out;
    EXPECT_NE(Ascii(ReadWholeFile(all)).find("[HKEY_USERS\\.DEFAULT]\n"), std::string::npos);

    ASSERT_EQ(Run({ "machine", "import", "-q", b_, all }).Status, 0);
    Outcome same = Run({ "machine", "diff", a_, b_ });
    EXPECT_EQ(same.Status, 0) << same.Out;
}

TEST_F(MachineCompareTest, ExportSaysWhatItCannotWrite)
{
    Outcome missing = Run({ "machine", "export", a_, "SOFTWARE", "Nope" });
    EXPECT_EQ(missing.Status, 1);
    EXPECT_EQ(missing.Out, "");
    EXPECT_EQ(missing.Err, "qelmbar: machine export: SOFTWARE has no key Nope\n");

    Outcome hive = Run({ "machine", "export", a_, "HKLM" });
    EXPECT_EQ(hive.Status, 2);
    EXPECT_EQ(hive.Err, "qelmbar: machine export: no hive 'HKLM': SYSTEM, SOFTWARE, SAM, SECURITY "
                        "or DEFAULT\nTry 'qelmbar machine export --help' for more information.\n");

    Outcome json = Run({ "machine", "export", "--json", a_ });
    EXPECT_EQ(json.Status, 2);
    EXPECT_EQ(json.Out, "{\"error\":{\"message\":\"machine export: --json needs --output FILE: the "
                        ".reg file is not JSON\",\"status\":null},\"exitStatus\":2}\n");

    Outcome unwritable = Run({ "machine", "export", "-o", (dir_ / "no" / "t.reg").string(), a_ });
    EXPECT_EQ(unwritable.Status, 2);
    EXPECT_EQ(unwritable.Err,
              "qelmbar: machine export: cannot write " + (dir_ / "no" / "t.reg").string() + "\n");
}

/* ---- simulate --diff ----------------------------------------------------- */

TEST_F(MachineCompareTest, SimulateDiffListsWhatEachBootChanged)
{
    std::string script = Write("s.qbs", "CreateDir(\"\\??\\C:\\NewDir\")\n"
                                        "CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Made\")\n");
    ASSERT_EQ(Run({ "schedule", "--machine", a_, script }).Status, 0);
    Outcome run = Run({ "simulate", "--diff", "-n", "2", a_ });
    ASSERT_EQ(run.Status, 0) << run.Err;
    const std::string parameters =
        "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Qelmbar\\Parameters";
    const std::string first =
        "  changes on the machine, 7:\n"
        "    + directory C:\\NewDir\n"
        "    - value " + parameters + " \"BootTimeOperationsList\" = REG_MULTI_SZ "
        "[\"CreateDir(\\\"\\\\??\\\\C:\\\\NewDir\\\")\", "
        "\"CreateKey(\\\"\\\\REGISTRY\\\\MACHINE\\\\SOFTWARE\\\\Made\\\")\"]\n"
        "    + value " + parameters + " \"BootCounter\" = REG_DWORD 0x00000001 (1)\n"
        "    + value " + parameters + " \"LastBootTimeOperationsResults\" = REG_BINARY "
        "01 00 00 00 00 00 00 00 01 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 03 00 00 00\n"
        "    + value " + parameters + " \"TickCounter\" = REG_DWORD 0x00000258 (600)\n"
        "    + value " + parameters + " \"SystemRoot\" = REG_SZ "
        "\"\\\\Device\\\\HarddiskVolume1\\\\Windows\" (without a NUL)\n"
        "    + key \\REGISTRY\\MACHINE\\SOFTWARE\\Made\n";
    const std::string second =
        "  changes on the machine, 2:\n"
        "    ~ value " + parameters + " \"BootCounter\": REG_DWORD 0x00000001 (1) -> REG_DWORD "
        "0x00000002 (2)\n"
        "    ~ value " + parameters + " \"TickCounter\": REG_DWORD 0x00000258 (600) -> "
        "REG_DWORD 0x000004b0 (1200)\n";
    size_t at = run.Out.find(first);
    ASSERT_NE(at, std::string::npos) << run.Out;
    size_t boot2 = run.Out.find("Boot 2 of 2");
    EXPECT_LT(at, boot2) << "each boot's changes end its own report";
    EXPECT_EQ(run.Out.substr(run.Out.size() - second.size()), second) << run.Out;

    Outcome same = Run({ "simulate", "--diff", a_ });
    EXPECT_NE(same.Out.find("\n  changes on the machine, 2:\n"), std::string::npos);
    Outcome json = Run({ "simulate", "--diff", "--json", "--scratch", a_ });
    EXPECT_NE(json.Out.find(",\"changes\":[{\"change\":\"changed\",\"item\":\"value\",\"path\":\"" +
                            std::string("\\\\REGISTRY\\\\MACHINE\\\\SYSTEM\\\\ControlSet001\\\\"
                                        "Services\\\\Qelmbar\\\\Parameters\",\"value\":\"BootCounter\"")),
              std::string::npos)
        << json.Out;
    EXPECT_EQ(Run({ "simulate", "--diff", "--sweep", "1", a_ }).Status, 2);
}

} // namespace
