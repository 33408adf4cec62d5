/*
 * files_basic_test.cpp - FileBasicInformation and FileStandardInformation:
 * what a set changes, what it refuses, and that attributes and times
 * persist across handles and across a new boot of the simulated kernel;
 * what a host file without a record shows; the simulated clock.
 */
#include "tests/simkernel/files_fixture.h"

#include "simkernel/clock.h"

#include <sys/stat.h>
#include <sys/time.h>

namespace qtest {
namespace {

class FilesBasic : public FilesTest {};

constexpr LONGLONG kTime1 = 130000000000000000LL;
constexpr LONGLONG kTime2 = 130000000000000001LL;
constexpr LONGLONG kTime3 = 130000000000000002LL;
constexpr LONGLONG kTime4 = 130000000000000003LL;

TEST_F(FilesBasic, SetShowsThroughOtherHandlesAndAfterANewBoot)
{
    HANDLE h = OpenAll(u"\\??\\C:\\f", 0, FILE_CREATE);
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(h, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY,
                                           kTime1, kTime2, kTime3, kTime4));
    HANDLE other;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&other, u"\\??\\C:\\F", FILE_READ_ATTRIBUTES, 0, FILE_OPEN));
    FILE_BASIC_INFORMATION info = Basic(other);
    EXPECT_EQ(info.FileAttributes,
              (ULONG)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(info.CreationTime.QuadPart, kTime1);
    EXPECT_EQ(info.LastAccessTime.QuadPart, kTime2);
    EXPECT_EQ(info.LastWriteTime.QuadPart, kTime3);
    EXPECT_EQ(info.ChangeTime.QuadPart, kTime4);
    Close(other);
    Close(h);

    sk::ResetKernel();
    ASSERT_STATUS(STATUS_SUCCESS, sk::AddVolume(u"\\Device\\HarddiskVolume1", Host(""), u'C'));
    HANDLE again;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&again, u"\\??\\C:\\f", FILE_READ_ATTRIBUTES, 0, FILE_OPEN));
    info = Basic(again);
    EXPECT_EQ(info.CreationTime.QuadPart, kTime1);
    EXPECT_EQ(info.ChangeTime.QuadPart, kTime4);
    EXPECT_EQ(info.FileAttributes,
              (ULONG)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
    Close(again);
    std::optional<sk::FileTimesAndAttributes> host = sk::HostFileInfo(Host("f"));
    ASSERT_TRUE(host);
    EXPECT_EQ(host->lastAccessTime, kTime2);
    EXPECT_TRUE(sk::HostFileHasRecord(Host("f")));
}

TEST_F(FilesBasic, ZeroChangesNothingAndNormalClears)
{
    HANDLE h = OpenAll(u"\\??\\C:\\f", 0, FILE_CREATE);
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(h, FILE_ATTRIBUTE_HIDDEN, kTime1, kTime2, kTime3, kTime4));
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(h, 0));
    FILE_BASIC_INFORMATION info = Basic(h);
    EXPECT_EQ(info.FileAttributes, (ULONG)FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(info.CreationTime.QuadPart, kTime1);
    EXPECT_EQ(info.ChangeTime.QuadPart, kTime4);

    /* A change of attributes stamps the change time alone, unless the
     * handle set that time itself. */
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(h, FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(Basic(h).ChangeTime.QuadPart, kTime4);
    Close(h);
    h = OpenAll(u"\\??\\C:\\f");
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(h, FILE_ATTRIBUTE_NORMAL));
    info = Basic(h);
    EXPECT_EQ(info.FileAttributes, (ULONG)FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(info.LastWriteTime.QuadPart, kTime3);
    EXPECT_GT(info.ChangeTime.QuadPart, kTime4);
    Close(h);

    HANDLE dir = OpenAll(u"\\??\\C:\\d", FILE_DIRECTORY_FILE, FILE_CREATE);
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(dir, FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(Basic(dir).FileAttributes, (ULONG)FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(dir, FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(Basic(dir).FileAttributes, (ULONG)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    Close(dir);
}

TEST_F(FilesBasic, WhatASetRefuses)
{
    HANDLE file = OpenAll(u"\\??\\C:\\f", 0, FILE_CREATE);
    HANDLE dir = OpenAll(u"\\??\\C:\\d", FILE_DIRECTORY_FILE, FILE_CREATE);
    const FILE_BASIC_INFORMATION before = Basic(file);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, SetBasic(file, FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, SetBasic(dir, FILE_ATTRIBUTE_TEMPORARY));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, SetBasic(file, FILE_ATTRIBUTE_HIDDEN, -3));
    FILE_BASIC_INFORMATION info = {};
    IO_STATUS_BLOCK io;
    EXPECT_STATUS(STATUS_INFO_LENGTH_MISMATCH,
                  ZwSetInformationFile(file, &io, &info, sizeof(info) - 1, FileBasicInformation));
    EXPECT_STATUS(STATUS_INFO_LENGTH_MISMATCH,
                  ZwQueryInformationFile(file, &io, &info, sizeof(info) - 1, FileBasicInformation));
    EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                  ZwQueryInformationFile(file, &io, &info, sizeof(info), FileRenameInformation));
    EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                  ZwQueryInformationFile(file, &io, &info, sizeof(info), (FILE_INFORMATION_CLASS)0));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  ZwQueryInformationFile(file, &io, &info, sizeof(info), FileInternalInformation));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  ZwSetInformationFile(file, &io, &info, sizeof(info), FileEndOfFileInformation));
    EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                  ZwSetInformationFile(file, &io, &info, sizeof(info), FileStandardInformation));
    const FILE_BASIC_INFORMATION after = Basic(file);
    EXPECT_EQ(after.FileAttributes, before.FileAttributes);
    EXPECT_EQ(after.ChangeTime.QuadPart, before.ChangeTime.QuadPart);
    Close(dir);
    Close(file);
}

