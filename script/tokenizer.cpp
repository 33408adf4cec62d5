/*
 * tokenizer.cpp - cuts a script into tokens for the parser.
 *
 * A pull tokenizer: it keeps no state between calls, all of it is the
 * caller's position.  Reads are bounded by the caller's length; anything at
 * or beyond it reads as NUL, so a script is never read outside its value.
 * The text of word and string tokens is copied into pool blocks that the
 * caller then owns.
 */
#include "script/script.h"

namespace {

/* Searched in this order; entry i < 17 is the keyword of OperationKind i. */
const UNICODE_STRING KeywordTable[] = {
    QSTRING("CopyFile"),  QSTRING("MoveFile"),    QSTRING("DeleteFile"),     QSTRING("CopyDir"),
    QSTRING("MoveDir"),   QSTRING("RemoveDir"),   QSTRING("RenameFile"),     QSTRING("RenameDir"),
    QSTRING("CreateDir"), QSTRING("CreateKey"),   QSTRING("SetKeyValue"),    QSTRING("DeleteKey"),
    QSTRING("DeleteKeyValue"), QSTRING("MoveKey"), QSTRING("CopyKey"),       QSTRING("RenameKey"),
    QSTRING("RenameValue"), QSTRING("true"),      QSTRING("false"),
};

const ULONG KeywordTrue = 17;
const ULONG KeywordFalse = 18;
const ULONG KeywordCount = sizeof(KeywordTable) / sizeof(KeywordTable[0]);

static_assert(sizeof(KeywordTable) / sizeof(KeywordTable[0]) == OPERATION_KIND_COUNT + 2,
              "seventeen keywords and two booleans");

inline WCHAR CharAt(PCWSTR Text, ULONG Length, ULONG Index)
{
    return Index < Length ? Text[Index] : (WCHAR)0;
}

inline BOOLEAN IsBlank(WCHAR c)
{
    return c == 0x20 || c == 0x09;
}

inline BOOLEAN IsWordStart(WCHAR c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

inline BOOLEAN IsWordCharacter(WCHAR c)
{
    return IsWordStart(c) || (c >= '0' && c <= '9');
}

Token EmptyToken()
{
    Token token;
    RtlZeroMemory(&token, sizeof(token));
    return token;
}

/* Copies Count characters from Source into a new pool block described by
 * Text.  An empty copy allocates nothing. */
BOOLEAN CopyTokenText(PCWSTR Source, ULONG Count, UNICODE_STRING *Text)
{
    USHORT bytes = (USHORT)(Count * sizeof(WCHAR));
    Text->Buffer = nullptr;
    Text->Length = Text->MaximumLength = 0;
    if (Count == 0)
        return TRUE;
    PWCH copy = (PWCH)AllocatePool(PoolPaged, bytes);
    if (!copy)
        return FALSE;
    RtlCopyMemory(copy, Source, bytes);
    Text->Buffer = copy;
    Text->Length = Text->MaximumLength = bytes;
    return TRUE;
}

/* The current character is the opening double quote at *Position. */
Token ScanQuotedString(PCWSTR Text, ULONG Length, PULONG Position)
{
    Token token = EmptyToken();
    ULONG open = *Position;
    ULONG index = open + 1;
    WCHAR c;

    while ((c = CharAt(Text, Length, index)) != 0 && c != '"')
        index++;
    *Position = index;
    if (c == 0)
        return token; /* unterminated: the position stays on the NUL */

    ULONG count = index - (open + 1);
    if (count > SCRIPT_MAX_TOKEN_CHARS)
        return token; /* longer than a counted string can describe */
    if (!CopyTokenText(Text + open + 1, count, &token.Text)) {
        token.Kind = TokenNoMemory;
        return token;
    }
    token.Kind = TokenString;
    *Position = index + 1;
    return token;
}

} // namespace

Token ScanWord(PCWSTR Text, ULONG Length, PULONG Position)
{
    Token token = EmptyToken();
    if (!Text || !Position || !IsWordStart(CharAt(Text, Length, *Position)))
        return token;

    ULONG start = *Position;
    ULONG end = start;
    while (IsWordCharacter(CharAt(Text, Length, end)))
        end++;
    ULONG count = end - start;
    if (count > SCRIPT_MAX_TOKEN_CHARS)
        return token; /* never compared or copied with a wrapped length */

    UNICODE_STRING word;
    word.Length = word.MaximumLength = (USHORT)(count * sizeof(WCHAR));
    word.Buffer = (PWCH)(Text + start);
    *Position = end;

    for (ULONG i = 0; i < KeywordCount; i++) {
        if (RtlCompareUnicodeString(&word, &KeywordTable[i], TRUE) != 0)
            continue;
        if (i == KeywordTrue || i == KeywordFalse) {
            token.Kind = TokenBoolean;
            token.Value = (BOOLEAN)(i == KeywordTrue);
        } else {
            token.Kind = (TokenKind)(TokenKeywordFirst + i);
        }
        return token;
    }

    /* No keyword.  Without memory the word comes back without its text; it
     * is a syntax error wherever it stands, so nothing is lost. */
    token.Kind = TokenWord;
    CopyTokenText(word.Buffer, count, &token.Text);
    return token;
}

Token NextToken(PCWSTR Text, ULONG Length, PULONG Position)
{
    Token token = EmptyToken();
    if (!Text || !Position)
        return token;

    ULONG position = *Position;
    while (IsBlank(CharAt(Text, Length, position)))
        position++;
    *Position = position;

    WCHAR c = CharAt(Text, Length, position);
    switch (c) {
    case 0:
        /* The list ends at a NUL with nothing but NULs after it; any other
         * NUL ends one string, even an empty one. */
        if (position >= Length) {
            token.Kind = TokenEndOfList;
        } else {
            token.Kind = TokenEndOfString;
            *Position = position + 1;
        }
        return token;
    case '(':
        token.Kind = TokenOpenParen;
        *Position = position + 1;
        return token;
    case ')':
        token.Kind = TokenCloseParen;
        *Position = position + 1;
        return token;
    case ',':
        token.Kind = TokenComma;
        *Position = position + 1;
        return token;
    case '"':
        return ScanQuotedString(Text, Length, Position);
    default:
        if (IsWordStart(c))
            return ScanWord(Text, Length, Position);
        return token; /* starts no token; the position stays on it */
    }
}

VOID ReleaseToken(Token *Token)
{
    if (!Token)
        return;
    if ((Token->Kind == TokenWord || Token->Kind == TokenString) && Token->Text.Buffer)
        ExFreePoolWithTag(Token->Text.Buffer, QELMBAR_TAG);
    if (Token->Kind == TokenWord || Token->Kind == TokenString || Token->Kind == TokenNoMemory) {
        Token->Text.Buffer = nullptr;
        Token->Text.Length = Token->Text.MaximumLength = 0;
    }
}
