/*
 * status_scripts.cpp - qelmbar status --scripts: the staged scripts read
 * back operation by operation, as the driver's parser takes them, each
 * numbered as the executor counts it in its script, with a warning beside
 * every source the target does not hold.
 *
 * What can be checked depends on the target: a machine has its volume C:
 * and every hive file; a SYSTEM hive file has its own keys only; the live
 * registry is not searched.  What is not checked is said, never guessed.
 */
#include "tools/qelmbar/status_scripts.h"

#include "machine/machine.h"
#include "simkernel/status_names.h"
#include "simkernel/text.h"
#include "tools/lib/script_check.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace qelmbar::cli {

namespace {

namespace fs = std::filesystem;
using namespace qelmbar::staging;

enum class Found { Yes, No, NotChecked };

/* What a target lets us look at. */
struct SourceScope {
    std::string MachineDir; /* a machine: files and every hive */
    std::string HiveFile;   /* a SYSTEM hive file: its keys only */

    std::string Words() const
    {
        if (!MachineDir.empty())
            return "checked against the machine's volume C: and its hive files";
        if (!HiveFile.empty())
            return "keys of SYSTEM checked against the hive file; files and keys of other "
                   "hives are not checked";
        return "not checked on the live registry";
    }
};

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

Found FindSource(const SourceScope &scope, const OperationSource &source)
{
    using Kind = OperationSource::Kind;
    if (source.What == Kind::File || source.What == Kind::Directory) {
        if (scope.MachineDir.empty())
            return Found::NotChecked;
        if (source.Path.empty() || source.Path[0] != u'\\' ||
            !qm::HostPathOf(scope.MachineDir, source.Path))
            return Found::NotChecked;
        std::optional<fs::path> host = FindHostPath(scope.MachineDir, source.Path);
        std::error_code error;
        if (!host)
            return Found::No;
        bool directory = fs::is_directory(*host, error);
        return directory == (source.What == Kind::Directory) ? Found::Yes : Found::No;
    }
    std::optional<std::pair<qm::Hive, std::u16string>> place = SplitRegistryPath(source.Path);
    if (!place)
        return Found::NotChecked;
    std::string file;
    if (!scope.MachineDir.empty())
        file = qm::HiveFilePath(scope.MachineDir, place->first);
    else if (!scope.HiveFile.empty() && place->first == qm::Hive::System)
        file = scope.HiveFile;
    else
        return Found::NotChecked;
    qm::HiveFileRead read = qm::ReadHiveFileKey(file, place->first, place->second, 0);
    if (!read.fileRead)
        return Found::NotChecked;
    if (!read.key)
        return Found::No;
    if (source.What == Kind::Key)
        return Found::Yes;
    for (const auto &[name, value] : read.key->values) {
        (void)value;
        if (EqualIgnoringCase(name, source.ValueName))
            return Found::Yes;
    }
    return Found::No;
}

/* "the source file \??\C:\a.txt", "the source value Version of key ...". */
std::string SourceWords(const OperationSource &source)
{
    std::string text = std::string("the source ") + SourceKindName(source.What) + " ";
    if (source.What == OperationSource::Kind::Value)
        return text + "\"" + Utf8(source.ValueName) + "\" of key " + Utf8(source.Path);
    return text + Utf8(source.Path);
}

/* One script listed: its operations with their sources looked up. */
struct ScriptListing {
    const char *Name = "";
    const Value *Stored = nullptr;
    CheckResult Check;
    std::vector<std::vector<Found>> Presence;
};

ScriptListing ListScript(const SourceScope &scope, const char *name, const Value *value)
{
    ScriptListing listing;
    listing.Name = name;
    listing.Stored = value;
    if (!value || value->Type != kTypeMultiSz || value->Data.empty())
        return listing;
    listing.Check = CheckScript(AsUtf16(*value));
    for (const std::vector<OperationSource> &sources : listing.Check.Sources) {
        std::vector<Found> found;
        for (const OperationSource &source : sources)
            found.push_back(FindSource(scope, source));
        listing.Presence.push_back(found);
    }
    return listing;
}

size_t Missing(const ScriptListing &listing)
{
    size_t missing = 0;
    for (const auto &found : listing.Presence) {
        for (Found f : found)
            missing += f == Found::No;
    }
    return missing;
}

/* "2 operations", "none", "REG_SZ, not REG_MULTI_SZ", "refused ...". */
std::string Summary(const ScriptListing &listing)
{
    if (!listing.Stored)
        return "none";
    if (listing.Stored->Type != kTypeMultiSz)
        return TypeName(listing.Stored->Type) + ", not REG_MULTI_SZ";
    if (listing.Stored->Data.empty())
        return "empty";
    if (!NT_SUCCESS(listing.Check.Status))
        return "refused by the driver parser: " + sk::StatusText(listing.Check.Status);
    const size_t count = listing.Check.Operations.size();
    return std::to_string(count) + (count == 1 ? " operation" : " operations");
}

void PrintListing(const ScriptListing &listing, const char *indent)
{
    for (size_t i = 0; i < listing.Check.Operations.size(); i++) {
        std::printf("%s%zu. %s\n", indent, i + 1, listing.Check.Operations[i].c_str());
        const std::vector<OperationSource> &sources = listing.Check.Sources[i];
        for (size_t s = 0; s < sources.size(); s++) {
            if (listing.Presence[i][s] == Found::No)
                std::printf("%s   warning: %s does not exist\n", indent,
                            SourceWords(sources[s]).c_str());
            else if (listing.Presence[i][s] == Found::NotChecked)
                std::printf("%s   not checked: %s\n", indent, SourceWords(sources[s]).c_str());
        }
    }
}

void JsonListing(JsonWriter *json, const char *key, const ScriptListing &listing)
{
    json->Key(key);
    if (!listing.Stored) {
        json->Null();
        return;
    }
    json->BeginObject();
    json->Member("type", TypeName(listing.Stored->Type));
    const bool parses = listing.Stored->Type == kTypeMultiSz &&
                        (listing.Stored->Data.empty() || NT_SUCCESS(listing.Check.Status));
    json->Member("parses", parses);
    json->Key("refusal");
    if (listing.Stored->Type == kTypeMultiSz && !parses) {
        json->BeginObject();
        json->Member("code", (unsigned)(uint32_t)listing.Check.Status);
        const char *name = sk::StatusName(listing.Check.Status);
        json->Key("name");
        if (name)
            json->String(name);
        else
            json->Null();
        json->EndObject();
    } else {
        json->Null();
    }
    json->Key("operations").BeginArray();
    for (size_t i = 0; i < listing.Check.Operations.size(); i++) {
        json->BeginObject();
        json->Member("index", (unsigned long long)(i + 1));
        json->Member("operation", listing.Check.Operations[i]);
        json->Key("sources").BeginArray();
        const std::vector<OperationSource> &sources = listing.Check.Sources[i];
        for (size_t s = 0; s < sources.size(); s++) {
            json->BeginObject();
            json->Member("kind", SourceKindName(sources[s].What));
            json->Member("path", Utf8(sources[s].Path));
            json->Key("valueName");
            if (sources[s].What == OperationSource::Kind::Value)
                json->String(Utf8(sources[s].ValueName));
            else
                json->Null();
            json->Key("exists");
            if (listing.Presence[i][s] == Found::NotChecked)
                json->Null();
            else
                json->Bool(listing.Presence[i][s] == Found::Yes);
            json->EndObject();
        }
        json->EndArray();
        json->EndObject();
    }
    json->EndArray();
    json->EndObject();
}

struct PackageListing {
    const PackageField *Package = nullptr;
    ScriptListing Setup, Revert, Clean;
};

/* What the next boot does with a package, in a few words. */
std::string PackageWords(const PackageField &package)
{
    if (!package.Problem.empty())
        return "the next boot marks it \"Corrupted\": " + package.Problem;
    if (!package.SetUp)
        return "its setup runs at the next boot";
    return "set up at boot " + std::to_string(*package.StartBootCounter.Value) +
           "; its revert or clean runs later";
}

} // namespace

