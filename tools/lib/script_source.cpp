/*
 * script_source.cpp - UTF-8 script files into REG_MULTI_SZ data, with a
 * strict UTF-8 decoder: what the driver is handed must be exactly what the
 * author wrote.
 */
#include "tools/lib/script_source.h"

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

void AppendCodePoint(uint32_t cp, std::u16string *out)
{
    if (cp < 0x10000) {
        out->push_back((char16_t)cp);
    } else {
        cp -= 0x10000;
        out->push_back((char16_t)(0xD800 + (cp >> 10)));
        out->push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
    }
}

/* Decodes the sequence at bytes[i]; returns its length, or 0 when it is not
 * well-formed UTF-8 (overlong forms and surrogates included). */
size_t DecodeUtf8(const std::string &bytes, size_t i, size_t end, uint32_t *cp)
{
    unsigned char b0 = (unsigned char)bytes[i];
    size_t n;
    unsigned char low = 0x80, high = 0xBF;
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        *cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        *cp = b0 & 0x0F;
        if (b0 == 0xE0)
            low = 0xA0;
        else if (b0 == 0xED)
            high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        *cp = b0 & 0x07;
        if (b0 == 0xF0)
            low = 0x90;
        else if (b0 == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (end - i < n)
        return 0;
    for (size_t k = 1; k < n; k++) {
        unsigned char b = (unsigned char)bytes[i + k];
        if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF))
            return 0;
        *cp = (*cp << 6) | (b & 0x3F);
    }
    return n;
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
        size_t column = 1;
        for (size_t i = position; i < end; column++) {
            uint32_t cp;
            size_t n = DecodeUtf8(bytes, i, end, &cp);
            if (n == 0) {
                problem->Line = lineNumber;
                problem->Column = column;
                problem->Message = "invalid UTF-8 (byte " + HexByte((unsigned char)bytes[i]) +
                                   "); a script must be UTF-8 text";
                return false;
            }
            if (cp == 0) {
                problem->Line = lineNumber;
                problem->Column = column;
                problem->Message =
                    "NUL character in the line; the driver would take it for the end of the string";
                return false;
            }
            AppendCodePoint(cp, &data->Value);
            i += n;
        }
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

std::string Utf8FromUtf16(const std::u16string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t cp = text[i];
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            cp = 0x10000 + (((uint32_t)text[i] - 0xD800) << 10) + ((uint32_t)text[i + 1] - 0xDC00);
            i++;
        } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back((char)cp);
        } else if (cp < 0x800) {
            out.push_back((char)(0xC0 | (cp >> 6)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back((char)(0xE0 | (cp >> 12)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (cp >> 18)));
            out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

} // namespace qelmbar
