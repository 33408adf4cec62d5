/*
 * text.cpp - the machine layer's text helpers: names compared ignoring
 * case, UTF-8 and UTF-16, key paths split and joined, the CurrentControlSet
 * of a SYSTEM key path, and statuses in messages.
 */
#include "machine/internal.h"

#include "simkernel/status_names.h"

#include <cstdio>

namespace qm {

namespace {

char16_t FoldAscii(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? (char16_t)(c - u'a' + u'A') : c;
}

} // namespace

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

std::string U8(const std::u16string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        }
        if (c < 0x80) {
            out.push_back((char)c);
        } else if (c < 0x800) {
            out.push_back((char)(0xC0 | (c >> 6)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back((char)(0xE0 | (c >> 12)));
            out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (c >> 18)));
            out.push_back((char)(0x80 | ((c >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string U16(const std::string &text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char b = (unsigned char)text[i];
        uint32_t c = b;
        size_t extra = 0;
        if (b >= 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else if (b >= 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xC0) {
            c = b & 0x1F;
            extra = 1;
        }
        i++;
        for (size_t k = 0; k < extra && i < text.size(); k++, i++)
            c = (c << 6) | ((unsigned char)text[i] & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back((char16_t)(0xD800 + (c >> 10)));
            out.push_back((char16_t)(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back((char16_t)c);
        }
    }
    return out;
}

std::vector<std::u16string> SplitPath(const std::u16string &path)
{
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t end = path.find(u'\\', i);
        if (end == std::u16string::npos)
            end = path.size();
        if (end > i)
            parts.push_back(path.substr(i, end - i));
        i = end + 1;
    }
    return parts;
}

std::u16string JoinPath(const std::vector<std::u16string> &parts)
{
    std::u16string out;
    for (const std::u16string &part : parts) {
        if (!out.empty())
            out += u'\\';
        out += part;
    }
    return out;
}

std::string Status(NTSTATUS status)
{
    return sk::StatusText(status);
}

void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

/* In SYSTEM, a first component CurrentControlSet names ControlSetNNN. */
std::u16string MapControlSet(Hive hive, const std::u16string &keyPath, ULONG current)
{
    std::vector<std::u16string> parts = SplitPath(keyPath);
    if (hive == Hive::System && !parts.empty() &&
        EqualsIgnoringCase(parts[0], u"CurrentControlSet")) {
        char name[32];
        snprintf(name, sizeof(name), "ControlSet%03u", (unsigned)current);
        parts[0] = U16(name);
    }
    return JoinPath(parts);
}

bool NeedsControlSet(Hive hive, const std::u16string &keyPath)
{
    std::vector<std::u16string> parts = SplitPath(keyPath);
    return hive == Hive::System && !parts.empty() &&
           EqualsIgnoringCase(parts[0], u"CurrentControlSet");
}

} // namespace qm
