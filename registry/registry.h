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
