/*
 * parser.cpp - turns a script into an OperationList, all or nothing, and
 * frees such lists.
 *
 * Records are appended to the list as soon as they are allocated, before
 * their arguments are read, so that a failure anywhere releases everything
 * through FreeOperationList and no half-filled list is ever left behind.
 */
#include "script/script.h"

namespace {

inline BOOLEAN IsKeywordToken(TokenKind Kind)
{
    return Kind >= TokenKeywordFirst && Kind <= TokenKeywordLast;
}

VOID FreeRecordStrings(OperationRecord *Record)
{
    if (Record->Kind >= OPERATION_KIND_COUNT)
        return;
    const OperationGrammar *grammar = &OperationGrammars[Record->Kind];
    for (ULONG i = 0; i < grammar->ArgumentCount; i++) {
        if (grammar->Arguments[i].Type != ArgumentString)
            continue;
        UNICODE_STRING *field = (UNICODE_STRING *)((PUCHAR)Record + grammar->Arguments[i].Offset);
        if (field->Buffer)
            ExFreePoolWithTag(field->Buffer, QELMBAR_TAG);
        field->Buffer = nullptr;
        field->Length = field->MaximumLength = 0;
    }
}

} // namespace

NTSTATUS ParseOperationList(PCWSTR Text, ULONG DataLength, PLIST_ENTRY List)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG length;
    ULONG position = 0;
    Token token;

    if (!List)
        return STATUS_INVALID_PARAMETER;
    InitializeListHead(List);
    if (!Text)
        return STATUS_INVALID_PARAMETER;

    /* The list ends where the data's last non-NUL character is followed by
     * NULs, not at the first empty string: an empty string between two
     * operations must not hide the operations after it. */
    length = DataLength / sizeof(WCHAR);
    while (length > 0 && Text[length - 1] == 0)
        length--;

    token = NextToken(Text, length, &position);
    while (token.Kind != TokenEndOfList) {
        if (token.Kind != TokenEndOfString) {
            OperationRecord *record =
                (OperationRecord *)AllocatePool(PoolPaged, sizeof(OperationRecord));
            if (!record) {
                status = STATUS_NO_MEMORY;
                break;
            }
            RtlZeroMemory(record, sizeof(OperationRecord));
            InsertTailList(List, &record->Links);

            if (IsKeywordToken(token.Kind))
                status = ParseOperation((OperationKind)(token.Kind - TokenKeywordFirst), Text,
                                        length, &position, record);
            else if (token.Kind == TokenNoMemory)
                status = STATUS_NO_MEMORY;
            else
                status = STATUS_DATA_OVERRUN;
            if (!NT_SUCCESS(status))
                break;
        }
        token = NextToken(Text, length, &position);
    }

    if (!NT_SUCCESS(status)) {
        ReleaseToken(&token);
        FreeOperationList(List);
    }
    return status;
}

VOID FreeOperationList(PLIST_ENTRY List)
{
    if (!List)
        return;
    if (List->Flink) {
        PLIST_ENTRY entry = List->Flink;
        while (entry != List) {
            PLIST_ENTRY next = entry->Flink;
            OperationRecord *record = CONTAINING_RECORD(entry, OperationRecord, Links);
            FreeRecordStrings(record);
            ExFreePoolWithTag(record, QELMBAR_TAG);
            entry = next;
        }
    }
    InitializeListHead(List);
}
