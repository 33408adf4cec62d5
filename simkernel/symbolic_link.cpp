/*
 * symbolic_link.cpp - symbolic-link objects: the Zw routines that create,
 * open and query them, ZwMakeTemporaryObject, the I/O manager's
 * IoCreateSymbolicLink and IoDeleteSymbolicLink, and the link part of
 * objects.h.
 *
 * A link keeps its target as NT does: Length bytes of target and the rest
 * of the creator's buffer up to MaximumLength, which a query that asks for
 * the returned length gets back as well.  A temporary link leaves the
 * namespace when its last handle closes; OBJ_PERMANENT and the links of
 * IoCreateSymbolicLink stay until deleted.
 */
#include "simkernel/object_namespace.h"
#include "simkernel/objects.h"

using namespace sk;
using namespace sk::ob;

namespace {

ACCESS_MASK MapAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ)
        granted |= STANDARD_RIGHTS_READ | SYMBOLIC_LINK_QUERY;
    if (desired & GENERIC_WRITE)
        granted |= STANDARD_RIGHTS_WRITE;
    if (desired & GENERIC_EXECUTE)
        granted |= STANDARD_RIGHTS_EXECUTE | SYMBOLIC_LINK_QUERY;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= SYMBOLIC_LINK_ALL_ACCESS;
    return granted;
}

/* The target as NT captures it: an odd MaximumLength is rounded down, and
 * an odd Length, a Length past MaximumLength or no room at all is refused. */
