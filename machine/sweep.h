/*
 * sweep.h - power cuts at every platform call of one boot, each followed
 * by orderly boots, compared with the ends a machine may reach anyway.
 *
 * A sweep works on scratch copies of a machine (the machine itself is
 * never touched).  It first boots the copies that give the references: no
 * cut; a cut before the driver makes its first call; a cut once the
 * system has run (the end of the boot).  Then, for every call n the boot
 * made without a cut, it cuts the power at call n of that boot and boots on
 * to the last boot.  A cut point ends inside the references when its end
 * state equals one of theirs.
 *
 * The end state is every file of volume C: but the hive files (their
 * content, as a digest and a size) and every value of the driver's
 * Parameters key and of SOFTWARE.  Values that count boots or uptime (the
 * driver's counters and a package's start counters), LastPackageError
 * (which a revert sets when part of a cut setup never ran) and the records
 * of the last runs (LastRunResults, LastBootTimeOperationsResults) are left
 * out: a cut changes them by design.  Copy temporaries ("~qelmbar-copyN.tmp") a cut
 * left behind are not part of the state; they are listed apart.
 */
#pragma once

#include "machine/machine.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qm {

/* One file's content, short. */
struct FileDigest {
    uint64_t size = 0;
    uint64_t hash = 0;
    bool operator==(const FileDigest &other) const
    {
        return size == other.size && hash == other.hash;
    }
    bool operator<(const FileDigest &other) const
    {
        return size != other.size ? size < other.size : hash < other.hash;
    }
};

struct MachineState {
    std::map<std::string, FileDigest> files;  /* path below C:, '\\'-separated */
    std::map<std::string, std::string> values; /* "KEY\\name" -> "TYPE data" */
    std::vector<std::string> temporaries;      /* copy temporaries left */
};
bool ReadMachineState(const std::string &dir, MachineState *state, std::string *error);

struct SweepOptions {
    size_t boots = 2;   /* boots in each run, the cut boot among them */
    size_t cutBoot = 1; /* 1-based */
    sk::SurvivingJournal surviving = sk::SurvivingJournal::All();
    BootOptions boot;   /* for every boot; its powerLoss is set per boot */
    std::string scratch; /* a directory for the copies (made when missing) */
    /* When given, sees the machine each cut point ended with (a scratch
     * copy, removed afterwards); a non-empty answer is a complaint kept in
     * SweepResult::complaints. */
    std::function<std::string(uint64_t call, const std::string &dir)> inspectEnd;
};

struct SweepDifference {
    std::string what;   /* "file C:\\x" or "value KEY\\name" */
    std::string detail; /* what each side holds */
};

struct SweepPoint {
    uint64_t call = 0;
    std::string routine;
    std::vector<SweepDifference> differences; /* against the closest reference */
    std::vector<std::string> partialFiles;    /* content no whole file ever had */
};

struct SweepResult {
    bool completed = false;
    std::string failure;
    std::vector<uint64_t> callsPerBoot; /* of the run without a cut */
    uint64_t cutPoints = 0;
    std::vector<SweepPoint> outside;     /* cut points outside every reference */
    std::vector<std::string> temporaries; /* copy temporaries some cut left */
    std::vector<std::string> complaints;  /* from inspectEnd, "call N: ..." */
};

/* progress, when given, hears of every cut point done. */
SweepResult Sweep(const std::string &dir, const SweepOptions &options,
                  const std::function<void(uint64_t done, uint64_t total)> &progress = nullptr);

} // namespace qm
