/*
 * staging_command.h - what the commands that read and change the driver's
 * keys share: the target options, reading the target, applying a change,
 * and how a target is named in messages and in --json output.
 */
#pragma once

#include "tools/lib/json.h"
#include "tools/lib/staging.h"
#include "tools/lib/staging_state.h"
#include "tools/qelmbar/command.h"

#include <memory>
#include <string>
#include <vector>

namespace qelmbar::cli {

/* The lines of --help that describe the target options. */
extern const char kTargetHelp[];

/* What every staging command is given besides its own flags. */
struct StagingArgs {
    staging::TargetChoice Choice;
    bool Json = false;
    std::vector<std::string> Operands;
};

/*
 * Sorts args into the target options (--machine DIR, --hive FILE, --live),
 * --json, --help and the command's own flags.  false when the command is
 * done: its help printed (help is a printf format whose %s takes
 * kTargetHelp; *exitStatus kExitOk) or a usage error reported (*exitStatus
 * set).
 */
bool ParseStagingArgs(const std::string &command, const char *help,
                      const std::vector<std::string> &args, const std::vector<Flag> &flags,
                      StagingArgs *parsed, int *exitStatus);

/* The target chosen, or nullptr after a usage error (*exitStatus set). */
std::unique_ptr<staging::Target> OpenChosenTarget(const std::string &command,
                                                  const staging::TargetChoice &choice,
                                                  int *exitStatus);

/* "machine DIR", "hive FILE" or "the live registry". */
std::string TargetName(const staging::Target &target);

/* Reads the target and interprets what it holds; false after reporting
 * why it cannot be read (*exitStatus set to kExitTrouble). */
bool ReadDriverState(staging::Target &target, staging::Snapshot *snapshot,
                     staging::DriverState *state, int *exitStatus);

/* ReadDriverState, refusing a target where the driver is not installed
 * (*exitStatus kExitNo). */
bool ReadInstalledDriverState(staging::Target &target, staging::Snapshot *snapshot,
                              staging::DriverState *state, int *exitStatus);

/* A target opened and read. */
struct TargetState {
    std::unique_ptr<staging::Target> Target;
    staging::Snapshot Snapshot;
    staging::DriverState State;
};

/* For a command that takes no operands (status, install, uninstall):
 * ParseStagingArgs, then the chosen target opened and read into *opened.
 * false when the command is done (*exitStatus set), as there. */
bool OpenTargetState(const std::string &command, const char *help,
                     const std::vector<std::string> &args, const std::vector<Flag> &flags,
                     StagingArgs *parsed, TargetState *opened, int *exitStatus);

/* Applies the change; false after reporting that nothing was written. */
bool ApplyChange(staging::Target &target, const staging::Change &change, int *exitStatus);

/* A refusal based on what the target holds: the message, kExitNo. */
int Refuse(const std::string &message);
/* The same for a refusal with an NTSTATUS behind it. */
int Refuse(const std::string &message, int32_t status);

/* The --json result of a command, its object begun with
 * "target": {"kind": ..., "location": ...} */
JsonWriter TargetJson(const staging::Target &target);

/* Prints the JSON text and a line break. */
void PrintJson(const JsonWriter &json);

} // namespace qelmbar::cli
