/*
 * script_warnings.h - the warnings of a parsed script that concern what it
 * will meet at boot rather than its syntax, and the key helpers that the
 * deferral checks share.
 */
#pragma once

#include "tools/lib/script_check.h"

#include <string>
#include <vector>

namespace qelmbar {

/* A counted string of the parser as text. */
std::u16string View(const UNICODE_STRING &s);
/* Upper case by NT's table, trailing backslashes dropped. */
std::u16string Upper(std::u16string text);
/* Whether a write to key may have to wait for its hive: every hive but
 * SYSTEM is loaded by the system after the driver's boot pass. */
bool MayBeDeferred(const std::u16string &key);
/* Whether key is outer or lies beneath it. */
bool SameOrEnclosing(const std::u16string &key, const std::u16string &outer);

/* Every path and early-read warning of a parsed list, in script order;
 * *early gets the early reads alone. */
std::vector<ScriptWarning> ScriptWarnings(PLIST_ENTRY list, std::vector<ScriptWarning> *early);

} // namespace qelmbar
