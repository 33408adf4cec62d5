/*
 * layout_check.cpp - compile-time proof that the host declarations have the
 * sizes and layouts of Windows x64.  Built in both builds: in the kernel
 * build against the DDK, in the host build against nt_host.h, so the same
 * numbers hold on both sides.
 */
#include "platform/platform.h"

static_assert(sizeof(ULONG) == 4, "ULONG is 32 bits");
static_assert(sizeof(LONG) == 4, "LONG is 32 bits");
static_assert(sizeof(USHORT) == 2, "USHORT is 16 bits");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
static_assert(sizeof(BOOLEAN) == 1, "BOOLEAN is 8 bits");
static_assert(sizeof(NTSTATUS) == 4, "NTSTATUS is 32 bits");
static_assert(sizeof(HANDLE) == 8, "handles are pointers");
static_assert(sizeof(QTEXT("ab")) == 6, "text constants are UTF-16");

static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING");
static_assert(FIELD_OFFSET(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING.Buffer");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES");
static_assert(FIELD_OFFSET(OBJECT_ATTRIBUTES, ObjectName) == 16, "OBJECT_ATTRIBUTES.ObjectName");
static_assert(FIELD_OFFSET(OBJECT_ATTRIBUTES, Attributes) == 24, "OBJECT_ATTRIBUTES.Attributes");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");

static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "partial information header");
static_assert(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) == 12, "value basic information header");
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20, "value full information header");
static_assert(FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) == 16, "key basic information header");
static_assert(FIELD_OFFSET(KEY_NODE_INFORMATION, Name) == 24, "key node information header");
static_assert(FIELD_OFFSET(KEY_FULL_INFORMATION, Class) == 44, "key full information header");
static_assert(FIELD_OFFSET(KEY_NAME_INFORMATION, Name) == 4, "key name information header");

static_assert(KEY_READ == 0x20019, "KEY_READ");
static_assert(KEY_ALL_ACCESS == 0xF003F, "KEY_ALL_ACCESS");
static_assert(OBJ_CASE_INSENSITIVE == 0x40 && OBJ_KERNEL_HANDLE == 0x200, "object attributes");
static_assert(STATUS_FAIL_CHECK == (NTSTATUS)0xC0000229L, "deferral status");
static_assert(STATUS_DATA_OVERRUN == (NTSTATUS)0xC000003CL, "syntax error status");
static_assert(PagedPool == 1 && NonPagedPool == 0, "pool types");
static_assert(KeyValuePartialInformation == 2 && KeyBasicInformation == 0, "information classes");
static_assert(REG_MULTI_SZ == 7 && REG_DWORD == 4 && REG_SZ == 1, "value types");

static_assert(sizeof(FILE_BASIC_INFORMATION) == 40, "FILE_BASIC_INFORMATION");
static_assert(FIELD_OFFSET(FILE_BASIC_INFORMATION, FileAttributes) == 32, "basic attributes");
static_assert(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) == 20, "rename header");
static_assert(sizeof(FILE_RENAME_INFORMATION) == 24, "rename record");
static_assert(sizeof(FILE_DISPOSITION_INFORMATION) == 1, "disposition record");
static_assert(FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileAttributes) == 56, "listing attributes");
static_assert(FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName) == 64, "listing name");
static_assert(FileDirectoryInformation == 1 && FileBasicInformation == 4 &&
                  FileRenameInformation == 10 && FileDispositionInformation == 13,
              "file information classes");
static_assert((GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES) == 0x80100080, "copy source access");
static_assert((SYNCHRONIZE | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES) == 0x100180, "attribute access");
static_assert((DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES) == 0x110080, "delete access");
static_assert((FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE) == 0x60, "file options");
static_assert((FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT) == 0x21, "directory options");
static_assert(FILE_OPEN_IF == 3 && FILE_OVERWRITE_IF == 5 && FILE_CREATE == 2, "dispositions");
static_assert(sizeof(OBJECT_NAME_INFORMATION) == 16 && ObjectNameInformation == 1, "object name information");

