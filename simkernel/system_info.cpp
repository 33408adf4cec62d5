/*
 * system_info.cpp - the uptime clock (interrupt time, tick count), the
 * system time as drivers read it, the Windows version, and
 * MmPageEntireDriver.
 *
 * The tick count is the interrupt time divided by the time increment, as
 * the clock interrupt counts it; a default increment of 156250 units makes
 * a tick of 15.625 ms, 64 to the second.
 *
 * RtlIsNtDdiVersionAvailable compares the version asked for with the
 * system's NTDDI value: OS version in the high word, service pack in bits
 * 8-15 and, on Windows 10 and later, the release the build belongs to in
 * the low byte.  PsGetVersion hands out the kernel's own service-pack
 * string, as NT does, rather than copying it.
 */
#include "simkernel/clock.h"
#include "simkernel/io.h"
#include "simkernel/io_internal.h"

namespace sk {
namespace io {

namespace {

constexpr LONGLONG kUnitsPerSecond = 10000000;
constexpr ULONG kDefaultTimeIncrement = 156250;

struct SystemInfo {
    ULONG timeIncrement = kDefaultTimeIncrement;
    ULONG major = 10, minor = 0, build = 19045;
    USHORT servicePack = 0;
    std::u16string csdVersion;
    bool pagedOut = false;
};

/* Guarded by the kernel lock. */
SystemInfo &Info()
{
    static SystemInfo info;
    return info;
}

/* The Windows 10 and 11 release a build belongs to (NTDDI low byte). */
ULONG ReleaseOfBuild(ULONG build)
{
    static const struct {
        ULONG build;
        ULONG release;
    } kReleases[] = {
        { 26100, 0x10 }, { 22621, 0x0C }, { 22000, 0x0B }, { 20348, 0x0A }, { 19041, 0x08 },
        { 18362, 0x07 }, { 17763, 0x06 }, { 17134, 0x05 }, { 16299, 0x04 }, { 15063, 0x03 },
        { 14393, 0x02 }, { 10586, 0x01 },
    };
    for (const auto &entry : kReleases) {
        if (build >= entry.build)
            return entry.release;
    }
    return 0;
}

ULONG SystemNtddiVersion(const SystemInfo &info)
{
    ULONG version = (info.major << 24) | ((info.minor & 0xFF) << 16) |
                    ((ULONG)(info.servicePack & 0xFF) << 8);
    if (info.major >= 10)
        version |= ReleaseOfBuild(info.build);
    return version;
}

void AdvanceInterruptTime(LONGLONG units)
{
    AdvanceSystemTime(units);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    SetInterruptTimeLocked(InterruptTimeLocked() + units);
}

} // namespace

void ResetSystemInfo()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    Info() = SystemInfo();
    ResetDispatcher();
}

} // namespace io

void AdvanceUptime(uint64_t seconds)
{
    io::AdvanceInterruptTime((LONGLONG)seconds * io::kUnitsPerSecond);
}

void SetUptime(uint64_t seconds)
{
    const LONGLONG target = (LONGLONG)seconds * io::kUnitsPerSecond;
    LONGLONG now;
    {
        std::lock_guard<std::mutex> guard(io::DispatcherLock());
        now = io::InterruptTimeLocked();
    }
    if (target >= now) {
        io::AdvanceInterruptTime(target - now);
        return;
    }
    std::lock_guard<std::mutex> guard(io::DispatcherLock());
    io::SetInterruptTimeLocked(target);
}

uint64_t UptimeSeconds()
{
    std::lock_guard<std::mutex> guard(io::DispatcherLock());
    return (uint64_t)(io::InterruptTimeLocked() / io::kUnitsPerSecond);
}

void SetTimeIncrement(ULONG units)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (units == 0) {
        Violation("SetTimeIncrement: an increment of 0");
        return;
    }
    io::Info().timeIncrement = units;
}

void SetWindowsVersion(ULONG major, ULONG minor, ULONG build, USHORT servicePack)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    io::SystemInfo &info = io::Info();
    info.major = major;
    info.minor = minor;
    info.build = build;
    info.servicePack = servicePack;
    info.csdVersion.clear();
    if (servicePack) {
        std::string text = "Service Pack " + std::to_string(servicePack);
        info.csdVersion.assign(text.begin(), text.end());
    }
    /* ExAllocatePool2 came with Windows 10 version 2004. */
    SetRoutineExported("ExAllocatePool2", WindowsHasPool2());
}

bool WindowsHasNxPool()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const io::SystemInfo &info = io::Info();
    return info.major > 6 || (info.major == 6 && info.minor >= 2);
}

bool WindowsHasPool2()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const io::SystemInfo &info = io::Info();
    return info.major > 10 || (info.major == 10 && info.build >= 19041);
}

POOL_TYPE SystemNonPagedPool()
{
    return WindowsHasNxPool() ? NonPagedPoolNx : NonPagedPool;
}

bool DriverPagedOut()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return io::Info().pagedOut;
}

} // namespace sk

using namespace sk;
using namespace sk::io;

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    if (!CurrentCount) {
        Violation("KeQueryTickCount: no CurrentCount");
        return;
    }
    ULONG increment = KeQueryTimeIncrement();
    std::lock_guard<std::mutex> guard(DispatcherLock());
    CurrentCount->QuadPart = InterruptTimeLocked() / increment;
}

ULONG NTAPI KeQueryTimeIncrement(VOID)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return Info().timeIncrement;
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return (ULONGLONG)InterruptTimeLocked();
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    if (!CurrentTime) {
        Violation("KeQuerySystemTime: no CurrentTime");
        return;
    }
    CurrentTime->QuadPart = SystemTimeNow();
}

/* The host has no driver image to page: the address given stands for the
 * base of its section. */
PVOID NTAPI MmPageEntireDriver(PVOID AddressWithinSection)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!AddressWithinSection) {
        Violation("MmPageEntireDriver: no address");
        return nullptr;
    }
    Info().pagedOut = true;
    return AddressWithinSection;
}

BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return Version <= SystemNtddiVersion(Info()) ? TRUE : FALSE;
}

/* Answers whether the kernel is a checked build: never. */
BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                           PUNICODE_STRING CSDVersion)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    SystemInfo &info = Info();
    if (MajorVersion)
        *MajorVersion = info.major;
    if (MinorVersion)
        *MinorVersion = info.minor;
    if (BuildNumber)
        *BuildNumber = info.build;
    if (CSDVersion) {
        CSDVersion->Length = (USHORT)(info.csdVersion.size() * sizeof(WCHAR));
        CSDVersion->MaximumLength = CSDVersion->Length;
        CSDVersion->Buffer = info.csdVersion.empty() ? nullptr : &info.csdVersion[0];
    }
    return FALSE;
}

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (!lpVersionInformation) {
        Violation("RtlGetVersion: no version record");
        return STATUS_ACCESS_VIOLATION;
    }
    const ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW))
        return STATUS_INVALID_PARAMETER;
    SystemInfo &info = Info();
    lpVersionInformation->dwMajorVersion = info.major;
    lpVersionInformation->dwMinorVersion = info.minor;
    lpVersionInformation->dwBuildNumber = info.build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
    memcpy(lpVersionInformation->szCSDVersion, info.csdVersion.data(),
           std::min<size_t>(info.csdVersion.size(), 127) * sizeof(WCHAR));
    if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto *ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = info.servicePack;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = VER_SUITE_SINGLEUSERTS;
        ex->wProductType = VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return STATUS_SUCCESS;
}
