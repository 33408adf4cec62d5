/*
 * package_command.cpp - qelmbar package add and remove: stages a package
 * (a key below the driver's Parameters key with its scripts and timeouts)
 * or takes one away.
 *
 * A package whose setup has run waits for the boot that commits or reverts
 * it; replacing or removing it would throw its revert away while the
 * effects of its setup stay, so add never does, and remove only when
 * forced.  The default value "Package", which makes the key a package for
 * the driver, is written after everything else and removed before
 * anything else, so no order of partial steps shows the driver half a
 * package.
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

const char kName[] = "package";
const char kAddName[] = "package add";
const char kRemoveName[] = "package remove";

const char kHelp[] =
    "Usage: qelmbar package add NAME --setup FILE [--revert FILE] [--clean FILE]\n"
    "                           [--boot-timeout N] [--tick-timeout SECONDS]\n"
    "                           [--replace] [--json] [TARGET]\n"
    "       qelmbar package remove NAME [--force] [--json] [TARGET]\n"
    "\n"
    "A package is a change the driver can take back: a key NAME below its\n"
    "Parameters key with up to three scripts.  Its SetupOperations run once, at\n"
    "the next boot.  Once the package has lasted --boot-timeout boots and\n"
    "--tick-timeout seconds of uptime after that (0 or left out: no condition),\n"
    "its CleanOperations run and it becomes \"Commited\"; a boot that follows an\n"
    "improper shutdown runs its RevertOperations instead and it becomes\n"
    "\"Reverted\".\n"
    "\n"
    "add checks every FILE with the driver's own parser first, as 'qelmbar\n"
    "check' does, and writes nothing if any is refused; blank lines are left\n"
    "out.  A key NAME that exists is refused unless --replace is given.  A\n"
    "package whose setup has run (it waits to be committed or reverted) is\n"
    "never replaced, as its revert would be lost.\n"
    "\n"
    "remove deletes the key NAME with everything in it.  A package whose setup\n"
    "has run is removed only with --force: its revert then never runs.\n"
    "\n"
    "Options:\n"
    "      --setup FILE            the script run at setup (add, required)\n"
    "      --revert FILE           the script run after an improper shutdown\n"
    "      --clean FILE            the script run at the commit\n"
    "      --boot-timeout N        boots that must follow the setup before the\n"
    "                              commit\n"
    "      --tick-timeout SECONDS  seconds of uptime that must follow the setup\n"
    "                              before the commit\n"
    "      --replace               replace a key NAME that is no set-up package\n"
    "      --force                 remove even a package whose setup has run\n"
    "      --json                  print what was done as JSON on stdout\n"
    "  -h, --help                  show this help and exit\n"
    "\n"
    "NAME is one registry key name: 1 to 255 characters, no backslash and no\n"
    "control characters; names are compared ignoring case.\n"
    "\n"
    "%s"
    "\n"
    "Exit status: 0 when done; 1 when a script is refused or the target's state\n"
    "forbids it (the driver is not installed, NAME exists, no package NAME, a\n"
    "package set up); 2 on a usage error, a file or target that cannot be read,\n"
    "or a write that failed (nothing is changed then).\n";

struct AddOptions {
    std::string Setup, Revert, Clean;
    std::string BootTimeoutText, TickTimeoutText;
    bool Replace = false;
    bool Json = false;
};

/* What a key of Parameters is, in words. */
std::string Describe(const PackageField &package)
{
    if (package.SetUp)
        return "a package whose setup has run";
    if (package.IsPackage)
        return "a package not set up yet";
    if (package.State)
        return "a key in state \"" + Utf8(*package.State) + "\"";
    return "a key that is no package";
}

bool ParseName(const std::string &command, const std::string &text, std::u16string *name,
               int *exitStatus)
{
    std::optional<std::u16string> wide = Utf16(text);
    std::string problem = wide ? PackageNameProblem(*wide) : "NAME must be UTF-8 text";
    if (!problem.empty()) {
        *exitStatus = UsageError(command, problem);
        return false;
    }
    *name = *wide;
    return true;
}

const PackageField *FindPackage(const DriverState &state, const std::u16string &name)
{
    for (const PackageField &package : state.Packages) {
        if (EqualIgnoringCase(package.Name, name))
            return &package;
    }
    return nullptr;
}

