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
#include "machine/machine.h"
#include "simkernel/files.h"
#include "simkernel/registry.h"
#include "simkernel/sim.h"
#include "tools/lib/reg_text.h"
#include "simkernel/status_names.h"
#include "tools/qelmbar/command.h"
#include "tools/lib/script_source.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
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

std::string Plural(size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

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

std::u16string Upcase(const std::u16string &name)
{
    std::u16string out;
    for (char16_t c : name)
        out.push_back(RtlUpcaseUnicodeChar(c));
    return out;
}

/* ---- create ------------------------------------------------------------- */

int RunCreate(const std::vector<std::string> &args)
{
    bool quiet = false, help = false;
    std::vector<std::string> operands;
    int status = kExitOk;
    if (!ParseFlags(kCreateName, args, { { "quiet", 'q', &quiet }, { "help", 'h', &help } },
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
    if (!quiet)
        std::printf("created machine %s: volume C: in %s, hive files in %s\n", dir.c_str(),
                    qm::VolumeRoot(dir).c_str(),
                    fs::path(qm::HiveFilePath(dir, qm::Hive::System)).parent_path().c_str());
    return kExitOk;
}

/* ---- import: registry files --------------------------------------------- */

/* One edit bound for a hive, its key below the hive's root. */
struct HiveEdit {
    std::string File;
    size_t Line;
    RegEditKind Kind;
    std::u16string Key;
    std::u16string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
};

struct HivePlan {
    std::vector<HiveEdit> Edits;
    size_t KeysCreated = 0, KeysDeleted = 0, ValuesSet = 0, ValuesDeleted = 0;

    void Add(const std::string &file, const HivePlan &other)
    {
        for (const HiveEdit &edit : other.Edits) {
            Edits.push_back(edit);
            Edits.back().File = file;
        }
        KeysCreated += other.KeysCreated;
        KeysDeleted += other.KeysDeleted;
        ValuesSet += other.ValuesSet;
        ValuesDeleted += other.ValuesDeleted;
    }

    std::string Summary() const
    {
        std::string text = Plural(KeysCreated, "key", "keys") + ", " +
                           Plural(ValuesSet, "value set", "values set");
        if (ValuesDeleted)
            text += ", " + Plural(ValuesDeleted, "value deleted", "values deleted");
        if (KeysDeleted)
            text += ", " + Plural(KeysDeleted, "key tree deleted", "key trees deleted");
        return text;
    }
};

constexpr size_t kHiveCount = sizeof(qm::kAllHives) / sizeof(qm::kAllHives[0]);

size_t HiveIndex(qm::Hive hive)
{
    return (size_t)(std::find(std::begin(qm::kAllHives), std::end(qm::kAllHives), hive) -
                    std::begin(qm::kAllHives));
}

/* The hive file a key of a .reg file lies in, and its path below the
 * hive's root; false for a key no hive file of a machine holds. */
bool HiveOfKey(RegRoot root, const std::u16string &key, qm::Hive *hive, std::u16string *rest)
{
    const size_t cut = key.find(u'\\');
    const std::u16string first = key.substr(0, cut);
    *rest = cut == std::u16string::npos ? std::u16string() : key.substr(cut + 1);
    if (root == RegRoot::Users) {
        *hive = qm::Hive::Default;
        return qm::EqualsIgnoringCase(first, u".DEFAULT");
    }
    if (root != RegRoot::LocalMachine)
        return false;
    for (qm::Hive candidate :
         { qm::Hive::System, qm::Hive::Software, qm::Hive::Sam, qm::Hive::Security }) {
        const char *name = qm::HiveFileName(candidate);
        if (qm::EqualsIgnoringCase(first, std::u16string(name, name + std::strlen(name)))) {
            *hive = candidate;
            return true;
        }
    }
    return false;
}

/* Sorts a parsed file's edits into the hives; a key no hive file holds
 * is refused once, at its header. */
void PlanRegistryFile(const RegText &text, HivePlan *plans, std::vector<RegTextError> *refusals)
{
    std::set<size_t> refusedHeaders;
    for (const RegEdit &edit : text.Edits) {
        qm::Hive hive;
        std::u16string rest;
        if (!HiveOfKey(edit.Root, edit.Key, &hive, &rest)) {
            if (refusedHeaders.insert(edit.KeyLine).second)
                refusals->push_back(
                    { edit.KeyLine, RegKeyName(edit.Root, edit.Key) +
                                        " is in no hive file of a machine; keys must lie under "
                                        "HKEY_LOCAL_MACHINE\\SYSTEM, \\SOFTWARE, \\SAM, "
                                        "\\SECURITY or HKEY_USERS\\.DEFAULT" });
            continue;
        }
        if (edit.Kind == RegEditKind::DeleteKey && rest.empty()) {
            refusals->push_back({ edit.Line, "[-" + RegKeyName(edit.Root, edit.Key) +
                                                 "] would delete the root of hive " +
                                                 qm::HiveFileName(hive) +
                                                 ", which cannot be deleted" });
            continue;
        }
        HivePlan &plan = plans[HiveIndex(hive)];
        plan.Edits.push_back({ "", edit.Line, edit.Kind, rest, edit.Name, edit.Type, edit.Data });
        switch (edit.Kind) {
        case RegEditKind::CreateKey: plan.KeysCreated++; break;
        case RegEditKind::DeleteKey: plan.KeysDeleted++; break;
        case RegEditKind::SetValue: plan.ValuesSet++; break;
        case RegEditKind::DeleteValue: plan.ValuesDeleted++; break;
        }
    }
}

/* In SYSTEM, a first component CurrentControlSet names the control set
 * Select\Current names when the edit starts, as on a running system. */
std::u16string MapControlSet(const std::u16string &key, ULONG current)
{
    const size_t cut = key.find(u'\\');
    if (!qm::EqualsIgnoringCase(key.substr(0, cut), u"CurrentControlSet"))
        return key;
    char name[32];
    std::snprintf(name, sizeof(name), "ControlSet%03u", (unsigned)current);
    return std::u16string(name, name + std::strlen(name)) +
           (cut == std::u16string::npos ? std::u16string() : key.substr(cut));
}

/* Runs in the child that has the hive loaded at root. */
std::string ApplyHiveEdits(qm::Hive hive, const HivePlan &plan, const std::u16string &root)
{
    ULONG current = 1;
    if (hive == qm::Hive::System) {
        std::optional<sk::RegValue> select = sk::RegGetValue(root + u"\\Select", u"Current");
        if (select && select->type == REG_DWORD && select->data.size() == 4) {
            ULONG value;
            std::memcpy(&value, select->data.data(), 4);
            if (value != 0 && value < 1000)
                current = value;
        }
    }
    for (const HiveEdit &edit : plan.Edits) {
        const std::u16string key =
            hive == qm::Hive::System ? MapControlSet(edit.Key, current) : edit.Key;
        const std::u16string path = key.empty() ? root : root + u"\\" + key;
        NTSTATUS status = STATUS_SUCCESS;
        switch (edit.Kind) {
        case RegEditKind::CreateKey: status = sk::RegCreateKey(path); break;
        case RegEditKind::DeleteKey:
            if (sk::RegKeyExists(path))
                status = sk::RegDeleteTree(path);
            break;
        case RegEditKind::SetValue:
            status = sk::RegCreateKey(path);
            if (NT_SUCCESS(status))
                status = sk::RegSetValue(path, edit.Name, edit.Type, edit.Data);
            break;
        case RegEditKind::DeleteValue:
            if (sk::RegGetValue(path, edit.Name))
                status = sk::RegDeleteValue(path, edit.Name);
            break;
        }
        if (!NT_SUCCESS(status))
            return edit.File + ":" + std::to_string(edit.Line) + ": " + Utf8FromUtf16(path) + ": " +
                   sk::StatusText(status);
    }
    return std::string();
}

/* ---- import: host files ---------------------------------------------------- */

struct CopyStep {
    bool Directory = false;
    std::string Source; /* host paths */
    std::string Target;
    bool Replaces = false;
};

struct CopyPlan {
    std::string Host;
    std::string Path; /* on C:, as given */
    std::vector<CopyStep> Steps;
    size_t Files = 0, Directories = 0;

    std::string Summary() const
    {
        return Host + " to " + Path + ": " + Plural(Files, "file", "files") + ", " +
               Plural(Directories, "directory", "directories");
    }
};

enum class Verdict { Ok, Refused, Trouble };

/* NTFS's rule for one component of a name. */
bool IsNtName(const std::u16string &name)
{
    if (name.empty() || name.size() > 255 || name == u"." || name == u"..")
        return false;
    for (char16_t c : name) {
        if (c < 0x20 || std::u16string_view(u"\"*/:<>?\\|").find(c) != std::u16string_view::npos)
            return false;
    }
    return true;
}

/* The entry of a host directory that an NT name means: the name itself,
 * or else the lowest that equals it ignoring case, as the volume picks. */
std::optional<std::string> FindEntry(const std::string &directory, const std::u16string &name)
{
    struct stat st;
    const std::string exact = Utf8FromUtf16(name);
    if (lstat((directory + "/" + exact).c_str(), &st) == 0)
        return exact;
    DIR *listing = opendir(directory.c_str());
    if (!listing)
        return std::nullopt;
    const std::u16string wanted = Upcase(name);
    std::optional<std::u16string> best;
    while (struct dirent *entry = readdir(listing)) {
        std::optional<std::u16string> candidate = Utf16FromUtf8(entry->d_name);
        if (candidate && IsNtName(*candidate) && Upcase(*candidate) == wanted &&
            (!best || *candidate < *best))
            best = candidate;
    }
    closedir(listing);
    if (!best)
        return std::nullopt;
    return Utf8FromUtf16(*best);
}

enum class EntryKind { Missing, File, Directory, Other };

EntryKind KindOf(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return EntryKind::Missing;
    if (S_ISREG(st.st_mode))
        return EntryKind::File;
    if (S_ISDIR(st.st_mode))
        return EntryKind::Directory;
    return EntryKind::Other;
}

class CopyPlanner
{
public:
    CopyPlanner(const std::string &dir, bool force, CopyPlan *plan)
        : dir_(dir), force_(force), plan_(plan)
    {
    }

    Verdict Plan(std::string *problem);

private:
    /* C:\... for a host path on the volume, for messages. */
    std::string OnVolume(const std::string &host) const
    {
        std::string rest = host.substr(std::min(host.size(), qm::VolumeRoot(dir_).size()));
        std::replace(rest.begin(), rest.end(), '/', '\\');
        return "C:" + (rest.empty() ? std::string("\\") : rest);
    }

    bool ResolveTarget(std::string *target, EntryKind *kind, std::string *problem);
    bool Entry(const std::string &source, bool directory, const std::string &target, EntryKind kind,
               std::string *problem);

    const std::string dir_;
    const bool force_;
    CopyPlan *plan_;
};

/* The host path of the target, each component that exists taken as the
 * volume finds it. */
bool CopyPlanner::ResolveTarget(std::string *target, EntryKind *kind, std::string *problem)
{
    std::optional<std::u16string> path = Utf16FromUtf8(plan_->Path);
    if (!path) {
        *problem = "the path is no UTF-8 text";
        return false;
    }
    std::optional<std::string> host = qm::HostPathOf(dir_, *path);
    if (!host) {
        *problem = plan_->Path + " is not on volume C:";
        return false;
    }
    const std::string root = qm::VolumeRoot(dir_);
    std::vector<std::string> parts;
    for (size_t start = root.size(); start < host->size();) {
        size_t end = host->find('/', start);
        if (end == std::string::npos)
            end = host->size();
        if (end > start)
            parts.push_back(host->substr(start, end - start));
        start = end + 1;
    }
    *target = root;
    *kind = EntryKind::Directory;
    for (size_t i = 0; i < parts.size(); i++) {
        std::optional<std::u16string> name = Utf16FromUtf8(parts[i]);
        if (!name || !IsNtName(*name)) {
            *problem = "'" + parts[i] + "' in " + plan_->Path + " is no file name on Windows";
            return false;
        }
        if (*kind == EntryKind::Missing) {
            *target += "/" + parts[i];
            continue;
        }
        if (*kind != EntryKind::Directory) {
            *problem = OnVolume(*target) + (*kind == EntryKind::File
                                                ? " is a file, not a directory"
                                                : " is a symbolic link or a special file");
            return false;
        }
        std::optional<std::string> found = FindEntry(*target, *name);
        *target += "/" + (found ? *found : parts[i]);
        *kind = found ? KindOf(*target) : EntryKind::Missing;
    }
    return true;
}

bool CopyPlanner::Entry(const std::string &source, bool directory, const std::string &target,
                        EntryKind kind, std::string *problem)
{
    if (kind == EntryKind::Other) {
        *problem = OnVolume(target) + " is a symbolic link or a special file";
        return false;
    }
    if (!directory) {
        if (kind == EntryKind::Directory) {
            *problem = OnVolume(target) + " is a directory";
            return false;
        }
        if (kind == EntryKind::File && !force_) {
            *problem = OnVolume(target) + " exists; --force replaces it";
            return false;
        }
        std::error_code ec;
        if (kind == EntryKind::File && fs::equivalent(source, target, ec)) {
            *problem = OnVolume(target) + " is " + source + " itself";
            return false;
        }
        plan_->Steps.push_back({ false, source, target, kind == EntryKind::File });
        plan_->Files++;
        return true;
    }

    if (kind == EntryKind::File) {
        *problem = OnVolume(target) + " is a file, not a directory";
        return false;
    }
    if (kind == EntryKind::Directory && !force_) {
        *problem = OnVolume(target) + " exists; --force copies into it";
        return false;
    }
    if (kind == EntryKind::Missing)
        plan_->Steps.push_back({ true, source, target, false });
    plan_->Directories++;

    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (const fs::directory_entry &entry : fs::directory_iterator(source, ec))
        entries.push_back(entry);
    if (ec) {
        *problem = source + ": " + ec.message();
        return false;
    }
    std::sort(entries.begin(), entries.end());
    std::map<std::u16string, std::string> seen; /* upcased name, host name */
    for (const fs::directory_entry &entry : entries) {
        const std::string hostName = entry.path().filename().string();
        std::optional<std::u16string> name = Utf16FromUtf8(hostName);
        if (!name || !IsNtName(*name)) {
            *problem = entry.path().string() + ": the name is no file name on Windows";
            return false;
        }
        auto [other, fresh] = seen.emplace(Upcase(*name), hostName);
        if (!fresh) {
            *problem = source + " holds both " + other->second + " and " + hostName +
                       ", which are one name on Windows";
            return false;
        }
        const fs::file_status status = entry.symlink_status(ec);
        if (!fs::is_regular_file(status) && !fs::is_directory(status)) {
            *problem = entry.path().string() + (fs::is_symlink(status)
                                                    ? " is a symbolic link"
                                                    : " is neither a file nor a directory");
            return false;
        }
        std::string childTarget = target + "/" + hostName;
        EntryKind childKind = EntryKind::Missing;
        if (kind == EntryKind::Directory) {
            if (std::optional<std::string> found = FindEntry(target, *name)) {
                childTarget = target + "/" + *found;
                childKind = KindOf(childTarget);
            }
        }
        if (!Entry(entry.path().string(), fs::is_directory(status), childTarget, childKind,
                   problem))
            return false;
    }
    return true;
}

Verdict CopyPlanner::Plan(std::string *problem)
{
    std::error_code ec;
    const fs::file_status status = fs::status(plan_->Host, ec);
    if (!fs::exists(status)) {
        *problem = "cannot read " + plan_->Host + ": " +
                   (ec ? ec.message() : std::string("no such file or directory"));
        return Verdict::Trouble;
    }
    if (!fs::is_regular_file(status) && !fs::is_directory(status)) {
        *problem = plan_->Host + " is neither a file nor a directory";
        return Verdict::Refused;
    }
    std::string target;
    EntryKind kind;
    if (!ResolveTarget(&target, &kind, problem))
        return Verdict::Refused;
    if (fs::is_directory(status)) {
        const fs::path source = fs::canonical(plan_->Host, ec);
        const fs::path into = fs::weakly_canonical(target, ec);
        auto mismatch = std::mismatch(source.begin(), source.end(), into.begin(), into.end());
        if (!ec && mismatch.first == source.end()) {
            *problem = plan_->Path + " lies inside " + plan_->Host;
            return Verdict::Refused;
        }
    }
    /* Names inside a tree given as a link are the link's target's. */
    const std::string source = fs::is_symlink(fs::symlink_status(plan_->Host, ec))
                                   ? fs::canonical(plan_->Host, ec).string()
                                   : plan_->Host;
    return Entry(source, fs::is_directory(status), target, kind, problem) ? Verdict::Ok
                                                                          : Verdict::Refused;
}

LONGLONG NtTime(const struct timespec &ts)
{
    constexpr LONGLONG kEpochDifference = 11644473600LL; /* 1601 to 1970, in seconds */
    return ((LONGLONG)ts.tv_sec + kEpochDifference) * 10000000LL + ts.tv_nsec / 100;
}

/*
 * Where the host keeps no extended attributes, the volume keeps its NT
 * records in files of their own, which outlive a host file replaced
 * beneath them.  A record found for a copied file is stale: it gets what
 * the new file's stat says, as a file without one would show.
 */
bool RefreshStaleRecords(const std::string &dir, const std::vector<CopyPlan> &copies,
                         std::string *error)
{
    std::error_code ec;
    if (!fs::exists(qm::VolumeRoot(dir) + ".qelmbar-info", ec))
        return true;
    NTSTATUS status = sk::AddVolume(u"\\Device\\HarddiskVolume1", qm::VolumeRoot(dir));
    for (const CopyPlan &copy : copies) {
        for (const CopyStep &step : copy.Steps) {
            struct stat st;
            if (!NT_SUCCESS(status) || !sk::HostFileHasRecord(step.Target) ||
                lstat(step.Target.c_str(), &st) != 0)
                continue;
            sk::FileTimesAndAttributes info;
            info.creationTime = NtTime(st.st_mtim);
            info.lastAccessTime = NtTime(st.st_atim);
            info.lastWriteTime = NtTime(st.st_mtim);
            info.changeTime = NtTime(st.st_ctim);
            info.attributes = step.Directory
                                  ? FILE_ATTRIBUTE_DIRECTORY
                                  : FILE_ATTRIBUTE_ARCHIVE |
                                        ((st.st_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY);
            status = sk::SetHostFileInfo(step.Target, info);
            if (!NT_SUCCESS(status))
                *error = step.Target + ": recording its attributes: " + sk::StatusText(status);
        }
    }
    sk::RemoveVolumes();
    if (!NT_SUCCESS(status) && error->empty())
        *error = "volume C: over " + qm::VolumeRoot(dir) + ": " + sk::StatusText(status);
    return NT_SUCCESS(status);
}

bool RunCopy(const CopyPlan &plan, std::string *error)
{
    std::error_code ec;
    for (const CopyStep &step : plan.Steps) {
        fs::create_directories(fs::path(step.Target).parent_path(), ec);
        if (!ec && step.Directory) {
            fs::create_directory(step.Target, ec);
        } else if (!ec) {
            /* A new file, so nothing recorded for the old one stays. */
            if (step.Replaces)
                fs::remove(step.Target, ec);
            if (!ec)
                fs::copy_file(step.Source, step.Target, ec);
            fs::file_time_type written;
            if (!ec)
                written = fs::last_write_time(step.Source, ec);
            if (!ec)
                fs::last_write_time(step.Target, written, ec);
        }
        if (ec) {
            *error = step.Target + ": " + ec.message();
            return false;
        }
    }
    return true;
}

/* HOST=PATH, cut at the first '=' that a drive or a backslash follows. */
bool SplitCopyArgument(const std::string &argument, CopyPlan *plan)
{
    for (size_t at = argument.find('='); at != std::string::npos; at = argument.find('=', at + 1)) {
        const std::string path = argument.substr(at + 1);
        const bool drive =
            path.size() >= 2 && std::isalpha((unsigned char)path[0]) && path[1] == ':';
        if (at > 0 && (drive || (!path.empty() && path[0] == '\\'))) {
            plan->Host = argument.substr(0, at);
            plan->Path = path;
            std::replace(plan->Path.begin(), plan->Path.end(), '/', '\\');
            return true;
        }
    }
    return false;
}

/* ---- import ----------------------------------------------------------------- */

int RunImport(const std::vector<std::string> &args)
{
    bool force = false, dryRun = false, quiet = false, help = false;
    std::vector<std::string> copyArguments, operands;
    int status = kExitOk;
    if (!ParseFlags(kImportName, args,
                    { { "copy", 'c', nullptr, nullptr, &copyArguments },
                      { "force", 'f', &force },
                      { "dry-run", 'n', &dryRun },
                      { "quiet", 'q', &quiet },
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
        for (const RegTextError &e : errors)
            std::fprintf(stderr, "%s:%zu: error: %s\n", file.c_str(), e.Line, e.Message.c_str());
        refused += errors.size();
        for (size_t i = 0; i < kHiveCount; i++)
            hives[i].Add(file, filePlans[i]);
    }
    for (CopyPlan &copy : copies) {
        std::string problem;
        Verdict verdict = CopyPlanner(dir, force, &copy).Plan(&problem);
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
    if (dryRun) {
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
    std::fflush(stdout);
    return kExitOk;
}

/* ---- machine ------------------------------------------------------------------ */

int RunMachine(const std::vector<std::string> &args)
{
    if (args.empty())
        return UsageError(kName, "no machine command given (create or import)");
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
    if (!first.empty() && first[0] == '-')
        return UsageError(kName, "unknown option '" + first + "'");
    return UsageError(kName, "unknown machine command '" + first + "'");
}

const CommandRegistration kRegistration(
    { kName, "make machine directories and import .reg files and host files", RunMachine });

} // namespace

} // namespace qelmbar::cli
