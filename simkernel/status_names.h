/*
 * status_names.h - NTSTATUS values by name, for messages of the machine
 * layer, the tools and the tests: "STATUS_OBJECT_NAME_NOT_FOUND
 * (0xC0000034)".  It needs the platform types alone, so the Windows build
 * of the tool compiles it too.
 */
#pragma once

#include "platform/platform.h"

#include <string>

namespace sk {

/* The status's name, or nullptr when it has none here. */
const char *StatusName(NTSTATUS status);
/* The name followed by the value in hexadecimal; the value alone for a
 * status without a name. */
std::string StatusText(NTSTATUS status);
/* The status a name stands for, ignoring case, with or without its
 * STATUS_ prefix; false for a name not in the table. */
bool StatusFromName(const std::string &name, NTSTATUS *status);

} // namespace sk
