/*
 * security.cpp - the Rtl routines on SIDs, ACLs and security descriptors,
 * and the descriptors of kernel objects as the object manager keeps them.
 *
 * The Rtl routines work on the caller's memory in the binary layouts of
 * Windows x64 and answer NT's statuses: RtlCreateAcl, RtlAddAce,
 * RtlInitializeSid, RtlCreateSecurityDescriptor, RtlSetDaclSecurityDescriptor,
 * RtlGetDaclSecurityDescriptor and RtlAbsoluteToSelfRelativeSD can fail and
 * take planned faults; the validators and length routines cannot.  A
 * self-relative descriptor made by RtlAbsoluteToSelfRelativeSD holds SACL,
 * DACL, owner and group in that order, as NT lays it out; an object's own
 * descriptor holds owner, group, SACL and DACL (security.h).
 *
 * Fields are read with memcpy: a descriptor read from the registry need
 * not be aligned as the structures are.
 */
#include "simkernel/security.h"
#include "simkernel/internal.h"

#include <algorithm>
#include <cstdio>

namespace sk {

namespace {

constexpr ULONG kRelativeHeaderBytes = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
constexpr ULONG kAceSidOffset = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);

USHORT Read16(const uint8_t *p)
{
    USHORT v;
    memcpy(&v, p, sizeof(v));
    return v;
}

ULONG Read32(const uint8_t *p)
{
    ULONG v;
    memcpy(&v, p, sizeof(v));
    return v;
}

void Write32(uint8_t *p, ULONG v)
{
    memcpy(p, &v, sizeof(v));
}

ULONG SidBytes(UCHAR count)
{
    return 8u + 4u * count;
}

ULONG Round4(ULONG n)
{
    return (n + 3u) & ~3u;
}

/* A SID whose whole length lies within available bytes. */
bool SidFits(const uint8_t *sid, size_t available)
{
    if (available < 8 || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES)
        return false;
    return SidBytes(sid[1]) <= available;
}

/* RtlValidAcl: the revision, the size, and every ACE inside the size; the
 * ACEs of the basic types carry a SID that fits them. */
bool AclValid(const uint8_t *acl)
{
    UCHAR revision = acl[0];
    USHORT size = Read16(acl + 2);
    USHORT count = Read16(acl + 4);
    if (revision < MIN_ACL_REVISION || revision > MAX_ACL_REVISION)
        return false;
    if (size < sizeof(ACL) || (size & 1))
        return false;
    ULONG offset = sizeof(ACL);
    for (USHORT i = 0; i < count; i++) {
        if (offset + sizeof(ACE_HEADER) > size)
            return false;
        UCHAR type = acl[offset];
        USHORT aceSize = Read16(acl + offset + 2);
        if (aceSize < sizeof(ACE_HEADER) || (aceSize & 1) || offset + aceSize > size)
            return false;
        if (type <= ACCESS_MAX_MS_V2_ACE_TYPE) {
            if ((aceSize & 3) || aceSize < kAceSidOffset)
                return false;
            if (!SidFits(acl + offset + kAceSidOffset, aceSize - kAceSidOffset))
                return false;
        }
        offset += aceSize;
    }
    return true;
}

/* The offset of the end of the ACEs an ACL holds, or 0 when they do not
 * lie inside it. */
ULONG FirstFreeAce(const uint8_t *acl)
{
    USHORT size = Read16(acl + 2);
    USHORT count = Read16(acl + 4);
    ULONG offset = sizeof(ACL);
    for (USHORT i = 0; i < count; i++) {
        if (offset + sizeof(ACE_HEADER) > size)
            return 0;
        offset += Read16(acl + offset + 2);
    }
    return offset <= size ? offset : 0;
}

std::vector<uint8_t> CopySid(const uint8_t *sid)
{
    return std::vector<uint8_t>(sid, sid + SidBytes(sid[1]));
}

std::vector<uint8_t> CopyAcl(const uint8_t *acl)
{
    return std::vector<uint8_t>(acl, acl + Read16(acl + 2));
}

/* An offset of a self-relative descriptor at which Minimum bytes can be
 * read; *Available receives the bytes from it to the end. */
bool OffsetFits(ULONG offset, size_t length, size_t minimum, size_t *available)
{
    if (offset < kRelativeHeaderBytes || offset >= length || (offset & 3))
        return false;
    if (length - offset < minimum)
        return false;
    *available = length - offset;
    return true;
}

/* RtlValidRelativeSecurityDescriptor.  NT lets a descriptor without a DACL
 * or SACL pass even when the caller requires one, and a present one at
 * offset 0 (the null ACL, which grants everything) passes too; a present
 * DACL or SACL at any other offset must be one whole ACL. */
bool RelativeValid(const uint8_t *sd, size_t length, SECURITY_INFORMATION required)
{
    size_t available;
    if (length < kRelativeHeaderBytes || sd[0] != SECURITY_DESCRIPTOR_REVISION)
        return false;
    USHORT control = Read16(sd + 2);
    if (!(control & SE_SELF_RELATIVE))
        return false;
    ULONG owner = Read32(sd + 4), group = Read32(sd + 8);
    ULONG sacl = Read32(sd + 12), dacl = Read32(sd + 16);
    if (owner) {
        if (!OffsetFits(owner, length, 8, &available) || !SidFits(sd + owner, available))
            return false;
    } else if (required & OWNER_SECURITY_INFORMATION) {
        return false;
    }
    if (group) {
        if (!OffsetFits(group, length, 8, &available) || !SidFits(sd + group, available))
            return false;
    } else if (required & GROUP_SECURITY_INFORMATION) {
        return false;
    }
    if ((control & SE_DACL_PRESENT) && dacl) {
        if (!OffsetFits(dacl, length, sizeof(ACL), &available) ||
            Read16(sd + dacl + 2) > available || !AclValid(sd + dacl))
            return false;
    }
    if ((control & SE_SACL_PRESENT) && sacl) {
        if (!OffsetFits(sacl, length, sizeof(ACL), &available) ||
            Read16(sd + sacl + 2) > available || !AclValid(sd + sacl))
            return false;
    }
    return true;
}

struct Components {
    const uint8_t *owner = nullptr;
    const uint8_t *group = nullptr;
    const uint8_t *sacl = nullptr;
    const uint8_t *dacl = nullptr;
};

/* The contents of a descriptor of either form, as SepGet...FromDescriptor
 * finds them: an ACL only while its present bit is set. */
Components Locate(const uint8_t *sd)
{
    Components c;
    USHORT control = Read16(sd + 2);
    if (control & SE_SELF_RELATIVE) {
        ULONG owner = Read32(sd + 4), group = Read32(sd + 8);
        ULONG sacl = Read32(sd + 12), dacl = Read32(sd + 16);
        c.owner = owner ? sd + owner : nullptr;
        c.group = group ? sd + group : nullptr;
        c.sacl = (control & SE_SACL_PRESENT) && sacl ? sd + sacl : nullptr;
        c.dacl = (control & SE_DACL_PRESENT) && dacl ? sd + dacl : nullptr;
    } else {
        SECURITY_DESCRIPTOR absolute;
        memcpy(&absolute, sd, sizeof(absolute));
        c.owner = (const uint8_t *)absolute.Owner;
        c.group = (const uint8_t *)absolute.Group;
        c.sacl = (control & SE_SACL_PRESENT) ? (const uint8_t *)absolute.Sacl : nullptr;
        c.dacl = (control & SE_DACL_PRESENT) ? (const uint8_t *)absolute.Dacl : nullptr;
    }
    return c;
}

struct AceEntry {
    UCHAR type;
    UCHAR flags;
    ACCESS_MASK mask;
    std::vector<uint8_t> sid;
};

std::vector<uint8_t> BuildAcl(const std::vector<AceEntry> &aces)
{
    std::vector<uint8_t> acl(sizeof(ACL), 0);
    for (const AceEntry &ace : aces) {
        size_t at = acl.size();
        USHORT size = (USHORT)(kAceSidOffset + ace.sid.size());
        acl.resize(at + size, 0);
        acl[at] = ace.type;
        acl[at + 1] = ace.flags;
        memcpy(&acl[at + 2], &size, sizeof(size));
        Write32(&acl[at + 4], ace.mask);
        memcpy(&acl[at + kAceSidOffset], ace.sid.data(), ace.sid.size());
    }
    USHORT size = (USHORT)acl.size();
    USHORT count = (USHORT)aces.size();
    acl[0] = ACL_REVISION;
    memcpy(&acl[2], &size, sizeof(size));
    memcpy(&acl[4], &count, sizeof(count));
    return acl;
}

std::vector<uint8_t> WellKnownSid(const char *text)
{
    return *SidFromString(text);
}

} // namespace