NTSTATUS CaptureTarget(const char *routine, PCUNICODE_STRING target, std::u16string *text,
                       std::u16string *slack)
{
    if (!target) {
        Violation("%s: no link target", routine);
        return STATUS_ACCESS_VIOLATION;
    }
    const USHORT maximum = target->MaximumLength & ~1;
    if ((target->Length & 1) || maximum < target->Length || maximum == 0)
        return STATUS_INVALID_PARAMETER;
    if (!target->Buffer) {
        Violation("%s: link target of %u bytes without a buffer", routine, maximum);
        return STATUS_ACCESS_VIOLATION;
    }
    text->assign(target->Buffer, target->Length / sizeof(WCHAR));
    slack->assign(target->Buffer + target->Length / sizeof(WCHAR),
                  (maximum - target->Length) / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

/* Checks the object attributes and captures the name in them. */
NTSTATUS CaptureAttributes(const char *routine, POBJECT_ATTRIBUTES oa, std::u16string *name)
{
    if (!oa) {
        Violation("%s: no ObjectAttributes", routine);
        return STATUS_ACCESS_VIOLATION;
    }
    if (oa->Length != sizeof(OBJECT_ATTRIBUTES) || (oa->Attributes & ~OBJ_VALID_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    if (!(oa->Attributes & OBJ_KERNEL_HANDLE)) {
        Violation("%s: ObjectAttributes without OBJ_KERNEL_HANDLE", routine);
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CaptureName(routine, oa->ObjectName, name);
    if (!NT_SUCCESS(status))
        return status;
    if (oa->RootDirectory) {
        /* No object directory can be opened yet, so no root handle can be
         * one; names relative to other objects are not modelled. */
        HandleEntry entry;
        status = ReferenceAnyHandle(oa->RootDirectory, &entry);
        if (!NT_SUCCESS(status))
            return status;
        return STATUS_NOT_IMPLEMENTED;
    }
    return STATUS_SUCCESS;
}

HANDLE OpenHandle(const std::shared_ptr<SymbolicLink> &link, ACCESS_MASK granted,
                  ULONG attributes)
{
    link->handles++;
    return InsertHandle(link, granted, attributes);
}

/* Drops a link's name once nothing keeps it: not permanent, no handle. */
void UnnameIfUnused(SymbolicLink &link)
{
    if (!link.permanent && link.handles == 0)
        Unname(link);
}

struct LinkRequest {
    std::u16string name; /* empty: an unnamed link */
    std::u16string target;
    std::u16string slack;
    ULONG attributes = 0;
    ACCESS_MASK access = 0;
};

/* Creates and inserts a link; a handle to it goes to *handle unless that
 * is null.  With OBJ_OPENIF an existing link of the name is opened
 * instead, with STATUS_OBJECT_NAME_EXISTS. */
NTSTATUS CreateLink(const LinkRequest &request, HANDLE *handle)
{
    const bool permanent = (request.attributes & OBJ_PERMANENT) != 0;
    auto link = std::make_shared<SymbolicLink>();
    link->target = request.target;
    link->slack = request.slack;
    link->permanent = permanent;
    NTSTATUS status = STATUS_SUCCESS;
    if (!request.name.empty()) {
        status = InsertObject(request.name, link, permanent);
        if (status == STATUS_OBJECT_NAME_COLLISION && (request.attributes & OBJ_OPENIF)) {
            Lookup existing;
            status = LookupName(request.name, true, &existing);
            if (!NT_SUCCESS(status))
                return status;
            if (existing.object->Kind() != ObjectKind::SymbolicLink)
                return STATUS_OBJECT_TYPE_MISMATCH;
            link = std::static_pointer_cast<SymbolicLink>(existing.object);
            status = STATUS_OBJECT_NAME_EXISTS;
        } else if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (handle)
        *handle = OpenHandle(link, MapAccess(request.access), request.attributes);
    else
        UnnameIfUnused(*link);
    return status;
}

} // namespace

namespace sk {
namespace ob {

void SymbolicLink::OnHandleClosed()
{
    if (handles == 0) {
        Violation("a handle to a symbolic link closed that was never counted");
        return;
    }
    handles--;
    UnnameIfUnused(*this);
}

} // namespace ob

NTSTATUS CreatePermanentLink(const std::u16string &name, const std::u16string &target)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto link = std::make_shared<SymbolicLink>();
    link->target = target;
    link->slack = std::u16string(1, u'\0');
    return InsertObject(name, link, true);
}

NTSTATUS RemoveLink(const std::u16string &name)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    Lookup lookup;
    NTSTATUS status = LookupName(name, true, &lookup);
    if (!NT_SUCCESS(status))
        return status;
    if (lookup.object->Kind() != ObjectKind::SymbolicLink)
        return STATUS_OBJECT_TYPE_MISMATCH;
    Unname(static_cast<SymbolicLink &>(*lookup.object));
    return STATUS_SUCCESS;
}

std::optional<std::u16string> LinkTarget(const std::u16string &name)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    Lookup lookup;
    if (!NT_SUCCESS(LookupName(name, true, &lookup)) ||
        lookup.object->Kind() != ObjectKind::SymbolicLink)
        return std::nullopt;
    return static_cast<const SymbolicLink &>(*lookup.object).target;
}

} // namespace sk

/* A failed create leaves *LinkHandle as it was, as NT does. */
NTSTATUS NTAPI ZwCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes,
                                          PUNICODE_STRING LinkTarget)
{
    SK_ENTER("ZwCreateSymbolicLinkObject");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const char *routine = "ZwCreateSymbolicLinkObject";
    if (!LinkHandle) {
        Violation("%s: no LinkHandle", routine);
        return STATUS_ACCESS_VIOLATION;
    }
    LinkRequest request;
    NTSTATUS status = CaptureTarget(routine, LinkTarget, &request.target, &request.slack);
    if (!NT_SUCCESS(status))
        return status;
    status = CaptureAttributes(routine, ObjectAttributes, &request.name);
    if (!NT_SUCCESS(status))
        return status;
    request.attributes = ObjectAttributes->Attributes;
    request.access = DesiredAccess;
    HANDLE handle = nullptr;
    status = CreateLink(request, &handle);
    if (NT_SUCCESS(status))
        *LinkHandle = handle;
    return status;
}

NTSTATUS NTAPI ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes)
{
    SK_ENTER("ZwOpenSymbolicLinkObject");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const char *routine = "ZwOpenSymbolicLinkObject";
    if (!LinkHandle) {
        Violation("%s: no LinkHandle", routine);
        return STATUS_ACCESS_VIOLATION;
    }
    *LinkHandle = nullptr;
    std::u16string name;
    NTSTATUS status = CaptureAttributes(routine, ObjectAttributes, &name);
    if (!NT_SUCCESS(status))
        return status;
    /* Asking for the link type is what stops the parse at a final link. */
    Lookup lookup;
    status = LookupName(name, true, &lookup);
    if (!NT_SUCCESS(status))
        return status;
    if (lookup.object->Kind() != ObjectKind::SymbolicLink)
        return STATUS_OBJECT_TYPE_MISMATCH;
    *LinkHandle = OpenHandle(std::static_pointer_cast<SymbolicLink>(lookup.object),
                             MapAccess(DesiredAccess), ObjectAttributes->Attributes);
    return STATUS_SUCCESS;
}

