/*
 * boot.cpp - one boot of a machine in a child process, in the order of a
 * Windows boot.  A power loss is the child ending at the chosen call:
 * whatever it has not written to a file is gone with it.
 */
#include "machine/internal.h"

#include "driver/driver.h"
#include "exec/exec.h"
#include "machine/operation_text.h"
#include "script/script.h"
#include "simkernel/clock.h"
#include "simkernel/files.h"
#include "simkernel/hive_load.h"
#include "simkernel/io.h"
#include "simkernel/objects.h"
#include "simkernel/registry.h"
#include "simkernel/sim.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace qm {

namespace {

size_t ListLength(const LIST_ENTRY &head)
{
    if (!head.Flink)
        return 0;
    size_t count = 0;
    for (const LIST_ENTRY *entry = head.Flink; entry && entry != &head && count < 1000000;
         entry = entry->Flink)
        count++;
    return count;
}

/* One boot, in the child. */
class BootRun {
public:
    BootRun(const std::string &dir, const BootOptions &options, int fd)
        : dir_(dir), options_(options), fd_(fd)
    {
    }

    ~BootRun() { StopWatchdog(); }

    void Run()
    {
        StartWatchdog();
        sk::SetViolationHandler([this](const std::string &message) {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.violations.push_back(message);
        });
        std::string message = StartKernel(dir_);
        if (!message.empty())
            return Fail(message);
        /* The volume forgets what was not flushed when the power goes. */
        sk::TrackDurability(true);
        sk::SetHostSync(options_.hostSync);
        /* The real-time clock went on while the machine was off. */
        if (std::optional<LONGLONG> clock = ReadClock(dir_)) {
            LONGLONG start = *clock + (LONGLONG)options_.offSeconds * kUnitsPerSecond;
            if (start > sk::PeekSystemTime())
                sk::SetSystemTime(start);
        }
        sk::SetWindowsVersion(options_.windowsMajor, options_.windowsMinor, options_.windowsBuild,
                              options_.servicePack);
        sk::SetRoutineExported("ZwRenameKey", options_.renameKeyExported);
        for (const std::string &name : options_.exportedRoutines)
            sk::SetRoutineExported(name, true);
        if (options_.traceOperations) {
            sk::TraceSink sink;
            sink.listRun = [this](const ListOrigin *origin, PLIST_ENTRY list) {
                TraceList(origin, list);
            };
            sink.operationOutcome = [this](PLIST_ENTRY entry, NTSTATUS status, bool deferred) {
                TraceOutcome(entry, status, deferred);
            };
            sk::SetTraceSink(std::move(sink));
        }
        Stage(BootStage::Start);

        /* Early boot: the loader has brought SYSTEM and the boot drivers. */
        NTSTATUS status = LoadHive(Hive::System);
        if (!NT_SUCCESS(status))
            return Fail("loading SYSTEM: " + Status(status));
        Check("control sets", sk::RegSetUpControlSets(CurrentControlSet()));
        links_.throughBootDevice = options_.systemRootThroughBootDevice;
        links_.arcOpens = options_.arcPathOpens;
        Check("early-boot links", sk::SetUpEarlyBootLinks(links_));
        if (options_.softwareLoadedAtDriverLoad)
            Check("loading SOFTWARE", LoadHive(Hive::Software));
        sk::SetUptime(options_.driverLoadSeconds);

        /* Calls count from here; the observer cuts the power. */
        sk::ClearFaults();
        excluded_ = 0;
        sk::SetCallObserver([this](const char *routine, uint64_t number) {
            Observe(routine, number);
        });
        Stage(BootStage::EarlyBoot);

        PDRIVER_OBJECT driver = sk::CreateDriverObject(u"\\Driver\\Qelmbar");
        status = sk::CallDriverEntry(driver, DriverEntry, kServiceRegistryPath);
        report_.entryReturned = true;
        report_.entryStatus = status;
        CaptureDriver();
        report_.driverStateFlagsAfterEntry = DriverStateFlags;
        if (QelmbarContext)
            report_.deferredAfterEntry = ListLength(QelmbarContext->DeferredList);
        Stage(BootStage::DriverLoaded);

        /* The rest of the system's hives, and \SystemRoot on the volume. */
        if (!options_.softwareLoadedAtDriverLoad)
            Check("loading SOFTWARE", LoadHive(Hive::Software));
        Check("loading SAM", LoadHive(Hive::Sam));
        Check("loading SECURITY", LoadHive(Hive::Security));
        Check("loading DEFAULT", LoadHive(Hive::Default));
        Check("late-boot links", sk::SetUpLateBootLinks(links_));
        Stage(BootStage::HivesLoaded);

        HANDLE smss = sk::CreateProcess("smss.exe");
        sk::CreateProcess("csrss.exe", smss);
        sk::WaitForWorkItems();
        Stage(BootStage::SubsystemStarted);

        sk::AdvanceUptime(options_.uptimeSeconds);
        if (options_.lazyFlush) {
            FlushAll("lazy flush");
            sk::FlushVolumes();
        }
        Stage(BootStage::UptimeElapsed);
        if (options_.powerLoss.kind == PowerLoss::Kind::AfterUptime)
            PowerOff("", 0);

        report_.shutdownRequests = sk::DeliverShutdown();
        Stage(BootStage::ShutdownDelivered);
        FlushAll("flushing at shutdown");
        sk::FlushVolumes();
        sk::TrackDurability(false);
        Stage(BootStage::HivesFlushed);

        sk::SetCallObserver(nullptr);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.platformCalls = CallsSoFar();
        }
        CaptureDriver();
        report_.openHandles = sk::OpenHandleCount();
        WriteClock(dir_, sk::PeekSystemTime());
        Send();
    }

private:
    /* The watchdog: a thread of the child that, once the time is up,
     * sends the report as it stands and ends the child.  Whoever ends the
     * child first (the boot's own end, a power loss or the watchdog) takes
     * ending_; the others wait for the end. */
    void StartWatchdog()
    {
        if (!options_.watchdogSeconds)
            return;
        watchdog_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(watchdogMutex_);
            const auto deadline = std::chrono::steady_clock::now() +
                                  std::chrono::seconds(options_.watchdogSeconds);
            if (watchdogWake_.wait_until(lock, deadline, [this] { return watchdogStop_; }))
                return;
            lock.unlock();
            if (!ClaimEnd())
                return;
            {
                /* The boot's own thread holds mutex_ only briefly; one
                 * stuck inside it is left to the parent's backstop. */
                std::unique_lock<std::mutex> guard(mutex_, std::defer_lock);
                for (int tries = 0; tries < 200 && !guard.try_lock(); tries++)
                    usleep(10000);
                if (!guard.owns_lock())
                    return;
                report_.watchdogFired = true;
                report_.failure = "the boot did not end within " +
                                  std::to_string(options_.watchdogSeconds) +
                                  " s and was stopped by the watchdog (last stage: " +
                                  BootStageName(report_.lastStage) + ")";
                report_.platformCalls = CallsSoFar();
                CaptureDriver();
                WriteAll(fd_, EncodeReport(report_));
            }
            _exit(0);
        });
    }

    void StopWatchdog()
    {
        if (!watchdog_.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(watchdogMutex_);
            watchdogStop_ = true;
        }
        watchdogWake_.notify_all();
        watchdog_.join();
    }

    /* true for the first to end the child; the others never return. */
    bool ClaimEnd()
    {
        bool expected = false;
        return ending_.compare_exchange_strong(expected, true);
    }

    /* Calls counted from the driver load, less those of inspections. */
    uint64_t CallsSoFar() { return sk::CallCount() - excluded_; }

    void Observe(const char *routine, uint64_t number)
    {
        if (inspecting_)
            return;
        const uint64_t call = number - excluded_;
        if (options_.recordCalls) {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.callTrace.push_back(routine);
        }
        if (options_.powerLoss.kind == PowerLoss::Kind::AtCall && call == options_.powerLoss.call)
            PowerOff(routine, call);
    }

    void Stage(BootStage stage)
    {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.lastStage = stage;
            report_.stageCalls.emplace_back(stage, CallsSoFar());
        }
        clock_ = sk::PeekSystemTime();
        if (!options_.inspect)
            return;
        const uint64_t before = sk::CallCount();
        inspecting_ = true;
        std::string text = options_.inspect(stage);
        inspecting_ = false;
        excluded_ += sk::CallCount() - before;
        if (!text.empty()) {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.inspections.emplace_back(stage, text);
        }
    }

    /* Where an operation of a list being run comes from. */
    struct Origin {
        ScriptKind script;
        std::u16string package;
        size_t index;
    };

    /* A list starts to run: which script it is, as the executor names
     * it, and every record's place and text, taken now, before records
     * leave it for the deferred run. */
    void TraceList(const ListOrigin *origin, PLIST_ENTRY list)
    {
        TraceEvent event;
        event.kind = TraceEvent::Kind::ListRun;
        switch (origin ? origin->Source : ListOneShot) {
        case ListOneShot: event.script = ScriptKind::OneShot; break;
        case ListSetup: event.script = ScriptKind::Setup; break;
        case ListRevert: event.script = ScriptKind::Revert; break;
        case ListClean: event.script = ScriptKind::Clean; break;
        case ListDeferredRun: event.deferredRun = true; break;
        }
        if (origin && origin->Package && origin->Package->Buffer)
            event.package = std::u16string(origin->Package->Buffer,
                                           origin->Package->Length / sizeof(WCHAR));
        std::lock_guard<std::mutex> guard(mutex_);
        event.stage = report_.lastStage;
        if (!event.deferredRun) {
            size_t index = 0;
            for (PLIST_ENTRY entry = list->Flink; entry != list; entry = entry->Flink) {
                origins_[entry] = Origin{ event.script, event.package, index++ };
                event.operations.push_back(
                    OperationText(*CONTAINING_RECORD(entry, OperationRecord, Links)));
            }
        }
        deferredRunning_ = event.deferredRun;
        report_.trace.push_back(std::move(event));
    }

    void TraceOutcome(PLIST_ENTRY entry, NTSTATUS status, bool deferred)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        TraceEvent event;
        event.kind = TraceEvent::Kind::Outcome;
        auto origin = origins_.find(entry);
        if (origin != origins_.end()) {
            event.script = origin->second.script;
            event.package = origin->second.package;
            event.index = origin->second.index;
        }
        event.deferredRun = deferredRunning_;
        event.status = status;
        event.deferred = deferred;
        event.stage = report_.lastStage;
        report_.trace.push_back(std::move(event));
        /* A record that ran is freed with its list, and its address may
         * come back for another; one left for the deferred run lives on. */
        if (!deferred && origin != origins_.end())
            origins_.erase(origin);
    }

    void Check(const std::string &step, NTSTATUS status)
    {
        if (NT_SUCCESS(status))
            return;
        std::lock_guard<std::mutex> guard(mutex_);
        report_.systemErrors.push_back(step + ": " + Status(status));
    }

    void FlushAll(const std::string &step)
    {
        for (const auto &hive : sk::LoadedHives())
            Check(step + " " + sk::Utf8FromUtf16(hive.first), FlushKeyAt(hive.first));
    }

    void CaptureDriver()
    {
        DriverContext *context = QelmbarContext;
        report_.driverStateFlags = DriverStateFlags;
        report_.contextAvailable = context != nullptr;
        if (!context)
            return;
        report_.bootCounter = context->BootCounter;
        report_.tickCounter = context->TickCounter;
        report_.improperShutdownDetected = context->ImproperShutdownDetected != 0;
        report_.deferredRunStarted = context->DeferredRunStarted != 0;
    }

    /* The machine goes dark: the report so far goes out, and the process
     * ends without unwinding anything. */
    [[noreturn]] void PowerOff(const char *routine, uint64_t call)
    {
        if (!ClaimEnd()) {
            for (;;)
                pause();
        }
        /* What the disk had not made sure of goes with the power. */
        sk::CutPower(options_.powerLoss.surviving);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.powerLost = true;
            report_.powerLossCall = call;
            report_.powerLossRoutine = routine;
            report_.powerLossStage = report_.lastStage;
            report_.platformCalls = call ? call - 1 : CallsSoFar();
            CaptureDriver();
            WriteClock(dir_, clock_);
            WriteAll(fd_, EncodeReport(report_));
        }
        _exit(0);
    }

    void Fail(const std::string &message)
    {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            report_.failure = message;
        }
        Send();
    }

    void Send()
    {
        StopWatchdog();
        if (!ClaimEnd()) {
            for (;;)
                pause();
        }
        std::lock_guard<std::mutex> guard(mutex_);
        WriteAll(fd_, EncodeReport(report_));
    }

    const std::string dir_;
    const BootOptions &options_;
    const int fd_;
    sk::BootLinks links_;
    std::mutex mutex_;
    BootReport report_;
    std::map<PLIST_ENTRY, Origin> origins_;
    bool deferredRunning_ = false;
    std::atomic<bool> inspecting_{ false };
    std::atomic<bool> ending_{ false };
    std::thread watchdog_;
    std::mutex watchdogMutex_;
    std::condition_variable watchdogWake_;
    bool watchdogStop_ = false;
    std::atomic<uint64_t> excluded_{ 0 };
    LONGLONG clock_ = 0;
};

} // namespace

bool Boot(const std::string &dir, const BootOptions &options, BootReport *report)
{
    *report = BootReport();
    std::error_code ec;
    if (!fs::is_directory(VolumeRoot(dir), ec)) {
        report->failure = dir + ": no machine directory";
        return false;
    }
    std::string output;
    std::string failure;
    bool ran = RunChild(
        [&](int fd) {
            BootRun run(dir, options, fd);
            run.Run();
        },
        /* The child's own watchdog reports; this one only ends a child
         * stuck past it. */
        options.watchdogSeconds ? options.watchdogSeconds + 10 : 0, &output, &failure);
    if (!ran) {
        report->failure = failure;
        return false;
    }
    if (output.empty() || !DecodeReport(output, report)) {
        *report = BootReport();
        report->failure = "the boot sent no readable report";
        return false;
    }
    report->completed = report->failure.empty() && !report->watchdogFired;
    return report->completed;
}

} // namespace qm
