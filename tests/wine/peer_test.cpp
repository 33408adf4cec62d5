/*
 * peer_test.cpp - the simulated half of the Wine scenarios: every scenario
 * of scenarios.txt run on a simulated machine the way run_scenarios.py
 * runs it on Wine, its expect lines checked, and, when
 * QELMBAR_WINE_OUTCOMES names a directory, the canonical lines of every
 * boot written there for the comparison with Wine.
 *
 * The machines are set up as Wine presents itself to the driver: SYSTEM and
 * SOFTWARE are loaded from the start (Wine has no early boot; SAM and the
 * other hives come later, Wine has none of them), the ARC path
 * does not open as a directory, RtlIsNtDdiVersionAvailable denies Windows 7
 * (the kernel says 6.0 here), and a boot without an orderly end keeps the
 * registry as it was (every hive flushed before the power goes, as Wine's
 * server saves the registry when the session ends).  An orderly end is the
 * driver's unload, as `net stop` does it; its leak check follows at once.
 */
#include "tests/wine/scenario.h"
#include "simkernel/text.h"

#include "driver/driver.h"
#include "machine/machine.h"
#include "simkernel/io.h"
#include "simkernel/objects.h"
#include "simkernel/sim.h"
#include "simkernel/status_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <strings.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using qm::Hive;
using qwine::BootFacts;
using qwine::RawValue;
using qwine::Scenario;
using qwine::Step;

/* The uptimes of the simulated boots: the seconds between the boot pass
 * and the stop, and for a later load the uptime at its entry and until its
 * stop. */
const uint64_t kBootUptime = 5;
const uint64_t kLaterLoadUptime = 100;
const uint64_t kLaterLoadRun = 20;


