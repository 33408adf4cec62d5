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

/*
 * Keys.  Every key is opened with OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
 * subkeys met inside a tree are opened with OBJ_OPENLINK as well, so that a
 * registry link is handled as the link key it is and never followed.  The
 * tree routines keep their levels in pool, not on the stack; past
 * KEY_TREE_MAX_DEPTH levels below the key they were given the whole
 * operation fails with STATUS_IMPLEMENTATION_LIMIT.
 */
#define KEY_TREE_MAX_DEPTH 512u
#define REGISTRY_KEY_ATTRIBUTES (OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE)
/* Attributes for Name, absolute or relative to Root, without a security
 * descriptor. */
VOID InitializeKeyAttributes(POBJECT_ATTRIBUTES Attributes, PCUNICODE_STRING Name, HANDLE Root,
                             ULONG Flags);
/* ZwOpenKey of the absolute path Path with REGISTRY_KEY_ATTRIBUTES. */
NTSTATUS OpenKeyPath(PHANDLE Key, PCUNICODE_STRING Path, ACCESS_MASK Access);
/* One subkey entry (KeyBasicInformation) and one value entry
 * (KeyValueBasicInformation) of the longest name the registry allows. */
#define KEY_ENTRY_BUFFER_BYTES 534u
#define VALUE_ENTRY_BUFFER_BYTES 32782u

/* ZwCreateKey with KEY_ALL_ACCESS, no class and options 0, creating the
 * missing ancestors too.  An absolute name must lie in a hive the system
 * loaded (else STATUS_FAIL_CHECK). */
NTSTATUS CreateKeyPath(PHANDLE Handle, POBJECT_ATTRIBUTES Attributes, PULONG Disposition);
/* Deletes the key, and with Recursive everything beneath it; what cannot
 * be deleted is emptied of its values and the failure is returned. */
NTSTATUS DeleteKeyTree(HANDLE Key, BOOLEAN Recursive);
/* Copies the values and subkeys of Source into Target, replacing values of
 * the same name.  A plain copy skips what fails below the top level.  With
 * DeleteSource it is the body of a move: every failure ends it, and only a
 * tree copied whole is then deleted from Source. */
NTSTATUS CopyKeyTree(HANDLE Source, HANDLE Target, BOOLEAN DeleteSource);
NTSTATUS MoveKeyTree(BOOLEAN Overwrite, PCUNICODE_STRING Source, PCUNICODE_STRING Target);
/* Gives the key at Path the name NewName among its siblings. */
NTSTATUS RenameKeyPath(BOOLEAN Overwrite, PCUNICODE_STRING Path, PCUNICODE_STRING NewName);

/* The full name of an open key as the registry names it (links resolved,
 * stored case), in a pool block of the driver's tag that
 * FreeKeyName releases; the characters are followed by a NUL. */
NTSTATUS QueryKeyName(HANDLE Key, PUNICODE_STRING Name);
VOID FreeKeyName(PUNICODE_STRING Name);
/* Whether the key Path names, or would name once created, is the open key
 * Source (*Equal) or lies beneath it (*Inside), compared on component
 * boundaries ignoring case, through links. */
NTSTATUS KeyPathWithinKey(HANDLE Source, PCUNICODE_STRING Path, PBOOLEAN Inside, PBOOLEAN Equal);

/* Values.  A value exists when a query for it answers anything but
 * STATUS_OBJECT_NAME_NOT_FOUND; an answer that says neither is returned
 * as the failure it is. */
NTSTATUS TestValueExists(HANDLE Key, PCUNICODE_STRING Name, PBOOLEAN Exists);
NTSTATUS TransferValue(BOOLEAN Overwrite, PCUNICODE_STRING TargetKey, PCUNICODE_STRING TargetValue,
                       PCUNICODE_STRING SourceKey, PCUNICODE_STRING SourceValue,
                       BOOLEAN DeleteSource);

/* The handlers of the registry operations of a script. */
struct OperationRecord;
NTSTATUS CreateKeyHandler(const OperationRecord *Record);
NTSTATUS DeleteKeyHandler(const OperationRecord *Record);
NTSTATUS MoveKeyHandler(const OperationRecord *Record);
NTSTATUS CopyKeyHandler(const OperationRecord *Record);
NTSTATUS RenameKeyHandler(const OperationRecord *Record);
NTSTATUS SetKeyValueHandler(const OperationRecord *Record);
NTSTATUS DeleteKeyValueHandler(const OperationRecord *Record);
NTSTATUS RenameValueHandler(const OperationRecord *Record);
