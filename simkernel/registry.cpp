/*
 * registry.cpp - the Zw key routines over the in-memory registry of
 * registry_tree.cpp: create, open, values, enumeration, queries, deletion,
 * renames and flush, with NT's statuses and its rules for short buffers.
 *
 * A key handle is a KeyBody in the handle table and holds the key alive,
 * so a key deleted while open stays usable only to learn that it is gone:
 * everything but ZwClose and a second ZwDeleteKey answers
 * STATUS_KEY_DELETED.  Granted access is what was asked, with the generic
 * rights mapped as NT maps them for keys; each routine checks the right
 * NT's own routine references the handle with.
 *
 * Information records are laid out as on Windows x64, and a buffer that is
 * too short is treated as NT treats it: below the fixed header nothing is
 * written and STATUS_BUFFER_TOO_SMALL is answered, otherwise the header and
 * as much of the name, class or data as fits, with STATUS_BUFFER_OVERFLOW;
 * *ResultLength is the full size in both cases.
 */
#include "simkernel/hive_load.h"
#include "simkernel/registry_tree.h"
#include "simkernel/upcase.h"

#include <algorithm>

using namespace sk;
using namespace sk::reg;

namespace {

constexpr ACCESS_MASK kWow64Flags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr ULONG kNoOffset = 0xFFFFFFFF;

ACCESS_MASK MapAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                      MAXIMUM_ALLOWED | kWow64Flags);
    if (desired & GENERIC_READ)
        granted |= KEY_READ;
    if (desired & GENERIC_WRITE)
        granted |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE)
        granted |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= KEY_ALL_ACCESS;
    return granted;
}

/* Looks the key handle up and checks the right the routine needs. */
NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<Key> *key,
                      ACCESS_MASK *granted = nullptr)
{
    HandleEntry entry;
    NTSTATUS status = ReferenceHandle(handle, ObjectKind::Key, &entry);
    if (!NT_SUCCESS(status))
        return status;
    if (!Granted(entry, needed))
        return STATUS_ACCESS_DENIED;
    *key = static_cast<KeyBody *>(entry.object.get())->key;
    if (granted)
        *granted = entry.granted;
    return STATUS_SUCCESS;
}

