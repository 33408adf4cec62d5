/*
 * check_command.cpp - qelmbar check: gives the driver parser's verdict on
 * script files, read as the driver would receive them, and explains a
 * refusal at its line and column.
 */
#include "tools/lib/json.h"
#include "simkernel/status_names.h"
#include "tools/qelmbar/command.h"
#include "tools/qelmbar/script_report.h"

#include <algorithm>
#include <cstdio>

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
    "the same or an enclosing key, which does not wait, would then overtake, and\n"
    "each operation that reads a key or value such a write makes.  Win32 paths\n"
    "(C:\\..., HKLM\\...), relative paths and keys in a user's own hive are\n"
    "warned about too: the driver will not find them.  Warnings do not change\n"
    "the exit status.  A file with a NUL, invalid UTF-8 or UTF-16 text is\n"
    "refused at its place like a script the parser refuses.\n"
    "\n"
    "Options:\n"
    "  -p, --print   list the operations of each valid script, normalised\n"
    "  -q, --quiet   print nothing for valid scripts, warnings included\n"
    "      --json    one JSON report of every file on standard output instead:\n"
    "                its operations, warnings, and the fault of a refused one\n"
    "  -h, --help    show this help and exit\n"
    "\n"
    "Exit status: 0 if every script is valid, 1 if any is refused, 2 on a usage\n"
    "error or when a file cannot be read.\n";

struct Options {
    bool Print = false;
    bool Quiet = false;
    bool Json = false;
    bool NamePrinted = false; /* operations listed with their file's name */
};

int CheckFile(const std::string &path, const Options &options)
{
    CheckedScript script;
    int status = ReadAndCheckScript(path, &script);
    if (status != kExitOk)
        return status;

    if (!options.Quiet) {
        std::fflush(stdout);
        PrintReorders(script);
        std::fflush(stderr);
    }
    if (options.Print) {
        std::string prefix = options.NamePrinted ? path + ": " : "";
        for (const std::string &operation : script.Result.Operations)
            std::printf("%s%s\n", prefix.c_str(), operation.c_str());
    } else if (!options.Quiet) {
        size_t n = script.Result.Operations.size();
        std::printf("%s: OK (%s operation%s)\n", path.c_str(), std::to_string(n).c_str(),
                    n == 1 ? "" : "s");
    }
    return kExitOk;
}

/* One file's verdict as a JSON object. */
int CheckFileJson(const std::string &path, JsonWriter *json)
{
    CheckedScript script;
    int status = ReadAndCheckScript(path, &script, true);
    const CheckResult &result = script.Result;
    json->BeginObject().Member("path", path);
    json->Member("valid", status == kExitOk);
    json->Key("trouble");
    if (status == kExitTrouble)
        json->String(script.Trouble);
    else
        json->Null();
    json->Key("operations").BeginArray();
    if (status == kExitOk) {
        for (const std::string &operation : result.Operations)
            json->String(operation);
    }
    json->EndArray();
    json->Key("warnings").BeginArray();
    if (status == kExitOk) {
        for (const WarningText &w : WarningTexts(script)) {
            json->BeginObject();
            json->Member("line", (unsigned long long)w.Line);
            json->Member("kind", std::string(w.Kind));
            json->Member("message", w.Message);
            json->EndObject();
        }
    }
    json->EndArray();
    json->Key("error");
    if (status == kExitNo) {
        json->BeginObject();
        json->Key("line");
        if (script.FaultLine)
            json->Unsigned(script.FaultLine);
        else
            json->Null();
        json->Key("column");
        if (script.FaultLine)
            json->Unsigned(script.FaultColumn);
        else
            json->Null();
        json->Member("message",
                     script.FileFault.empty() ? result.Fault.Message : script.FileFault);
        json->Key("status");
        if (!script.FileFault.empty()) {
            json->Null();
            json->EndObject();
            json->EndObject();
            return status;
        }
        json->BeginObject();
        json->Member("code", (unsigned long long)(ULONG)result.Status);
        json->Key("name");
        if (const char *name = sk::StatusName(result.Status))
            json->String(name);
        else
            json->Null();
        json->Member("text", sk::StatusText(result.Status));
        json->EndObject();
        json->EndObject();
    } else {
        json->Null();
    }
    json->EndObject();
    return status;
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
                      { "json", 0, &options.Json },
                      { "help", 'h', &help } },
                    &files, &status))
        return status;
    if (help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (options.Print && options.Quiet)
        return UsageError(kName, "--print and --quiet cannot be used together");
    if (options.Json && (options.Print || options.Quiet))
        return UsageError(kName, "--json cannot be used with --print or --quiet");
    if (files.empty())
        return UsageError(kName, "no script file given");

    if (options.Json) {
        JsonWriter json;
        json.BeginObject().Key("files").BeginArray();
        for (const std::string &file : files)
            status = std::max(status, CheckFileJson(file, &json));
        json.EndArray().Member("valid", status == kExitOk).EndObject();
        WriteJsonOutput(json.Text() + "\n");
        std::fflush(stdout);
        return status;
    }

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
