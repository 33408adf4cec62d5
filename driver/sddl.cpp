/*
 * sddl.cpp - SecurityDescriptorFromSddl: the device-object subset of the
 * security descriptor language turned into a self-relative descriptor
 * holding one DACL.
 *
 * One parser reads the string twice: the first pass checks all of it and
 * sizes the ACL, the second adds the ACEs to an ACL of exactly that size,
 * so nothing is allocated for a string that is refused.  Nothing at or
 * beyond the string's Length is read.  SIDs are built with the Rtl SID
 * routines straight into the ACE that carries them, and the ACEs enter the
 * ACL through RtlAddAce, which takes allow and deny ACEs alike.
 */
#include "driver/device_secure.h"

namespace {

struct SddlReader {
    PCWCH Text;
    ULONG Length; /* characters */
    ULONG Position;
};

/* One ACE as the string gives it. */
struct SddlAce {
    UCHAR Type;
    UCHAR Flags;
    ACCESS_MASK Mask;
    SID_IDENTIFIER_AUTHORITY Authority;
    UCHAR SubAuthorityCount;
    ULONG SubAuthority[SID_MAX_SUB_AUTHORITIES];
};

/* A two-letter word of the language and what it stands for. */
struct SddlWord {
    WCHAR First;
    WCHAR Second;
    ULONG Value;
};

const SddlWord AceFlagWords[] = {
    { QTEXT('O'), QTEXT('I'), OBJECT_INHERIT_ACE },
    { QTEXT('C'), QTEXT('I'), CONTAINER_INHERIT_ACE },
    { QTEXT('N'), QTEXT('P'), NO_PROPAGATE_INHERIT_ACE },
    { QTEXT('I'), QTEXT('O'), INHERIT_ONLY_ACE },
    { QTEXT('I'), QTEXT('D'), INHERITED_ACE },
    { QTEXT('S'), QTEXT('A'), SUCCESSFUL_ACCESS_ACE_FLAG },
    { QTEXT('F'), QTEXT('A'), FAILED_ACCESS_ACE_FLAG },
};

const SddlWord RightWords[] = {
    { QTEXT('G'), QTEXT('A'), GENERIC_ALL },
    { QTEXT('G'), QTEXT('R'), GENERIC_READ },
    { QTEXT('G'), QTEXT('W'), GENERIC_WRITE },
    { QTEXT('G'), QTEXT('X'), GENERIC_EXECUTE },
    { QTEXT('R'), QTEXT('C'), READ_CONTROL },
    { QTEXT('S'), QTEXT('D'), DELETE },
    { QTEXT('W'), QTEXT('D'), WRITE_DAC },
    { QTEXT('W'), QTEXT('O'), WRITE_OWNER },
    { QTEXT('F'), QTEXT('A'), FILE_ALL_ACCESS },
    { QTEXT('F'), QTEXT('R'), FILE_GENERIC_READ },
    { QTEXT('F'), QTEXT('W'), FILE_GENERIC_WRITE },
    { QTEXT('F'), QTEXT('X'), FILE_GENERIC_EXECUTE },
    { QTEXT('K'), QTEXT('A'), KEY_ALL_ACCESS },
    { QTEXT('K'), QTEXT('R'), KEY_READ },
    { QTEXT('K'), QTEXT('W'), KEY_WRITE },
    { QTEXT('K'), QTEXT('X'), KEY_EXECUTE },
};

/* The well-known SIDs a device descriptor names by alias: the identifier
 * authority's last byte and the sub-authorities.  Aliases relative to a
 * domain have no meaning before the system knows its domain, and are
 * refused. */
struct SddlAlias {
    WCHAR First;
    WCHAR Second;
    UCHAR Authority;
    UCHAR Count;
    ULONG SubAuthority[6];
};

const SddlAlias SidAliases[] = {
    { QTEXT('W'), QTEXT('D'), 1, 1, { 0 } },       /* Everyone */
    { QTEXT('C'), QTEXT('O'), 3, 1, { 0 } },       /* Creator owner */
    { QTEXT('C'), QTEXT('G'), 3, 1, { 1 } },       /* Creator group */
    { QTEXT('O'), QTEXT('W'), 3, 1, { 4 } },       /* Owner rights */
    { QTEXT('N'), QTEXT('U'), 5, 1, { 2 } },       /* Network logon */
    { QTEXT('I'), QTEXT('U'), 5, 1, { 4 } },       /* Interactive logon */
    { QTEXT('S'), QTEXT('U'), 5, 1, { 6 } },       /* Service logon */
    { QTEXT('A'), QTEXT('N'), 5, 1, { 7 } },       /* Anonymous */
    { QTEXT('E'), QTEXT('D'), 5, 1, { 9 } },       /* Enterprise domain controllers */
    { QTEXT('P'), QTEXT('S'), 5, 1, { 10 } },      /* Principal self */
    { QTEXT('A'), QTEXT('U'), 5, 1, { 11 } },      /* Authenticated users */
    { QTEXT('R'), QTEXT('C'), 5, 1, { 12 } },      /* Restricted code */
    { QTEXT('S'), QTEXT('Y'), 5, 1, { 18 } },      /* Local system */
    { QTEXT('L'), QTEXT('S'), 5, 1, { 19 } },      /* Local service */
    { QTEXT('N'), QTEXT('S'), 5, 1, { 20 } },      /* Network service */
    { QTEXT('B'), QTEXT('A'), 5, 2, { 32, 544 } }, /* Administrators */
    { QTEXT('B'), QTEXT('U'), 5, 2, { 32, 545 } }, /* Users */
    { QTEXT('B'), QTEXT('G'), 5, 2, { 32, 546 } }, /* Guests */
    { QTEXT('P'), QTEXT('U'), 5, 2, { 32, 547 } }, /* Power users */
    { QTEXT('A'), QTEXT('O'), 5, 2, { 32, 548 } }, /* Account operators */
    { QTEXT('S'), QTEXT('O'), 5, 2, { 32, 549 } }, /* Server operators */
    { QTEXT('P'), QTEXT('O'), 5, 2, { 32, 550 } }, /* Print operators */
    { QTEXT('B'), QTEXT('O'), 5, 2, { 32, 551 } }, /* Backup operators */
    { QTEXT('R'), QTEXT('E'), 5, 2, { 32, 552 } }, /* Replicator */
    { QTEXT('R'), QTEXT('U'), 5, 2, { 32, 554 } }, /* Pre-Windows 2000 access */
    { QTEXT('R'), QTEXT('D'), 5, 2, { 32, 555 } }, /* Remote desktop users */
    { QTEXT('N'), QTEXT('O'), 5, 2, { 32, 556 } }, /* Network configuration operators */
    { QTEXT('A'), QTEXT('C'), 15, 2, { 2, 1 } },   /* All application packages */
    { QTEXT('U'), QTEXT('D'), 5, 6, { 84, 0, 0, 0, 0, 0 } }, /* User-mode drivers */
};

#define SDDL_WORD_COUNT(table) (sizeof(table) / sizeof((table)[0]))
/* RtlAddAce appends at an index past the last ACE. */
#define ACE_INDEX_APPEND 0xFFFFFFFFu
/* The largest ACL: its size is 16 bits and a multiple of four.  No string
 * a counted string can hold comes near it, but the size is checked all the
 * same before it is narrowed. */
#define SDDL_MAX_ACL_BYTES 0xFFFCu

BOOLEAN Peek(const SddlReader *Reader, ULONG Ahead, WCHAR Character)
{
    return (BOOLEAN)(Reader->Length - Reader->Position > Ahead &&
                     Reader->Text[Reader->Position + Ahead] == Character);
}

BOOLEAN Accept(SddlReader *Reader, WCHAR Character)
{
    if (!Peek(Reader, 0, Character))
        return FALSE;
    Reader->Position++;
    return TRUE;
}

/* Takes the two letters at the position if they are one of the words. */
BOOLEAN AcceptWord(SddlReader *Reader, const SddlWord *Words, ULONG Count, PULONG Value)
{
    for (ULONG i = 0; i < Count; i++) {
        if (Peek(Reader, 0, Words[i].First) && Peek(Reader, 1, Words[i].Second)) {
            Reader->Position += 2;
            *Value = Words[i].Value;
            return TRUE;
        }
    }
    return FALSE;
}

/* Decimal digits up to Limit; at least one digit. */
BOOLEAN AcceptDecimal(SddlReader *Reader, ULONGLONG Limit, ULONGLONG *Value)
{
    ULONG start = Reader->Position;
    ULONGLONG value = 0;
    while (Reader->Position < Reader->Length) {
        WCHAR c = Reader->Text[Reader->Position];
        if (c < QTEXT('0') || c > QTEXT('9'))
            break;
        value = value * 10 + (ULONG)(c - QTEXT('0'));
        if (value > Limit)
            return FALSE;
        Reader->Position++;
    }
    *Value = value;
    return (BOOLEAN)(Reader->Position > start);
}

/* "0x" and hex digits up to Limit; at least one digit. */
BOOLEAN AcceptHex(SddlReader *Reader, ULONGLONG Limit, ULONGLONG *Value)
{
    ULONG start;
    ULONGLONG value = 0;
    if (!Peek(Reader, 0, QTEXT('0')) || !Peek(Reader, 1, QTEXT('x')))
        return FALSE;
    Reader->Position += 2;
    start = Reader->Position;
    while (Reader->Position < Reader->Length) {
        WCHAR c = Reader->Text[Reader->Position];
        ULONG digit;
        if (c >= QTEXT('0') && c <= QTEXT('9'))
            digit = (ULONG)(c - QTEXT('0'));
        else if (c >= QTEXT('A') && c <= QTEXT('F'))
            digit = (ULONG)(c - QTEXT('A')) + 10;
        else if (c >= QTEXT('a') && c <= QTEXT('f'))
            digit = (ULONG)(c - QTEXT('a')) + 10;
        else
            break;
        value = value * 16 + digit;
        if (value > Limit)
            return FALSE;
        Reader->Position++;
    }
    *Value = value;
    return (BOOLEAN)(Reader->Position > start);
}

/* "S-1-authority-sub-...": the authority in decimal (32 bits) or hex (48
 * bits), then up to SID_MAX_SUB_AUTHORITIES decimal sub-authorities. */
BOOLEAN AcceptSidString(SddlReader *Reader, SddlAce *Ace)
{
    ULONGLONG authority;
    ULONGLONG sub;
    if (!Accept(Reader, QTEXT('S')) || !Accept(Reader, QTEXT('-')) ||
        !Accept(Reader, QTEXT('1')) || !Accept(Reader, QTEXT('-')))
        return FALSE;
    if (Peek(Reader, 0, QTEXT('0')) && Peek(Reader, 1, QTEXT('x'))) {
        if (!AcceptHex(Reader, 0xFFFFFFFFFFFFull, &authority))
            return FALSE;
    } else if (!AcceptDecimal(Reader, 0xFFFFFFFFull, &authority)) {
        return FALSE;
    }
    for (ULONG i = 0; i < 6; i++)
        Ace->Authority.Value[i] = (UCHAR)(authority >> (8 * (5 - i)));
    Ace->SubAuthorityCount = 0;
    while (Accept(Reader, QTEXT('-'))) {
        if (Ace->SubAuthorityCount == SID_MAX_SUB_AUTHORITIES ||
            !AcceptDecimal(Reader, 0xFFFFFFFFull, &sub))
            return FALSE;
        Ace->SubAuthority[Ace->SubAuthorityCount++] = (ULONG)sub;
    }
    return TRUE;
}

BOOLEAN AcceptSidAlias(SddlReader *Reader, SddlAce *Ace)
{
    for (ULONG i = 0; i < SDDL_WORD_COUNT(SidAliases); i++) {
        const SddlAlias *alias = &SidAliases[i];
        if (Peek(Reader, 0, alias->First) && Peek(Reader, 1, alias->Second)) {
            Reader->Position += 2;
            RtlZeroMemory(&Ace->Authority, sizeof(Ace->Authority));
            Ace->Authority.Value[5] = alias->Authority;
            Ace->SubAuthorityCount = alias->Count;
            for (ULONG j = 0; j < alias->Count; j++)
                Ace->SubAuthority[j] = alias->SubAuthority[j];
            return TRUE;
        }
    }
    return FALSE;
}

/* The rights field: one hex mask, or letter pairs OR-ed together, or
 * nothing at all. */
BOOLEAN AcceptRights(SddlReader *Reader, PACCESS_MASK Mask)
{
    ULONGLONG hex;
    ULONG right;
    *Mask = 0;
    if (Peek(Reader, 0, QTEXT('0'))) {
        if (!AcceptHex(Reader, 0xFFFFFFFFull, &hex))
            return FALSE;
        *Mask = (ACCESS_MASK)hex;
        return TRUE;
    }
    while (AcceptWord(Reader, RightWords, SDDL_WORD_COUNT(RightWords), &right))
        *Mask |= right;
    return TRUE;
}

/* One "(type;flags;rights;;;sid)". */
BOOLEAN AcceptAce(SddlReader *Reader, SddlAce *Ace)
{
    ULONG flag;
    if (!Accept(Reader, QTEXT('(')))
        return FALSE;
    if (Accept(Reader, QTEXT('A')))
        Ace->Type = ACCESS_ALLOWED_ACE_TYPE;
    else if (Accept(Reader, QTEXT('D')))
        Ace->Type = ACCESS_DENIED_ACE_TYPE;
    else
        return FALSE;
    if (!Accept(Reader, QTEXT(';')))
        return FALSE;
    Ace->Flags = 0;
    while (AcceptWord(Reader, AceFlagWords, SDDL_WORD_COUNT(AceFlagWords), &flag))
        Ace->Flags |= (UCHAR)flag;
    if (!Accept(Reader, QTEXT(';')) || !AcceptRights(Reader, &Ace->Mask))
        return FALSE;
    /* The object type and inherited object type: object ACEs are not part
     * of the subset, so both stay empty. */
    if (!Accept(Reader, QTEXT(';')) || !Accept(Reader, QTEXT(';')) || !Accept(Reader, QTEXT(';')))
        return FALSE;
    if (Peek(Reader, 0, QTEXT('S')) && Peek(Reader, 1, QTEXT('-'))) {
        if (!AcceptSidString(Reader, Ace))
            return FALSE;
    } else if (!AcceptSidAlias(Reader, Ace)) {
        return FALSE;
    }
    return Accept(Reader, QTEXT(')'));
}

/* "D:" and the DACL flags. */
BOOLEAN AcceptDaclHeader(SddlReader *Reader, SECURITY_DESCRIPTOR_CONTROL *Control)
{
    *Control = 0;
    if (!Accept(Reader, QTEXT('D')) || !Accept(Reader, QTEXT(':')))
        return FALSE;
    for (;;) {
        if (Accept(Reader, QTEXT('P'))) {
            *Control |= SE_DACL_PROTECTED;
        } else if (Peek(Reader, 0, QTEXT('A')) && Peek(Reader, 1, QTEXT('I'))) {
            Reader->Position += 2;
            *Control |= SE_DACL_AUTO_INHERITED;
        } else if (Peek(Reader, 0, QTEXT('A')) && Peek(Reader, 1, QTEXT('R'))) {
            Reader->Position += 2;
            *Control |= SE_DACL_AUTO_INHERIT_REQ;
        } else {
            return TRUE;
        }
    }
}

ULONG AceBytes(const SddlAce *Ace)
{
    return FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + RtlLengthRequiredSid(Ace->SubAuthorityCount);
}

/* The first pass: the whole string is well formed and its ACL fits. */
NTSTATUS MeasureDacl(PCUNICODE_STRING Sddl, SECURITY_DESCRIPTOR_CONTROL *Control, PULONG AclBytes)
{
    SddlReader reader = { Sddl->Buffer, (ULONG)(Sddl->Length / sizeof(WCHAR)), 0 };
    SddlAce ace;
    ULONG bytes = sizeof(ACL);

    if (!AcceptDaclHeader(&reader, Control))
        return STATUS_INVALID_PARAMETER;
    while (reader.Position < reader.Length) {
        if (!AcceptAce(&reader, &ace))
            return STATUS_INVALID_PARAMETER;
        bytes += AceBytes(&ace);
        if (bytes > SDDL_MAX_ACL_BYTES)
            return STATUS_INVALID_PARAMETER;
    }
    *AclBytes = bytes;
    return STATUS_SUCCESS;
}

/* The second pass over a string the first one accepted. */
NTSTATUS FillDacl(PCUNICODE_STRING Sddl, PACL Acl)
{
    SddlReader reader = { Sddl->Buffer, (ULONG)(Sddl->Length / sizeof(WCHAR)), 0 };
    SECURITY_DESCRIPTOR_CONTROL control;
    SddlAce ace;
    /* One ACE with the longest SID, kept ULONG-aligned. */
    ULONG buffer[(FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + 8 + sizeof(ULONG) * SID_MAX_SUB_AUTHORITIES) /
                 sizeof(ULONG)];
    PACCESS_ALLOWED_ACE entry = (PACCESS_ALLOWED_ACE)buffer;
    PSID sid = (PSID)&entry->SidStart;
    NTSTATUS status = STATUS_SUCCESS;

    AcceptDaclHeader(&reader, &control);
    while (NT_SUCCESS(status) && reader.Position < reader.Length) {
        AcceptAce(&reader, &ace);
        entry->Header.AceType = ace.Type;
        entry->Header.AceFlags = ace.Flags;
        entry->Header.AceSize = (USHORT)AceBytes(&ace);
        entry->Mask = ace.Mask;
        status = RtlInitializeSid(sid, &ace.Authority, ace.SubAuthorityCount);
        if (!NT_SUCCESS(status))
            break;
        for (UCHAR i = 0; i < ace.SubAuthorityCount; i++)
            *RtlSubAuthoritySid(sid, i) = ace.SubAuthority[i];
        status = RtlAddAce(Acl, ACL_REVISION, ACE_INDEX_APPEND, entry, entry->Header.AceSize);
    }
    return status;
}

} // namespace