void PrintStagedScripts(const TargetState &opened, bool json)
{
    const Target &target = *opened.Target;
    const DriverState &state = opened.State;
    SourceScope scope;
    if (std::string(target.Kind()) == "machine")
        scope.MachineDir = target.Location();
    else if (std::string(target.Kind()) == "hive")
        scope.HiveFile = target.Location();

    const Key *parameters = FindParameters(opened.Snapshot);
    ScriptListing oneShot = ListScript(scope, "one-shot list",
                                       parameters ? parameters->FindValue(kOneShotListName) : nullptr);
    std::vector<PackageListing> packages;
    size_t missing = Missing(oneShot);
    for (size_t i = 0; parameters && i < state.Packages.size(); i++) {
        const PackageField &package = state.Packages[i];
        if (!package.IsPackage)
            continue;
        const Key *key = parameters->FindSubkey(package.Name);
        PackageListing listing;
        listing.Package = &package;
        listing.Setup = ListScript(scope, "setup", key->FindValue(u"SetupOperations"));
        listing.Revert = ListScript(scope, "revert", key->FindValue(u"RevertOperations"));
        listing.Clean = ListScript(scope, "clean", key->FindValue(u"CleanOperations"));
        missing += Missing(listing.Setup) + Missing(listing.Revert) + Missing(listing.Clean);
        packages.push_back(std::move(listing));
    }

    if (json) {
        JsonWriter out = TargetJson(target);
        out.Member("controlSet", state.ControlSet);
        out.Member("installed", state.Installed);
        out.Key("sourcesChecked").BeginObject();
        out.Member("files", !scope.MachineDir.empty());
        out.Member("keys", !scope.MachineDir.empty() ? "all hives"
                           : !scope.HiveFile.empty() ? "SYSTEM"
                                                     : "none");
        out.EndObject();
        JsonListing(&out, "oneShotList", oneShot);
        out.Key("packages").BeginArray();
        for (const PackageListing &listing : packages) {
            out.BeginObject();
            out.Member("name", Utf8(listing.Package->Name));
            out.Member("setUp", listing.Package->SetUp);
            JsonListing(&out, "setup", listing.Setup);
            JsonListing(&out, "revert", listing.Revert);
            JsonListing(&out, "clean", listing.Clean);
            out.EndObject();
        }
        out.EndArray();
        out.Member("missingSources", (unsigned long long)missing);
        out.EndObject();
        PrintJson(out);
        return;
    }

    std::printf("Target: %s (%s)\n", TargetName(target).c_str(), state.ControlSet.c_str());
    std::printf("Sources: %s\n", scope.Words().c_str());
    std::printf("One-shot list: %s\n", Summary(oneShot).c_str());
    PrintListing(oneShot, "  ");
    std::printf("Packages: %zu staged\n", packages.size());
    for (const PackageListing &listing : packages) {
        std::printf("  %s: %s\n", Utf8(listing.Package->Name).c_str(),
                    PackageWords(*listing.Package).c_str());
        for (const ScriptListing *script : { &listing.Setup, &listing.Revert, &listing.Clean }) {
            std::printf("    %s: %s\n", script->Name, Summary(*script).c_str());
            PrintListing(*script, "      ");
        }
    }
    std::printf("Missing sources: %zu\n", missing);
}

} // namespace qelmbar::cli
