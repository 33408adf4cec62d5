/*
 * source_lookup.cpp - whether a target holds what a staged operation reads:
 * a machine's files on its volume C:, matched ignoring case as NT matches
 * names, and keys and values in its hive files; a SYSTEM hive file's own
 * keys.  The Windows build reaches neither and checks nothing.
 */
#include "tools/qelmbar/status_scripts.h"

#if defined(_WIN32)

namespace qelmbar::cli {

SourceScope ScopeOf(const staging::Target &)
{
    SourceScope scope;
    scope.Words = "not checked on the live registry";
    return scope;
}

SourceFound FindSource(const SourceScope &, const OperationSource &)
{
    return SourceFound::NotChecked;
}

} // namespace qelmbar::cli

#else

#include "machine/machine.h"
#include "simkernel/text.h"

#include <filesystem>
#include <system_error>

namespace qelmbar::cli {

using namespace qelmbar::staging;

SourceScope ScopeOf(const Target &target)
{
    SourceScope scope;
    if (std::string(target.Kind()) == "machine") {
        scope.MachineDir = target.Location();
        scope.Files = true;
        scope.Keys = "all hives";
        scope.Words = "checked against the machine's volume C: and its hive files";
    } else if (std::string(target.Kind()) == "hive") {
        scope.HiveFile = target.Location();
        scope.Keys = "SYSTEM";
        scope.Words = "keys of SYSTEM checked against the hive file; files and keys of other "
                      "hives are not checked";
    } else {
        scope.Words = "not checked on the live registry";
    }
    return scope;
}

namespace {

namespace fs = std::filesystem;

/* The host path of a file of the machine, each component matched ignoring
 * case as NT matches names; nothing when a component is missing. */
std::optional<fs::path> FindHostPath(const std::string &dir, const std::u16string &ntPath)
{
    /* The drive letter alone is a Win32 path, which the driver cannot open. */
    if (ntPath.empty() || ntPath[0] != u'\\')
        return std::nullopt;
    std::optional<std::string> host = qm::HostPathOf(dir, ntPath);
    if (!host)
        return std::nullopt;
    const fs::path root = qm::VolumeRoot(dir);
    const fs::path relative = fs::path(*host).lexically_relative(root);
    fs::path at = root;
    std::error_code error;
    for (const fs::path &part : relative) {
        if (part == ".")
            continue;
        if (fs::exists(at / part, error)) {
            at /= part;
            continue;
        }
        std::optional<std::u16string> wanted = Utf16(part.string());
        bool matched = false;
        for (fs::directory_iterator it(at, error), end; !error && it != end; it.increment(error)) {
            std::optional<std::u16string> name = Utf16(it->path().filename().string());
            if (wanted && name && EqualIgnoringCase(*wanted, *name)) {
                at = it->path();
                matched = true;
                break;
            }
        }
        if (!matched)
            return std::nullopt;
    }
    return at;
}

/* \REGISTRY\MACHINE\SYSTEM\x -> (System, "x"); nothing for a path under no
 * hive of the machine. */
std::optional<std::pair<qm::Hive, std::u16string>> SplitRegistryPath(const std::u16string &path)
{
    std::vector<std::u16string> parts = sk::SplitKeyPath(path);
    if (parts.size() < 3 || !EqualIgnoringCase(parts[0], u"REGISTRY"))
        return std::nullopt;
    std::optional<qm::Hive> hive;
    if (EqualIgnoringCase(parts[1], u"MACHINE")) {
        for (qm::Hive h : { qm::Hive::System, qm::Hive::Software, qm::Hive::Sam,
                            qm::Hive::Security }) {
            if (EqualIgnoringCase(parts[2], Utf16(qm::HiveFileName(h)).value_or(u"")))
                hive = h;
        }
    } else if (EqualIgnoringCase(parts[1], u"USER") && EqualIgnoringCase(parts[2], u".DEFAULT")) {
        hive = qm::Hive::Default;
    }
    if (!hive)
        return std::nullopt;
    std::u16string rest;
    for (size_t i = 3; i < parts.size(); i++)
        rest += (rest.empty() ? u"" : u"\\") + parts[i];
    return std::make_pair(*hive, rest);
}

} // namespace

SourceFound FindSource(const SourceScope &scope, const OperationSource &source)
{
    using Kind = OperationSource::Kind;
    if (source.What == Kind::File || source.What == Kind::Directory) {
        if (scope.MachineDir.empty())
            return SourceFound::NotChecked;
        if (source.Path.empty() || source.Path[0] != u'\\' ||
            !qm::HostPathOf(scope.MachineDir, source.Path))
            return SourceFound::NotChecked;
        std::optional<fs::path> host = FindHostPath(scope.MachineDir, source.Path);
        std::error_code error;
        if (!host)
            return SourceFound::No;
        bool directory = fs::is_directory(*host, error);
        return directory == (source.What == Kind::Directory) ? SourceFound::Yes : SourceFound::No;
    }
    std::optional<std::pair<qm::Hive, std::u16string>> place = SplitRegistryPath(source.Path);
    if (!place)
        return SourceFound::NotChecked;
    std::string file;
    if (!scope.MachineDir.empty())
        file = qm::HiveFilePath(scope.MachineDir, place->first);
    else if (!scope.HiveFile.empty() && place->first == qm::Hive::System)
        file = scope.HiveFile;
    else
        return SourceFound::NotChecked;
    qm::HiveFileRead read = qm::ReadHiveFileKey(file, place->first, place->second, 0);
    if (!read.fileRead)
        return SourceFound::NotChecked;
    if (!read.key)
        return SourceFound::No;
    if (source.What == Kind::Key)
        return SourceFound::Yes;
    for (const auto &[name, value] : read.key->values) {
        (void)value;
        if (EqualIgnoringCase(name, source.ValueName))
            return SourceFound::Yes;
    }
    return SourceFound::No;
}


} // namespace qelmbar::cli

#endif
