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

/* The faulty line under the message, with a caret below the column. */
void PrintExcerpt(const ScriptData &data, size_t line, size_t column)
{
    std::u16string text = data.Line(line);
    std::u16string shown, under;
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); i++) {
        char16_t c = text[i];
        bool second = c >= 0xDC00 && c <= 0xDFFF && i > 0 && text[i - 1] >= 0xD800 &&
                      text[i - 1] <= 0xDBFF;
        if (!second) {
            characters++;
            if (characters < column)
                under.push_back(c == u'\t' ? u'\t' : u' ');
        }
        shown.push_back((c < 0x20 && c != u'\t') || c == 0x7F ? u'?' : c);
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

/* Deferral runs a write whose hive is not loaded yet after everything
 * else; say so where a later operation depends on it. */
void PrintReorders(const CheckedScript &script)
{
    for (const DeferralWarning &w : script.Result.Reorders) {
        size_t line = OperationLine(script.Data, w.Write);
        size_t later = OperationLine(script.Data, w.Later);
        std::fprintf(stderr,
                     "%s:%zu: warning: this write to %s may be deferred until the Win32 "
                     "subsystem starts, and then runs after line %zu, which works on %s\n",
                     script.Path.c_str(), line, w.Key.c_str(), later,
                     w.LaterKey == w.Key ? "the same key" : ("the enclosing key " + w.LaterKey).c_str());
    }
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
    if (!ScriptFromUtf8(bytes, &script->Data, &problem))
        return Trouble(script, path + ":" + std::to_string(problem.Line) + ":" +
                                   std::to_string(problem.Column) + ": " + problem.Message,
                       quiet);

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
        PrintExcerpt(script->Data, script->FaultLine, script->FaultColumn);
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
