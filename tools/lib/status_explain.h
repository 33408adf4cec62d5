/*
 * status_explain.h - what an NTSTATUS usually means for the driver's
 * operations and what a user would try, for `qelmbar explain`.  The
 * statuses the driver meets have an entry; any other named status is
 * told by name alone.
 */
#pragma once

#include "platform/platform.h"

#include <string>

namespace qelmbar {

struct StatusExplanation {
    const char *Meaning; /* what it usually means for a script's operation */
    const char *Fix;     /* what a user would try */
};

/* The explanation of a status the driver meets, or nullptr. */
const StatusExplanation *ExplainStatus(NTSTATUS status);

/* A status as a user writes it: a name (STATUS_FAIL_CHECK or FAIL_CHECK,
 * any case), hexadecimal (0xC0000229) or decimal (3221226025, or the
 * signed -1073741271).  False when it is none of these. */
bool ParseStatus(const std::string &text, NTSTATUS *status);

} // namespace qelmbar
