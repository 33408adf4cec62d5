/*
 * sweep.cpp - power cuts at every call of one boot (sweep.h).
 */
#include "machine/sweep.h"


#include <filesystem>
#include <fstream>
#include <set>

namespace qm {

namespace fs = std::filesystem;

namespace {

constexpr char kTemporaryPrefix[] = "~qelmbar-copy";

bool IsCopyTemporary(const std::string &name)
{
    return name.size() == sizeof(kTemporaryPrefix) - 1 + 5 &&
           name.compare(0, sizeof(kTemporaryPrefix) - 1, kTemporaryPrefix) == 0 &&
           name[sizeof(kTemporaryPrefix) - 1] >= '0' && name[sizeof(kTemporaryPrefix) - 1] <= '9' &&
           name.compare(name.size() - 4, 4, ".tmp") == 0;
}

bool DigestOf(const fs::path &path, FileDigest *digest)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    uint64_t hash = 1469598103934665603ull;
    uint64_t size = 0;
    char buffer[65536];
    while (in) {
        in.read(buffer, sizeof(buffer));
        const std::streamsize n = in.gcount();
        for (std::streamsize i = 0; i < n; i++)
            hash = (hash ^ (uint8_t)buffer[i]) * 1099511628211ull;
        size += (uint64_t)n;
    }
    digest->size = size;
    digest->hash = hash;
    return true;
}

std::string Utf8(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? (char)c : '?';
    return out;
}

/* Values a cut changes by design: counters of boots and uptime, the
 * status a revert records when it finds part of a setup never ran, and
 * the records of what each script's operations did (a script cut short
 * and run again is recorded by the boot that ran it, with its answers). */
bool LeftOut(const std::u16string &name)
{
    const std::u16string suffix = u"Counter";
    return name == u"LastPackageError" || name == u"LastRunResults" ||
           name == u"LastBootTimeOperationsResults" ||
           (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
}

std::string Render(const MachineValue &value)
{
    static const char hex[] = "0123456789abcdef";
    std::string out = "type " + std::to_string(value.type) + ":";
    for (uint8_t byte : value.data) {
        out += hex[byte >> 4];
        out += hex[byte & 15];
    }
    return out;
}

void AddValues(const MachineKey &key, const std::string &path, MachineState *state)
{
    for (const auto &[name, value] : key.values) {
        if (!LeftOut(name))
            state->values[path + "\\" + Utf8(name)] = Render(value);
    }
    for (const MachineKey &subkey : key.subkeys)
        AddValues(subkey, path + "\\" + Utf8(subkey.name), state);
}

/* Boots first..last (1-based) of a run; cutBoot gets loss. */
bool BootRange(const std::string &dir, const SweepOptions &options, size_t first, size_t last,
               size_t cutBoot, const PowerLoss &loss, std::vector<BootReport> *reports,
               std::string *error)
{
    for (size_t boot = first; boot <= last; boot++) {
        BootOptions bootOptions = options.boot;
        /* The copies are thrown away: the host need not sync them. */
        bootOptions.hostSync = false;
        bootOptions.powerLoss = boot == cutBoot ? loss : PowerLoss::None();
        BootReport report;
        if (!Boot(dir, bootOptions, &report) || !report.completed) {
            *error = "boot " + std::to_string(boot) + ": " + report.failure;
            return false;
        }
        if (!report.violations.empty()) {
            *error = "boot " + std::to_string(boot) + ": " + report.violations.front();
            return false;
        }
        if (reports)
            reports->push_back(std::move(report));
    }
    return true;
}

std::string DescribeDigest(const FileDigest *digest)
{
    if (!digest)
        return "missing";
    char text[64];
    snprintf(text, sizeof(text), "%llu bytes, digest %016llx", (unsigned long long)digest->size,
             (unsigned long long)digest->hash);
    return text;
}

std::vector<SweepDifference> Compare(const MachineState &reference, const MachineState &state)
{
    std::vector<SweepDifference> out;
    std::set<std::string> files;
    for (const auto &entry : reference.files)
        files.insert(entry.first);
    for (const auto &entry : state.files)
        files.insert(entry.first);
    for (const std::string &file : files) {
        auto a = reference.files.find(file);
        auto b = state.files.find(file);
        const FileDigest *x = a == reference.files.end() ? nullptr : &a->second;
        const FileDigest *y = b == state.files.end() ? nullptr : &b->second;
        if (x && y && *x == *y)
            continue;
        out.push_back({"file C:\\" + file,
                       "reference: " + DescribeDigest(x) + "; here: " + DescribeDigest(y)});
    }
    std::set<std::string> values;
    for (const auto &entry : reference.values)
        values.insert(entry.first);
    for (const auto &entry : state.values)
        values.insert(entry.first);
    for (const std::string &value : values) {
        auto a = reference.values.find(value);
        auto b = state.values.find(value);
        const std::string x = a == reference.values.end() ? "missing" : a->second;
        const std::string y = b == state.values.end() ? "missing" : b->second;
        if (x != y)
            out.push_back({"value " + value, "reference: " + x + "; here: " + y});
    }
    return out;
}

bool SameState(const MachineState &a, const MachineState &b)
{
    return a.files == b.files && a.values == b.values;
}

} // namespace

bool ReadMachineState(const std::string &dir, MachineState *state, std::string *error)
{
    *state = MachineState();
    const fs::path root = VolumeRoot(dir);
    const fs::path config = fs::path(HiveFilePath(dir, Hive::System)).parent_path();
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->path() == config) {
            it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec) || it->is_symlink(ec))
            continue;
        std::string relative = fs::relative(it->path(), root).string();
        for (char &c : relative) {
            if (c == '/')
                c = '\\';
        }
        if (IsCopyTemporary(it->path().filename().string())) {
            state->temporaries.push_back(relative);
            continue;
        }
        FileDigest digest;
        if (!DigestOf(it->path(), &digest)) {
            *error = it->path().string() + ": cannot be read";
            return false;
        }
        state->files[relative] = digest;
    }
    if (ec) {
        *error = root.string() + ": " + ec.message();
        return false;
    }
    const std::pair<Hive, std::u16string> keys[] = {{Hive::System, kParametersKey},
                                                    {Hive::Software, u""}};
    for (const auto &[hive, path] : keys) {
        HiveFileRead read = ReadHiveFileKey(HiveFilePath(dir, hive), hive, path);
        if (!read.fileRead) {
            *error = read.error;
            return false;
        }
        if (read.key)
            AddValues(*read.key, std::string(HiveFileName(hive)) + (path.empty() ? "" : "\\") +
                                     Utf8(path), state);
    }
    return true;
}

