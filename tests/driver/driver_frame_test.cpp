/*
 * driver_frame_test.cpp - the driver as the system loads it: entry at an
 * early-boot load and at a later one, the device and its two control codes,
 * the shutdown request, the deferred run when csrss.exe starts, unload, and
 * entry failing at every call in turn with nothing left behind.
 */
#include "boot/boot.h"
#include "simkernel/hive_load.h"
#include "simkernel/io.h"
#include "simkernel/objects.h"
#include "tests/registry/registry_fixture.h"

#include <atomic>
#include <thread>

namespace {

using qtest::kSoftware;
using qtest::kSystem;

const std::u16string kService = kSystem + u"\\Services\\Qelmbar";
const std::u16string kParameters = kService + u"\\Parameters";

class DriverFrameTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        MakeDir('C', "Windows/System32/config");
        sk::RegCreateKey(kService);
    }
    void TearDown() override
    {
        if (driver_) {
            Unload();
        }
        qtest::RegistryTest::TearDown();
    }

    void EarlyBoot(bool softwareLoaded)
    {
        if (!softwareLoaded) {
            ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(kSoftware));
        }
        ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpEarlyBootLinks());
    }
    NTSTATUS Load()
    {
        driver_ = sk::CreateDriverObject(u"\\Driver\\Qelmbar");
        NTSTATUS status = sk::CallDriverEntry(driver_, DriverEntry, kService);
        if (!NT_SUCCESS(status)) {
            sk::DeleteDriverObject(driver_);
            driver_ = nullptr;
        }
        return status;
    }
    void Unload()
    {
        EXPECT_STATUS(STATUS_SUCCESS, sk::UnloadDriver(driver_));
        sk::DeleteDriverObject(driver_);
        driver_ = nullptr;
        EXPECT_EQ(sk::DeviceCount(), 0u);
        EXPECT_FALSE(sk::ObjectExists(u"\\DosDevices\\Qelmbar"));
    }
    NTSTATUS Control(ULONG code)
    {
        HANDLE device = nullptr;
        NTSTATUS status = sk::OpenDevice(u"\\DosDevices\\Qelmbar", GENERIC_READ | GENERIC_WRITE, &device);
        if (!NT_SUCCESS(status))
            return status;
        ULONG_PTR information = 99;
        status = sk::DeviceIoControl(device, code, nullptr, 0, nullptr, 0, &information);
        EXPECT_EQ(information, 0u);
        EXPECT_STATUS(STATUS_SUCCESS, sk::CloseDevice(device));
        return status;
    }
    std::optional<ULONG> Dword(const std::u16string &name)
    {
        auto value = sk::RegGetValue(kParameters, name);
        if (!value || value->type != REG_DWORD)
            return std::nullopt;
        return *(const ULONG *)value->data.data();
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(DriverFrameTest, ALaterLoadOnlyServesTheDevice)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpLateBootLinks());
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    EXPECT_TRUE(sk::DriverPagedOut());
    EXPECT_EQ(sk::DeviceCount(), 1u);
    EXPECT_FALSE(sk::RegKeyExists(kParameters)) << "no boot pass";
    EXPECT_FALSE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY);
    EXPECT_NE(ZwRenameKeyRoutine, nullptr) << "Windows 10 exports ZwRenameKey";

    EXPECT_STATUS(STATUS_SUCCESS, Control(0x50005404));
    EXPECT_STATUS(STATUS_SUCCESS, Control(0x5000D408));
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, Control(0x50005408));
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, Control(0x00220000));

    /* Unload runs the shutdown pass; with no Parameters key it records
     * nothing. */
    Unload();
    EXPECT_FALSE(sk::RegKeyExists(kParameters));
}

TEST_F(DriverFrameTest, AnUnloadRecordsTheCycleLikeAShutdown)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpLateBootLinks());
    sk::RegCreateKey(kParameters);
    sk::RegSetDword(kParameters, u"ImproperShutdown", 1);
    sk::RegSetDword(kParameters, u"TickCounter", 10);
    sk::SetUptime(100);
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    sk::AdvanceUptime(20);
    Unload();
    EXPECT_FALSE(sk::RegGetValue(kParameters, u"ImproperShutdown").has_value());
    EXPECT_EQ(Dword(u"TickCounter"), 130u) << "a cycle without a boot pass counts from system start";
    auto root = sk::RegGetValue(kParameters, u"SystemRoot");
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->type, (ULONG)REG_SZ);
}

