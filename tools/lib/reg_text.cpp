/*
 * reg_text.cpp - the .reg parser: the file's encoding, then one line at a
 * time, with hex data gathered over its continuation lines first.  An
 * error never stops the parse; a line that cannot be understood adds no
 * edit, and values under a header that was refused add no errors of their
 * own.
 */
#include "tools/lib/reg_text.h"

#include "simkernel/text.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace qelmbar {

namespace {

constexpr size_t kMaxKeyNameChars = 255; /* one component of a key's name */
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxHexDigitsOfNumber = 8; /* dword:, and N of hex(N) */

const char16_t kVersion5Header[] = u"Windows Registry Editor Version 5.00";
const char16_t kRegedit4Header[] = u"REGEDIT4";

/* Windows-1252 from 0x80 to 0x9F; the five bytes it leaves undefined
 * become the C1 controls, as Windows converts them.  The rest of the code
 * page is Latin-1. */
const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

const struct {
    const char *Long;
    const char *Short;
    RegRoot Root;
} kRoots[] = {
    { "HKEY_CLASSES_ROOT", "HKCR", RegRoot::ClassesRoot },
    { "HKEY_CURRENT_USER", "HKCU", RegRoot::CurrentUser },
    { "HKEY_LOCAL_MACHINE", "HKLM", RegRoot::LocalMachine },
    { "HKEY_USERS", "HKU", RegRoot::Users },
    { "HKEY_CURRENT_CONFIG", "HKCC", RegRoot::CurrentConfig },
};

/* ---- text ------------------------------------------------------------ */

/* Decodes UTF-8 from bytes[start]; false with *failedAt at the first byte
 * of a sequence that is not well-formed. */
bool DecodeUtf8(const std::string &bytes, size_t start, std::u16string *out, size_t *failedAt)
{
    size_t at = 0;
    std::optional<std::u16string> text =
        sk::Utf16FromUtf8(std::string_view(bytes).substr(start), &at);
    if (!text) {
        *failedAt = start + at;
        return false;
    }
    *out += *text;
    return true;
}

std::u16string FromCp1252(const std::string &bytes, size_t start)
{
    std::u16string out;
    for (size_t i = start; i < bytes.size(); i++) {
        unsigned char b = (unsigned char)bytes[i];
        out.push_back(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : (char16_t)b);
    }
    return out;
}

size_t LineAt(const std::string &bytes, size_t offset)
{
    size_t line = 1;
    for (size_t i = 0; i < offset && i < bytes.size(); i++)
        line += bytes[i] == '\n';
    return line;
}

/*
 * The file's text.  UTF-16LE needs its byte order mark, as the registry
 * editor requires; 8-bit text is UTF-8 when it is valid UTF-8 and the
 * ANSI code page (Windows-1252) otherwise, except after a UTF-8 byte order
 * mark, which promises UTF-8.  *utf8 says which 8-bit reading was taken.
 */
bool DecodeFile(const std::string &bytes, std::u16string *text, bool *utf8, RegTextError *error)
{
    const auto byte = [&](size_t i) { return i < bytes.size() ? (unsigned char)bytes[i] : 0x100; };
    *utf8 = true;
    if (byte(0) == 0xFF && byte(1) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text->push_back((char16_t)(byte(i) | (byte(i + 1) << 8)));
        if (bytes.size() % 2 != 0) {
            size_t line = 1;
            for (char16_t c : *text)
                line += c == u'\n';
            *error = { line, "the file ends in the middle of a UTF-16 character" };
            return false;
        }
        return true;
    }
    if (byte(0) == 0xFE && byte(1) == 0xFF) {
        *error = { 1, "UTF-16 big-endian text; the registry editor reads UTF-16 only "
                      "little-endian, with its byte order mark" };
        return false;
    }
    if (byte(0) != 0 && byte(1) == 0 && bytes.size() >= 4) {
        *error = { 1, "UTF-16 text without a byte order mark; the registry editor needs the "
                      "mark (FF FE) at the start" };
        return false;
    }
    const bool marked = byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF;
    const size_t start = marked ? 3 : 0;
    size_t failedAt = 0;
    if (DecodeUtf8(bytes, start, text, &failedAt))
        return true;
    if (marked) {
        char message[96];
        std::snprintf(message, sizeof(message),
                      "invalid UTF-8 (byte 0x%02X) in a file marked as UTF-8",
                      (unsigned)byte(failedAt));
        *error = { LineAt(bytes, failedAt), message };
        return false;
    }
    *utf8 = false;
    *text = FromCp1252(bytes, 0);
    return true;
}

std::vector<std::u16string> SplitLines(const std::u16string &text)
{
    std::vector<std::u16string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(u'\n', start);
        std::u16string line = text.substr(start, end == std::u16string::npos ? end : end - start);
        if (!line.empty() && line.back() == u'\r')
            line.pop_back();
        lines.push_back(std::move(line));
        if (end == std::u16string::npos)
            break;
        start = end + 1;
    }
    if (lines.size() > 1 && lines.back().empty())
        lines.pop_back();
    return lines;
}

