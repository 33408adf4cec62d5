/*
 * check_test.cpp - qelmbar check: script files turned into the driver's
 * multi-string, the explanation of refused scripts held against the
 * driver parser's verdict, and the program's messages, output and exit
 * statuses, on temporary files and on the examples.
 */
#include "tests/support/kernel_test.h"
#include "tests/support/tool_run.h"
#include "tools/lib/script_check.h"
#include "tools/lib/script_source.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using qelmbar::CheckResult;
using qelmbar::CheckScript;
using qelmbar::ScriptData;
using qelmbar::ScriptFromUtf8;
using qelmbar::SourceProblem;

ScriptData Convert(const std::string &bytes)
{
    ScriptData data;
    SourceProblem problem;
    EXPECT_TRUE(ScriptFromUtf8(bytes, &data, &problem)) << problem.Message;
    return data;
}

/* "LINE:COLUMN: message" of a file the driver cannot be handed. */
std::string ConversionProblem(const std::string &bytes)
{
    ScriptData data;
    SourceProblem problem;
    if (ScriptFromUtf8(bytes, &data, &problem))
        return "converted";
    return std::to_string(problem.Line) + ":" + std::to_string(problem.Column) + ": " +
           problem.Message;
}

/* ---- Script files into multi-strings ---------------------------------- */

TEST(CheckSourceTest, EachLineBecomesAStringEndedByNulAndOneMoreNulEndsTheList)
{
    ScriptData data = Convert("CreateDir(\"a\")\nDeleteFile(\"b\")\n");
    EXPECT_EQ(data.Value, u"CreateDir(\"a\")\0DeleteFile(\"b\")\0\0"s);
    EXPECT_EQ(data.DataLength(), (ULONG)(data.Value.size() * 2));
    EXPECT_EQ(data.DataLength(), 64u);
    EXPECT_EQ(data.LineStarts, (std::vector<size_t>{ 0, 15 }));

    EXPECT_EQ(Convert("CreateDir(\"a\")\nDeleteFile(\"b\")").Value, data.Value)
        << "the last line needs no line break";
    EXPECT_EQ(Convert("").Value, u"\0"s);
    EXPECT_EQ(Convert("").LineCount(), 0u);
    EXPECT_EQ(Convert("\n").Value, u"\0\0"s);
}

TEST(CheckSourceTest, BlankLinesStayAsEmptyStrings)
{
    ScriptData data = Convert("A\n\n \t\nB\n\n");
    EXPECT_EQ(data.Value, u"A\0\0 \t\0B\0\0\0"s);
    EXPECT_EQ(data.LineStarts, (std::vector<size_t>{ 0, 2, 3, 6, 8 }));
    EXPECT_EQ(data.Line(3), u" \t");
}

TEST(CheckSourceTest, OnlyOneCarriageReturnEndingALineIsDropped)
{
    EXPECT_EQ(Convert("A\r\nB\r\r\nC\rD\r").Value, u"A\0B\r\0C\rD\0\0"s);
}

TEST(CheckSourceTest, AByteOrderMarkIsDroppedOnlyAtTheStart)
{
    EXPECT_EQ(Convert("\xEF\xBB\xBF" "A\n").Value, u"A\0\0"s);
    EXPECT_EQ(Convert("A\n\xEF\xBB\xBF" "B").Value, u"A\0\xFEFF" "B\0\0"s);
}

TEST(CheckSourceTest, CharactersBeyondTheBasicPlaneBecomeSurrogatePairs)
{
    EXPECT_EQ(Convert("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80").Value, u"\u00E9\u20AC\xD83D\xDE00\0\0"s);
}

TEST(CheckSourceTest, InvalidUtf8IsRefusedAtItsLineAndColumn)
{
    const std::string kMessage = "); a script must be UTF-8 text";
    EXPECT_EQ(ConversionProblem("ok\nab\xE9z\n"), "2:3: invalid UTF-8 (byte 0xE9" + kMessage);
    EXPECT_EQ(ConversionProblem("\xC3\xA9\xFF"), "1:2: invalid UTF-8 (byte 0xFF" + kMessage)
        << "columns count characters, not bytes";
    EXPECT_EQ(ConversionProblem("\xC0\xAF"), "1:1: invalid UTF-8 (byte 0xC0" + kMessage)
        << "overlong form";
    EXPECT_EQ(ConversionProblem("\xE0\x80\xAF"), "1:1: invalid UTF-8 (byte 0xE0" + kMessage)
        << "overlong form";
    EXPECT_EQ(ConversionProblem("\xED\xA0\x80"), "1:1: invalid UTF-8 (byte 0xED" + kMessage)
        << "surrogate";
    EXPECT_EQ(ConversionProblem("\xF4\x90\x80\x80"), "1:1: invalid UTF-8 (byte 0xF4" + kMessage)
        << "beyond U+10FFFF";
    EXPECT_EQ(ConversionProblem("a\x80"), "1:2: invalid UTF-8 (byte 0x80" + kMessage);
    EXPECT_EQ(ConversionProblem("a\xE2\x82\n"), "1:2: invalid UTF-8 (byte 0xE2" + kMessage)
        << "a sequence cut by the end of the line";
    EXPECT_EQ(ConversionProblem("a\xE2\x82"), "1:2: invalid UTF-8 (byte 0xE2" + kMessage);
}

