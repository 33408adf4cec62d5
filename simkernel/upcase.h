/*
 * upcase.h - NT's case folding of UTF-16 code units, as the object manager,
 * the registry and the Rtl string routines apply it.
 */
#pragma once

#include "platform/platform.h"

#include <string>

namespace sk {

struct UpcaseRun {
    USHORT first;
    USHORT last;
    USHORT delta; /* added modulo 2^16 */
};

extern const UpcaseRun kUpcaseRuns[];
extern const size_t kUpcaseRunCount;
extern const UpcaseRun kDowncaseRuns[];
extern const size_t kDowncaseRunCount;

WCHAR Upcase(WCHAR c);
WCHAR Downcase(WCHAR c);
std::u16string Upcase(const std::u16string &text);
/* Compares as NT does when it ignores case: code unit by code unit after
 * upcasing, a shorter string first when one is a prefix of the other. */
int CompareIgnoringCase(const std::u16string &a, const std::u16string &b);
bool EqualIgnoringCase(const std::u16string &a, const std::u16string &b);

} // namespace sk
