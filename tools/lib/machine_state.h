/*
 * machine_state.h - what a machine directory holds, taken whole, the
 * differences between two such states, and a hive's keys written as a
 * .reg file.
 *
 * A state is every file and directory of volume C: (each file with its
 * size and SHA-256) and every key and value of the five hives, read from
 * the hive files through the machine layer's readers.  The hive files
 * themselves are left out of the file list: their content is the keys.
 */
#pragma once

#include "machine/machine.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qelmbar {

struct VolumeEntry {
    std::string Path; /* C:\dir\file, as the machine names it */
    bool Directory = false;
    uint64_t Size = 0;
    std::string Sha256; /* 64 lowercase hex digits; empty for a directory */
};

struct MachineState {
    std::vector<VolumeEntry> Files; /* sorted by path */
    /* In qm::kAllHives order; nothing for a hive file that is missing. */
    std::vector<std::optional<qm::MachineKey>> Hives;
};

/* false with *error set when the directory is no machine or a file or
 * hive cannot be read. */
bool ReadMachineState(const std::string &dir, MachineState *state, std::string *error);

struct MachineChange {
    enum class Kind { Added, Removed, Changed };
    enum class Item { File, Directory, Key, Value };
    Kind Change = Kind::Added;
    Item What = Item::File;
    std::string Path;  /* C:\... for files, \REGISTRY\... for keys and values */
    std::string Value; /* the value's name; "" is the default value */
    std::string Before; /* the file or value as it was ("" when added) */
    std::string After;  /* as it is ("" when removed) */
};

/* What changed from before to after, files first, then each hive's keys
 * and values in depth-first order. */
std::vector<MachineChange> DiffMachineStates(const MachineState &before, const MachineState &after);

class JsonWriter;
/* "changes": [{"change", "item", "path", "value" (for a value), "before",
 * "after"}], into an open object. */
void PutChangesJson(JsonWriter *json, const std::vector<MachineChange> &changes);

/* "+ file C:\x (3 bytes, sha256 ...)", one line without its newline. */
std::string ChangeLine(const MachineChange &change);
const char *ChangeKindName(MachineChange::Kind kind); /* "added", "removed", "changed" */
const char *ChangeItemName(MachineChange::Item item); /* "file", "directory", "key", "value" */

/* A value's type and data in words: REG_SZ "text", REG_DWORD 0x0000002a (42),
 * REG_BINARY 01 02 ff, ... */
std::string DescribeValue(const qm::MachineValue &value);
/* REG_SZ, ..., or REG_TYPE_0x1234 for a type without a name. */
std::string ValueTypeName(ULONG type);

/* The key (with everything beneath it) as a .reg file of version 5:
 * UTF-16LE with a byte order mark, lines ended by CR LF.  keyPath is the
 * key's path below the hive root ("" for the root).  The text written is
 * appended to *text without the header when header is false. */
void AppendRegExport(qm::Hive hive, const std::u16string &keyPath, const qm::MachineKey &key,
                     std::u16string *text);
std::u16string RegExportHeader();
std::string RegExportBytes(const std::u16string &text); /* BOM + UTF-16LE */

/* The hive file name (SYSTEM, ...) or nothing. */
std::optional<qm::Hive> HiveByName(const std::string &name);

/* SHA-256 of bytes, as 64 lowercase hex digits. */
std::string Sha256Hex(const std::string &bytes);

} // namespace qelmbar
