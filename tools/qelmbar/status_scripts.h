/*
 * status_scripts.h - qelmbar status --scripts: every staged operation of
 * the one-shot list and of each package's three scripts, numbered as the
 * executor counts them, with the sources each needs and whether the target
 * holds them.
 */
#pragma once

#include "tools/lib/script_check.h"
#include "tools/qelmbar/staging_command.h"

#include <string>

namespace qelmbar::cli {

/* What a target lets the listing look up (source_lookup.cpp). */
struct SourceScope {
    std::string MachineDir; /* a machine: files and every hive */
    std::string HiveFile;   /* a SYSTEM hive file: its keys only */
    bool Files = false;
    std::string Keys = "none"; /* "all hives", "SYSTEM" or "none" */
    std::string Words;         /* the same for people */
};
SourceScope ScopeOf(const staging::Target &target);

enum class SourceFound { Yes, No, NotChecked };
SourceFound FindSource(const SourceScope &scope, const OperationSource &source);

/* Prints the listing of the target read into opened; text or --json. */
void PrintStagedScripts(const TargetState &opened, bool json);

} // namespace qelmbar::cli
