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
