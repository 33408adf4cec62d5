/*
 * status_scripts.h - qelmbar status --scripts: every staged operation of
 * the one-shot list and of each package's three scripts, numbered as the
 * executor counts them, with the sources each needs and whether the target
 * holds them.
 */
#pragma once

#include "tools/qelmbar/staging_command.h"

namespace qelmbar::cli {

/* Prints the listing of the target read into opened; text or --json. */
void PrintStagedScripts(const TargetState &opened, bool json);

} // namespace qelmbar::cli
