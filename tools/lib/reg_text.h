/*
 * reg_text.h - registry files in the text form the Windows registry editor
 * writes and reads (.reg), turned into a list of edits that each keep the
 * line they came from.  Nothing here knows where the edits will go.
 *
 * A file starts with "Windows Registry Editor Version 5.00" (text in
 * UTF-16LE with a byte order mark, or in UTF-8) or "REGEDIT4" (text in
 * the ANSI code page, or in UTF-8).  Then, one a line:
 *
 *   [HKEY_LOCAL_MACHINE\SOFTWARE\App]   the key, created if missing
 *   [-HKEY_LOCAL_MACHINE\SOFTWARE\Old]  deletes the key with its subkeys
 *   "Name"="text"                       REG_SZ; \\ and \" inside the quotes
 *   @="text"                            the key's default value
 *   "Count"=dword:0000002a              REG_DWORD, up to 8 hex digits
 *   "Blob"=hex:01,02,ff                 REG_BINARY
 *   "Path"=hex(2):25,00,00,00           any type by number, in hex
 *   "Name"=-                            deletes the value
 *   ; a comment
 *
 * Hex data may go on over several lines, each but the last ending in a
 * backslash.  Text is stored as Windows stores it: UTF-16LE, a REG_SZ with
 * its terminating NUL.  In a REGEDIT4 file the data of hex(1), hex(2) and
 * hex(7) is text of the file's code page, one byte a character, and is
 * widened to UTF-16LE as the registry editor does.
 */
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qelmbar {

enum class RegFormat { Version5, Regedit4 };

enum class RegRoot { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };
/* "HKEY_LOCAL_MACHINE", ... */
const char *RegRootName(RegRoot root);

enum class RegEditKind {
    CreateKey, /* a key header */
    DeleteKey, /* [-KEY]: the key and everything beneath it */
    SetValue,
    DeleteValue, /* "name"=- */
};

struct RegEdit {
    RegEditKind Kind = RegEditKind::CreateKey;
    size_t Line = 0;    /* 1-based; where the header or the value starts */
    size_t KeyLine = 0; /* the line of the key's header */
    RegRoot Root = RegRoot::LocalMachine;
    /* Below the root, components joined by '\'; "" is the root itself. */
    std::u16string Key;
    /* Values only: the name ("" for the default value), type and data. */
    std::u16string Name;
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

struct RegTextError {
    size_t Line = 0; /* 1-based */
    std::string Message;
};

struct RegText {
    RegFormat Format = RegFormat::Version5;
    std::vector<RegEdit> Edits;       /* in the order of the file */
    std::vector<RegTextError> Errors; /* every one found, in line order */
};

/*
 * Reads a whole file.  Every line is checked, so all errors are found at
 * once; a file with any error should be applied not at all.  Answers
 * whether there were none.
 */
bool ParseRegText(const std::string &bytes, RegText *text);

/* The key as a file names it: "HKEY_LOCAL_MACHINE\SOFTWARE\App". */
std::string RegKeyName(RegRoot root, const std::u16string &key);

} // namespace qelmbar