TEST(CheckSourceTest, ANulCharacterIsRefused)
{
    EXPECT_EQ(ConversionProblem("A\nBC\0D\n"s),
              "2:3: NUL character (byte 0x00) in the line; the driver would take it for the end "
              "of the string");
}

TEST(CheckSourceTest, Utf16TextIsRefusedByItsByteOrderMark)
{
    EXPECT_EQ(ConversionProblem("\xFF\xFE" "C\0"s),
              "1:1: the file is UTF-16 text (it starts with the byte order mark 0xFF 0xFE); save "
              "the script as UTF-8");
    EXPECT_NE(ConversionProblem("\xFE\xFF\0C"s), "converted");
}

TEST(CheckSourceTest, LocateCountsCharactersOfTheLine)
{
    ScriptData data = Convert("ab\n\xF0\x9F\x98\x80x\n\tz");
    size_t line, column;
    data.Locate(5, &line, &column); /* the x after a surrogate pair */
    EXPECT_EQ(line, 2u);
    EXPECT_EQ(column, 2u);
    data.Locate(2, &line, &column); /* the NUL ending line 1 */
    EXPECT_EQ(line, 1u);
    EXPECT_EQ(column, 3u);
    data.Locate(8, &line, &column); /* z after a tab */
    EXPECT_EQ(line, 3u);
    EXPECT_EQ(column, 2u);
}

/* ---- The explanation against the parser's verdict ------------------- */

class CheckDiagnosisTest : public qtest::KernelTest {
protected:
    /* "accepted", or "LINE:COLUMN: message" of a refused script; fails the
     * test when verdict and explanation disagree. */
    std::string Explain(const std::string &script)
    {
        ScriptData data = Convert(script);
        CheckResult result = CheckScript(data.Value);
        if (result.Status == STATUS_SUCCESS) {
            EXPECT_FALSE(result.Fault.Found) << script;
            return "accepted";
        }
        EXPECT_STATUS(STATUS_DATA_OVERRUN, result.Status) << script;
        EXPECT_TRUE(result.Fault.Found) << script;
        size_t line, column;
        data.Locate(result.Fault.Index, &line, &column);
        return std::to_string(line) + ":" + std::to_string(column) + ": " + result.Fault.Message;
    }
};

TEST_F(CheckDiagnosisTest, WhatStandsWhereAnOperationShould)
{
    EXPECT_EQ(Explain("CopyFiel(\"a\", \"b\", true)"),
              "1:1: unknown operation 'CopyFiel'; did you mean 'CopyFile'?");
    EXPECT_EQ(Explain("\n  \n\tDeleteKeyVal(\"k\", \"v\")"),
              "3:2: unknown operation 'DeleteKeyVal'; did you mean 'DeleteKeyValue'?");
    EXPECT_EQ(Explain("Frobnicate(\"a\")"), "1:1: unknown operation 'Frobnicate'");
    EXPECT_EQ(Explain("true"), "1:1: expected an operation, found 'true'");
    EXPECT_EQ(Explain("\"CopyFile\"(\"a\")"), "1:1: expected an operation, found a quoted string");
    EXPECT_EQ(Explain("(\"a\")"), "1:1: expected an operation, found '('");
    EXPECT_EQ(Explain("# remove the old copy"),
              "1:1: character '#' cannot start a token; the script language has no comments");
    EXPECT_EQ(Explain("2 DeleteFile(\"a\")"), "1:1: character '2' cannot start a token");
    EXPECT_EQ(Explain("copyfile(\"a\", \"b\", TRUE)\nDELETEFILE(\"c\")"), "accepted");
}

TEST_F(CheckDiagnosisTest, WhatStandsWhereAnArgumentShould)
{
    EXPECT_EQ(Explain("CopyFile(\"a\", \"b\", \"true\")"),
              "1:20: expected a boolean for Overwrite, found a quoted string (booleans are written "
              "true or false, without quotes)");
    EXPECT_EQ(Explain("DeleteKey(\"k\", yes)"),
              "1:16: expected a boolean for Recursive, found 'yes'; booleans are written true or "
              "false");
    EXPECT_EQ(Explain("DeleteKey(\"k\", 1)"),
              "1:16: character '1' cannot start a token; booleans are written true or false");
    EXPECT_EQ(Explain("CopyFile(\"a\", true)"),
              "1:15: expected a quoted string for Target, found 'true'; CopyFile takes 3 "
              "arguments: Source, Target, Overwrite");
    EXPECT_EQ(Explain("DeleteFile(C:\\x)"),
              "1:12: expected a quoted string for Path, found 'C'; paths are written in double "
              "quotes");
    EXPECT_EQ(Explain("CreateKey(Software)"),
              "1:11: expected a quoted string for Path, found 'Software'; strings are written in "
              "double quotes");
    EXPECT_EQ(Explain("DeleteFile(\\??\\C:\\x)"),
              "1:12: character '\\' cannot start a token; paths are written in double quotes");
    EXPECT_EQ(Explain("DeleteFile('x')"),
              "1:12: character ''' cannot start a token; strings are written in double quotes");
    EXPECT_EQ(Explain("DeleteFile(\xE2\x80\x9C" "x\xE2\x80\x9D)"),
              "1:12: character '\xE2\x80\x9C' (U+201C) cannot start a token; strings are written "
              "in straight double quotes (\")");
    EXPECT_EQ(Explain("DeleteFile(%TEMP%)"),
              "1:12: character '%' cannot start a token; strings are written in double quotes");
    EXPECT_EQ(Explain("CopyFile(\"a\",, true)"),
              "1:14: expected a quoted string for Target, found ','");
    EXPECT_EQ(Explain("CreateDir()"),
              "1:11: expected a quoted string for Path, found ')'; CreateDir takes 1 argument: "
              "Path");
    EXPECT_EQ(Explain("CopyFile(\"a\", "), "1:15: expected a quoted string for Target, found the "
                                            "end of the line");
    EXPECT_EQ(Explain("CopyFile(\"a\", \"b, true)\nDeleteFile(\"c\")"),
              "1:15: unterminated string");
    EXPECT_EQ(Explain("SetKeyValue(\"sk\", \"sv\", \"tk\", \"tv\", true, \"false\")"),
              "1:43: expected a boolean for DeleteSource, found a quoted string (booleans are "
              "written true or false, without quotes)");
}

