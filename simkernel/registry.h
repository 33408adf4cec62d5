/*
 * registry.h - direct access to the simulated registry for tests and tools:
 * building the keys and values a scenario needs, reading back what the
 * driver left, and attaching hives at a path.
 *
 * These routines bypass handles, access rights and fault injection; they
 * take the kernel lock like every platform routine.  Paths are absolute
 * registry paths such as u"\\REGISTRY\\MACHINE\\SYSTEM", parsed and matched
 * as ZwOpenKey does (case ignored, NT's folding, link keys followed).  A
 * path that names no key reads as an empty result.
 */
#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>
#include <vector>

namespace sk {

struct RegValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

/* Keys.  RegCreateKey creates the missing ancestors as well; each key it
 * creates is volatile when isVolatile is set. */
NTSTATUS RegCreateKey(const std::u16string &path, bool isVolatile = false);
bool RegKeyExists(const std::u16string &path);
/* Subkey names in the order ZwEnumerateKey gives them, with stored case. */
std::vector<std::u16string> RegSubkeys(const std::u16string &path);
/* Deletes the key and everything beneath it; a link key named by the last
 * component goes itself, its target stays.  The keys deleted stay valid
 * for the handles open to them, which then answer STATUS_KEY_DELETED. */
NTSTATUS RegDeleteTree(const std::u16string &path);
std::optional<LONGLONG> RegLastWriteTime(const std::u16string &path);
/* Full path with the case each key was created with. */
std::optional<std::u16string> RegKeyPath(const std::u16string &path);

/* Link keys, as ZwCreateKey makes them with REG_OPTION_CREATE_LINK: the
 * target is an absolute registry path (no NUL) kept as the REG_LINK value
 * SymbolicLinkValue, the only value a link key takes; an empty target
 * leaves the link without one.  The parent must exist
 * (STATUS_OBJECT_NAME_NOT_FOUND) and the name be free
 * (STATUS_OBJECT_NAME_COLLISION); the target need not exist. */
NTSTATUS RegCreateLink(const std::u16string &path, const std::u16string &target,
                       bool isVolatile = false);
/* The target of the link key at path (the last component is not followed);
 * nothing when it is no link key or has no target. */
std::optional<std::u16string> RegLinkTarget(const std::u16string &path);
/* What the boot loader leaves in the SYSTEM hive, which must be mounted at
 * \REGISTRY\MACHINE\SYSTEM: the control set ControlSetNNN (created when
 * missing) and the volatile link CurrentControlSet to it. */
NTSTATUS RegSetUpControlSets(ULONG current = 1);

/* Values.  An empty name is the key's default value. */
NTSTATUS RegSetValue(const std::u16string &path, const std::u16string &name, ULONG type,
                     const std::vector<uint8_t> &data);
NTSTATUS RegSetDword(const std::u16string &path, const std::u16string &name, ULONG value);
NTSTATUS RegSetQword(const std::u16string &path, const std::u16string &name, ULONGLONG value);
/* The text followed by its NUL; type REG_SZ or REG_EXPAND_SZ. */
NTSTATUS RegSetString(const std::u16string &path, const std::u16string &name,
                      const std::u16string &text, ULONG type = REG_SZ);
/* Every string followed by its NUL, then one more NUL. */
NTSTATUS RegSetMultiString(const std::u16string &path, const std::u16string &name,
                           const std::vector<std::u16string> &strings);
std::optional<RegValue> RegGetValue(const std::u16string &path, const std::u16string &name);
/* Value names in the order ZwEnumerateValueKey gives them. */
std::vector<std::u16string> RegValueNames(const std::u16string &path);
NTSTATUS RegDeleteValue(const std::u16string &path, const std::u16string &name);

/* The simulated system time in 100ns units since 1601 (KeQuerySystemTime's
 * clock), as last-write times are stamped and hive files are saved.  It
 * starts at 2026-01-01 and moves on by one unit at every change to a key. */
LONGLONG RegCurrentTime();
constexpr LONGLONG kRegClockStart = 134116992000000000LL;

/* Hives.  Every key belongs to one hive.  After a reset the keys
 * \REGISTRY, \REGISTRY\MACHINE and \REGISTRY\USER form the master hive,
 * which has no file and takes whatever is created beneath them until a
 * hive is mounted.  A change to a non-volatile key marks its hive dirty;
 * ZwFlushKey makes it clean. */
struct HiveInfo {
    std::u16string name;
    std::u16string filePath;
    std::u16string mountPath; /* path of the hive's root key */
    bool dirty = false;
};
/* Attaches a new, empty hive whose root key is created at path.  The
 * parent must exist and the path must not (STATUS_OBJECT_NAME_COLLISION).
 * The root cannot be deleted through ZwDeleteKey or RegDeleteTree. */
NTSTATUS MountHive(const std::u16string &path, const std::u16string &hiveName,
                   const std::u16string &filePath = std::u16string());
/* Detaches the hive whose root is at path with all its keys.  Refused with
 * STATUS_CANNOT_DELETE while a handle is open to any key of the hive or a
 * further hive is mounted inside it; STATUS_INVALID_PARAMETER when the key
 * is no hive root. */
NTSTATUS UnmountHive(const std::u16string &path);
/* The hive the key at path belongs to. */
std::optional<HiveInfo> RegHiveOf(const std::u16string &path);
/* Marks the hive of the key at path clean, as a loader does once it has
 * built the keys read from the file. */
NTSTATUS RegMarkHiveClean(const std::u16string &path);

} // namespace sk
