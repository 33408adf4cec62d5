/*
 * files_access_test.cpp - what each handle may do, NT's share-access
 * check between the opens of one file, and the read-only attribute.
 */
#include "tests/simkernel/files_fixture.h"

namespace qtest {
namespace {

class FilesAccess : public FilesTest {};

TEST_F(FilesAccess, EachCallNeedsItsRight)
{
    WriteHost("dir/file", "data");
    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\dir\\file", SYNCHRONIZE, FILE_SHARE_VALID_FLAGS,
                                         FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT));
    std::string data;
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Read(h, 4, &data));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Write(h, "x"));
    FILE_BASIC_INFORMATION basic;
    EXPECT_STATUS(STATUS_ACCESS_DENIED, QueryBasic(h, &basic));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, SetBasic(h, FILE_ATTRIBUTE_HIDDEN));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(h, u"\\??\\C:\\dir\\other", false));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, SetDelete(h, true));
    IO_STATUS_BLOCK io;
    EXPECT_STATUS(STATUS_ACCESS_DENIED, ZwFlushBuffersFile(h, &io));
    EXPECT_EQ(Standard(h).EndOfFile.QuadPart, 4);
    Close(h);

    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\dir", FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_OPEN,
                                         FILE_SYNCHRONOUS_IO_NONALERT));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, List(h).status);
    Close(h);

    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\dir\\file", GENERIC_READ | SYNCHRONIZE, 0, FILE_OPEN,
                                         FILE_SYNCHRONOUS_IO_NONALERT));
    EXPECT_STATUS(STATUS_SUCCESS, Read(h, 4, &data));
    EXPECT_STATUS(STATUS_SUCCESS, QueryBasic(h, &basic));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Write(h, "x"));
    Close(h);
    EXPECT_EQ(ReadHost("dir/file"), "data");
}

TEST_F(FilesAccess, ShareAccessAsIoCheckShareAccess)
{
    struct Case {
        ACCESS_MASK firstAccess;
        ULONG firstShare;
        ACCESS_MASK secondAccess;
        ULONG secondShare;
        NTSTATUS expected;
    } cases[] = {
        {FILE_READ_DATA, FILE_SHARE_READ, FILE_READ_DATA, FILE_SHARE_READ, STATUS_SUCCESS},
        {FILE_READ_DATA, FILE_SHARE_READ, FILE_WRITE_DATA, FILE_SHARE_READ, STATUS_SHARING_VIOLATION},
        {FILE_READ_DATA, FILE_SHARE_READ, DELETE, FILE_SHARE_READ, STATUS_SHARING_VIOLATION},
        /* The second must share what the first does. */
        {FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_READ_DATA, FILE_SHARE_READ,
         STATUS_SHARING_VIOLATION},
        {FILE_WRITE_DATA, FILE_SHARE_WRITE, FILE_APPEND_DATA, FILE_SHARE_WRITE, STATUS_SUCCESS},
        {DELETE, FILE_SHARE_DELETE, DELETE, FILE_SHARE_DELETE, STATUS_SUCCESS},
        {DELETE, 0, FILE_READ_DATA, FILE_SHARE_DELETE, STATUS_SHARING_VIOLATION},
        {FILE_EXECUTE, FILE_SHARE_READ, FILE_READ_DATA, FILE_SHARE_READ, STATUS_SUCCESS},
        /* Opens for attributes alone take no part either way. */
        {FILE_READ_DATA | FILE_WRITE_DATA | DELETE, 0, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, 0,
         STATUS_SUCCESS},
        {FILE_READ_ATTRIBUTES, 0, FILE_READ_DATA | FILE_WRITE_DATA | DELETE, 0, STATUS_SUCCESS},
    };
    WriteHost("f", "");
    for (const Case &c : cases) {
        HANDLE first, second;
        ASSERT_STATUS(STATUS_SUCCESS, Create(&first, u"\\??\\C:\\f", c.firstAccess, c.firstShare, FILE_OPEN));
        EXPECT_STATUS(c.expected, Create(&second, u"\\??\\C:\\F", c.secondAccess, c.secondShare, FILE_OPEN))
            << std::hex << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess << "/"
            << c.secondShare;
        if (NT_SUCCESS(c.expected))
            Close(second);
        Close(first);
        /* Closing gives the share back. */
        ASSERT_STATUS(STATUS_SUCCESS, Create(&second, u"\\??\\C:\\f", c.secondAccess, 0, FILE_OPEN));
        Close(second);
    }
}

