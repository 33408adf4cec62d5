/*
 * process.cpp - processes, their creation notify routines, and the
 * reference counts of kernel objects (ObReferenceObject,
 * ObDereferenceObject) that processes and devices share.
 *
 * NT keeps up to 64 creation notify routines in fixed slots: a routine
 * takes the first free slot, a duplicate or a 65th registration answers
 * STATUS_INVALID_PARAMETER, removing a routine not registered
 * STATUS_PROCEDURE_NOT_FOUND.  The routines run in slot order, on the
 * thread that creates or ends the process, with no lock held.
 *
 * The short image name is kept in 15 bytes as NT does since Vista: 14
 * characters and a NUL.  Process ids are multiples of four and are not
 * reused before a reset; an id leads to its process until the object is
 * gone, which is when it has ended and no reference to it remains.
 */
#include "simkernel/io.h"
#include "simkernel/io_internal.h"

#include <array>
#include <cstdio>
#include <map>

/* The process object; opaque to the driver. */
struct _EPROCESS {
    HANDLE id = nullptr;
    HANDLE parentId = nullptr;
    CHAR imageFileName[15] = {};
    bool exited = false;
};

namespace sk {
namespace io {

namespace {

struct ObjectRecord {
    const char *typeName = "";
    std::function<std::string()> describe;
    std::function<void()> destroy;
    size_t systemReferences = 1;
    size_t driverReferences = 0;
    uint64_t serial = 0;
};

struct ObjectTable {
    std::map<void *, ObjectRecord> objects;
    uint64_t serial = 0;
};

ObjectTable &Objects()
{
    static ObjectTable table;
    return table;
}

void DestroyIfUnreferenced(void *body)
{
    auto found = Objects().objects.find(body);
    if (found == Objects().objects.end())
        return;
    if (found->second.systemReferences || found->second.driverReferences)
        return;
    std::function<void()> destroy = std::move(found->second.destroy);
    Objects().objects.erase(found);
    if (destroy)
        destroy();
}

constexpr size_t kMaxNotifyRoutines = 64;
constexpr size_t kImageNameChars = sizeof(_EPROCESS::imageFileName) - 1;

struct ProcessTable {
    std::map<HANDLE, std::unique_ptr<_EPROCESS>> byId;
    std::array<PCREATE_PROCESS_NOTIFY_ROUTINE, kMaxNotifyRoutines> routines{};
    uintptr_t nextId = 0x100;
    bool built = false;
};

ProcessTable &Processes();

/* Puts a process in the table, with the reference its being alive holds. */
_EPROCESS *InsertProcess(HANDLE id, HANDLE parentId, const std::string &imageName)
{
    auto process = std::make_unique<_EPROCESS>();
    process->id = id;
    process->parentId = parentId;
    size_t start = imageName.find_last_of("\\/");
    std::string shortName = imageName.substr(start == std::string::npos ? 0 : start + 1);
    shortName.resize(std::min(shortName.size(), kImageNameChars));
    memcpy(process->imageFileName, shortName.data(), shortName.size());
    _EPROCESS *body = process.get();
    Processes().byId[id] = std::move(process);
    RegisterObject(
        body, "Process", [body] { return std::string(body->imageFileName); },
        [id] { Processes().byId.erase(id); });
    return body;
}

ProcessTable &Processes()
{
    static ProcessTable table;
    if (!table.built) {
        table.built = true;
        InsertProcess(kSystemProcessId, nullptr, "System");
    }
    return table;
}

/* The process the running thread is in while notify routines run; null,
 * for system threads and tests, stands for the System process. */
thread_local HANDLE notifyContext = nullptr;

HANDLE CurrentProcessId()
{
    return notifyContext ? notifyContext : kSystemProcessId;
}

struct CurrentProcessScope {
    HANDLE saved;
    explicit CurrentProcessScope(HANDLE process) : saved(notifyContext) { notifyContext = process; }
    ~CurrentProcessScope() { notifyContext = saved; }
};

std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> RegisteredRoutines()
{
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> routines;
    for (PCREATE_PROCESS_NOTIFY_ROUTINE routine : Processes().routines) {
        if (routine)
            routines.push_back(routine);
    }
    return routines;
}

_EPROCESS *LiveProcess(const char *routine, PEPROCESS process)
{
    if (!process) {
        Violation("%s: no process", routine);
        return nullptr;
    }
    auto found = Processes().byId.find(process->id);
    if (!IsObject(process) || found == Processes().byId.end() || found->second.get() != process) {
        Violation("%s: %p is no process object", routine, (void *)process);
        return nullptr;
    }
    return process;
}

} // namespace

void RegisterObject(void *body, const char *typeName, std::function<std::string()> describe,
                    std::function<void()> destroy)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    ObjectRecord record;
    record.typeName = typeName;
    record.describe = std::move(describe);
    record.destroy = std::move(destroy);
    record.serial = ++Objects().serial;
    Objects().objects[body] = std::move(record);
}

bool IsObject(void *body)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return Objects().objects.count(body) != 0;
}

void AddSystemReference(void *body)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto found = Objects().objects.find(body);
    if (found == Objects().objects.end()) {
        Violation("reference to %p, which is no kernel object", body);
        return;
    }
    found->second.systemReferences++;
}

void DropSystemReference(void *body)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto found = Objects().objects.find(body);
    if (found == Objects().objects.end() || found->second.systemReferences == 0) {
        Violation("the system dropped a reference to %p that it did not hold", body);
        return;
    }
    found->second.systemReferences--;
    DestroyIfUnreferenced(body);
}

void AddDriverReference(void *body)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    Objects().objects.at(body).driverReferences++;
}

