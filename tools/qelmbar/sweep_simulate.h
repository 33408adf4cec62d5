/*
 * sweep_simulate.h - qelmbar simulate --sweep (sweep_simulate.cpp).
 */
#pragma once

#include "machine/machine.h"

#include <string>
#include <vector>

namespace qelmbar::cli {

struct SweepRequest {
    std::string machine;
    size_t boots = 2;
    size_t cutBoot = 1;
    std::vector<sk::SurvivingJournal> journals;
    qm::BootOptions options;
    bool json = false;
};

/* "none", "all" or a count. */
bool ParseJournal(const std::string &text, sk::SurvivingJournal *surviving);
int RunSweep(const SweepRequest &request);

} // namespace qelmbar::cli
