/*
 * process_test.cpp - processes and their notify routines, process lookups
 * and object references, and the system's clock and version as drivers
 * read them.
 */
#include "simkernel/clock.h"
#include "simkernel/io.h"
#include "tests/support/kernel_test.h"

#include <thread>
#include <utility>

namespace {

using qtest::OneViolation;
using qtest::ViolationsDuring;

struct Notification {
    HANDLE parent;
    HANDLE process;
    BOOLEAN create;
    HANDLE current;
    std::thread::id thread;
    NTSTATUS lookup;
    std::string imageName;
};

std::vector<Notification> *notifications;

VOID NTAPI RecordNotification(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create)
{
    Notification seen{ ParentId, ProcessId, Create, PsGetCurrentProcessId(),
                       std::this_thread::get_id(), STATUS_PENDING, "" };
    PEPROCESS process = nullptr;
    seen.lookup = PsLookupProcessByProcessId(ProcessId, &process);
    if (NT_SUCCESS(seen.lookup)) {
        seen.imageName = PsGetProcessImageFileName(process);
        ObDereferenceObject(process);
    }
    notifications->push_back(seen);
}

VOID NTAPI OtherNotification(HANDLE, HANDLE, BOOLEAN)
{
    notifications->push_back(Notification{});
}

class ProcessTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        notifications = &seen;
    }
    void TearDown() override
    {
        notifications = nullptr;
        KernelTest::TearDown();
    }
    std::vector<Notification> seen;
};

TEST_F(ProcessTest, NotifyRoutinesRunInTheCreatingAndTheExitingThread)
{
    ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(RecordNotification, FALSE));
    HANDLE smss = sk::CreateProcess("\\SystemRoot\\System32\\smss.exe");
    HANDLE csrss = sk::CreateProcess("csrss.exe", smss);
    ASSERT_EQ(seen.size(), 2u);
    const Notification &created = seen[1];
    EXPECT_EQ(created.parent, smss);
    EXPECT_EQ(created.process, csrss);
    EXPECT_TRUE(created.create);
    EXPECT_EQ(created.thread, std::this_thread::get_id());
    EXPECT_EQ(created.current, smss) << "a creation is told in the creator's context";
    EXPECT_STATUS(STATUS_SUCCESS, created.lookup) << "the new process is found already";
    EXPECT_EQ(created.imageName, "csrss.exe");
    EXPECT_EQ(seen[0].parent, sk::kSystemProcessId);
    EXPECT_EQ(seen[0].imageName, "smss.exe") << "the name is the path's last component";
    EXPECT_NE(smss, csrss);
    EXPECT_EQ((uintptr_t)csrss % 4, 0u) << "process ids are multiples of four";

    ASSERT_STATUS(STATUS_SUCCESS, sk::ExitProcess(csrss));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].process, csrss);
    EXPECT_EQ(seen[2].parent, smss);
    EXPECT_FALSE(seen[2].create);
    EXPECT_EQ(seen[2].current, csrss) << "an exit is told in the exiting process's context";
    EXPECT_EQ(PsGetCurrentProcessId(), sk::kSystemProcessId);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, sk::ExitProcess(csrss));

    ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(RecordNotification, TRUE));
    sk::CreateProcess("svchost.exe");
    EXPECT_EQ(seen.size(), 3u) << "a removed routine is not called";
}

TEST_F(ProcessTest, RegistrationsAnswerAsNt)
{
    EXPECT_STATUS(STATUS_PROCEDURE_NOT_FOUND, PsSetCreateProcessNotifyRoutine(RecordNotification, TRUE));
    ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(RecordNotification, FALSE));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, PsSetCreateProcessNotifyRoutine(RecordNotification, FALSE))
        << "a second registration of one routine";
    ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(OtherNotification, FALSE));
    sk::CreateProcess("a.exe");
    ASSERT_EQ(seen.size(), 2u) << "each routine once";
    EXPECT_EQ(seen[0].imageName, "a.exe") << "in the order registered";
    ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(RecordNotification, TRUE));
    EXPECT_STATUS(STATUS_PROCEDURE_NOT_FOUND, PsSetCreateProcessNotifyRoutine(RecordNotification, TRUE));
    ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(OtherNotification, TRUE));

    sk::FailCall("PsSetCreateProcessNotifyRoutine", sk::CallCount("PsSetCreateProcessNotifyRoutine") + 1,
                 STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                  PsSetCreateProcessNotifyRoutine(RecordNotification, FALSE));
}

