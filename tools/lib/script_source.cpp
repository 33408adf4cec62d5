/*
 * script_source.cpp - UTF-8 script files into REG_MULTI_SZ data, with a
 * strict UTF-8 decoder: what the driver is handed must be exactly what the
 * author wrote.
 */
#include "tools/lib/script_source.h"

#include "simkernel/text.h"

#include <algorithm>
#include <cstdio>

namespace qelmbar {

namespace {

bool IsLowSurrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

bool IsHighSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

/* Characters of well-formed UTF-16 text, a surrogate pair counted once. */
size_t Characters(const std::u16string &text)
{
    size_t count = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (!(IsLowSurrogate(text[i]) && i > 0 && IsHighSurrogate(text[i - 1])))
            count++;
    }
    return count;
}

std::string HexByte(unsigned char b)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", b);
    return text;
}

} // namespace

std::u16string ScriptData::Line(size_t line) const
{
    if (line == 0 || line > LineStarts.size())
        return std::u16string();
    size_t start = LineStarts[line - 1];
    size_t end = Value.find(u'\0', start);
    return Value.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
}

void ScriptData::Locate(size_t index, size_t *line, size_t *column) const
{
    if (LineStarts.empty()) {
        *line = 1;
        *column = 1;
        return;
    }
    auto next = std::upper_bound(LineStarts.begin(), LineStarts.end(), index);
    size_t number = next == LineStarts.begin() ? 1 : (size_t)(next - LineStarts.begin());
    size_t start = LineStarts[number - 1];
    size_t end = std::min(index, start + Line(number).size());
    size_t characters = 0;
    for (size_t i = start; i < end; i++) {
        if (!(IsLowSurrogate(Value[i]) && i > start && IsHighSurrogate(Value[i - 1])))
            characters++;
    }
    *line = number;
    *column = characters + 1;
}

bool ScriptFromUtf8(const std::string &bytes, ScriptData *data, SourceProblem *problem)
{
    *data = ScriptData();
    *problem = SourceProblem();

    if (bytes.size() >= 2 && (((unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE) ||
                              ((unsigned char)bytes[0] == 0xFE && (unsigned char)bytes[1] == 0xFF))) {
        problem->Line = problem->Column = 1;
        problem->Message = "the file is UTF-16 text (it starts with the byte order mark " +
                           HexByte((unsigned char)bytes[0]) + " " +
                           HexByte((unsigned char)bytes[1]) + "); save the script as UTF-8";
        return false;
    }

    size_t position = 0;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        position = 3;

    size_t lineNumber = 0;
    while (position < bytes.size()) {
        size_t newline = bytes.find('\n', position);
        size_t next = newline == std::string::npos ? bytes.size() : newline + 1;
        size_t end = newline == std::string::npos ? bytes.size() : newline;
        if (end > position && bytes[end - 1] == '\r')
            end--;
        lineNumber++;

        data->LineStarts.push_back(data->Value.size());
        const std::string_view line(bytes.data() + position, end - position);
        size_t failedAt = 0;
        const std::optional<std::u16string> text = sk::Utf16FromUtf8(line, &failedAt);
        if (!text) {
            problem->Line = lineNumber;
            problem->Column = Characters(*sk::Utf16FromUtf8(line.substr(0, failedAt))) + 1;
            problem->Message = "invalid UTF-8 (byte " + HexByte((unsigned char)line[failedAt]) +
                               "); a script must be UTF-8 text";
            return false;
        }
        const size_t nul = text->find(u'\0');
        if (nul != std::u16string::npos) {
            problem->Line = lineNumber;
            problem->Column = Characters(text->substr(0, nul)) + 1;
            problem->Message =
                "NUL character in the line; the driver would take it for the end of the string";
            return false;
        }
        data->Value += *text;
        data->Value.push_back(u'\0');
        position = next;
    }
    data->Value.push_back(u'\0');

    if (data->Value.size() > 0xFFFFFFFFu / sizeof(WCHAR)) {
        problem->Line = lineNumber;
        problem->Column = 1;
        problem->Message = "the script is larger than a registry value can hold";
        return false;
    }
    return true;
}

} // namespace qelmbar
