/*
 * io_manager_test.cpp - the simulated I/O manager: devices and their
 * names, requests as IRPs through the dispatch table and the rules of
 * their completion, device controls from user mode, remove locks, events
 * and waits, shutdown notification and work items on worker threads.
 */
#include "simkernel/io.h"
#include "simkernel/objects.h"
#include "simkernel/security.h"
#include "tests/support/kernel_test.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using qtest::OneViolation;
using qtest::ViolationsDuring;

/* What the test driver's dispatch routine saw and is to do. */
struct Recorder {
    std::mutex lock;
    std::vector<UCHAR> majors;
    std::vector<PDEVICE_OBJECT> devices;
    std::u16string fileName;
    ACCESS_MASK desiredAccess = 0;
    KPROCESSOR_MODE requestorMode = -1;
    NTSTATUS createStatus = STATUS_SUCCESS;
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> control;
};

Recorder *recorder;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    {
        std::lock_guard<std::mutex> guard(recorder->lock);
        recorder->majors.push_back(stack->MajorFunction);
        recorder->devices.push_back(device);
        recorder->requestorMode = irp->RequestorMode;
    }
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        recorder->fileName.assign(stack->FileObject->FileName.Buffer,
                                  stack->FileObject->FileName.Length / sizeof(WCHAR));
        recorder->desiredAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
        return Complete(irp, recorder->createStatus);
    case IRP_MJ_DEVICE_CONTROL:
        if (recorder->control)
            return recorder->control(device, irp);
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_SUCCESS);
    }
}

/* A counted string over text that outlives it. */
UNICODE_STRING Counted(const char16_t *text)
{
    UNICODE_STRING string;
    string.Length = (USHORT)(std::char_traits<char16_t>::length(text) * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    string.Buffer = const_cast<PWSTR>(text);
    return string;
}

const std::u16string kDeviceName = u"\\Device\\Qelmbar";
const ULONG kReadCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS);
const ULONG kWriteCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS);
const ULONG kAnyCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Extension {
    ULONG value;
    UCHAR bytes[20];
};

class IoManagerTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        recorder = &record;
        driver = sk::CreateDriverObject(u"\\Driver\\Qelmbar");
        for (UCHAR major : { IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL,
                             IRP_MJ_SHUTDOWN })
            driver->MajorFunction[major] = Dispatch;
    }

    void TearDown() override
    {
        sk::WaitForWorkItems();
        recorder = nullptr;
        KernelTest::TearDown();
    }

    /* A device ready to be opened, as after the driver's entry. */
    PDEVICE_OBJECT MakeDevice(const std::u16string &name = kDeviceName, BOOLEAN exclusive = FALSE,
                              ULONG extension = sizeof(Extension))
    {
        UNICODE_STRING counted = Counted(name.c_str());
        PDEVICE_OBJECT device = nullptr;
        EXPECT_STATUS(STATUS_SUCCESS,
                      IoCreateDevice(driver, extension, name.empty() ? nullptr : &counted,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, exclusive,
                                     &device));
        if (device)
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    std::vector<UCHAR> Majors()
    {
        std::lock_guard<std::mutex> guard(record.lock);
        return record.majors;
    }

    Recorder record;
    PDRIVER_OBJECT driver = nullptr;
};

/* Devices and their names. */

TEST_F(IoManagerTest, ADeviceComesWithAZeroedExtensionAndItsNameInTheNamespace)
{
    UNICODE_STRING name = Counted(kDeviceName.c_str());
    PDEVICE_OBJECT device = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(Extension), &name,
                                                 FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                                 FALSE, &device));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
    EXPECT_EQ(device->DriverObject, driver);
    EXPECT_EQ(driver->DeviceObject, device);
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(device->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->Flags & (DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME | DO_EXCLUSIVE),
              (ULONG)(DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(device->DeviceExtension, (PVOID)(device + 1));
    const auto *bytes = static_cast<const UCHAR *>(device->DeviceExtension);
    for (size_t i = 0; i < sizeof(Extension); i++)
        ASSERT_EQ(bytes[i], 0) << "extension byte " << i;
    EXPECT_TRUE(sk::ObjectExists(kDeviceName));
    EXPECT_TRUE(sk::ObjectExists(u"\\device\\QELMBAR")) << "names ignore case";
    EXPECT_EQ(sk::DeviceCount(), 1u);
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 1u) << "the device object is one pool block";

    IoDeleteDevice(device);
    EXPECT_FALSE(sk::ObjectExists(kDeviceName));
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(sk::DeviceCount(), 0u);
}

