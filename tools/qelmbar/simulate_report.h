/*
 * simulate_report.h - what `qelmbar simulate` prints of one boot: the text
 * report, its JSON object, and the changes --diff lists.
 */
#pragma once

#include "tools/lib/json.h"
#include "tools/lib/machine_state.h"
#include "tools/qelmbar/simulation.h"

#include <vector>

namespace qelmbar::cli {

/* One boot of total, as text on standard output. */
void PrintBoot(const BootResult &boot, unsigned total);

/* One boot as a JSON object; changes: what the boot changed on the machine,
 * under --diff. */
void JsonBoot(JsonWriter &json, const BootResult &boot,
              const std::vector<MachineChange> *changes = nullptr);

/* What a boot changed, as text. */
void PrintChanges(const std::vector<MachineChange> &changes);

} // namespace qelmbar::cli
