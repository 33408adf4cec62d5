/*
 * io_manager_test.cpp - the simulated I/O manager: devices and their
 * names, requests as IRPs through the dispatch table and the rules of
 * their completion, and device controls from user mode.  Remove locks and
 * events are in io_sync_test.cpp, shutdown and work items in
 * io_work_test.cpp.
 */
#include "tests/simkernel/io_test_util.h"

namespace {

using namespace iotest;

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

} // namespace
