/*
 * script_report.cpp - reading a script file, the driver parser's verdict
 * on it, and the words for a refusal and for deferral's reordering, shared
 * by check and the commands that stage scripts.
 */
#include "tools/qelmbar/script_report.h"
#include "simkernel/text.h"

#include "simkernel/sim.h"
#include "simkernel/status_names.h"
#include "tools/qelmbar/command.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qelmbar::cli {

namespace {

bool ReadWholeFile(const std::string &path, std::string *bytes, std::string *error)
{
    errno = 0;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = std::strerror(errno ? errno : ENOENT);
        return false;
    }
    char buffer[1 << 16];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
        bytes->append(buffer, count);
    int readError = std::ferror(file) ? (errno ? errno : EIO) : 0;
    std::fclose(file);
    if (readError) {
        *error = std::strerror(readError);
        return false;
    }
    return true;
}

/* The faulty line under the message, with a caret below the column: as
 * many columns in as the characters before it take on a terminal. */
void PrintExcerpt(const std::u16string &text, size_t line, size_t column)
{
    std::u16string shown, under;
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); i++) {
        char16_t c = text[i];
        uint32_t cp = c;
        bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                    text[i + 1] <= 0xDFFF;
        if (pair)
            cp = 0x10000 + (((uint32_t)c - 0xD800) << 10) + ((uint32_t)text[i + 1] - 0xDC00);
        characters++;
        bool control = (c < 0x20 && c != u'\t') || c == 0x7F;
        if (characters < column) {
            if (c == u'\t')
                under.push_back(u'\t');
            else
                under.append(control ? 1 : (size_t)ColumnWidth(cp), u' ');
        }
        shown.push_back(control ? u'?' : c);
        if (pair)
            shown.push_back(text[++i]);
    }
    std::string number = std::to_string(line);
    std::string margin(std::max<size_t>(number.size(), 4), ' ');
    std::fprintf(stderr, "%*s | %s\n", (int)margin.size(), number.c_str(),
                 sk::Utf8FromUtf16(shown).c_str());
    std::fprintf(stderr, "%s | %s^\n", margin.c_str(), sk::Utf8FromUtf16(under).c_str());
}

bool IsBlank(const std::u16string &line)
{
    return line.find_first_not_of(u" \t\r") == std::u16string::npos;
}

} // namespace

size_t OperationLine(const ScriptData &data, size_t operation)
{
    for (size_t line = 1; line <= data.LineCount(); line++) {
        if (IsBlank(data.Line(line)))
            continue;
        if (operation-- == 0)
            return line;
    }
    return 0;
}

std::vector<std::u16string> OperationStrings(const ScriptData &data)
{
    std::vector<std::u16string> strings;
    for (size_t line = 1; line <= data.LineCount(); line++) {
        std::u16string text = data.Line(line);
        if (!IsBlank(text))
            strings.push_back(text);
    }
    return strings;
}

std::vector<WarningText> WarningTexts(const CheckedScript &script)
{
    std::vector<WarningText> texts;
    for (const ScriptWarning &w : script.Result.Warnings) {
        const std::string quoted = "\"" + w.Path + "\"";
        WarningText text;
        text.Line = OperationLine(script.Data, w.Operation);
        switch (w.Kind) {
        case WarningKind::Win32Path:
            text.Kind = "win32Path";
            text.Message = quoted + " is a Win32 path, which the driver cannot open; write the NT "
                                    "path \"" + w.Suggestion + "\"";
            break;
        case WarningKind::RelativePath:
            text.Kind = "relativePath";
            text.Message = quoted + " is a relative path; the driver opens full NT paths only, "
                                    "such as \"\\??\\C:\\...\"";
            break;
        case WarningKind::RelativeKey:
            text.Kind = "relativeKey";
            text.Message = quoted + " is a relative key path; the driver opens full registry "
                                    "paths only, starting with \\REGISTRY\\";
            break;
        case WarningKind::Win32Key:
            text.Kind = "win32Key";
            text.Message = quoted + " is a Win32 registry name, which the driver cannot open; "
                                    "write \"" + w.Suggestion + "\"";
            break;
        case WarningKind::UserHive:
            text.Kind = "userHive";
            text.Message = quoted + " lies in a user's own hive, which Windows loads only at "
                                    "logon: the operation waits for the deferred run and fails "
                                    "there with STATUS_FAIL_CHECK";
            break;
        case WarningKind::NotRegistryPath:
            text.Kind = "notRegistryPath";
            text.Message = quoted + " is not under \\REGISTRY; registry paths start with "
                                    "\\REGISTRY\\MACHINE\\ or \\REGISTRY\\USER\\";
            break;
        case WarningKind::ReadBeforeCreate:
            text.Kind = "readBeforeCreate";
            text.Message = "this operation reads " + w.Path + ", which line " +
                           std::to_string(OperationLine(script.Data, w.Other)) + " makes (" +
                           w.Suggestion +
                           ") only once the Win32 subsystem starts, as its write waits for the "
                           "hive; at the boot pass this one runs first and finds it as it was "
                           "before, or not at all";
            break;
        }
        texts.push_back(text);
    }
    for (const DeferralWarning &w : script.Result.Reorders) {
        WarningText text;
        text.Line = OperationLine(script.Data, w.Write);
        text.Kind = "reorder";
        text.Message = "this write to " + w.Key +
                       " may be deferred until the Win32 subsystem starts, and then runs after "
                       "line " + std::to_string(OperationLine(script.Data, w.Later)) +
                       ", which works on " +
                       (w.LaterKey == w.Key ? std::string("the same key")
                                            : "the enclosing key " + w.LaterKey);
        texts.push_back(text);
    }
    std::stable_sort(texts.begin(), texts.end(),
                     [](const WarningText &a, const WarningText &b) { return a.Line < b.Line; });
    return texts;
}

