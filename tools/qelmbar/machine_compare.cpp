/*
 * machine_compare.cpp - qelmbar machine diff and machine export: what two
 * machine directories differ in, and a machine's keys as a .reg file that
 * machine import reads back.
 */
#include "tools/lib/json.h"
#include "tools/lib/machine_state.h"
#include "tools/qelmbar/command.h"
#include "tools/qelmbar/machine_import.h"

#include "simkernel/text.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace qelmbar::cli {

namespace {

const char kDiffName[] = "machine diff";
const char kExportName[] = "machine export";

const char kDiffHelp[] =
    "Usage: qelmbar machine diff [OPTION]... DIR1 DIR2\n"
    "\n"
    "Shows what the machine in DIR2 holds that the machine in DIR1 does not, and\n"
    "the other way round: the files and directories of volume C: (a file with\n"
    "its size and SHA-256) and the keys and values of every hive (a value with\n"
    "its type and data).  One line a difference:\n"
    "  + file C:\\App\\new.dll (1024 bytes, sha256 ...)   only in DIR2\n"
    "  - key \\REGISTRY\\MACHINE\\SOFTWARE\\Old             only in DIR1\n"
    "  ~ value \\REGISTRY\\MACHINE\\SOFTWARE\\App \"Version\": REG_SZ \"1\" -> REG_SZ \"2\"\n"
    "A key only on one side is shown with everything in it.  The hive files\n"
    "themselves are compared by their keys, not their bytes.\n"
    "\n"
    "Options:\n"
    "      --json   the differences as one JSON object on standard output\n"
    "  -h, --help   show this help and exit\n"
    "\n"
    "Exit status: 0 if the machines hold the same, 1 if they differ, 2 on a usage\n"
    "error or when a machine cannot be read.\n";

const char kExportHelp[] =
    "Usage: qelmbar machine export [OPTION]... DIR [HIVE [KEY]]\n"
    "\n"
    "Writes the keys of the machine in DIR as a .reg file of version 5 (UTF-16LE\n"
    "with a byte order mark), which 'qelmbar machine import' and the Windows\n"
    "registry editor read.  HIVE is SYSTEM, SOFTWARE, SAM, SECURITY or DEFAULT\n"
    "(every hive when left out); KEY is a key below the hive's root, e.g.\n"
    "'ControlSet001\\Services\\Qelmbar', written out with everything beneath it.\n"
    "In SYSTEM, CurrentControlSet stands for the control set Select\\Current names.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE  write the file there instead of standard output\n"
    "      --json         say what was written as JSON (needs --output)\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "Exit status: 0 when the file was written, 1 when the key does not exist, 2\n"
    "on a usage error or when the machine cannot be read or the file written.\n";

/* The path of an existing key with each name as the hive stores it, not
 * as it was asked for. */
std::u16string StoredPath(const std::string &file, qm::Hive hive, const std::u16string &path)
{
    std::u16string stored, asked;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos)
            end = path.size();
        asked += (asked.empty() ? u"" : u"\\") + path.substr(start, end - start);
        qm::HiveFileRead read = qm::ReadHiveFileKey(file, hive, asked, 0);
        const std::u16string name = read.key ? read.key->name : path.substr(start, end - start);
        stored += (stored.empty() ? u"" : u"\\") + name;
        start = end + 1;
    }
    return stored;
}

} // namespace

int RunMachineDiff(const std::vector<std::string> &args)
{
    bool help = false, json = false;
    std::vector<std::string> operands;
    int status = kExitOk;
    if (!ParseFlags(kDiffName, args, { { "json", 0, &json }, { "help", 'h', &help } }, &operands,
                    &status))
        return status;
    if (help) {
        std::fputs(kDiffHelp, stdout);
        return kExitOk;
    }
    if (operands.size() != 2)
        return UsageError(kDiffName, "two machine directories needed, not " +
                                         std::to_string(operands.size()));

    MachineState states[2];
    for (int i = 0; i < 2; i++) {
        std::string error;
        if (!ReadMachineState(operands[i], &states[i], &error)) {
            PrintError("machine diff: " + error);
            return kExitTrouble;
        }
    }
    const std::vector<MachineChange> changes = DiffMachineStates(states[0], states[1]);
    if (json) {
        JsonWriter out;
        out.BeginObject().Member("machine1", operands[0]).Member("machine2", operands[1]);
        out.Member("same", changes.empty());
        PutChangesJson(&out, changes);
        out.EndObject();
        WriteJsonOutput(out.Text() + "\n");
    } else {
        for (const MachineChange &change : changes)
            std::printf("%s\n", ChangeLine(change).c_str());
        std::fflush(stdout);
    }
    return changes.empty() ? kExitOk : kExitNo;
}

