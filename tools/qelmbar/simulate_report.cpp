/*
 * simulate_report.cpp - the report of one simulated boot: the driver's
 * state before and after, every script it ran with each operation's
 * outcome, the run records read back from the machine, as text or JSON.
 */
#include "tools/qelmbar/simulate_report.h"

#include "simkernel/sim.h"
#include "simkernel/status_names.h"
#include "simkernel/text.h"

#include <cstdio>
#include <map>

namespace qelmbar::cli {

namespace {

std::string U8(const std::u16string &text)
{
    return sk::Utf8FromUtf16(text);
}

std::string Optional(const std::optional<uint32_t> &value)
{
    return value ? std::to_string(*value) : "none";
}

/* ---- the text report ---------------------------------------------------- */

std::string ScriptTitle(qm::ScriptKind kind, const std::u16string &package)
{
    if (kind == qm::ScriptKind::OneShot)
        return "one-shot list";
    return "package " + U8(package) + ", " + qm::ScriptKindName(kind);
}

std::string OutcomeText(const OperationResult &operation)
{
    std::string text;
    switch (operation.Result) {
    case Outcome::Done:
        text = "done";
        if (operation.Status != STATUS_SUCCESS)
            text += " with " + sk::StatusText(operation.Status);
        break;
    case Outcome::Failed:
        text = "failed with " + sk::StatusText(operation.Status);
        break;
    default:
        text = OutcomeName(operation.Result);
        break;
    }
    if (operation.WasDeferred && operation.Result != Outcome::Deferred)
        text = "deferred, then " + text + " in the deferred run";
    else if (operation.WasDeferred && operation.Result == Outcome::Deferred)
        text = "deferred; the deferred run did not come in this boot";
    return text;
}

/* A one-shot list the driver would run: REG_MULTI_SZ. */
bool HasOneShotList(const staging::DriverState &state)
{
    return state.OneShotList.Present && state.OneShotList.Type == staging::kTypeMultiSz;
}

void PrintState(const char *label, const staging::DriverState &state)
{
    std::printf("  %s:", label);
    if (!state.ParametersExist) {
        std::printf(" no Parameters key\n");
        return;
    }
    std::printf(" BootCounter %s, TickCounter %s, ImproperShutdown %s",
                Optional(state.BootCounter.Value).c_str(),
                Optional(state.TickCounter.Value).c_str(),
                state.ImproperShutdown ? "set" : "not set");
    if (HasOneShotList(state)) {
        const size_t operations = state.OneShotList.Operations;
        if (state.OneShotList.Parses)
            std::printf(", one-shot list of %zu operation%s", operations,
                        operations == 1 ? "" : "s");
        else
            std::printf(", a one-shot list the parser refuses");
    }
    std::printf("\n");
    for (const staging::PackageField &package : state.Packages) {
        /* Keys without a state are no packages. */
        if (!package.State)
            continue;
        std::printf("    package %s: %s", U8(package.Name).c_str(), U8(*package.State).c_str());
        if (package.StartBootCounter.Value)
            std::printf(", set up at boot %u", (unsigned)*package.StartBootCounter.Value);
        if (package.StartTickCounter.Value)
            std::printf(" (TickCounter %u)", (unsigned)*package.StartTickCounter.Value);
        if (package.BootTimeout.Value)
            std::printf(", BootTimeout %u", (unsigned)*package.BootTimeout.Value);
        if (package.TickTimeout.Value)
            std::printf(", TickTimeout %u", (unsigned)*package.TickTimeout.Value);
        if (package.LastPackageError.Value)
            std::printf(", LastPackageError %s",
                        sk::StatusText((NTSTATUS)*package.LastPackageError.Value).c_str());
        std::printf("\n");
    }
}

bool SameRecord(const staging::RunResultsField &a, const staging::RunResultsField &b)
{
    return staging::RunResultsLines(a) == staging::RunResultsLines(b) && a.Present == b.Present;
}

/* The records of script runs the driver wrote on the machine in this
 * boot, read back from its SYSTEM hive: those that differ from before. */
struct Recorded {
    const staging::PackageField *Package; /* null for the one-shot list's */
    const staging::RunResultsField *Results;
};

std::vector<Recorded> RecordedInBoot(const BootResult &boot)
{
    std::vector<Recorded> recorded;
    if (boot.After.OneShotResults.Present &&
        !SameRecord(boot.After.OneShotResults, boot.Before.OneShotResults))
        recorded.push_back({ nullptr, &boot.After.OneShotResults });
    for (const staging::PackageField &package : boot.After.Packages) {
        if (!package.LastRunResults.Present)
            continue;
        const staging::RunResultsField *before = nullptr;
        for (const staging::PackageField &old : boot.Before.Packages) {
            if (old.Name == package.Name)
                before = &old.LastRunResults;
        }
        if (before && SameRecord(*before, package.LastRunResults))
            continue;
        recorded.push_back({ &package, &package.LastRunResults });
    }
    return recorded;
}

void PrintRecorded(const BootResult &boot)
{
    for (const Recorded &record : RecordedInBoot(boot)) {
        std::vector<std::string> lines = staging::RunResultsLines(*record.Results);
        std::string name = record.Package ? "package " + U8(record.Package->Name) + " LastRunResults"
                                          : "LastBootTimeOperationsResults";
        std::printf("  recorded on the machine, %s: %s\n", name.c_str(), lines[0].c_str());
        for (size_t i = 1; i < lines.size(); i++)
            std::printf("    %s\n", lines[i].c_str());
    }
}

std::string EndText(const BootResult &boot)
{
    const qm::BootReport &report = boot.Report;
    if (!report.completed)
        return "did not complete: " + report.failure;
    if (!report.powerLost)
        return "orderly shutdown after " + std::to_string(boot.Options.uptimeSeconds) + " s";
    if (report.powerLossCall == 0)
        return "power lost after " + std::to_string(boot.Options.uptimeSeconds) +
               " s, without a shutdown";
    return "power lost at call " + std::to_string(report.powerLossCall) + " (" +
           report.powerLossRoutine + "), after stage '" +
           qm::BootStageName(report.powerLossStage) + "'";
}

} // namespace

void PrintBoot(const BootResult &boot, unsigned total)
{
    const qm::BootReport &report = boot.Report;
    std::printf("Boot %u of %u: %s\n", boot.Number, total, EndText(boot).c_str());
    std::printf("  platform calls: %llu\n", (unsigned long long)report.platformCalls);
    if (report.entryReturned)
        std::printf("  driver entry: %s\n", sk::StatusText(report.entryStatus).c_str());
    else
        std::printf("  driver entry: did not return\n");
    if (report.contextAvailable)
        std::printf("  improper shutdown of the last cycle: %s\n",
                    report.improperShutdownDetected ? "detected" : "no");
    PrintState("before", boot.Before);

    for (const ScriptResult &script : boot.Scripts) {
        std::printf("  %s, %zu operation%s:\n", ScriptTitle(script.Kind, script.Package).c_str(),
                    script.Operations.size(), script.Operations.size() == 1 ? "" : "s");
        for (const OperationResult &operation : script.Operations)
            std::printf("    %zu. %s: %s\n", operation.Index + 1, OutcomeText(operation).c_str(),
                        operation.Operation.empty() ? "(operation not known)"
                                                    : operation.Operation.c_str());
    }
    for (const ScriptNotRun &script : boot.NotRun)
        std::printf("  %s: not run, %s\n", ScriptTitle(script.Kind, script.Package).c_str(),
                    script.Reason.c_str());
    if (boot.DeferredRunStarted) {
        if (boot.DeferredRun.empty()) {
            std::printf("  deferred run after csrss.exe started: nothing waited\n");
        } else {
            std::printf("  deferred run after csrss.exe started, %zu operation%s:\n",
                        boot.DeferredRun.size(), boot.DeferredRun.size() == 1 ? "" : "s");
            for (const BootResult::DeferredEntry &entry : boot.DeferredRun) {
                OperationResult shown;
                shown.Result = entry.Result;
                shown.Status = entry.Status;
                std::printf("    %s %zu: %s\n", ScriptTitle(entry.Kind, entry.Package).c_str(),
                            entry.Index + 1, OutcomeText(shown).c_str());
            }
        }
    }
    PrintState("after", boot.After);
    PrintRecorded(boot);
    for (const std::string &error : report.systemErrors)
        std::printf("  system error: %s\n", error.c_str());
    for (const std::string &violation : report.violations)
        std::printf("  kernel rule broken by the driver: %s\n", violation.c_str());
}

/* ---- the JSON report ---------------------------------------------------- */

namespace {

void JsonStatus(JsonWriter &json, const std::string &key, NTSTATUS status)
{
    json.Key(key).BeginObject();
    json.Member("code", (unsigned long long)(ULONG)status);
    const char *name = sk::StatusName(status);
    json.Key("name");
    if (name)
        json.String(name);
    else
        json.Null();
    json.Member("text", sk::StatusText(status));
    json.EndObject();
}

void JsonOptional(JsonWriter &json, const std::string &key, const std::optional<uint32_t> &value)
{
    json.Key(key);
    if (value)
        json.Unsigned(*value);
    else
        json.Null();
}

void JsonState(JsonWriter &json, const std::string &key, const staging::DriverState &state)
{
    json.Key(key).BeginObject();
    json.Member("parameters", state.ParametersExist);
    JsonOptional(json, "bootCounter", state.BootCounter.Value);
    JsonOptional(json, "tickCounter", state.TickCounter.Value);
    json.Member("improperShutdown", state.ImproperShutdown);
    json.Key("systemRoot");
    if (state.SystemRoot)
        json.String(U8(*state.SystemRoot));
    else
        json.Null();
    json.Key("oneShotList");
    if (HasOneShotList(state)) {
        json.BeginObject().Member("valid", state.OneShotList.Parses);
        json.Member("operations", (unsigned long long)state.OneShotList.Operations);
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("packages").BeginArray();
    for (const staging::PackageField &package : state.Packages) {
        if (!package.State)
            continue;
        json.BeginObject().Member("name", U8(package.Name));
        json.Member("state", U8(*package.State));
        JsonOptional(json, "startBootCounter", package.StartBootCounter.Value);
        JsonOptional(json, "startTickCounter", package.StartTickCounter.Value);
        JsonOptional(json, "bootTimeout", package.BootTimeout.Value);
        JsonOptional(json, "tickTimeout", package.TickTimeout.Value);
        if (package.LastPackageError.Value)
            JsonStatus(json, "lastPackageError", (NTSTATUS)*package.LastPackageError.Value);
        else
            json.Key("lastPackageError").Null();
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

void JsonPlace(JsonWriter &json, qm::ScriptKind kind, const std::u16string &package)
{
    json.Member("script", qm::ScriptKindName(kind));
    json.Key("package");
    if (kind == qm::ScriptKind::OneShot)
        json.Null();
    else
        json.String(U8(package));
}

} // namespace

void JsonBoot(JsonWriter &json, const BootResult &boot,
              const std::vector<MachineChange> *changes)
{
    const qm::BootReport &report = boot.Report;
    json.BeginObject();
    json.Member("boot", boot.Number);
    json.Member("completed", report.completed);
    if (!report.completed) {
        json.Member("failure", report.failure);
        json.Member("watchdog", report.watchdogFired);
    }
    json.Member("clean", boot.Clean());
    json.Member("uptimeSeconds", (unsigned long long)boot.Options.uptimeSeconds);
    json.Member("platformCalls", (unsigned long long)report.platformCalls);
    json.Key("end");
    if (!report.powerLost) {
        json.BeginObject().Member("kind", "shutdown").EndObject();
    } else {
        json.BeginObject().Member("kind", "power loss");
        json.Key("call");
        if (report.powerLossCall)
            json.Unsigned(report.powerLossCall);
        else
            json.Null();
        json.Member("routine", report.powerLossRoutine);
        json.Member("afterStage", qm::BootStageName(report.powerLossStage));
        json.EndObject();
    }
    json.Member("entryReturned", report.entryReturned);
    if (report.entryReturned)
        JsonStatus(json, "entryStatus", report.entryStatus);
    json.Member("improperShutdownDetected", report.improperShutdownDetected);
    JsonState(json, "before", boot.Before);

    json.Key("scripts").BeginArray();
    for (const ScriptResult &script : boot.Scripts) {
        json.BeginObject();
        JsonPlace(json, script.Kind, script.Package);
        json.Member("stage", qm::BootStageName(script.Stage));
        json.Key("operations").BeginArray();
        for (const OperationResult &operation : script.Operations) {
            json.BeginObject();
            json.Member("index", (unsigned long long)operation.Index + 1);
            json.Member("operation", operation.Operation);
            json.Member("outcome", OutcomeName(operation.Result));
            if (operation.Result == Outcome::Done || operation.Result == Outcome::Failed)
                JsonStatus(json, "status", operation.Status);
            json.Member("deferred", operation.WasDeferred);
            json.EndObject();
        }
        json.EndArray();
        json.EndObject();
    }
    json.EndArray();

    json.Key("notRun").BeginArray();
    for (const ScriptNotRun &script : boot.NotRun) {
        json.BeginObject();
        JsonPlace(json, script.Kind, script.Package);
        json.Member("reason", script.Reason);
        json.EndObject();
    }
    json.EndArray();

    json.Key("deferredRun").BeginObject();
    json.Member("started", boot.DeferredRunStarted);
    json.Key("operations").BeginArray();
    for (const BootResult::DeferredEntry &entry : boot.DeferredRun) {
        json.BeginObject();
        JsonPlace(json, entry.Kind, entry.Package);
        json.Member("index", (unsigned long long)entry.Index + 1);
        json.Member("outcome", OutcomeName(entry.Result));
        JsonStatus(json, "status", entry.Status);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();

    JsonState(json, "after", boot.After);
    json.Key("recorded").BeginArray();
    for (const Recorded &record : RecordedInBoot(boot)) {
        json.BeginObject();
        json.Key("package");
        if (record.Package)
            json.String(U8(record.Package->Name));
        else
            json.Null();
        json.Member("value", record.Package ? "LastRunResults" : "LastBootTimeOperationsResults");
        json.Key("results");
        staging::WriteRunResultsJson(&json, *record.Results);
        json.EndObject();
    }
    json.EndArray();
    json.Key("systemErrors").BeginArray();
    for (const std::string &error : report.systemErrors)
        json.String(error);
    json.EndArray();
    json.Key("violations").BeginArray();
    for (const std::string &violation : report.violations)
        json.String(violation);
    json.EndArray();
    if (changes)
        PutChangesJson(&json, *changes);
    json.EndObject();
}

void PrintChanges(const std::vector<MachineChange> &changes)
{
    if (changes.empty()) {
        std::printf("  changes on the machine: none\n");
        return;
    }
    std::printf("  changes on the machine, %zu:\n", changes.size());
    for (const MachineChange &change : changes)
        std::printf("    %s\n", ChangeLine(change).c_str());
}

} // namespace qelmbar::cli
