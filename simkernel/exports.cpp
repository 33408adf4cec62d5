/*
 * exports.cpp - MmGetSystemRoutineAddress over the kernel's export table,
 * which tests shape: a driver that looks a routine up finds it or not as it
 * would on the Windows it is meant for.
 *
 * NT looks the name up in the export tables of the kernel and the HAL,
 * comparing it exactly (case counts) once it is converted to ANSI; a name
 * that is not exported answers NULL.  Exported names lead to the simkernel
 * routines of that name.  A fresh kernel exports ZwRenameKey and
 * RtlIsNtDdiVersionAvailable, and ExAllocatePool2 while the Windows
 * modelled has it (SetWindowsVersion exports or withdraws it).
 */
#include "simkernel/internal.h"

#include <map>

namespace sk {

namespace {

#define SK_ROUTINE(name) { #name, reinterpret_cast<void *>(&::name) }

/* Every platform routine simkernel implements, by name. */
const std::map<std::string, void *> &Implemented()
{
    static const std::map<std::string, void *> routines = {
        SK_ROUTINE(ExAllocatePoolWithTag),
        SK_ROUTINE(ExAllocatePool2),
        SK_ROUTINE(ExFreePoolWithTag),
        SK_ROUTINE(MmGetSystemRoutineAddress),
        SK_ROUTINE(ZwClose),
        SK_ROUTINE(ZwCreateKey),
        SK_ROUTINE(ZwOpenKey),
        SK_ROUTINE(ZwSetValueKey),
        SK_ROUTINE(ZwQueryValueKey),
        SK_ROUTINE(ZwEnumerateKey),
        SK_ROUTINE(ZwEnumerateValueKey),
        SK_ROUTINE(ZwQueryKey),
        SK_ROUTINE(ZwDeleteKey),
        SK_ROUTINE(ZwDeleteValueKey),
        SK_ROUTINE(ZwFlushKey),
        SK_ROUTINE(ZwRenameKey),
        SK_ROUTINE(ZwLoadKey),
        SK_ROUTINE(ZwUnloadKey),
        SK_ROUTINE(ZwCreateFile),
        SK_ROUTINE(ZwOpenFile),
        SK_ROUTINE(ZwReadFile),
        SK_ROUTINE(ZwWriteFile),
        SK_ROUTINE(ZwQueryInformationFile),
        SK_ROUTINE(ZwSetInformationFile),
        SK_ROUTINE(ZwQueryDirectoryFile),
        SK_ROUTINE(ZwFlushBuffersFile),
        SK_ROUTINE(ZwCreateSymbolicLinkObject),
        SK_ROUTINE(ZwOpenSymbolicLinkObject),
        SK_ROUTINE(ZwQuerySymbolicLinkObject),
        SK_ROUTINE(ZwMakeTemporaryObject),
        SK_ROUTINE(IoCreateSymbolicLink),
        SK_ROUTINE(IoDeleteSymbolicLink),
        SK_ROUTINE(ZwQueryObject),
        SK_ROUTINE(RtlInitUnicodeString),
        SK_ROUTINE(RtlCompareUnicodeString),
        SK_ROUTINE(RtlEqualUnicodeString),
        SK_ROUTINE(RtlPrefixUnicodeString),
        SK_ROUTINE(RtlCopyUnicodeString),
        SK_ROUTINE(RtlAppendUnicodeToString),
        SK_ROUTINE(RtlAppendUnicodeStringToString),
        SK_ROUTINE(RtlUpcaseUnicodeChar),
        SK_ROUTINE(RtlIsNtDdiVersionAvailable),
        SK_ROUTINE(RtlGetVersion),
        SK_ROUTINE(PsGetVersion),
        SK_ROUTINE(PsGetProcessImageFileName),
        SK_ROUTINE(PsSetCreateProcessNotifyRoutine),
        SK_ROUTINE(PsLookupProcessByProcessId),
        SK_ROUTINE(IoCreateDevice),
        SK_ROUTINE(IoDeleteDevice),
        SK_ROUTINE(IoRegisterShutdownNotification),
        SK_ROUTINE(IoUnregisterShutdownNotification),
        SK_ROUTINE(IoAllocateWorkItem),
        SK_ROUTINE(IoQueueWorkItem),
        SK_ROUTINE(IoFreeWorkItem),
        SK_ROUTINE(KeQueryTimeIncrement),
        SK_ROUTINE(MmPageEntireDriver),
    };
    return routines;
}

#undef SK_ROUTINE

std::map<std::string, void *> &Exported()
{
    static std::map<std::string, void *> exported;
    return exported;
}

} // namespace

void SetRoutineExported(const std::string &name, bool exported)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto routine = Implemented().find(name);
    if (routine == Implemented().end()) {
        Violation("SetRoutineExported: simkernel has no routine %s", name.c_str());
        return;
    }
    if (exported)
        Exported()[name] = routine->second;
    else
        Exported().erase(name);
}

void ExportRoutine(const std::string &name, void *address)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (address)
        Exported()[name] = address;
    else
        Exported().erase(name);
}

void ResetRoutineExports()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    Exported().clear();
    Exported()["ZwRenameKey"] = Implemented().at("ZwRenameKey");
    Exported()["RtlIsNtDdiVersionAvailable"] = Implemented().at("RtlIsNtDdiVersionAvailable");
    if (WindowsHasPool2())
        Exported()["ExAllocatePool2"] = Implemented().at("ExAllocatePool2");
}

bool KernelExportsRoutine(const std::string &name)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return Exported().count(name) != 0;
}

} // namespace sk

using namespace sk;

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    /* A planned fault makes the routine look absent. */
    if (EnterRoutine("MmGetSystemRoutineAddress"))
        return nullptr;
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!SystemRoutineName) {
        Violation("MmGetSystemRoutineAddress: no SystemRoutineName");
        return nullptr;
    }
    const UNICODE_STRING &name = *SystemRoutineName;
    if (name.Length && !name.Buffer) {
        Violation("MmGetSystemRoutineAddress: name of %u bytes without a buffer", name.Length);
        return nullptr;
    }
    /* Export names are ANSI: a character beyond it names nothing. */
    std::string ansi;
    for (size_t i = 0; i < name.Length / sizeof(WCHAR); i++) {
        if (name.Buffer[i] == 0 || name.Buffer[i] > 0x7F)
            return nullptr;
        ansi.push_back((char)name.Buffer[i]);
    }
    auto found = Exported().find(ansi);
    return found == Exported().end() ? nullptr : found->second;
}
