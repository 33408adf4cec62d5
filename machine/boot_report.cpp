/*
 * boot_report.cpp - the report of a boot: sent by the child field by
 * field through its pipe and read back by the parent, and told in words.
 */
#include "machine/internal.h"

#include <cstdio>
#include <cstring>

namespace qm {

namespace {

class Encoder {
public:
    void U64(uint64_t v) { out_.append((const char *)&v, sizeof(v)); }
    void Bool(bool v) { U64(v ? 1 : 0); }
    void Str(const std::string &s)
    {
        U64(s.size());
        out_ += s;
    }
    void Strs(const std::vector<std::string> &list)
    {
        U64(list.size());
        for (const std::string &s : list)
            Str(s);
    }
    const std::string &Bytes() const { return out_; }

private:
    std::string out_;
};

class Decoder {
public:
    explicit Decoder(const std::string &in) : in_(in) {}
    uint64_t U64()
    {
        uint64_t v = 0;
        if (at_ + sizeof(v) > in_.size()) {
            ok_ = false;
            return 0;
        }
        memcpy(&v, in_.data() + at_, sizeof(v));
        at_ += sizeof(v);
        return v;
    }
    bool Bool() { return U64() != 0; }
    std::string Str()
    {
        uint64_t n = U64();
        if (!ok_ || n > in_.size() - at_) {
            ok_ = false;
            return std::string();
        }
        std::string s = in_.substr(at_, n);
        at_ += n;
        return s;
    }
    std::vector<std::string> Strs()
    {
        std::vector<std::string> list;
        uint64_t n = U64();
        for (uint64_t i = 0; ok_ && i < n; i++)
            list.push_back(Str());
        return list;
    }
    bool Good() const { return ok_; }
    bool Ok() const { return ok_ && at_ == in_.size(); }

private:
    const std::string &in_;
    size_t at_ = 0;
    bool ok_ = true;
};

} // namespace

std::string EncodeReport(const BootReport &r)
{
    Encoder encoder;
    Encoder *e = &encoder;
    e->Str(r.failure);
    e->Bool(r.watchdogFired);
    e->U64((uint64_t)r.lastStage);
    e->U64(r.stageCalls.size());
    for (const auto &entry : r.stageCalls) {
        e->U64((uint64_t)entry.first);
        e->U64(entry.second);
    }
    e->Bool(r.entryReturned);
    e->U64((uint32_t)r.entryStatus);
    e->Bool(r.powerLost);
    e->U64(r.powerLossCall);
    e->Str(r.powerLossRoutine);
    e->U64((uint64_t)r.powerLossStage);
    e->U64(r.platformCalls);
    e->Strs(r.callTrace);
    e->U64(r.trace.size());
    for (const TraceEvent &t : r.trace) {
        e->U64((uint64_t)t.kind);
        e->U64((uint64_t)t.script);
        e->Str(std::string((const char *)t.package.data(), t.package.size() * sizeof(char16_t)));
        e->U64(t.index);
        e->Strs(t.operations);
        e->Bool(t.deferredRun);
        e->U64((uint32_t)t.status);
        e->Bool(t.deferred);
        e->U64((uint64_t)t.stage);
    }
    e->Bool(r.contextAvailable);
    e->U64(r.bootCounter);
    e->U64(r.tickCounter);
    e->Bool(r.improperShutdownDetected);
    e->U64(r.driverStateFlags);
    e->U64(r.driverStateFlagsAfterEntry);
    e->U64(r.deferredAfterEntry);
    e->Bool(r.deferredRunStarted);
    e->U64(r.shutdownRequests);
    e->U64(r.openHandles);
    e->Strs(r.systemErrors);
    e->Strs(r.violations);
    e->U64(r.inspections.size());
    for (const auto &entry : r.inspections) {
        e->U64((uint64_t)entry.first);
        e->Str(entry.second);
    }
    return encoder.Bytes();
}

bool DecodeReport(const std::string &bytes, BootReport *r)
{
    Decoder d(bytes);
    r->failure = d.Str();
    r->watchdogFired = d.Bool();
    r->lastStage = (BootStage)d.U64();
    r->stageCalls.clear();
    for (uint64_t i = 0, n = d.U64(); i < n && d.Good(); i++) {
        BootStage stage = (BootStage)d.U64();
        r->stageCalls.emplace_back(stage, d.U64());
    }
    r->entryReturned = d.Bool();
    r->entryStatus = (NTSTATUS)(uint32_t)d.U64();
    r->powerLost = d.Bool();
    r->powerLossCall = d.U64();
    r->powerLossRoutine = d.Str();
    r->powerLossStage = (BootStage)d.U64();
    r->platformCalls = d.U64();
    r->callTrace = d.Strs();
    r->trace.clear();
    for (uint64_t i = 0, n = d.U64(); i < n && d.Good(); i++) {
        TraceEvent t;
        t.kind = (TraceEvent::Kind)d.U64();
        t.script = (ScriptKind)d.U64();
        const std::string package = d.Str();
        t.package.resize(package.size() / sizeof(char16_t));
        memcpy(t.package.data(), package.data(), t.package.size() * sizeof(char16_t));
        t.index = (size_t)d.U64();
        t.operations = d.Strs();
        t.deferredRun = d.Bool();
        t.status = (NTSTATUS)(uint32_t)d.U64();
        t.deferred = d.Bool();
        t.stage = (BootStage)d.U64();
        r->trace.push_back(std::move(t));
    }
    r->contextAvailable = d.Bool();
    r->bootCounter = (ULONG)d.U64();
    r->tickCounter = (ULONG)d.U64();
    r->improperShutdownDetected = d.Bool();
    r->driverStateFlags = (ULONG)d.U64();
    r->driverStateFlagsAfterEntry = (ULONG)d.U64();
    r->deferredAfterEntry = (size_t)d.U64();
    r->deferredRunStarted = d.Bool();
    r->shutdownRequests = (size_t)d.U64();
    r->openHandles = (size_t)d.U64();
    r->systemErrors = d.Strs();
    r->violations = d.Strs();
    r->inspections.clear();
    for (uint64_t i = 0, n = d.U64(); i < n && d.Good(); i++) {
        BootStage stage = (BootStage)d.U64();
        r->inspections.emplace_back(stage, d.Str());
    }
    return d.Ok();
}

const char *ScriptKindName(ScriptKind kind)
{
    switch (kind) {
    case ScriptKind::OneShot: return "one-shot list";
    case ScriptKind::Setup: return "setup";
    case ScriptKind::Revert: return "revert";
    case ScriptKind::Clean: return "clean";
    }
    return "script";
}

const char *BootStageName(BootStage stage)
{
    switch (stage) {
    case BootStage::Start: return "start";
    case BootStage::EarlyBoot: return "early boot";
    case BootStage::DriverLoaded: return "driver loaded";
    case BootStage::HivesLoaded: return "hives loaded";
    case BootStage::SubsystemStarted: return "subsystem started";
    case BootStage::UptimeElapsed: return "uptime elapsed";
    case BootStage::ShutdownDelivered: return "shutdown delivered";
    case BootStage::HivesFlushed: return "hives flushed";
    }
    return "?";
}

std::optional<uint64_t> BootReport::CallsAt(BootStage stage) const
{
    for (const auto &entry : stageCalls) {
        if (entry.first == stage)
            return entry.second;
    }
    return std::nullopt;
}

std::string BootReport::Summary() const
{
    std::string text;
    char line[256];
    if (!completed)
        text += "boot failed: " + failure + "\n";
    snprintf(line, sizeof(line), "last stage: %s; %llu platform call(s)\n",
             BootStageName(lastStage), (unsigned long long)platformCalls);
    text += line;
    if (entryReturned)
        text += "driver entry: " + Status(entryStatus) + "\n";
    if (powerLost) {
        if (powerLossCall)
            snprintf(line, sizeof(line), "power lost at call %llu (%s), after stage %s\n",
                     (unsigned long long)powerLossCall, powerLossRoutine.c_str(),
                     BootStageName(powerLossStage));
        else
            snprintf(line, sizeof(line), "power lost after the uptime\n");
        text += line;
    }
    if (contextAvailable) {
        snprintf(line, sizeof(line),
                 "BootCounter %u, TickCounter %u, improper shutdown %s, deferred %zu, "
                 "deferred run %s, state flags 0x%x\n",
                 (unsigned)bootCounter, (unsigned)tickCounter,
                 improperShutdownDetected ? "detected" : "not detected", deferredAfterEntry,
                 deferredRunStarted ? "started" : "not started", (unsigned)driverStateFlags);
        text += line;
    }
    for (const std::string &error : systemErrors)
        text += "system: " + error + "\n";
    for (const std::string &violation : violations)
        text += "violation: " + violation + "\n";
    for (const auto &inspection : inspections)
        text += std::string("at ") + BootStageName(inspection.first) + ": " + inspection.second +
                "\n";
    return text;
}

} // namespace qm
