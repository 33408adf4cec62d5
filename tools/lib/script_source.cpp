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

/* UTF-8 as far as it is valid; each byte that is not becomes U+FFFD. */
std::u16string Lenient(std::string_view bytes)
{
    std::u16string text;
    while (!bytes.empty()) {
        size_t failedAt = 0;
        if (std::optional<std::u16string> whole = sk::Utf16FromUtf8(bytes, &failedAt)) {
            text += *whole;
            break;
        }
        text += *sk::Utf16FromUtf8(bytes.substr(0, failedAt));
        text.push_back(u'\xFFFD');
        bytes.remove_prefix(failedAt + 1);
    }
    return text;
}

/* The first line of UTF-16 text, without its line break. */
std::u16string FirstUtf16Line(const std::string &bytes, size_t start, bool bigEndian)
{
    std::u16string line;
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
        unsigned char a = (unsigned char)bytes[i], b = (unsigned char)bytes[i + 1];
        char16_t c = bigEndian ? (char16_t)(a << 8 | b) : (char16_t)(b << 8 | a);
        if (c == u'\n')
            break;
        line.push_back(c);
    }
    if (!line.empty() && line.back() == u'\r')
        line.pop_back();
    return line;
}

/* Whether text without a byte order mark looks like UTF-16: most of its
 * first byte pairs hold a 0x00 on the same side (ASCII in UTF-16).  Sets
 * *bigEndian when the zero comes first. */
bool LooksLikeUtf16(const std::string &bytes, bool *bigEndian)
{
    size_t pairs = std::min<size_t>(bytes.size() / 2, 256);
    size_t zeroFirst = 0, zeroSecond = 0;
    for (size_t i = 0; i < pairs; i++) {
        bool first = bytes[2 * i] == 0, second = bytes[2 * i + 1] == 0;
        if (first && !second)
            zeroFirst++;
        else if (second && !first)
            zeroSecond++;
    }
    if (pairs == 0)
        return false;
    *bigEndian = zeroFirst > zeroSecond;
    return std::max(zeroFirst, zeroSecond) * 4 >= pairs * 3;
}

} // namespace

int ColumnWidth(uint32_t cp)
{
    /* Combining marks and the zero-width characters. */
    static const uint32_t kZero[][2] = {
        { 0x0300, 0x036F }, { 0x0483, 0x0489 }, { 0x0591, 0x05BD }, { 0x0610, 0x061A },
        { 0x064B, 0x065F }, { 0x0670, 0x0670 }, { 0x06D6, 0x06DC }, { 0x0E31, 0x0E31 },
        { 0x0E34, 0x0E3A }, { 0x0E47, 0x0E4E }, { 0x1AB0, 0x1AFF }, { 0x1DC0, 0x1DFF },
        { 0x200B, 0x200F }, { 0x20D0, 0x20FF }, { 0xFE00, 0xFE0F }, { 0xFE20, 0xFE2F },
        { 0xFEFF, 0xFEFF }, { 0xE0100, 0xE01EF },
    };
    /* East Asian wide and fullwidth characters. */
    static const uint32_t kWide[][2] = {
        { 0x1100, 0x115F },   { 0x2E80, 0x303E },   { 0x3041, 0x33FF },   { 0x3400, 0x4DBF },
        { 0x4E00, 0x9FFF },   { 0xA000, 0xA4CF },   { 0xA960, 0xA97F },   { 0xAC00, 0xD7A3 },
        { 0xF900, 0xFAFF },   { 0xFE30, 0xFE4F },   { 0xFF00, 0xFF60 },   { 0xFFE0, 0xFFE6 },
        { 0x1F300, 0x1F64F }, { 0x1F900, 0x1F9FF }, { 0x20000, 0x2FFFD }, { 0x30000, 0x3FFFD },
    };
    for (const auto &range : kZero) {
        if (cp >= range[0] && cp <= range[1])
            return 0;
    }
    for (const auto &range : kWide) {
        if (cp >= range[0] && cp <= range[1])
            return 2;
    }
    return 1;
}

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
        problem->Text = FirstUtf16Line(bytes, 2, (unsigned char)bytes[0] == 0xFE);
        return false;
    }
    bool bigEndian = false;
    if (LooksLikeUtf16(bytes, &bigEndian)) {
        problem->Line = problem->Column = 1;
        problem->Message = std::string("the file is UTF-16 text without a byte order mark (") +
                           (bigEndian ? "big" : "little") +
                           "-endian: every other byte is 0x00); save the script as UTF-8";
        problem->Text = FirstUtf16Line(bytes, 0, bigEndian);
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
            problem->Text = Lenient(line);
            return false;
        }
        const size_t nul = text->find(u'\0');
        if (nul != std::u16string::npos) {
            problem->Line = lineNumber;
            problem->Column = Characters(text->substr(0, nul)) + 1;
            problem->Message = "NUL character (byte 0x00) in the line; the driver would take it "
                               "for the end of the string";
            problem->Text = *text;
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
