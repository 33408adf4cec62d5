/*
 * files_io_test.cpp - ZwReadFile, ZwWriteFile and ZwFlushBuffersFile:
 * the current position, the end of the file, directories, asynchronous
 * handles, and the times a write stamps.
 */
#include "tests/simkernel/files_fixture.h"

#include "simkernel/clock.h"

namespace qtest {
namespace {

class FilesIo : public FilesTest {};

TEST_F(FilesIo, SynchronousHandlesMoveThroughTheFile)
{
    HANDLE h = OpenAll(u"\\??\\C:\\f", 0, FILE_CREATE);
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "hello "));
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "world"));
    EXPECT_EQ(ReadHost("f"), "hello world");

    FILE_POSITION_INFORMATION position;
    position.CurrentByteOffset.QuadPart = 6;
    IO_STATUS_BLOCK io;
    ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &io, &position, sizeof(position), FilePositionInformation));
    std::string data;
    ULONG_PTR information;
    EXPECT_STATUS(STATUS_SUCCESS, Read(h, 3, &data));
    EXPECT_EQ(data, "wor");
    EXPECT_STATUS(STATUS_SUCCESS, Read(h, 100, &data, &information));
    EXPECT_EQ(data, "ld");
    EXPECT_EQ(information, 2u);
    EXPECT_STATUS(STATUS_END_OF_FILE, Read(h, 100, &data, &information));
    EXPECT_EQ(information, 0u);
    EXPECT_STATUS(STATUS_SUCCESS, Read(h, 0, &data, &information));
    EXPECT_EQ(information, 0u);
    ASSERT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(h, &io, &position, sizeof(position), FilePositionInformation));
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, 11);

    LONGLONG at = 0;
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "J", &at));
    at = 20;
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "!", &at));
    EXPECT_EQ(ReadHost("f"), std::string("Jello world") + std::string(9, '\0') + "!");
    EXPECT_EQ(Standard(h).EndOfFile.QuadPart, 21);
    EXPECT_EQ(Standard(h).AllocationSize.QuadPart, 4096);
    Close(h);
}

TEST_F(FilesIo, AppendOnlyHandlesWriteAtTheEnd)
{
    WriteHost("log", "one ");
    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\log", FILE_APPEND_DATA | SYNCHRONIZE, 0, FILE_OPEN,
                                         FILE_SYNCHRONOUS_IO_NONALERT));
    LONGLONG at = 0;
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "two", &at));
    Close(h);
    EXPECT_EQ(ReadHost("log"), "one two");
}

TEST_F(FilesIo, WhatIsRefused)
{
    MakeHostDir("dir");
    WriteHost("f", "abc");
    HANDLE dir = OpenAll(u"\\??\\C:\\dir");
    std::string data;
    EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, Read(dir, 4, &data));
    EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, Write(dir, "x"));
    Close(dir);

    HANDLE async;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&async, u"\\??\\C:\\f", FILE_READ_DATA | FILE_WRITE_DATA, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Read(async, 4, &data));
    LONGLONG at = 0;
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, Write(async, "x", &at));
    /* A flush there would be pending: the model refuses it loudly. */
    IO_STATUS_BLOCK pending;
    NTSTATUS flushed = STATUS_SUCCESS;
    EXPECT_TRUE(OneViolation(ViolationsDuring([&] { flushed = ZwFlushBuffersFile(async, &pending); }),
                             "FILE_SYNCHRONOUS_IO"));
    EXPECT_STATUS(STATUS_PENDING, flushed);
    Close(async);

    HANDLE h = OpenAll(u"\\??\\C:\\f");
    IO_STATUS_BLOCK io;
    char buffer[4];
    LARGE_INTEGER offset;
    offset.QuadPart = -5;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ZwReadFile(h, nullptr, nullptr, nullptr, &io, buffer, 4, &offset, nullptr));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  ZwReadFile(h, (HANDLE)(uintptr_t)0x1234, nullptr, nullptr, &io, buffer, 4, nullptr, nullptr));
    sk::ClearFaults();
    sk::FailCall("ZwWriteFile", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Write(h, "zzz"));
    Close(h);
    EXPECT_EQ(ReadHost("f"), "abc");
}

TEST_F(FilesIo, WritesStampTheTimesUnlessTheHandleKeepsThem)
{
    HANDLE h = OpenAll(u"\\??\\C:\\f", 0, FILE_CREATE);
    const FILE_BASIC_INFORMATION created = Basic(h);
    EXPECT_STATUS(STATUS_SUCCESS, SetBasic(h, FILE_ATTRIBUTE_NORMAL));
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "data"));
    const FILE_BASIC_INFORMATION written = Basic(h);
    EXPECT_EQ(written.CreationTime.QuadPart, created.CreationTime.QuadPart);
    EXPECT_GT(written.LastWriteTime.QuadPart, created.LastWriteTime.QuadPart);
    EXPECT_EQ(written.ChangeTime.QuadPart, written.LastWriteTime.QuadPart);
    EXPECT_EQ(written.FileAttributes, (ULONG)FILE_ATTRIBUTE_ARCHIVE);

    /* -1 freezes the time for this handle, -2 lets it move again. */
    EXPECT_STATUS(STATUS_SUCCESS, SetBasic(h, 0, 0, 0, -1, 0));
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "more"));
    EXPECT_EQ(Basic(h).LastWriteTime.QuadPart, written.LastWriteTime.QuadPart);
    EXPECT_STATUS(STATUS_SUCCESS, SetBasic(h, 0, 0, 0, -2, 0));
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "again"));
    EXPECT_GT(Basic(h).LastWriteTime.QuadPart, written.LastWriteTime.QuadPart);

    /* A time set through the handle is not overwritten by its writes. */
    EXPECT_STATUS(STATUS_SUCCESS, SetBasic(h, 0, 0, 0, 1000, 0));
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "!"));
    EXPECT_EQ(Basic(h).LastWriteTime.QuadPart, 1000);
    IO_STATUS_BLOCK io;
    EXPECT_STATUS(STATUS_SUCCESS, ZwFlushBuffersFile(h, &io));
    Close(h);
    EXPECT_EQ(ReadHost("f"), "datamoreagain!");
    EXPECT_EQ(sk::HostFileInfo(Host("f"))->lastWriteTime, 1000);
}

} // namespace
} // namespace qtest