void AppendUtf16le(const std::u16string &text, std::vector<uint8_t> *data)
{
    for (char16_t c : text) {
        data->push_back((uint8_t)(c & 0xFF));
        data->push_back((uint8_t)(c >> 8));
    }
}

char16_t FoldAscii(char16_t c)
{
    return c >= u'a' && c <= u'z' ? (char16_t)(c - u'a' + u'A') : c;
}

bool EqualsAsciiIgnoringCase(const std::u16string &text, size_t at, const char *word)
{
    for (size_t i = 0; word[i]; i++) {
        if (at + i >= text.size() || FoldAscii(text[at + i]) != FoldAscii((char16_t)word[i]))
            return false;
    }
    return true;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

size_t SkipBlanks(const std::u16string &line, size_t at)
{
    while (at < line.size() && IsBlank(line[at]))
        at++;
    return at;
}

/* Nothing but blanks and perhaps a comment from at on. */
bool RestIsEmpty(const std::u16string &line, size_t at)
{
    at = SkipBlanks(line, at);
    return at == line.size() || line[at] == u';';
}

bool IsCommentLine(const std::u16string &line)
{
    size_t at = SkipBlanks(line, 0);
    return at < line.size() && line[at] == u';';
}

std::string Shown(const std::u16string &text, size_t limit = 40)
{
    std::u16string cut = text.size() > limit ? text.substr(0, limit) : text;
    for (char16_t &c : cut) {
        if (c < 0x20)
            c = u'?';
    }
    return sk::Utf8FromUtf16(cut) + (text.size() > limit ? "..." : "");
}

/* ---- the parser -------------------------------------------------------- */

class Parser
{
public:
    Parser(const std::vector<std::u16string> &lines, bool utf8, RegText *out)
        : lines_(lines), utf8_(utf8), out_(out)
    {
    }

    void Run();

private:
    enum class KeyState { None, Open, Deleted, Refused };

    void Error(size_t index, const std::string &message)
    {
        out_->Errors.push_back({ index + 1, message });
    }

    void Header(size_t index, size_t at);
    size_t Value(size_t index, size_t at);
    size_t SkipContinuation(size_t index) const;
    size_t HexData(size_t index, size_t at, ULONG type, RegEdit *edit, bool *valid);
    std::vector<uint8_t> WidenAnsi(const std::vector<uint8_t> &bytes) const;

    const std::vector<std::u16string> &lines_;
    const bool utf8_;
    RegText *out_;

    KeyState state_ = KeyState::None;
    RegRoot root_ = RegRoot::LocalMachine;
    std::u16string key_;
    size_t keyLine_ = 0;
};

/* A quoted string from line[at] (a '"'), its escapes undone.  "" on
 * success with *end after the closing quote; the problem otherwise. */
std::string QuotedText(const std::u16string &line, size_t at, std::u16string *text, size_t *end)
{
    for (size_t i = at + 1; i < line.size(); i++) {
        char16_t c = line[i];
        if (c == u'"') {
            *end = i + 1;
            return std::string();
        }
        if (c != u'\\') {
            text->push_back(c);
            continue;
        }
        if (i + 1 == line.size())
            return "a backslash ends the line inside a string; write \\\\ for a backslash";
        char16_t next = line[++i];
        if (next != u'\\' && next != u'"')
            return "unknown escape '\\" + Shown(std::u16string(1, next)) +
                   "' in a string; only \\\\ and \\\" are escapes, so a backslash is written \\\\";
        text->push_back(next);
    }
    return "the string has no closing quote";
}

void Parser::Run()
{
    std::u16string first = lines_.empty() ? std::u16string() : lines_[0];
    while (!first.empty() && IsBlank(first.back()))
        first.pop_back();
    if (first == kVersion5Header) {
        out_->Format = RegFormat::Version5;
    } else if (first == kRegedit4Header) {
        out_->Format = RegFormat::Regedit4;
    } else {
        Error(0, "not a registry file: the first line must be \"Windows Registry Editor "
                 "Version 5.00\" or \"REGEDIT4\"");
        return;
    }
    for (size_t index = 1; index < lines_.size(); index++) {
        const std::u16string &line = lines_[index];
        if (line.find(u'\0') != std::u16string::npos) {
            Error(index, "NUL character in the line");
            continue;
        }
        size_t at = SkipBlanks(line, 0);
        if (at == line.size() || line[at] == u';')
            continue;
        if (line[at] == u'[') {
            Header(index, at);
        } else if (line[at] == u'"' || line[at] == u'@') {
            index = Value(index, at);
        } else {
            Error(index, "unexpected text '" + Shown(line.substr(at)) +
                             "'; a line holds a [KEY], a value (\"name\"=... or @=...), a "
                             "comment (;) or nothing");
        }
    }
}

void Parser::Header(size_t index, size_t at)
{
    const std::u16string &line = lines_[index];
    state_ = KeyState::Refused;
    at++;
    const bool deleting = at < line.size() && line[at] == u'-';
    if (deleting)
        at++;
    /* A key's name may hold ']' itself; the header ends at the last. */
    size_t close = line.rfind(u']');
    if (close == std::u16string::npos || close < at) {
        Error(index, "the key's name has no closing ']'");
        return;
    }
    if (!RestIsEmpty(line, close + 1)) {
        Error(index, "unexpected text after the key's closing ']'");
        return;
    }
    std::vector<std::u16string> parts;
    for (size_t start = at;;) {
        size_t end = line.find(u'\\', start);
        if (end == std::u16string::npos || end > close)
            end = close;
        parts.push_back(line.substr(start, end - start));
        if (end == close)
            break;
        start = end + 1;
    }
    if (parts.size() == 1 && parts[0].empty()) {
        Error(index, "the key's name is empty");
        return;
    }
    const auto found = std::find_if(std::begin(kRoots), std::end(kRoots), [&](const auto &r) {
        return parts[0].size() == std::char_traits<char>::length(r.Long)
                   ? EqualsAsciiIgnoringCase(parts[0], 0, r.Long)
                   : parts[0].size() == std::char_traits<char>::length(r.Short) &&
                         EqualsAsciiIgnoringCase(parts[0], 0, r.Short);
    });
    if (found == std::end(kRoots)) {
        Error(index, "unknown root key '" + Shown(parts[0]) +
                         "'; a key's name starts with HKEY_LOCAL_MACHINE, HKEY_USERS, "
                         "HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_CURRENT_CONFIG");
        return;
    }
    std::u16string key;
    for (size_t i = 1; i < parts.size(); i++) {
        if (parts[i].empty()) {
            Error(index, "empty name in the key's path (a doubled backslash, or one at the end)");
            return;
        }
        if (parts[i].size() > kMaxKeyNameChars) {
            Error(index, "a key's name of " + std::to_string(parts[i].size()) +
                             " characters; the registry takes at most " +
                             std::to_string(kMaxKeyNameChars));
            return;
        }
        key += (key.empty() ? u"" : u"\\") + parts[i];
    }
    state_ = deleting ? KeyState::Deleted : KeyState::Open;
    root_ = found->Root;
    key_ = key;
    keyLine_ = index + 1;
    RegEdit edit;
    edit.Kind = deleting ? RegEditKind::DeleteKey : RegEditKind::CreateKey;
    edit.Line = keyLine_;
    edit.KeyLine = keyLine_;
    edit.Root = root_;
    edit.Key = key_;
    out_->Edits.push_back(std::move(edit));
}

/* The last line of a value that continues with backslashes, so that a
 * faulty one is passed over whole. */
size_t Parser::SkipContinuation(size_t index) const
{
    for (;;) {
        std::u16string line = lines_[index];
        size_t comment = line.find(u';');
        if (comment != std::u16string::npos)
            line.resize(comment);
        while (!line.empty() && IsBlank(line.back()))
            line.pop_back();
        if (line.empty() || line.back() != u'\\' || index + 1 >= lines_.size())
            return index;
        index++;
    }
}

std::vector<uint8_t> Parser::WidenAnsi(const std::vector<uint8_t> &bytes) const
{
    const std::string narrow(bytes.begin(), bytes.end());
    std::u16string text;
    size_t failedAt = 0;
    if (!utf8_ || !DecodeUtf8(narrow, 0, &text, &failedAt))
        text = FromCp1252(narrow, 0);
    std::vector<uint8_t> wide;
    AppendUtf16le(text, &wide);
    return wide;
}

/* Hex bytes from line[at] on, over continuation lines; returns the last
 * line taken. */
size_t Parser::HexData(size_t index, size_t at, ULONG type, RegEdit *edit, bool *valid)
{
    /* The data joined from every line, and where each line's part starts. */
    std::u16string data;
    std::vector<std::pair<size_t, size_t>> starts; /* offset in data, line index */
    size_t last = index;
    std::u16string piece = lines_[index].substr(at);
    for (;;) {
        size_t comment = piece.find(u';');
        if (comment != std::u16string::npos)
            piece.resize(comment);
        while (!piece.empty() && IsBlank(piece.back()))
            piece.pop_back();
        const bool continues = !piece.empty() && piece.back() == u'\\';
        if (continues)
            piece.pop_back();
        starts.emplace_back(data.size(), last);
        data += piece;
        if (!continues)
            break;
        size_t next = last + 1;
        while (next < lines_.size() && IsCommentLine(lines_[next]))
            next++;
        if (next >= lines_.size()) {
            Error(last, "the line ends in a backslash, so the hex data goes on, but the file "
                        "ends");
            *valid = false;
            return lines_.size() - 1;
        }
        if (SkipBlanks(lines_[next], 0) == lines_[next].size()) {
            Error(last, "the line ends in a backslash, so the hex data goes on, but line " +
                            std::to_string(next + 1) + " is blank");
            *valid = false;
            return next;
        }
        last = next;
        piece = lines_[next].substr(SkipBlanks(lines_[next], 0));
    }
    const auto lineOf = [&](size_t offset) {
        size_t line = starts.front().second;
        for (const auto &start : starts) {
            if (start.first <= offset)
                line = start.second;
        }
        return line;
    };

    std::vector<uint8_t> bytes;
    if (SkipBlanks(data, 0) < data.size()) {
        for (size_t start = 0;;) {
            size_t end = data.find(u',', start);
            const bool final = end == std::u16string::npos;
            if (final)
                end = data.size();
            size_t from = SkipBlanks(data, start);
            size_t to = end;
            while (to > from && IsBlank(data[to - 1]))
                to--;
            if (from == to) {
                /* A comma may end the data, as after the last line's bytes. */
                if (!final || start == 0) {
                    Error(lineOf(from), "a missing byte between commas in the hex data");
                    *valid = false;
                }
                break;
            }
            const std::u16string token = data.substr(from, to - from);
            const int high = HexDigit(token[0]);
            const int low = token.size() == 2 ? HexDigit(token[1]) : 0;
            if (token.size() > 2 || high < 0 || low < 0) {
                Error(lineOf(from), "'" + Shown(token) +
                                        "' is no byte; hex data is bytes of two hex digits "
                                        "apart by commas, e.g. hex:0a,ff");
                *valid = false;
                break;
            }
            bytes.push_back((uint8_t)(token.size() == 2 ? high * 16 + low : high));
            if (final)
                break;
            start = end + 1;
        }
    }
    const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    edit->Type = type;
    edit->Data = text && out_->Format == RegFormat::Regedit4 ? WidenAnsi(bytes) : bytes;
    return last;
}

size_t Parser::Value(size_t index, size_t at)
{
    const std::u16string &line = lines_[index];
    RegEdit edit;
    edit.Kind = RegEditKind::SetValue;
    edit.Line = index + 1;
    size_t last = index;
    bool valid = true;
    const auto fail = [&](const std::string &message) {
        Error(index, message);
        return SkipContinuation(index);
    };

    if (line[at] == u'@') {
        at++;
    } else {
        size_t end = 0;
        std::string problem = QuotedText(line, at, &edit.Name, &end);
        if (!problem.empty())
            return fail("in the value's name: " + problem);
        at = end;
    }
    at = SkipBlanks(line, at);
    if (at == line.size() || line[at] != u'=')
        return fail("expected '=' after the value's name");
    at = SkipBlanks(line, at + 1);

    if (at < line.size() && line[at] == u'-') {
        edit.Kind = RegEditKind::DeleteValue;
        if (!RestIsEmpty(line, at + 1))
            return fail("unexpected text after '-', which deletes the value");
    } else if (at < line.size() && line[at] == u'"') {
        std::u16string text;
        size_t end = 0;
        std::string problem = QuotedText(line, at, &text, &end);
        if (!problem.empty())
            return fail(problem);
        if (!RestIsEmpty(line, end))
            return fail("unexpected text after the string's closing quote");
        edit.Type = REG_SZ;
        AppendUtf16le(text, &edit.Data);
        edit.Data.push_back(0);
        edit.Data.push_back(0);
    } else if (EqualsAsciiIgnoringCase(line, at, "dword:")) {
        at += 6;
        size_t digits = 0;
        ULONG number = 0;
        while (at + digits < line.size() && HexDigit(line[at + digits]) >= 0) {
            number = (number << 4) | (ULONG)HexDigit(line[at + digits]);
            digits++;
        }
        if (digits == 0 || digits > kMaxHexDigitsOfNumber)
            return fail("dword: takes 1 to 8 hex digits, e.g. dword:0000002a");
        if (!RestIsEmpty(line, at + digits))
            return fail("unexpected text after the dword's hex digits");
        edit.Type = REG_DWORD;
        for (int shift = 0; shift < 32; shift += 8)
            edit.Data.push_back((uint8_t)(number >> shift));
    } else if (EqualsAsciiIgnoringCase(line, at, "hex:") ||
               EqualsAsciiIgnoringCase(line, at, "hex(")) {
        ULONG type = REG_BINARY;
        at += 3;
        if (line[at] == u'(') {
            size_t digits = 0;
            type = 0;
            while (at + 1 + digits < line.size() && HexDigit(line[at + 1 + digits]) >= 0) {
                type = (type << 4) | (ULONG)HexDigit(line[at + 1 + digits]);
                digits++;
            }
            at += 1 + digits;
            if (digits == 0 || digits > kMaxHexDigitsOfNumber || at + 1 >= line.size() ||
                line[at] != u')' || line[at + 1] != u':')
                return fail("hex(N): takes the type N in 1 to 8 hex digits, e.g. hex(2):");
            at++;
        }
        last = HexData(index, at + 1, type, &edit, &valid);
    } else {
        return fail("unknown data '" + Shown(line.substr(at), 12) +
                    "'; a value is \"text\", dword:, hex:, hex(N): or - to delete it");
    }

    if (edit.Name.size() > kMaxValueNameChars) {
        Error(index, "a value's name of " + std::to_string(edit.Name.size()) +
                         " characters; the registry takes at most " +
                         std::to_string(kMaxValueNameChars));
        valid = false;
    }
    switch (state_) {
    case KeyState::None:
        Error(index, "a value before any [KEY]");
        valid = false;
        break;
    case KeyState::Deleted:
        Error(index, "a value under [-KEY], which deletes the key; name the key without '-'");
        valid = false;
        break;
    case KeyState::Refused:
        valid = false; /* the header's error says it */
        break;
    case KeyState::Open: break;
    }
    if (valid) {
        edit.KeyLine = keyLine_;
        edit.Root = root_;
        edit.Key = key_;
        out_->Edits.push_back(std::move(edit));
    }
    return last;
}

} // namespace

const char *RegRootName(RegRoot root)
{
    for (const auto &r : kRoots) {
        if (r.Root == root)
            return r.Long;
    }
    return "?";
}

std::string RegKeyName(RegRoot root, const std::u16string &key)
{
    return std::string(RegRootName(root)) + (key.empty() ? "" : "\\" + sk::Utf8FromUtf16(key));
}

bool ParseRegText(const std::string &bytes, RegText *text)
{
    *text = RegText();
    std::u16string decoded;
    bool utf8 = true;
    RegTextError error;
    if (!DecodeFile(bytes, &decoded, &utf8, &error)) {
        text->Errors.push_back(error);
        return false;
    }
    Parser(SplitLines(decoded), utf8, text).Run();
    return text->Errors.empty();
}

} // namespace qelmbar