TEST_F(CheckDiagnosisTest, WhatStandsWherePunctuationShould)
{
    EXPECT_EQ(Explain("CopyFile \"a\", \"b\", true)"),
              "1:10: expected '(' after CopyFile, found a quoted string");
    EXPECT_EQ(Explain("CreateDir"), "1:10: expected '(' after CreateDir, found the end of the line");
    EXPECT_EQ(Explain("CreateDir[\"a\"]"), "1:10: expected '(' after CreateDir, found '['");
    EXPECT_EQ(Explain("CopyFile(\"a\" \"b\", true)"),
              "1:14: expected ',' after argument 1 (Source) of CopyFile, found a quoted string");
    EXPECT_EQ(Explain("RemoveDir(\"d\", true false)"),
              "1:21: expected ',' after argument 2 (Recursive) of RemoveDir, found 'false'");
    EXPECT_EQ(Explain("CopyFile(\"a\", \"b\")"),
              "1:18: expected ',' after argument 2 (Target) of CopyFile, found ')'; CopyFile takes "
              "3 arguments: Source, Target, Overwrite");
    EXPECT_EQ(Explain("CopyFile(\"a\" \"b, true)"),
              "1:14: expected ',' after argument 1 (Source) of CopyFile, found an unterminated "
              "string");
    EXPECT_EQ(Explain("CopyFile(\"a\", \"b\", true, false)"),
              "1:24: expected ')' after argument 3 (Overwrite) of CopyFile, found ','; CopyFile "
              "takes 3 arguments: Source, Target, Overwrite");
    EXPECT_EQ(Explain("CopyFile(\"a\", \"b\", true\nDeleteFile(\"c\")"),
              "1:24: missing ')' after argument 3 (Overwrite) of CopyFile");
    EXPECT_EQ(Explain("DeleteFile(\"c\"   "), "1:18: missing ')' after argument 1 (Path) of "
                                               "DeleteFile");
    EXPECT_EQ(Explain("DeleteFile(\"c\" ]"),
              "1:16: expected ')' after argument 1 (Path) of DeleteFile, found ']'");
}

TEST_F(CheckDiagnosisTest, OnlyBlanksMayFollowAnOperation)
{
    EXPECT_EQ(Explain("DeleteFile(\"a\") DeleteFile(\"b\")"),
              "1:17: unexpected text after ')'; each operation needs a line of its own");
    EXPECT_EQ(Explain("DeleteFile(\"a\");"),
              "1:16: unexpected text after ')'; only spaces and tabs may follow an operation on "
              "its line");
    EXPECT_EQ(Explain("DeleteFile(\"a\") \"b\""),
              "1:17: unexpected text after ')'; only spaces and tabs may follow an operation on "
              "its line");
    EXPECT_EQ(Explain("DeleteFile(\"a\")\xC2\xA0"),
              "1:16: unexpected text after ')'; only spaces and tabs may follow an operation on "
              "its line");
    EXPECT_EQ(Explain("DeleteFile(\"a\") \t \n"), "accepted");
}

TEST_F(CheckDiagnosisTest, OtherSpacesAndStrayCarriageReturnsAreNamed)
{
    EXPECT_EQ(Explain("DeleteFile(\xC2\xA0\"a\")"),
              "1:12: character U+00A0 (no-break space) cannot start a token; only spaces and tabs "
              "may separate tokens");
    EXPECT_EQ(Explain("DeleteFile(\"a\")\rDeleteFile(\"b\")"),
              "1:16: unexpected text after ')'; only spaces and tabs may follow an operation on "
              "its line");
    EXPECT_EQ(Explain("\rDeleteFile(\"b\")"),
              "1:1: character U+000D (carriage return) cannot start a token");
    EXPECT_EQ(Explain("\xEF\xBB\xBF\xEF\xBB\xBF" "DeleteFile(\"b\")"),
              "1:1: character U+FEFF (byte order mark) cannot start a token")
        << "only the first byte order mark is the file's";
}

TEST_F(CheckDiagnosisTest, ColumnsCountCharactersAndTabsAsOne)
{
    EXPECT_EQ(Explain("\tCopyFile(\"\xF0\x9F\x98\x80\xC3\xA9\" \"b\", true)"),
              "1:16: expected ',' after argument 1 (Source) of CopyFile, found a quoted string");
}

