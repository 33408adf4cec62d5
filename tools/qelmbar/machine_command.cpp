/*
 * machine_command.cpp - qelmbar machine: machine directories, the model of
 * a Windows system that qelmbar simulate boots with the driver.  `create`
 * makes one with qm::CreateMachine; `import` brings .reg files into its
 * hive files (tools/lib/reg_text.h parses them) and host files onto its
 * volume C:.
 *
 * Everything asked is checked before anything changes, and each hive file
 * is changed by one qm::EditMachineHive, so it holds all of its changes or
 * none.  Copied files are plain host files: the volume shows what their
 * host stat says until something records NT attributes for them.
 */
#include "tools/lib/json.h"
#include "tools/qelmbar/command.h"
#include "tools/qelmbar/machine_import.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qelmbar::cli {

namespace {

namespace fs = std::filesystem;

const char kName[] = "machine";
const char kCreateName[] = "machine create";
const char kImportName[] = "machine import";

const char kHelp[] = "Usage: qelmbar machine COMMAND [OPTION]... ARGUMENT...\n"
                     "\n"
                     "Makes and fills machine directories: models of the Windows system a driver\n"
                     "package targets, which 'qelmbar simulate' boots with the driver.  A machine\n"
                     "DIR keeps the files of volume C: in DIR/C, and the hive files SYSTEM,\n"
                     "SOFTWARE, SAM, SECURITY and DEFAULT in DIR/C/Windows/System32/config.\n"
                     "\n"
                     "Commands:\n"
                     "  create    make a new machine directory\n"
                     "  import    import .reg files and host files into a machine\n"
                     "  diff      show the files, keys and values two machines differ in\n"
                     "  export    write a machine's keys as a .reg file\n"
                     "\n"
                     "Options:\n"
                     "  -h, --help  show this help and exit\n"
                     "\n"
                     "Run 'qelmbar machine COMMAND --help' for the options of a command.\n";

const char kCreateHelp[] =
    "Usage: qelmbar machine create [OPTION]... DIR\n"
    "\n"
    "Makes a new machine in DIR, which may exist only as an empty directory: the\n"
    "Windows directories of volume C:, minimal hive files, and the Qelmbar driver\n"
    "installed as a boot-start service in ControlSet001, ready to boot.\n"
    "\n"
    "Options:\n"
    "  -q, --quiet  print nothing when it succeeds\n"
    "      --json   print what was made as JSON on stdout\n"
    "  -h, --help   show this help and exit\n"
    "\n"
    "Exit status: 0 when the machine was made, 2 on a usage error or when it could\n"
    "not be made (DIR not empty, an I/O error).\n";

const char kImportHelp[] =
    "Usage: qelmbar machine import [OPTION]... DIR [FILE.reg]...\n"
    "\n"
    "Imports registry files into the hive files of the machine in DIR, and copies\n"
    "host files onto its volume C:.\n"
    "\n"
    "A FILE.reg is a file as the registry editor exports it: \"Windows Registry\n"
    "Editor Version 5.00\" (UTF-16LE with a byte order mark, or UTF-8) or\n"
    "\"REGEDIT4\".  [KEY] creates a key, [-KEY] deletes it with all beneath it;\n"
    "\"name\"=... and @=... set a value (\"text\", dword:, hex:, or hex(N): for any\n"
    "type N), \"name\"=- deletes one.  Keys and values to delete that are missing\n"
    "are passed over.  Inside quotes only \\\\ and \\\" are escapes.  Keys must lie\n"
    "in a hive file of the machine:\n"
    "  HKEY_LOCAL_MACHINE\\SYSTEM, \\SOFTWARE, \\SAM, \\SECURITY (or HKLM\\...)\n"
    "  HKEY_USERS\\.DEFAULT\n"
    "and HKLM\\SYSTEM\\CurrentControlSet is the control set Select\\Current names.\n"
    "\n"
    "Everything is checked first: each fault is shown as FILE:LINE: error: ...,\n"
    "and if there is any, nothing changes.  Each hive file is then changed in one\n"
    "step, so that it holds all of its changes or none.\n"
    "\n"
    "Options:\n"
    "  -c, --copy HOST=PATH  copy the host file or directory tree HOST to PATH on\n"
    "                        volume C: (C:\\..., \\??\\C:\\... or \\SystemRoot\\...),\n"
    "                        making parent directories as needed; may be repeated\n"
    "  -f, --force           let --copy replace files and fill directories that\n"
    "                        exist\n"
    "  -n, --dry-run         check everything and say what would change, but\n"
    "                        change nothing\n"
    "  -q, --quiet           print nothing when it succeeds\n"
    "      --json            print what was done as JSON on stdout\n"
    "  -h, --help            show this help and exit\n"
    "\n"
    "Names on C: are matched ignoring case, as Windows matches them.  A copied\n"
    "file keeps its host file's last-write time, and is read-only on C: when its\n"
    "owner may not write it.  Symbolic links are not copied.\n"
    "\n"
    "Exit status: 0 when everything was imported, 1 when something was refused\n"
    "(and nothing changed), 2 on a usage error, a file that cannot be read, or an\n"
    "I/O error while the machine is changed.\n";

/* ---- small things -------------------------------------------------------- */

bool ReadWholeFile(const std::string &path, std::string *bytes, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::strerror(errno ? errno : ENOENT);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        *error = "read error";
        return false;
    }
    *bytes = text.str();
    return true;
}

