/*
 * operation_text.h - an operation the driver parsed, written back in the
 * script language: what a boot's trace reports for each operation and what
 * qelmbar check prints.  It needs the script folder and simkernel's text
 * helpers alone, so the Windows build of the tool compiles it too.
 */
#pragma once

#include "script/script.h"

#include <string>

namespace qm {

/* An operation as the script would best spell it: the keyword in its own
 * case, arguments in script order, booleans as true and false. */
std::string OperationText(const OperationRecord &record);

} // namespace qm
