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
#include "tools/lib/staging_state.h"

#include <string>
#include <vector>

namespace qelmbar::cli {

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
    /* The driver's keys in the machine's SYSTEM hive file, read as the
     * driver reads them. */
    staging::DriverState Before;
    staging::DriverState After;
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
