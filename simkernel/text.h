/*
 * text.h - text helpers shared by every user-mode layer: simkernel itself,
 * the machine layer, the tool library and the tests, and the Windows build
 * of the tool, which compiles text.cpp on its own (it needs the platform
 * types and the standard library alone).
 *
 * One rule each: a UTF-16 surrogate without its partner becomes U+FFFD in
 * UTF-8; UTF-8 is read strictly (no overlong forms, no surrogates, nothing
 * past U+10FFFF); key paths drop empty components; NT times count 100 ns
 * units from 1601.  Names are compared and upcased with NT's case table
 * (upcase.h).  File names on a volume keep their own reversible host form
 * (sk::fs::HostName), which is no display text.
 */
#pragma once

#include "platform/platform.h"

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sk {

/* UTF-16 as UTF-8; a lone surrogate becomes U+FFFD. */
std::string Utf8FromUtf16(std::u16string_view text);
/* UTF-8 as UTF-16; nothing for bytes that are no well-formed UTF-8, with
 * *failedAt (when given) the offset of the first sequence that is not. */
std::optional<std::u16string> Utf16FromUtf8(std::string_view text, size_t *failedAt = nullptr);

/* The components of a key path between backslashes, empty ones (leading,
 * trailing or doubled backslashes) dropped; joined with one backslash. */
std::vector<std::u16string> SplitKeyPath(std::u16string_view path);
std::u16string JoinKeyPath(const std::vector<std::u16string> &parts);

/* A host time as an NT time: 100 ns units since 1601-01-01 UTC. */
LONGLONG NtTimeFromUnix(const struct timespec &time);

} // namespace sk
