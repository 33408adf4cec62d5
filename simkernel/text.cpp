/*
 * text.cpp - UTF-8 and UTF-16, key paths and NT times (text.h).
 */
#include "simkernel/text.h"

namespace sk {

namespace {

bool IsHighSurrogate(uint32_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(uint32_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendUtf8(uint32_t c, std::string *out)
{
    if (c < 0x80) {
        out->push_back((char)c);
    } else if (c < 0x800) {
        out->push_back((char)(0xC0 | (c >> 6)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back((char)(0xE0 | (c >> 12)));
        out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else {
        out->push_back((char)(0xF0 | (c >> 18)));
        out->push_back((char)(0x80 | ((c >> 12) & 0x3F)));
        out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    }
}

std::optional<std::u16string> Failed(size_t at, size_t *failedAt)
{
    if (failedAt)
        *failedAt = at;
    return std::nullopt;
}

} // namespace

std::string Utf8FromUtf16(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((uint32_t)text[i + 1] - 0xDC00);
            i++;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            c = 0xFFFD;
        }
        AppendUtf8(c, &out);
    }
    return out;
}

std::optional<std::u16string> Utf16FromUtf8(std::string_view text, size_t *failedAt)
{
    static const uint32_t kLeast[] = { 0, 0, 0x80, 0x800, 0x10000 };
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char b = (unsigned char)text[i];
        const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size())
            return Failed(i, failedAt);
        uint32_t c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
        for (size_t k = 1; k < n; k++) {
            const unsigned char next = (unsigned char)text[i + k];
            if ((next & 0xC0) != 0x80)
                return Failed(i, failedAt);
            c = (c << 6) | (next & 0x3F);
        }
        if (c < kLeast[n] || c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c))
            return Failed(i, failedAt);
        if (c < 0x10000) {
            out.push_back((char16_t)c);
        } else {
            c -= 0x10000;
            out.push_back((char16_t)(0xD800 + (c >> 10)));
            out.push_back((char16_t)(0xDC00 + (c & 0x3FF)));
        }
        i += n;
    }
    return out;
}

std::vector<std::u16string> SplitKeyPath(std::u16string_view path)
{
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t end = path.find(u'\\', i);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end > i)
            parts.emplace_back(path.substr(i, end - i));
        i = end + 1;
    }
    return parts;
}

std::u16string JoinKeyPath(const std::vector<std::u16string> &parts)
{
    std::u16string out;
    for (const std::u16string &part : parts) {
        if (!out.empty())
            out += u'\\';
        out += part;
    }
    return out;
}

LONGLONG NtTimeFromUnix(const struct timespec &time)
{
    constexpr LONGLONG kSecondsFrom1601To1970 = 11644473600LL;
    return ((LONGLONG)time.tv_sec + kSecondsFrom1601To1970) * 10000000LL + time.tv_nsec / 100;
}

} // namespace sk
