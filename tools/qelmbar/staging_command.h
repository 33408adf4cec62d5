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

/* --machine DIR, --hive FILE and --live, storing into *choice. */
std::vector<Flag> TargetFlags(staging::TargetChoice *choice);

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

/* Applies the change; false after reporting that nothing was written. */
bool ApplyChange(staging::Target &target, const staging::Change &change, int *exitStatus);

/* A refusal based on what the target holds: the message, kExitNo. */
int Refuse(const std::string &message);

/* "target": {"kind": ..., "location": ...} */
void WriteTargetJson(JsonWriter *json, const staging::Target &target);

/* Prints the JSON text and a line break. */
void PrintJson(const JsonWriter &json);

} // namespace qelmbar::cli
