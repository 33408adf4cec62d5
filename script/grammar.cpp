/*
 * grammar.cpp - the argument lists of the seventeen operations, and the one
 * routine that reads an operation's arguments by them.
 *
 * An operation is its keyword, "(", its arguments separated by ",", ")" and
 * nothing but blanks to the end of its string.  Arguments are quoted
 * strings or the words true and false; all are required, in order.  The
 * script order of the arguments is not the order of the record's fields,
 * so each argument names the field it lands in.
 */
#include "script/script.h"

#define STRING_ARG(variant, field) \
    { ArgumentString, (USHORT)offsetof(OperationRecord, Args.variant.field), #field }
#define BOOLEAN_ARG(variant, field) \
    { ArgumentBoolean, (USHORT)offsetof(OperationRecord, Args.variant.field), #field }

#define TWO_PATH_GRAMMAR(keyword)                                                        \
    {                                                                                    \
        keyword, 3,                                                                      \
        {                                                                                \
            STRING_ARG(TwoPath, Source), STRING_ARG(TwoPath, Target),                    \
                BOOLEAN_ARG(TwoPath, Overwrite)                                          \
        }                                                                                \
    }

#define PATH_GRAMMAR(keyword) { keyword, 1, { STRING_ARG(Path, Path) } }

const OperationGrammar OperationGrammars[OPERATION_KIND_COUNT] = {
    TWO_PATH_GRAMMAR("CopyFile"),
    TWO_PATH_GRAMMAR("MoveFile"),
    PATH_GRAMMAR("DeleteFile"),
    TWO_PATH_GRAMMAR("CopyDir"),
    TWO_PATH_GRAMMAR("MoveDir"),
    { "RemoveDir", 3,
      { STRING_ARG(RemoveDir, Path), BOOLEAN_ARG(RemoveDir, Recursive),
        BOOLEAN_ARG(RemoveDir, DeleteFiles) } },
    TWO_PATH_GRAMMAR("RenameFile"),
    TWO_PATH_GRAMMAR("RenameDir"),
    PATH_GRAMMAR("CreateDir"),
    PATH_GRAMMAR("CreateKey"),
    { "SetKeyValue", 6,
      { STRING_ARG(SetKeyValue, SourceKey), STRING_ARG(SetKeyValue, SourceValue),
        STRING_ARG(SetKeyValue, TargetKey), STRING_ARG(SetKeyValue, TargetValue),
        BOOLEAN_ARG(SetKeyValue, Overwrite), BOOLEAN_ARG(SetKeyValue, DeleteSource) } },
    { "DeleteKey", 2, { STRING_ARG(DeleteKey, Path), BOOLEAN_ARG(DeleteKey, Recursive) } },
    { "DeleteKeyValue", 2,
      { STRING_ARG(DeleteKeyValue, KeyPath), STRING_ARG(DeleteKeyValue, ValueName) } },
    TWO_PATH_GRAMMAR("MoveKey"),
    TWO_PATH_GRAMMAR("CopyKey"),
    TWO_PATH_GRAMMAR("RenameKey"),
    { "RenameValue", 4,
      { STRING_ARG(RenameValue, KeyPath), STRING_ARG(RenameValue, OldName),
        STRING_ARG(RenameValue, NewName), BOOLEAN_ARG(RenameValue, Overwrite) } },
};

namespace {

/* A token that is not the one expected fails the operation; its text, if
 * any, is released here.  A quoted string that found no memory fails it
 * for want of memory, not for its syntax. */
NTSTATUS RefuseToken(Token *Token)
{
    NTSTATUS status = Token->Kind == TokenNoMemory ? STATUS_NO_MEMORY : STATUS_DATA_OVERRUN;
    ReleaseToken(Token);
    return status;
}

NTSTATUS ExpectToken(PCWSTR Text, ULONG Length, PULONG Position, TokenKind Kind)
{
    Token token = NextToken(Text, Length, Position);
    if (token.Kind == Kind)
        return STATUS_SUCCESS;
    return RefuseToken(&token);
}

/* Reads one argument and stores it in its field at once: from then on the
 * record owns a string's buffer. */
NTSTATUS ReadArgument(PCWSTR Text, ULONG Length, PULONG Position, const GrammarArgument *Argument,
                      OperationRecord *Record)
{
    Token token = NextToken(Text, Length, Position);
    PUCHAR field = (PUCHAR)Record + Argument->Offset;

    if (Argument->Type == ArgumentString && token.Kind == TokenString) {
        RtlCopyMemory(field, &token.Text, sizeof(UNICODE_STRING));
        return STATUS_SUCCESS;
    }
    if (Argument->Type == ArgumentBoolean && token.Kind == TokenBoolean) {
        *(BOOLEAN *)field = token.Value;
        return STATUS_SUCCESS;
    }
    return RefuseToken(&token);
}

} // namespace

NTSTATUS ParseOperation(OperationKind Kind, PCWSTR Text, ULONG Length, PULONG Position,
                        OperationRecord *Record)
{
    NTSTATUS status;
    const OperationGrammar *grammar;

    if (!Text || !Position || !Record || Kind >= OPERATION_KIND_COUNT)
        return STATUS_INVALID_PARAMETER;

    Record->Kind = Kind;
    grammar = &OperationGrammars[Kind];

    status = ExpectToken(Text, Length, Position, TokenOpenParen);
    for (ULONG i = 0; NT_SUCCESS(status) && i < grammar->ArgumentCount; i++) {
        if (i > 0)
            status = ExpectToken(Text, Length, Position, TokenComma);
        if (NT_SUCCESS(status))
            status = ReadArgument(Text, Length, Position, &grammar->Arguments[i], Record);
    }
    if (NT_SUCCESS(status))
        status = ExpectToken(Text, Length, Position, TokenCloseParen);
    if (NT_SUCCESS(status)) {
        Token end = NextToken(Text, Length, Position);
        if (end.Kind != TokenEndOfString && end.Kind != TokenEndOfList)
            status = RefuseToken(&end);
    }
    return status;
}
