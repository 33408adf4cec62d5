/*
 * staging_state.cpp - reading the driver's keys as the driver does: the
 * package marker compared ignoring case, counters that count only as
 * REG_DWORD, and scripts given to the driver's own parser with the length
 * the registry reports.
 */
#include "tools/lib/staging_state.h"

#include "script/script.h"
#include "simkernel/status_names.h"
#include "tools/lib/json.h"
#include "tools/lib/script_check.h"

#include <cstddef>
#include <cstdio>

namespace qelmbar::staging {

namespace {

DwordField ReadDword(const Key *key, const std::u16string &name)
{
    DwordField field;
    const Value *value = key ? key->FindValue(name) : nullptr;
    if (value) {
        field.Present = true;
        field.Type = value->Type;
        field.Value = AsDword(value);
    }
    return field;
}

/* The package's first fault in the order the driver loads it: the four
 * counters and timeouts, then the three scripts. */
void FindLoadProblem(PackageField *package)
{
    const std::pair<const char *, const DwordField *> dwords[] = {
        { "StartTickCounter", &package->StartTickCounter },
        { "StartBootCounter", &package->StartBootCounter },
        { "TickTimeout", &package->TickTimeout },
        { "BootTimeout", &package->BootTimeout },
    };
    for (const auto &[name, field] : dwords) {
        if (field->Present && field->Type != kTypeDword) {
            package->Problem = std::string(name) + " is " + TypeName(field->Type) + ", not REG_DWORD";
            package->ProblemStatus = STATUS_NOT_SUPPORTED;
            return;
        }
    }
    const std::pair<const char *, const ScriptField *> scripts[] = {
        { "SetupOperations", &package->Setup },
        { "RevertOperations", &package->Revert },
        { "CleanOperations", &package->Clean },
    };
    for (const auto &[name, script] : scripts) {
        if (!script->Present || script->Bytes == 0)
            continue;
        if (script->Type != kTypeMultiSz) {
            package->Problem = std::string(name) + " is " + TypeName(script->Type) +
                               ", not REG_MULTI_SZ";
            package->ProblemStatus = STATUS_NOT_SUPPORTED;
            return;
        }
        if (!script->Parses) {
            package->Problem = std::string(name) + " is refused by the driver parser";
            package->ProblemStatus = script->Status;
            return;
        }
    }
}

PackageField ReadPackage(const Key &key)
{
    PackageField package;
    package.Name = key.Name;
    if (const Value *state = key.FindValue(u"")) {
        package.StatePresent = true;
        package.StateType = state->Type;
        package.State = AsString(state);
        package.IsPackage = state->Type == kTypeSz && package.State &&
                            EqualIgnoringCase(*package.State, kPackageMarker);
    }
    package.StartBootCounter = ReadDword(&key, u"StartBootCounter");
    package.StartTickCounter = ReadDword(&key, u"StartTickCounter");
    package.BootTimeout = ReadDword(&key, u"BootTimeout");
    package.TickTimeout = ReadDword(&key, u"TickTimeout");
    package.LastPackageError = ReadDword(&key, u"LastPackageError");
    package.Setup = InterpretScript(key.FindValue(u"SetupOperations"));
    package.Revert = InterpretScript(key.FindValue(u"RevertOperations"));
    package.Clean = InterpretScript(key.FindValue(u"CleanOperations"));
    package.LastRunResults = InterpretRunResults(key.FindValue(kPackageResultsName));
    package.SetUp = package.IsPackage && package.StartBootCounter.Value.value_or(0) != 0;
    if (package.IsPackage)
        FindLoadProblem(&package);
    return package;
}

uint32_t ReadUlong(const std::vector<uint8_t> &data, size_t offset)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4; i++)
        value |= (uint32_t)data[offset + i] << (8 * i);
    return value;
}

} // namespace

RunResultsField InterpretRunResults(const Value *value)
{
    RunResultsField field;
    if (!value)
        return field;
    field.Present = true;
    field.Type = value->Type;
    const std::vector<uint8_t> &data = value->Data;
    if (value->Type != kTypeBinary) {
        field.Problem = "it is " + TypeName(value->Type) + ", not REG_BINARY";
        return field;
    }
    if (data.size() < sizeof(RunResultsHeader)) {
        field.Problem = "it holds " + std::to_string(data.size()) + " bytes, fewer than its header";
        return field;
    }
    field.Version = ReadUlong(data, offsetof(RunResultsHeader, Version));
    if (field.Version != RUN_RESULTS_VERSION) {
        field.Problem = "its version " + std::to_string(field.Version) + " is not one this tool reads";
        return field;
    }
    field.Script = ReadUlong(data, offsetof(RunResultsHeader, Script));
    field.BootCounter = ReadUlong(data, offsetof(RunResultsHeader, BootCounter));
    field.Flags = ReadUlong(data, offsetof(RunResultsHeader, Flags));
    const uint32_t count = ReadUlong(data, offsetof(RunResultsHeader, Count));
    if (count > RUN_RESULTS_MAX_OPERATIONS ||
        data.size() != sizeof(RunResultsHeader) + (size_t)count * sizeof(RunResultEntry)) {
        field.Problem = "it holds " + std::to_string(data.size()) + " bytes, not the header and " +
                        std::to_string(count) + " outcomes";
        return field;
    }
    for (uint32_t i = 0; i < count; i++) {
        size_t at = sizeof(RunResultsHeader) + (size_t)i * sizeof(RunResultEntry);
        RunResultField result;
        result.Status = (int32_t)ReadUlong(data, at + offsetof(RunResultEntry, Status));
        result.Flags = ReadUlong(data, at + offsetof(RunResultEntry, Flags));
        field.Operations.push_back(result);
    }
    field.Valid = true;
    return field;
}

