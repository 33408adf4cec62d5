/*
 * boot.h - what the boot folder offers the rest of the driver.  So far: the
 * system-root link, through which the driver reaches the system's files
 * early in boot, and the test for the early-boot load.
 */
#pragma once

#include "platform/platform.h"

/* The link the driver creates to the system root during the boot pass. */
#define SYSTEM_ROOT_LINK_NAME "\\QelmbarSystemRoot"

/* The target of a symbolic link, in one pool block (the UNICODE_STRING
 * header followed by its buffer), freed by the caller with
 * ExFreePoolWithTag(block, QELMBAR_TAG).  Targets of up to 260 characters
 * fit, NUL-terminated. */
NTSTATUS QueryLinkTarget(PCUNICODE_STRING LinkName, PUNICODE_STRING *Target);

/* Where \SystemRoot leads, with \Device\BootDevice resolved, and whether
 * that is still an ARC path (the early-boot load).  Path is optional; when
 * given it receives one pool block as QueryLinkTarget's. */
NTSTATUS ResolveSystemRoot(PBOOLEAN IsArcPath, PUNICODE_STRING *Path);

/* Early in boot: creates \QelmbarSystemRoot to the system root, which is
 * the ARC path when it opens, else the SystemRoot value a running system
 * recorded, else \??\C:\Windows.  Later: records the running system's root
 * in the SystemRoot value.  Both outputs are optional. */
NTSTATUS PrepareSystemRootLink(HANDLE ParametersKey, PHANDLE LinkHandle, PBOOLEAN IsArcPath);
