/*
 * check_warnings_test.cpp - what qelmbar check says about valid scripts
 * that will not do at boot what they say (Win32 and relative paths, user
 * hives, reads of what a waiting write makes), and about files that cannot
 * be handed to the driver at all: at their place, with a caret that stands
 * under the character on a terminal.
 */
#include "tests/support/kernel_test.h"
#include "tests/support/tool_run.h"
#include "tools/lib/script_check.h"
#include "tools/lib/script_source.h"

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using qelmbar::ScriptWarning;
using qelmbar::WarningKind;
using Outcome = qelmbar::test::ToolOutcome;
using CheckWarningsProgramTest = qelmbar::test::ToolTest;

class CheckWarningsTest : public qtest::KernelTest {
protected:
    std::vector<ScriptWarning> Warnings(const std::string &script)
    {
        qelmbar::ScriptData data;
        qelmbar::SourceProblem problem;
        EXPECT_TRUE(qelmbar::ScriptFromUtf8(script, &data, &problem)) << problem.Message;
        qelmbar::CheckResult result = qelmbar::CheckScript(data.Value);
        EXPECT_STATUS(STATUS_SUCCESS, result.Status);
        reorders_ = result.Reorders.size();
        return result.Warnings;
    }

    size_t reorders_ = 0;
};

/* "Operation:Kind:Path:Suggestion", one a warning, for exact comparison. */
std::vector<std::string> Flat(const std::vector<ScriptWarning> &warnings)
{
    std::vector<std::string> out;
    for (const ScriptWarning &w : warnings)
        out.push_back(std::to_string(w.Operation) + ":" + std::to_string((int)w.Kind) + ":" +
                      w.Path + ":" + w.Suggestion +
                      (w.Kind == WarningKind::ReadBeforeCreate ? ":" + std::to_string(w.Other)
                                                               : ""));
    return out;
}

std::string K(WarningKind kind)
{
    return std::to_string((int)kind);
}

TEST_F(CheckWarningsTest, PathsTheDriverWillNotOpenAreNamedWithWhatToWrite)
{
    std::vector<ScriptWarning> warnings = Warnings(
        "CopyFile(\"C:\\App\\x.dll\", \"\\??\\C:\\App\\y.dll\", true)\n"
        "DeleteFile(\"app\\x.dll\")\n"
        "RenameFile(\"\\??\\C:\\a.txt\", \"b.txt\", false)\n"
        "CreateKey(\"HKLM\\SOFTWARE\\App\")\n"
        "CreateKey(\"hkey_local_machine\\SYSTEM\\App\")\n"
        "DeleteKey(\"HKLM:\\SOFTWARE\\Old\", true)\n"
        "CreateKey(\"HKCU\\Software\\App\")\n"
        "CreateKey(\"\\REGISTRY\\USER\\S-1-5-21-1\\Software\")\n"
        "CreateKey(\"\\REGISTRY\\USER\\.DEFAULT\\Software\")\n"
        "CreateKey(\"SOFTWARE\\App\")\n"
        "CreateKey(\"\\SOFTWARE\\App\")\n"
        "CreateKey(\"HKLMX\\App\")\n"
        "CreateKey(\"HKU\\S-1-5-21-1\\Software\")\n");
    EXPECT_EQ(Flat(warnings),
              (std::vector<std::string>{
                  "0:" + K(WarningKind::Win32Path) + ":C:\\App\\x.dll:\\??\\C:\\App\\x.dll",
                  "1:" + K(WarningKind::RelativePath) + ":app\\x.dll:",
                  "3:" + K(WarningKind::Win32Key) +
                      ":HKLM\\SOFTWARE\\App:\\REGISTRY\\MACHINE\\SOFTWARE\\App",
                  "4:" + K(WarningKind::Win32Key) +
                      ":hkey_local_machine\\SYSTEM\\App:\\REGISTRY\\MACHINE\\SYSTEM\\App",
                  "5:" + K(WarningKind::Win32Key) +
                      ":HKLM:\\SOFTWARE\\Old:\\REGISTRY\\MACHINE\\SOFTWARE\\Old",
                  "6:" + K(WarningKind::UserHive) + ":HKCU\\Software\\App:",
                  "7:" + K(WarningKind::UserHive) + ":\\REGISTRY\\USER\\S-1-5-21-1\\Software:",
                  "9:" + K(WarningKind::RelativeKey) + ":SOFTWARE\\App:",
                  "10:" + K(WarningKind::NotRegistryPath) + ":\\SOFTWARE\\App:",
                  "11:" + K(WarningKind::RelativeKey) + ":HKLMX\\App:",
                  "12:" + K(WarningKind::Win32Key) +
                      ":HKU\\S-1-5-21-1\\Software:\\REGISTRY\\USER\\S-1-5-21-1\\Software",
                  "12:" + K(WarningKind::UserHive) + ":HKU\\S-1-5-21-1\\Software:",
              }))
        << "a rename's new name is a name, not a path; the default user's hive is no user's";
}