template <int N>
VOID NTAPI NumberedNotification(HANDLE, HANDLE, BOOLEAN)
{
}

template <size_t... N>
std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> NumberedRoutines(std::index_sequence<N...>)
{
    return { &NumberedNotification<(int)N>... };
}

TEST_F(ProcessTest, SixtyFourRoutinesFitAndASlotFreedIsTakenAgain)
{
    const auto routines = NumberedRoutines(std::make_index_sequence<65>());
    for (size_t i = 0; i < 64; i++)
        ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(routines[i], FALSE)) << i;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, PsSetCreateProcessNotifyRoutine(routines[64], FALSE));
    ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(routines[10], TRUE));
    EXPECT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(routines[64], FALSE));
}

TEST_F(ProcessTest, TheImageNameKeepsFourteenCharacters)
{
    struct Case {
        const char *image;
        const char *kept;
    } cases[] = {
        { "SearchProtocolHost.exe", "SearchProtocol" },
        { "\\Device\\HarddiskVolume1\\Windows\\explorer.exe", "explorer.exe" },
        { "C:/Tools/abcdefghijklmn", "abcdefghijklmn" },
        { "abcdefghijklmno", "abcdefghijklmn" },
    };
    for (const Case &c : cases) {
        HANDLE id = sk::CreateProcess(c.image);
        PEPROCESS process = nullptr;
        ASSERT_STATUS(STATUS_SUCCESS, PsLookupProcessByProcessId(id, &process));
        EXPECT_STREQ(PsGetProcessImageFileName(process), c.kept) << c.image;
        EXPECT_EQ(PsGetProcessId(process), id);
        ObDereferenceObject(process);
    }
    PEPROCESS system = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, PsLookupProcessByProcessId(sk::kSystemProcessId, &system));
    EXPECT_STREQ(PsGetProcessImageFileName(system), "System");
    EXPECT_EQ(IoGetCurrentProcess(), system);
    ObDereferenceObject(system);
}

TEST_F(ProcessTest, ALookupTakesAReferenceThatKeepsAnEndedProcess)
{
    PEPROCESS process = (PEPROCESS)(uintptr_t)0x77;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, PsLookupProcessByProcessId((HANDLE)0, &process))
        << "the idle process";
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, PsLookupProcessByProcessId((HANDLE)(uintptr_t)0x9998, &process));
    EXPECT_EQ(process, (PEPROCESS)(uintptr_t)0x77);

    HANDLE id = sk::CreateProcess("winlogon.exe");
    ASSERT_STATUS(STATUS_SUCCESS, PsLookupProcessByProcessId(id, &process));
    EXPECT_EQ(sk::OutstandingObjectReferences(), 1u);
    EXPECT_NE(sk::ObjectReferenceReport().find("winlogon.exe"), std::string::npos)
        << sk::ObjectReferenceReport();
    ObReferenceObject(process);
    EXPECT_EQ(sk::OutstandingObjectReferences(), 2u);
    ObDereferenceObject(process);

    ASSERT_STATUS(STATUS_SUCCESS, sk::ExitProcess(id));
    PEPROCESS again = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, PsLookupProcessByProcessId(id, &again))
        << "an ended process stays while referenced";
    EXPECT_EQ(again, process);
    ObDereferenceObject(again);
    EXPECT_STREQ(PsGetProcessImageFileName(process), "winlogon.exe");
    ObDereferenceObject(process);
    EXPECT_EQ(sk::OutstandingObjectReferences(), 0u);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, PsLookupProcessByProcessId(id, &again));
    auto seenViolations = ViolationsDuring([&] { ObDereferenceObject(process); });
    EXPECT_TRUE(OneViolation(seenViolations, "no kernel object"));
}

TEST_F(ProcessTest, DroppingMoreReferencesThanTakenIsAViolationWhileTheSystemHoldsIt)
{
    HANDLE id = sk::CreateProcess("lsass.exe");
    PEPROCESS process = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, PsLookupProcessByProcessId(id, &process));
    ObDereferenceObject(process);
    auto seenViolations = ViolationsDuring([&] { ObDereferenceObject(process); });
    EXPECT_TRUE(OneViolation(seenViolations, "holds no reference"));
    PEPROCESS still = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, PsLookupProcessByProcessId(id, &still))
        << "the live process is untouched";
    ObDereferenceObject(still);
}