TEST_F(FilesBasic, HostFilesWithoutARecordShowTheirStat)
{
    WriteHost("plain", "12345");
    WriteHost("locked", "");
    MakeHostDir("dir");
    chmod(Host("locked").c_str(), 0444);
    struct timeval times[2] = {{1000000000, 0}, {1500000000, 500000}};
    utimes(Host("plain").c_str(), times);
    const LONGLONG unixEpoch = 116444736000000000LL;

    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\plain", FILE_READ_ATTRIBUTES, 0, FILE_OPEN));
    FILE_BASIC_INFORMATION info = Basic(h);
    EXPECT_EQ(info.FileAttributes, (ULONG)FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(info.LastAccessTime.QuadPart, unixEpoch + 1000000000LL * 10000000);
    EXPECT_EQ(info.LastWriteTime.QuadPart, unixEpoch + 1500000000LL * 10000000 + 5000000);
    FILE_STANDARD_INFORMATION standard = Standard(h);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 5);
    EXPECT_EQ(standard.NumberOfLinks, 1u);
    EXPECT_FALSE(standard.Directory);
    EXPECT_FALSE(standard.DeletePending);
    Close(h);
    EXPECT_FALSE(sk::HostFileHasRecord(Host("plain")));

    EXPECT_EQ(sk::HostFileInfo(Host("locked"))->attributes,
              (ULONG)(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(sk::HostFileInfo(Host("dir"))->attributes, (ULONG)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(sk::HostFileInfo(Host("none")));

    sk::FileTimesAndAttributes stored;
    stored.creationTime = kTime1;
    stored.lastAccessTime = kTime2;
    stored.lastWriteTime = kTime3;
    stored.changeTime = kTime4;
    stored.attributes = FILE_ATTRIBUTE_SYSTEM;
    ASSERT_STATUS(STATUS_SUCCESS, sk::SetHostFileInfo(Host("plain"), stored));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\plain", FILE_READ_ATTRIBUTES, 0, FILE_OPEN));
    EXPECT_EQ(Basic(h).FileAttributes, (ULONG)FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(Basic(h).CreationTime.QuadPart, kTime1);
    Close(h);
}

class SystemClock : public KernelTest {};

TEST_F(SystemClock, NeverRepeatsNorGoesBack)
{
    sk::ResetClock();
    const LONGLONG first = sk::SystemTimeNow();
    EXPECT_EQ(first, sk::kSystemClockStart);
    EXPECT_GT(sk::SystemTimeNow(), first);
    sk::AdvanceSystemTime(10000000);
    EXPECT_GE(sk::PeekSystemTime(), first + 10000000);
    sk::SetSystemTime(first + 20000000);
    EXPECT_EQ(sk::SystemTimeNow(), first + 20000000);
    std::string message;
    sk::SetViolationHandler([&](const std::string &text) { message = text; });
    sk::SetSystemTime(first);
    EXPECT_NE(message.find("before"), std::string::npos);
    EXPECT_EQ(sk::PeekSystemTime(), first + 20000001);
}

} // namespace
} // namespace qtest