TEST_F(DriverFrameTest, TheEarlyBootLoadRunsTheBootPassAndDefersUntilCsrss)
{
    EarlyBoot(false);
    sk::RegCreateKey(kParameters);
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList",
                          { u"CreateKey(\"" + kSoftware + u"\\Vendor\")", u"CreateKey(\"" + kSystem + u"\\Now\")" });
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    EXPECT_EQ(Dword(u"BootCounter"), 1u);
    EXPECT_TRUE(sk::RegKeyExists(kSystem + u"\\Now"));
    EXPECT_TRUE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY);

    /* The system loads its hives, then starts the Win32 subsystem. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpLateBootLinks());
    HANDLE smss = sk::CreateProcess("smss.exe");
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\Vendor"));
    HANDLE csrss = sk::CreateProcess("\\SystemRoot\\System32\\CSRSS.EXE");
    sk::WaitForWorkItems();
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\Vendor")) << "run before the creation returned";
    EXPECT_FALSE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY) << "the routine removed itself";
    EXPECT_TRUE(IsListEmpty(&QelmbarContext->DeferredList));

    /* The shutdown request records the orderly end. */
    EXPECT_EQ(sk::DeliverShutdown(), 1u);
    EXPECT_FALSE(sk::RegGetValue(kParameters, u"ImproperShutdown").has_value());
    EXPECT_TRUE(Dword(u"TickCounter").has_value());
    EXPECT_STATUS(STATUS_SUCCESS, sk::ExitProcess(csrss));
    EXPECT_STATUS(STATUS_SUCCESS, sk::ExitProcess(smss));
}

TEST_F(DriverFrameTest, OnlyTheSubsystemsImageStartsTheRun)
{
    EarlyBoot(false);
    sk::RegCreateKey(kParameters);
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList", { u"CreateKey(\"" + kSoftware + u"\\V\")" });
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
    std::vector<HANDLE> processes;
    for (const char *name : { "csrss.ex", "xcsrss.exe", "csrss" })
        processes.push_back(sk::CreateProcess(name));
    sk::WaitForWorkItems();
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\V"));
    processes.push_back(sk::CreateProcess("csrss.exe.bak"));
    sk::WaitForWorkItems();
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\V")) << "a name that begins with it matches";
    for (HANDLE process : processes)
        EXPECT_STATUS(STATUS_SUCCESS, sk::ExitProcess(process));
}

/* A creation of csrss.exe that cannot start the run, for want of pool or
 * of a work item, leaves it to the next creation of csrss.exe. */
TEST_F(DriverFrameTest, ARunThatCannotStartIsTriedAgainAtTheNextCsrss)
{
    EarlyBoot(false);
    sk::RegCreateKey(kParameters);
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList", { u"CreateKey(\"" + kSoftware + u"\\V\")" });
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
    std::vector<HANDLE> processes;

    /* A process the driver cannot look up is passed over. */
    sk::ClearFaults();
    sk::FailCall("PsLookupProcessByProcessId", 1, STATUS_INVALID_PARAMETER);
    processes.push_back(sk::CreateProcess("csrss.exe"));
    sk::WaitForWorkItems();
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\V"));

    sk::ClearFaults();
    sk::FailAllocation(1);
    processes.push_back(sk::CreateProcess("csrss.exe"));
    sk::WaitForWorkItems();
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    sk::ClearFaults();
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\V"));
    EXPECT_TRUE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY);
    /* Only a creation starts the run, not an exit. */
    EXPECT_STATUS(STATUS_SUCCESS, sk::ExitProcess(processes.back()));
    processes.pop_back();
    sk::WaitForWorkItems();
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\V"));

    sk::FailCall("IoAllocateWorkItem", 1, STATUS_INSUFFICIENT_RESOURCES);
    processes.push_back(sk::CreateProcess("csrss.exe"));
    sk::WaitForWorkItems();
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    sk::ClearFaults();
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\V"));
    EXPECT_FALSE(IsListEmpty(&QelmbarContext->DeferredList)) << "still waiting";

    processes.push_back(sk::CreateProcess("csrss.exe"));
    sk::WaitForWorkItems();
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\V"));
    EXPECT_FALSE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY);
    for (HANDLE process : processes)
        EXPECT_STATUS(STATUS_SUCCESS, sk::ExitProcess(process));
}

/* The deferred run is the last chance: an operation whose hive still
 * cannot be used fails there (and is traced as a failure), it is not
 * deferred again to a run that never comes. */
