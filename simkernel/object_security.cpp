/*
 * object_security.cpp - ObOpenObjectByPointer and ZwSetSecurityObject on
 * the objects whose security simkernel keeps: device objects.
 *
 * ObOpenObjectByPointer gives a kernel handle to a device the caller holds
 * a pointer to; in kernel mode no access check is made and the rights asked
 * for are granted, generic ones mapped as for files.  The handle holds a
 * reference on the device until it is closed.  ZwSetSecurityObject checks
 * the handle's rights for what it sets (WRITE_DAC for the DACL),
 * captures and checks the descriptor, and stores the merged descriptor on
 * the device (security.h).  Objects of other kinds, user-mode opens, passed
 * access states and object-type checks are not modelled and answer
 * STATUS_NOT_IMPLEMENTED.
 */
#include "simkernel/internal.h"
#include "simkernel/io_internal.h"
#include "simkernel/security.h"

namespace sk {

namespace {

/* A handle to a device object itself, not an open of its namespace. */
struct DeviceObjectHandle : Object {
    ObjectKind Kind() const override { return ObjectKind::Device; }
    void OnHandleClosed() override { io::DropSystemReference(device); }
    PDEVICE_OBJECT device = nullptr;
};

/* The rights a set-security request needs on its handle. */
ACCESS_MASK SetSecurityAccess(SECURITY_INFORMATION information)
{
    ACCESS_MASK access = 0;
    if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
        access |= WRITE_OWNER;
    if (information & DACL_SECURITY_INFORMATION)
        access |= WRITE_DAC;
    if (information & SACL_SECURITY_INFORMATION)
        access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

} // namespace

} // namespace sk

using namespace sk;

NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                     PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                     PHANDLE Handle)
{
    SK_ENTER("ObOpenObjectByPointer");
    if (!Handle) {
        Violation("ObOpenObjectByPointer: no Handle");
        return STATUS_ACCESS_VIOLATION;
    }
    if (!(HandleAttributes & OBJ_KERNEL_HANDLE)) {
        Violation("ObOpenObjectByPointer: HandleAttributes without OBJ_KERNEL_HANDLE");
        return STATUS_INVALID_PARAMETER;
    }
    if (HandleAttributes & ~OBJ_VALID_ATTRIBUTES)
        return STATUS_INVALID_PARAMETER;
    if (PassedAccessState || ObjectType || AccessMode != KernelMode)
        return STATUS_NOT_IMPLEMENTED;

    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!Object || !io::IsObject(Object)) {
        Violation("ObOpenObjectByPointer: %p is no kernel object", Object);
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)Object;
    if (!io::DeviceSecurityOf(device))
        return STATUS_NOT_IMPLEMENTED;
    ACCESS_MASK granted = DesiredAccess & MAXIMUM_ALLOWED
                              ? FILE_ALL_ACCESS
                              : MapGenericMask(DesiredAccess, kFileGenericMapping);
    auto object = std::make_shared<DeviceObjectHandle>();
    object->device = device;
    io::AddSystemReference(device);
    *Handle = InsertHandle(object, granted, HandleAttributes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    SK_ENTER("ZwSetSecurityObject");
    HandleEntry entry;
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    NTSTATUS status = ReferenceAnyHandle(Handle, &entry);
    if (!NT_SUCCESS(status))
        return status;
    if (!Granted(entry, SetSecurityAccess(SecurityInformation)))
        return STATUS_ACCESS_DENIED;
    if (!SecurityDescriptor)
        return STATUS_ACCESS_VIOLATION;
    auto target = std::dynamic_pointer_cast<DeviceObjectHandle>(entry.object);
    if (!target)
        return STATUS_NOT_IMPLEMENTED;

    SecurityContents modification;
    status = CaptureSecurityDescriptor(SecurityDescriptor, &modification);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<uint8_t> stored = *io::DeviceSecurityOf(target->device);
    status = ApplySecurityInformation(&stored, SecurityInformation, modification,
                                      kFileGenericMapping);
    if (!NT_SUCCESS(status))
        return status;
    io::SetDeviceSecurity(target->device, std::move(stored));
    return STATUS_SUCCESS;
}