SweepResult Sweep(const std::string &dir, const SweepOptions &options,
                  const std::function<void(uint64_t, uint64_t)> &progress)
{
    SweepResult result;
    std::error_code ec;
    const fs::path scratch = options.scratch;
    const std::string base = (scratch / "start").string();
    fs::create_directories(scratch, ec);
    fs::remove_all(base, ec);
    if (options.cutBoot < 1 || options.cutBoot > options.boots) {
        result.failure = "the boot to cut is not one of the boots";
        return result;
    }
    if (!CopyMachine(dir, base, &result.failure))
        return result;

    /* The boots before the cut one run once, in order. */
    std::vector<BootReport> before;
    if (!BootRange(base, options, 1, options.cutBoot - 1, 0, PowerLoss::None(), &before,
                   &result.failure))
        return result;
    for (const BootReport &report : before)
        result.callsPerBoot.push_back(report.platformCalls);
    MachineState start;
    if (!ReadMachineState(base, &start, &result.failure))
        return result;

    /* The references. */
    const PowerLoss references[] = {PowerLoss::None(), PowerLoss::AtCall(1, options.surviving),
                                    PowerLoss::AfterUptime(options.surviving)};
    std::vector<MachineState> ends;
    std::set<FileDigest> whole;
    for (const auto &entry : start.files)
        whole.insert(entry.second);
    for (const PowerLoss &loss : references) {
        const std::string copy = (scratch / "reference").string();
        fs::remove_all(copy, ec);
        std::vector<BootReport> reports;
        if (!CopyMachine(base, copy, &result.failure) ||
            !BootRange(copy, options, options.cutBoot, options.boots, options.cutBoot, loss,
                       &reports, &result.failure))
            return result;
        if (loss.kind == PowerLoss::Kind::None) {
            for (const BootReport &report : reports)
                result.callsPerBoot.push_back(report.platformCalls);
        }
        MachineState end;
        if (!ReadMachineState(copy, &end, &result.failure))
            return result;
        for (const auto &entry : end.files)
            whole.insert(entry.second);
        ends.push_back(std::move(end));
        fs::remove_all(copy, ec);
    }

    const uint64_t calls = result.callsPerBoot[options.cutBoot - 1];
    std::set<std::string> temporaries;
    for (uint64_t call = 1; call <= calls; call++) {
        const std::string copy = (scratch / "cut").string();
        fs::remove_all(copy, ec);
        std::vector<BootReport> reports;
        if (!CopyMachine(base, copy, &result.failure) ||
            !BootRange(copy, options, options.cutBoot, options.boots, options.cutBoot,
                       PowerLoss::AtCall(call, options.surviving), &reports, &result.failure)) {
            result.failure = "cut at call " + std::to_string(call) + ": " + result.failure;
            return result;
        }
        MachineState end;
        if (!ReadMachineState(copy, &end, &result.failure))
            return result;
        if (options.inspectEnd) {
            std::string complaint = options.inspectEnd(call, copy);
            if (!complaint.empty())
                result.complaints.push_back("call " + std::to_string(call) + ": " + complaint);
        }
        fs::remove_all(copy, ec);
        result.cutPoints++;
        for (const std::string &temporary : end.temporaries)
            temporaries.insert(temporary);
        bool inside = false;
        for (const MachineState &reference : ends)
            inside = inside || SameState(reference, end);
        if (!inside) {
            SweepPoint point;
            point.call = call;
            point.routine = reports.empty() ? "" : reports.front().powerLossRoutine;
            /* Against the closest reference. */
            for (const MachineState &reference : ends) {
                std::vector<SweepDifference> differences = Compare(reference, end);
                if (point.differences.empty() || differences.size() < point.differences.size())
                    point.differences = std::move(differences);
            }
            for (const auto &entry : end.files) {
                if (!whole.count(entry.second))
                    point.partialFiles.push_back("C:\\" + entry.first);
            }
            result.outside.push_back(std::move(point));
        }
        if (progress)
            progress(call, calls);
    }
    result.temporaries.assign(temporaries.begin(), temporaries.end());
    fs::remove_all(base, ec);
    result.completed = true;
    return result;
}

} // namespace qm