void PrintReorders(const CheckedScript &script)
{
    for (const WarningText &text : WarningTexts(script))
        std::fprintf(stderr, "%s:%zu: warning: %s\n", script.Path.c_str(), text.Line,
                     text.Message.c_str());
}

static size_t PoolLeftBehind()
{
    return sk::PoolOutstandingBlocks();
}

bool ParserLeftPool(const std::string &what)
{
    size_t left = PoolLeftBehind();
    if (left == 0)
        return false;
    PrintError("internal error: the driver code left " + std::to_string(left) +
               " pool blocks behind after checking " + what);
    return true;
}

namespace {

/* The answer for a script that could not be checked. */
int Trouble(CheckedScript *script, const std::string &message, bool quiet)
{
    script->Trouble = message;
    if (!quiet)
        PrintError(message);
    return kExitTrouble;
}

} // namespace

int ReadAndCheckScript(const std::string &path, CheckedScript *script, bool quiet)
{
    script->Path = path;
    std::string bytes, error;
    if (!ReadWholeFile(path, &bytes, &error))
        return Trouble(script, "cannot read " + path + ": " + error, quiet);

    SourceProblem problem;
    if (!ScriptFromUtf8(bytes, &script->Data, &problem)) {
        /* The file itself is at fault: refused like a script, at its place. */
        script->FaultLine = problem.Line;
        script->FaultColumn = problem.Column;
        script->FileFault = problem.Message;
        NoteError(path + ":" + std::to_string(problem.Line) + ":" +
                  std::to_string(problem.Column) + ": " + problem.Message);
        if (quiet)
            return kExitNo;
        std::fflush(stdout);
        std::fprintf(stderr, "%s:%zu:%zu: error: %s\n", path.c_str(), problem.Line,
                     problem.Column, problem.Message.c_str());
        PrintExcerpt(problem.Text, problem.Line, problem.Column);
        std::fprintf(stderr, "%s: cannot be handed to the driver as it is\n", path.c_str());
        std::fflush(stderr);
        return kExitNo;
    }

    script->Result = CheckScript(script->Data.Value);
    if (size_t left = PoolLeftBehind())
        return Trouble(script, "internal error: the driver code left " + std::to_string(left) +
                                   " pool blocks behind after checking " + path,
                       quiet);

    const CheckResult &result = script->Result;
    if (NT_SUCCESS(result.Status))
        return kExitOk;

    if (result.Status == STATUS_NO_MEMORY)
        return Trouble(script, path + ": the driver parser ran out of pool memory (" +
                                   sk::StatusText(result.Status) + "); the script was not checked",
                       quiet);

    if (result.Fault.Found)
        script->Data.Locate(result.Fault.Index, &script->FaultLine, &script->FaultColumn);
    NoteError(result.Fault.Found ? path + ":" + std::to_string(script->FaultLine) + ":" +
                                       std::to_string(script->FaultColumn) + ": " +
                                       result.Fault.Message
                                 : path + ": rejected by the driver parser",
              result.Status);
    if (quiet)
        return kExitNo;
    std::fflush(stdout);
    if (result.Fault.Found) {
        std::fprintf(stderr, "%s:%s:%s: error: %s\n", path.c_str(),
                     std::to_string(script->FaultLine).c_str(),
                     std::to_string(script->FaultColumn).c_str(), result.Fault.Message.c_str());
        PrintExcerpt(script->Data.Line(script->FaultLine), script->FaultLine, script->FaultColumn);
    } else {
        std::fprintf(stderr, "%s: error: %s\n", path.c_str(),
                     result.Fault.Message.empty() ? "the checker found no fault to point at"
                                                  : result.Fault.Message.c_str());
    }
    std::fprintf(stderr, "%s: rejected by the driver parser: %s\n", path.c_str(),
                 sk::StatusText(result.Status).c_str());
    std::fflush(stderr);
    return kExitNo;
}

} // namespace qelmbar::cli