const char *RunResultsScriptName(uint32_t script)
{
    switch (script) {
    case 0: return "one-shot list";
    case 1: return "setup";
    case 2: return "revert";
    case 3: return "clean";
    default: return "unknown script";
    }
}

std::string RunResultText(const RunResultField &result)
{
    if (result.Flags & RUN_RESULT_SKIPPED)
        return "skipped: an earlier failure ended the script";
    if ((result.Flags & RUN_RESULT_DEFERRED) && !(result.Flags & RUN_RESULT_DEFERRED_RAN))
        return "deferred; the deferred run has not run it";
    std::string text = sk::StatusText(result.Status);
    if (result.Flags & RUN_RESULT_DEFERRED)
        return "deferred, then " + text;
    return text;
}

std::string RunResultsFlagsText(uint32_t flags)
{
    std::string text;
    auto add = [&](const char *words) { text += (text.empty() ? "" : ", ") + std::string(words); };
    if (flags & RUN_RESULTS_TRUNCATED)
        add(("only the first " + std::to_string(RUN_RESULTS_MAX_OPERATIONS) +
             " operations recorded").c_str());
    if (flags & RUN_RESULTS_REJECTED)
        add("the script did not parse and nothing ran");
    if (flags & RUN_RESULTS_INCOMPLETE)
        add("the driver had no memory to record the outcomes");
    return text;
}

size_t RunResultsFailures(const RunResultsField &results)
{
    size_t failures = 0;
    for (const RunResultField &result : results.Operations) {
        bool ran = !(result.Flags & RUN_RESULT_SKIPPED) &&
                   (!(result.Flags & RUN_RESULT_DEFERRED) || (result.Flags & RUN_RESULT_DEFERRED_RAN));
        failures += ran && !NT_SUCCESS(result.Status);
    }
    return failures;
}

std::vector<std::string> RunResultsLines(const RunResultsField &results)
{
    std::vector<std::string> lines;
    if (!results.Valid) {
        lines.push_back("unreadable: " + results.Problem);
        return lines;
    }
    const size_t count = results.Operations.size();
    const size_t failures = RunResultsFailures(results);
    std::string summary = std::string(RunResultsScriptName(results.Script)) + " at boot " +
                          std::to_string(results.BootCounter) + ": " + std::to_string(count) +
                          (count == 1 ? " operation" : " operations");
    if (count)
        summary += failures == 0   ? ", no failure"
                   : failures == 1 ? ", 1 failure"
                                   : ", " + std::to_string(failures) + " failures";
    std::string flags = RunResultsFlagsText(results.Flags);
    if (!flags.empty())
        summary += " (" + flags + ")";
    lines.push_back(summary);
    for (size_t i = 0; i < count; i++)
        lines.push_back(std::to_string(i + 1) + ". " + RunResultText(results.Operations[i]));
    return lines;
}

void WriteRunResultsJson(JsonWriter *json, const RunResultsField &results)
{
    if (!results.Present) {
        json->Null();
        return;
    }
    json->BeginObject();
    json->Member("valid", results.Valid);
    json->Key("problem");
    if (results.Valid)
        json->Null();
    else
        json->String(results.Problem);
    if (results.Valid) {
        json->Member("version", (unsigned)results.Version);
        json->Member("script", RunResultsScriptName(results.Script));
        json->Member("bootCounter", (unsigned)results.BootCounter);
        json->Member("truncated", (results.Flags & RUN_RESULTS_TRUNCATED) != 0);
        json->Member("rejected", (results.Flags & RUN_RESULTS_REJECTED) != 0);
        json->Member("incomplete", (results.Flags & RUN_RESULTS_INCOMPLETE) != 0);
        json->Member("failures", (unsigned long long)RunResultsFailures(results));
        json->Key("operations").BeginArray();
        for (size_t i = 0; i < results.Operations.size(); i++) {
            const RunResultField &result = results.Operations[i];
            const bool skipped = (result.Flags & RUN_RESULT_SKIPPED) != 0;
            const bool deferred = (result.Flags & RUN_RESULT_DEFERRED) != 0;
            const bool deferredRan = (result.Flags & RUN_RESULT_DEFERRED_RAN) != 0;
            json->BeginObject();
            json->Member("index", (unsigned long long)(i + 1));
            json->Member("skipped", skipped);
            json->Member("deferred", deferred);
            json->Member("deferredRan", deferredRan);
            json->Key("status");
            if (skipped || (deferred && !deferredRan)) {
                json->Null();
            } else {
                char hex[16];
                std::snprintf(hex, sizeof(hex), "0x%08X", (unsigned)result.Status);
                const char *name = sk::StatusName((NTSTATUS)result.Status);
                json->BeginObject();
                json->Member("code", (unsigned)(uint32_t)result.Status);
                json->Member("hex", std::string(hex));
                json->Key("name");
                if (name)
                    json->String(name);
                else
                    json->Null();
                json->EndObject();
            }
            json->EndObject();
        }
        json->EndArray();
    }
    json->EndObject();
}

