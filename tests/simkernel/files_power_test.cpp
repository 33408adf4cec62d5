/*
 * files_power_test.cpp - what a volume keeps at a power cut: data not
 * flushed reads as zeros, metadata changes since the last flush survive as
 * an in-order prefix, and a flush of any file makes every change before it
 * sure.
 */
#include "tests/simkernel/files_fixture.h"

namespace qtest {
namespace {

class FilesPower : public FilesTest {
protected:
    void SetUp() override
    {
        FilesTest::SetUp();
        sk::TrackDurability(true);
    }
    void Flush(HANDLE handle)
    {
        IO_STATUS_BLOCK io;
        EXPECT_STATUS(STATUS_SUCCESS, ZwFlushBuffersFile(handle, &io));
    }
    /* A file written and flushed: sure on disk. */
    void MakeSure(const std::u16string &name, const std::string &content)
    {
        HANDLE h = OpenAll(name, FILE_NON_DIRECTORY_FILE, FILE_OVERWRITE_IF);
        EXPECT_STATUS(STATUS_SUCCESS, Write(h, content));
        Flush(h);
        Close(h);
    }
    void TearDown() override
    {
        EXPECT_FALSE(std::filesystem::exists(root_ / "c.qelmbar-journal"));
        FilesTest::TearDown();
    }
};

TEST_F(FilesPower, DataWrittenSinceTheFlushReadsAsZerosUpToTheSurvivingSize)
{
    for (bool keepAll : {true, false}) {
        sk::TrackDurability(true);
        MakeSure(u"\\??\\C:\\log", "hello");
        HANDLE h = OpenAll(u"\\??\\C:\\log");
        LONGLONG end = 5;
        ASSERT_STATUS(STATUS_SUCCESS, Write(h, " world", &end));
        LONGLONG start = 0;
        ASSERT_STATUS(STATUS_SUCCESS, Write(h, "J", &start));
        Close(h);
        sk::CutPower(keepAll ? sk::SurvivingJournal::All() : sk::SurvivingJournal::None());
        /* The growth survives only with the journal; the bytes never. */
        EXPECT_EQ(ReadHost("log"), keepAll ? std::string("\0ello\0\0\0\0\0\0", 11)
                                           : std::string("\0ello", 5));
    }
}

TEST_F(FilesPower, ANewFileNeverFlushed)
{
    const std::vector<std::pair<sk::SurvivingJournal, std::vector<std::string>>> cases = {
        {sk::SurvivingJournal::None(), {}},
        /* Created, with its record: nothing written yet. */
        {sk::SurvivingJournal::Count(1), {"new"}},
        {sk::SurvivingJournal::All(), {"new"}},
    };
    for (const auto &[surviving, tree] : cases) {
        sk::TrackDurability(true);
        HANDLE h = OpenAll(u"\\??\\C:\\new", FILE_NON_DIRECTORY_FILE, FILE_CREATE);
        ASSERT_STATUS(STATUS_SUCCESS, Write(h, "data"));
        Close(h);
        sk::CutPower(surviving);
        EXPECT_EQ(HostTree(), tree);
        if (!tree.empty()) {
            EXPECT_EQ(ReadHost("new"), surviving.kind == sk::SurvivingJournal::Kind::All
                                           ? std::string(4, '\0')
                                           : std::string());
            std::filesystem::remove(Host("new"));
        }
    }
}

TEST_F(FilesPower, MetadataSurvivesAsAnInOrderPrefix)
{
    MakeSure(u"\\??\\C:\\a", "A");
    MakeSure(u"\\??\\C:\\c", "C");
    MakeSure(u"\\??\\C:\\d", "D");
    HANDLE a = OpenAll(u"\\??\\C:\\a");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(a, u"\\??\\C:\\b", false));
    Close(a);
    HANDLE c = OpenAll(u"\\??\\C:\\c");
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(c, true));
    Close(c);
    /* Replacing d keeps the old d for the undo. */
    HANDLE b = OpenAll(u"\\??\\C:\\b");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(b, u"\\??\\C:\\d", true));
    Close(b);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"d"}));
    /* The rename a->b alone survives: the delete of c and the
     * replacement of d are lost. */
    ASSERT_GE(sk::UnsureChanges(u"\\Device\\HarddiskVolume1"), 3u);
    sk::CutPower(sk::SurvivingJournal::Count(1));
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"b", "c", "d"}));
    EXPECT_EQ(ReadHost("b"), "A");
    EXPECT_EQ(ReadHost("c"), "C");
    EXPECT_EQ(ReadHost("d"), "D");
}

