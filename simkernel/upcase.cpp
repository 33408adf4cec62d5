/*
 * upcase.cpp - NT's case folding of UTF-16 code units and the comparison
 * of names ignoring case (upcase.h), over the tables of upcase_table.cpp.
 * It needs the platform types alone, so the Windows build of the tool
 * compiles it too.
 */
#include "simkernel/upcase.h"

#include <array>

namespace sk {

namespace {

using CaseMap = std::array<WCHAR, 0x10000>;

CaseMap BuildMap(const UpcaseRun *runs, size_t count)
{
    CaseMap m{};
    for (size_t c = 0; c < m.size(); c++)
        m[c] = (WCHAR)c;
    for (size_t i = 0; i < count; i++) {
        for (uint32_t c = runs[i].first; c <= runs[i].last; c++)
            m[c] = (WCHAR)((c + runs[i].delta) & 0xFFFF);
    }
    return m;
}

const CaseMap &UpcaseMap()
{
    static const CaseMap map = BuildMap(kUpcaseRuns, kUpcaseRunCount);
    return map;
}

const CaseMap &DowncaseMap()
{
    static const CaseMap map = BuildMap(kDowncaseRuns, kDowncaseRunCount);
    return map;
}

} // namespace

WCHAR Upcase(WCHAR c)
{
    return UpcaseMap()[c];
}

WCHAR Downcase(WCHAR c)
{
    return DowncaseMap()[c];
}

std::u16string Upcase(const std::u16string &text)
{
    std::u16string upper(text);
    for (char16_t &c : upper)
        c = Upcase(c);
    return upper;
}

int CompareIgnoringCase(const std::u16string &a, const std::u16string &b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
        const WCHAR ca = Upcase(a[i]);
        const WCHAR cb = Upcase(b[i]);
        if (ca != cb)
            return (int)ca - (int)cb;
    }
    return (int)a.size() - (int)b.size();
}

bool EqualIgnoringCase(const std::u16string &a, const std::u16string &b)
{
    return a.size() == b.size() && CompareIgnoringCase(a, b) == 0;
}

} // namespace sk