std::u16string U16(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

bool StartsWithIgnoringCase(const std::string &text, const std::string &prefix)
{
    return text.size() >= prefix.size() && strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

/* A key of the scenarios: the hive and the path below its root. */
struct HiveKey {
    Hive hive = Hive::System;
    std::u16string path;
};

std::optional<HiveKey> ResolveKey(const std::string &key)
{
    if (strcasecmp(key.c_str(), "PARAMS") == 0)
        return HiveKey{ Hive::System, qm::kParametersKey };
    if (StartsWithIgnoringCase(key, "PARAMS\\"))
        return HiveKey{ Hive::System, std::u16string(qm::kParametersKey) + U16(key.substr(6)) };
    if (StartsWithIgnoringCase(key, "HKLM\\SOFTWARE\\"))
        return HiveKey{ Hive::Software, U16(key.substr(14)) };
    if (StartsWithIgnoringCase(key, "HKLM\\SYSTEM\\"))
        return HiveKey{ Hive::System, U16(key.substr(12)) };
    if (StartsWithIgnoringCase(key, "HKLM\\SAM\\"))
        return HiveKey{ Hive::Sam, U16(key.substr(9)) };
    return std::nullopt;
}

/* C:\a\b below the machine's volume. */
std::optional<fs::path> HostPath(const std::string &dir, const std::string &path)
{
    if (!StartsWithIgnoringCase(path, "C:\\"))
        return std::nullopt;
    fs::path host = qm::VolumeRoot(dir);
    std::string rest = path.substr(3);
    size_t at = 0;
    while (at < rest.size()) {
        size_t slash = rest.find('\\', at);
        if (slash == std::string::npos)
            slash = rest.size();
        if (slash > at)
            host /= rest.substr(at, slash - at);
        at = slash + 1;
    }
    return host;
}

/* Every hive save is synced; on a memory file system that costs nothing. */
fs::path ScratchDirectory()
{
    const char *tmpdir = getenv("TMPDIR");
    if (tmpdir && *tmpdir)
        return fs::temp_directory_path();
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return "/tmp";
}

/* ---- the Win32 program's view of the device ----------------------- */

const char *Win32Error(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS: return "ERROR_SUCCESS";
    case STATUS_INVALID_DEVICE_REQUEST: return "ERROR_INVALID_FUNCTION";
    case STATUS_OBJECT_NAME_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case STATUS_NO_SUCH_DEVICE: return "ERROR_FILE_NOT_FOUND";
    case STATUS_OBJECT_PATH_NOT_FOUND: return "ERROR_PATH_NOT_FOUND";
    case STATUS_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case STATUS_DELETE_PENDING: return "ERROR_ACCESS_DENIED";
    case STATUS_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION";
    case STATUS_NOT_SUPPORTED: return "ERROR_NOT_SUPPORTED";
    case STATUS_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    default: break;
    }
    static std::string text;
    text = "unmapped " + sk::StatusText(status);
    return text.c_str();
}

uint32_t Get32(const std::vector<uint8_t> &b, size_t at)
{
    uint32_t v = 0;
    if (at + 4 <= b.size())
        memcpy(&v, &b[at], 4);
    return v;
}

std::string SidText(const std::vector<uint8_t> &b, size_t at, size_t end)
{
    if (at + 8 > end)
        return "<bad sid>";
    const unsigned count = b[at + 1];
    if (at + 8 + 4 * count > end)
        return "<bad sid>";
    uint64_t authority = 0;
    for (int i = 0; i < 6; i++)
        authority = (authority << 8) | b[at + 2 + i];
    std::string text = "S-" + std::to_string(b[at]) + "-" + std::to_string(authority);
    for (unsigned i = 0; i < count; i++)
        text += "-" + std::to_string(Get32(b, at + 8 + 4 * i));
    return text;
}

/* The DACL of a self-relative descriptor, as the Win32 program prints it:
 * P when it is protected, then (type;[flags;]mask;sid) per entry. */
std::string DaclText(const std::vector<uint8_t> &b)
{
    if (b.size() < 20)
        return "<bad descriptor>";
    const uint16_t control = (uint16_t)(b[2] | (b[3] << 8));
    const uint32_t offset = Get32(b, 16);
    if (!(control & 0x0004) || offset == 0)
        return "no-dacl";
    std::string text = (control & 0x1000) ? "P" : "";
    if (offset + 8 > b.size())
        return "<bad acl>";
    const unsigned count = (unsigned)(b[offset + 4] | (b[offset + 5] << 8));
    size_t at = offset + 8;
    for (unsigned i = 0; i < count; i++) {
        if (at + 8 > b.size())
            return text + "<bad ace>";
        const unsigned type = b[at];
        const unsigned flags = b[at + 1];
        const unsigned size = (unsigned)(b[at + 2] | (b[at + 3] << 8));
        char head[40];
        snprintf(head, sizeof(head), "(%s;", type == 0 ? "A" : type == 1 ? "D" : "?");
        text += head;
        if (flags) {
            snprintf(head, sizeof(head), "0x%02x;", flags);
            text += head;
        }
        snprintf(head, sizeof(head), "0x%08x;", Get32(b, at + 4));
        text += head + SidText(b, at + 8, at + size) + ")";
        at += size;
    }
    return text;
}

/* What the Win32 program (client/client.cpp) prints, line for line. */
std::vector<std::string> Probe()
{
    std::vector<std::string> lines;
    std::optional<std::u16string> target = sk::LinkTarget(u"\\GLOBAL??\\Qelmbar");
    lines.push_back("status dos-link Qelmbar = " +
                    (target ? sk::Utf8FromUtf16(*target) : std::string("ERROR_FILE_NOT_FOUND")));
    struct Access {
        const char *name;
        ACCESS_MASK rights;
    };
    /* CreateFileW adds SYNCHRONIZE and FILE_READ_ATTRIBUTES. */
    const Access accesses[] = {
        { "read", GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES },
        { "read-write", GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE | FILE_READ_ATTRIBUTES },
    };
    const std::pair<ULONG, const char *> codes[] = {
        { 0x50005404u, "0x50005404" },
        { 0x5000D408u, "0x5000D408" },
        { 0x50005408u, "0x50005408" },
        { 0x00220000u, "0x00220000" },
    };
    for (const Access &access : accesses) {
        HANDLE device = nullptr;
        NTSTATUS status = sk::OpenDevice(u"\\??\\Qelmbar", access.rights, &device);
        lines.push_back(std::string("status open ") + access.name + " = " + Win32Error(status));
        if (!NT_SUCCESS(status))
            continue;
        for (const auto &code : codes) {
            char in[16] = "unread";
            char out[16];
            memset(out, 0x5A, sizeof(out));
            ULONG_PTR returned = 0;
            status = sk::DeviceIoControl(device, code.first, in, sizeof(in), out, sizeof(out),
                                         &returned);
            std::string line = std::string("status ioctl ") + code.second + " " + access.name +
                               " = " + Win32Error(status);
            if (NT_SUCCESS(status)) {
                bool untouched = std::all_of(out, out + sizeof(out), [](char c) { return c == 0x5A; });
                line += " returned=" + std::to_string(returned) + (untouched ? "" : " output-written");
            }
            lines.push_back(line);
        }
        sk::CloseDevice(device);
    }
    std::optional<std::vector<uint8_t>> security = sk::DeviceSecurity(u"\\Device\\Qelmbar");
    lines.push_back("status device-dacl = " +
                    (security ? DaclText(*security) : std::string("ERROR_FILE_NOT_FOUND")));
    return lines;
}

std::string Join(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

std::vector<std::string> Split(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

/* After an unload: nothing of the driver may be left. */
std::string Leftovers()
{
    sk::WaitForWorkItems();
    std::string text;
    if (sk::PoolOutstandingBlocks() != 0)
        text += "pool blocks left over:\n" + sk::PoolReport();
    if (sk::OpenHandleCount() != 0)
        text += "handles left open:\n" + sk::HandleReport();
    if (sk::OutstandingObjectReferences() != 0)
        text += "object references left:\n" + sk::ObjectReferenceReport();
    if (sk::DeviceCount() != 0)
        text += "a device is left\n";
    if (sk::ObjectExists(u"\\GLOBAL??\\Qelmbar"))
        text += "the DOS link is left\n";
    return text;
}

/* ---- one scenario ---------------------------------------------------- */

struct BootOutcome {
    std::string title;
    std::vector<std::string> lines;
    std::vector<const Step *> expectations;
};

class ScenarioRun {
public:
    ScenarioRun(const Scenario &scenario, const std::string &dir) : scenario_(scenario), dir_(dir) {}

    void Run()
    {
        std::string error;
        ASSERT_TRUE(qm::CreateMachine(dir_, &error)) << error;
        for (const Step &step : scenario_.steps) {
            SCOPED_TRACE("scenarios.txt:" + std::to_string(step.line));
            RunStep(step);
            if (::testing::Test::HasFatalFailure())
                return;
        }
    }

    const std::vector<BootOutcome> &Outcomes() const { return outcomes_; }

private:
    void RunStep(const Step &step)
    {
        switch (step.kind) {
        case Step::Kind::File: {
            std::optional<fs::path> host = HostPath(dir_, step.path);
            ASSERT_TRUE(host) << step.path;
            fs::create_directories(host->parent_path());
            std::ofstream(*host, std::ios::binary) << step.text;
            break;
        }
        case Step::Kind::Dir: {
            std::optional<fs::path> host = HostPath(dir_, step.path);
            ASSERT_TRUE(host) << step.path;
            fs::create_directories(*host);
            break;
        }
        case Step::Kind::Key:
        case Step::Kind::Value:
            ASSERT_TRUE(ResolveKey(step.key)) << step.key;
            pendingEdits_.push_back(&step);
            break;
        case Step::Kind::OneShot:
            oneShot_.push_back(U16(step.text));
            break;
        case Step::Kind::OneShotFile: {
            std::ifstream in(fs::path(QELMBAR_SOURCE_DIR) / step.path);
            ASSERT_TRUE(in) << step.path;
            std::string line;
            while (std::getline(in, line)) {
                if (line.find_first_not_of(" \t\r") != std::string::npos)
                    oneShot_.push_back(U16(line.substr(0, line.find_last_not_of(" \t\r") + 1)));
            }
            break;
        }
        case Step::Kind::Package:
            packages_.emplace_back(U16(step.name), qm::PackageSpec());
            packages_.back().second.bootTimeout = step.bootTimeout;
            packages_.back().second.tickTimeout = step.tickTimeout;
            break;
        case Step::Kind::Setup:
            packages_.back().second.setupOperations.push_back(U16(step.text));
            break;
        case Step::Kind::Revert:
            packages_.back().second.revertOperations.push_back(U16(step.text));
            break;
        case Step::Kind::Clean:
            packages_.back().second.cleanOperations.push_back(U16(step.text));
            break;
        case Step::Kind::Boot:
            Stage();
            if (!::testing::Test::HasFatalFailure())
                Boot(step);
            break;
        case Step::Kind::Expect:
        case Step::Kind::ExpectNo:
            ASSERT_FALSE(outcomes_.empty()) << "an expectation before the first boot";
            outcomes_.back().expectations.push_back(&step);
            break;
        }
    }

    /* The registry changes, then the one-shot list and the packages. */
    void Stage()
    {
        std::string error;
        for (const Step *edit : pendingEdits_) {
            HiveKey key = *ResolveKey(edit->key);
            if (edit->kind == Step::Kind::Key) {
                ASSERT_TRUE(qm::CreateMachineKey(dir_, key.hive, key.path, &error)) << error;
                continue;
            }
            ULONG type = REG_SZ;
            std::vector<uint8_t> data;
            if (edit->type == "sz") {
                data = qm::StringData(U16(edit->text));
            } else if (edit->type == "dword") {
                data = qm::DwordData((ULONG)std::stoul(edit->text));
                type = REG_DWORD;
            } else {
                uint64_t qword = std::stoull(edit->text);
                data.resize(8);
                memcpy(data.data(), &qword, 8);
                type = REG_QWORD;
            }
            ASSERT_TRUE(qm::SetMachineValue(dir_, key.hive, key.path, U16(edit->name), type, data,
                                            &error))
                << error;
        }
        pendingEdits_.clear();
        if (!oneShot_.empty()) {
            ASSERT_TRUE(qm::StageOneShotList(dir_, oneShot_, &error)) << error;
        }
        oneShot_.clear();
        for (const auto &package : packages_)
            ASSERT_TRUE(qm::StagePackage(dir_, package.first, package.second, &error)) << error;
        packages_.clear();
    }

    void Boot(const Step &step)
    {
        BootFacts boot;
        boot.early = step.load != "later";
        boot.orderly = step.end == "orderly";
        boot.tickBefore = qm::AsDword(qm::ReadMachineValue(dir_, Hive::System, qm::kParametersKey,
                                                           u"TickCounter"))
                              .value_or(0);
        std::vector<std::string> probe;
        if (boot.early) {
            boot.addedLow = boot.addedHigh = kBootUptime;
            EarlyBoot(step, &probe);
        } else {
            boot.addedLow = boot.addedHigh = kLaterLoadUptime + kLaterLoadRun;
            LaterLoad(step, &probe);
        }
        if (::testing::Test::HasFatalFailure())
            return;
        if (boot.early)
            boot.bootCounter =
                qm::AsDword(qm::ReadMachineValue(dir_, Hive::System, qm::kParametersKey, u"BootCounter"));
        facts_.push_back(boot);

        BootOutcome outcome;
        outcome.title = "boot " + std::to_string(facts_.size()) + " " + step.load + " " + step.end +
                        (step.probe ? " probe" : "");
        outcome.lines = Snapshot();
        outcome.lines.insert(outcome.lines.end(), probe.begin(), probe.end());
        std::sort(outcome.lines.begin(), outcome.lines.end());
        outcomes_.push_back(outcome);
    }

    void EarlyBoot(const Step &step, std::vector<std::string> *probe)
    {
        qm::BootOptions options;
        options.windowsMajor = 6;
        options.windowsMinor = 0;
        options.windowsBuild = 6002;
        options.softwareLoadedAtDriverLoad = true;
        options.arcPathOpens = false;
        options.systemRootThroughBootDevice = step.load == "arc-bootdevice";
        options.driverLoadSeconds = 0;
        options.uptimeSeconds = kBootUptime;
        options.lazyFlush = true;
        const bool orderly = step.end == "orderly";
        if (!orderly)
            options.powerLoss = qm::PowerLoss::AfterUptime();
        const bool wantProbe = step.probe;
        options.inspect = [orderly, wantProbe](qm::BootStage stage) -> std::string {
            if (stage == qm::BootStage::SubsystemStarted && wantProbe)
                return Join(Probe());
            if (stage == qm::BootStage::UptimeElapsed) {
                if (!orderly)
                    return sk::OpenHandleCount() ? "handles left open:\n" + sk::HandleReport()
                                                 : std::string();
                /* The orderly end is the unload. */
                NTSTATUS status = sk::UnloadDriver(QelmbarDriverObject);
                if (!NT_SUCCESS(status))
                    return "unload: " + sk::StatusText(status);
                return Leftovers();
            }
            return std::string();
        };
        qm::BootReport report;
        qm::Boot(dir_, options, &report);
        ASSERT_TRUE(report.completed) << report.Summary();
        EXPECT_TRUE(report.violations.empty()) << report.Summary();
        EXPECT_TRUE(report.systemErrors.empty()) << report.Summary();
        ASSERT_TRUE(report.entryReturned) << report.Summary();
        ASSERT_TRUE(NT_SUCCESS(report.entryStatus)) << report.Summary();
        EXPECT_EQ(report.powerLost, !orderly) << report.Summary();
        if (orderly) {
            EXPECT_EQ(report.shutdownRequests, 0u) << "the unload unregistered the device";
            EXPECT_FALSE(report.contextAvailable) << "the driver was unloaded";
        }
        for (const auto &inspection : report.inspections) {
            if (inspection.first == qm::BootStage::SubsystemStarted)
                *probe = Split(inspection.second);
            else
                ADD_FAILURE() << qm::BootStageName(inspection.first) << ": " << inspection.second;
        }
        EXPECT_EQ(report.openHandles, 0u);
    }

    /* A load while the system runs, in a child with SYSTEM loaded; the
     * probe comes back through a file beside the volume. */
    void LaterLoad(const Step &step, std::vector<std::string> *probe)
    {
        const fs::path probeFile = fs::path(dir_) / "probe.txt";
        fs::remove(probeFile);
        const bool orderly = step.end == "orderly";
        const bool wantProbe = step.probe;
        std::string error;
        bool done = qm::EditMachineHive(
            dir_, Hive::System,
            [&](const std::u16string &) -> std::string {
                NTSTATUS status = sk::SetUpLateBootLinks();
                if (!NT_SUCCESS(status))
                    return "late links: " + sk::StatusText(status);
                sk::SetWindowsVersion(6, 0, 6002);
                sk::SetUptime(kLaterLoadUptime);
                PDRIVER_OBJECT driver = sk::CreateDriverObject(u"\\Driver\\Qelmbar");
                status = sk::CallDriverEntry(driver, DriverEntry, qm::kServiceRegistryPath);
                if (!NT_SUCCESS(status))
                    return "entry: " + sk::StatusText(status);
                if (wantProbe)
                    std::ofstream(probeFile) << Join(Probe());
                sk::AdvanceUptime(kLaterLoadRun);
                if (!orderly)
                    return std::string();
                status = sk::UnloadDriver(driver);
                if (!NT_SUCCESS(status))
                    return "unload: " + sk::StatusText(status);
                sk::DeleteDriverObject(driver);
                return Leftovers();
            },
            &error);
        ASSERT_TRUE(done) << error;
        if (wantProbe) {
            std::ifstream in(probeFile);
            *probe = Split(std::string(std::istreambuf_iterator<char>(in), {}));
            EXPECT_FALSE(probe->empty());
        }
    }

    /* ---- what a boot left ------------------------------------------ */

    std::vector<std::string> Snapshot()
    {
        std::vector<std::string> lines;
        for (const std::string &root : scenario_.watchKeys)
            ListKey(root, *ResolveKey(root), &lines);
        for (const std::string &root : scenario_.watchFiles) {
            std::optional<fs::path> host = HostPath(dir_, root);
            if (host)
                ListFiles(root, *host, &lines);
        }
        return lines;
    }

    void ListKey(const std::string &display, const HiveKey &key, std::vector<std::string> *lines)
    {
        if (!qm::MachineKeyExists(dir_, key.hive, key.path))
            return;
        lines->push_back("key " + display);
        std::vector<RawValue> values;
        for (const std::u16string &name :
             qm::ReadMachineValueNames(dir_, key.hive, key.path).value_or(std::vector<std::u16string>())) {
            std::optional<qm::MachineValue> value = qm::ReadMachineValue(dir_, key.hive, key.path, name);
            if (value)
                values.push_back(RawValue{ display, qwine::Printable(name), value->type, value->data });
        }
        for (const RawValue &value : values)
            lines->push_back(qwine::ValueLine(value, values, facts_));
        for (const std::u16string &name :
             qm::ReadMachineKeys(dir_, key.hive, key.path).value_or(std::vector<std::u16string>()))
            ListKey(display + "\\" + qwine::Printable(name), HiveKey{ key.hive, key.path + u"\\" + name },
                    lines);
    }

    void ListFiles(const std::string &display, const fs::path &host, std::vector<std::string> *lines)
    {
        std::error_code ec;
        fs::file_status status = fs::symlink_status(host, ec);
        if (ec || !fs::exists(status))
            return;
        if (fs::is_regular_file(status)) {
            std::ifstream in(host, std::ios::binary);
            lines->push_back(qwine::FileLine(display, std::string(std::istreambuf_iterator<char>(in), {})));
            return;
        }
        if (!fs::is_directory(status)) {
            lines->push_back("other " + display);
            return;
        }
        lines->push_back("dir " + display);
        for (const fs::directory_entry &entry : fs::directory_iterator(host))
            ListFiles(display + "\\" + entry.path().filename().string(), entry.path(), lines);
    }

    const Scenario &scenario_;
    const std::string dir_;
    std::vector<const Step *> pendingEdits_;
    std::vector<std::u16string> oneShot_;
    std::vector<std::pair<std::u16string, qm::PackageSpec>> packages_;
    std::vector<BootFacts> facts_;
    std::vector<BootOutcome> outcomes_;
};

std::vector<Scenario> LoadScenarios()
{
    std::vector<Scenario> scenarios;
    std::string error;
    if (!qwine::ReadScenarios(QELMBAR_WINE_SCENARIOS, &scenarios, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        scenarios.clear();
        Scenario broken;
        broken.name = "unreadable";
        scenarios.push_back(broken);
    }
    return scenarios;
}

class WineScenario : public ::testing::TestWithParam<Scenario> {};

} // namespace

namespace qwine {
/* gtest names a scenario by its name. */
void PrintTo(const Scenario &scenario, std::ostream *out)
{
    *out << scenario.name;
}
} // namespace qwine

namespace {

TEST_P(WineScenario, BehavesAsWindowsDoes)
{
    const Scenario &scenario = GetParam();
    ASSERT_NE(scenario.name, "unreadable") << QELMBAR_WINE_SCENARIOS << " cannot be read";
    const fs::path root = ScratchDirectory() / ("qelmbar-wine-peer-" + std::to_string(getpid()) +
                                                "-" + scenario.name);
    fs::remove_all(root);
    fs::create_directories(root);
    ScenarioRun run(scenario, (root / "machine").string());
    run.Run();

    std::string written;
    for (const BootOutcome &outcome : run.Outcomes()) {
        written += outcome.title + "\n";
        for (const std::string &line : outcome.lines)
            written += "  " + line + "\n";
        for (const Step *expectation : outcome.expectations) {
            const bool present = std::any_of(outcome.lines.begin(), outcome.lines.end(),
                                             [&](const std::string &line) {
                                                 return qwine::Matches(line, *expectation);
                                             });
            EXPECT_EQ(present, expectation->kind == Step::Kind::Expect)
                << "scenarios.txt:" << expectation->line << ": after " << outcome.title << ": "
                << (expectation->kind == Step::Kind::Expect ? "missing: " : "present: ")
                << expectation->text;
        }
    }
    if (HasFailure())
        std::cerr << "lines of " << scenario.name << ":\n" << written;
    if (const char *out = getenv("QELMBAR_WINE_OUTCOMES")) {
        fs::create_directories(out);
        std::ofstream(fs::path(out) / (scenario.name + ".txt")) << written;
    }
    fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, WineScenario, ::testing::ValuesIn(LoadScenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &info) {
                             std::string name;
                             for (char c : info.param.name)
                                 name += isalnum((unsigned char)c) ? c : '_';
                             return name;
                         });

} // namespace
