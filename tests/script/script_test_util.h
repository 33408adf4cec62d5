/*
 * script_test_util.h - building multi-string scripts for the tests.
 */
#pragma once

#include "script/script.h"

#include <initializer_list>
#include <string>

namespace qtest {

/* Each string followed by a NUL, and one more NUL after the last. */
inline std::u16string MultiString(std::initializer_list<std::u16string> strings)
{
    std::u16string data;
    for (const std::u16string &s : strings) {
        data += s;
        data.push_back(u'\0');
    }
    data.push_back(u'\0');
    return data;
}

inline ULONG ByteLength(const std::u16string &data)
{
    return (ULONG)(data.size() * sizeof(char16_t));
}

inline std::u16string Text(const UNICODE_STRING &s)
{
    return std::u16string(s.Buffer ? s.Buffer : u"", s.Length / sizeof(WCHAR));
}

} // namespace qtest