TEST_F(IoManagerTest, ATakenNameIsACollisionAndCostsNothing)
{
    PDEVICE_OBJECT first = MakeDevice();
    const size_t blocks = sk::PoolOutstandingBlocks();
    UNICODE_STRING name = Counted(u"\\DEVICE\\qelmbar");
    PDEVICE_OBJECT second = (PDEVICE_OBJECT)(uintptr_t)0x1234;
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION,
                  IoCreateDevice(driver, 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second));
    EXPECT_EQ(second, (PDEVICE_OBJECT)(uintptr_t)0x1234) << "a failed create leaves the output";
    EXPECT_EQ(sk::PoolOutstandingBlocks(), blocks);
    UNICODE_STRING nowhere = Counted(u"\\NoSuchDirectory\\Qelmbar");
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                  IoCreateDevice(driver, 0, &nowhere, FILE_DEVICE_UNKNOWN, 0, FALSE, &second));
    IoDeleteDevice(first);
}

TEST_F(IoManagerTest, DevicesJoinTheHeadOfTheDriversListAndLeaveItWhenDeleted)
{
    PDEVICE_OBJECT a = MakeDevice(u"\\Device\\A");
    PDEVICE_OBJECT b = MakeDevice(u"");
    PDEVICE_OBJECT c = MakeDevice(u"\\Device\\C");
    EXPECT_EQ(driver->DeviceObject, c);
    EXPECT_EQ(c->NextDevice, b);
    EXPECT_EQ(b->NextDevice, a);
    EXPECT_EQ(a->NextDevice, nullptr);
    EXPECT_EQ(b->Flags & DO_DEVICE_HAS_NAME, 0u);
    IoDeleteDevice(b);
    EXPECT_EQ(c->NextDevice, a);
    IoDeleteDevice(c);
    IoDeleteDevice(a);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(IoManagerTest, ANamedDeviceStartsWithTheDefaultDeviceDescriptor)
{
    PDEVICE_OBJECT device = MakeDevice();
    auto security = sk::DeviceSecurity(kDeviceName);
    ASSERT_TRUE(security.has_value());
    EXPECT_EQ(*security, sk::DefaultDeviceSecurity());
    ASSERT_NE(device->SecurityDescriptor, nullptr);
    EXPECT_EQ(memcmp(device->SecurityDescriptor, security->data(), security->size()), 0);
    EXPECT_FALSE(sk::DeviceSecurity(u"\\Device\\Other").has_value());
    EXPECT_FALSE(sk::DeviceSecurity(u"\\GLOBAL??").has_value()) << "a directory is no device";
    IoDeleteDevice(device);
}

TEST_F(IoManagerTest, DeletingADriverWithDevicesIsAViolation)
{
    PDEVICE_OBJECT device = MakeDevice();
    auto seen = ViolationsDuring([&] { sk::DeleteDriverObject(driver); });
    EXPECT_TRUE(OneViolation(seen, "still has devices"));
    IoDeleteDevice(device);
    sk::DeleteDriverObject(driver);
    seen = ViolationsDuring([&] { sk::DeleteDriverObject(driver); });
    EXPECT_TRUE(OneViolation(seen, "no driver object"));
}

TEST_F(IoManagerTest, EveryMajorFunctionStartsAtTheInvalidRequestRoutine)
{
    PDRIVER_OBJECT bare = sk::CreateDriverObject(u"\\Driver\\Bare");
    for (PDRIVER_DISPATCH routine : bare->MajorFunction)
        EXPECT_EQ(routine, sk::DefaultDispatchRoutine());
    EXPECT_EQ(bare->DriverExtension->DriverObject, bare);
    EXPECT_EQ(qtest::U8(std::u16string(bare->DriverExtension->ServiceKeyName.Buffer,
                                       bare->DriverExtension->ServiceKeyName.Length / 2)),
              "Bare");
    UNICODE_STRING name = Counted(u"\\Device\\Bare");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS,
                  IoCreateDevice(bare, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    EXPECT_EQ(device->DeviceExtension, nullptr);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    HANDLE handle = nullptr;
    EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST,
                  sk::OpenDevice(u"\\Device\\Bare", GENERIC_READ, &handle));
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(device->ReferenceCount, 0);
    IoDeleteDevice(device);
    sk::DeleteDriverObject(bare);
}

/* Opens and closes. */

TEST_F(IoManagerTest, ADosLinkLeadsToTheDeviceAndTheRestOfTheNameToTheFileObject)
{
    PDEVICE_OBJECT device = MakeDevice();
    UNICODE_STRING link = Counted(u"\\DosDevices\\Qelmbar");
    UNICODE_STRING target = Counted(kDeviceName.c_str());
    ASSERT_STATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &target));

    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(u"\\??\\Qelmbar", GENERIC_READ, &handle));
    EXPECT_EQ(record.fileName, u"");
    EXPECT_EQ(record.requestorMode, UserMode);
    EXPECT_EQ(record.desiredAccess, (ACCESS_MASK)FILE_GENERIC_READ) << "generic rights mapped";
    EXPECT_EQ(device->ReferenceCount, 1);
    EXPECT_EQ(sk::OpenHandleCount(), 1u);
    EXPECT_STATUS(STATUS_SUCCESS, sk::CloseDevice(handle));
    EXPECT_EQ(device->ReferenceCount, 0);

    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::OpenDevice(u"\\GLOBAL??\\Qelmbar\\Sub\\Name", FILE_READ_DATA, &handle));
    EXPECT_EQ(record.fileName, u"\\Sub\\Name");
    EXPECT_STATUS(STATUS_SUCCESS, sk::CloseDevice(handle));

    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, sk::OpenDevice(u"\\??\\Other", 0, &handle));
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, sk::OpenDevice(u"\\GLOBAL??", 0, &handle));
    ASSERT_STATUS(STATUS_SUCCESS, IoDeleteSymbolicLink(&link));
    IoDeleteDevice(device);
}