ACCESS_MASK MapGenericMask(ACCESS_MASK mask, const GenericMapping &mapping)
{
    ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ)
        mapped |= mapping.read;
    if (mask & GENERIC_WRITE)
        mapped |= mapping.write;
    if (mask & GENERIC_EXECUTE)
        mapped |= mapping.execute;
    if (mask & GENERIC_ALL)
        mapped |= mapping.all;
    return mapped;
}

std::optional<std::vector<uint8_t>> SidFromString(const std::string &text)
{
    if (text.compare(0, 4, "S-1-") != 0)
        return std::nullopt;
    std::vector<unsigned long long> numbers;
    size_t at = 4;
    for (;;) {
        size_t end = text.find('-', at);
        std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (part.empty() || part.size() > 20)
            return std::nullopt;
        bool hex = numbers.empty() && part.compare(0, 2, "0x") == 0;
        const char *digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
        if (part.find_first_not_of(digits, hex ? 2 : 0) != std::string::npos || part == "0x")
            return std::nullopt;
        numbers.push_back(std::stoull(part, nullptr, hex ? 16 : 10));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    size_t count = numbers.size() - 1;
    if (count > SID_MAX_SUB_AUTHORITIES || numbers[0] > 0xFFFFFFFFFFFFull)
        return std::nullopt;
    std::vector<uint8_t> sid(SidBytes((UCHAR)count), 0);
    sid[0] = SID_REVISION;
    sid[1] = (uint8_t)count;
    for (int i = 0; i < 6; i++)
        sid[2 + i] = (uint8_t)(numbers[0] >> (8 * (5 - i)));
    for (size_t i = 0; i < count; i++) {
        if (numbers[i + 1] > 0xFFFFFFFFull)
            return std::nullopt;
        Write32(&sid[8 + 4 * i], (ULONG)numbers[i + 1]);
    }
    return sid;
}

std::string SidToString(const uint8_t *sid)
{
    unsigned long long authority = 0;
    for (int i = 0; i < 6; i++)
        authority = (authority << 8) | sid[2 + i];
    char part[32];
    if (authority <= 0xFFFFFFFFull)
        snprintf(part, sizeof(part), "S-%u-%llu", sid[0], authority);
    else
        snprintf(part, sizeof(part), "S-%u-0x%012llX", sid[0], authority);
    std::string text = part;
    for (UCHAR i = 0; i < sid[1]; i++) {
        snprintf(part, sizeof(part), "-%u", Read32(sid + 8 + 4 * i));
        text += part;
    }
    return text;
}

NTSTATUS CaptureSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, SecurityContents *contents)
{
    const uint8_t *sd = (const uint8_t *)descriptor;
    if (sd[0] != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    Components c = Locate(sd);
    USHORT control = Read16(sd + 2);
    if ((c.owner && !SidFits(c.owner, SidBytes(SID_MAX_SUB_AUTHORITIES))) ||
        (c.group && !SidFits(c.group, SidBytes(SID_MAX_SUB_AUTHORITIES))))
        return STATUS_INVALID_SID;
    if ((c.dacl && !AclValid(c.dacl)) || (c.sacl && !AclValid(c.sacl)))
        return STATUS_INVALID_ACL;
    SecurityContents captured;
    captured.control = (SECURITY_DESCRIPTOR_CONTROL)(control & ~SE_SELF_RELATIVE);
    if (c.owner)
        captured.owner = CopySid(c.owner);
    if (c.group)
        captured.group = CopySid(c.group);
    captured.saclPresent = (control & SE_SACL_PRESENT) != 0;
    if (c.sacl)
        captured.sacl = CopyAcl(c.sacl);
    captured.daclPresent = (control & SE_DACL_PRESENT) != 0;
    if (c.dacl)
        captured.dacl = CopyAcl(c.dacl);
    *contents = std::move(captured);
    return STATUS_SUCCESS;
}

std::optional<SecurityContents> ParseSelfRelative(const std::vector<uint8_t> &bytes)
{
    SecurityContents contents;
    if (!RelativeValid(bytes.data(), bytes.size(), 0))
        return std::nullopt;
    if (!NT_SUCCESS(CaptureSecurityDescriptor((PSECURITY_DESCRIPTOR)bytes.data(), &contents)))
        return std::nullopt;
    return contents;
}

std::vector<uint8_t> BuildObjectDescriptor(const SecurityContents &contents)
{
    std::vector<uint8_t> sd(kRelativeHeaderBytes, 0);
    USHORT control = (USHORT)(contents.control & ~(SE_DACL_PRESENT | SE_SACL_PRESENT));
    control |= SE_SELF_RELATIVE;
    auto append = [&sd](const std::vector<uint8_t> &part, size_t field) {
        ULONG offset = (ULONG)sd.size();
        sd.insert(sd.end(), part.begin(), part.end());
        sd.resize(Round4((ULONG)sd.size()), 0);
        Write32(&sd[field], offset);
    };
    if (contents.owner)
        append(*contents.owner, 4);
    if (contents.group)
        append(*contents.group, 8);
    if (contents.saclPresent) {
        control |= SE_SACL_PRESENT;
        if (contents.sacl)
            append(*contents.sacl, 12);
    }
    if (contents.daclPresent) {
        control |= SE_DACL_PRESENT;
        if (contents.dacl)
            append(*contents.dacl, 16);
    }
    sd[0] = SECURITY_DESCRIPTOR_REVISION;
    memcpy(&sd[2], &control, sizeof(control));
    return sd;
}

NTSTATUS ApplySecurityInformation(std::vector<uint8_t> *stored, SECURITY_INFORMATION information,
                                  const SecurityContents &modification,
                                  const GenericMapping &mapping)
{
    if (information != DACL_SECURITY_INFORMATION)
        return STATUS_NOT_IMPLEMENTED;
    SecurityContents contents;
    if (!stored->empty()) {
        std::optional<SecurityContents> current = ParseSelfRelative(*stored);
        if (!current) {
            Violation("an object's own security descriptor is damaged");
            return STATUS_INVALID_SECURITY_DESCR;
        }
        contents = std::move(*current);
    }
    /* The DACL's own control bits come with it; the request bit for
     * automatic inheritance asks for work done at the set and is not kept. */
    const USHORT daclBits = SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED |
                            SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;
    contents.control = (SECURITY_DESCRIPTOR_CONTROL)((contents.control & ~daclBits) |
                                                  (modification.control & daclBits &
                                                   ~SE_DACL_AUTO_INHERIT_REQ));
    contents.daclPresent = modification.daclPresent;
    contents.dacl = modification.dacl;
    if (contents.dacl) {
        std::vector<uint8_t> &acl = *contents.dacl;
        USHORT count = Read16(&acl[4]);
        size_t offset = sizeof(ACL);
        for (USHORT i = 0; i < count; i++) {
            UCHAR type = acl[offset];
            UCHAR flags = acl[offset + 1];
            if (type <= ACCESS_MAX_MS_V2_ACE_TYPE && !(flags & INHERIT_ONLY_ACE))
                Write32(&acl[offset + 4], MapGenericMask(Read32(&acl[offset + 4]), mapping));
            offset += Read16(&acl[offset + 2]);
        }
    }
    *stored = BuildObjectDescriptor(contents);
    return STATUS_SUCCESS;
}

std::vector<uint8_t> DefaultDeviceSecurity()
{
    SecurityContents contents;
    contents.owner = WellKnownSid("S-1-5-32-544");
    contents.group = WellKnownSid("S-1-5-18");
    contents.daclPresent = true;
    const GenericMapping &m = kFileGenericMapping;
    contents.dacl = BuildAcl({
        { ACCESS_ALLOWED_ACE_TYPE, 0, MapGenericMask(GENERIC_ALL, m), WellKnownSid("S-1-5-18") },
        { ACCESS_ALLOWED_ACE_TYPE, 0, MapGenericMask(GENERIC_ALL, m),
          WellKnownSid("S-1-5-32-544") },
        { ACCESS_ALLOWED_ACE_TYPE, 0,
          MapGenericMask(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, m),
          WellKnownSid("S-1-1-0") },
        { ACCESS_ALLOWED_ACE_TYPE, 0, MapGenericMask(GENERIC_READ | GENERIC_EXECUTE, m),
          WellKnownSid("S-1-5-12") },
    });
    return BuildObjectDescriptor(contents);
}

} // namespace sk

