/*
 * simulation.cpp - one simulated boot and the account of what it did.
 */
#include "tools/qelmbar/simulation.h"

#include "tools/qelmbar/script_check.h"

#include <map>
#include <tuple>

namespace qelmbar::cli {

namespace {

using qm::Hive;

std::optional<std::u16string> MultiStringValue(const std::optional<qm::MachineValue> &value)
{
    if (!value || value->type != REG_MULTI_SZ)
        return std::nullopt;
    std::u16string text(value->data.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); i++)
        text[i] = (char16_t)(value->data[2 * i] | (value->data[2 * i + 1] << 8));
    return text;
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

const std::optional<std::u16string> *PackageScript(const PackageState &package, qm::ScriptKind kind)
{
    switch (kind) {
    case qm::ScriptKind::Setup: return &package.Setup;
    case qm::ScriptKind::Revert: return &package.Revert;
    case qm::ScriptKind::Clean: return &package.Clean;
    case qm::ScriptKind::OneShot: break;
    }
    return nullptr;
}

/* The stored script a trace event names, as it was before the boot. */
std::optional<std::u16string> ScriptBefore(const DriverState &before, qm::ScriptKind kind,
                                           const std::u16string &package)
{
    if (kind == qm::ScriptKind::OneShot)
        return before.OneShotList;
    for (const PackageState &p : before.Packages) {
        if (p.Name == package)
            return *PackageScript(p, kind);
    }
    return std::nullopt;
}

bool IsFinal(const std::optional<std::u16string> &state)
{
    return state && *state != u"Package";
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

bool ReadDriverState(const std::string &dir, DriverState *state, std::string *error)
{
    *state = DriverState();
    const std::u16string parameters = qm::kParametersKey;
    std::string missing;
    std::optional<std::vector<std::u16string>> names =
        qm::ReadMachineValueNames(dir, Hive::System, parameters, &missing);
    if (!names) {
        /* A key that is missing is a state; a file that cannot be read is
         * not. */
        if (!qm::ReadMachineKeys(dir, Hive::System, u"", error))
            return false;
        return true;
    }
    state->ParametersPresent = true;
    auto value = [&](const std::u16string &key, const std::u16string &name) {
        return qm::ReadMachineValue(dir, Hive::System, key, name);
    };
    state->BootCounter = qm::AsDword(value(parameters, u"BootCounter"));
    state->TickCounter = qm::AsDword(value(parameters, u"TickCounter"));
    state->ImproperShutdownMarker = value(parameters, u"ImproperShutdown").has_value();
    state->SystemRoot = qm::AsString(value(parameters, u"SystemRoot"));
    state->OneShotList = MultiStringValue(value(parameters, u"BootTimeOperationsList"));

    std::optional<std::vector<std::u16string>> keys =
        qm::ReadMachineKeys(dir, Hive::System, parameters, error);
    if (!keys)
        return false;
    for (const std::u16string &name : *keys) {
        const std::u16string key = parameters + u"\\" + name;
        PackageState package;
        package.Name = name;
        package.State = qm::AsString(value(key, u""));
        if (!package.State)
            continue;
        package.StartBootCounter = qm::AsDword(value(key, u"StartBootCounter"));
        package.StartTickCounter = qm::AsDword(value(key, u"StartTickCounter"));
        package.BootTimeout = qm::AsDword(value(key, u"BootTimeout"));
        package.TickTimeout = qm::AsDword(value(key, u"TickTimeout"));
        package.LastPackageError = qm::AsDword(value(key, u"LastPackageError"));
        package.Setup = MultiStringValue(value(key, u"SetupOperations"));
        package.Revert = MultiStringValue(value(key, u"RevertOperations"));
        package.Clean = MultiStringValue(value(key, u"CleanOperations"));
        state->Packages.push_back(std::move(package));
    }
    return true;
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
    if (!ReadDriverState(dir, &result->Before, error))
        return false;

    qm::Boot(dir, result->Options, &result->Report);
    if (!ReadDriverState(dir, &result->After, error))
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
        std::string reason;
        std::optional<std::u16string> text = ScriptBefore(result->Before, event.script, event.package);
        std::optional<std::vector<std::string>> operations;
        if (text)
            operations = ParsedOperations(*text, &reason);
        if (operations) {
            for (size_t n = 0; n < operations->size(); n++) {
                OperationResult operation;
                operation.Index = n;
                operation.Operation = (*operations)[n];
                script.Operations.push_back(operation);
            }
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
        const bool cutShort = report.powerLost && s + 1 == result->Scripts.size() &&
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
    if (report.powerLost && lastRunDeferred) {
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
    if (passRan && result->Before.OneShotList &&
        scriptAt.find(Place(qm::ScriptKind::OneShot, u"")) == scriptAt.end()) {
        std::string reason;
        if (!ParsedOperations(*result->Before.OneShotList, &reason))
            result->NotRun.push_back({ qm::ScriptKind::OneShot, u"", reason });
        else if (report.powerLost && report.trace.empty())
            result->NotRun.push_back({ qm::ScriptKind::OneShot, u"", "the power was lost first" });
        else
            result->NotRun.push_back({ qm::ScriptKind::OneShot, u"",
                                       "the driver did not run it" });
    }
    for (const PackageState &package : result->Before.Packages) {
        if (IsFinal(package.State))
            continue;
        for (qm::ScriptKind kind :
             { qm::ScriptKind::Setup, qm::ScriptKind::Revert, qm::ScriptKind::Clean }) {
            const std::optional<std::u16string> &text = *PackageScript(package, kind);
            std::string reason;
            if (text && !ParsedOperations(*text, &reason))
                result->NotRun.push_back({ kind, package.Name, reason });
        }
    }
    return true;
}

} // namespace qelmbar::cli