TEST_F(CheckWarningsTest, AReadOfWhatAWaitingWriteMakesIsFlaggedOnceAtTheRead)
{
    const std::string sw = "\\REGISTRY\\MACHINE\\SOFTWARE\\";
    const std::string sys = "\\REGISTRY\\MACHINE\\SYSTEM\\";
    std::vector<ScriptWarning> warnings = Warnings(
        /* 0 waits: SOFTWARE is not loaded at the boot pass */
        "CreateKey(\"" + sw + "A\")\n" +
        /* 1 reads A by mounting SOFTWARE, and fails before its own write would wait */
        "CopyKey(\"" + sw + "a\", \"" + sw + "B\", false)\n" +
        /* 2 reads beneath A */
        "CopyKey(\"" + sw + "A\\Sub\", \"" + sys + "C\", false)\n" +
        /* 3 waits: its source is moved out of SOFTWARE; it makes SYSTEM\\T:V late */
        "SetKeyValue(\"" + sw + "S\", \"V\", \"" + sys + "T\", \"V\", true, true)\n" +
        /* 4 reads SYSTEM\\T:V at once */
        "RenameValue(\"" + sys + "T\", \"v\", \"W\", false)\n" +
        /* 5 reads another value of T: not made by 3 */
        "DeleteKeyValue(\"" + sys + "T\", \"Other\")\n" +
        /* 6 reads a user's hive: it cannot be mounted, so it waits and keeps its place */
        "CopyKey(\"\\REGISTRY\\USER\\S-1-5-21-1\\X\", \"" + sys + "U\", false)\n" +
        "CreateKey(\"" + sys + "Now\")\n" +
        /* 8: SYSTEM\\Now was made at once */
        "CopyKey(\"" + sys + "Now\", \"" + sw + "Later\", false)\n");
    std::vector<std::string> flat = Flat(warnings);
    std::vector<std::string> reads;
    for (size_t i = 0; i < warnings.size(); i++) {
        if (warnings[i].Kind == WarningKind::ReadBeforeCreate)
            reads.push_back(flat[i]);
    }
    const std::string rbc = K(WarningKind::ReadBeforeCreate);
    EXPECT_EQ(reads, (std::vector<std::string>{
                         "1:" + rbc + ":" + sw + "a:" + sw + "A:0",
                         "2:" + rbc + ":" + sw + "A\\Sub:" + sw + "A:0",
                         "4:" + rbc + ":" + sys + "T:v:" + sys + "T:V:3",
                     }));
    EXPECT_EQ(warnings.size(), reads.size() + 1) << "the user hive of line 7";
    EXPECT_EQ(reorders_, 0u) << "a read already flagged is not flagged again as overtaking";
}

TEST_F(CheckWarningsTest, ASourceThatWaitsItselfOrAWriteThatDoesNotWaitWarnsOfNothing)
{
    const std::string sw = "\\REGISTRY\\MACHINE\\SOFTWARE\\";
    const std::string sys = "\\REGISTRY\\MACHINE\\SYSTEM\\";
    EXPECT_TRUE(Warnings("CreateKey(\"" + sys + "A\")\n"
                         "CopyKey(\"" + sys + "A\", \"" + sw + "B\", false)\n"
                         "SetKeyValue(\"" + sw + "X\", \"V\", \"" + sw + "Y\", \"V\", true, false)\n"
                         /* moves out of SOFTWARE: waits itself, behind the write above */
                         "SetKeyValue(\"" + sw + "Y\", \"V\", \"" + sys + "Z\", \"V\", true, true)\n"
                         /* a sibling of what was made */
                         "CopyKey(\"" + sw + "Bx\", \"" + sys + "C\", false)\n")
                    .empty());
}

/* ---- The program ------------------------------------------------------ */