/* The steps that take the existing key away, guarded by what was read:
 * its marker first. */
void RemoveSteps(const Key &key, Change *change)
{
    const std::u16string path = PackageKeyPath(key.Name);
    const Value *marker = key.FindValue(u"");
    change->ExpectValue(path, u"", marker);
    change->ExpectValue(path, u"StartBootCounter", key.FindValue(u"StartBootCounter"));
    if (marker)
        change->DeleteValue(path, u"");
    change->DeleteTree(path);
}

const Key *PackageKey(const Snapshot &snapshot, const std::u16string &name)
{
    const Key *parameters = FindParameters(snapshot);
    return parameters ? parameters->FindSubkey(name) : nullptr;
}

int Add(const std::u16string &name, const AddOptions &options, Target &target)
{
    int status = kExitOk;
    unsigned long long bootTimeout = 0, tickTimeout = 0;
    if (!options.BootTimeoutText.empty() &&
        !ParseNumber(kAddName, "--boot-timeout", options.BootTimeoutText, 0, 0xFFFFFFFFull,
                     &bootTimeout, &status))
        return status;
    if (!options.TickTimeoutText.empty() &&
        !ParseNumber(kAddName, "--tick-timeout", options.TickTimeoutText, 0, 0xFFFFFFFFull,
                     &tickTimeout, &status))
        return status;

    struct Script {
        const char *ValueName;
        const std::string *File;
        CheckedScript Checked;
        std::vector<std::u16string> Strings;
    };
    Script scripts[] = { { "SetupOperations", &options.Setup, {}, {} },
                         { "RevertOperations", &options.Revert, {}, {} },
                         { "CleanOperations", &options.Clean, {}, {} } };
    for (Script &script : scripts) {
        if (script.File->empty())
            continue;
        int one = ReadAndCheckScript(*script.File, &script.Checked);
        if (one == kExitOk) {
            PrintReorders(script.Checked);
            script.Strings = OperationStrings(script.Checked.Data);
        }
        status = std::max(status, one);
    }
    if (status != kExitOk) {
        PrintError("package " + Utf8(name) + " was not staged");
        return status;
    }

    Snapshot snapshot;
    DriverState state;
    if (!ReadInstalledDriverState(target, &snapshot, &state, &status))
        return status;
    const PackageField *existing = FindPackage(state, name);
    if (existing && existing->SetUp)
        return Refuse("package " + Utf8(existing->Name) + " on " + TargetName(target) +
                      " has been set up and waits to be committed or reverted; replacing it "
                      "would lose its revert (remove it with 'qelmbar package remove --force' "
                      "only if it must go)");
    if (existing && !options.Replace)
        return Refuse(TargetName(target) + " already holds " + Describe(*existing) + " named " +
                      Utf8(existing->Name) + "; use --replace to stage the new one instead");

    const std::u16string path = PackageKeyPath(name);
    Change change;
    change.ExpectKey(kServiceKey, true);
    if (existing)
        RemoveSteps(*PackageKey(snapshot, existing->Name), &change);
    else
        change.ExpectKey(path, false);
    change.CreateKey(path);
    for (const Script &script : scripts) {
        if (!script.Strings.empty())
            change.SetValue(path, Utf16(script.ValueName).value(), kTypeMultiSz,
                            MultiStringBytes(script.Strings));
    }
    if (bootTimeout)
        change.SetValue(path, u"BootTimeout", kTypeDword, DwordBytes((uint32_t)bootTimeout));
    if (tickTimeout)
        change.SetValue(path, u"TickTimeout", kTypeDword, DwordBytes((uint32_t)tickTimeout));
    change.SetValue(path, u"", kTypeSz, StringBytes(kPackageMarker));
    if (!ApplyChange(target, change, &status))
        return status;

    if (options.Json) {
        JsonWriter json = TargetJson(target);
        json.Member("package", Utf8(name));
        json.Member("replaced", existing != nullptr);
        json.Key("operations").BeginObject();
        json.Member("setup", scripts[0].Strings.size());
        json.Member("revert", scripts[1].Strings.size());
        json.Member("clean", scripts[2].Strings.size());
        json.EndObject();
        json.Member("bootTimeout", bootTimeout);
        json.Member("tickTimeout", tickTimeout);
        json.EndObject();
        PrintJson(json);
    } else {
        std::printf("%s: package %s staged%s: setup %zu, revert %zu, clean %zu operations; "
                    "commit %s\n",
                    TargetName(target).c_str(), Utf8(name).c_str(),
                    existing ? (" in place of " + Describe(*existing)).c_str() : "",
                    scripts[0].Strings.size(), scripts[1].Strings.size(), scripts[2].Strings.size(),
                    CommitCondition((uint32_t)bootTimeout, (uint32_t)tickTimeout).c_str());
    }
    return kExitOk;
}

