/*
 * simulation.h - boots of a machine directory with the driver, and what
 * each boot did: every script the driver ran, each operation's outcome,
 * and the driver's counters and packages before and after.
 *
 * The driver writes no log.  What a script did is read from the
 * executor's trace points in the booting child; the state before and
 * after is read from the hive files, as the next boot would find it.
 */
#pragma once

#include "machine/machine.h"

#include <optional>
#include <string>
#include <vector>

namespace qelmbar::cli {

/* A package as its key holds it. */
struct PackageState {
    std::u16string Name;
    std::optional<std::u16string> State; /* the key's default value */
    std::optional<ULONG> StartBootCounter;
    std::optional<ULONG> StartTickCounter;
    std::optional<ULONG> BootTimeout;
    std::optional<ULONG> TickTimeout;
    std::optional<ULONG> LastPackageError;
    /* The scripts' values as stored (each string NUL-ended, one more NUL
     * at the end); nothing when the value is missing or not REG_MULTI_SZ. */
    std::optional<std::u16string> Setup;
    std::optional<std::u16string> Revert;
    std::optional<std::u16string> Clean;
};

/* What the driver's Parameters key holds. */
struct DriverState {
    bool ParametersPresent = false;
    std::optional<ULONG> BootCounter;
    std::optional<ULONG> TickCounter;
    bool ImproperShutdownMarker = false;
    std::optional<std::u16string> SystemRoot;
    std::optional<std::u16string> OneShotList; /* as stored */
    std::vector<PackageState> Packages;        /* in the registry's order */
};

/* Reads the state from the machine's SYSTEM hive file; false with *error
 * set when the file cannot be read. */
bool ReadDriverState(const std::string &dir, DriverState *state, std::string *error);

enum class Outcome {
    Done,       /* ran and succeeded */
    Failed,     /* ran and failed */
    Deferred,   /* left for the deferred run, which never came in this boot */
    Skipped,     /* not run: an earlier failure ended its script */
    Interrupted, /* running when the power was lost */
    NotReached,  /* not run: the power was lost first */
};
const char *OutcomeName(Outcome outcome);

struct OperationResult {
    size_t Index = 0;      /* from 0, in its script */
    std::string Operation; /* as the driver parsed it */
    Outcome Result = Outcome::Skipped;
    NTSTATUS Status = STATUS_SUCCESS;
    /* Left for the deferred run; Result and Status are then the deferred
     * run's, unless it never ran the operation (Deferred). */
    bool WasDeferred = false;
};

/* One script the driver started to run in a boot. */
struct ScriptResult {
    qm::ScriptKind Kind = qm::ScriptKind::OneShot;
    std::u16string Package; /* "" for the one-shot list */
    qm::BootStage Stage = qm::BootStage::Start;
    std::vector<OperationResult> Operations;
};

/* A script that was staged and did not run in a boot where it might
 * have: the one-shot list, or a package script the parser refuses. */
struct ScriptNotRun {
    qm::ScriptKind Kind = qm::ScriptKind::OneShot;
    std::u16string Package;
    std::string Reason;
};

struct BootResult {
    unsigned Number = 0; /* from 1 */
    qm::BootOptions Options;
    qm::BootReport Report;
    DriverState Before;
    DriverState After;
    std::vector<ScriptResult> Scripts;
    std::vector<ScriptNotRun> NotRun;
    /* The deferred run: whether it started, and what it ran, in its
     * order, as places in the scripts above. */
    bool DeferredRunStarted = false;
    struct DeferredEntry {
        qm::ScriptKind Kind;
        std::u16string Package;
        size_t Index;
        Outcome Result;
        NTSTATUS Status;
        std::string Operation;
    };
    std::vector<DeferredEntry> DeferredRun;

    /* The boot ended as planned: it completed, the driver broke no kernel
     * rule and the system's own steps all worked. */
    bool Clean() const;
};

/* Boots the machine once and gathers the result; false with *error when
 * the boot could not run at all (the machine could not be read, or the
 * child died). */
bool SimulateBoot(const std::string &dir, unsigned number, const qm::BootOptions &options,
                  BootResult *result, std::string *error);

} // namespace qelmbar::cli
