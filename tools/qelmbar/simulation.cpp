/*
 * simulation.cpp - one simulated boot and the account of what it did.
 */
#include "tools/qelmbar/simulation.h"

#include "tools/lib/script_check.h"

#include <map>
#include <memory>
#include <tuple>

namespace qelmbar::cli {

namespace {

using staging::Key;
using staging::Snapshot;

/* The driver's keys in the machine's SYSTEM hive file, through the
 * machine target of the staging commands. */
bool ReadMachineState(const std::string &dir, Snapshot *snapshot, staging::DriverState *state,
                      std::string *error)
{
    staging::TargetChoice choice;
    choice.MachineDir = dir;
    std::unique_ptr<staging::Target> target = staging::OpenTarget(choice, error);
    if (!target || !target->Read(snapshot, error))
        return false;
    *state = staging::InterpretSnapshot(*snapshot);
    return true;
}

/* The operations of a stored script as the driver parses them; nothing
 * when the parser refuses it, with *reason saying why. */
std::optional<std::vector<std::string>> ParsedOperations(const std::u16string &value,
                                                         std::string *reason)
{
    CheckResult check = CheckScript(value);
    if (NT_SUCCESS(check.Status))
        return check.Operations;
    *reason = "the driver's parser refuses it";
    if (!check.Fault.Message.empty())
        *reason += ": " + check.Fault.Message;
    return std::nullopt;
}

const char16_t *ScriptValueName(qm::ScriptKind kind)
{
    switch (kind) {
    case qm::ScriptKind::Setup: return u"SetupOperations";
    case qm::ScriptKind::Revert: return u"RevertOperations";
    case qm::ScriptKind::Clean: return u"CleanOperations";
    case qm::ScriptKind::OneShot: break;
    }
    return staging::kOneShotListName;
}

/* A script value of key as stored; nothing when it is missing or not
 * REG_MULTI_SZ. */
std::optional<std::u16string> StoredScript(const Key *key, qm::ScriptKind kind)
{
    const staging::Value *value = key ? key->FindValue(ScriptValueName(kind)) : nullptr;
    if (!value || value->Type != staging::kTypeMultiSz)
        return std::nullopt;
    return staging::AsUtf16(*value);
}

/* The stored script a trace event names, as it was before the boot. */
std::optional<std::u16string> ScriptBefore(const Snapshot &before, qm::ScriptKind kind,
                                           const std::u16string &package)
{
    const Key *parameters = staging::FindParameters(before);
    if (kind == qm::ScriptKind::OneShot || !parameters)
        return StoredScript(parameters, kind);
    for (const Key &key : parameters->Subkeys) {
        if (key.Name == package)
            return StoredScript(&key, kind);
    }
    return std::nullopt;
}

} // namespace

const char *OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done: return "done";
    case Outcome::Failed: return "failed";
    case Outcome::Deferred: return "deferred";
    case Outcome::Skipped: return "skipped";
    case Outcome::Interrupted: return "interrupted";
    case Outcome::NotReached: return "not reached";
    }
    return "unknown";
}

bool BootResult::Clean() const
{
    return Report.completed && Report.violations.empty() && Report.systemErrors.empty() &&
           (!Report.entryReturned || NT_SUCCESS(Report.entryStatus));
}