/* ---- create ------------------------------------------------------------- */

int RunCreate(const std::vector<std::string> &args)
{
    bool quiet = false, help = false, json = false;
    std::vector<std::string> operands;
    int status = kExitOk;
    if (!ParseFlags(kCreateName, args,
                    { { "quiet", 'q', &quiet }, { "json", 0, &json }, { "help", 'h', &help } },
                    &operands, &status))
        return status;
    if (help) {
        std::fputs(kCreateHelp, stdout);
        return kExitOk;
    }
    if (operands.empty())
        return UsageError(kCreateName, "no machine directory given");
    if (operands.size() > 1)
        return UsageError(kCreateName, "one machine directory at a time, not " +
                                           std::to_string(operands.size()));
    const std::string &dir = operands[0];

    std::error_code ec;
    const bool existed = fs::exists(dir, ec);
    const bool wasEmptyDirectory = existed && fs::is_directory(dir, ec) && fs::is_empty(dir, ec);
    std::string error;
    if (!qm::CreateMachine(dir, &error)) {
        PrintError("machine create: " + error);
        /* Take back what was made, and only that. */
        if (!existed) {
            fs::remove_all(dir, ec);
        } else if (wasEmptyDirectory) {
            for (const fs::directory_entry &entry : fs::directory_iterator(dir, ec))
                fs::remove_all(entry.path(), ec);
        }
        return kExitTrouble;
    }
    const std::string hives = fs::path(qm::HiveFilePath(dir, qm::Hive::System)).parent_path();
    if (json) {
        JsonWriter out;
        out.BeginObject().Member("machine", dir).Member("volume", qm::VolumeRoot(dir));
        out.Member("hives", hives).EndObject();
        WriteJsonOutput(out.Text() + "\n");
    } else if (!quiet) {
        std::printf("created machine %s: volume C: in %s, hive files in %s\n", dir.c_str(),
                    qm::VolumeRoot(dir).c_str(), hives.c_str());
    }
    return kExitOk;
}
/* ---- import ----------------------------------------------------------------- */