TEST_F(IoManagerTest, CloseSendsCleanupThenCloseAndAFailedCreateSendsNeither)
{
    PDEVICE_OBJECT device = MakeDevice();
    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_ALL, &handle));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CloseDevice(handle));
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{ IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE }));

    record.majors.clear();
    record.createStatus = STATUS_ACCESS_DENIED;
    handle = nullptr;
    EXPECT_STATUS(STATUS_ACCESS_DENIED, sk::OpenDevice(kDeviceName, GENERIC_ALL, &handle));
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{ IRP_MJ_CREATE }));
    EXPECT_EQ(device->ReferenceCount, 0);
    IoDeleteDevice(device);
}

TEST_F(IoManagerTest, ADeviceStillInitializingCannotBeOpened)
{
    UNICODE_STRING name = Counted(kDeviceName.c_str());
    PDEVICE_OBJECT device = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS,
                  IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    HANDLE handle = nullptr;
    EXPECT_STATUS(STATUS_NO_SUCH_DEVICE, sk::OpenDevice(kDeviceName, GENERIC_READ, &handle));
    EXPECT_TRUE(Majors().empty()) << "the driver sees no request";
    IoDeleteDevice(device);
}

PDEVICE_OBJECT entryDevice;
std::u16string entryPath;

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    entryPath.assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
    UNICODE_STRING name = Counted(kDeviceName.c_str());
    return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &entryDevice);
}

TEST_F(IoManagerTest, TheLoaderClearsInitializingOnceTheEntrySucceeds)
{
    const std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Qelmbar";
    ASSERT_STATUS(STATUS_SUCCESS, sk::CallDriverEntry(driver, TestDriverEntry, path));
    EXPECT_EQ(entryPath, path);
    EXPECT_EQ(driver->DriverInit, (PDRIVER_INITIALIZE)TestDriverEntry);
    EXPECT_EQ(entryDevice->Flags & DO_DEVICE_INITIALIZING, 0u);
    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_READ, &handle));
    sk::CloseDevice(handle);
    EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, sk::UnloadDriver(driver))
        << "a driver without DriverUnload stays";
    IoDeleteDevice(entryDevice);
}

TEST_F(IoManagerTest, AnExclusiveDeviceHasOneOpenAtATime)
{
    PDEVICE_OBJECT device = MakeDevice(kDeviceName, TRUE);
    EXPECT_NE(device->Flags & DO_EXCLUSIVE, 0u);
    HANDLE first = nullptr, second = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_READ, &first));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, sk::OpenDevice(kDeviceName, GENERIC_READ, &second));
    sk::CloseDevice(first);
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_READ, &second));
    sk::CloseDevice(second);
    IoDeleteDevice(device);
}

TEST_F(IoManagerTest, ADeletedDeviceLivesOnForItsOpensAndReferences)
{
    PDEVICE_OBJECT device = MakeDevice();
    auto *extension = static_cast<Extension *>(device->DeviceExtension);
    extension->value = 0x5A5A;
    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_READ, &handle));
    const size_t blocks = sk::PoolOutstandingBlocks();

    IoDeleteDevice(device);
    EXPECT_FALSE(sk::ObjectExists(kDeviceName));
    HANDLE again = nullptr;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, sk::OpenDevice(kDeviceName, GENERIC_READ, &again));
    EXPECT_EQ(sk::PoolOutstandingBlocks(), blocks) << "the open keeps the device";
    EXPECT_EQ(extension->value, 0x5A5Au);
    record.majors.clear();
    EXPECT_STATUS(STATUS_SUCCESS, sk::DeviceIoControl(handle, kAnyCode, nullptr, 0, nullptr, 0));
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{ IRP_MJ_DEVICE_CONTROL }))
        << "requests on an open reach a deleted device";

    ObReferenceObject(device);
    sk::CloseDevice(handle);
    EXPECT_EQ(sk::PoolOutstandingBlocks(), blocks) << "the driver's reference keeps the device";
    EXPECT_EQ(sk::OutstandingObjectReferences(), 1u);
    ObDereferenceObject(device);
    EXPECT_EQ(sk::PoolOutstandingBlocks(), blocks - 1);
    auto seen = ViolationsDuring([&] { IoDeleteDevice(device); });
    EXPECT_TRUE(OneViolation(seen, "no device object"));
}