int RunMachineExport(const std::vector<std::string> &args)
{
    bool help = false, json = false;
    std::string output;
    std::vector<std::string> operands;
    int status = kExitOk;
    if (!ParseFlags(kExportName, args,
                    { { "output", 'o', nullptr, &output },
                      { "json", 0, &json },
                      { "help", 'h', &help } },
                    &operands, &status))
        return status;
    if (help) {
        std::fputs(kExportHelp, stdout);
        return kExitOk;
    }
    if (operands.empty())
        return UsageError(kExportName, "no machine directory given");
    if (operands.size() > 3)
        return UsageError(kExportName, "too many arguments: DIR, HIVE and KEY at most");
    if (json && output.empty())
        return UsageError(kExportName, "--json needs --output FILE: the .reg file is not JSON");
    const std::string &dir = operands[0];
    std::vector<qm::Hive> hives(std::begin(qm::kAllHives), std::end(qm::kAllHives));
    if (operands.size() > 1) {
        std::optional<qm::Hive> hive = HiveByName(operands[1]);
        if (!hive)
            return UsageError(kExportName, "no hive '" + operands[1] +
                                               "': SYSTEM, SOFTWARE, SAM, SECURITY or DEFAULT");
        hives = { *hive };
    }
    const std::u16string key = operands.size() > 2 ? *sk::Utf16FromUtf8(operands[2]) : u"";

    std::error_code ec;
    if (!std::filesystem::is_regular_file(qm::HiveFilePath(dir, qm::Hive::System), ec)) {
        PrintError("machine export: " + dir + " is no machine directory (it has no " +
                   qm::HiveFilePath(dir, qm::Hive::System) + ")");
        return kExitTrouble;
    }
    std::u16string text = RegExportHeader();
    size_t keys = 0, values = 0;
    for (qm::Hive hive : hives) {
        const std::string file = qm::HiveFilePath(dir, hive);
        if (operands.size() == 1 && !std::filesystem::exists(file, ec))
            continue;
        qm::HiveFileRead read = qm::ReadHiveFileKey(file, hive, key);
        if (!read.fileRead) {
            PrintError("machine export: " + read.error);
            return kExitTrouble;
        }
        if (!read.key) {
            PrintError(std::string("machine export: ") + qm::HiveFileName(hive) + " has no key " +
                       sk::Utf8FromUtf16(key));
            return kExitNo;
        }
        std::vector<const qm::MachineKey *> walk = { &*read.key };
        while (!walk.empty()) {
            const qm::MachineKey *k = walk.back();
            walk.pop_back();
            keys++;
            values += k->values.size();
            for (const qm::MachineKey &subkey : k->subkeys)
                walk.push_back(&subkey);
        }
        AppendRegExport(hive, StoredPath(file, hive, read.keyPath), *read.key, &text);
    }
    const std::string bytes = RegExportBytes(text);
    if (output.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
        return kExitOk;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
    out.close();
    if (!out) {
        PrintError("machine export: cannot write " + output);
        return kExitTrouble;
    }
    if (json) {
        JsonWriter report;
        report.BeginObject().Member("machine", dir).Member("file", output);
        report.Member("keys", (unsigned long long)keys).Member("values", (unsigned long long)values);
        report.EndObject();
        WriteJsonOutput(report.Text() + "\n");
    }
    return kExitOk;
}

} // namespace qelmbar::cli