/* A value name: present, of whole characters. */
NTSTATUS CaptureValueName(const char *routine, PCUNICODE_STRING name, std::u16string_view *view)
{
    if (!name) {
        Violation("%s: no value name", routine);
        return STATUS_ACCESS_VIOLATION;
    }
    if (name->Length & 1)
        return STATUS_INVALID_PARAMETER;
    if (name->Length && !name->Buffer) {
        Violation("%s: value name of %u bytes without a buffer", routine, name->Length);
        return STATUS_ACCESS_VIOLATION;
    }
    *view = std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

bool CheckOutput(const char *routine, PVOID buffer, ULONG length, PULONG resultLength)
{
    if (!resultLength) {
        Violation("%s: no ResultLength", routine);
        return false;
    }
    if (length && !buffer) {
        Violation("%s: Length %u without a buffer", routine, length);
        return false;
    }
    return true;
}

/* One run of bytes of an information record, at its offset. */
struct Piece {
    size_t offset;
    const void *bytes;
    size_t size;
};

/* Writes a record whose fixed part is the first piece, header bytes long,
 * by NT's rules for short buffers. */
NTSTATUS Emit(PVOID buffer, ULONG length, ULONG needed, const std::vector<Piece> &pieces,
              PULONG resultLength)
{
    *resultLength = needed;
    if (length < pieces.front().size)
        return STATUS_BUFFER_TOO_SMALL;
    NTSTATUS status = STATUS_SUCCESS;
    for (const Piece &piece : pieces) {
        size_t room = length > piece.offset ? length - piece.offset : 0;
        size_t n = std::min(room, piece.size);
        if (n < piece.size)
            status = STATUS_BUFFER_OVERFLOW;
        if (n)
            memcpy((uint8_t *)buffer + piece.offset, piece.bytes, n);
    }
    return status;
}

ULONG Bytes(const std::u16string &text)
{
    return (ULONG)(text.size() * sizeof(WCHAR));
}

LARGE_INTEGER Time(LONGLONG t)
{
    LARGE_INTEGER li;
    li.QuadPart = t;
    return li;
}

NTSTATUS EmitKeyInformation(const Key &key, KEY_INFORMATION_CLASS infoClass, PVOID buffer,
                            ULONG length, PULONG resultLength)
{
    const ULONG nameBytes = Bytes(key.name);
    const ULONG classBytes = Bytes(key.className);
    switch (infoClass) {
    case KeyBasicInformation: {
        KEY_BASIC_INFORMATION info;
        const ULONG header = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        info.LastWriteTime = Time(key.lastWriteTime);
        info.TitleIndex = 0;
        info.NameLength = nameBytes;
        return Emit(buffer, length, header + nameBytes,
                    {{0, &info, header}, {header, key.name.data(), nameBytes}}, resultLength);
    }
    case KeyNodeInformation: {
        KEY_NODE_INFORMATION info;
        const ULONG header = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        info.LastWriteTime = Time(key.lastWriteTime);
        info.TitleIndex = 0;
        info.ClassLength = classBytes;
        info.NameLength = nameBytes;
        std::vector<Piece> pieces = {{0, &info, header}, {header, key.name.data(), nameBytes}};
        if (classBytes) {
            /* NT puts the class on a ULONG boundary but leaves the padding
             * out of the size it reports. */
            info.ClassOffset = (header + nameBytes + 3) & ~3u;
            pieces.push_back({info.ClassOffset, key.className.data(), classBytes});
        } else {
            info.ClassOffset = kNoOffset;
        }
        return Emit(buffer, length, header + nameBytes + classBytes, pieces, resultLength);
    }
    case KeyFullInformation: {
        KEY_FULL_INFORMATION info;
        const ULONG header = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        info.LastWriteTime = Time(key.lastWriteTime);
        info.TitleIndex = 0;
        info.ClassOffset = classBytes ? header : kNoOffset;
        info.ClassLength = classBytes;
        info.SubKeys = (ULONG)key.subkeys.size();
        info.MaxNameLen = key.maxNameLen;
        info.MaxClassLen = key.maxClassLen;
        info.Values = (ULONG)key.values.size();
        info.MaxValueNameLen = key.maxValueNameLen;
        info.MaxValueDataLen = key.maxValueDataLen;
        return Emit(buffer, length, header + classBytes,
                    {{0, &info, header}, {header, key.className.data(), classBytes}}, resultLength);
    }
    case KeyNameInformation: {
        KEY_NAME_INFORMATION info;
        const ULONG header = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
        std::u16string path = FullPath(key);
        info.NameLength = Bytes(path);
        return Emit(buffer, length, header + info.NameLength,
                    {{0, &info, header}, {header, path.data(), info.NameLength}}, resultLength);
    }
    default:
        return STATUS_NOT_IMPLEMENTED;
    }
}

NTSTATUS EmitValueInformation(const Value &value, KEY_VALUE_INFORMATION_CLASS infoClass,
                              PVOID buffer, ULONG length, PULONG resultLength)
{
    const ULONG nameBytes = Bytes(value.name);
    const ULONG dataBytes = (ULONG)value.data.size();
    switch (infoClass) {
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION info;
        const ULONG header = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        info.TitleIndex = 0;
        info.Type = value.type;
        info.NameLength = nameBytes;
        return Emit(buffer, length, header + nameBytes,
                    {{0, &info, header}, {header, value.name.data(), nameBytes}}, resultLength);
    }
    case KeyValueFullInformation: {
        KEY_VALUE_FULL_INFORMATION info;
        const ULONG header = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        info.TitleIndex = 0;
        info.Type = value.type;
        info.DataLength = dataBytes;
        info.NameLength = nameBytes;
        std::vector<Piece> pieces = {{0, &info, header}, {header, value.name.data(), nameBytes}};
        ULONG needed = header + nameBytes;
        if (dataBytes) {
            /* On x64 the data starts on an 8-byte boundary, padding counted. */
            info.DataOffset = (needed + 7) & ~7u;
            needed = info.DataOffset + dataBytes;
            pieces.push_back({info.DataOffset, value.data.data(), dataBytes});
        } else {
            info.DataOffset = kNoOffset;
        }
        return Emit(buffer, length, needed, pieces, resultLength);
    }
    case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION info;
        const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        info.TitleIndex = 0;
        info.Type = value.type;
        info.DataLength = dataBytes;
        return Emit(buffer, length, header + dataBytes,
                    {{0, &info, header}, {header, value.data.data(), dataBytes}}, resultLength);
    }
    default:
        return STATUS_NOT_IMPLEMENTED;
    }
}

