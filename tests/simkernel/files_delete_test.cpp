/*
 * files_delete_test.cpp - FileDispositionInformation and
 * FILE_DELETE_ON_CLOSE: a delete is pending until the last handle closes,
 * and what NTFS refuses to delete.
 */
#include "tests/simkernel/files_fixture.h"

namespace qtest {
namespace {

class FilesDelete : public FilesTest {};

TEST_F(FilesDelete, PendingUntilTheLastHandleCloses)
{
    WriteHost("f", "x");
    HANDLE first = OpenAll(u"\\??\\C:\\f");
    HANDLE second = OpenAll(u"\\??\\C:\\f");
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(first, true));
    EXPECT_TRUE(Standard(second).DeletePending);
    HANDLE h;
    EXPECT_STATUS(STATUS_DELETE_PENDING, Create(&h, u"\\??\\C:\\F", FILE_READ_ATTRIBUTES, FILE_SHARE_VALID_FLAGS, FILE_OPEN));
    EXPECT_STATUS(STATUS_DELETE_PENDING, Create(&h, u"\\??\\C:\\f", FILE_WRITE_DATA, FILE_SHARE_VALID_FLAGS, FILE_OVERWRITE_IF));
    Close(first);
    EXPECT_TRUE(HostExists("f"));
    /* Another handle can take the delete back. */
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(second, false));
    EXPECT_FALSE(Standard(second).DeletePending);
    Close(second);
    EXPECT_TRUE(HostExists("f"));

    first = OpenAll(u"\\??\\C:\\f");
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(first, true));
    Close(first);
    EXPECT_TRUE(HostTree().empty());
}

TEST_F(FilesDelete, DirectoriesMustBeEmpty)
{
    WriteHost("dir/f", "");
    HANDLE dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY, SetDelete(dir, true));
    HANDLE f = OpenAll(u"\\??\\C:\\dir\\f");
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(f, true));
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY, SetDelete(dir, true));
    Close(f);
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(dir, true));
    /* Nothing new comes into a directory that is going. */
    HANDLE h;
    EXPECT_STATUS(STATUS_DELETE_PENDING, Create(&h, u"\\??\\C:\\dir\\g", FILE_WRITE_DATA, 0, FILE_CREATE));
    Close(dir);
    EXPECT_TRUE(HostTree().empty());

    HANDLE root = OpenAll(u"\\??\\C:\\", FILE_DIRECTORY_FILE);
    EXPECT_STATUS(STATUS_CANNOT_DELETE, SetDelete(root, true));
    Close(root);
}

TEST_F(FilesDelete, DeleteOnClose)
{
    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\temp", DELETE, FILE_SHARE_DELETE,
                                         FILE_CREATE, FILE_DELETE_ON_CLOSE));
    HANDLE other;
    EXPECT_STATUS(STATUS_SHARING_VIOLATION, Create(&other, u"\\??\\C:\\temp", FILE_READ_DATA, 0, FILE_OPEN));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&other, u"\\??\\C:\\temp", DELETE, FILE_SHARE_DELETE, FILE_OPEN));
    EXPECT_FALSE(Standard(other).DeletePending);
    Close(h);
    EXPECT_TRUE(Standard(other).DeletePending);
    Close(other);
    EXPECT_TRUE(HostTree().empty());

    EXPECT_STATUS(STATUS_CANNOT_DELETE, Create(&h, u"\\??\\C:\\ro", DELETE, 0, FILE_CREATE, FILE_DELETE_ON_CLOSE,
                                               FILE_ATTRIBUTE_READONLY));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\d", DELETE, 0, FILE_CREATE,
                                         FILE_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE));
    HANDLE inside;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&inside, u"\\??\\C:\\d\\f", FILE_WRITE_DATA, 0, FILE_CREATE));
    Close(inside);
    /* A directory that filled up stays. */
    Close(h);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"d/", "d/f"}));
}

TEST_F(FilesDelete, DeletingByNameAndReusingIt)
{
    WriteHost("f", "old");
    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\f", DELETE, 0, FILE_OPEN));
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(h, true));
    Close(h);
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\f", FILE_WRITE_DATA, 0, FILE_CREATE));
    Close(h);
    EXPECT_EQ(ReadHost("f"), "");
}

} // namespace
} // namespace qtest