int Remove(const std::u16string &name, bool force, bool json, Target &target)
{
    int status = kExitOk;
    Snapshot snapshot;
    DriverState state;
    if (!ReadDriverState(target, &snapshot, &state, &status))
        return status;
    const PackageField *existing = FindPackage(state, name);
    if (!existing)
        return Refuse("no package " + Utf8(name) + " on " + TargetName(target));
    if (existing->SetUp && !force)
        return Refuse("package " + Utf8(existing->Name) + " on " + TargetName(target) +
                      " has been set up and waits to be committed or reverted; removed, its "
                      "revert would never run (use --force if it must go)");

    Change change;
    RemoveSteps(*PackageKey(snapshot, existing->Name), &change);
    if (!ApplyChange(target, change, &status))
        return status;
    if (existing->SetUp)
        PrintError("warning: the setup of package " + Utf8(existing->Name) +
                   " has run and its revert never will");

    if (json) {
        JsonWriter out = TargetJson(target);
        out.Member("package", Utf8(existing->Name));
        out.Member("removed", true);
        if (existing->State)
            out.Member("state", Utf8(*existing->State));
        else
            out.Key("state").Null();
        out.Member("setUp", existing->SetUp);
        out.EndObject();
        PrintJson(out);
    } else {
        std::printf("%s: removed %s named %s\n", TargetName(target).c_str(),
                    Describe(*existing).c_str(), Utf8(existing->Name).c_str());
    }
    return kExitOk;
}

int RunPackage(const std::vector<std::string> &args)
{
    AddOptions options;
    bool force = false;
    bool setupGiven = false;
    const std::vector<Flag> flags = {
        { "setup", 0, &setupGiven, &options.Setup },
        { "revert", 0, nullptr, &options.Revert },
        { "clean", 0, nullptr, &options.Clean },
        { "boot-timeout", 0, nullptr, &options.BootTimeoutText },
        { "tick-timeout", 0, nullptr, &options.TickTimeoutText },
        { "replace", 0, &options.Replace },
        { "force", 0, &force },
    };
    StagingArgs parsed;
    int status = kExitOk;
    if (!ParseStagingArgs(kName, kHelp, args, flags, &parsed, &status))
        return status;
    options.Json = parsed.Json;
    const std::vector<std::string> &operands = parsed.Operands;
    if (operands.empty())
        return UsageError(kName, "say what to do: add or remove");
    const std::string &action = operands[0];
    if (action != "add" && action != "remove")
        return UsageError(kName, "unknown action '" + action + "' (add or remove)");
    const char *command = action == "add" ? kAddName : kRemoveName;
    if (operands.size() != 2)
        return UsageError(command, operands.size() < 2 ? "no package NAME given"
                                                       : "one package NAME only");
    std::u16string name;
    if (!ParseName(command, operands[1], &name, &status))
        return status;

    bool addOnly = setupGiven || !options.Revert.empty() || !options.Clean.empty() ||
                   !options.BootTimeoutText.empty() || !options.TickTimeoutText.empty() ||
                   options.Replace;
    if (action == "add" && force)
        return UsageError(command, "--force belongs to remove; add never replaces a set-up package");
    if (action == "remove" && addOnly)
        return UsageError(command, "remove takes only NAME, --force, --json and a target");
    if (action == "add" && options.Setup.empty())
        return UsageError(command, "--setup FILE is required");

    std::unique_ptr<Target> target = OpenChosenTarget(command, parsed.Choice, &status);
    if (!target)
        return status;
    return action == "add" ? Add(name, options, *target)
                           : Remove(name, force, options.Json, *target);
}

const CommandRegistration kRegistration(
    { kName, "stage a package of setup, revert and clean scripts, or remove one", RunPackage });

} // namespace

} // namespace qelmbar::cli
