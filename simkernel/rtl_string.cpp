/*
 * rtl_string.cpp - the Rtl routines on counted UTF-16 strings, with NT's
 * case folding.
 *
 * Counted strings are read up to Length and never beyond: a Buffer need
 * not be NUL-terminated, and these routines do not look for a NUL in it.
 * Only RtlInitUnicodeString and the routines that take a plain PCWSTR
 * search for a terminator.  A Length above MaximumLength, or an odd
 * length, is a violation: the driver never builds such a string.
 */
#include "simkernel/internal.h"
#include "simkernel/upcase.h"

namespace sk {

namespace {

size_t TerminatedLength(const WCHAR *text)
{
    size_t n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

bool CheckCounted(const char *routine, PCUNICODE_STRING s)
{
    if (!s) {
        Violation("%s: null string", routine);
        return false;
    }
    if ((s->Length & 1) || (s->MaximumLength & 1) || s->Length > s->MaximumLength) {
        Violation("%s: malformed string (Length %u, MaximumLength %u)", routine, s->Length,
                  s->MaximumLength);
        return false;
    }
    if (s->Length && !s->Buffer) {
        Violation("%s: string of %u bytes without a buffer", routine, s->Length);
        return false;
    }
    return true;
}

/* A string the routine writes into must have the buffer its MaximumLength
 * claims. */
bool CheckDestination(const char *routine, PCUNICODE_STRING s)
{
    if (!CheckCounted(routine, s))
        return false;
    if (s->MaximumLength && !s->Buffer) {
        Violation("%s: destination of %u bytes without a buffer", routine, s->MaximumLength);
        return false;
    }
    return true;
}

int CompareCounted(const WCHAR *a, size_t na, const WCHAR *b, size_t nb, bool ignoreCase)
{
    size_t n = na < nb ? na : nb;
    for (size_t i = 0; i < n; i++) {
        WCHAR ca = ignoreCase ? Upcase(a[i]) : a[i];
        WCHAR cb = ignoreCase ? Upcase(b[i]) : b[i];
        if (ca != cb)
            return (int)ca - (int)cb;
    }
    return (int)na - (int)nb;
}

} // namespace

} // namespace sk

using namespace sk;

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return Upcase(SourceCharacter);
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (!DestinationString) {
        Violation("RtlInitUnicodeString: null destination");
        return;
    }
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = TerminatedLength(SourceString) * sizeof(WCHAR);
    /* NT caps the length so that MaximumLength still fits 16 bits. */
    if (bytes > 0xFFFC)
        bytes = 0xFFFC;
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    DestinationString->Buffer = (PWSTR)SourceString;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive)
{
    if (!CheckCounted("RtlCompareUnicodeString", String1) ||
        !CheckCounted("RtlCompareUnicodeString", String2))
        return 0;
    return CompareCounted(String1->Buffer, String1->Length / sizeof(WCHAR), String2->Buffer,
                          String2->Length / sizeof(WCHAR), CaseInSensitive != FALSE);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive)
{
    if (!CheckCounted("RtlEqualUnicodeString", String1) ||
        !CheckCounted("RtlEqualUnicodeString", String2))
        return FALSE;
    if (String1->Length != String2->Length)
        return FALSE;
    return CompareCounted(String1->Buffer, String1->Length / sizeof(WCHAR), String2->Buffer,
                          String2->Length / sizeof(WCHAR), CaseInSensitive != FALSE) == 0;
}

/* True when String1 is a prefix of String2. */
BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                     BOOLEAN CaseInSensitive)
{
    if (!CheckCounted("RtlPrefixUnicodeString", String1) ||
        !CheckCounted("RtlPrefixUnicodeString", String2))
        return FALSE;
    if (String1->Length > String2->Length)
        return FALSE;
    size_t n = String1->Length / sizeof(WCHAR);
    return CompareCounted(String1->Buffer, n, String2->Buffer, n, CaseInSensitive != FALSE) == 0;
}

/* Copies as much as fits and NUL-terminates when there is room, as NT does.
 * A null source gives an empty destination. */
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!CheckDestination("RtlCopyUnicodeString", DestinationString))
        return;
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    if (!CheckCounted("RtlCopyUnicodeString", SourceString))
        return;
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = DestinationString->MaximumLength;
    if (bytes)
        memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

static NTSTATUS AppendCounted(PUNICODE_STRING Destination, const WCHAR *source, size_t bytes)
{
    if (bytes == 0)
        return STATUS_SUCCESS;
    if (Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((PUCHAR)Destination->Buffer + Destination->Length, source, bytes);
    Destination->Length = (USHORT)(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    SK_ENTER("RtlAppendUnicodeToString");
    if (!CheckDestination("RtlAppendUnicodeToString", Destination))
        return STATUS_INVALID_PARAMETER;
    if (!Source)
        return STATUS_SUCCESS;
    return AppendCounted(Destination, Source, TerminatedLength(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source)
{
    SK_ENTER("RtlAppendUnicodeStringToString");
    if (!CheckDestination("RtlAppendUnicodeStringToString", Destination) ||
        !CheckCounted("RtlAppendUnicodeStringToString", Source))
        return STATUS_INVALID_PARAMETER;
    return AppendCounted(Destination, Source->Buffer, Source->Length);
}

/* The kernel's _wcsicmp compares lower-cased characters up to the first
 * NUL, so its sign can differ from an upcase comparison between letters and
 * the characters that sort between 'Z' and 'a'. */
int _wcsicmp(const WCHAR *String1, const WCHAR *String2)
{
    for (size_t i = 0;; i++) {
        WCHAR a = Downcase(String1[i]);
        WCHAR b = Downcase(String2[i]);
        if (a != b)
            return (int)a - (int)b;
        if (a == 0)
            return 0;
    }
}
