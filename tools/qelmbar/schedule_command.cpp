/*
 * schedule_command.cpp - qelmbar schedule: stages script files in the
 * one-shot list that the driver runs at the next boot.
 *
 * A list already staged is appended to: two installers that schedule
 * before the same restart must both have their work done, and replacing
 * would silently drop the first one's.  The combined list is checked with
 * the driver's parser before anything is written, and the write is guarded
 * by the list as it was read, so a list changed meanwhile is never lost.
 */
#include "simkernel/status_names.h"
#include "tools/qelmbar/command.h"
#include "tools/qelmbar/script_report.h"
#include "tools/qelmbar/staging_command.h"

#include <algorithm>
#include <cstdio>

namespace qelmbar::cli {

namespace {

using namespace qelmbar::staging;

const char kName[] = "schedule";

const char kHelp[] =
    "Usage: qelmbar schedule [TARGET] [OPTION]... FILE...\n"
    "       qelmbar schedule [TARGET] --clear\n"
    "\n"
    "Stages the operations of each script FILE, in order, in the one-shot list\n"
    "BootTimeOperationsList, which the driver runs once at the next boot and\n"
    "then deletes.  Each FILE is first checked with the driver's own parser, as\n"
    "'qelmbar check' does; if any is refused, nothing is written.  Blank lines\n"
    "are left out of the list.\n"
    "\n"
    "A list already staged is kept and the new operations follow it, so that\n"
    "two installers that schedule before the same restart both have their work\n"
    "done; the combined list is checked again before it is written.  A staged\n"
    "list that the driver would refuse is not appended to.  With --replace the\n"
    "new operations take the place of whatever was staged.\n"
    "\n"
    "Options:\n"
    "      --replace  replace the staged list instead of appending to it\n"
    "      --clear    remove the staged list (no FILE)\n"
    "      --json     print what was done as JSON on stdout\n"
    "  -h, --help     show this help and exit\n"
    "\n"
    "%s"
    "\n"
    "Exit status: 0 when the list was written or there was nothing to write; 1\n"
    "when a script is refused, the driver is not installed on the target, or\n"
    "the staged list would be refused; 2 on a usage error, a file or target\n"
    "that cannot be read, or a write that failed (nothing is changed then).\n";

struct Options {
    bool Replace = false;
    bool Clear = false;
    bool Json = false;
};

/* The strings of stored REG_MULTI_SZ data, empty ones left out as the
 * driver skips them. */
std::vector<std::u16string> StoredStrings(const Value &value)
{
    std::vector<std::u16string> strings;
    std::u16string all = AsUtf16(value);
    size_t at = 0;
    while (at < all.size()) {
        size_t nul = all.find(u'\0', at);
        if (nul == std::u16string::npos)
            nul = all.size();
        if (nul > at)
            strings.push_back(all.substr(at, nul - at));
        at = nul + 1;
    }
    return strings;
}

std::u16string ValueText(const std::vector<std::u16string> &strings)
{
    std::u16string value;
    for (const std::u16string &s : strings) {
        value += s;
        value.push_back(u'\0');
    }
    value.push_back(u'\0');
    return value;
}

/* Where an operation of the combined list comes from. */
struct Origin {
    const CheckedScript *Script = nullptr; /* nullptr: the list already staged */
    size_t Index = 0;                      /* within its script or the staged list */
};

std::string Where(const Origin &origin)
{
    if (!origin.Script)
        return std::string("BootTimeOperationsList, operation ") + std::to_string(origin.Index + 1);
    return origin.Script->Path + ":" +
           std::to_string(OperationLine(origin.Script->Data, origin.Index));
}

/* The reorders that only the combined list shows: a write of one script
 * overtaken by an operation of another, or a read in one of what a
 * waiting write of another makes.  Those within one file were told when
 * it was checked. */
void PrintCrossReorders(const CheckResult &combined, const std::vector<Origin> &origins)
{
    for (const DeferralWarning &w : combined.Reorders) {
        const Origin &write = origins[w.Write];
        const Origin &later = origins[w.Later];
        if (write.Script == later.Script)
            continue;
        std::fprintf(stderr,
                     "%s: warning: this write to %s may be deferred until the Win32 subsystem "
                     "starts, and then runs after %s, which works on %s\n",
                     Where(write).c_str(), w.Key.c_str(), Where(later).c_str(),
                     w.LaterKey == w.Key ? "the same key" : ("the enclosing key " + w.LaterKey).c_str());
    }
    for (const ScriptWarning &w : combined.Warnings) {
        const Origin &read = origins[w.Operation];
        const Origin &maker = origins[w.Other];
        if (w.Kind != WarningKind::ReadBeforeCreate || read.Script == maker.Script)
            continue;
        std::fprintf(stderr,
                     "%s: warning: this operation reads %s, which %s makes (%s) only once the "
                     "Win32 subsystem starts, as its write waits for the hive; at the boot pass "
                     "this one runs first and finds it as it was before, or not at all\n",
                     Where(read).c_str(), w.Path.c_str(), Where(maker).c_str(),
                     w.Suggestion.c_str());
    }
}

/* The one-shot list as stored; nullptr when none is. */
const Value *StagedList(const Snapshot &snapshot)
{
    const Key *parameters = FindParameters(snapshot);
    return parameters ? parameters->FindValue(kOneShotListName) : nullptr;
}

int Clear(Target &target, const Options &options)
{
    Snapshot snapshot;
    DriverState state;
    int status = kExitOk;
    if (!ReadDriverState(target, &snapshot, &state, &status))
        return status;
    const Value *staged = StagedList(snapshot);
    if (staged) {
        Change change;
        change.ExpectValue(kParametersKey, kOneShotListName, staged);
        change.DeleteValue(kParametersKey, kOneShotListName);
        if (!ApplyChange(target, change, &status))
            return status;
    }
    if (options.Json) {
        JsonWriter json = TargetJson(target);
        json.Member("removed", staged != nullptr);
        json.Member("operations", state.OneShotList.Operations);
        json.EndObject();
        PrintJson(json);
    } else if (staged) {
        size_t n = state.OneShotList.Operations;
        std::printf("%s: removed the one-shot list (%zu operation%s)\n", TargetName(target).c_str(),
                    n, n == 1 ? "" : "s");
    } else {
        std::printf("%s: no one-shot list is staged\n", TargetName(target).c_str());
    }
    return kExitOk;
}

int Schedule(Target &target, const std::vector<std::string> &files, const Options &options)
{
    /* Every file is checked, and each problem shown, before the target is
     * even read. */
    std::vector<CheckedScript> scripts(files.size());
    int status = kExitOk;
    for (size_t i = 0; i < files.size(); i++) {
        int one = ReadAndCheckScript(files[i], &scripts[i]);
        if (one == kExitOk)
            PrintReorders(scripts[i]);
        status = std::max(status, one);
    }
    if (status != kExitOk) {
        PrintError("nothing was scheduled");
        return status;
    }

    Snapshot snapshot;
    DriverState state;
    if (!ReadInstalledDriverState(target, &snapshot, &state, &status))
        return status;
    const Value *staged = StagedList(snapshot);

    std::vector<std::u16string> strings;
    std::vector<Origin> origins;
    if (staged && !options.Replace) {
        const ScriptField &list = state.OneShotList;
        if (list.Type != kTypeMultiSz)
            return Refuse("the one-shot list staged on " + TargetName(target) + " is " +
                          TypeName(list.Type) +
                          ", which the driver deletes without running it; use --replace");
        if (!list.Parses)
            return Refuse("the one-shot list staged on " + TargetName(target) +
                          " is refused by the driver parser (" + sk::StatusText(list.Status) +
                          "), so none of it would run; use --replace",
                          list.Status);
        for (const std::u16string &s : StoredStrings(*staged)) {
            origins.push_back(Origin{ nullptr, strings.size() });
            strings.push_back(s);
        }
    }
    const size_t kept = strings.size();
    for (const CheckedScript &script : scripts) {
        std::vector<std::u16string> lines = OperationStrings(script.Data);
        for (size_t i = 0; i < lines.size(); i++) {
            origins.push_back(Origin{ &script, i });
            strings.push_back(lines[i]);
        }
    }
    const size_t added = strings.size() - kept;

    CheckResult combined = CheckScript(ValueText(strings));
    if (ParserLeftPool("the combined one-shot list"))
        return kExitTrouble;
    if (!NT_SUCCESS(combined.Status))
        return Refuse("the combined one-shot list is refused by the driver parser (" +
                      sk::StatusText(combined.Status) + "); nothing was scheduled",
                      combined.Status);
    PrintCrossReorders(combined, origins);

    bool write = added > 0 || (options.Replace && staged);
    if (write) {
        Change change;
        change.ExpectKey(kServiceKey, true);
        change.ExpectValue(kParametersKey, kOneShotListName, staged);
        change.CreateKey(kParametersKey);
        if (strings.empty())
            change.DeleteValue(kParametersKey, kOneShotListName);
        else
            change.SetValue(kParametersKey, kOneShotListName, kTypeMultiSz, MultiStringBytes(strings));
        if (!ApplyChange(target, change, &status))
            return status;
    }

    if (options.Json) {
        JsonWriter json = TargetJson(target);
        json.Member("mode", options.Replace ? "replace" : "append");
        json.Member("written", write);
        json.Member("kept", kept);
        json.Member("replaced", options.Replace && staged ? state.OneShotList.Operations : 0);
        json.Member("added", added);
        json.Member("operations", strings.size());
        json.Key("files").BeginArray();
        for (const CheckedScript &script : scripts) {
            json.BeginObject();
            json.Member("path", script.Path);
            json.Member("operations", script.Result.Operations.size());
            json.EndObject();
        }
        json.EndArray();
        json.EndObject();
        PrintJson(json);
    } else if (!write) {
        std::printf("%s: nothing to schedule: the scripts hold no operations\n",
                    TargetName(target).c_str());
    } else {
        std::printf("%s: %zu operation%s staged for the next boot (%zu added", TargetName(target).c_str(),
                    strings.size(), strings.size() == 1 ? "" : "s", added);
        if (kept)
            std::printf(" after the %zu already staged", kept);
        else if (options.Replace && staged)
            std::printf(", replacing the %zu staged", state.OneShotList.Operations);
        std::printf(")\n");
    }
    return kExitOk;
}

int RunSchedule(const std::vector<std::string> &args)
{
    Options options;
    StagingArgs parsed;
    int status = kExitOk;
    if (!ParseStagingArgs(kName, kHelp, args,
                          { { "replace", 0, &options.Replace }, { "clear", 0, &options.Clear } },
                          &parsed, &status))
        return status;
    options.Json = parsed.Json;
    const std::vector<std::string> &files = parsed.Operands;
    if (options.Clear && (options.Replace || !files.empty()))
        return UsageError(kName, "--clear takes no FILE and no --replace");
    if (!options.Clear && files.empty())
        return UsageError(kName, "no script file given");
    std::unique_ptr<Target> target = OpenChosenTarget(kName, parsed.Choice, &status);
    if (!target)
        return status;
    return options.Clear ? Clear(*target, options) : Schedule(*target, files, options);
}

const CommandRegistration kRegistration(
    { kName, "stage scripts in the one-shot list for the next boot", RunSchedule });

} // namespace

} // namespace qelmbar::cli