TEST_F(IoManagerTest, ClosingADeviceHandleWithZwCloseIsAViolation)
{
    PDEVICE_OBJECT device = MakeDevice();
    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_READ, &handle));
    auto seen = ViolationsDuring([&] { ZwClose(handle); });
    EXPECT_TRUE(OneViolation(seen, "CloseDevice"));
    /* The open the handle had is left over; a reset takes it. */
    IoDeleteDevice(device);
    sk::ResetKernel();
}

/* Device controls. */

TEST_F(IoManagerTest, ABufferedControlCopiesInputInAndInformationBytesOut)
{
    PDEVICE_OBJECT device = MakeDevice();
    std::vector<UCHAR> seenInput;
    ULONG seenIn = 0, seenOut = 0, seenCode = 0;
    record.control = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        seenIn = stack->Parameters.DeviceIoControl.InputBufferLength;
        seenOut = stack->Parameters.DeviceIoControl.OutputBufferLength;
        seenCode = stack->Parameters.DeviceIoControl.IoControlCode;
        auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        seenInput.assign(buffer, buffer + seenIn);
        for (int i = 0; i < 3; i++)
            buffer[i] = (UCHAR)(0xA0 + i);
        return Complete(irp, STATUS_SUCCESS, 3);
    };
    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_READ, &handle));
    const UCHAR in[4] = { 1, 2, 3, 4 };
    UCHAR out[8];
    memset(out, 0x11, sizeof(out));
    ULONG_PTR information = 0;
    EXPECT_STATUS(STATUS_SUCCESS,
                  sk::DeviceIoControl(handle, kReadCode, in, sizeof(in), out, sizeof(out),
                                      &information));
    EXPECT_EQ(seenIn, 4u);
    EXPECT_EQ(seenOut, 8u);
    EXPECT_EQ(seenCode, kReadCode);
    EXPECT_EQ(seenInput, (std::vector<UCHAR>{ 1, 2, 3, 4 }));
    EXPECT_EQ(information, 3u);
    EXPECT_EQ(out[0], 0xA0);
    EXPECT_EQ(out[2], 0xA2);
    EXPECT_EQ(out[3], 0x11) << "only Information bytes come back";
    sk::CloseDevice(handle);
    IoDeleteDevice(device);
}

TEST_F(IoManagerTest, AnErrorBringsNoOutputBackAndTooMuchInformationIsAViolation)
{
    PDEVICE_OBJECT device = MakeDevice();
    NTSTATUS answer = STATUS_INVALID_PARAMETER;
    ULONG_PTR claimed = 4;
    record.control = [&](PDEVICE_OBJECT, PIRP irp) {
        memset(irp->AssociatedIrp.SystemBuffer, 0xEE, 4);
        return Complete(irp, answer, claimed);
    };
    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_READ, &handle));
    UCHAR out[4] = {};
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  sk::DeviceIoControl(handle, kAnyCode, nullptr, 0, out, sizeof(out)));
    EXPECT_EQ(out[0], 0);

    answer = STATUS_SUCCESS;
    claimed = 8;
    auto seen = ViolationsDuring([&] {
        EXPECT_STATUS(STATUS_SUCCESS,
                      sk::DeviceIoControl(handle, kAnyCode, nullptr, 0, out, sizeof(out)));
    });
    EXPECT_TRUE(OneViolation(seen, "exceeds the output buffer"));
    sk::CloseDevice(handle);
    IoDeleteDevice(device);
}

TEST_F(IoManagerTest, TheAccessInTheControlCodeMustBeGrantedToTheHandle)
{
    PDEVICE_OBJECT device = MakeDevice();
    HANDLE reader = nullptr, writer = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, FILE_READ_DATA, &reader));
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_WRITE, &writer));
    record.majors.clear();
    EXPECT_STATUS(STATUS_ACCESS_DENIED, sk::DeviceIoControl(reader, kWriteCode, nullptr, 0, nullptr, 0));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, sk::DeviceIoControl(writer, kReadCode, nullptr, 0, nullptr, 0));
    EXPECT_TRUE(Majors().empty()) << "a refused control sends no request";
    EXPECT_STATUS(STATUS_SUCCESS, sk::DeviceIoControl(reader, kReadCode, nullptr, 0, nullptr, 0));
    EXPECT_STATUS(STATUS_SUCCESS, sk::DeviceIoControl(writer, kWriteCode, nullptr, 0, nullptr, 0));
    EXPECT_STATUS(STATUS_SUCCESS, sk::DeviceIoControl(reader, kAnyCode, nullptr, 0, nullptr, 0));
    const ULONG both = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED,
                                FILE_READ_ACCESS | FILE_WRITE_ACCESS);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, sk::DeviceIoControl(writer, both, nullptr, 0, nullptr, 0));
    sk::CloseDevice(reader);
    sk::CloseDevice(writer);
    IoDeleteDevice(device);
}

