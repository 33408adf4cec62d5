/*
 * files_reparse_test.cpp - host symbolic links as NT reparse points: how
 * they list, opening the link itself, following links that stay in the
 * volume, and refusing those that leave it.
 */
#include "tests/simkernel/files_fixture.h"

#include <unistd.h>

#include <map>

namespace qtest {
namespace {

class FilesReparse : public FilesTest {
protected:
    void SetUp() override
    {
        FilesTest::SetUp();
        WriteHost("target/file", "inside");
        WriteHost("plain", "plain");
        WriteHost("elsewhere", "outside", 'd');
        ASSERT_EQ(symlink("target", Host("dirlink").c_str()), 0);
        ASSERT_EQ(symlink("../plain", Host("target/filelink").c_str()), 0);
        ASSERT_EQ(symlink(Host("elsewhere", 'd').c_str(), Host("outlink").c_str()), 0);
        ASSERT_EQ(symlink("missing", Host("dangling").c_str()), 0);
    }
    ULONG AttributesOf(const std::u16string &name)
    {
        HANDLE h;
        EXPECT_STATUS(STATUS_SUCCESS, Create(&h, name, FILE_READ_ATTRIBUTES, 0, FILE_OPEN, FILE_OPEN_REPARSE_POINT));
        ULONG attributes = Basic(h).FileAttributes;
        Close(h);
        return attributes;
    }
};

TEST_F(FilesReparse, LinksShowAsReparsePoints)
{
    EXPECT_EQ(AttributesOf(u"\\??\\C:\\dirlink"), (ULONG)(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(AttributesOf(u"\\??\\C:\\target\\filelink"),
              (ULONG)(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE));
    HANDLE root = OpenAll(u"\\??\\C:\\", FILE_DIRECTORY_FILE);
    std::vector<uint64_t> buffer(512);
    IO_STATUS_BLOCK io;
    ASSERT_STATUS(STATUS_SUCCESS, ZwQueryDirectoryFile(root, nullptr, nullptr, nullptr, &io, buffer.data(), 4096,
                                                       FileDirectoryInformation, FALSE, nullptr, FALSE));
    std::map<std::u16string, ULONG> attributes;
    for (auto *entry = (FILE_DIRECTORY_INFORMATION *)buffer.data();;
         entry = (FILE_DIRECTORY_INFORMATION *)((uint8_t *)entry + entry->NextEntryOffset)) {
        attributes[std::u16string(entry->FileName, entry->FileNameLength / 2)] = entry->FileAttributes;
        if (!entry->NextEntryOffset)
            break;
    }
    Close(root);
    EXPECT_EQ(attributes[u"dirlink"], (ULONG)(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(attributes[u"outlink"], (ULONG)(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(attributes[u"target"], (ULONG)FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FilesReparse, LinksInsideTheVolumeAreFollowed)
{
    HANDLE h = OpenAll(u"\\??\\C:\\DIRLINK\\filelink");
    std::string data;
    EXPECT_STATUS(STATUS_SUCCESS, Read(h, 16, &data));
    EXPECT_EQ(data, "plain");
    Close(h);
    h = OpenAll(u"\\??\\C:\\dirlink", FILE_DIRECTORY_FILE);
    Listing listing = List(h);
    EXPECT_EQ(listing.names, (std::vector<std::u16string>{u".", u"..", u"file", u"filelink"}));
    Close(h);
    HANDLE created;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&created, u"\\??\\C:\\dirlink\\new", FILE_WRITE_DATA, 0, FILE_CREATE));
    Close(created);
    EXPECT_TRUE(HostExists("target/new"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Create(&h, u"\\??\\C:\\dangling", FILE_READ_DATA, 0, FILE_OPEN));
}

TEST_F(FilesReparse, LinksLeavingTheVolumeAreNotFollowed)
{
    HANDLE h;
    EXPECT_STATUS(kReparseNotResolved, Create(&h, u"\\??\\C:\\outlink", FILE_READ_DATA, 0, FILE_OPEN));
    EXPECT_STATUS(kReparseNotResolved, Create(&h, u"\\??\\C:\\outlink\\x", FILE_READ_DATA, 0, FILE_OPEN));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\outlink", DELETE, 0, FILE_OPEN, FILE_OPEN_REPARSE_POINT));
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(h, true));
    Close(h);
    EXPECT_FALSE(HostExists("outlink"));
    EXPECT_EQ(ReadHost("elsewhere", 'd'), "outside");
}

TEST_F(FilesReparse, TheLinkItself)
{
    HANDLE h;
    EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY, Create(&h, u"\\??\\C:\\dirlink", FILE_READ_DATA, 0, FILE_OPEN,
                                                     FILE_OPEN_REPARSE_POINT | FILE_NON_DIRECTORY_FILE));
    h = OpenAll(u"\\??\\C:\\dirlink", FILE_OPEN_REPARSE_POINT);
    EXPECT_EQ(List(h).names, (std::vector<std::u16string>{u".", u".."}));
    EXPECT_TRUE(Standard(h).Directory);
    /* Deleting a junction takes the link, never what it points at. */
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(h, true));
    Close(h);
    EXPECT_FALSE(HostExists("dirlink"));
    EXPECT_EQ(ReadHost("target/file"), "inside");

    h = OpenAll(u"\\??\\C:\\target\\filelink", FILE_OPEN_REPARSE_POINT);
    std::string data;
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, Read(h, 4, &data));
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\moved", false));
    /* Linux keeps no user attributes on links: the record goes beside. */
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(h, FILE_ATTRIBUTE_HIDDEN, 0, 0, 4242, 0));
    Close(h);
    char target[64] = {};
    ASSERT_GT(readlink(Host("moved").c_str(), target, sizeof(target) - 1), 0);
    EXPECT_STREQ(target, "../plain");
    EXPECT_EQ(sk::HostFileInfo(Host("moved"))->lastWriteTime, 4242);

    sk::ResetKernel();
    ASSERT_STATUS(STATUS_SUCCESS, sk::AddVolume(u"\\Device\\HarddiskVolume1", Host(""), u'C'));
    EXPECT_EQ(AttributesOf(u"\\??\\C:\\moved"), (ULONG)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_REPARSE_POINT));
}

} // namespace
} // namespace qtest
