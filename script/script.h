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

/*
 * The record of one run of a script, stored as a REG_BINARY value beside
 * the script (LastBootTimeOperationsResults in Parameters, LastRunResults
 * in a package key): a RunResultsHeader followed by Count RunResultEntry,
 * one per operation in script order.  Scripts longer than
 * RUN_RESULTS_MAX_OPERATIONS have their first ones recorded and
 * RUN_RESULTS_TRUNCATED set.
 */
#define RUN_RESULTS_VERSION 1u
#define RUN_RESULTS_MAX_OPERATIONS 1024u
/* Header flags. */
#define RUN_RESULTS_TRUNCATED 0x1u  /* the script had more operations */
#define RUN_RESULTS_REJECTED 0x2u   /* the script did not parse; nothing ran */
#define RUN_RESULTS_INCOMPLETE 0x4u /* no memory for the record; Count is 0 */
/* Entry flags. */
#define RUN_RESULT_DEFERRED 0x1u     /* left for the deferred run */
#define RUN_RESULT_DEFERRED_RAN 0x2u /* and the deferred run ran it: Status is its answer */
#define RUN_RESULT_SKIPPED 0x4u      /* not run: an earlier failure ended the script */

struct RunResultsHeader {
    ULONG Version;
    ULONG Script; /* 0 one-shot list, 1 setup, 2 revert, 3 clean (ListSource, exec.h) */
    ULONG BootCounter;
    ULONG Count;
    ULONG Flags;
};
struct RunResultEntry {
    NTSTATUS Status;
    ULONG Flags;
};

/* One record in pool (boot/run_results.cpp): the value's data, and where
 * it is stored, kept until the deferred run when operations wait for it. */
struct RunResults {
    LIST_ENTRY Links;
    UNICODE_STRING KeyPath; /* full path of the key the value lives in */
    NTSTATUS BootFailure;   /* the LastPackageError the boot pass wrote, or success */
    BOOLEAN AnyDeferred;
    RunResultsHeader *Header; /* the value's data, Header then Entries */
    RunResultEntry *Entries;
};
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