/* NT knows the classes past the three modelled here; they answer
 * STATUS_NOT_IMPLEMENTED rather than pretend.  Unknown ones are invalid. */
NTSTATUS CheckValueClass(KEY_VALUE_INFORMATION_CLASS infoClass)
{
    switch (infoClass) {
    case KeyValueBasicInformation:
    case KeyValueFullInformation:
    case KeyValuePartialInformation:
        return STATUS_SUCCESS;
    case KeyValueFullInformationAlign64:
    case KeyValuePartialInformationAlign64:
        return STATUS_NOT_IMPLEMENTED;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS CheckKeyClass(KEY_INFORMATION_CLASS infoClass, bool enumerating)
{
    switch ((int)infoClass) {
    case KeyBasicInformation:
    case KeyNodeInformation:
    case KeyFullInformation:
        return STATUS_SUCCESS;
    case KeyNameInformation:
        return enumerating ? STATUS_NOT_IMPLEMENTED : STATUS_SUCCESS;
    case KeyCachedInformation:
    case KeyFlagsInformation:
    case KeyVirtualizationInformation:
    case KeyHandleTagsInformation:
    case 8: /* KeyTrustInformation */
    case 9: /* KeyLayerInformation */
        return STATUS_NOT_IMPLEMENTED;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

/* The part of ZwCreateKey and ZwOpenKey that checks the arguments and finds
 * the key the name leads to. */
struct OpenRequest {
    const char *routine;
    PHANDLE keyHandle;
    POBJECT_ATTRIBUTES attributes;
};

NTSTATUS CheckOpenRequest(const OpenRequest &request)
{
    if (!request.keyHandle) {
        Violation("%s: no KeyHandle", request.routine);
        return STATUS_ACCESS_VIOLATION;
    }
    *request.keyHandle = nullptr;
    POBJECT_ATTRIBUTES oa = request.attributes;
    if (!oa) {
        Violation("%s: no ObjectAttributes", request.routine);
        return STATUS_ACCESS_VIOLATION;
    }
    if (oa->Length != sizeof(OBJECT_ATTRIBUTES) || (oa->Attributes & ~OBJ_VALID_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    if (!(oa->Attributes & OBJ_KERNEL_HANDLE)) {
        Violation("%s: ObjectAttributes without OBJ_KERNEL_HANDLE", request.routine);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Resolve(const OpenRequest &request, ParsedName *parsed, ACCESS_MASK *rootGranted)
{
    std::u16string_view name;
    NTSTATUS status = CaptureName(request.routine, request.attributes->ObjectName, &name);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<Key> root;
    if (request.attributes->RootDirectory) {
        status = ReferenceKey(request.attributes->RootDirectory, 0, &root, rootGranted);
        if (!NT_SUCCESS(status))
            return status;
    }
    return ParseName(root, name, parsed);
}

HANDLE OpenHandle(const std::shared_ptr<Key> &key, ACCESS_MASK granted, ULONG attributes)
{
    return InsertHandle(std::make_shared<KeyBody>(key), granted, attributes);
}

} // namespace

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    SK_ENTER("ZwCreateKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    (void)TitleIndex;
    OpenRequest request{"ZwCreateKey", KeyHandle, ObjectAttributes};
    NTSTATUS status = CheckOpenRequest(request);
    if (!NT_SUCCESS(status))
        return status;
    if (CreateOptions & ~REG_LEGAL_OPTION)
        return STATUS_INVALID_PARAMETER;
    if (CreateOptions & REG_OPTION_BACKUP_RESTORE)
        return STATUS_NOT_IMPLEMENTED;
    const bool createLink = (CreateOptions & REG_OPTION_CREATE_LINK) != 0;
    std::u16string className;
    if (Class && Class->Length) {
        if ((Class->Length & 1) || !Class->Buffer) {
            Violation("ZwCreateKey: malformed Class (Length %u)", Class->Length);
            return STATUS_INVALID_PARAMETER;
        }
        className.assign(Class->Buffer, Class->Length / sizeof(WCHAR));
    }

    ParsedName parsed;
    ACCESS_MASK rootGranted = 0;
    status = Resolve(request, &parsed, &rootGranted);
    if (!NT_SUCCESS(status))
        return status;
    /* A link to be created is not followed: the name must be free.
     * REG_OPTION_OPEN_LINK plays no part; NT looks at OBJ_OPENLINK only. */
    const FinalLink finalLink =
        createLink || (ObjectAttributes->Attributes & OBJ_OPENLINK) ? FinalLink::Open
                                                                      : FinalLink::Follow;
    Resolved resolved;
    status = Walk(parsed, finalLink, &resolved);
    if (!NT_SUCCESS(status) && !(status == STATUS_OBJECT_NAME_NOT_FOUND && resolved.parent))
        return status;
    const ACCESS_MASK granted = MapAccess(DesiredAccess);
    if (granted == 0)
        return STATUS_ACCESS_DENIED;
    std::shared_ptr<Key> key = resolved.key;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (key && createLink)
        return STATUS_OBJECT_NAME_COLLISION;
    if (!key) {
        const bool isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
        const std::shared_ptr<Key> &parent = resolved.parent;
        /* Kernel callers pass NT's access check; this model holds them to
         * the rights of the handle they create under, unless a link took
         * the name elsewhere. */
        if (ObjectAttributes->RootDirectory && !resolved.reparsed &&
            !(rootGranted & KEY_CREATE_SUB_KEY))
            return STATUS_ACCESS_DENIED;
        /* Only a handle to a link key itself leads to below it. */
        if (parent->isLink)
            return STATUS_ACCESS_DENIED;
        if (parent->isVolatile && !isVolatile)
            return STATUS_CHILD_MUST_BE_VOLATILE;
        if (KeyDepth(*parent) >= kMaxKeyDepth)
            return STATUS_INVALID_PARAMETER;
        key = AddSubkey(*parent, resolved.leaf, isVolatile, className);
        key->isLink = createLink;
        disposition = REG_CREATED_NEW_KEY;
    }
    *KeyHandle = OpenHandle(key, granted, ObjectAttributes->Attributes);
    if (Disposition)
        *Disposition = disposition;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes)
{
    SK_ENTER("ZwOpenKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    OpenRequest request{"ZwOpenKey", KeyHandle, ObjectAttributes};
    NTSTATUS status = CheckOpenRequest(request);
    if (!NT_SUCCESS(status))
        return status;
    ParsedName parsed;
    status = Resolve(request, &parsed, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    const FinalLink finalLink =
        (ObjectAttributes->Attributes & OBJ_OPENLINK) ? FinalLink::Open : FinalLink::Follow;
    Resolved resolved;
    status = Walk(parsed, finalLink, &resolved);
    if (!NT_SUCCESS(status))
        return status;
    ACCESS_MASK granted = MapAccess(DesiredAccess);
    if (granted == 0)
        return STATUS_ACCESS_DENIED;
    *KeyHandle = OpenHandle(resolved.key, granted, ObjectAttributes->Attributes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize)
{
    SK_ENTER("ZwSetValueKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    (void)TitleIndex;
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string_view name;
    status = CaptureValueName("ZwSetValueKey", ValueName, &name);
    if (!NT_SUCCESS(status))
        return status;
    if (name.size() > kMaxValueNameChars || DataSize > 0x80000000u)
        return STATUS_INVALID_PARAMETER;
    if (DataSize && !Data) {
        Violation("ZwSetValueKey: DataSize %u without data", DataSize);
        return STATUS_ACCESS_VIOLATION;
    }
    if (key->deleted)
        return STATUS_KEY_DELETED;
    /* A link key keeps its target and nothing else. */
    if (key->isLink &&
        (Type != REG_LINK || !EqualIgnoringCase(std::u16string(name), kLinkValueName)))
        return STATUS_ACCESS_DENIED;
    SetValue(*key, name, Type, (const uint8_t *)Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    SK_ENTER("ZwQueryValueKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    NTSTATUS status = CheckValueClass(KeyValueInformationClass);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<Key> key;
    status = ReferenceKey(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    if (!CheckOutput("ZwQueryValueKey", KeyValueInformation, Length, ResultLength))
        return STATUS_ACCESS_VIOLATION;
    std::u16string_view name;
    status = CaptureValueName("ZwQueryValueKey", ValueName, &name);
    if (!NT_SUCCESS(status))
        return status;
    if (key->deleted)
        return STATUS_KEY_DELETED;
    const Value *value = FindValue(*key, name);
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return EmitValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                                ResultLength);
}

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                              KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                              ULONG Length, PULONG ResultLength)
{
    SK_ENTER("ZwEnumerateKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    NTSTATUS status = CheckKeyClass(KeyInformationClass, true);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<Key> key;
    status = ReferenceKey(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status))
        return status;
    if (!CheckOutput("ZwEnumerateKey", KeyInformation, Length, ResultLength))
        return STATUS_ACCESS_VIOLATION;
    if (key->deleted)
        return STATUS_KEY_DELETED;
    if (Index >= key->subkeys.size())
        return STATUS_NO_MORE_ENTRIES;
    return EmitKeyInformation(*key->subkeys.At(Index), KeyInformationClass, KeyInformation, Length,
                              ResultLength);
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    SK_ENTER("ZwEnumerateValueKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    NTSTATUS status = CheckValueClass(KeyValueInformationClass);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<Key> key;
    status = ReferenceKey(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    if (!CheckOutput("ZwEnumerateValueKey", KeyValueInformation, Length, ResultLength))
        return STATUS_ACCESS_VIOLATION;
    if (key->deleted)
        return STATUS_KEY_DELETED;
    if (Index >= key->values.size())
        return STATUS_NO_MORE_ENTRIES;
    return EmitValueInformation(key->values[Index], KeyValueInformationClass, KeyValueInformation,
                                Length, ResultLength);
}

NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                          PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    SK_ENTER("ZwQueryKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    NTSTATUS status = CheckKeyClass(KeyInformationClass, false);
    if (!NT_SUCCESS(status))
        return status;
    /* A key's name is there for any handle to it. */
    const ACCESS_MASK needed = KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE;
    std::shared_ptr<Key> key;
    status = ReferenceKey(KeyHandle, needed, &key);
    if (!NT_SUCCESS(status))
        return status;
    if (!CheckOutput("ZwQueryKey", KeyInformation, Length, ResultLength))
        return STATUS_ACCESS_VIOLATION;
    if (key->deleted)
        return STATUS_KEY_DELETED;
    return EmitKeyInformation(*key, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle)
{
    SK_ENTER("ZwDeleteKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(KeyHandle, DELETE, &key);
    if (!NT_SUCCESS(status))
        return status;
    /* NT answers a second delete of the same key with success. */
    if (key->deleted)
        return STATUS_SUCCESS;
    if (key->noDelete || !key->subkeys.empty())
        return STATUS_CANNOT_DELETE;
    DetachKey(*key);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    SK_ENTER("ZwDeleteValueKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string_view name;
    status = CaptureValueName("ZwDeleteValueKey", ValueName, &name);
    if (!NT_SUCCESS(status))
        return status;
    if (key->deleted)
        return STATUS_KEY_DELETED;
    return DeleteValue(*key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle)
{
    SK_ENTER("ZwFlushKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(KeyHandle, 0, &key);
    if (!NT_SUCCESS(status))
        return status;
    return FlushHiveOf(key);
}

NTSTATUS NTAPI ZwRenameKey(HANDLE KeyHandle, PUNICODE_STRING NewName)
{
    SK_ENTER("ZwRenameKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_WRITE, &key);
    if (!NT_SUCCESS(status))
        return status;
    if (!NewName) {
        Violation("ZwRenameKey: no NewName");
        return STATUS_ACCESS_VIOLATION;
    }
    if (NewName->Length && !NewName->Buffer) {
        Violation("ZwRenameKey: name of %u bytes without a buffer", NewName->Length);
        return STATUS_ACCESS_VIOLATION;
    }
    if (key->deleted)
        return STATUS_KEY_DELETED;
    /* One component, never a path. */
    const std::u16string_view name(NewName->Buffer, NewName->Length / sizeof(WCHAR));
    if ((NewName->Length & 1) || name.empty() || name.size() > kMaxKeyNameChars ||
        name.find(u'\\') != std::u16string_view::npos)
        return STATUS_INVALID_PARAMETER;
    /* The roots stay where they are.  A sibling of the new name refuses the
     * rename, the key itself included: NT looks the name up ignoring case,
     * so a change of case alone is refused too. */
    if (key->noDelete || !key->parent || FindSubkey(*key->parent, name))
        return STATUS_CANNOT_DELETE;
    RenameKey(*key, name);
    return STATUS_SUCCESS;
}