TEST_F(CheckWarningsProgramTest, WarningsStandInLineOrderAndLeaveTheVerdict)
{
    std::string script = Write("w.qbs",
                               "CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\A\")\n"
                               "\n"
                               "CopyKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\A\", "
                               "\"\\REGISTRY\\MACHINE\\SOFTWARE\\B\", false)\n"
                               "CopyFile(\"C:\\App\\x.dll\", \"x.bak\", true)\n"
                               "SetKeyValue(\"HKLM\\SOFTWARE\\App\", \"V\", "
                               "\"HKCU\\Software\\App\", \"V\", true, false)\n");
    Outcome run = Run({ "check", script });
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out, script + ": OK (4 operations)\n");
    EXPECT_EQ(run.Err,
              script + ":3: warning: this operation reads \\REGISTRY\\MACHINE\\SOFTWARE\\A, which "
                       "line 1 makes (\\REGISTRY\\MACHINE\\SOFTWARE\\A) only once the Win32 "
                       "subsystem starts, as its write waits for the hive; at the boot pass this "
                       "one runs first and finds it as it was before, or not at all\n" +
                  script + ":4: warning: \"C:\\App\\x.dll\" is a Win32 path, which the driver "
                           "cannot open; write the NT path \"\\??\\C:\\App\\x.dll\"\n" +
                  script + ":4: warning: \"x.bak\" is a relative path; the driver opens full NT "
                           "paths only, such as \"\\??\\C:\\...\"\n" +
                  script + ":5: warning: \"HKLM\\SOFTWARE\\App\" is a Win32 registry name, which "
                           "the driver cannot open; write \"\\REGISTRY\\MACHINE\\SOFTWARE\\App\"\n" +
                  script + ":5: warning: \"HKCU\\Software\\App\" lies in a user's own hive, which "
                           "Windows loads only at logon: the operation waits for the deferred run "
                           "and fails there with STATUS_FAIL_CHECK\n");

    Outcome quiet = Run({ "check", "-q", script });
    EXPECT_EQ(quiet.Status, 0);
    EXPECT_EQ(quiet.Out + quiet.Err, "");

    Outcome json = Run({ "check", "--json", script });
    EXPECT_EQ(json.Status, 0);
    EXPECT_NE(json.Out.find("\"warnings\":[{\"line\":3,\"kind\":\"readBeforeCreate\",\"message\":"
                            "\"this operation reads "),
              std::string::npos)
        << json.Out;
    EXPECT_NE(json.Out.find("{\"line\":5,\"kind\":\"userHive\",\"message\":\"\\\"HKCU\\\\Software"
                            "\\\\App\\\" lies in a user's own hive"),
              std::string::npos)
        << json.Out;
}

TEST_F(CheckWarningsProgramTest, FilesThatCannotBeHandedToTheDriverAreRefusedAtTheirPlace)
{
    const std::string kTail = ": cannot be handed to the driver as it is\n";
    struct Case {
        std::string Name;
        std::string Bytes;
        std::string Err; /* after the file name */
    } cases[] = {
        { "nul.qbs", "DeleteFile(\"a\")\nDel\0eteFile(\"b\")\n"s,
          ":2:4: error: NUL character (byte 0x00) in the line; the driver would take it for the "
          "end of the string\n"
          "   2 | Del?eteFile(\"b\")\n"
          "     |    ^\n" },
        { "latin1.qbs", "DeleteFile(\"\\??\\C:\\Caf\xE9\")\n",
          ":1:23: error: invalid UTF-8 (byte 0xE9); a script must be UTF-8 text\n"
          "   1 | DeleteFile(\"\\??\\C:\\Caf\xEF\xBF\xBD\")\n"
          "     |                       ^\n" },
        { "bom.qbs", "\xFF\xFE" "D\0e\0l\0\r\0\n\0x\0"s,
          ":1:1: error: the file is UTF-16 text (it starts with the byte order mark 0xFF 0xFE); "
          "save the script as UTF-8\n"
          "   1 | Del\n"
          "     | ^\n" },
        { "nobom.qbs", "D\0e\0l\0e\0t\0e\0F\0i\0l\0e\0\n\0"s,
          ":1:1: error: the file is UTF-16 text without a byte order mark (little-endian: every "
          "other byte is 0x00); save the script as UTF-8\n"
          "   1 | DeleteFile\n"
          "     | ^\n" },
        { "nobom-be.qbs", "\0D\0e\0l"s,
          ":1:1: error: the file is UTF-16 text without a byte order mark (big-endian: every "
          "other byte is 0x00); save the script as UTF-8\n"
          "   1 | Del\n"
          "     | ^\n" },
    };
    for (const Case &c : cases) {
        std::string file = Write(c.Name, c.Bytes);
        Outcome outcome = Run({ "check", file });
        EXPECT_EQ(outcome.Status, 1) << c.Name;
        EXPECT_EQ(outcome.Out, "") << c.Name;
        EXPECT_EQ(outcome.Err, file + c.Err + file + kTail) << c.Name;
    }

    std::string nul = (dir_ / "nul.qbs").string();
    Outcome json = Run({ "check", "--json", nul });
    EXPECT_EQ(json.Status, 1);
    EXPECT_EQ(json.Err, "");
    EXPECT_EQ(json.Out, "{\"files\":[{\"path\":\"" + nul +
                            "\",\"valid\":false,\"trouble\":null,\"operations\":[],\"warnings\":[],"
                            "\"error\":{\"line\":2,\"column\":4,\"message\":\"NUL character (byte "
                            "0x00) in the line; the driver would take it for the end of the "
                            "string\",\"status\":null}}],\"valid\":false}\n");
}