TEST_F(DriverFrameTest, AnOperationThatStillCannotRunFailsInTheDeferredRun)
{
    EarlyBoot(false);
    sk::RegCreateKey(kParameters);
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList",
                          { u"CreateKey(\"" + kSoftware + u"\\V\")" });
    struct Outcome {
        NTSTATUS status;
        bool deferred;
    };
    std::vector<Outcome> outcomes;
    sk::TraceSink sink;
    sink.operationOutcome = [&](PLIST_ENTRY, NTSTATUS status, bool deferred) {
        outcomes.push_back({ status, deferred });
    };
    sk::SetTraceSink(sink);
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    /* csrss.exe starts while SOFTWARE is still not loaded. */
    HANDLE csrss = sk::CreateProcess("csrss.exe");
    sk::WaitForWorkItems();
    sk::SetTraceSink(sk::TraceSink());
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_STATUS(STATUS_FAIL_CHECK, outcomes[0].status);
    EXPECT_TRUE(outcomes[0].deferred) << "at the boot pass";
    EXPECT_STATUS(STATUS_FAIL_CHECK, outcomes[1].status);
    EXPECT_FALSE(outcomes[1].deferred) << "in the deferred run";
    EXPECT_TRUE(IsListEmpty(&QelmbarContext->DeferredList));
    EXPECT_FALSE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY) << "the run happened, once";
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\V"));
    EXPECT_STATUS(STATUS_SUCCESS, sk::ExitProcess(csrss));
}

TEST_F(DriverFrameTest, WithSoftwareLoadedAlreadyNoRoutineWaitsForCsrss)
{
    EarlyBoot(true);
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    EXPECT_EQ(Dword(u"BootCounter"), 1u);
    EXPECT_FALSE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY);
}

/* With SOFTWARE loaded already, work that waits for another hive still
 * gets its run when the Win32 subsystem starts. */
TEST_F(DriverFrameTest, WorkWaitingForAnotherHiveGetsItsRunWithSoftwareLoaded)
{
    const std::u16string sam = u"\\REGISTRY\\MACHINE\\SAM";
    EarlyBoot(true);
    sk::RegCreateKey(kParameters);
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList",
                          { u"CreateKey(\"" + sam + u"\\Qelmbar\")" });
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    EXPECT_TRUE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY);
    EXPECT_FALSE(IsListEmpty(&QelmbarContext->DeferredList));

    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(sam, u"SAM"));
    HANDLE csrss = sk::CreateProcess("csrss.exe");
    sk::WaitForWorkItems();
    EXPECT_TRUE(sk::RegKeyExists(sam + u"\\Qelmbar"));
    EXPECT_FALSE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY);
    EXPECT_STATUS(STATUS_SUCCESS, sk::ExitProcess(csrss));
    Unload();
    EXPECT_STATUS(STATUS_SUCCESS, sk::UnmountHive(sam));
}

/* A hive the boot pass mounted to read from and could not unload keeps its
 * record; the unload takes it down. */
TEST_F(DriverFrameTest, AHiveTheBootPassCouldNotUnloadGoesAtUnload)
{
    EarlyBoot(false);
    Write('C', "Windows/System32/config/SOFTWARE", "regf");
    sk::SetHiveFileReader([](const std::string &, std::vector<sk::HiveFileKey> *keys) {
        keys->push_back({ u"", {} });
        keys->push_back({ u"Vendor", { { u"Version", REG_SZ, { '1', 0, 0, 0 } } } });
        return STATUS_SUCCESS;
    });
    sk::RegCreateKey(kParameters);
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList",
                          { u"CopyKey(\"" + kSoftware + u"\\Vendor\", \"" + kSystem + u"\\Vendor\", false)" });
    sk::ClearFaults();
    sk::FailCall("ZwUnloadKey", 1, STATUS_CANNOT_DELETE);
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    sk::ClearFaults();
    EXPECT_TRUE(sk::RegKeyExists(kSystem + u"\\Vendor"));
    EXPECT_FALSE(sk::LoadedHives().empty()) << "still mounted after the boot pass";
    Unload();
    sk::SetHiveFileReader(nullptr);
    EXPECT_TRUE(sk::LoadedHives().empty());
}

/* A registry path whose Parameters key would not fit a counted string is
 * refused at entry, with nothing left behind. */
TEST_F(DriverFrameTest, ARegistryPathTooLongForItsParametersKeyIsRefused)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpLateBootLinks());
    /* 65512 bytes: with "\\Parameters" and a NUL, 65536. */
    const std::u16string path = kService + u"\\" + std::u16string(32756 - kService.size() - 1, u'x');
    ASSERT_EQ(path.size(), 32756u);
    driver_ = sk::CreateDriverObject(u"\\Driver\\Qelmbar");
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, sk::CallDriverEntry(driver_, DriverEntry, path));
    sk::DeleteDriverObject(driver_);
    driver_ = nullptr;
    EXPECT_EQ(sk::DeviceCount(), 0u);
}

