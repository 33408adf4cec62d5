/*
 * simulate_command.cpp - qelmbar simulate: boots a machine directory with
 * the driver, once or several times, and tells what the driver did in each
 * boot, script by script and operation by operation.
 */
#include "simkernel/sim.h"
#include "tools/lib/json.h"
#include "tools/lib/machine_state.h"
#include "simkernel/status_names.h"
#include "tools/qelmbar/command.h"
#include "tools/lib/script_source.h"
#include "tools/qelmbar/simulate_report.h"
#include "tools/qelmbar/simulation.h"
#include "simkernel/text.h"
#include "tools/qelmbar/sweep_simulate.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace qelmbar::cli {

namespace {

namespace fs = std::filesystem;

const char kName[] = "simulate";

const char kHelp[] =
    "Usage: qelmbar simulate [OPTION]... MACHINE\n"
    "\n"
    "Boots the machine directory MACHINE (see 'qelmbar machine create') with the\n"
    "driver loaded as Windows loads a boot-start driver, and reports for each boot\n"
    "every script the driver ran and what each operation in it did: done, failed\n"
    "with its status, deferred (a registry write that waits for its hive and runs\n"
    "once the Win32 subsystem has started), skipped (an earlier failure ended its\n"
    "script), interrupted (under way when the power was lost) or not reached (the\n"
    "power was lost first).  The driver's counters and\n"
    "every package's state are shown before and after each boot.\n"
    "\n"
    "A boot changes the machine as a boot changes a computer: the next simulate\n"
    "goes on from there.  With --scratch the boots run on a copy, and MACHINE is\n"
    "left as it was.\n"
    "\n"
    "A boot: SYSTEM is loaded and \\SystemRoot names the boot volume by its ARC path;\n"
    "the driver's entry runs; the other hives are loaded; smss.exe and csrss.exe\n"
    "start; the system runs for the uptime; then it shuts down in order, unless the\n"
    "power is lost first.\n"
    "\n"
    "Options:\n"
    "  -n, --boots N            boot N times (1 to 1000; default 1)\n"
    "  -u, --uptime SECONDS     how long each boot runs once csrss.exe has started\n"
    "                           (default 600)\n"
    "      --power-loss [BOOT:]WHEN\n"
    "                           lose the power in boot BOOT (default 1) instead of\n"
    "                           shutting down.  WHEN is 'uptime' (once the system has\n"
    "                           run) or 'call=N' (at the Nth call the driver makes into\n"
    "                           the kernel, counted from its load; that call never\n"
    "                           happens).  May be given once for each boot.\n"
    "      --journal KEPT       what the volume's metadata journal keeps at a power\n"
    "                           loss of the changes since its last flush: 'all'\n"
    "                           (default), 'none', or a count.  File data written\n"
    "                           since a file's last flush reads as zeros either way.\n"
    "      --sweep BOOT         cut the power at every platform call of boot BOOT in\n"
    "                           turn, on scratch copies (MACHINE is left as it was),\n"
    "                           boot on to the last of --boots (default 2), and\n"
    "                           report each cut whose end differs from every\n"
    "                           reference (no cut, a cut before the driver's first\n"
    "                           call, a cut at the end of that boot), with the files\n"
    "                           and values that differ and any file partially\n"
    "                           written.  Without --journal both 'none' and 'all'.\n"
    "      --off SECONDS        how long the machine is off between boots (default 60)\n"
    "      --software-loaded    SOFTWARE is loaded already when the driver loads\n"
    "      --boot-device        early in boot, \\SystemRoot goes through \\Device\\BootDevice\n"
    "      --no-arc-path        the ARC path of the boot volume does not open\n"
    "      --no-rename-key      the kernel does not export ZwRenameKey\n"
    "      --windows VERSION    the version the kernel reports, MAJOR.MINOR.BUILD\n"
    "                           (default 10.0.19045)\n"
    "      --lazy-flush         flush every changed hive once the system has run, as\n"
    "                           the lazy writer would (otherwise only the driver's own\n"
    "                           flushes and the shutdown's reach the disk)\n"
    "      --scratch            boot a copy of MACHINE and leave MACHINE as it was (the\n"
    "                           copy is thrown away, so the host need not sync it)\n"
    "      --no-sync            do not fsync MACHINE's files on the host when the\n"
    "                           simulated system flushes them: faster, but a crash of\n"
    "                           the host may leave MACHINE damaged\n"
    "      --watchdog SECONDS   stop a boot that has not ended after SECONDS of real\n"
    "                           time (default 120; 0: never) and report what it\n"
    "                           did up to then\n"
    "      --json               the report as JSON, on standard output\n"
    "      --fail-on-error      exit 1 as well when an operation failed or was\n"
    "                           skipped\n"
    "      --diff               after each boot, list what it changed on the\n"
    "                           machine: files of volume C: (size and SHA-256),\n"
    "                           keys and values, as 'qelmbar machine diff' does\n"
    "  -h, --help               show this help and exit\n"
    "\n"
    "The simulation runs the driver's own code against a model of the NT services\n"
    "it relies on: it tells what the driver does with the files and hives of\n"
    "MACHINE, not how the rest of Windows would behave.\n"
    "\n"
    "Exit status: 0 if every boot ran as planned; 1 if the driver's entry failed,\n"
    "the driver broke a kernel rule or a step of the system itself failed (with\n"
    "--fail-on-error: or an operation failed or was skipped; with --sweep: if any\n"
    "cut ends outside the references); 2 on a usage error, when MACHINE cannot be\n"
    "booted, or when a --power-loss call lies past the calls its boot made.\n";

/* ---- options ------------------------------------------------------------ */

struct Plan {
    unsigned Boots = 1;
    qm::BootOptions Options;
    std::map<unsigned, qm::PowerLoss> PowerLosses;
    bool Scratch = false;
    bool Json = false;
};

bool ParsePowerLoss(const std::string &text, unsigned boots, Plan *plan, int *status)
{
    std::string when = text;
    unsigned long long boot = 1;
    size_t colon = text.find(':');
    if (colon != std::string::npos) {
        if (!ParseNumber(kName, "--power-loss", text.substr(0, colon), 1, boots, &boot, status))
            return false;
        when = text.substr(colon + 1);
    }
    qm::PowerLoss loss;
    if (when == "uptime") {
        loss = qm::PowerLoss::AfterUptime();
    } else if (when.compare(0, 5, "call=") == 0) {
        unsigned long long call = 0;
        if (!ParseNumber(kName, "--power-loss call", when.substr(5), 1, 1000000000ull, &call,
                         status))
            return false;
        loss = qm::PowerLoss::AtCall(call);
    } else {
        *status = UsageError(kName, "--power-loss needs 'uptime' or 'call=N', not '" + when + "'");
        return false;
    }
    if (plan->PowerLosses.count((unsigned)boot)) {
        *status = UsageError(kName, "--power-loss given twice for boot " + std::to_string(boot));
        return false;
    }
    plan->PowerLosses[(unsigned)boot] = loss;
    return true;
}

bool ParseVersion(const std::string &text, qm::BootOptions *options, int *status)
{
    unsigned long long parts[3] = { 0, 0, 0 };
    size_t start = 0;
    for (int i = 0; i < 3; i++) {
        size_t dot = i < 2 ? text.find('.', start) : text.size();
        if (dot == std::string::npos ||
            !ParseNumber(kName, "--windows", text.substr(start, dot - start), 0, 0xFFFFFFFFull,
                         &parts[i], status))
            return dot == std::string::npos
                       ? (*status = UsageError(kName, "--windows needs MAJOR.MINOR.BUILD, not '" +
                                                          text + "'"),
                          false)
                       : false;
        start = dot + 1;
    }
    options->windowsMajor = (ULONG)parts[0];
    options->windowsMinor = (ULONG)parts[1];
    options->windowsBuild = (ULONG)parts[2];
    return true;
}


/* ---- the command ---------------------------------------------------------- */

/* An operation of the boot failed, or was skipped after a failure. */
bool OperationWentWrong(const BootResult &boot)
{
    for (const ScriptResult &script : boot.Scripts) {
        for (const OperationResult &operation : script.Operations) {
            if (operation.Result == Outcome::Failed || operation.Result == Outcome::Skipped)
                return true;
        }
    }
    return false;
}

/* A copy of the machine in a fresh temporary directory, removed at the end. */
class Scratch {
public:
    ~Scratch()
    {
        if (!root_.empty()) {
            std::error_code ec;
            fs::remove_all(root_, ec);
        }
    }
    bool Make(const std::string &machine, std::string *copy, std::string *error)
    {
        return qm::MakeScratchCopy(machine, "qelmbar-simulate", &root_, copy, error);
    }

private:
    std::string root_;
};

int RunSimulate(const std::vector<std::string> &args)
{
    bool help = false, softwareLoaded = false, bootDevice = false, noArcPath = false;
    bool noRenameKey = false, lazyFlush = false, scratch = false, json = false;
    bool failOnError = false, diff = false, noSync = false;
    std::string boots, uptime, off, windows, journal, sweep, watchdog;
    std::vector<std::string> powerLosses, operands;
    int status = kExitOk;
    if (!ParseFlags(kName, args,
                    { { "boots", 'n', nullptr, &boots },
                      { "uptime", 'u', nullptr, &uptime },
                      { "power-loss", 0, nullptr, nullptr, &powerLosses },
                      { "off", 0, nullptr, &off },
                      { "software-loaded", 0, &softwareLoaded },
                      { "boot-device", 0, &bootDevice },
                      { "no-arc-path", 0, &noArcPath },
                      { "no-rename-key", 0, &noRenameKey },
                      { "windows", 0, nullptr, &windows },
                      { "lazy-flush", 0, &lazyFlush },
                      { "journal", 0, nullptr, &journal },
                      { "sweep", 0, nullptr, &sweep },
                      { "scratch", 0, &scratch },
                      { "no-sync", 0, &noSync },
                      { "watchdog", 0, nullptr, &watchdog },
                      { "json", 0, &json },
                      { "fail-on-error", 0, &failOnError },
                      { "diff", 0, &diff },
                      { "help", 'h', &help } },
                    &operands, &status))
        return status;
    if (help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (operands.size() != 1)
        return UsageError(kName, operands.empty() ? "no machine directory given"
                                                  : "one machine directory at a time");

    Plan plan;
    unsigned long long number = 0;
    if (!boots.empty()) {
        if (!ParseNumber(kName, "--boots", boots, 1, 1000, &number, &status))
            return status;
        plan.Boots = (unsigned)number;
    }
    if (!uptime.empty()) {
        if (!ParseNumber(kName, "--uptime", uptime, 0, 100ull * 365 * 86400, &number, &status))
            return status;
        plan.Options.uptimeSeconds = number;
    }
    if (!off.empty()) {
        if (!ParseNumber(kName, "--off", off, 0, 100ull * 365 * 86400, &number, &status))
            return status;
        plan.Options.offSeconds = number;
    }
    if (!watchdog.empty()) {
        if (!ParseNumber(kName, "--watchdog", watchdog, 0, 7ull * 86400, &number, &status))
            return status;
        plan.Options.watchdogSeconds = (unsigned)number;
    }
    if (!windows.empty() && !ParseVersion(windows, &plan.Options, &status))
        return status;
    for (const std::string &loss : powerLosses) {
        if (!ParsePowerLoss(loss, plan.Boots, &plan, &status))
            return status;
    }
    plan.Options.softwareLoadedAtDriverLoad = softwareLoaded;
    plan.Options.systemRootThroughBootDevice = bootDevice;
    plan.Options.arcPathOpens = !noArcPath;
    plan.Options.renameKeyExported = !noRenameKey;
    plan.Options.lazyFlush = lazyFlush;
    plan.Options.hostSync = !noSync && !scratch;
    SweepRequest request;
    if (!journal.empty()) {
        sk::SurvivingJournal surviving;
        if (!ParseJournal(journal, &surviving))
            return UsageError(kName, "--journal needs 'none', 'all' or a count, not '" + journal + "'");
        for (auto &loss : plan.PowerLosses)
            loss.second.surviving = surviving;
        request.journals.push_back(surviving);
    } else {
        request.journals = { sk::SurvivingJournal::None(), sk::SurvivingJournal::All() };
    }
    if (!sweep.empty()) {
        if (boots.empty())
            plan.Boots = 2;
        if (!ParseNumber(kName, "--sweep", sweep, 1, plan.Boots, &number, &status))
            return status;
        if (!powerLosses.empty() || scratch)
            return UsageError(kName, "--sweep runs on scratch copies and cuts the power itself");
        if (diff)
            return UsageError(kName, "--diff shows single boots, not the ends of a --sweep");
    }

    std::string machine = operands[0];
    std::error_code ec;
    if (!fs::is_directory(qm::VolumeRoot(machine), ec) ||
        !fs::is_regular_file(qm::HiveFilePath(machine, qm::Hive::System), ec)) {
        PrintError(machine + ": not a machine directory (make one with 'qelmbar machine create')");
        return kExitTrouble;
    }
    if (!sweep.empty()) {
        request.machine = machine;
        request.boots = plan.Boots;
        request.cutBoot = (size_t)number;
        request.options = plan.Options;
        request.json = json;
        return RunSweep(request);
    }
    Scratch copy;
    std::string error;
    if (scratch) {
        std::string target;
        if (!copy.Make(machine, &target, &error)) {
            PrintError("cannot copy " + machine + ": " + error);
            return kExitTrouble;
        }
        machine = target;
    }

    const bool progress = !json && plan.Boots > 1 && isatty(STDERR_FILENO);
    /* Each boot is printed and flushed as soon as it is over; under --json
     * the one object is written in parts, and a failure ends it with its
     * error. */
    JsonWriter writer;
    size_t shown = 0;
    auto show = [&](const char *tail) {
        WriteJsonOutput(writer.Text().substr(shown) + tail);
        shown = writer.Text().size();
    };
    auto clearProgress = [&]() {
        if (progress)
            std::fprintf(stderr, "\r%*s\r", 40, "");
    };
    auto fail = [&](const std::string &message, int exitStatus) {
        clearProgress();
        PrintError(message);
        if (json) {
            writer.EndArray();
            PutJsonError(&writer);
            writer.EndObject();
            show("\n");
        }
        return exitStatus;
    };
    if (json) {
        writer.BeginObject();
        writer.Member("machine", operands[0]);
        writer.Member("scratch", scratch);
        writer.Key("boots").BeginArray();
        show("");
    }
    MachineState state;
    if (diff && !ReadMachineState(machine, &state, &error))
        return fail(operands[0] + ": " + error, kExitTrouble);
    std::vector<BootResult> results;
    for (unsigned boot = 1; boot <= plan.Boots; boot++) {
        if (progress) {
            std::fprintf(stderr, "\r%s: booting %u of %u...", kProgram, boot, plan.Boots);
            std::fflush(stderr);
        }
        qm::BootOptions options = plan.Options;
        auto loss = plan.PowerLosses.find(boot);
        if (loss != plan.PowerLosses.end())
            options.powerLoss = loss->second;
        BootResult result;
        if (!SimulateBoot(machine, boot, options, &result, &error))
            return fail(operands[0] + ": boot " + std::to_string(boot) + ": " + error, kExitTrouble);
        results.push_back(std::move(result));
        const BootResult &done = results.back();
        if (options.powerLoss.kind == qm::PowerLoss::Kind::AtCall && done.Report.completed &&
            !done.Report.powerLost)
            return fail(operands[0] + ": --power-loss " + std::to_string(boot) + ":call=" +
                            std::to_string(options.powerLoss.call) + " lies past the " +
                            std::to_string(done.Report.platformCalls) + " platform calls boot " +
                            std::to_string(boot) + " made",
                        kExitTrouble);
        std::vector<MachineChange> changes;
        if (diff) {
            MachineState now;
            if (!ReadMachineState(machine, &now, &error))
                return fail(operands[0] + ": after boot " + std::to_string(boot) + ": " + error,
                            kExitTrouble);
            changes = DiffMachineStates(state, now);
            state = std::move(now);
        }
        clearProgress();
        if (json) {
            JsonBoot(writer, done, diff ? &changes : nullptr);
            show("");
        } else {
            if (results.size() > 1)
                std::printf("\n");
            PrintBoot(done, plan.Boots);
            if (diff)
                PrintChanges(changes);
            std::fflush(stdout);
        }
        if (!done.Report.completed)
            return fail(operands[0] + ": boot " + std::to_string(done.Number) +
                            " did not complete: " + done.Report.failure,
                        kExitTrouble);
        /* The account parses scripts here with the driver's parser, whose
         * freed blocks the pool keeps in quarantine; every boot's child
         * starts as a copy of this process and frees them all again.  Once
         * nothing is left over, a fresh kernel keeps the next child small. */
        if (size_t left = sk::PoolOutstandingBlocks())
            return fail("internal error: the driver's parser left " + std::to_string(left) +
                            " pool blocks behind",
                        kExitTrouble);
        sk::ResetKernel();
    }

    bool allClean = true, allRan = true;
    for (const BootResult &result : results) {
        allClean = allClean && result.Clean();
        allRan = allRan && !OperationWentWrong(result);
    }
    if (size_t left = sk::PoolOutstandingBlocks())
        return fail("internal error: the driver's parser left " + std::to_string(left) +
                        " pool blocks behind",
                    kExitTrouble);
    if (json) {
        writer.EndArray();
        writer.Member("clean", allClean);
        writer.Member("operationsFailed", !allRan);
        writer.EndObject();
        show("\n");
    }
    return allClean && (allRan || !failOnError) ? kExitOk : kExitNo;
}

const CommandRegistration kRegistration(
    { kName, "boot a machine directory with the driver and report what it did", RunSimulate });

} // namespace

} // namespace qelmbar::cli