TEST_F(CheckWarningsProgramTest, TheCaretStandsUnderTheFaultAfterWideAndCombiningCharacters)
{
    /* Two columns for each CJK character, the fullwidth letter and the
     * emoji, none for the combining acute accent. */
    std::string script = Write("wide.qbs",
                               "DeleteFile(\"\\??\\C:\\\xE6\x97\xA5\xE6\x9C\xAC\xEF\xBC\xA1"
                               "e\xCC\x81\xF0\x9F\x98\x80\") x\n");
    Outcome run = Run({ "check", script });
    EXPECT_EQ(run.Status, 1);
    /* 28 characters stand before the x, so it is column 29; on a terminal
     * they take 31 columns: 日, 本, Ａ and 😀 two each (+4), the accent
     * none (-1). */
    EXPECT_EQ(run.Err,
              script + ":1:29: error: unexpected text after ')'; only spaces and tabs may follow "
                       "an operation on its line\n"
                       "   1 | DeleteFile(\"\\??\\C:\\\xE6\x97\xA5\xE6\x9C\xAC\xEF\xBC\xA1"
                       "e\xCC\x81\xF0\x9F\x98\x80\") x\n"
                       "     | " + std::string(31, ' ') + "^\n" +
                  script + ": rejected by the driver parser: STATUS_DATA_OVERRUN (0xC000003C)\n");

    EXPECT_EQ(qelmbar::ColumnWidth(0x65E5), 2);
    EXPECT_EQ(qelmbar::ColumnWidth(0xFF21), 2);
    EXPECT_EQ(qelmbar::ColumnWidth(0x1F600), 2);
    EXPECT_EQ(qelmbar::ColumnWidth(0x0301), 0);
    EXPECT_EQ(qelmbar::ColumnWidth(0x200B), 0);
    EXPECT_EQ(qelmbar::ColumnWidth('a'), 1);
    EXPECT_EQ(qelmbar::ColumnWidth(0x00E9), 1);
}

} // namespace

namespace {

/* The check's model of a boot held against a boot: each read it flags
 * fails at the boot pass for want of what it reads, and nothing else does. */
TEST_F(CheckWarningsProgramTest, EveryFlaggedReadFailsInASimulatedBootAndNoOtherOperationDoes)
{
    const std::string machine = (dir_ / "m").string();
    ASSERT_EQ(Run({ "machine", "create", "-q", machine }).Status, 0);
    std::string reg = Write("s.reg", "Windows Registry Editor Version 5.00\n\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\S]\n\"V\"=\"v\"\n");
    ASSERT_EQ(Run({ "machine", "import", "-q", machine, reg }).Status, 0);
    std::string script = Write(
        "s.qbs", "CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\A\")\n"
                 "CopyKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\A\", \"\\REGISTRY\\MACHINE\\SOFTWARE\\B\", false)\n"
                 "SetKeyValue(\"\\REGISTRY\\MACHINE\\SOFTWARE\\S\", \"V\", \"\\REGISTRY\\MACHINE\\SYSTEM\\T\", \"V\", true, true)\n"
                 "RenameValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\T\", \"V\", \"W\", false)\n"
                 "CreateKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\Now\")\n"
                 "CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\Now\", \"\\REGISTRY\\MACHINE\\SOFTWARE\\Later\", false)\n");
    Outcome check = Run({ "check", "--json", script });
    ASSERT_EQ(check.Status, 0);
    EXPECT_NE(check.Out.find("{\"line\":2,\"kind\":\"readBeforeCreate\""), std::string::npos);
    EXPECT_NE(check.Out.find("{\"line\":4,\"kind\":\"readBeforeCreate\""), std::string::npos);
    size_t flagged = 0;
    for (size_t at = check.Out.find("readBeforeCreate"); at != std::string::npos;
         at = check.Out.find("readBeforeCreate", at + 1))
        flagged++;
    EXPECT_EQ(flagged, 2u) << "no other line flagged: " << check.Out;

    ASSERT_EQ(Run({ "schedule", "--machine", machine, script }).Status, 0);
    Outcome boot = Run({ "simulate", machine });
    ASSERT_EQ(boot.Status, 0) << boot.Err;
    const char *outcomes[] = {
        "    1. deferred, then done in the deferred run: CreateKey(",
        "    2. failed with STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034): CopyKey(",
        "    3. deferred, then done in the deferred run: SetKeyValue(",
        "    4. failed with STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034): RenameValue(",
        "    5. done: CreateKey(",
        "    6. deferred, then done in the deferred run: CopyKey(",
    };
    for (const char *outcome : outcomes)
        EXPECT_NE(boot.Out.find(outcome), std::string::npos) << outcome << "\n" << boot.Out;
}

} // namespace