TEST_F(FilesPower, NothingSurvivesUndoesRenamesDeletesAndReplacements)
{
    MakeSure(u"\\??\\C:\\src", "new");
    MakeSure(u"\\??\\C:\\dst", "old");
    MakeHostDir("gone");
    HANDLE src = OpenAll(u"\\??\\C:\\src");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(src, u"\\??\\C:\\DST", true));
    Close(src);
    HANDLE dir = OpenAll(u"\\??\\C:\\gone", FILE_DIRECTORY_FILE);
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(dir, FILE_ATTRIBUTE_HIDDEN));
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(dir, true));
    Close(dir);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"DST"}));
    sk::CutPower(sk::SurvivingJournal::None());
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"dst", "gone/", "src"}));
    EXPECT_EQ(ReadHost("src"), "new");
    EXPECT_EQ(ReadHost("dst"), "old");
    EXPECT_EQ(sk::HostFileInfo(Host("gone"))->attributes, (ULONG)FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FilesPower, AFlushOfAnyFileMakesEveryEarlierChangeSure)
{
    MakeSure(u"\\??\\C:\\a", "A");
    MakeSure(u"\\??\\C:\\x", "X");
    HANDLE a = OpenAll(u"\\??\\C:\\a");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(a, u"\\??\\C:\\b", false));
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(a, FILE_ATTRIBUTE_READONLY));
    Close(a);
    HANDLE x = OpenAll(u"\\??\\C:\\x");
    LONGLONG end = 1;
    ASSERT_STATUS(STATUS_SUCCESS, Write(x, "Y", &end));
    /* The flush of x: the rename and the attributes of b are sure too,
     * and so is x's data; a change after it is not. */
    Flush(x);
    EXPECT_EQ(sk::UnsureChanges(u"\\Device\\HarddiskVolume1"), 0u);
    Close(x);
    HANDLE b;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&b, u"\\??\\C:\\b", DELETE | SYNCHRONIZE,
                                         FILE_SHARE_VALID_FLAGS, FILE_OPEN));
    ASSERT_STATUS(STATUS_SUCCESS, Rename(b, u"\\??\\C:\\c", false));
    Close(b);
    sk::CutPower(sk::SurvivingJournal::None());
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"b", "x"}));
    EXPECT_EQ(ReadHost("x"), "XY");
    EXPECT_EQ(sk::HostFileInfo(Host("b"))->attributes & FILE_ATTRIBUTE_READONLY,
              (ULONG)FILE_ATTRIBUTE_READONLY);
}

TEST_F(FilesPower, AnOverwriteNotFlushedLeavesTheOldDataOrZeros)
{
    MakeSure(u"\\??\\C:\\app", "old program");
    HANDLE h = OpenAll(u"\\??\\C:\\app", FILE_NON_DIRECTORY_FILE, FILE_OVERWRITE_IF);
    ASSERT_STATUS(STATUS_SUCCESS, Write(h, "new!"));
    Close(h);
    sk::CutPower(sk::SurvivingJournal::None());
    EXPECT_EQ(ReadHost("app"), "old program");

    sk::TrackDurability(true);
    h = OpenAll(u"\\??\\C:\\app", FILE_NON_DIRECTORY_FILE, FILE_OVERWRITE_IF);
    ASSERT_STATUS(STATUS_SUCCESS, Write(h, "new!"));
    Close(h);
    sk::CutPower(sk::SurvivingJournal::All());
    /* What a copy written in place leaves: the new size, no data. */
    EXPECT_EQ(ReadHost("app"), std::string(4, '\0'));
}

TEST_F(FilesPower, AnOrderlyEndKeepsEverything)
{
    HANDLE h = OpenAll(u"\\??\\C:\\new", FILE_NON_DIRECTORY_FILE, FILE_CREATE);
    ASSERT_STATUS(STATUS_SUCCESS, Write(h, "data"));
    Close(h);
    sk::FlushVolumes();
    EXPECT_EQ(sk::UnsureChanges(u"\\Device\\HarddiskVolume1"), 0u);
    sk::CutPower(sk::SurvivingJournal::None());
    EXPECT_EQ(ReadHost("new"), "data");
}

/* After a cut the volume lists and finds what the host holds: names the
 * cut took away are gone for every case, names it brought back are there. */
TEST_F(FilesPower, ListingAndLookupAfterACut)
{
    MakeHostDir("dir");
    for (const char *name : {"Keep", "Moved", "Doomed"})
        MakeSure(u"\\??\\C:\\dir\\" + std::u16string(name, name + strlen(name)), name);
    HANDLE h = OpenAll(u"\\??\\C:\\dir\\Moved");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\dir\\Arrived", false));
    Close(h);
    h = OpenAll(u"\\??\\C:\\dir\\Doomed");
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(h, true));
    Close(h);
    Close(OpenAll(u"\\??\\C:\\dir\\New", FILE_NON_DIRECTORY_FILE, FILE_CREATE));
    HANDLE dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    EXPECT_EQ(List(dir).names, (std::vector<std::u16string>{u".", u"..", u"Arrived", u"Keep", u"New"}));
    Close(dir);

    sk::CutPower(sk::SurvivingJournal::None());
    dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    Listing listing = List(dir);
    EXPECT_STATUS(STATUS_NO_MORE_FILES, listing.status);
    EXPECT_EQ(listing.names, (std::vector<std::u16string>{u".", u"..", u"Doomed", u"Keep", u"Moved"}));
    Close(dir);
    for (const char16_t *gone : {u"\\??\\C:\\dir\\arrived", u"\\??\\C:\\dir\\NEW"}) {
        EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                      Create(&h, gone, FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_VALID_FLAGS, FILE_OPEN,
                             FILE_SYNCHRONOUS_IO_NONALERT));
    }
    std::string data;
    h = OpenAll(u"\\??\\C:\\dir\\DOOMED", FILE_NON_DIRECTORY_FILE);
    ASSERT_STATUS(STATUS_SUCCESS, Read(h, 100, &data));
    EXPECT_EQ(data, "Doomed");
    Close(h);
    h = OpenAll(u"\\??\\C:\\dir\\moved", FILE_NON_DIRECTORY_FILE);
    Close(h);
}

} // namespace
} // namespace qtest
