/*
 * script.h - what the script folder offers the rest of the driver: the
 * tokens of the operation language, the parsed operation records and the
 * lists they live in.
 *
 * A script is the data of a REG_MULTI_SZ value: one operation per string,
 * such as  CopyFile("\??\C:\a.txt", "\??\C:\b.txt", true).  The parse is
 * all or nothing: a script with any error gives an empty list.
 */
#pragma once

#include "platform/platform.h"

/* Tokens.  The seventeen keyword tokens follow TokenString: a keyword's
 * token value is TokenKeywordFirst plus its OperationKind. */
enum TokenKind : ULONG {
    TokenNone = 0,
    TokenEndOfString = 1,
    TokenEndOfList = 2,
    TokenOpenParen = 3,
    TokenCloseParen = 4,
    TokenComma = 5,
    TokenBoolean = 6,
    TokenWord = 7,
    TokenString = 8,
    TokenKeywordFirst = 9,
    TokenKeywordLast = 25,
    /* A quoted string whose copy found no pool memory.  Kept apart from
     * TokenNone so that a valid script is never taken for a faulty one
     * because memory was short. */
    TokenNoMemory = 26,
};

/* Longest word or quoted string, in characters, that a 16-bit byte length
 * can describe.  Anything longer is no token at all. */
#define SCRIPT_MAX_TOKEN_CHARS 32767u

struct Token {
    TokenKind Kind;
    union {
        BOOLEAN Value;       /* TokenBoolean: 1 for true, 0 for false */
        UNICODE_STRING Text; /* TokenWord, TokenString: owned pool copy */
    };
};

/*
 * The tokenizer reads the script text up to, not including, index Length
 * (in characters); whatever lies at or beyond Length reads as NUL, so it
 * never reads outside the caller's text.  The list ends at Length: a NUL
 * before it ends one string, even an empty one, and the position moves past
 * it.  ParseOperationList passes as Length the index just past the last
 * non-NUL character of the value, so that empty strings inside the data are
 * skipped and the list ends where the data ends.
 */
Token NextToken(PCWSTR Text, ULONG Length, PULONG Position);
Token ScanWord(PCWSTR Text, ULONG Length, PULONG Position);
/* Frees the text of a word or string token, if any, and clears it. */
VOID ReleaseToken(Token *Token);

/* Operations. */
enum OperationKind : ULONG {
    OperationCopyFile = 0,
    OperationMoveFile = 1,
    OperationDeleteFile = 2,
    OperationCopyDir = 3,
    OperationMoveDir = 4,
    OperationRemoveDir = 5,
    OperationRenameFile = 6,
    OperationRenameDir = 7,
    OperationCreateDir = 8,
    OperationCreateKey = 9,
    OperationSetKeyValue = 10,
    OperationDeleteKey = 11,
    OperationDeleteKeyValue = 12,
    OperationMoveKey = 13,
    OperationCopyKey = 14,
    OperationRenameKey = 15,
    OperationRenameValue = 16,
};
#define OPERATION_KIND_COUNT 17u

struct TwoPathArgs {
    BOOLEAN Overwrite;
    UNICODE_STRING Source;
    UNICODE_STRING Target;
};

struct PathArgs {
    UNICODE_STRING Path;
};

struct RemoveDirArgs {
    BOOLEAN DeleteFiles;
    BOOLEAN Recursive;
    UNICODE_STRING Path;
};

struct DeleteKeyArgs {
    BOOLEAN Recursive;
    UNICODE_STRING Path;
};

struct DeleteKeyValueArgs {
    UNICODE_STRING KeyPath;
    UNICODE_STRING ValueName;
};

struct SetKeyValueArgs {
    BOOLEAN Overwrite;
    UNICODE_STRING TargetKey;
    UNICODE_STRING TargetValue;
    UNICODE_STRING SourceKey;
    UNICODE_STRING SourceValue;
    BOOLEAN DeleteSource;
};

struct RenameValueArgs {
    BOOLEAN Overwrite;
    UNICODE_STRING KeyPath;
    UNICODE_STRING OldName;
    UNICODE_STRING NewName;
};

struct RunResults;
struct OperationRecord {
    LIST_ENTRY Links;
    OperationKind Kind;
    BOOLEAN Executed;
    NTSTATUS Status;
    /* A record moved to the deferred list: the record of its script's run
     * and its index there, where the deferred run notes its outcome. */
    RunResults *Results;
    ULONG ResultIndex;
    union {
        TwoPathArgs TwoPath;
        PathArgs Path;
        RemoveDirArgs RemoveDir;
        DeleteKeyArgs DeleteKey;
        DeleteKeyValueArgs DeleteKeyValue;
        SetKeyValueArgs SetKeyValue;
        RenameValueArgs RenameValue;
    } Args;
};

/* The grammar of every operation, in script order of its arguments.  The
 * parser is driven by it, and so are the user tools that explain a faulty
 * script. */
enum ArgumentType : UCHAR {
    ArgumentString = 0,
    ArgumentBoolean = 1,
};

struct GrammarArgument {
    ArgumentType Type;
    USHORT Offset; /* of the field inside OperationRecord */
    PCSTR Name;    /* the field's name */
};

#define GRAMMAR_MAX_ARGUMENTS 6u

struct OperationGrammar {
    PCSTR Keyword;
    UCHAR ArgumentCount;
    GrammarArgument Arguments[GRAMMAR_MAX_ARGUMENTS];
};

extern const OperationGrammar OperationGrammars[OPERATION_KIND_COUNT];

/*
 * Parses a script into List, which is overwritten (its old records are not
 * freed).  DataLength is the value's length in bytes; the text must stay
 * readable for two characters beyond it, as the zero-padded block of
 * QueryRegistryValue does.  Returns STATUS_SUCCESS, STATUS_DATA_OVERRUN for
 * a script that does not parse, STATUS_NO_MEMORY when the pool ran dry, or
 * STATUS_INVALID_PARAMETER; on failure the list is empty.
 */
NTSTATUS ParseOperationList(PCWSTR Text, ULONG DataLength, PLIST_ENTRY List);

/* Reads one operation's tokens after its keyword, up to and including the
 * end of its string, into Record. */
NTSTATUS ParseOperation(OperationKind Kind, PCWSTR Text, ULONG Length, PULONG Position,
                        OperationRecord *Record);

/* Frees every record with its strings; the head is left empty. */
VOID FreeOperationList(PLIST_ENTRY List);
