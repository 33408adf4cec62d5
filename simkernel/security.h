/*
 * security.h - security descriptors of simulated kernel objects, for the
 * parts of simkernel that keep objects and for tests.
 *
 * An object's descriptor is kept as the object manager keeps it:
 * self-relative, its components in the order owner, group, SACL, DACL, every
 * part padded to four bytes.  The generic rights of an ACE that applies to
 * the object itself (not INHERIT_ONLY_ACE) are mapped through the object
 * type's generic mapping when a DACL is set, as NT does; inherit-only ACEs
 * keep theirs.
 *
 * These helpers bypass handles, access rights and fault injection.
 */
#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>
#include <vector>

namespace sk {

struct GenericMapping {
    ACCESS_MASK read;
    ACCESS_MASK write;
    ACCESS_MASK execute;
    ACCESS_MASK all;
};
/* Files and devices share one mapping. */
constexpr GenericMapping kFileGenericMapping = { FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                                 FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS };
ACCESS_MASK MapGenericMask(ACCESS_MASK mask, const GenericMapping &mapping);

/* A SID from its string form "S-1-5-32-544"; nothing for a malformed one. */
std::optional<std::vector<uint8_t>> SidFromString(const std::string &text);
/* The string form of the SID at the start of bytes. */
std::string SidToString(const uint8_t *sid);

/* A descriptor taken apart.  A present DACL without bytes is a null DACL. */
struct SecurityContents {
    SECURITY_DESCRIPTOR_CONTROL control = 0; /* SE_SELF_RELATIVE never set here */
    std::optional<std::vector<uint8_t>> owner;
    std::optional<std::vector<uint8_t>> group;
    bool saclPresent = false;
    std::optional<std::vector<uint8_t>> sacl;
    bool daclPresent = false;
    std::optional<std::vector<uint8_t>> dacl;
};

/* Reads a descriptor, self-relative or absolute, checking every SID and
 * ACL as the object manager does when it captures one.  Answers
 * STATUS_UNKNOWN_REVISION, STATUS_INVALID_SID, STATUS_INVALID_ACL or
 * STATUS_INVALID_SECURITY_DESCR for a damaged one. */
NTSTATUS CaptureSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, SecurityContents *contents);
/* Reads a self-relative descriptor of the given size; nothing when it is
 * not one whole and valid. */
std::optional<SecurityContents> ParseSelfRelative(const std::vector<uint8_t> &bytes);
/* The object manager's self-relative form of the contents. */
std::vector<uint8_t> BuildObjectDescriptor(const SecurityContents &contents);

/* What a set-security request does to an object's descriptor: the components
 * named by information are taken from the captured modification, the rest
 * stay.  Only DACL_SECURITY_INFORMATION is modelled; any other bit answers
 * STATUS_NOT_IMPLEMENTED. */
NTSTATUS ApplySecurityInformation(std::vector<uint8_t> *stored, SECURITY_INFORMATION information,
                                  const SecurityContents &modification,
                                  const GenericMapping &mapping);

/* The descriptor IoCreateDevice gives a named device created in the
 * System process: owner Administrators and group SYSTEM (the defaults of
 * the system token), and the DACL that most device types get, SYSTEM and
 * Administrators all access, Everyone read, write and execute, restricted
 * code read and execute, mapped through the file mapping. */
std::vector<uint8_t> DefaultDeviceSecurity();

} // namespace sk