TEST_F(IoManagerTest, MethodNeitherHandsTheBuffersOverAndDirectMethodsAreNotModelled)
{
    PDEVICE_OBJECT device = MakeDevice();
    const void *seenIn = nullptr;
    void *seenOut = nullptr;
    record.control = [&](PDEVICE_OBJECT, PIRP irp) {
        seenIn = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
        seenOut = irp->UserBuffer;
        return Complete(irp, STATUS_SUCCESS);
    };
    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_READ, &handle));
    UCHAR in[2] = {}, out[2] = {};
    const ULONG neither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_NEITHER, FILE_ANY_ACCESS);
    EXPECT_STATUS(STATUS_SUCCESS, sk::DeviceIoControl(handle, neither, in, 2, out, 2));
    EXPECT_EQ(seenIn, (const void *)in);
    EXPECT_EQ(seenOut, (void *)out);
    const ULONG direct = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, sk::DeviceIoControl(handle, direct, in, 2, out, 2));
    sk::CloseDevice(handle);
    IoDeleteDevice(device);
}

/* The rules of completion. */

class CompletionRuleTest : public IoManagerTest {
protected:
    void SetUp() override
    {
        IoManagerTest::SetUp();
        device = MakeDevice();
        ASSERT_STATUS(STATUS_SUCCESS, sk::OpenDevice(kDeviceName, GENERIC_READ, &handle));
    }
    void TearDown() override
    {
        sk::CloseDevice(handle);
        IoDeleteDevice(device);
        IoManagerTest::TearDown();
    }
    std::vector<std::string> Control(NTSTATUS expected)
    {
        return ViolationsDuring([&] {
            EXPECT_STATUS(expected, sk::DeviceIoControl(handle, kAnyCode, nullptr, 0, nullptr, 0));
        });
    }
    PDEVICE_OBJECT device = nullptr;
    HANDLE handle = nullptr;
};

TEST_F(CompletionRuleTest, ReturningWithoutCompletingIsAViolation)
{
    record.control = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return STATUS_SUCCESS;
    };
    EXPECT_TRUE(OneViolation(Control(STATUS_SUCCESS), "without completing"));
}

TEST_F(CompletionRuleTest, CompletingTwiceIsAViolation)
{
    record.control = [](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_TRUE(OneViolation(Control(STATUS_SUCCESS), "completed twice"));
}

TEST_F(CompletionRuleTest, ReturningAnotherStatusThanTheOneCompletedIsAViolation)
{
    record.control = [](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_UNSUCCESSFUL);
        return STATUS_SUCCESS;
    };
    EXPECT_TRUE(OneViolation(Control(STATUS_SUCCESS), "completed the IRP with 0xC0000001"));
}

TEST_F(CompletionRuleTest, CompletingWithStatusPendingIsAViolation)
{
    record.control = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return Complete(irp, STATUS_SUCCESS);
    };
    EXPECT_TRUE(OneViolation(Control(STATUS_SUCCESS), "completed with STATUS_PENDING"));
}

TEST_F(CompletionRuleTest, PendingWithoutMarkingTheIrpIsAViolation)
{
    record.control = [](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    };
    EXPECT_TRUE(OneViolation(Control(STATUS_SUCCESS), "without IoMarkIrpPending"));
}

TEST_F(CompletionRuleTest, ACompletionAfterTheRequestEndedIsAViolation)
{
    PIRP kept = nullptr;
    record.control = [&](PDEVICE_OBJECT, PIRP irp) {
        kept = irp;
        return Complete(irp, STATUS_SUCCESS);
    };
    EXPECT_TRUE(Control(STATUS_SUCCESS).empty());
    auto seen = ViolationsDuring([&] { IoCompleteRequest(kept, IO_NO_INCREMENT); });
    EXPECT_TRUE(OneViolation(seen, "no IRP in flight"));
}

struct PendedRequest {
    PIRP irp;
    ULONG_PTR information;
};

VOID NTAPI CompleteLater(PDEVICE_OBJECT, PVOID context)
{
    auto *request = static_cast<PendedRequest *>(context);
    Complete(request->irp, STATUS_BUFFER_OVERFLOW, request->information);
}

TEST_F(CompletionRuleTest, APendedRequestIsWaitedForUntilAnotherThreadCompletesIt)
{
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    PendedRequest request{ nullptr, 2 };
    record.control = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        request.irp = irp;
        IoQueueWorkItem(item, CompleteLater, DelayedWorkQueue, &request);
        return STATUS_PENDING;
    };
    UCHAR out[4] = {};
    ULONG_PTR information = 0;
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW,
                  sk::DeviceIoControl(handle, kAnyCode, nullptr, 0, out, sizeof(out), &information))
        << "the final status is the one completed";
    EXPECT_EQ(information, 2u);
    sk::WaitForWorkItems();
    IoFreeWorkItem(item);
}

