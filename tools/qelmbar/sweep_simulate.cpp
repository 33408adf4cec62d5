/*
 * sweep_simulate.cpp - qelmbar simulate --sweep BOOT: a power cut at every
 * platform call of one boot, each run booted on to the end and compared
 * with the ends the machine reaches anyway (machine/sweep.h).
 */
#include "machine/sweep.h"
#include "tools/lib/json.h"
#include "tools/qelmbar/command.h"
#include "tools/qelmbar/sweep_simulate.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace qelmbar::cli {

namespace {

namespace fs = std::filesystem;

std::string JournalName(const sk::SurvivingJournal &surviving)
{
    switch (surviving.kind) {
    case sk::SurvivingJournal::Kind::None: return "none";
    case sk::SurvivingJournal::Kind::All: return "all";
    default: return std::to_string(surviving.count);
    }
}

} // namespace

bool ParseJournal(const std::string &text, sk::SurvivingJournal *surviving)
{
    if (text == "none") {
        *surviving = sk::SurvivingJournal::None();
        return true;
    }
    if (text == "all") {
        *surviving = sk::SurvivingJournal::All();
        return true;
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9)
        return false;
    *surviving = sk::SurvivingJournal::Count(std::strtoull(text.c_str(), nullptr, 10));
    return true;
}

int RunSweep(const SweepRequest &request)
{
    /* The base, a reference or cut, and the copy of a boot in between. */
    std::string pattern =
        (fs::path(qm::ScratchParent(request.machine, 3)) / "qelmbar-sweep-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        PrintError("cannot make a temporary directory");
        return kExitTrouble;
    }
    const bool progress = !request.json && isatty(STDERR_FILENO);
    std::vector<std::pair<sk::SurvivingJournal, qm::SweepResult>> sweeps;
    for (const sk::SurvivingJournal &surviving : request.journals) {
        qm::SweepOptions options;
        options.boots = request.boots;
        options.cutBoot = request.cutBoot;
        options.surviving = surviving;
        options.boot = request.options;
        options.scratch = pattern;
        qm::SweepResult result = qm::Sweep(
            request.machine, options, [&](uint64_t done, uint64_t total) {
                if (progress) {
                    std::fprintf(stderr, "\r%s: journal %s, cut %llu of %llu...", kProgram,
                                 JournalName(surviving).c_str(), (unsigned long long)done,
                                 (unsigned long long)total);
                    std::fflush(stderr);
                }
            });
        if (progress)
            std::fprintf(stderr, "\r%*s\r", 60, "");
        if (!result.completed) {
            std::error_code ec;
            fs::remove_all(pattern, ec);
            PrintError(request.machine + ": " + result.failure);
            return kExitTrouble;
        }
        sweeps.emplace_back(surviving, std::move(result));
    }
    std::error_code ec;
    fs::remove_all(pattern, ec);

    bool clean = true;
    for (const auto &sweep : sweeps)
        clean = clean && sweep.second.outside.empty();
    if (request.json) {
        JsonWriter json;
        json.BeginObject();
        json.Member("machine", request.machine);
        json.Member("boots", (unsigned long long)request.boots);
        json.Member("sweptBoot", (unsigned long long)request.cutBoot);
        json.Member("clean", clean);
        json.Key("sweeps").BeginArray();
        for (const auto &[surviving, result] : sweeps) {
            json.BeginObject();
            json.Member("journal", JournalName(surviving));
            json.Key("platformCalls").BeginArray();
            for (uint64_t calls : result.callsPerBoot)
                json.Unsigned(calls);
            json.EndArray();
            json.Member("cutPoints", (unsigned long long)result.cutPoints);
            json.Key("outside").BeginArray();
            for (const qm::SweepPoint &point : result.outside) {
                json.BeginObject();
                json.Member("call", (unsigned long long)point.call);
                json.Member("routine", point.routine);
                json.Key("differences").BeginArray();
                for (const qm::SweepDifference &difference : point.differences) {
                    json.BeginObject().Member("what", difference.what);
                    json.Member("detail", difference.detail).EndObject();
                }
                json.EndArray();
                json.Key("partialFiles").BeginArray();
                for (const std::string &file : point.partialFiles)
                    json.String(file);
                json.EndArray();
                json.EndObject();
            }
            json.EndArray();
            json.Key("temporariesLeft").BeginArray();
            for (const std::string &file : result.temporaries)
                json.String("C:\\" + file);
            json.EndArray();
            json.EndObject();
        }
        json.EndArray();
        json.EndObject();
        WriteJsonOutput(json.Text() + "\n");
        return clean ? kExitOk : kExitNo;
    }
    for (const auto &[surviving, result] : sweeps) {
        std::printf("Sweep of boot %zu of %zu, journal after the last flush kept: %s\n",
                    request.cutBoot, request.boots, JournalName(surviving).c_str());
        std::printf("  platform calls per boot without a cut:");
        for (size_t i = 0; i < result.callsPerBoot.size(); i++)
            std::printf(" %zu: %llu", i + 1, (unsigned long long)result.callsPerBoot[i]);
        std::printf("\n  cut points: %llu, outside every reference: %zu\n",
                    (unsigned long long)result.cutPoints, result.outside.size());
        for (const qm::SweepPoint &point : result.outside) {
            std::printf("  cut at call %llu (%s):\n", (unsigned long long)point.call,
                        point.routine.c_str());
            for (const std::string &file : point.partialFiles)
                std::printf("    partially written: %s\n", file.c_str());
            for (const qm::SweepDifference &difference : point.differences)
                std::printf("    %s: %s\n", difference.what.c_str(), difference.detail.c_str());
        }
        for (const std::string &file : result.temporaries)
            std::printf("  copy temporary left by some cut (removed by the next copy there): C:\\%s\n",
                        file.c_str());
    }
    return clean ? kExitOk : kExitNo;
}

} // namespace qelmbar::cli