NTSTATUS SecurityDescriptorFromSddl(PCUNICODE_STRING Sddl, PSECURITY_DESCRIPTOR *Descriptor,
                                    PULONG Length)
{
    NTSTATUS status;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    ULONG aclBytes = 0;
    ULONG length = 0;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR relative = nullptr;
    SECURITY_DESCRIPTOR absolute;

    if (!Sddl || !Descriptor || !Length || (Sddl->Length && !Sddl->Buffer) || (Sddl->Length & 1))
        return STATUS_INVALID_PARAMETER;
    status = MeasureDacl(Sddl, &control, &aclBytes);
    if (!NT_SUCCESS(status))
        goto Exit;

    acl = (PACL)AllocatePool(PoolPaged, aclBytes);
    if (!acl) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    status = RtlCreateAcl(acl, aclBytes, ACL_REVISION);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = FillDacl(Sddl, acl);
    if (!NT_SUCCESS(status))
        goto Exit;

    status = RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE);
    if (!NT_SUCCESS(status))
        goto Exit;
    absolute.Control |= control;

    /* The size probe must answer that the (absent) buffer is too small;
     * anything else leaves no descriptor to hand out. */
    status = RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        if (NT_SUCCESS(status))
            status = STATUS_UNSUCCESSFUL;
        goto Exit;
    }
    relative = AllocatePool(PoolPaged, length);
    if (!relative) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    status = RtlAbsoluteToSelfRelativeSD(&absolute, relative, &length);
    if (!NT_SUCCESS(status))
        goto Exit;
    *Descriptor = relative;
    *Length = length;
    relative = nullptr;

Exit:
    if (relative)
        ExFreePoolWithTag(relative, QELMBAR_TAG);
    if (acl)
        ExFreePoolWithTag(acl, QELMBAR_TAG);
    return status;
}
