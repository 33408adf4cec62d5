/*
 * registry.h - what the registry folder offers the rest of the driver.
 */
#pragma once

#include "platform/platform.h"

/*
 * A registry value read into one pool block of the driver's tag: the
 * partial-information record (Type, DataLength, then Data 12 bytes into
 * the block) followed by RegistryValuePadding zero bytes.  String data thus
 * always ends with a NUL beyond DataLength, a multi-string with two, and a
 * REG_DWORD shorter than 4 bytes reads with its missing bytes zero.
 */
typedef KEY_VALUE_PARTIAL_INFORMATION RegistryValue;
#define RegistryValuePadding 6u

/* Reads one value of any size.  On success *Value receives the block, which
 * the caller frees with ExFreePoolWithTag(block, QELMBAR_TAG); on failure
 * it is left as it was.  An empty name reads the key's default value. */
NTSTATUS QueryRegistryValue(HANDLE Key, PUNICODE_STRING ValueName, RegistryValue **Value);

/* A hive the driver mounted itself, in DriverContext.TemporaryHiveList: one
 * pool block holding the record and its mount path's characters. */
struct TemporaryHive {
    LIST_ENTRY Links;
    HANDLE RootKey; /* KEY_READ, open while mounted; null once unloading began */
    UNICODE_STRING MountPath;
};

/* The path up to, not including, its fourth backslash (the whole path when
 * it has fewer): a view into the caller's string. */
UNICODE_STRING HivePrefix(PCUNICODE_STRING Path);
/* A success status when an operation on Path may go on, STATUS_FAIL_CHECK
 * when it must wait for the system to load the hive. */
NTSTATUS EnsureHiveLoaded(PCUNICODE_STRING Path, BOOLEAN RequireSystemHive);
NTSTATUS MountHive(PCUNICODE_STRING Path);
/* Unloads the driver's hives; one that will not unload keeps its record,
 * to be tried again. */
VOID UnloadTemporaryHives(PLIST_ENTRY List);