using namespace sk;

BOOLEAN NTAPI RtlValidSid(PSID Sid)
{
    return (BOOLEAN)(Sid && SidFits((const uint8_t *)Sid, SidBytes(SID_MAX_SUB_AUTHORITIES)));
}

ULONG NTAPI RtlLengthSid(PSID Sid)
{
    if (!Sid) {
        Violation("RtlLengthSid: no SID");
        return 0;
    }
    return SidBytes(((const uint8_t *)Sid)[1]);
}

ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount)
{
    return 8u + 4u * SubAuthorityCount;
}

NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                UCHAR SubAuthorityCount)
{
    SK_ENTER("RtlInitializeSid");
    if (!Sid || !IdentifierAuthority) {
        Violation("RtlInitializeSid: no SID or no authority");
        return STATUS_ACCESS_VIOLATION;
    }
    if (SubAuthorityCount > SID_MAX_SUB_AUTHORITIES)
        return STATUS_INVALID_PARAMETER;
    uint8_t *sid = (uint8_t *)Sid;
    sid[0] = SID_REVISION;
    sid[1] = SubAuthorityCount;
    memcpy(sid + 2, IdentifierAuthority->Value, 6);
    return STATUS_SUCCESS;
}

PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority)
{
    uint8_t *sid = (uint8_t *)Sid;
    /* NT computes the address without a check; an index past the count
     * writes past the SID. */
    if (!sid || SubAuthority >= sid[1]) {
        Violation("RtlSubAuthoritySid: sub-authority %u of a SID with %u", SubAuthority,
                  sid ? sid[1] : 0);
        return nullptr;
    }
    return (PULONG)(sid + 8 + 4 * SubAuthority);
}

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    SK_ENTER("RtlCreateAcl");
    if (AclLength < sizeof(ACL))
        return STATUS_BUFFER_TOO_SMALL;
    /* Rounded up to four bytes, a length past 0xFFFC no longer fits the
     * 16-bit size. */
    if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION || AclLength > 0xFFFCu)
        return STATUS_INVALID_PARAMETER;
    if (!Acl) {
        Violation("RtlCreateAcl: no ACL");
        return STATUS_ACCESS_VIOLATION;
    }
    Acl->AclRevision = (UCHAR)AclRevision;
    Acl->Sbz1 = 0;
    Acl->AclSize = (USHORT)Round4(AclLength);
    Acl->AceCount = 0;
    Acl->Sbz2 = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAddAce(PACL Acl, ULONG AceRevision, ULONG StartingAceIndex, PVOID AceList,
                         ULONG AceListLength)
{
    SK_ENTER("RtlAddAce");
    if (!Acl || (AceListLength && !AceList)) {
        Violation("RtlAddAce: no ACL or no ACE list");
        return STATUS_ACCESS_VIOLATION;
    }
    uint8_t *acl = (uint8_t *)Acl;
    const uint8_t *list = (const uint8_t *)AceList;
    if (!AclValid(acl) || AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION)
        return STATUS_INVALID_PARAMETER;
    ULONG freeAt = FirstFreeAce(acl);
    if (!freeAt)
        return STATUS_INVALID_PARAMETER;
    /* The list must be whole ACEs, each allowed in an ACL of the revision. */
    ULONG offset = 0;
    USHORT added = 0;
    while (offset < AceListLength) {
        if (AceListLength - offset < sizeof(ACE_HEADER))
            return STATUS_INVALID_PARAMETER;
        UCHAR type = list[offset];
        USHORT size = Read16(list + offset + 2);
        if (size < sizeof(ACE_HEADER) || size > AceListLength - offset)
            return STATUS_INVALID_PARAMETER;
        /* The compound ACE came with revision 3, the object ACEs with 4. */
        if ((type > 0x4 && AceRevision < ACL_REVISION4) ||
            (type > ACCESS_MAX_MS_V2_ACE_TYPE && AceRevision < ACL_REVISION3))
            return STATUS_INVALID_PARAMETER;
        offset += size;
        added++;
    }
    if (freeAt + AceListLength > Acl->AclSize)
        return STATUS_BUFFER_TOO_SMALL;
    ULONG insertAt = sizeof(ACL);
    for (USHORT i = 0; i < Acl->AceCount && i < StartingAceIndex; i++)
        insertAt += Read16(acl + insertAt + 2);
    memmove(acl + insertAt + AceListLength, acl + insertAt, freeAt - insertAt);
    memcpy(acl + insertAt, list, AceListLength);
    Acl->AceCount = (USHORT)(Acl->AceCount + added);
    Acl->AclRevision = (UCHAR)std::max<ULONG>(Acl->AclRevision, AceRevision);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    SK_ENTER("RtlCreateSecurityDescriptor");
    if (Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (!SecurityDescriptor) {
        Violation("RtlCreateSecurityDescriptor: no descriptor");
        return STATUS_ACCESS_VIOLATION;
    }
    memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    ((PISECURITY_DESCRIPTOR)SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            BOOLEAN DaclPresent, PACL Dacl,
                                            BOOLEAN DaclDefaulted)
{
    SK_ENTER("RtlSetDaclSecurityDescriptor");
    PISECURITY_DESCRIPTOR sd = (PISECURITY_DESCRIPTOR)SecurityDescriptor;
    if (!sd) {
        Violation("RtlSetDaclSecurityDescriptor: no descriptor");
        return STATUS_ACCESS_VIOLATION;
    }
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (sd->Control & SE_SELF_RELATIVE)
        return STATUS_INVALID_SECURITY_DESCR;
    if (!DaclPresent) {
        sd->Control &= (SECURITY_DESCRIPTOR_CONTROL)~SE_DACL_PRESENT;
        return STATUS_SUCCESS;
    }
    sd->Dacl = Dacl;
    sd->Control |= SE_DACL_PRESENT;
    sd->Control &= (SECURITY_DESCRIPTOR_CONTROL)~SE_DACL_DEFAULTED;
    if (DaclDefaulted)
        sd->Control |= SE_DACL_DEFAULTED;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            PBOOLEAN DaclPresent, PACL *Dacl,
                                            PBOOLEAN DaclDefaulted)
{
    SK_ENTER("RtlGetDaclSecurityDescriptor");
    if (!SecurityDescriptor || !DaclPresent || !Dacl || !DaclDefaulted) {
        Violation("RtlGetDaclSecurityDescriptor: a missing argument");
        return STATUS_ACCESS_VIOLATION;
    }
    const uint8_t *sd = (const uint8_t *)SecurityDescriptor;
    if (sd[0] != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    USHORT control = Read16(sd + 2);
    *DaclPresent = (control & SE_DACL_PRESENT) ? TRUE : FALSE;
    /* Without a DACL the other two are left as they were. */
    if (*DaclPresent) {
        *Dacl = (PACL)Locate(sd).dacl;
        *DaclDefaulted = (control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    return STATUS_SUCCESS;
}

ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    if (!SecurityDescriptor) {
        Violation("RtlLengthSecurityDescriptor: no descriptor");
        return 0;
    }
    const uint8_t *sd = (const uint8_t *)SecurityDescriptor;
    Components c = Locate(sd);
    ULONG length = (Read16(sd + 2) & SE_SELF_RELATIVE) ? kRelativeHeaderBytes
                                                       : (ULONG)sizeof(SECURITY_DESCRIPTOR);
    if (c.owner)
        length += Round4(SidBytes(c.owner[1]));
    if (c.group)
        length += Round4(SidBytes(c.group[1]));
    if (c.dacl)
        length += Round4(Read16(c.dacl + 2));
    if (c.sacl)
        length += Round4(Read16(c.sacl + 2));
    return length;
}

NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                           PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                           PULONG BufferLength)
{
    SK_ENTER("RtlAbsoluteToSelfRelativeSD");
    if (!AbsoluteSecurityDescriptor || !BufferLength) {
        Violation("RtlAbsoluteToSelfRelativeSD: no descriptor or no length");
        return STATUS_ACCESS_VIOLATION;
    }
    const uint8_t *sd = (const uint8_t *)AbsoluteSecurityDescriptor;
    USHORT control = Read16(sd + 2);
    if (control & SE_SELF_RELATIVE)
        return STATUS_BAD_DESCRIPTOR_FORMAT;
    Components c = Locate(sd);
    ULONG owner = c.owner ? Round4(SidBytes(c.owner[1])) : 0;
    ULONG group = c.group ? Round4(SidBytes(c.group[1])) : 0;
    ULONG sacl = c.sacl ? Round4(Read16(c.sacl + 2)) : 0;
    ULONG dacl = c.dacl ? Round4(Read16(c.dacl + 2)) : 0;
    ULONG total = kRelativeHeaderBytes + owner + group + sacl + dacl;
    if (*BufferLength < total) {
        *BufferLength = total;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!SelfRelativeSecurityDescriptor) {
        Violation("RtlAbsoluteToSelfRelativeSD: a length of %u without a buffer", *BufferLength);
        return STATUS_ACCESS_VIOLATION;
    }
    uint8_t *out = (uint8_t *)SelfRelativeSecurityDescriptor;
    memset(out, 0, total);
    out[0] = sd[0];
    out[1] = sd[1];
    USHORT relativeControl = (USHORT)(control | SE_SELF_RELATIVE);
    memcpy(out + 2, &relativeControl, sizeof(relativeControl));
    ULONG at = kRelativeHeaderBytes;
    auto place = [&](const uint8_t *part, ULONG bytes, ULONG copy, size_t field) {
        if (!part)
            return;
        memcpy(out + at, part, copy);
        Write32(out + field, at);
        at += bytes;
    };
    place(c.sacl, sacl, c.sacl ? Read16(c.sacl + 2) : 0, 12);
    place(c.dacl, dacl, c.dacl ? Read16(c.dacl + 2) : 0, 16);
    place(c.owner, owner, c.owner ? SidBytes(c.owner[1]) : 0, 4);
    place(c.group, group, c.group ? SidBytes(c.group[1]) : 0, 8);
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                 ULONG SecurityDescriptorLength,
                                                 SECURITY_INFORMATION RequiredInformation)
{
    if (!SecurityDescriptorInput)
        return FALSE;
    return (BOOLEAN)RelativeValid((const uint8_t *)SecurityDescriptorInput,
                                  SecurityDescriptorLength, RequiredInformation);
}
