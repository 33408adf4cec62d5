/*
 * status_command.cpp - qelmbar status: what a target holds of the driver,
 * read as the driver would read it at the next boot.
 */
#include "simkernel/status_names.h"
#include "tools/qelmbar/command.h"
#include "tools/qelmbar/staging_command.h"
#include "tools/qelmbar/status_scripts.h"

#include <cstdio>

namespace qelmbar::cli {

namespace {

using namespace qelmbar::staging;

const char kName[] = "status";

const char kHelp[] =
    "Usage: qelmbar status [TARGET] [--scripts] [--json]\n"
    "\n"
    "Shows what the target holds of the driver, as the driver will read it at\n"
    "the next boot: whether its service is installed and how (Type, Start,\n"
    "ErrorControl, Group, ImagePath), the counters BootCounter and TickCounter,\n"
    "the ImproperShutdown marker, the one-shot list with its number of\n"
    "operations, and every key below Parameters with its state, its progress\n"
    "and its LastPackageError by NT status name.  Scripts are counted with the\n"
    "driver's own parser; a package that the next boot would mark \"Corrupted\"\n"
    "is shown with the reason.  What the last run of the one-shot list and of\n"
    "each package's script did, as the driver recorded it, follows with every\n"
    "operation's status by name.\n"
    "\n"
    "With --scripts it lists instead every staged operation of the one-shot\n"
    "list and of each package's setup, revert and clean, numbered in its script\n"
    "as the driver counts them, with a warning beside each source (file,\n"
    "directory, key or value) that the target does not hold.  A machine's files\n"
    "and hives are checked; a hive file's own keys only; the live registry's\n"
    "not at all, and what is not checked is marked so.\n"
    "\n"
    "Options:\n"
    "      --scripts  list the staged operations and check their sources\n"
    "      --json     print the same as one JSON object on stdout\n"
    "  -h, --help     show this help and exit\n"
    "\n"
    "%s"
    "\n"
    "Exit status: 0 when the target was read, 2 on a usage error or a target\n"
    "that cannot be read.\n";

const char *StartName(uint32_t start)
{
    switch (start) {
    case 0: return "boot";
    case 1: return "system";
    case 2: return "automatic";
    case 3: return "on demand";
    case 4: return "disabled";
    default: return "unknown";
    }
}

const char *TypeWords(uint32_t type)
{
    switch (type) {
    case 1: return "kernel driver";
    case 2: return "file system driver";
    default: return "not a driver";
    }
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

/* "3", "missing", or "REG_SZ (not used)". */
std::string DwordText(const DwordField &field)
{
    if (field.Value)
        return std::to_string(*field.Value);
    if (!field.Present)
        return "missing";
    return TypeName(field.Type) + " (not used)";
}

std::string ScriptText(const ScriptField &script)
{
    if (!script.Present)
        return "none";
    if (script.Type != kTypeMultiSz)
        return TypeName(script.Type);
    if (!script.Parses)
        return "refused by the driver parser: " + sk::StatusText(script.Status);
    return std::to_string(script.Operations) + (script.Operations == 1 ? " operation" : " operations");
}

/* Where the package stands, in words. */
std::string Progress(const PackageField &p)
{
    if (!p.IsPackage) {
        if (p.State && (*p.State == u"Commited" || *p.State == u"Reverted" || *p.State == u"Corrupted"))
            return "finished; the driver no longer runs it";
        return "no package: the driver ignores this key";
    }
    if (!p.Problem.empty())
        return "the next boot marks it \"Corrupted\" (" + sk::StatusText(p.ProblemStatus) +
               "): " + p.Problem;
    if (!p.SetUp)
        return "staged: its setup runs at the next boot";
    std::string text = "set up at boot " + std::to_string(*p.StartBootCounter.Value) +
                       " (TickCounter " + std::to_string(p.StartTickCounter.Value.value_or(0)) +
                       "); commits " +
                       CommitCondition(p.BootTimeout.Value.value_or(0), p.TickTimeout.Value.value_or(0));
    return text + ", unless that boot follows an improper shutdown";
}

/* What the driver recorded of a script's last run: a summary line after
 * the label, then each operation indented. */
void PrintRunResults(const char *label, const char *indent, const RunResultsField &results)
{
    std::vector<std::string> lines = RunResultsLines(results);
    std::printf("%s: %s\n", label, lines[0].c_str());
    for (size_t i = 1; i < lines.size(); i++)
        std::printf("%s%s\n", indent, lines[i].c_str());
}

void PrintText(const Target &target, const DriverState &s)
{
    std::printf("Target: %s (%s)\n", TargetName(target).c_str(), s.ControlSet.c_str());
    if (!s.ServicesExists) {
        std::printf("Service: the target has no %s\\Services key; is it a SYSTEM hive?\n",
                    s.ControlSet.c_str());
        return;
    }
    if (!s.Installed) {
        std::printf("Service: not installed\n");
        return;
    }
    std::printf("Service: installed%s\n",
                s.InstalledAsBootDriver() ? " as a boot-start driver"
                                          : ", but not as a boot-start driver from qelmbar.sys "
                                            "('qelmbar install' corrects it)");
    std::printf("  Type %s%s, Start %s%s, ErrorControl %s\n", DwordText(s.Type).c_str(),
                s.Type.Value ? (std::string(" (") + TypeWords(*s.Type.Value) + ")").c_str() : "",
                DwordText(s.Start).c_str(),
                s.Start.Value ? (std::string(" (") + StartName(*s.Start.Value) + ")").c_str() : "",
                DwordText(s.ErrorControl).c_str());
    std::printf("  Group %s\n", s.Group ? ("\"" + Utf8(*s.Group) + "\"").c_str() : "missing");
    std::printf("  ImagePath %s\n", s.ImagePath ? Utf8(*s.ImagePath).c_str() : "missing");
    if (!s.ParametersExist) {
        std::printf("Parameters: none (the driver has not run and nothing is staged)\n");
        return;
    }
    std::printf("Counters: BootCounter %s, TickCounter %s\n", DwordText(s.BootCounter).c_str(),
                DwordText(s.TickCounter).c_str());
    std::printf("ImproperShutdown marker: %s\n",
                s.ImproperShutdown ? "present (the last boot has not shut down properly yet)"
                                   : "absent");
    if (s.SystemRoot)
        std::printf("SystemRoot: %s\n", Utf8(*s.SystemRoot).c_str());
    std::printf("One-shot list: %s\n", s.OneShotList.Present
                                           ? (ScriptText(s.OneShotList) + ", for the next boot").c_str()
                                           : "none");
    if (s.OneShotResults.Present)
        PrintRunResults("Last one-shot run", "  ", s.OneShotResults);
    std::printf("Packages: %zu staged (%zu key%s below Parameters)\n", s.StagedPackages(),
                s.Packages.size(), s.Packages.size() == 1 ? "" : "s");
    for (const PackageField &p : s.Packages) {
        std::string state = p.State ? "\"" + Utf8(*p.State) + "\""
                                    : p.StatePresent ? "state " + TypeName(p.StateType) : "no state";
        std::printf("  %s: %s; %s\n", Utf8(p.Name).c_str(), state.c_str(), Progress(p).c_str());
        std::printf("    setup %s, revert %s, clean %s\n", ScriptText(p.Setup).c_str(),
                    ScriptText(p.Revert).c_str(), ScriptText(p.Clean).c_str());
        if (p.LastPackageError.Value)
            std::printf("    LastPackageError %s\n", sk::StatusText((NTSTATUS)*p.LastPackageError.Value).c_str());
        if (p.LastRunResults.Present)
            PrintRunResults("    Last run", "      ", p.LastRunResults);
    }
}

void DwordMember(JsonWriter *json, const char *name, const DwordField &field)
{
    json->Key(name);
    if (field.Value)
        json->Unsigned(*field.Value);
    else
        json->Null();
}

void StringMember(JsonWriter *json, const char *name, const std::optional<std::u16string> &text)
{
    json->Key(name);
    if (text)
        json->String(Utf8(*text));
    else
        json->Null();
}

void StatusMember(JsonWriter *json, const char *name, std::optional<uint32_t> status)
{
    json->Key(name);
    if (!status) {
        json->Null();
        return;
    }
    json->BeginObject();
    json->Member("code", *status);
    json->Member("hex", Hex(*status));
    const char *known = sk::StatusName((NTSTATUS)*status);
    json->Key("name");
    if (known)
        json->String(known);
    else
        json->Null();
    json->EndObject();
}

void ScriptMember(JsonWriter *json, const char *name, const ScriptField &script)
{
    json->Key(name).BeginObject();
    json->Member("present", script.Present);
    json->Key("type");
    if (script.Present)
        json->String(TypeName(script.Type));
    else
        json->Null();
    json->Member("parses", script.Parses);
    json->Member("operations", script.Operations);
    StatusMember(json, "refusal",
                 script.Present && script.Type == kTypeMultiSz && !script.Parses
                     ? std::optional<uint32_t>((uint32_t)script.Status)
                     : std::nullopt);
    json->EndObject();
}

void PrintJsonState(const Target &target, const DriverState &s)
{
    JsonWriter json = TargetJson(target);
    json.Member("controlSet", s.ControlSet);
    json.Member("servicesKey", s.ServicesExists);

    json.Key("service").BeginObject();
    json.Member("installed", s.Installed);
    json.Member("bootStartDriver", s.InstalledAsBootDriver());
    DwordMember(&json, "type", s.Type);
    DwordMember(&json, "start", s.Start);
    DwordMember(&json, "errorControl", s.ErrorControl);
    StringMember(&json, "group", s.Group);
    StringMember(&json, "imagePath", s.ImagePath);
    json.EndObject();

    json.Key("parameters").BeginObject();
    json.Member("present", s.ParametersExist);
    DwordMember(&json, "bootCounter", s.BootCounter);
    DwordMember(&json, "tickCounter", s.TickCounter);
    json.Member("improperShutdown", s.ImproperShutdown);
    StringMember(&json, "systemRoot", s.SystemRoot);
    json.EndObject();

    ScriptMember(&json, "oneShotList", s.OneShotList);
    json.Key("oneShotResults");
    WriteRunResultsJson(&json, s.OneShotResults);

    json.Member("stagedPackages", s.StagedPackages());
    json.Key("packages").BeginArray();
    for (const PackageField &p : s.Packages) {
        json.BeginObject();
        json.Member("name", Utf8(p.Name));
        StringMember(&json, "state", p.State);
        json.Member("package", p.IsPackage);
        json.Member("setUp", p.SetUp);
        DwordMember(&json, "startBootCounter", p.StartBootCounter);
        DwordMember(&json, "startTickCounter", p.StartTickCounter);
        DwordMember(&json, "bootTimeout", p.BootTimeout);
        DwordMember(&json, "tickTimeout", p.TickTimeout);
        ScriptMember(&json, "setup", p.Setup);
        ScriptMember(&json, "revert", p.Revert);
        ScriptMember(&json, "clean", p.Clean);
        StatusMember(&json, "lastPackageError", p.LastPackageError.Value);
        json.Key("problem");
        if (p.Problem.empty()) {
            json.Null();
        } else {
            json.BeginObject();
            json.Member("reason", p.Problem);
            StatusMember(&json, "status", (uint32_t)p.ProblemStatus);
            json.EndObject();
        }
        json.Key("lastRunResults");
        WriteRunResultsJson(&json, p.LastRunResults);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    PrintJson(json);
}

int RunStatus(const std::vector<std::string> &args)
{
    StagingArgs parsed;
    TargetState opened;
    int status = kExitOk;
    bool scripts = false;
    if (!OpenTargetState(kName, kHelp, args, { { "scripts", 0, &scripts } }, &parsed, &opened,
                         &status))
        return status;
    if (scripts)
        PrintStagedScripts(opened, parsed.Json);
    else if (parsed.Json)
        PrintJsonState(*opened.Target, opened.State);
    else
        PrintText(*opened.Target, opened.State);
    std::fflush(stdout);
    return kExitOk;
}

const CommandRegistration kRegistration(
    { kName, "show the driver's service, counters, one-shot list and packages", RunStatus });

} // namespace

} // namespace qelmbar::cli
