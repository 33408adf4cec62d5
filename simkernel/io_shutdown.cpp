/*
 * io_shutdown.cpp - shutdown notification: the devices registered for
 * IRP_MJ_SHUTDOWN, each holding a system reference while registered, and
 * the shutdown request the system sends them, the last registered first.
 */
#include "simkernel/io.h"
#include "simkernel/io_internal.h"

#include <vector>

namespace sk {
namespace io {

namespace {

/* In registration order; shutdown goes from the back.  Guarded by the
 * kernel lock. */
std::vector<PDEVICE_OBJECT> &ShutdownList()
{
    static std::vector<PDEVICE_OBJECT> list;
    return list;
}

} // namespace

/* Takes every shutdown registration of the device out; kernel lock held. */
void RemoveShutdownRegistrations(PDEVICE_OBJECT device)
{
    std::vector<PDEVICE_OBJECT> &list = ShutdownList();
    size_t removed = 0;
    for (auto it = list.begin(); it != list.end();) {
        if (*it == device) {
            it = list.erase(it);
            removed++;
        } else {
            ++it;
        }
    }
    device->Flags &= ~DO_SHUTDOWN_REGISTERED;
    for (size_t i = 0; i < removed; i++)
        DropSystemReference(device);
}

void ResetShutdownList()
{
    ShutdownList().clear();
}

} // namespace io

size_t DeliverShutdown()
{
    std::vector<PDEVICE_OBJECT> list;
    {
        std::lock_guard<std::recursive_mutex> guard(KernelLock());
        list.swap(io::ShutdownList());
    }
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        io::SendMajorFunction(*it, IRP_MJ_SHUTDOWN);
        std::lock_guard<std::recursive_mutex> guard(KernelLock());
        io::DropSystemReference(*it);
    }
    return list.size();
}

} // namespace sk

using namespace sk;
using namespace sk::io;

/* Registering twice queues the device twice, as NT does. */
NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject)
{
    SK_ENTER("IoRegisterShutdownNotification");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!CheckLiveDevice("IoRegisterShutdownNotification", DeviceObject))
        return STATUS_INVALID_PARAMETER;
    AddSystemReference(DeviceObject);
    ShutdownList().push_back(DeviceObject);
    DeviceObject->Flags |= DO_SHUTDOWN_REGISTERED;
    return STATUS_SUCCESS;
}

VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!CheckLiveDevice("IoUnregisterShutdownNotification", DeviceObject))
        return;
    RemoveShutdownRegistrations(DeviceObject);
}