TEST_F(FilesAccess, OverwriteCountsAsWriting)
{
    WriteHost("f", "data");
    HANDLE reader, h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&reader, u"\\??\\C:\\f", FILE_READ_DATA, FILE_SHARE_READ, FILE_OPEN));
    EXPECT_STATUS(STATUS_SHARING_VIOLATION,
                  Create(&h, u"\\??\\C:\\f", FILE_READ_ATTRIBUTES, FILE_SHARE_READ, FILE_OVERWRITE));
    Close(reader);
    EXPECT_EQ(ReadHost("f"), "data");
}

TEST_F(FilesAccess, ReadOnlyFiles)
{
    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\ro", FILE_WRITE_DATA | SYNCHRONIZE, 0, FILE_CREATE,
                                         FILE_SYNCHRONOUS_IO_NONALERT, FILE_ATTRIBUTE_READONLY));
    /* The handle that created it may still write. */
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "kept"));
    Close(h);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Create(&h, u"\\??\\C:\\ro", FILE_WRITE_DATA, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Create(&h, u"\\??\\C:\\ro", FILE_APPEND_DATA, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Create(&h, u"\\??\\C:\\ro", GENERIC_WRITE, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Create(&h, u"\\??\\C:\\ro", FILE_READ_DATA, 0, FILE_OVERWRITE_IF));
    EXPECT_STATUS(STATUS_CANNOT_DELETE, Create(&h, u"\\??\\C:\\ro", DELETE, 0, FILE_OPEN, FILE_DELETE_ON_CLOSE));

    /* MAXIMUM_ALLOWED leaves the writing rights out. */
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\ro", MAXIMUM_ALLOWED | SYNCHRONIZE, 0, FILE_OPEN,
                                         FILE_SYNCHRONOUS_IO_NONALERT));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Write(h, "x"));
    std::string data;
    EXPECT_STATUS(STATUS_SUCCESS, Read(h, 8, &data));
    EXPECT_STATUS(STATUS_CANNOT_DELETE, SetDelete(h, true));
    EXPECT_STATUS(STATUS_SUCCESS, SetBasic(h, FILE_ATTRIBUTE_NORMAL));
    Close(h);
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\ro", FILE_ALL_ACCESS, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_SUCCESS, SetDelete(h, true));
    Close(h);
    EXPECT_FALSE(HostExists("ro"));
}

TEST_F(FilesAccess, ReadOnlyDirectoriesTakeNewEntries)
{
    HANDLE dir, h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&dir, u"\\??\\C:\\d", FILE_ALL_ACCESS, FILE_SHARE_VALID_FLAGS, FILE_CREATE,
                                         FILE_DIRECTORY_FILE,
                                         FILE_ATTRIBUTE_READONLY));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\d\\f", FILE_WRITE_DATA, 0, FILE_CREATE));
    Close(h);
    EXPECT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\d", FILE_WRITE_DATA, FILE_SHARE_VALID_FLAGS, FILE_OPEN));
    Close(h);
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\d\\f", DELETE, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_SUCCESS, SetDelete(h, true));
    Close(h);
    EXPECT_STATUS(STATUS_CANNOT_DELETE, SetDelete(dir, true));
    Close(dir);
    EXPECT_EQ(HostTree(), std::vector<std::string>{"d/"});
}

} // namespace
} // namespace qtest
