/*
 * host_copy.cpp - the host-file half of qelmbar machine import: a copy is
 * planned whole (every target resolved on volume C: as the volume finds
 * names, ignoring case) before any file is written.  Copied files are plain
 * host files: the volume shows what their host stat says until something
 * records NT attributes for them.
 */
#include "tools/qelmbar/machine_import.h"
#include "simkernel/text.h"
#include "simkernel/upcase.h"

#include "simkernel/files.h"
#include "simkernel/sim.h"
#include "simkernel/status_names.h"
#include "tools/lib/script_source.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qelmbar::cli {

namespace {

namespace fs = std::filesystem;

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
    const std::string exact = sk::Utf8FromUtf16(name);
    if (lstat((directory + "/" + exact).c_str(), &st) == 0)
        return exact;
    DIR *listing = opendir(directory.c_str());
    if (!listing)
        return std::nullopt;
    const std::u16string wanted = sk::Upcase(name);
    std::optional<std::u16string> best;
    while (struct dirent *entry = readdir(listing)) {
        std::optional<std::u16string> candidate = sk::Utf16FromUtf8(entry->d_name);
        if (candidate && IsNtName(*candidate) && sk::Upcase(*candidate) == wanted &&
            (!best || *candidate < *best))
            best = candidate;
    }
    closedir(listing);
    if (!best)
        return std::nullopt;
    return sk::Utf8FromUtf16(*best);
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
    std::optional<std::u16string> path = sk::Utf16FromUtf8(plan_->Path);
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
        std::optional<std::u16string> name = sk::Utf16FromUtf8(parts[i]);
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
        std::optional<std::u16string> name = sk::Utf16FromUtf8(hostName);
        if (!name || !IsNtName(*name)) {
            *problem = entry.path().string() + ": the name is no file name on Windows";
            return false;
        }
        auto [other, fresh] = seen.emplace(sk::Upcase(*name), hostName);
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
    EntryKind kind = EntryKind::Missing;
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

} // namespace

Verdict PlanCopy(const std::string &dir, bool force, CopyPlan *plan, std::string *problem)
{
    return CopyPlanner(dir, force, plan).Plan(problem);
}

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
            info.creationTime = sk::NtTimeFromUnix(st.st_mtim);
            info.lastAccessTime = sk::NtTimeFromUnix(st.st_atim);
            info.lastWriteTime = sk::NtTimeFromUnix(st.st_mtim);
            info.changeTime = sk::NtTimeFromUnix(st.st_ctim);
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

} // namespace qelmbar::cli