/* Remove locks. */

class RemoveLockTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        IoInitializeRemoveLock(&lock, QELMBAR_TAG, 0, 0);
    }
    IO_REMOVE_LOCK lock;
    int tagA = 0, tagB = 0;
};

TEST_F(RemoveLockTest, CountsAsNtAndAnswersDeletePendingOnceRemovalBegan)
{
    EXPECT_EQ(lock.Common.IoCount, 1) << "the bias";
    EXPECT_FALSE(lock.Common.Removed);
    ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagA));
    ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagB));
    EXPECT_EQ(lock.Common.IoCount, 3);
    IoReleaseRemoveLock(&lock, &tagB);
    EXPECT_EQ(lock.Common.IoCount, 2);

    IoReleaseRemoveLockAndWait(&lock, &tagA);
    EXPECT_TRUE(lock.Common.Removed);
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_STATUS(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &tagB));
    EXPECT_EQ(lock.Common.IoCount, 0) << "a refused acquisition does not count";
    auto seen = ViolationsDuring([&] { IoReleaseRemoveLock(&lock, &tagB); });
    EXPECT_TRUE(OneViolation(seen, "not held"));
}

TEST_F(RemoveLockTest, ReleaseAndWaitBlocksUntilEveryOtherHolderReleased)
{
    ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagA));
    std::atomic<bool> returned{ false };
    std::thread remover([&] {
        ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagB));
        IoReleaseRemoveLockAndWait(&lock, &tagB);
        returned = true;
    });
    sk::WaitForBlockedThreads(1);
    EXPECT_FALSE(returned) << "a holder is left";
    EXPECT_STATUS(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &tagB));
    IoReleaseRemoveLock(&lock, &tagA);
    remover.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(lock.Common.IoCount, 0);
}

TEST_F(RemoveLockTest, MisuseIsAViolation)
{
    auto seen = ViolationsDuring([&] { IoReleaseRemoveLock(&lock, &tagA); });
    EXPECT_TRUE(OneViolation(seen, "not held with tag"));
    EXPECT_EQ(lock.Common.IoCount, 1) << "a refused release does not count";

    ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagA));
    seen = ViolationsDuring([&] { IoReleaseRemoveLock(&lock, &tagB); });
    EXPECT_TRUE(OneViolation(seen, "not held with tag")) << "tags are told apart";
    seen = ViolationsDuring([&] { IoReleaseRemoveLockAndWait(&lock, &tagB); });
    EXPECT_TRUE(OneViolation(seen, "does not hold"));
    IoReleaseRemoveLockAndWait(&lock, &tagA);
    seen = ViolationsDuring([&] { IoReleaseRemoveLockAndWait(&lock, &tagA); });
    EXPECT_TRUE(OneViolation(seen, "already being removed"));

    IO_REMOVE_LOCK never;
    memset(&never, 0, sizeof(never));
    seen = ViolationsDuring([&] { (void)IoAcquireRemoveLock(&never, nullptr); });
    EXPECT_TRUE(OneViolation(seen, "never initialized"));
    seen = ViolationsDuring(
        [&] { (void)IoAcquireRemoveLockEx(&lock, nullptr, "", 1, sizeof(IO_REMOVE_LOCK) + 8); });
    EXPECT_TRUE(OneViolation(seen, "size"));
}

/* Events and waits. */

class EventTest : public qtest::KernelTest {};

TEST_F(EventTest, ANotificationEventReleasesEveryWaiterAndStaysSet)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{ 0 };
    auto waiter = [&] {
        EXPECT_STATUS(STATUS_SUCCESS,
                      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
        woken++;
    };
    std::thread a(waiter), b(waiter);
    sk::WaitForBlockedThreads(2);
    EXPECT_EQ(woken, 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, ASynchronizationEventReleasesOneWaiterAndResets)
{
    KEVENT gate, oneThrough;
    KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
    KeInitializeEvent(&oneThrough, NotificationEvent, FALSE);
    std::atomic<int> woken{ 0 };
    auto waiter = [&] {
        KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
        woken++;
        KeSetEvent(&oneThrough, IO_NO_INCREMENT, FALSE);
    };
    std::thread a(waiter), b(waiter);
    sk::WaitForBlockedThreads(2);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&oneThrough, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(sk::BlockedThreadCount(), 1u) << "the other waiter still waits";
    EXPECT_EQ(KeReadStateEvent(&gate), 0);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);

    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    EXPECT_STATUS(STATUS_SUCCESS, KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(KeReadStateEvent(&gate), 0) << "a satisfied wait resets it";
}

TEST_F(EventTest, TimeoutsRunOnTheSimulatedClock)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_STATUS(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));

    NTSTATUS shortWait = STATUS_PENDING, longWait = STATUS_PENDING;
    std::thread a([&] {
        LARGE_INTEGER halfSecond;
        halfSecond.QuadPart = -5000000;
        shortWait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &halfSecond);
    });
    std::thread b([&] {
        LARGE_INTEGER tenSeconds;
        tenSeconds.QuadPart = -100000000;
        longWait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tenSeconds);
    });
    sk::WaitForBlockedThreads(2);
    sk::AdvanceUptime(1);
    a.join();
    EXPECT_STATUS(STATUS_TIMEOUT, shortWait);
    EXPECT_EQ(sk::BlockedThreadCount(), 1u) << "ten seconds have not passed";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    b.join();
    EXPECT_STATUS(STATUS_SUCCESS, longWait);
    EXPECT_STATUS(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
}