TEST_F(CheckDiagnosisTest, TokensLongerThanACountedStringCanHoldAreRefused)
{
    std::string longest(SCRIPT_MAX_TOKEN_CHARS, 'x');
    EXPECT_EQ(Explain("DeleteFile(\"" + longest + "\")"), "accepted");
    EXPECT_EQ(Explain("DeleteFile(\"" + longest + "x\")"),
              "1:12: quoted string longer than 32767 characters");
    EXPECT_EQ(Explain("DeleteFile(\"a\" " + longest + "x)"),
              "1:16: expected ')' after argument 1 (Path) of DeleteFile, found a word longer than "
              "32767 characters");
    EXPECT_EQ(Explain(longest + "x"), "1:1: word longer than 32767 characters");
    EXPECT_EQ(Explain(std::string(40, 'y') + "z(\"a\")"),
              "1:1: unknown operation 'yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy...'");
}

/* Every script one keystroke away from a valid one: the explanation must
 * find a fault exactly when the parser refuses. */
TEST_F(CheckDiagnosisTest, ExplanationAndVerdictAgreeOnEveryOneCharacterEdit)
{
    const std::vector<std::string> valid = {
        "CopyFile(\"\\??\\C:\\a\", \"\\??\\C:\\b\", true)",
        "  RemoveDir ( \"d\" ,false,\tTRUE )  ",
        "SetKeyValue(\"sk\", \"\", \"tk\", \"tv\", true, false)",
        "DeleteKeyValue(\"k\", \"v\")",
    };
    const std::string inserts = "\"(),\\ \t_a1#\r";
    size_t refused = 0, accepted = 0;
    for (const std::string &line : valid) {
        std::vector<std::string> edits;
        for (size_t i = 0; i <= line.size(); i++) {
            if (i < line.size())
                edits.push_back(line.substr(0, i) + line.substr(i + 1));
            for (char c : inserts)
                edits.push_back(line.substr(0, i) + c + line.substr(i));
        }
        for (const std::string &edit : edits) {
            ScriptData data = Convert("DeleteFile(\"first\")\n" + edit + "\nCreateDir(\"last\")\n");
            CheckResult result = CheckScript(data.Value);
            if (result.Status == STATUS_SUCCESS) {
                accepted++;
                EXPECT_FALSE(result.Fault.Found) << edit;
                EXPECT_GE(result.Operations.size(), 2u) << edit;
            } else {
                refused++;
                EXPECT_STATUS(STATUS_DATA_OVERRUN, result.Status) << edit;
                EXPECT_TRUE(result.Fault.Found) << edit;
                size_t line, column;
                data.Locate(result.Fault.Index, &line, &column);
                EXPECT_EQ(line, 2u) << edit;
            }
        }
    }
    EXPECT_GT(refused, 100u);
    EXPECT_GT(accepted, 100u);
}

TEST_F(CheckDiagnosisTest, NearestKeywordSuggestsOnlyLikelySlips)
{
    EXPECT_STREQ(qelmbar::NearestKeyword("CopyFiel"), "CopyFile");
    EXPECT_STREQ(qelmbar::NearestKeyword("renamevalu"), "RenameValue");
    EXPECT_STREQ(qelmbar::NearestKeyword("SetValue"), nullptr);
    EXPECT_STRNE(qelmbar::NearestKeyword("RemoveFile"), "MoveFile");
    EXPECT_STREQ(qelmbar::NearestKeyword("Copy"), nullptr);
    EXPECT_STREQ(qelmbar::NearestKeyword(""), nullptr);
}

/* ---- Verdicts and the normalised form ------------------------------- */

class CheckScriptTest : public qtest::KernelTest {};

TEST_F(CheckScriptTest, OperationsAreNormalisedInScriptOrder)
{
    ScriptData data = Convert("copyFILE( \"\\??\\C:\\a\",\"\\??\\C:\\b\" ,TRUE )\n"
                              "\n"
                              "removedir(\"\\??\\C:\\d\", FALSE, True)\r\n"
                              "SETKEYVALUE(\"sk\", \"sv\", \"tk\", \"\", false, TRUE)\n"
                              "DeleteKey(\"k\", False)\n"
                              "RenameValue(\"k\", \"old\", \"new\", true)\n"
                              "DeleteKeyValue(\"k\", \"\")\n"
                              "CreateDir(\"\\??\\C:\\Program Files\\\xC3\x89t\xC3\xA9\")\n");
    CheckResult result = CheckScript(data.Value);
    ASSERT_STATUS(STATUS_SUCCESS, result.Status);
    EXPECT_EQ(result.Operations, (std::vector<std::string>{
                                     "CopyFile(\"\\??\\C:\\a\", \"\\??\\C:\\b\", true)",
                                     "RemoveDir(\"\\??\\C:\\d\", false, true)",
                                     "SetKeyValue(\"sk\", \"sv\", \"tk\", \"\", false, true)",
                                     "DeleteKey(\"k\", false)",
                                     "RenameValue(\"k\", \"old\", \"new\", true)",
                                     "DeleteKeyValue(\"k\", \"\")",
                                     "CreateDir(\"\\??\\C:\\Program Files\\\xC3\x89t\xC3\xA9\")",
                                 }));
}