void ResetProcesses()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    /* Dropped without their destroy routines: the rest of the model goes
     * with them. */
    Objects() = ObjectTable();
    Processes() = ProcessTable();
    Processes();
}

} // namespace io

HANDLE CreateProcess(const std::string &imageName, HANDLE parentId)
{
    HANDLE id;
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> routines;
    {
        std::lock_guard<std::recursive_mutex> guard(KernelLock());
        io::ProcessTable &table = io::Processes();
        id = (HANDLE)table.nextId;
        table.nextId += 4;
        io::InsertProcess(id, parentId, imageName);
        routines = io::RegisteredRoutines();
    }
    io::CurrentProcessScope scope(parentId);
    for (PCREATE_PROCESS_NOTIFY_ROUTINE routine : routines)
        routine(parentId, id, TRUE);
    return id;
}

NTSTATUS ExitProcess(HANDLE processId)
{
    HANDLE parentId;
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> routines;
    {
        std::lock_guard<std::recursive_mutex> guard(KernelLock());
        auto found = io::Processes().byId.find(processId);
        if (found == io::Processes().byId.end() || found->second->exited ||
            processId == kSystemProcessId)
            return STATUS_INVALID_PARAMETER;
        found->second->exited = true;
        parentId = found->second->parentId;
        routines = io::RegisteredRoutines();
    }
    {
        io::CurrentProcessScope scope(processId);
        for (PCREATE_PROCESS_NOTIFY_ROUTINE routine : routines)
            routine(parentId, processId, FALSE);
    }
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    io::DropSystemReference(io::Processes().byId.at(processId).get());
    return STATUS_SUCCESS;
}

size_t OutstandingObjectReferences()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    size_t count = 0;
    for (const auto &entry : io::Objects().objects)
        count += entry.second.driverReferences;
    return count;
}

std::string ObjectReferenceReport()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::map<uint64_t, const io::ObjectRecord *> ordered;
    for (const auto &entry : io::Objects().objects) {
        if (entry.second.driverReferences)
            ordered[entry.second.serial] = &entry.second;
    }
    std::string report;
    for (const auto &entry : ordered) {
        const io::ObjectRecord &record = *entry.second;
        char line[160];
        snprintf(line, sizeof(line), "  %zu reference(s) to a %s (%s)\n", record.driverReferences,
                 record.typeName, record.describe ? record.describe().c_str() : "");
        report += line;
    }
    return report;
}

} // namespace sk

using namespace sk;
using namespace sk::io;

NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine,
                                               BOOLEAN Remove)
{
    SK_ENTER("PsSetCreateProcessNotifyRoutine");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!NotifyRoutine) {
        Violation("PsSetCreateProcessNotifyRoutine: no routine");
        return STATUS_INVALID_PARAMETER;
    }
    auto &slots = Processes().routines;
    for (PCREATE_PROCESS_NOTIFY_ROUTINE &slot : slots) {
        if (slot == NotifyRoutine) {
            if (!Remove)
                return STATUS_INVALID_PARAMETER;
            slot = nullptr;
            return STATUS_SUCCESS;
        }
    }
    if (Remove)
        return STATUS_PROCEDURE_NOT_FOUND;
    for (PCREATE_PROCESS_NOTIFY_ROUTINE &slot : slots) {
        if (!slot) {
            slot = NotifyRoutine;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

/* The reference taken goes to the driver, which drops it with
 * ObDereferenceObject.  The idle process (id 0) is not in the table. */
NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS *Process)
{
    SK_ENTER("PsLookupProcessByProcessId");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!Process) {
        Violation("PsLookupProcessByProcessId: no Process");
        return STATUS_ACCESS_VIOLATION;
    }
    auto found = Processes().byId.find(ProcessId);
    if (found == Processes().byId.end())
        return STATUS_INVALID_PARAMETER;
    AddDriverReference(found->second.get());
    *Process = found->second.get();
    return STATUS_SUCCESS;
}

PCHAR NTAPI PsGetProcessImageFileName(PEPROCESS Process)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    _EPROCESS *process = LiveProcess("PsGetProcessImageFileName", Process);
    return process ? process->imageFileName : nullptr;
}

HANDLE NTAPI PsGetProcessId(PEPROCESS Process)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    _EPROCESS *process = LiveProcess("PsGetProcessId", Process);
    return process ? process->id : nullptr;
}

HANDLE NTAPI PsGetCurrentProcessId(VOID)
{
    return CurrentProcessId();
}

PEPROCESS NTAPI IoGetCurrentProcess(VOID)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto found = Processes().byId.find(CurrentProcessId());
    return found == Processes().byId.end() ? nullptr : found->second.get();
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto found = Objects().objects.find(Object);
    if (found == Objects().objects.end()) {
        Violation("ObReferenceObject: %p is no kernel object", Object);
        return 0;
    }
    found->second.driverReferences++;
    return (LONG_PTR)(found->second.driverReferences + found->second.systemReferences);
}

/* Dropping more references than the driver took is a violation even while
 * the system still holds the object. */
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto found = Objects().objects.find(Object);
    if (found == Objects().objects.end()) {
        Violation("ObDereferenceObject: %p is no kernel object (or no longer one)", Object);
        return 0;
    }
    if (found->second.driverReferences == 0) {
        Violation("ObDereferenceObject: the driver holds no reference to the %s %p",
                  found->second.typeName, Object);
        return (LONG_PTR)found->second.systemReferences;
    }
    found->second.driverReferences--;
    const LONG_PTR left =
        (LONG_PTR)(found->second.driverReferences + found->second.systemReferences);
    DestroyIfUnreferenced(Object);
    return left;
}
