/*
 * staging_state.cpp - reading the driver's keys as the driver does: the
 * package marker compared ignoring case, counters that count only as
 * REG_DWORD, and scripts given to the driver's own parser with the length
 * the registry reports.
 */
#include "tools/lib/staging_state.h"

#include "simkernel/status_names.h"
#include "tools/lib/script_check.h"

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
    package.SetUp = package.IsPackage && package.StartBootCounter.Value.value_or(0) != 0;
    if (package.IsPackage)
        FindLoadProblem(&package);
    return package;
}

} // namespace

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