/* The clock and the system version. */

class SystemInfoTest : public qtest::KernelTest {};

LONGLONG Ticks()
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return ticks.QuadPart;
}

TEST_F(SystemInfoTest, TheTickCountFollowsTheUptimeAndTheSystemTimeMovesWithIt)
{
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    EXPECT_EQ(Ticks(), 0);
    EXPECT_EQ(sk::UptimeSeconds(), 0u);
    const LONGLONG before = sk::PeekSystemTime();
    sk::AdvanceUptime(2);
    EXPECT_EQ(Ticks(), 128) << "64 ticks of 15.625 ms to the second";
    EXPECT_EQ(KeQueryInterruptTime(), 20000000u);
    EXPECT_EQ(sk::UptimeSeconds(), 2u);
    EXPECT_GE(sk::PeekSystemTime() - before, 20000000);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_GE(now.QuadPart, before + 20000000);

    sk::SetUptime(3600);
    EXPECT_EQ(Ticks() * KeQueryTimeIncrement() / 10000000, 3600);
    const LONGLONG late = sk::PeekSystemTime();
    EXPECT_GE(late - before, 3600LL * 10000000);
    sk::SetUptime(5);
    EXPECT_EQ(sk::UptimeSeconds(), 5u) << "a new boot counts from the start";
    EXPECT_GE(sk::PeekSystemTime(), late) << "the system time never goes back";

    sk::SetTimeIncrement(100000);
    EXPECT_EQ(Ticks(), 500);
    sk::ResetKernel();
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    EXPECT_EQ(Ticks(), 0);
}

TEST_F(SystemInfoTest, VersionsAnswerForTheConfiguredWindows)
{
    ULONG major = 0, minor = 0, build = 0;
    UNICODE_STRING csd{};
    EXPECT_FALSE(PsGetVersion(&major, &minor, &build, &csd)) << "no checked build";
    EXPECT_EQ(major, 10u);
    EXPECT_EQ(minor, 0u);
    EXPECT_EQ(build, 19045u);
    EXPECT_EQ(csd.Length, 0);
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN7));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10_VB)) << "22H2 is a release of 2004";
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10_CO));

    sk::SetWindowsVersion(6, 1, 7601, 1);
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN7));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(0x06010100)) << "Windows 7 SP1";
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(0x06010200));
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WIN8));
    EXPECT_TRUE(PsGetVersion(nullptr, nullptr, nullptr, nullptr) == FALSE);
    ASSERT_FALSE(PsGetVersion(&major, &minor, &build, &csd));
    EXPECT_EQ(major, 6u);
    EXPECT_EQ(build, 7601u);
    EXPECT_EQ(qtest::U8(std::u16string(csd.Buffer, csd.Length / sizeof(WCHAR))), "Service Pack 1");

    RTL_OSVERSIONINFOEXW info;
    memset(&info, 0xCC, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_STATUS(STATUS_SUCCESS, RtlGetVersion((PRTL_OSVERSIONINFOW)&info));
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_EQ(info.dwPlatformId, (ULONG)VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.wServicePackMajor, 1);
    EXPECT_EQ(info.wProductType, VER_NT_WORKSTATION);
    info.dwOSVersionInfoSize = 12;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlGetVersion((PRTL_OSVERSIONINFOW)&info));
}

TEST_F(SystemInfoTest, TheVersionCheckIsAnExportATestCanTakeAway)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"RtlIsNtDdiVersionAvailable");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&RtlIsNtDdiVersionAvailable));
    sk::SetRoutineExported("RtlIsNtDdiVersionAvailable", false);
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
    sk::ResetKernel();
    EXPECT_NE(MmGetSystemRoutineAddress(&name), nullptr);
}

VOID NTAPI SomeDriverRoutine() {}

TEST_F(SystemInfoTest, PagingTheDriverIsRecorded)
{
    EXPECT_FALSE(sk::DriverPagedOut());
    PVOID address = reinterpret_cast<PVOID>(&SomeDriverRoutine);
    EXPECT_EQ(MmPageEntireDriver(address), address);
    EXPECT_TRUE(sk::DriverPagedOut());
    sk::ResetKernel();
    EXPECT_FALSE(sk::DriverPagedOut());
}

} // namespace