int RunImport(const std::vector<std::string> &args)
{
    bool force = false, dryRun = false, quiet = false, help = false, json = false;
    std::vector<std::string> copyArguments, operands;
    int status = kExitOk;
    if (!ParseFlags(kImportName, args,
                    { { "copy", 'c', nullptr, nullptr, &copyArguments },
                      { "force", 'f', &force },
                      { "dry-run", 'n', &dryRun },
                      { "quiet", 'q', &quiet },
                      { "json", 0, &json },
                      { "help", 'h', &help } },
                    &operands, &status))
        return status;
    if (help) {
        std::fputs(kImportHelp, stdout);
        return kExitOk;
    }
    if (operands.empty())
        return UsageError(kImportName, "no machine directory given");
    const std::string dir = operands[0];
    const std::vector<std::string> files(operands.begin() + 1, operands.end());
    if (files.empty() && copyArguments.empty())
        return UsageError(kImportName, "nothing to import: give FILE.reg or --copy HOST=PATH");
    std::vector<CopyPlan> copies(copyArguments.size());
    for (size_t i = 0; i < copyArguments.size(); i++) {
        if (!SplitCopyArgument(copyArguments[i], &copies[i]))
            return UsageError(kImportName, "--copy takes HOST=PATH with PATH on C:, e.g. "
                                           "app.dll=C:\\App\\app.dll, not '" +
                                               copyArguments[i] + "'");
    }

    const std::string systemHive = qm::HiveFilePath(dir, qm::Hive::System);
    std::error_code ec;
    if (!fs::is_regular_file(systemHive, ec)) {
        PrintError("machine import: " + dir + " is no machine directory (it has no " + systemHive +
                   "); 'qelmbar machine create' makes one");
        return kExitTrouble;
    }

    bool trouble = false;
    size_t refused = 0;
    HivePlan hives[kHiveCount];
    for (const std::string &file : files) {
        std::string bytes, error;
        if (!ReadWholeFile(file, &bytes, &error)) {
            PrintError("machine import: cannot read " + file + ": " + error);
            trouble = true;
            continue;
        }
        RegText text;
        ParseRegText(bytes, &text);
        /* Edits of a faulty file are never applied, but keys no hive holds
         * are still worth saying at once. */
        HivePlan filePlans[kHiveCount];
        std::vector<RegTextError> errors = text.Errors;
        PlanRegistryFile(text, filePlans, &errors);
        std::stable_sort(
            errors.begin(), errors.end(),
            [](const RegTextError &a, const RegTextError &b) { return a.Line < b.Line; });
        std::fflush(stdout);
        if (!errors.empty())
            NoteError(file + ":" + std::to_string(errors[0].Line) + ": " + errors[0].Message);
        for (const RegTextError &e : errors)
            std::fprintf(stderr, "%s:%zu: error: %s\n", file.c_str(), e.Line, e.Message.c_str());
        refused += errors.size();
        for (size_t i = 0; i < kHiveCount; i++)
            hives[i].Add(file, filePlans[i]);
    }
    for (CopyPlan &copy : copies) {
        std::string problem;
        Verdict verdict = PlanCopy(dir, force, &copy, &problem);
        if (verdict == Verdict::Ok)
            continue;
        PrintError("machine import: cannot copy " + copy.Host + " to " + copy.Path + ": " +
                   problem);
        if (verdict == Verdict::Trouble)
            trouble = true;
        else
            refused++;
    }
    if (trouble || refused) {
        PrintError("machine import: " +
                   (refused ? Plural(refused, "error", "errors") + "; " : std::string()) +
                   "nothing was changed");
        return trouble ? kExitTrouble : kExitNo;
    }

    bool anything = !copies.empty();
    for (const HivePlan &plan : hives)
        anything = anything || !plan.Edits.empty();
    JsonWriter out;
    out.BeginObject().Member("machine", dir).Member("dryRun", dryRun);
    out.Key("copied").BeginArray();
    for (const CopyPlan &copy : copies)
        out.String(copy.Summary());
    out.EndArray().Key("imported").BeginArray();
    for (qm::Hive hive : qm::kAllHives) {
        if (!hives[HiveIndex(hive)].Edits.empty()) {
            out.BeginObject().Member("hive", qm::HiveFileName(hive));
            out.Member("changes", hives[HiveIndex(hive)].Summary()).EndObject();
        }
    }
    out.EndArray().EndObject();
    if (json)
        quiet = true;
    if (dryRun) {
        if (json)
            WriteJsonOutput(out.Text() + "\n");
        if (!quiet) {
            for (const CopyPlan &copy : copies)
                std::printf("would copy %s\n", copy.Summary().c_str());
            for (qm::Hive hive : qm::kAllHives) {
                if (!hives[HiveIndex(hive)].Edits.empty())
                    std::printf("would import into %s: %s\n", qm::HiveFileName(hive),
                                hives[HiveIndex(hive)].Summary().c_str());
            }
            std::printf("%s\n", anything ? "dry run: nothing was changed" : "nothing to import");
        }
        return kExitOk;
    }

    for (const CopyPlan &copy : copies) {
        std::string error;
        if (!RunCopy(copy, &error)) {
            PrintError("machine import: copying " + copy.Host + " to " + copy.Path + ": " + error);
            return kExitTrouble;
        }
        if (!quiet)
            std::printf("copied %s\n", copy.Summary().c_str());
    }
    std::string error;
    if (!RefreshStaleRecords(dir, copies, &error)) {
        PrintError("machine import: " + error);
        return kExitTrouble;
    }
    for (qm::Hive hive : qm::kAllHives) {
        const HivePlan &plan = hives[HiveIndex(hive)];
        if (plan.Edits.empty())
            continue;
        std::fflush(stdout);
        if (!qm::EditMachineHive(
                dir, hive,
                [&](const std::u16string &root) { return ApplyHiveEdits(hive, plan, root); },
                &error)) {
            PrintError(std::string("machine import: ") + qm::HiveFileName(hive) +
                       " was left unchanged: " + error);
            return kExitTrouble;
        }
        if (!quiet)
            std::printf("imported into %s: %s\n", qm::HiveFileName(hive), plan.Summary().c_str());
    }
    if (!anything && !quiet)
        std::printf("nothing to import\n");
    if (json)
        WriteJsonOutput(out.Text() + "\n");
    std::fflush(stdout);
    return kExitOk;
}

/* ---- machine ------------------------------------------------------------------ */

int RunMachine(const std::vector<std::string> &args)
{
    if (args.empty())
        return UsageError(kName, "no machine command given (create, import, diff or export)");
    const std::string &first = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (first == "--help" || first == "-h") {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (first == "create")
        return RunCreate(rest);
    if (first == "import")
        return RunImport(rest);
    if (first == "diff")
        return RunMachineDiff(rest);
    if (first == "export")
        return RunMachineExport(rest);
    if (!first.empty() && first[0] == '-')
        return UsageError(kName, "unknown option '" + first + "'");
    return UsageError(kName, "unknown machine command '" + first + "'");
}

const CommandRegistration kRegistration(
    { kName, "make, fill, compare and export machine directories", RunMachine });

} // namespace

} // namespace qelmbar::cli