/* I/O manager and dispatcher records the driver touches. */
static_assert(sizeof(KEVENT) == 24, "KEVENT");
static_assert(FIELD_OFFSET(DISPATCHER_HEADER, SignalState) == 4, "event state");
static_assert(sizeof(IO_REMOVE_LOCK) == 32, "free-build remove lock");
static_assert(FIELD_OFFSET(IO_REMOVE_LOCK, Common.IoCount) == 4, "remove lock count");
static_assert(FIELD_OFFSET(IO_REMOVE_LOCK, Common.RemoveEvent) == 8, "remove lock event");
static_assert(sizeof(WORK_QUEUE_ITEM) == 32, "WORK_QUEUE_ITEM");
static_assert(FIELD_OFFSET(WORK_QUEUE_ITEM, WorkerRoutine) == 16, "work routine");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, DriverObject) == 0x08, "device driver");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, Flags) == 0x30, "device flags");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, Characteristics) == 0x34, "device characteristics");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, DeviceExtension) == 0x40, "device extension");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, DeviceType) == 0x48, "device type");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, StackSize) == 0x4C, "device stack size");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, SecurityDescriptor) == 0x110, "device security");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, DeviceLock) == 0x118, "device lock");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, Reserved) == 0x140, "device object end");
static_assert(sizeof(DRIVER_OBJECT) == 0x150, "DRIVER_OBJECT");
static_assert(FIELD_OFFSET(DRIVER_OBJECT, DeviceObject) == 0x08, "driver devices");
static_assert(FIELD_OFFSET(DRIVER_OBJECT, DriverExtension) == 0x30, "driver extension");
static_assert(FIELD_OFFSET(DRIVER_OBJECT, DriverName) == 0x38, "driver name");
static_assert(FIELD_OFFSET(DRIVER_OBJECT, DriverUnload) == 0x68, "driver unload");
static_assert(FIELD_OFFSET(DRIVER_OBJECT, MajorFunction) == 0x70, "dispatch table");
static_assert(IRP_MJ_MAXIMUM_FUNCTION == 0x1b && IRP_MJ_DEVICE_CONTROL == 0x0e &&
                  IRP_MJ_SHUTDOWN == 0x10 && IRP_MJ_CLEANUP == 0x12,
              "major functions");
static_assert(FIELD_OFFSET(DRIVER_EXTENSION, ServiceKeyName) == 0x18, "service key name");
static_assert(sizeof(IRP) == 0xD0, "IRP");
static_assert(FIELD_OFFSET(IRP, AssociatedIrp.SystemBuffer) == 0x18, "system buffer");
static_assert(FIELD_OFFSET(IRP, IoStatus) == 0x30, "IRP status");
static_assert(FIELD_OFFSET(IRP, RequestorMode) == 0x40, "requestor mode");
static_assert(FIELD_OFFSET(IRP, UserBuffer) == 0x70, "user buffer");
static_assert(FIELD_OFFSET(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8, "stack location");
static_assert(sizeof(IO_STACK_LOCATION) == 0x48, "IO_STACK_LOCATION");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength) == 8,
              "control output length");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 16,
              "control input length");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 24,
              "control code");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 32,
              "neither-method input");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.Create.EaLength) == 32, "create EA length");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, DeviceObject) == 0x28, "stack device");
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, FileObject) == 0x30, "stack file");
static_assert(sizeof(FILE_OBJECT) == 0xD8, "FILE_OBJECT");
static_assert(FIELD_OFFSET(FILE_OBJECT, FsContext) == 0x18, "file context");
static_assert(FIELD_OFFSET(FILE_OBJECT, FileName) == 0x58, "file name");
static_assert(sizeof(IO_SECURITY_CONTEXT) == 24, "IO_SECURITY_CONTEXT");
static_assert(FIELD_OFFSET(IO_SECURITY_CONTEXT, DesiredAccess) == 16, "create access");
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276 && sizeof(RTL_OSVERSIONINFOEXW) == 284,
              "version records");
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_WRITE_ACCESS) == 0x22A000,
              "control codes");
static_assert(DO_DEVICE_INITIALIZING == 0x80 && DO_EXCLUSIVE == 0x08 &&
                  DO_SHUTDOWN_REGISTERED == 0x800 && FILE_DEVICE_SECURE_OPEN == 0x100,
              "device flags");
static_assert(NotificationEvent == 0 && SynchronizationEvent == 1 && DelayedWorkQueue == 1,
              "event and queue types");
static_assert(STATUS_DELETE_PENDING == (NTSTATUS)0xC0000056L &&
                  STATUS_PROCEDURE_NOT_FOUND == (NTSTATUS)0xC000007AL,
              "remove lock and notify statuses");