ScriptField InterpretScript(const Value *value)
{
    ScriptField field;
    if (!value)
        return field;
    field.Present = true;
    field.Type = value->Type;
    field.Bytes = value->Data.size();
    if (value->Type != kTypeMultiSz)
        return field;
    if (value->Data.empty()) {
        field.Parses = true;
        return field;
    }
    CheckResult result = CheckScript(AsUtf16(*value));
    field.Parses = NT_SUCCESS(result.Status);
    field.Status = result.Status;
    field.Operations = result.Operations.size();
    return field;
}

const Key *FindParameters(const Snapshot &snapshot)
{
    return snapshot.Service ? snapshot.Service->FindSubkey(u"Parameters") : nullptr;
}

DriverState InterpretSnapshot(const Snapshot &snapshot)
{
    DriverState state;
    state.ControlSet = snapshot.ControlSet;
    state.ServicesExists = snapshot.ServicesExists;
    if (!snapshot.Service)
        return state;
    const Key &service = *snapshot.Service;
    state.Installed = true;
    state.Type = ReadDword(&service, u"Type");
    state.Start = ReadDword(&service, u"Start");
    state.ErrorControl = ReadDword(&service, u"ErrorControl");
    state.ImagePath = AsString(service.FindValue(u"ImagePath"));
    state.Group = AsString(service.FindValue(u"Group"));

    const Key *parameters = FindParameters(snapshot);
    if (!parameters)
        return state;
    state.ParametersExist = true;
    state.BootCounter = ReadDword(parameters, u"BootCounter");
    state.TickCounter = ReadDword(parameters, u"TickCounter");
    state.ImproperShutdown = parameters->FindValue(u"ImproperShutdown") != nullptr;
    state.SystemRoot = AsString(parameters->FindValue(u"SystemRoot"));
    state.OneShotList = InterpretScript(parameters->FindValue(kOneShotListName));
    state.OneShotResults = InterpretRunResults(parameters->FindValue(kOneShotResultsName));
    for (const Key &subkey : parameters->Subkeys)
        state.Packages.push_back(ReadPackage(subkey));
    return state;
}

size_t DriverState::StagedPackages() const
{
    size_t count = 0;
    for (const PackageField &package : Packages)
        count += package.IsPackage;
    return count;
}

bool DriverState::InstalledAsBootDriver() const
{
    return Installed && Type.Value == kServiceType && Start.Value == kServiceStart && ImagePath &&
           NamesDriverImage(*ImagePath);
}

bool NamesDriverImage(const std::u16string &imagePath)
{
    /* The boot loader takes a path relative to the Windows directory, or
     * one that starts with \SystemRoot\, for the same file. */
    const std::u16string full = kServiceImagePath;
    const std::u16string relative = full.substr(std::u16string(u"\\SystemRoot\\").size());
    return EqualIgnoringCase(imagePath, full) || EqualIgnoringCase(imagePath, relative);
}

std::string CommitCondition(uint32_t bootTimeout, uint32_t tickTimeout)
{
    if (!bootTimeout && !tickTimeout)
        return "at the first boot after the setup";
    std::string boots = std::to_string(bootTimeout) + (bootTimeout == 1 ? " boot" : " boots");
    std::string uptime = std::to_string(tickTimeout) + " s of uptime";
    std::string what = !tickTimeout ? boots : !bootTimeout ? uptime : boots + " and " + uptime;
    return "once " + what + (bootTimeout == 1 && !tickTimeout ? " has" : " have") +
           " followed the setup";
}

std::string PackageNameProblem(const std::u16string &name)
{
    if (name.empty())
        return "a package name cannot be empty";
    if (name.size() > 255)
        return "a package name has at most 255 characters, as every registry key name";
    for (char16_t c : name) {
        if (c == u'\\')
            return "a package name cannot hold a backslash: it names one key below Parameters";
        if (c < 0x20 || c == 0x7F)
            return "a package name cannot hold control characters";
    }
    return std::string();
}

std::u16string PackageKeyPath(const std::u16string &name)
{
    return std::u16string(kParametersKey) + u"\\" + name;
}

} // namespace qelmbar::staging