/*
 * With ReturnedLength the whole stored buffer (MaximumLength bytes, the
 * NUL included when the creator had one) must fit and is copied; without
 * it only Length bytes.  A buffer too small is left alone, Length
 * included; *ReturnedLength is the stored MaximumLength either way.
 */
NTSTATUS NTAPI ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                         PULONG ReturnedLength)
{
    SK_ENTER("ZwQuerySymbolicLinkObject");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!LinkTarget) {
        Violation("ZwQuerySymbolicLinkObject: no LinkTarget");
        return STATUS_ACCESS_VIOLATION;
    }
    if (LinkTarget->MaximumLength && !LinkTarget->Buffer) {
        Violation("ZwQuerySymbolicLinkObject: MaximumLength %u without a buffer",
                  LinkTarget->MaximumLength);
        return STATUS_ACCESS_VIOLATION;
    }
    HandleEntry entry;
    NTSTATUS status = ReferenceHandle(LinkHandle, ObjectKind::SymbolicLink, &entry);
    if (!NT_SUCCESS(status))
        return status;
    if (!Granted(entry, SYMBOLIC_LINK_QUERY))
        return STATUS_ACCESS_DENIED;
    const auto &link = static_cast<const SymbolicLink &>(*entry.object);
    const std::u16string stored = link.target + link.slack;
    const ULONG length = (ULONG)(link.target.size() * sizeof(WCHAR));
    const ULONG maximum = (ULONG)(stored.size() * sizeof(WCHAR));
    const ULONG used = ReturnedLength ? maximum : length;
    if (used <= LinkTarget->MaximumLength) {
        if (used)
            memcpy(LinkTarget->Buffer, stored.data(), used);
        LinkTarget->Length = (USHORT)length;
    } else {
        status = STATUS_BUFFER_TOO_SMALL;
    }
    if (ReturnedLength)
        *ReturnedLength = maximum;
    return status;
}

/* Only symbolic links are modelled as named objects that can be made
 * temporary. */
NTSTATUS NTAPI ZwMakeTemporaryObject(HANDLE Handle)
{
    SK_ENTER("ZwMakeTemporaryObject");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    HandleEntry entry;
    NTSTATUS status = ReferenceAnyHandle(Handle, &entry);
    if (!NT_SUCCESS(status))
        return status;
    if (!Granted(entry, DELETE))
        return STATUS_ACCESS_DENIED;
    if (entry.object->Kind() != ObjectKind::SymbolicLink)
        return STATUS_NOT_IMPLEMENTED;
    auto &link = static_cast<SymbolicLink &>(*entry.object);
    link.permanent = false;
    UnnameIfUnused(link);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    SK_ENTER("IoCreateSymbolicLink");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const char *routine = "IoCreateSymbolicLink";
    if (!SymbolicLinkName) {
        Violation("%s: no SymbolicLinkName", routine);
        return STATUS_ACCESS_VIOLATION;
    }
    LinkRequest request;
    NTSTATUS status = CaptureTarget(routine, DeviceName, &request.target, &request.slack);
    if (!NT_SUCCESS(status))
        return status;
    status = CaptureName(routine, SymbolicLinkName, &request.name);
    if (!NT_SUCCESS(status))
        return status;
    request.attributes = OBJ_PERMANENT | OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
    request.access = SYMBOLIC_LINK_ALL_ACCESS;
    return CreateLink(request, nullptr);
}

/* The name goes at once unless handles are open to the link; then it goes
 * with the last of them, as the link is only made temporary. */
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    SK_ENTER("IoDeleteSymbolicLink");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const char *routine = "IoDeleteSymbolicLink";
    if (!SymbolicLinkName) {
        Violation("%s: no SymbolicLinkName", routine);
        return STATUS_ACCESS_VIOLATION;
    }
    std::u16string name;
    NTSTATUS status = CaptureName(routine, SymbolicLinkName, &name);
    if (!NT_SUCCESS(status))
        return status;
    Lookup lookup;
    status = LookupName(name, true, &lookup);
    if (!NT_SUCCESS(status))
        return status;
    if (lookup.object->Kind() != ObjectKind::SymbolicLink)
        return STATUS_OBJECT_TYPE_MISMATCH;
    auto &link = static_cast<SymbolicLink &>(*lookup.object);
    link.permanent = false;
    UnnameIfUnused(link);
    return STATUS_SUCCESS;
}
