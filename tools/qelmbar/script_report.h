/*
 * script_report.h - script files read and checked as the driver would be
 * handed them, and the refusals and warnings reported as `qelmbar check`
 * words them, for every command that takes script files.
 */
#pragma once

#include "tools/lib/script_check.h"
#include "tools/lib/script_source.h"

#include <string>

namespace qelmbar::cli {

struct CheckedScript {
    std::string Path;
    ScriptData Data;
    CheckResult Result;
    /* Why the script could not be checked at all (kExitTrouble). */
    std::string Trouble;
    /* Where a refused script's fault lies, from 1; 0 when the checker
     * found no place to point at. */
    size_t FaultLine = 0;
    size_t FaultColumn = 0;
    /* Why a file cannot be handed to the driver at all (a NUL, invalid
     * UTF-8, UTF-16 text): a refusal at FaultLine and FaultColumn, with
     * no parser status. */
    std::string FileFault;
};

/*
 * Reads, converts and checks the file.  kExitOk when the driver parser
 * accepts it; otherwise the answer is kExitNo for a refused script or a
 * file that cannot be handed to the driver, kExitTrouble for a file that
 * cannot be read, or
 * a parser that ran out of memory or left pool behind.  The reason is kept
 * in *script and, unless quiet, printed on stderr (FILE:LINE:COLUMN with
 * the line and a caret for a refusal).
 */
int ReadAndCheckScript(const std::string &path, CheckedScript *script, bool quiet = false);

/* Says, FILE:LINE: warning: ..., where deferral would reorder the script,
 * where a path will not be found as written, and where an operation reads
 * what an earlier one makes only in the deferred run; in line order. */
void PrintReorders(const CheckedScript &script);

/* One warning of a checked script, its line and its words. */
struct WarningText {
    size_t Line = 0;
    const char *Kind = "";
    std::string Message;
};
std::vector<WarningText> WarningTexts(const CheckedScript &script);

/* The 1-based line of the nth operation (from 0): the nth line that holds
 * anything but blanks; 0 when there is none. */
size_t OperationLine(const ScriptData &data, size_t operation);

/* The lines of the script that hold an operation, as the driver's strings:
 * blank lines dropped. */
std::vector<std::u16string> OperationStrings(const ScriptData &data);

/* Whether the driver's code left pool blocks behind; says so when it did. */
bool ParserLeftPool(const std::string &what);

} // namespace qelmbar::cli
