/*
 * files_rename_test.cpp - FileRenameInformation: the three forms of the
 * new name, replacing, what NTFS refuses to replace or move, and the name
 * an open handle has afterwards.
 */
#include "tests/simkernel/files_fixture.h"

namespace qtest {
namespace {

class FilesRename : public FilesTest {
protected:
    std::u16string NameOf(HANDLE handle)
    {
        std::vector<uint64_t> buffer(128);
        ULONG length = 0;
        EXPECT_STATUS(STATUS_SUCCESS, ZwQueryObject(handle, ObjectNameInformation, buffer.data(),
                                                    (ULONG)(buffer.size() * 8), &length));
        auto *info = (OBJECT_NAME_INFORMATION *)buffer.data();
        return std::u16string(info->Name.Buffer, info->Name.Length / sizeof(WCHAR));
    }
};

TEST_F(FilesRename, FullPathRelativeAndBareName)
{
    WriteHost("a/file", "content");
    MakeHostDir("b");
    HANDLE h = OpenAll(u"\\??\\C:\\a\\file");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\b\\moved", false));
    EXPECT_EQ(NameOf(h), u"\\Device\\HarddiskVolume1\\b\\moved");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"Renamed", false));
    EXPECT_EQ(NameOf(h), u"\\Device\\HarddiskVolume1\\b\\Renamed");
    HANDLE a;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&a, u"\\??\\C:\\A", FILE_LIST_DIRECTORY, FILE_SHARE_VALID_FLAGS,
                                         FILE_OPEN, FILE_DIRECTORY_FILE));
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"back", false, a));
    EXPECT_EQ(NameOf(h), u"\\Device\\HarddiskVolume1\\a\\back");
    /* The handle goes on writing the file at its new place. */
    EXPECT_STATUS(STATUS_SUCCESS, Write(h, "C"));
    Close(a);
    Close(h);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"a/", "a/back", "b/"}));
    EXPECT_EQ(ReadHost("a/back"), "Content");
}

TEST_F(FilesRename, ReplacingAnExistingName)
{
    WriteHost("src", "new");
    WriteHost("dst", "old");
    MakeHostDir("dir");
    HANDLE h = OpenAll(u"\\??\\C:\\src");
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Rename(h, u"\\??\\C:\\DST", false));
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Rename(h, u"\\??\\C:\\dir", false));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(h, u"\\??\\C:\\dir", true));
    HANDLE target = OpenAll(u"\\??\\C:\\dst");
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(h, u"\\??\\C:\\dst", true));
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(target, FILE_ATTRIBUTE_READONLY));
    Close(target);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(h, u"\\??\\C:\\dst", true));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&target, u"\\??\\C:\\dst", FILE_WRITE_ATTRIBUTES, 0, FILE_OPEN));
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(target, FILE_ATTRIBUTE_NORMAL));
    Close(target);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"dir/", "dst", "src"}));

    /* The new name keeps the case it was given. */
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\DST", true));
    Close(h);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"DST", "dir/"}));
    EXPECT_EQ(ReadHost("DST"), "new");

    HANDLE dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(dir, u"\\??\\C:\\DST", true));
    Close(dir);
}

TEST_F(FilesRename, CaseOnlyRenameAndSameName)
{
    WriteHost("name.txt", "x");
    HANDLE h = OpenAll(u"\\??\\C:\\name.txt");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\name.txt", false));
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\Name.TXT", false));
    EXPECT_EQ(NameOf(h), u"\\Device\\HarddiskVolume1\\Name.TXT");
    Close(h);
    EXPECT_EQ(HostTree(), std::vector<std::string>{"Name.TXT"});
}

TEST_F(FilesRename, DirectoriesWithOpenHandlesBelowStay)
{
    WriteHost("top/sub/file", "");
    HANDLE top = OpenAll(u"\\??\\C:\\top", FILE_DIRECTORY_FILE);
    HANDLE file = OpenAll(u"\\??\\C:\\top\\sub\\file");
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(top, u"\\??\\C:\\moved", false));
    Close(file);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(top, u"\\??\\C:\\top\\sub\\top", false));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Rename(top, u"\\??\\C:\\top\\top", false));
    ASSERT_STATUS(STATUS_SUCCESS, Rename(top, u"\\??\\C:\\moved", false));
    EXPECT_EQ(NameOf(top), u"\\Device\\HarddiskVolume1\\moved");
    Close(top);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"moved/", "moved/sub/", "moved/sub/file"}));
}

TEST_F(FilesRename, TargetsThatCannotBe)
{
    WriteHost("f", "");
    WriteHost("file", "");
    HANDLE h = OpenAll(u"\\??\\C:\\f");
    EXPECT_STATUS(STATUS_NOT_SAME_DEVICE, Rename(h, u"\\??\\D:\\f", false));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Rename(h, u"\\??\\C:\\none\\f", false));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Rename(h, u"\\??\\C:\\file\\f", false));
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Rename(h, u"\\??\\C:\\bad*name", false));
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Rename(h, u"\\??\\C:\\with:colon", false));
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Rename(h, u"sub\\name", false));
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Rename(h, u"\\??\\C:\\g\\", false));

    std::vector<uint8_t> buffer(64);
    auto *info = (FILE_RENAME_INFORMATION *)buffer.data();
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    memcpy(info->FileName, u"abc", 6);
    IO_STATUS_BLOCK io;
    info->FileNameLength = 5;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ZwSetInformationFile(h, &io, info, (ULONG)buffer.size(), FileRenameInformation));
    info->FileNameLength = 60;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ZwSetInformationFile(h, &io, info, (ULONG)buffer.size(), FileRenameInformation));
    info->FileNameLength = 6;
    EXPECT_STATUS(STATUS_INFO_LENGTH_MISMATCH,
                  ZwSetInformationFile(h, &io, info, sizeof(FILE_RENAME_INFORMATION) - 1, FileRenameInformation));
    Close(h);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"f", "file"}));
}

TEST_F(FilesRename, TheTargetDirectoryIsOpenedForAdding)
{
    WriteHost("dir/f", "");
    HANDLE lister;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&lister, u"\\??\\C:\\dir", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                         FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN,
                                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT));
    HANDLE h = OpenAll(u"\\??\\C:\\dir\\f");
    EXPECT_STATUS(STATUS_SHARING_VIOLATION, Rename(h, u"\\??\\C:\\dir\\g", false));
    /* A bare name involves no open of the directory. */
    EXPECT_STATUS(STATUS_SUCCESS, Rename(h, u"g", false));
    Close(lister);
    /* The directory is opened without sharing delete, as before Windows
     * 11: a handle to it with DELETE access stands in the way too. */
    HANDLE deleter;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&deleter, u"\\??\\C:\\dir", DELETE, FILE_SHARE_VALID_FLAGS, FILE_OPEN));
    EXPECT_STATUS(STATUS_SHARING_VIOLATION, Rename(h, u"\\??\\C:\\dir\\h", false));
    Close(deleter);
    EXPECT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\dir\\h", false));
    Close(h);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"dir/", "dir/h"}));
}

} // namespace
} // namespace qtest
