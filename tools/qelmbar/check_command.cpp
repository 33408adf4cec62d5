/*
 * check_command.cpp - qelmbar check: gives the driver parser's verdict on
 * script files, read as the driver would receive them, and explains a
 * refusal at its line and column.
 */
#include "simkernel/sim.h"
#include "tools/lib/status_names.h"
#include "tools/qelmbar/command.h"
#include "tools/qelmbar/script_check.h"
#include "tools/qelmbar/script_source.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qelmbar::cli {

namespace {

const char kName[] = "check";

const char kHelp[] =
    "Usage: qelmbar check [OPTION]... FILE...\n"
    "\n"
    "Checks each script FILE with the driver's own parser.  A script is UTF-8\n"
    "text with one operation a line, for example\n"
    "  CopyFile(\"\\??\\C:\\a.txt\", \"\\??\\C:\\b.txt\", true)\n"
    "and reaches the driver as a REG_MULTI_SZ value, one string a line.\n"
    "The first fault of a refused script is shown as FILE:LINE:COLUMN.\n"
    "\n"
    "A write under a hive other than SYSTEM may have to wait until the Win32\n"
    "subsystem starts, and then runs after the rest of the script.  A warning\n"
    "(FILE:LINE: warning: ...) names each such write that a later operation on\n"
    "the same or an enclosing key, which does not wait, would then overtake.\n"
    "Warnings do not change the exit status.\n"
    "\n"
    "Options:\n"
    "  -p, --print   list the operations of each valid script, normalised\n"
    "  -q, --quiet   print nothing for valid scripts, warnings included\n"
    "  -h, --help    show this help and exit\n"
    "\n"
    "Exit status: 0 if every script is valid, 1 if any is refused, 2 on a usage\n"
    "error or when a file cannot be read or checked.\n";

struct Options {
    bool Print = false;
    bool Quiet = false;
    bool NamePrinted = false; /* operations listed with their file's name */
};

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
                 Utf8FromUtf16(shown).c_str());
    std::fprintf(stderr, "%s | %s^\n", margin.c_str(), Utf8FromUtf16(under).c_str());
}

/* The 1-based line of the nth operation: the nth line that holds
 * anything but blanks. */
size_t OperationLine(const ScriptData &data, size_t operation)
{
    for (size_t line = 1; line <= data.LineCount(); line++) {
        std::u16string text = data.Line(line);
        if (text.find_first_not_of(u" \t\r") == std::u16string::npos)
            continue;
        if (operation-- == 0)
            return line;
    }
    return 0;
}

/* Deferral runs a write whose hive is not loaded yet after everything
 * else; say so where a later operation depends on it. */
void PrintReorders(const std::string &path, const ScriptData &data, const CheckResult &result)
{
    for (const DeferralWarning &w : result.Reorders) {
        size_t line = OperationLine(data, w.Write);
        size_t later = OperationLine(data, w.Later);
        std::fprintf(stderr,
                     "%s:%zu: warning: this write to %s may be deferred until the Win32 "
                     "subsystem starts, and then runs after line %zu, which works on %s\n",
                     path.c_str(), line, w.Key.c_str(), later,
                     w.LaterKey == w.Key ? "the same key" : ("the enclosing key " + w.LaterKey).c_str());
    }
}

int CheckFile(const std::string &path, const Options &options)
{
    std::string bytes, error;
    if (!ReadWholeFile(path, &bytes, &error)) {
        PrintError("cannot read " + path + ": " + error);
        return kExitTrouble;
    }

    ScriptData data;
    SourceProblem problem;
    if (!ScriptFromUtf8(bytes, &data, &problem)) {
        PrintError(path + ":" + std::to_string(problem.Line) + ":" +
                   std::to_string(problem.Column) + ": " + problem.Message);
        return kExitTrouble;
    }

    CheckResult result = CheckScript(data.Value);
    if (size_t left = sk::PoolOutstandingBlocks()) {
        PrintError("internal error: the driver code left " + std::to_string(left) +
                   " pool blocks behind after checking " + path);
        return kExitTrouble;
    }

    if (NT_SUCCESS(result.Status)) {
        if (!options.Quiet) {
            std::fflush(stdout);
            PrintReorders(path, data, result);
            std::fflush(stderr);
        }
        if (options.Print) {
            std::string prefix = options.NamePrinted ? path + ": " : "";
            for (const std::string &operation : result.Operations)
                std::printf("%s%s\n", prefix.c_str(), operation.c_str());
        } else if (!options.Quiet) {
            size_t n = result.Operations.size();
            std::printf("%s: OK (%s operation%s)\n", path.c_str(), std::to_string(n).c_str(),
                        n == 1 ? "" : "s");
        }
        return kExitOk;
    }

    if (result.Status == STATUS_NO_MEMORY) {
        PrintError(path + ": the driver parser ran out of pool memory (" +
                   StatusText(result.Status) + "); the script was not checked");
        return kExitTrouble;
    }

    std::fflush(stdout);
    if (result.Fault.Found) {
        size_t line, column;
        data.Locate(result.Fault.Index, &line, &column);
        std::fprintf(stderr, "%s:%s:%s: error: %s\n", path.c_str(), std::to_string(line).c_str(),
                     std::to_string(column).c_str(), result.Fault.Message.c_str());
        PrintExcerpt(data, line, column);
    } else {
        std::fprintf(stderr, "%s: error: %s\n", path.c_str(),
                     result.Fault.Message.empty() ? "the checker found no fault to point at"
                                                  : result.Fault.Message.c_str());
    }
    std::fprintf(stderr, "%s: rejected by the driver parser: %s\n", path.c_str(),
                 StatusText(result.Status).c_str());
    std::fflush(stderr);
    return kExitNo;
}

int RunCheck(const std::vector<std::string> &args)
{
    Options options;
    bool help = false;
    std::vector<std::string> files;
    int status = kExitOk;
    if (!ParseFlags(kName,
                    args,
                    { { "print", 'p', &options.Print },
                      { "quiet", 'q', &options.Quiet },
                      { "help", 'h', &help } },
                    &files, &status))
        return status;
    if (help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (options.Print && options.Quiet)
        return UsageError(kName, "--print and --quiet cannot be used together");
    if (files.empty())
        return UsageError(kName, "no script file given");

    options.NamePrinted = files.size() > 1;
    for (const std::string &file : files)
        status = std::max(status, CheckFile(file, options));
    std::fflush(stdout);
    return status;
}

const CommandRegistration kRegistration(
    { kName, "check scripts with the driver's own parser", RunCheck });

} // namespace

} // namespace qelmbar::cli
