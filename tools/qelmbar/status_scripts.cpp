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

#include "simkernel/status_names.h"
#include "tools/lib/script_check.h"

#include <cstdio>

namespace qelmbar::cli {

namespace {

using namespace qelmbar::staging;
using Found = SourceFound;

/* "the source file \??\C:\a.txt", "the source value Version of key ...". */
std::string SourceWords(const OperationSource &source)
{
    std::string text = std::string("the source ") + SourceKindName(source.What) + " ";
    if (source.What == OperationSource::Kind::Value)
        return text + "\"" + Utf8(source.ValueName) + "\" of key " + Utf8(source.Path);
    return text + Utf8(source.Path);
}

/* One script listed: its operations with their sources looked up. */
/* An operation that makes something a later one may read. */
struct Maker {
    std::string Where; /* "setup operation 1" */
    OperationSource Made;
};

struct ScriptListing {
    const char *Name = "";
    const Value *Stored = nullptr;
    CheckResult Check;
    std::vector<std::vector<Found>> Presence;
    /* Per source missing now: the earlier operation that makes it, or "". */
    std::vector<std::vector<std::string>> MadeBy;
};

/* Lists one script; earlier holds what the scripts that run before it
 * make, and receives what this one makes. */
ScriptListing ListScript(const SourceScope &scope, const char *name, const Value *value,
                         std::vector<Maker> *earlier)
{
    ScriptListing listing;
    listing.Name = name;
    listing.Stored = value;
    if (!value || value->Type != kTypeMultiSz || value->Data.empty())
        return listing;
    listing.Check = CheckScript(AsUtf16(*value));
    for (size_t i = 0; i < listing.Check.Sources.size(); i++) {
        std::vector<Found> found;
        std::vector<std::string> madeBy;
        for (const OperationSource &source : listing.Check.Sources[i]) {
            found.push_back(FindSource(scope, source));
            std::string by;
            for (const Maker &maker : *earlier) {
                if (found.back() == Found::No && MakesSource(maker.Made, source))
                    by = maker.Where;
            }
            madeBy.push_back(by);
        }
        listing.Presence.push_back(found);
        listing.MadeBy.push_back(madeBy);
        for (const OperationSource &made : listing.Check.Targets[i])
            earlier->push_back({ std::string(name) + " operation " + std::to_string(i + 1), made });
    }
    return listing;
}

/* Sources missing now, and those of them an earlier operation makes. */
size_t Missing(const ScriptListing &listing, bool made)
{
    size_t missing = 0;
    for (size_t i = 0; i < listing.Presence.size(); i++) {
        for (size_t s = 0; s < listing.Presence[i].size(); s++)
            missing += listing.Presence[i][s] == Found::No && listing.MadeBy[i][s].empty() != made;
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
            if (listing.Presence[i][s] == Found::No && !listing.MadeBy[i][s].empty())
                std::printf("%s   note: %s does not exist yet; %s makes it\n", indent,
                            SourceWords(sources[s]).c_str(), listing.MadeBy[i][s].c_str());
            else if (listing.Presence[i][s] == Found::No)
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
            json->Key("madeBy");
            if (listing.MadeBy[i][s].empty())
                json->Null();
            else
                json->String(listing.MadeBy[i][s]);
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
    const SourceScope scope = ScopeOf(target);

    const Key *parameters = FindParameters(opened.Snapshot);
    std::vector<Maker> oneShotMakers;
    ScriptListing oneShot =
        ListScript(scope, "one-shot list",
                   parameters ? parameters->FindValue(kOneShotListName) : nullptr, &oneShotMakers);
    std::vector<PackageListing> packages;
    size_t missing = Missing(oneShot, false);
    size_t made = Missing(oneShot, true);
    for (size_t i = 0; parameters && i < state.Packages.size(); i++) {
        const PackageField &package = state.Packages[i];
        if (!package.IsPackage)
            continue;
        const Key *key = parameters->FindSubkey(package.Name);
        PackageListing listing;
        listing.Package = &package;
        /* The setup runs before either of the others; they never both run. */
        std::vector<Maker> setupMakers;
        listing.Setup = ListScript(scope, "setup", key->FindValue(u"SetupOperations"), &setupMakers);
        std::vector<Maker> revertMakers = setupMakers;
        listing.Revert =
            ListScript(scope, "revert", key->FindValue(u"RevertOperations"), &revertMakers);
        listing.Clean = ListScript(scope, "clean", key->FindValue(u"CleanOperations"), &setupMakers);
        for (const ScriptListing *script : { &listing.Setup, &listing.Revert, &listing.Clean }) {
            missing += Missing(*script, false);
            made += Missing(*script, true);
        }
        packages.push_back(std::move(listing));
    }

    if (json) {
        JsonWriter out = TargetJson(target);
        out.Member("controlSet", state.ControlSet);
        out.Member("installed", state.Installed);
        out.Key("sourcesChecked").BeginObject();
        out.Member("files", scope.Files);
        out.Member("keys", scope.Keys);
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
        out.Member("madeEarlier", (unsigned long long)made);
        out.EndObject();
        PrintJson(out);
        return;
    }

    std::printf("Target: %s (%s)\n", TargetName(target).c_str(), state.ControlSet.c_str());
    std::printf("Sources: %s\n", scope.Words.c_str());
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
    std::printf("Missing sources: %zu", missing);
    if (made)
        std::printf(", and %zu that an earlier operation makes", made);
    std::printf("\n");
}

} // namespace qelmbar::cli
