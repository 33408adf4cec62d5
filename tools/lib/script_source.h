/*
 * script_source.h - a script file as the driver receives it.
 *
 * A script file is UTF-8 text with one operation a line.  The driver reads
 * the same script from a REG_MULTI_SZ value: each line a UTF-16 string
 * ended by a NUL, and one more NUL after the last.  This turns the one into
 * the other and keeps the map back from the value to lines and columns.
 */
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qelmbar {

struct ScriptData {
    /* The value's data: every line followed by a NUL, then one more NUL. */
    std::u16string Value;
    /* Index into Value of the first character of each line. */
    std::vector<size_t> LineStarts;

    /* The value's length in bytes, both final NULs included. */
    ULONG DataLength() const { return (ULONG)(Value.size() * sizeof(WCHAR)); }
    size_t LineCount() const { return LineStarts.size(); }
    /* The text of a 1-based line, without its NUL. */
    std::u16string Line(size_t line) const;
    /* The 1-based line and column of an index into Value.  Columns count
     * characters, so a surrogate pair is one column. */
    void Locate(size_t index, size_t *line, size_t *column) const;
};

/* What keeps a file from being handed to the driver at all. */
struct SourceProblem {
    size_t Line = 0; /* 1-based */
    size_t Column = 0;
    std::string Message;
    /* The line as far as it can be read, for showing under the message:
     * bytes that are no UTF-8 become U+FFFD, and UTF-16 text is shown
     * decoded. */
    std::u16string Text;
};

/* How many columns a terminal gives the character: 2 for East Asian wide
 * and fullwidth characters, 0 for combining marks and other characters
 * drawn on the one before, 1 otherwise. */
int ColumnWidth(uint32_t codePoint);

/*
 * Blank lines are kept as empty strings, one CR at the end of a line is
 * dropped, and so is a UTF-8 byte order mark at the start of the file.
 * Fails on invalid UTF-8, on a NUL character (it would end the driver's
 * string early), on UTF-16 text with or without a byte order mark, and on
 * more data than a value can hold.
 */
bool ScriptFromUtf8(const std::string &bytes, ScriptData *data, SourceProblem *problem);

} // namespace qelmbar