TEST_F(CheckScriptTest, TheNormalisedFormParsesToItself)
{
    std::string script;
    for (const OperationGrammar &grammar : OperationGrammars) {
        script += grammar.Keyword;
        script += "(";
        for (ULONG i = 0; i < grammar.ArgumentCount; i++) {
            if (i > 0)
                script += ",";
            script += grammar.Arguments[i].Type == ArgumentString
                          ? "\"" + std::string(grammar.Arguments[i].Name) + "\""
                          : (i % 2 ? "TRUE" : "false");
        }
        script += ")\n";
    }
    CheckResult first = CheckScript(Convert(script).Value);
    ASSERT_STATUS(STATUS_SUCCESS, first.Status);
    ASSERT_EQ(first.Operations.size(), (size_t)OPERATION_KIND_COUNT);
    EXPECT_EQ(first.Operations[5], "RemoveDir(\"Path\", true, false)");
    EXPECT_EQ(first.Operations[10],
              "SetKeyValue(\"SourceKey\", \"SourceValue\", \"TargetKey\", \"TargetValue\", false, "
              "true)");

    std::string again;
    for (const std::string &operation : first.Operations)
        again += operation + "\n";
    CheckResult second = CheckScript(Convert(again).Value);
    ASSERT_STATUS(STATUS_SUCCESS, second.Status);
    EXPECT_EQ(second.Operations, first.Operations);
}

TEST_F(CheckScriptTest, EmptyAndBlankScriptsHoldNoOperations)
{
    for (const std::string &script : { ""s, "\n"s, "\n\n \t\n"s, "\r\n"s }) {
        CheckResult result = CheckScript(Convert(script).Value);
        EXPECT_STATUS(STATUS_SUCCESS, result.Status);
        EXPECT_TRUE(result.Operations.empty());
    }
}

/* A pool failure anywhere gives STATUS_NO_MEMORY or the verdict without
 * failure, never the verdict turned around, and never a leak. */
TEST_F(CheckScriptTest, PoolFailuresNeverTurnTheVerdictAround)
{
    const std::string valid = "CopyFile(\"a\", \"b\", true)\nDeleteKeyValue(\"k\", \"v\")\n";
    const std::string invalid = "CopyFile(\"a\", \"b\", true)\nDeleteKeyValue(\"k\" \"v\")\n";
    CheckResult validBaseline = CheckScript(Convert(valid).Value);
    CheckResult invalidBaseline = CheckScript(Convert(invalid).Value);
    ASSERT_STATUS(STATUS_SUCCESS, validBaseline.Status);
    ASSERT_STATUS(STATUS_DATA_OVERRUN, invalidBaseline.Status);
    ASSERT_TRUE(invalidBaseline.Fault.Found);

    for (const std::string *script : { &valid, &invalid }) {
        ScriptData data = Convert(*script);
        for (uint64_t nth = 1;; nth++) {
            sk::ClearFaults();
            sk::FailAllocation(nth);
            CheckResult result = CheckScript(data.Value);
            bool injected = sk::InjectedFaultCount() > 0;
            sk::ClearFaults();
            EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << "allocation " << nth;
            if (script == &valid) {
                if (result.Status != STATUS_NO_MEMORY) {
                    EXPECT_STATUS(STATUS_SUCCESS, result.Status) << "allocation " << nth;
                    EXPECT_EQ(result.Operations, validBaseline.Operations);
                }
            } else if (result.Status != STATUS_NO_MEMORY) {
                EXPECT_STATUS(STATUS_DATA_OVERRUN, result.Status) << "allocation " << nth;
                if (result.Fault.Found) {
                    EXPECT_EQ(result.Fault.Index, invalidBaseline.Fault.Index);
                    EXPECT_EQ(result.Fault.Message, invalidBaseline.Fault.Message);
                } else {
                    EXPECT_NE(result.Fault.Message.find("ran out of pool memory"),
                              std::string::npos);
                }
            }
            if (!injected)
                break;
            ASSERT_LT(nth, 1000u);
        }
    }
}

/* ---- The program ---------------------------------------------------- */

using Outcome = qelmbar::test::ToolOutcome;
using CheckProgramTest = qelmbar::test::ToolTest;

const char kTryCheckHelp[] = "Try 'qelmbar check --help' for more information.\n";