/* Entry that cannot get memory for its Parameters path says so. */
TEST_F(DriverFrameTest, EntryWithoutMemoryForItsParametersPathFailsWithNoMemory)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpLateBootLinks());
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    const uint64_t allocations = sk::AllocationCount();
    Unload();
    bool pathFailed = false;
    for (uint64_t nth = 1; nth <= allocations; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        uint64_t pathCall = 0;
        sk::ClearFaults();
        /* The path's block is the first allocation after the DOS link. */
        sk::SetCallObserver([&](const char *routine, uint64_t) {
            if (!pathCall && std::string(routine) == "IoCreateSymbolicLink")
                pathCall = sk::AllocationCount() + 1;
        });
        sk::FailAllocation(nth);
        NTSTATUS status = Load();
        sk::SetCallObserver(nullptr);
        sk::ClearFaults();
        if (nth == pathCall) {
            pathFailed = true;
            EXPECT_STATUS(STATUS_NO_MEMORY, status);
        }
        if (NT_SUCCESS(status))
            Unload();
        ExpectNothingLeftOver();
    }
    EXPECT_TRUE(pathFailed);
}

TEST_F(DriverFrameTest, WithoutZwRenameKeyOnOlderSystemsTheRoutineStaysUnset)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpLateBootLinks());
    sk::SetWindowsVersion(6, 0, 6002);
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    EXPECT_FALSE(QelmbarContext->IsWin7OrLater);
    EXPECT_EQ(ZwRenameKeyRoutine, nullptr);
}

TEST_F(DriverFrameTest, ACsrssCreatedWhileTeardownRunsFindsTheLockRefused)
{
    EarlyBoot(false);
    sk::RegCreateKey(kParameters);
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList", { u"CreateKey(\"" + kSoftware + u"\\V\")" });
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    ASSERT_TRUE(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY);
    HANDLE csrss = nullptr;
    bool inside = false;
    /* The DOS link goes after the remove lock was released and waited
     * for: a creation arriving then must not run or release anything. */
    sk::SetCallObserver([&](const char *routine, uint64_t) {
        if (inside || std::string(routine) != "IoDeleteSymbolicLink")
            return;
        inside = true;
        ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
        csrss = sk::CreateProcess("csrss.exe");
    });
    Unload();
    sk::SetCallObserver(nullptr);
    ASSERT_NE(csrss, nullptr);
    sk::WaitForWorkItems();
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\V")) << "the deferred list was freed by teardown";
    EXPECT_STATUS(STATUS_SUCCESS, sk::ExitProcess(csrss));
}

/* Teardown that begins while the creation of csrss.exe holds the remove
 * lock, after the run's work item was made: the run's own hold is refused,
 * and the work item goes back before the creation lets teardown go on. */
TEST_F(DriverFrameTest, ATeardownBeforeTheRunHoldsTheLockGetsTheWorkItemBack)
{
    EarlyBoot(false);
    sk::RegCreateKey(kParameters);
    sk::RegSetMultiString(kParameters, u"BootTimeOperationsList", { u"CreateKey(\"" + kSoftware + u"\\V\")" });
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
    std::atomic<bool> started{ false };
    std::thread teardown;
    sk::SetCallObserver([&](const char *routine, uint64_t) {
        if (started || std::string(routine) != "IoAllocateWorkItem")
            return;
        started = true;
        teardown = std::thread([&] { Unload(); });
        /* Teardown waits for the creation's hold on the remove lock. */
        sk::WaitForBlockedThreads(1);
    });
    HANDLE csrss = sk::CreateProcess("csrss.exe");
    ASSERT_TRUE(started);
    teardown.join();
    sk::SetCallObserver(nullptr);
    sk::WaitForWorkItems();
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\V")) << "the run never started";
    EXPECT_STATUS(STATUS_SUCCESS, sk::ExitProcess(csrss));
}

TEST_F(DriverFrameTest, EntryFailingAtEveryCallLeavesNothingBehind)
{
    EarlyBoot(false);
    auto prepare = [&] {
        sk::RegDeleteTree(kParameters);
        sk::RegCreateKey(kParameters);
        sk::RegSetMultiString(kParameters, u"BootTimeOperationsList", { u"CreateKey(\"" + kSoftware + u"\\V\")" });
    };
    prepare();
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Load());
    const uint64_t calls = sk::CallCount();
    EXPECT_GT(calls, 50u);
    Unload();
    for (uint64_t nth = 1; nth <= calls; nth++) {
        SCOPED_TRACE("call " + std::to_string(nth) + " of " + std::to_string(calls));
        prepare();
        sk::ClearFaults();
        sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
        NTSTATUS status = Load();
        sk::ClearFaults();
        if (NT_SUCCESS(status)) {
            Unload();
        } else {
            EXPECT_EQ(sk::DeviceCount(), 0u);
            EXPECT_FALSE(sk::ObjectExists(u"\\DosDevices\\Qelmbar"));
        }
        EXPECT_FALSE(sk::ObjectExists(u"\\QelmbarSystemRoot"));
        ExpectNothingLeftOver();
        if (HasFailure())
            break;
    }
}

} // namespace
