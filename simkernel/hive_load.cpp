/*
 * hive_load.cpp - ZwLoadKey and ZwUnloadKey.
 *
 * A hive file is opened as NT opens it (through links and volumes), read,
 * and its keys attached at the target path as a hive of their own.  NT's
 * refusals: an occupied mount point, a missing or unreadable file, a file
 * already loaded elsewhere, and an unload while handles are open into the
 * hive.
 */
#include "simkernel/hive_load.h"
#include "simkernel/internal.h"
#include "simkernel/registry.h"
#include "simkernel/upcase.h"
#include "simkernel/volume.h"

#include <map>

namespace sk {

namespace {

struct LoadState {
    HiveFileReader reader;
    /* Upcased mount path -> (mount path, host file). */
    std::map<std::u16string, std::pair<std::u16string, std::string>> loaded;
};

LoadState &State()
{
    static LoadState *state = new LoadState;
    return *state;
}

NTSTATUS DefaultReader(const std::string &, std::vector<HiveFileKey> *)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CaptureAbsoluteName(const char *routine, POBJECT_ATTRIBUTES attributes,
                             std::u16string *name)
{
    if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES) || !attributes->ObjectName) {
        Violation("%s: malformed object attributes", routine);
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes->RootDirectory)
        return STATUS_NOT_IMPLEMENTED;
    const UNICODE_STRING *s = attributes->ObjectName;
    if ((s->Length & 1) || (s->Length && !s->Buffer))
        return STATUS_OBJECT_NAME_INVALID;
    name->assign(s->Buffer ? s->Buffer : u"", s->Length / sizeof(WCHAR));
    while (name->size() > 1 && name->back() == u'\\')
        name->pop_back();
    return STATUS_SUCCESS;
}

/* The host file behind an NT file name, found as an open would find it. */
NTSTATUS HostFileOf(POBJECT_ATTRIBUTES source, std::string *hostPath)
{
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io;
    OBJECT_ATTRIBUTES attributes = *source;
    attributes.Attributes |= OBJ_KERNEL_HANDLE;
    NTSTATUS status = ZwOpenFile(&handle, FILE_READ_DATA | SYNCHRONIZE, &attributes, &io,
                                 FILE_SHARE_READ,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<fs::FileObject> file;
    status = fs::ReferenceFile(handle, 0, &file);
    if (NT_SUCCESS(status))
        *hostPath = fs::HostPath(*file->volume, file->path);
    ZwClose(handle);
    return status;
}

} // namespace

void SetHiveFileReader(HiveFileReader reader)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    State().reader = std::move(reader);
}

std::vector<std::pair<std::u16string, std::string>> LoadedHives()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::vector<std::pair<std::u16string, std::string>> hives;
    for (const auto &entry : State().loaded)
        hives.push_back(entry.second);
    return hives;
}

void ResetHiveLoads()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    State().loaded.clear();
    State().reader = nullptr;
}

} // namespace sk

using namespace sk;

NTSTATUS NTAPI ZwLoadKey(POBJECT_ATTRIBUTES TargetKey, POBJECT_ATTRIBUTES SourceFile)
{
    SK_ENTER("ZwLoadKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::u16string target;
    NTSTATUS status = CaptureAbsoluteName("ZwLoadKey", TargetKey, &target);
    if (!NT_SUCCESS(status))
        return status;
    if (RegKeyExists(target))
        return STATUS_OBJECT_NAME_COLLISION;

    std::string hostPath;
    status = HostFileOf(SourceFile, &hostPath);
    if (!NT_SUCCESS(status))
        return status;
    for (const auto &entry : State().loaded) {
        if (entry.second.second == hostPath)
            return STATUS_SHARING_VIOLATION; /* NT holds a loaded hive's file exclusively */
    }

    std::vector<HiveFileKey> keys;
    HiveFileReader reader = State().reader ? State().reader : DefaultReader;
    status = reader(hostPath, &keys);
    if (!NT_SUCCESS(status))
        return status;

    size_t slash = target.rfind(u'\\');
    std::u16string hiveName = target.substr(slash + 1);
    std::u16string file(hostPath.begin(), hostPath.end());
    status = MountHive(target, hiveName, file);
    if (!NT_SUCCESS(status))
        return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND : status;
    for (const HiveFileKey &key : keys) {
        std::u16string path = key.path.empty() ? target : target + u"\\" + key.path;
        RegCreateKey(path);
        for (const HiveFileValue &value : key.values)
            RegSetValue(path, value.name, value.type, value.data);
    }
    RegMarkHiveClean(target);
    State().loaded[Upcase(target)] = { target, hostPath };
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwUnloadKey(POBJECT_ATTRIBUTES TargetKey)
{
    SK_ENTER("ZwUnloadKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::u16string target;
    NTSTATUS status = CaptureAbsoluteName("ZwUnloadKey", TargetKey, &target);
    if (!NT_SUCCESS(status))
        return status;
    auto found = State().loaded.find(Upcase(target));
    if (found == State().loaded.end())
        return RegKeyExists(target) ? STATUS_INVALID_PARAMETER : STATUS_OBJECT_NAME_NOT_FOUND;
    status = UnmountHive(found->second.first);
    if (!NT_SUCCESS(status))
        return status;
    State().loaded.erase(found);
    return STATUS_SUCCESS;
}