TEST_F(CheckProgramTest, HelpAndVersion)
{
    Outcome top = Run({ "--help" });
    EXPECT_EQ(top.Status, 0);
    EXPECT_EQ(top.Out.rfind("Usage: qelmbar COMMAND", 0), 0u) << top.Out;
    EXPECT_NE(top.Out.find("\n  check "), std::string::npos) << top.Out;
    EXPECT_EQ(top.Err, "");

    Outcome check = Run({ "check", "--help" });
    EXPECT_EQ(check.Status, 0);
    EXPECT_EQ(check.Out.rfind("Usage: qelmbar check [OPTION]... FILE...\n", 0), 0u) << check.Out;
    EXPECT_EQ(Run({ "check", "-h" }).Out, check.Out);

    Outcome version = Run({ "--version" });
    EXPECT_EQ(version.Status, 0);
    EXPECT_TRUE(std::regex_match(version.Out, std::regex("qelmbar [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << version.Out;
}

TEST_F(CheckProgramTest, UsageErrorsExitWithTwo)
{
    std::string script = Write("a.qbs", "DeleteFile(\"a\")\n");
    Outcome none = Run({});
    EXPECT_EQ(none.Status, 2);
    EXPECT_EQ(none.Err.rfind("Usage: qelmbar COMMAND", 0), 0u) << none.Err;
    EXPECT_EQ(none.Out, "");

    struct Case {
        std::vector<std::string> Args;
        std::string Err;
    } cases[] = {
        { { "frob" },
          "qelmbar: unknown command 'frob'\nTry 'qelmbar --help' for more information.\n" },
        { { "--frob" },
          "qelmbar: unknown option '--frob'\nTry 'qelmbar --help' for more information.\n" },
        { { "check" }, "qelmbar: check: no script file given\n"s + kTryCheckHelp },
        { { "check", "--frob", script }, "qelmbar: check: unknown option '--frob'\n"s + kTryCheckHelp },
        { { "check", script, "-x" }, "qelmbar: check: unknown option '-x'\n"s + kTryCheckHelp },
        { { "check", "--print=yes", script },
          "qelmbar: check: option '--print' takes no value\n"s + kTryCheckHelp },
        { { "check", "-pq", script },
          "qelmbar: check: --print and --quiet cannot be used together\n"s + kTryCheckHelp },
    };
    for (const Case &c : cases) {
        Outcome outcome = Run(c.Args);
        EXPECT_EQ(outcome.Status, 2) << c.Args[0];
        EXPECT_EQ(outcome.Err, c.Err);
        EXPECT_EQ(outcome.Out, "");
    }
}

TEST_F(CheckProgramTest, AValidScriptIsReportedWithItsOperationCount)
{
    std::string three = Write("three.qbs", "CreateDir(\"\\??\\C:\\d\")\n\nCopyFile(\"\\??\\C:\\a\", "
                                           "\"\\??\\C:\\d\\a\", false)\nDeleteFile(\"\\??\\C:\\a\")\n");
    std::string one = Write("one.qbs", "CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\K\")");
    std::string empty = Write("empty.qbs", "");

    Outcome outcome = Run({ "check", three, one, empty });
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_EQ(outcome.Out, three + ": OK (3 operations)\n" + one + ": OK (1 operation)\n" + empty +
                               ": OK (0 operations)\n");
    EXPECT_EQ(outcome.Err, "");

    Outcome quiet = Run({ "check", "--quiet", three, one });
    EXPECT_EQ(quiet.Status, 0);
    EXPECT_EQ(quiet.Out, "");
    EXPECT_EQ(quiet.Err, "");
}

TEST_F(CheckProgramTest, ByteOrderMarkCarriageReturnsAndBlankLinesAreRead)
{
    std::string script = Write("windows.qbs", "\xEF\xBB\xBF" "CreateDir(\"\\??\\C:\\d\")\r\n\r\n"
                                              "DeleteFile(\"\\??\\C:\\a\")  \r\n\t\r\n");
    Outcome outcome = Run({ "check", script });
    EXPECT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(outcome.Out, script + ": OK (2 operations)\n");
}

TEST_F(CheckProgramTest, ARefusedScriptGetsItsFirstFaultAndTheDriverStatus)
{
    std::string script = Write("bad.qbs", "CreateDir(\"\\??\\C:\\d\")\n"
                                          "\tCopyFile(\"\\??\\C:\\a\" \"\\??\\C:\\b\", true)\n"
                                          "CopyFiel(\"x\")\n");
    Outcome outcome = Run({ "check", script });
    EXPECT_EQ(outcome.Status, 1);
    EXPECT_EQ(outcome.Out, "");
    EXPECT_EQ(outcome.Err,
              script + ":2:22: error: expected ',' after argument 1 (Source) of CopyFile, found a "
                       "quoted string\n"
                       "   2 | \tCopyFile(\"\\??\\C:\\a\" \"\\??\\C:\\b\", true)\n"
                       "     | \t                    ^\n" +
                  script + ": rejected by the driver parser: STATUS_DATA_OVERRUN (0xC000003C)\n");

    Outcome quiet = Run({ "check", "-q", script });
    EXPECT_EQ(quiet.Status, 1);
    EXPECT_EQ(quiet.Err, outcome.Err);
}

TEST_F(CheckProgramTest, EveryFileIsCheckedAndTheWorstStatusWins)
{
    std::string good = Write("good.qbs", "DeleteFile(\"\\??\\C:\\a\")\n");
    std::string bad = Write("bad.qbs", "DeleteFile(\"a\"\n");
    std::string missing = (dir_ / "missing.qbs").string();

    Outcome one = Run({ "check", bad, good });
    EXPECT_EQ(one.Status, 1);
    EXPECT_EQ(one.Out, good + ": OK (1 operation)\n");
    EXPECT_EQ(one.Err, bad + ":1:15: error: missing ')' after argument 1 (Path) of DeleteFile\n"
                             "   1 | DeleteFile(\"a\"\n"
                             "     |               ^\n" +
                           bad + ": rejected by the driver parser: STATUS_DATA_OVERRUN "
                                 "(0xC000003C)\n");

    Outcome two = Run({ "check", missing, bad, good });
    EXPECT_EQ(two.Status, 2);
    EXPECT_EQ(two.Out, good + ": OK (1 operation)\n");
    EXPECT_EQ(two.Err, "qelmbar: cannot read " + missing + ": No such file or directory\n" +
                           one.Err);
}

TEST_F(CheckProgramTest, JsonReportsEveryFileOnStandardOutputAlone)
{
    std::string good = Write("good.qbs",
                             "SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\S\", \"V\", "
                             "\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", \"V\", true, false)\n"
                             "\n"
                             "DeleteKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\S\", true)\n"
                             "CopyKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", "
                             "\"\\REGISTRY\\MACHINE\\SYSTEM\\Copy\", false)\n");
    std::string bad = Write("bad.qbs", "DeleteFile(\"a\"\n");
    std::string missing = (dir_ / "missing.qbs").string();

    Outcome run = Run({ "check", "--json", good, bad });
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, "") << "a refusal goes into the report, not to stderr";
    EXPECT_EQ(run.Out,
              "{\"files\":[{\"path\":\"" + good + "\",\"valid\":true,\"trouble\":null,"
              "\"operations\":[\"SetKeyValue(\\\"\\\\REGISTRY\\\\MACHINE\\\\SYSTEM\\\\S\\\", "
              "\\\"V\\\", \\\"\\\\REGISTRY\\\\MACHINE\\\\SOFTWARE\\\\App\\\", \\\"V\\\", true, "
              "false)\",\"DeleteKey(\\\"\\\\REGISTRY\\\\MACHINE\\\\SYSTEM\\\\S\\\", true)\","
              "\"CopyKey(\\\"\\\\REGISTRY\\\\MACHINE\\\\SOFTWARE\\\\App\\\", "
              "\\\"\\\\REGISTRY\\\\MACHINE\\\\SYSTEM\\\\Copy\\\", false)\"],"
              "\"warnings\":[{\"line\":1,\"kind\":\"reorder\",\"message\":\"this write to "
              "\\\\REGISTRY\\\\MACHINE\\\\SOFTWARE\\\\App may be deferred until the Win32 subsystem "
              "starts, and then runs after line 4, which works on the same key\"}],"
              "\"error\":null},"
              "{\"path\":\"" + bad + "\",\"valid\":false,\"trouble\":null,\"operations\":[],"
              "\"warnings\":[],\"error\":{\"line\":1,\"column\":15,\"message\":\"missing ')' "
              "after argument 1 (Path) of DeleteFile\",\"status\":{\"code\":3221225532,"
              "\"name\":\"STATUS_DATA_OVERRUN\",\"text\":\"STATUS_DATA_OVERRUN (0xC000003C)\"}}}],"
              "\"valid\":false}\n");

    Outcome trouble = Run({ "check", "--json", missing });
    EXPECT_EQ(trouble.Status, 2);
    EXPECT_EQ(trouble.Err, "");
    EXPECT_NE(trouble.Out.find("\"trouble\":\"cannot read " + missing +
                               ": No such file or directory\""),
              std::string::npos)
        << trouble.Out;
    EXPECT_EQ(Run({ "check", "--json", "--print", good }).Status, 2);
}

TEST_F(CheckProgramTest, AFileThatCannotBeReadExitsWithTwo)
{
    Outcome outcome = Run({ "check", dir_.string() });
    EXPECT_EQ(outcome.Status, 2);
    EXPECT_EQ(outcome.Err, "qelmbar: cannot read " + dir_.string() + ": Is a directory\n");
    EXPECT_EQ(outcome.Out, "");
}

TEST_F(CheckProgramTest, PrintListsTheNormalisedOperations)
{
    std::string script = Write("a.qbs", "removedir ( \"\\??\\C:\\d\",TRUE,False )\n\n"
                                        "SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\sk\",\"sv\",\"\\REGISTRY\\MACHINE\\SYSTEM\\tk\",\"tv\",false,True)\n");
    const std::string listing = "RemoveDir(\"\\??\\C:\\d\", true, false)\n"
                                "SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\sk\", \"sv\", \"\\REGISTRY\\MACHINE\\SYSTEM\\tk\", \"tv\", false, true)\n";
    Outcome outcome = Run({ "check", "--print", script });
    EXPECT_EQ(outcome.Status, 0);
    EXPECT_EQ(outcome.Out, listing);
    EXPECT_EQ(outcome.Err, "");

    std::string listed = Write("listed.qbs", outcome.Out);
    EXPECT_EQ(Run({ "check", "-p", listed }).Out, listing) << "the listing is itself a script";

    std::string bad = Write("bad.qbs", "DeleteFile(a)\n");
    Outcome several = Run({ "check", "-p", script, bad, listed });
    EXPECT_EQ(several.Status, 1);
    EXPECT_EQ(several.Out, script + ": RemoveDir(\"\\??\\C:\\d\", true, false)\n" + script +
                               ": SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\sk\", \"sv\", \"\\REGISTRY\\MACHINE\\SYSTEM\\tk\", \"tv\", false, true)\n" +
                               listed + ": RemoveDir(\"\\??\\C:\\d\", true, false)\n" + listed +
                               ": SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\sk\", \"sv\", \"\\REGISTRY\\MACHINE\\SYSTEM\\tk\", \"tv\", false, true)\n");
    EXPECT_NE(several.Err.find(bad + ":1:12: error: "), std::string::npos) << several.Err;
}

TEST_F(CheckProgramTest, DoubleDashEndsTheOptions)
{
    std::string script = Write("-p", "DeleteFile(\"a\")\n");
    Outcome outcome = Run({ "check", "--", "-p" }, dir_.string());
    EXPECT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(outcome.Out, "-p: OK (1 operation)\n");
}

/* ---- The examples --------------------------------------------------- */

std::vector<std::string> ExampleScripts(const std::string &folder)
{
    std::vector<std::string> files;
    for (const fs::directory_entry &entry :
         fs::directory_iterator(fs::path(QELMBAR_SOURCE_DIR) / "examples" / folder)) {
        if (entry.is_regular_file() && entry.path().extension() == ".qbs")
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST_F(CheckProgramTest, EveryValidExamplePassesAndTogetherTheyUseEveryOperation)
{
    std::vector<std::string> files = ExampleScripts("scripts");
    ASSERT_GE(files.size(), 3u);
    std::set<std::string> used;
    for (const std::string &file : files) {
        Outcome outcome = Run({ "check", "--print", file });
        EXPECT_EQ(outcome.Status, 0) << file << "\n" << outcome.Err;
        EXPECT_EQ(outcome.Err, "");
        std::istringstream lines(outcome.Out);
        std::string line;
        while (std::getline(lines, line))
            used.insert(line.substr(0, line.find('(')));
    }
    std::set<std::string> all;
    for (const OperationGrammar &grammar : OperationGrammars)
        all.insert(grammar.Keyword);
    EXPECT_EQ(used, all);
}

TEST_F(CheckProgramTest, EveryInvalidExampleFailsWithItsMistake)
{
    const std::map<std::string, std::string> expected = {
        { "misspelt_keyword.qbs", ":2:1: error: unknown operation 'CopyFiel'; did you mean "
                                  "'CopyFile'?\n" },
        { "quoted_boolean.qbs", ":1:112: error: expected a boolean for Overwrite, found a quoted "
                                "string (booleans are written true or false, without quotes)\n" },
        { "missing_comma.qbs", ":2:64: error: expected ',' after argument 1 (Source) of MoveKey, "
                               "found a quoted string\n" },
        { "unterminated_string.qbs", ":1:12: error: unterminated string\n" },
        { "two_operations_on_one_line.qbs", ":1:79: error: unexpected text after ')'; each "
                                            "operation needs a line of its own\n" },
        { "unquoted_path.qbs", ":1:12: error: character '\\' cannot start a token; paths are "
                               "written in double quotes\n" },
    };
    std::vector<std::string> files = ExampleScripts("scripts/invalid");
    std::set<std::string> seen;
    for (const std::string &file : files) {
        std::string name = fs::path(file).filename().string();
        seen.insert(name);
        Outcome outcome = Run({ "check", file });
        EXPECT_EQ(outcome.Status, 1) << file;
        EXPECT_EQ(outcome.Out, "");
        EXPECT_TRUE(outcome.Err.size() > 0 &&
                    outcome.Err.find(file + ": rejected by the driver parser: "
                                            "STATUS_DATA_OVERRUN (0xC000003C)\n") !=
                        std::string::npos)
            << outcome.Err;
        auto mistake = expected.find(name);
        if (mistake != expected.end()) {
            EXPECT_EQ(outcome.Err.substr(0, outcome.Err.find('\n') + 1), file + mistake->second);
        }
    }
    for (const auto &entry : expected)
        EXPECT_EQ(seen.count(entry.first), 1u) << entry.first << " is missing";
}

} // namespace

/* ---- Where deferral reorders a script --------------------------------- */

TEST_F(CheckScriptTest, AWriteThatMayWaitIsFlaggedWhereALaterOperationDependsOnIt)
{
    ScriptData data = Convert(
        "CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App\")\n"
        "SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\S\", \"V\", \"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App\", \"V\", true, false)\n"
        "CopyKey(\"\\registry\\machine\\software\\vendor\", \"\\REGISTRY\\MACHINE\\SYSTEM\\Backup\", false)\n"
        "CopyKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\VendorX\", \"\\REGISTRY\\MACHINE\\SYSTEM\\B2\", false)\n"
        "DeleteKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\Setup\", true)\n"
        "CreateKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\Setup\\Sub\")\n");
    qelmbar::CheckResult result = qelmbar::CheckScript(data.Value);
    ASSERT_STATUS(STATUS_SUCCESS, result.Status);
    /* Both SOFTWARE writes wait and keep their order between them; the
     * copy out of SOFTWARE only reads, runs at once, and so runs first.
     * VendorX is no enclosing key of Vendor\App, and SYSTEM never waits. */
    ASSERT_EQ(result.Reorders.size(), 2u);
    EXPECT_EQ(result.Reorders[0].Write, 0u);
    EXPECT_EQ(result.Reorders[0].Later, 2u);
    EXPECT_EQ(result.Reorders[0].LaterKey, "\\registry\\machine\\software\\vendor");
    EXPECT_EQ(result.Reorders[1].Write, 1u);
    EXPECT_EQ(result.Reorders[1].Later, 2u);
}
