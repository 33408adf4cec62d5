/*
 * io_test_util.h - what the tests of the simulated I/O manager share: a
 * test driver whose dispatch routine records what it saw, and the fixture
 * that loads it with one device.
 */
#pragma once

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

namespace iotest {

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

inline Recorder *recorder;

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
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
inline UNICODE_STRING Counted(const char16_t *text)
{
    UNICODE_STRING string;
    string.Length = (USHORT)(std::char_traits<char16_t>::length(text) * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    string.Buffer = const_cast<PWSTR>(text);
    return string;
}

inline const std::u16string kDeviceName = u"\\Device\\Qelmbar";
inline const ULONG kReadCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS);
inline const ULONG kWriteCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS);
inline const ULONG kAnyCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

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

} // namespace iotest
