/*
 * child_kernel.cpp - the simulated kernel of a child: a fresh kernel over
 * the machine's volume, its hives loaded and flushed, and the control set
 * that SYSTEM\\Select names.
 */
#include "machine/internal.h"

#include "simkernel/files.h"
#include "simkernel/hive_load.h"
#include "simkernel/registry.h"
#include "simkernel/sim.h"

#include <cstring>

namespace qm {

namespace {

std::u16string HiveFileNtPath(Hive hive)
{
    const char *name = HiveFileName(hive);
    return kConfigDirectory + std::u16string(name, name + strlen(name));
}

} // namespace

UNICODE_STRING Counted(const std::u16string &text)
{
    UNICODE_STRING s;
    s.Buffer = (PWCH)text.data();
    s.Length = (USHORT)(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

/* ZwLoadKey of the hive at its mount path from file, an NT path. */
NTSTATUS LoadHiveFrom(Hive hive, const std::u16string &file)
{
    const std::u16string mount = HiveMountPath(hive);
    UNICODE_STRING mountName = Counted(mount);
    UNICODE_STRING fileName = Counted(file);
    OBJECT_ATTRIBUTES target;
    OBJECT_ATTRIBUTES source;
    InitializeObjectAttributes(&target, &mountName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    InitializeObjectAttributes(&source, &fileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    return ZwLoadKey(&target, &source);
}

/* ZwLoadKey of the hive at its mount path from its file on volume C:. */
NTSTATUS LoadHive(Hive hive)
{
    return LoadHiveFrom(hive, HiveFileNtPath(hive));
}

/* ZwFlushKey on the key at path, as the system does at shutdown. */
NTSTATUS FlushKeyAt(const std::u16string &path)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = nullptr;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    status = ZwFlushKey(key);
    ZwClose(key);
    return status;
}

ULONG CurrentControlSet()
{
    std::optional<sk::RegValue> value =
        sk::RegGetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\Select", u"Current");
    if (value && value->type == REG_DWORD && value->data.size() == 4) {
        ULONG current;
        memcpy(&current, value->data.data(), 4);
        if (current != 0 && current < 1000)
            return current;
    }
    return 1;
}

/* A fresh kernel with volume C: over the machine's directory. */
std::string StartKernel(const std::string &dir)
{
    sk::ResetKernel();
    NTSTATUS status = sk::AddVolume(kVolumeDevice, VolumeRoot(dir), u'C');
    if (!NT_SUCCESS(status))
        return "volume C: over " + VolumeRoot(dir) + ": " + Status(status);
    return std::string();
}

} // namespace qm