bool SimulateBoot(const std::string &dir, unsigned number, const qm::BootOptions &options,
                  BootResult *result, std::string *error)
{
    *result = BootResult();
    result->Number = number;
    result->Options = options;
    result->Options.traceOperations = true;
    Snapshot before, after;
    if (!ReadMachineState(dir, &before, &result->Before, error))
        return false;

    qm::Boot(dir, result->Options, &result->Report);
    if (!ReadMachineState(dir, &after, &result->After, error))
        return false;

    const qm::BootReport &report = result->Report;
    /* The scripts that ran, with every operation in place, filled in from
     * the outcomes. */
    using Place = std::tuple<qm::ScriptKind, std::u16string>;
    std::map<Place, size_t> scriptAt;
    std::map<Place, bool> parsedOk;
    bool lastRunDeferred = false;
    for (size_t i = 0; i < report.trace.size(); i++) {
        const qm::TraceEvent &event = report.trace[i];
        if (event.kind != qm::TraceEvent::Kind::ListRun)
            continue;
        lastRunDeferred = event.deferredRun;
        if (event.deferredRun) {
            result->DeferredRunStarted = true;
            continue;
        }
        ScriptResult script;
        script.Kind = event.script;
        script.Package = event.package;
        script.Stage = event.stage;
        /* The operations as the driver parsed them, from its trace. */
        for (size_t n = 0; n < event.operations.size(); n++) {
            OperationResult operation;
            operation.Index = n;
            operation.Operation = event.operations[n];
            script.Operations.push_back(operation);
        }
        scriptAt[Place(script.Kind, script.Package)] = result->Scripts.size();
        result->Scripts.push_back(std::move(script));
    }

    std::map<Place, std::vector<bool>> seen;
    for (const qm::TraceEvent &event : report.trace) {
        if (event.kind != qm::TraceEvent::Kind::Outcome)
            continue;
        auto at = scriptAt.find(Place(event.script, event.package));
        if (at == scriptAt.end())
            continue;
        ScriptResult &script = result->Scripts[at->second];
        while (script.Operations.size() <= event.index) {
            OperationResult unknown;
            unknown.Index = script.Operations.size();
            script.Operations.push_back(unknown);
        }
        OperationResult &operation = script.Operations[event.index];
        std::vector<bool> &ran = seen[at->first];
        ran.resize(script.Operations.size());
        ran[event.index] = true;
        if (event.deferred) {
            operation.WasDeferred = true;
            operation.Result = Outcome::Deferred;
            continue;
        }
        operation.Result = NT_SUCCESS(event.status) ? Outcome::Done : Outcome::Failed;
        operation.Status = event.status;
        if (event.deferredRun) {
            result->DeferredRun.push_back({ event.script, event.package, event.index,
                                            operation.Result, event.status,
                                            operation.Operation });
        }
    }

    /* What never ran: after the power went, or after a failure. */
    for (size_t s = 0; s < result->Scripts.size(); s++) {
        ScriptResult &script = result->Scripts[s];
        const std::vector<bool> &ran = seen[Place(script.Kind, script.Package)];
        const bool cutShort = (report.powerLost || report.watchdogFired) &&
                              s + 1 == result->Scripts.size() &&
                              !lastRunDeferred;
        bool interrupted = false;
        for (size_t n = 0; n < script.Operations.size(); n++) {
            if (n < ran.size() && ran[n])
                continue;
            if (!cutShort) {
                script.Operations[n].Result = Outcome::Skipped;
            } else if (!interrupted) {
                /* The first one without an outcome was under way. */
                script.Operations[n].Result = Outcome::Interrupted;
                interrupted = true;
            } else {
                script.Operations[n].Result = Outcome::NotReached;
            }
        }
    }
    if ((report.powerLost || report.watchdogFired) && lastRunDeferred) {
        /* Cut in the deferred run, which runs what waited in order: the
         * first that did not finish was under way. */
        bool interrupted = false;
        for (const qm::TraceEvent &event : report.trace) {
            if (event.kind != qm::TraceEvent::Kind::Outcome || !event.deferred)
                continue;
            auto at = scriptAt.find(Place(event.script, event.package));
            if (at == scriptAt.end())
                continue;
            OperationResult &operation = result->Scripts[at->second].Operations[event.index];
            if (operation.Result != Outcome::Deferred)
                continue;
            operation.Result = interrupted ? Outcome::NotReached : Outcome::Interrupted;
            interrupted = true;
        }
    }

    /* Staged scripts that would have run and did not. */
    const bool passRan = report.entryReturned || !report.trace.empty();
    const std::optional<std::u16string> oneShotList =
        ScriptBefore(before, qm::ScriptKind::OneShot, u"");
    if (passRan && oneShotList &&
        scriptAt.find(Place(qm::ScriptKind::OneShot, u"")) == scriptAt.end()) {
        std::string reason;
        if (!ParsedOperations(*oneShotList, &reason))
            result->NotRun.push_back({ qm::ScriptKind::OneShot, u"", reason });
        else if (report.powerLost && report.trace.empty())
            result->NotRun.push_back({ qm::ScriptKind::OneShot, u"", "the power was lost first" });
        else
            result->NotRun.push_back({ qm::ScriptKind::OneShot, u"",
                                       "the driver did not run it" });
    }
    /* The scripts of packages still to run: in the state "Package". */
    const Key *parameters = staging::FindParameters(before);
    if (!parameters)
        return true;
    for (const Key &package : parameters->Subkeys) {
        if (staging::AsString(package.FindValue(u"")) != std::u16string(staging::kPackageMarker))
            continue;
        for (qm::ScriptKind kind :
             { qm::ScriptKind::Setup, qm::ScriptKind::Revert, qm::ScriptKind::Clean }) {
            const std::optional<std::u16string> text = StoredScript(&package, kind);
            std::string reason;
            if (text && !ParsedOperations(*text, &reason))
                result->NotRun.push_back({ kind, package.Name, reason });
        }
    }
    return true;
}

} // namespace qelmbar::cli