TEST_F(EventTest, AnEventNeverInitializedIsAViolation)
{
    KEVENT event;
    memset(&event, sk::kPoolPoison, sizeof(event));
    auto seen = ViolationsDuring([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_TRUE(OneViolation(seen, "no initialized event"));
    seen = ViolationsDuring([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_TRUE(OneViolation(seen, "no initialized event"));
}

/* Shutdown notification. */

TEST_F(IoManagerTest, ShutdownReachesTheLastRegisteredDeviceFirstAndOnlyOnce)
{
    PDEVICE_OBJECT a = MakeDevice(u"\\Device\\A");
    PDEVICE_OBJECT b = MakeDevice(u"\\Device\\B");
    PDEVICE_OBJECT c = MakeDevice(u"\\Device\\C");
    PDEVICE_OBJECT d = MakeDevice(u"\\Device\\D");
    for (PDEVICE_OBJECT device : { a, b, c, d })
        ASSERT_STATUS(STATUS_SUCCESS, IoRegisterShutdownNotification(device));
    EXPECT_NE(a->Flags & DO_SHUTDOWN_REGISTERED, 0u);
    IoUnregisterShutdownNotification(b);
    EXPECT_EQ(b->Flags & DO_SHUTDOWN_REGISTERED, 0u);
    IoDeleteDevice(c);
    record.devices.clear();
    record.majors.clear();

    EXPECT_EQ(sk::DeliverShutdown(), 2u);
    EXPECT_EQ(record.devices, (std::vector<PDEVICE_OBJECT>{ d, a }));
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{ IRP_MJ_SHUTDOWN, IRP_MJ_SHUTDOWN }));
    EXPECT_EQ(record.requestorMode, KernelMode);
    EXPECT_EQ(sk::DeliverShutdown(), 0u) << "the registrations are used up";
    for (PDEVICE_OBJECT device : { a, b, d })
        IoDeleteDevice(device);
}

TEST_F(IoManagerTest, ARegistrationKeepsADeviceAndAFaultFailsIt)
{
    PDEVICE_OBJECT device = MakeDevice();
    ASSERT_STATUS(STATUS_SUCCESS, IoRegisterShutdownNotification(device));
    ASSERT_STATUS(STATUS_SUCCESS, IoRegisterShutdownNotification(device));
    EXPECT_EQ(sk::DeliverShutdown(), 2u) << "registered twice, told twice";
    sk::FailCall("IoRegisterShutdownNotification", sk::CallCount("IoRegisterShutdownNotification") + 1,
                 STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, IoRegisterShutdownNotification(device));
    EXPECT_EQ(sk::DeliverShutdown(), 0u);
    IoDeleteDevice(device);
}

/* Work items. */

struct WorkRecord {
    KEVENT done;
    KEVENT release;
    bool waitForRelease = false;
    std::thread::id thread;
    PDEVICE_OBJECT device = nullptr;
    PIO_WORKITEM item = nullptr;
    bool freeItself = false;
};

VOID NTAPI RecordWork(PDEVICE_OBJECT device, PVOID context)
{
    auto *work = static_cast<WorkRecord *>(context);
    work->thread = std::this_thread::get_id();
    work->device = device;
    if (work->waitForRelease)
        KeWaitForSingleObject(&work->release, Executive, KernelMode, FALSE, nullptr);
    if (work->freeItself)
        IoFreeWorkItem(work->item);
    KeSetEvent(&work->done, IO_NO_INCREMENT, FALSE);
}

class WorkItemTest : public IoManagerTest {
protected:
    void SetUp() override
    {
        IoManagerTest::SetUp();
        device = MakeDevice();
    }
    void TearDown() override
    {
        sk::WaitForWorkItems();
        if (device)
            IoDeleteDevice(device);
        IoManagerTest::TearDown();
    }
    void Init(WorkRecord &work)
    {
        KeInitializeEvent(&work.done, NotificationEvent, FALSE);
        KeInitializeEvent(&work.release, NotificationEvent, FALSE);
    }
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(WorkItemTest, TheRoutineRunsOnAWorkerThreadWithTheDeviceAndContext)
{
    WorkRecord work;
    Init(work);
    work.item = IoAllocateWorkItem(device);
    ASSERT_NE(work.item, nullptr);
    work.freeItself = true;
    IoQueueWorkItem(work.item, RecordWork, DelayedWorkQueue, &work);
    EXPECT_STATUS(STATUS_SUCCESS,
                  KeWaitForSingleObject(&work.done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_NE(work.thread, std::this_thread::get_id());
    EXPECT_EQ(work.device, device);
}

TEST_F(WorkItemTest, NoLockIsHeldWhileARoutineRunsAndABlockedOneHoldsNoOtherBack)
{
    WorkRecord first, second;
    Init(first);
    Init(second);
    first.waitForRelease = true;
    first.item = IoAllocateWorkItem(device);
    second.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(first.item, RecordWork, DelayedWorkQueue, &first);
    IoQueueWorkItem(second.item, RecordWork, DelayedWorkQueue, &second);
    KeWaitForSingleObject(&second.done, Executive, KernelMode, FALSE, nullptr);
    sk::WaitForBlockedThreads(1);
    /* The kernel stays usable while the first routine blocks. */
    PDEVICE_OBJECT other = MakeDevice(u"\\Device\\Other");
    IoDeleteDevice(other);
    KeSetEvent(&first.release, IO_NO_INCREMENT, FALSE);
    sk::WaitForWorkItems();
    EXPECT_NE(first.thread, second.thread);
    IoFreeWorkItem(first.item);
    IoFreeWorkItem(second.item);
}

TEST_F(WorkItemTest, AQueuedItemKeepsItsDeletedDevice)
{
    WorkRecord work;
    Init(work);
    work.waitForRelease = true;
    work.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(work.item, RecordWork, CriticalWorkQueue, &work);
    const size_t blocks = sk::PoolOutstandingBlocks();
    IoDeleteDevice(device);
    device = nullptr;
    EXPECT_EQ(sk::PoolOutstandingBlocks(), blocks) << "the device stays while the item is out";
    KeSetEvent(&work.release, IO_NO_INCREMENT, FALSE);
    sk::WaitForWorkItems();
    EXPECT_EQ(sk::PoolOutstandingBlocks(), blocks - 1);
    IoFreeWorkItem(work.item);
}

struct ExecutiveWork {
    WORK_QUEUE_ITEM item;
    KEVENT done;
    bool flinkCleared = false;
};

VOID NTAPI RunExecutiveWork(PVOID parameter)
{
    auto *work = static_cast<ExecutiveWork *>(parameter);
    work->flinkCleared = work->item.List.Flink == nullptr;
    KeSetEvent(&work->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItemTest, AnExecutiveItemRunsWithItsParameterAndMayNotBeQueuedTwice)
{
    ExecutiveWork work;
    KeInitializeEvent(&work.done, NotificationEvent, FALSE);
    ExInitializeWorkItem(&work.item, RunExecutiveWork, &work);
    ExQueueWorkItem(&work.item, DelayedWorkQueue);
    KeWaitForSingleObject(&work.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(work.flinkCleared) << "the item is free to queue again when its routine runs";
    sk::WaitForWorkItems();

    LIST_ENTRY elsewhere;
    work.item.List.Flink = &elsewhere;
    auto seen = ViolationsDuring([&] { ExQueueWorkItem(&work.item, DelayedWorkQueue); });
    EXPECT_TRUE(OneViolation(seen, "queued already"));
}

TEST_F(WorkItemTest, AllocationCanFailAndAFreedItemIsNoItem)
{
    sk::FailCall("IoAllocateWorkItem", sk::CallCount("IoAllocateWorkItem") + 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(IoAllocateWorkItem(device), nullptr);
    sk::FailAllocation(sk::AllocationCount() + 1);
    EXPECT_EQ(IoAllocateWorkItem(device), nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    IoFreeWorkItem(item);
    auto seen = ViolationsDuring([&] { IoFreeWorkItem(item); });
    EXPECT_TRUE(OneViolation(seen, "no work item"));
}

/* The machine model boots in a forked child of a process that has workers
 * already; the child has no threads but its own. */
TEST_F(WorkItemTest, AForkedChildRunsWorkItemsOfItsOwn)
{
    WorkRecord before;
    Init(before);
    before.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(before.item, RecordWork, DelayedWorkQueue, &before);
    KeWaitForSingleObject(&before.done, Executive, KernelMode, FALSE, nullptr);
    sk::WaitForWorkItems();

    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60); /* a watchdog only: a hang fails the test */
        WorkRecord after;
        KeInitializeEvent(&after.done, NotificationEvent, FALSE);
        KeInitializeEvent(&after.release, NotificationEvent, FALSE);
        after.item = before.item;
        IoQueueWorkItem(after.item, RecordWork, DelayedWorkQueue, &after);
        NTSTATUS status = KeWaitForSingleObject(&after.done, Executive, KernelMode, FALSE, nullptr);
        sk::WaitForWorkItems();
        _exit(status == STATUS_SUCCESS && after.device == device ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child was killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    IoFreeWorkItem(before.item);
}

} // namespace
