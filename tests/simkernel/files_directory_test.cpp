/*
 * files_directory_test.cpp - ZwQueryDirectoryFile: order, batches in a
 * small buffer, the statuses at the end and for short buffers, restart and
 * single entries, filters, and a directory changed while it is listed.
 */
#include "tests/simkernel/files_fixture.h"

namespace qtest {
namespace {

class FilesDirectory : public FilesTest {
protected:
    NTSTATUS Query(HANDLE h, void *buffer, ULONG length, IO_STATUS_BLOCK *io, bool single = false,
                   const std::u16string *filter = nullptr, bool restart = false)
    {
        UNICODE_STRING name;
        if (filter)
            name = Name(*filter);
        return ZwQueryDirectoryFile(h, nullptr, nullptr, nullptr, io, buffer, length, FileDirectoryInformation,
                                    single, filter ? &name : nullptr, restart);
    }
    std::vector<std::u16string> Names(const Listing &listing)
    {
        EXPECT_STATUS(STATUS_NO_MORE_FILES, listing.status);
        return listing.names;
    }
};

using Names16 = std::vector<std::u16string>;

TEST_F(FilesDirectory, DotsFirstThenNtOrderInSmallBatches)
{
    for (const char *name : {"b", "A", "_x", "c.txt", "Zeta", "a0", "\xC3\xA9"})
        WriteHost(std::string("dir/") + name, "12345");
    MakeHostDir("dir/sub");
    const Names16 expected = {u".", u"..", u"A", u"a0", u"b", u"c.txt", u"sub", u"Zeta", u"_x", u"\u00E9"};
    for (ULONG size : {80u, 100u, 160u, 4096u}) {
        HANDLE dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
        EXPECT_EQ(Names(List(dir, size)), expected) << size;
        Close(dir);
    }
    HANDLE dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    EXPECT_EQ(Names(List(dir, 4096, true)), expected);
    Close(dir);
}

TEST_F(FilesDirectory, EntriesDescribeTheFiles)
{
    WriteHost("dir/data", std::string(5000, 'x'));
    MakeHostDir("dir/sub");
    HANDLE dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    HANDLE data = OpenAll(u"\\??\\C:\\dir\\data");
    ASSERT_STATUS(STATUS_SUCCESS, SetBasic(data, FILE_ATTRIBUTE_HIDDEN, 0, 0, 777, 0));
    const FILE_BASIC_INFORMATION basic = Basic(data);
    Close(data);
    std::vector<uint64_t> buffer(512);
    IO_STATUS_BLOCK io;
    ASSERT_STATUS(STATUS_SUCCESS, Query(dir, buffer.data(), 4096, &io));
    auto *entry = (FILE_DIRECTORY_INFORMATION *)buffer.data();
    entry = (FILE_DIRECTORY_INFORMATION *)((uint8_t *)entry + entry->NextEntryOffset);
    EXPECT_EQ(entry->FileAttributes, (ULONG)FILE_ATTRIBUTE_DIRECTORY);
    entry = (FILE_DIRECTORY_INFORMATION *)((uint8_t *)entry + entry->NextEntryOffset);
    ASSERT_EQ(std::u16string(entry->FileName, entry->FileNameLength / 2), u"data");
    EXPECT_EQ(entry->NextEntryOffset, 72u);
    EXPECT_EQ(entry->FileAttributes, (ULONG)FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(entry->EndOfFile.QuadPart, 5000);
    EXPECT_EQ(entry->AllocationSize.QuadPart, 8192);
    EXPECT_EQ(entry->LastWriteTime.QuadPart, 777);
    EXPECT_EQ(entry->CreationTime.QuadPart, basic.CreationTime.QuadPart);
    EXPECT_EQ(entry->ChangeTime.QuadPart, basic.ChangeTime.QuadPart);
    entry = (FILE_DIRECTORY_INFORMATION *)((uint8_t *)entry + entry->NextEntryOffset);
    EXPECT_EQ(entry->FileAttributes, (ULONG)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(entry->EndOfFile.QuadPart, 0);
    EXPECT_EQ(entry->NextEntryOffset, 0u);
    Close(dir);
}

TEST_F(FilesDirectory, ShortBuffersAndTheEnd)
{
    WriteHost("dir/a-rather-long-name", "");
    HANDLE dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    std::vector<uint64_t> buffer(64, 0x5555555555555555ull);
    IO_STATUS_BLOCK io = {};
    io.Information = 0xDEAD;
    EXPECT_STATUS(STATUS_INFO_LENGTH_MISMATCH, Query(dir, buffer.data(), 71, &io));
    EXPECT_EQ(io.Information, 0xDEADu);
    ASSERT_STATUS(STATUS_SUCCESS, Query(dir, buffer.data(), 72, &io));
    EXPECT_EQ(io.Information, 66u);
    ASSERT_STATUS(STATUS_SUCCESS, Query(dir, buffer.data(), 72, &io));
    EXPECT_EQ(io.Information, 68u);
    /* The fixed part and as much of the name as fits. */
    ASSERT_STATUS(STATUS_BUFFER_OVERFLOW, Query(dir, buffer.data(), 72, &io));
    EXPECT_EQ(io.Information, 72u);
    auto *entry = (FILE_DIRECTORY_INFORMATION *)buffer.data();
    EXPECT_EQ(entry->NextEntryOffset, 0u);
    EXPECT_EQ(entry->FileNameLength, 36u);
    EXPECT_EQ(std::u16string(entry->FileName, 4), u"a-ra");
    EXPECT_STATUS(STATUS_NO_MORE_FILES, Query(dir, buffer.data(), 512, &io));
    EXPECT_EQ(io.Information, 0u);
    EXPECT_STATUS(STATUS_NO_MORE_FILES, Query(dir, buffer.data(), 512, &io));

    /* A restart begins again; a single entry is one entry. */
    ASSERT_STATUS(STATUS_SUCCESS, Query(dir, buffer.data(), 512, &io, true, nullptr, true));
    EXPECT_EQ(entry->NextEntryOffset, 0u);
    EXPECT_EQ(entry->FileNameLength, 2u);
    Close(dir);
}

TEST_F(FilesDirectory, RootHasNoDotsAndEmptyMeansNoSuchFile)
{
    HANDLE root = OpenAll(u"\\??\\D:\\", FILE_DIRECTORY_FILE);
    std::vector<uint64_t> buffer(64);
    IO_STATUS_BLOCK io = {};
    EXPECT_STATUS(STATUS_NO_SUCH_FILE, Query(root, buffer.data(), 512, &io));
    EXPECT_STATUS(STATUS_NO_MORE_FILES, Query(root, buffer.data(), 512, &io));
    Close(root);
    WriteHost("only", "", 'd');
    root = OpenAll(u"\\??\\D:\\", FILE_DIRECTORY_FILE);
    EXPECT_EQ(Names(List(root)), Names16{u"only"});
    Close(root);
}

TEST_F(FilesDirectory, Filters)
{
    for (const char *name : {"one.txt", "two.TXT", "three.log", "t"})
        WriteHost(std::string("dir/") + name, "");
    HANDLE dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    std::vector<uint64_t> buffer(512);
    IO_STATUS_BLOCK io;
    const std::u16string txt = u"*.txt";
    ASSERT_STATUS(STATUS_SUCCESS, Query(dir, buffer.data(), 4096, &io, false, &txt));
    Listing rest = List(dir);
    auto *entry = (FILE_DIRECTORY_INFORMATION *)buffer.data();
    EXPECT_EQ(std::u16string(entry->FileName, entry->FileNameLength / 2), u"one.txt");
    entry = (FILE_DIRECTORY_INFORMATION *)((uint8_t *)entry + entry->NextEntryOffset);
    EXPECT_EQ(std::u16string(entry->FileName, entry->FileNameLength / 2), u"two.TXT");
    EXPECT_EQ(entry->NextEntryOffset, 0u);
    EXPECT_TRUE(rest.names.empty());
    Close(dir);

    dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    const std::u16string exact = u"T";
    ASSERT_STATUS(STATUS_SUCCESS, Query(dir, buffer.data(), 4096, &io, false, &exact));
    entry = (FILE_DIRECTORY_INFORMATION *)buffer.data();
    EXPECT_EQ(std::u16string(entry->FileName, entry->FileNameLength / 2), u"t");
    EXPECT_EQ(entry->NextEntryOffset, 0u);
    Close(dir);

    dir = OpenAll(u"\\??\\C:\\dir", FILE_DIRECTORY_FILE);
    const std::u16string none = u"nothing?", dos = u"<.txt";
    EXPECT_STATUS(STATUS_NO_SUCH_FILE, Query(dir, buffer.data(), 4096, &io, false, &none));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, Query(dir, buffer.data(), 4096, &io, false, &dos, true));
    Close(dir);
}

TEST_F(FilesDirectory, ChangesBetweenCallsShowAsOnNtfs)
{
    for (const char *name : {"a", "b", "c", "d", "e"})
        WriteHost(std::string("dir/") + name, "");
    HANDLE dir;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&dir, u"\\??\\C:\\dir", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                         FILE_SHARE_VALID_FLAGS, FILE_OPEN,
                                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT));
    std::vector<uint64_t> buffer(64);
    IO_STATUS_BLOCK io;
    for (int i = 0; i < 3; ++i)
        ASSERT_STATUS(STATUS_SUCCESS, Query(dir, buffer.data(), 512, &io, true));
    /* Given so far: ".", "..", "a".  The walk deletes and moves as it goes. */
    HANDLE b = OpenAll(u"\\??\\C:\\dir\\b");
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(b, true));
    Close(b);
    HANDLE c = OpenAll(u"\\??\\C:\\dir\\c");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(c, u"\\??\\C:\\dir\\0", false));
    Close(c);
    HANDLE d = OpenAll(u"\\??\\C:\\dir\\d");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(d, u"\\??\\C:\\dir\\z", false));
    Close(d);
    EXPECT_EQ(Names(List(dir)), (Names16{u"e", u"z"}));
    Close(dir);

    HANDLE file = OpenAll(u"\\??\\C:\\dir\\e");
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, List(file).status);
    Close(file);
}

/* A long listing taken one entry at a time while the directory changes
 * through the volume and behind it on the host: names after the last one
 * given show up, names before it never do, and nothing is given twice. */
TEST_F(FilesDirectory, ALargeDirectoryChangedMidListing)
{
    Names16 expected = {u".", u".."};
    for (int i = 0; i < 300; i += 2) {
        char name[16];
        snprintf(name, sizeof(name), "f%03d", i);
        WriteHost(std::string("dir/") + name, "");
    }
    HANDLE dir;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&dir, u"\\??\\C:\\dir", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                         FILE_SHARE_VALID_FLAGS, FILE_OPEN,
                                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT));
    std::vector<uint64_t> buffer(64);
    IO_STATUS_BLOCK io;
    Names16 given;
    auto next = [&]() {
        NTSTATUS status = Query(dir, buffer.data(), 512, &io, true);
        if (status != STATUS_SUCCESS)
            return status;
        auto *entry = (FILE_DIRECTORY_INFORMATION *)buffer.data();
        given.emplace_back(entry->FileName, entry->FileNameLength / 2);
        return status;
    };
    for (int i = 0; i < 2 + 50; ++i)
        ASSERT_STATUS(STATUS_SUCCESS, next());
    EXPECT_EQ(given.back(), u"f098");
    /* Through the volume: a new name behind and ahead, a delete ahead, a
     * rename from ahead to behind and one from behind to ahead. */
    Close(OpenAll(u"\\??\\C:\\dir\\F001", FILE_NON_DIRECTORY_FILE, FILE_CREATE));
    Close(OpenAll(u"\\??\\C:\\dir\\F201", FILE_NON_DIRECTORY_FILE, FILE_CREATE));
    HANDLE h = OpenAll(u"\\??\\C:\\dir\\F200");
    ASSERT_STATUS(STATUS_SUCCESS, SetDelete(h, true));
    Close(h);
    h = OpenAll(u"\\??\\C:\\dir\\F202");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\dir\\a202", false));
    Close(h);
    h = OpenAll(u"\\??\\C:\\dir\\F002");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\dir\\g002", false));
    Close(h);
    /* Behind the volume's back, on the host. */
    WriteHost("dir/F250x", "");
    WriteHost("dir/F050x", "");
    std::filesystem::remove(Host("dir/f298"));
    while (next() == STATUS_SUCCESS) {
    }
    EXPECT_STATUS(STATUS_NO_MORE_FILES, Query(dir, buffer.data(), 512, &io, true));

    for (int i = 0; i < 300; i += 2) {
        char name[16];
        snprintf(name, sizeof(name), "f%03d", i);
        if (i != 2 && i != 200 && i != 202 && i != 298)
            expected.push_back(std::u16string(name, name + 4));
        if (i == 200)
            expected.push_back(u"F201");
        if (i == 250)
            expected.push_back(u"F250x");
    }
    expected.push_back(u"g002");
    Names16 seen(given.begin(), given.end());
    /* f002 was given before it moved; it went, its new name came after. */
    Names16 want = expected;
    want.insert(want.begin() + 3, u"f002");
    EXPECT_EQ(seen, want);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());

    /* Listed again from the start, the directory as it is now. */
    Names16 now = {u".", u"..", u"a202", u"F001"};
    for (const std::u16string &name : expected) {
        if (name != u"." && name != u"..")
            now.push_back(name);
    }
    now.push_back(u"F050x");
    std::sort(now.begin() + 2, now.end(), [](const std::u16string &a, const std::u16string &b) {
        std::u16string x = a, y = b;
        for (auto *s : {&x, &y})
            for (char16_t &c : *s)
                if (c >= u'a' && c <= u'z')
                    c = (char16_t)(c - 32);
        return x < y;
    });
    ASSERT_STATUS(STATUS_SUCCESS, Query(dir, buffer.data(), 512, &io, true, nullptr, true));
    given.clear();
    auto *entry = (FILE_DIRECTORY_INFORMATION *)buffer.data();
    given.emplace_back(entry->FileName, entry->FileNameLength / 2);
    while (next() == STATUS_SUCCESS) {
    }
    EXPECT_EQ(given, now);
    Close(dir);
}

/* Names are found ignoring case with NT's folding, beyond ASCII too, also
 * when the host gained them after the directory was last looked at. */
TEST_F(FilesDirectory, LookupIgnoresCaseBeyondAscii)
{
    MakeHostDir("dir");
    HANDLE h;
    /* A miss reads the directory; the host then gains names behind the
     * volume's back. */
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  Create(&h, u"\\??\\C:\\dir\\\u00C9T\u00C9", FILE_READ_DATA | SYNCHRONIZE,
                         FILE_SHARE_VALID_FLAGS, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT));
    WriteHost("dir/\xC3\xA9t\xC3\xA9", "summer");                   /* été */
    WriteHost("dir/\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "hello"); /* привет */
    std::string data;
    h = OpenAll(u"\\??\\C:\\dir\\\u00C9T\u00C9", FILE_NON_DIRECTORY_FILE);
    ASSERT_STATUS(STATUS_SUCCESS, Read(h, 100, &data));
    EXPECT_EQ(data, "summer");
    Close(h);
    h = OpenAll(u"\\??\\C:\\dir\\\u041F\u0420\u0418\u0432\u0415\u0422", FILE_NON_DIRECTORY_FILE);
    ASSERT_STATUS(STATUS_SUCCESS, Read(h, 100, &data));
    EXPECT_EQ(data, "hello");
    Close(h);
    /* Another case of an existing name is that name. */
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION,
                  Create(&h, u"\\??\\C:\\dir\\\u00C9t\u00E9", FILE_ALL_ACCESS, 0, FILE_CREATE,
                         FILE_SYNCHRONOUS_IO_NONALERT));
    /* A case-only rename keeps one name, found by any case. */
    h = OpenAll(u"\\??\\C:\\dir\\\u00E9T\u00E9");
    ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\??\\C:\\dir\\\u00C9t\u00E9", false));
    Close(h);
    EXPECT_TRUE(HostExists("dir/\xC3\x89t\xC3\xA9"));
    EXPECT_FALSE(HostExists("dir/\xC3\xA9t\xC3\xA9"));
    h = OpenAll(u"\\??\\C:\\dir\\\u00E9t\u00C9", FILE_NON_DIRECTORY_FILE);
    Close(h);
    /* A name deleted on the host is gone for every case. */
    std::filesystem::remove(Host("dir/\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  Create(&h, u"\\??\\C:\\dir\\\u041F\u0420\u0418\u0412\u0415\u0422",
                         FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_VALID_FLAGS, FILE_OPEN,
                         FILE_SYNCHRONOUS_IO_NONALERT));
    /* Of host names equal ignoring case the lowest is taken. */
    WriteHost("dir/Ab", "upper");
    WriteHost("dir/aB", "lower");
    h = OpenAll(u"\\??\\C:\\dir\\AB", FILE_NON_DIRECTORY_FILE);
    ASSERT_STATUS(STATUS_SUCCESS, Read(h, 100, &data));
    EXPECT_EQ(data, "upper");
    Close(h);
    /* A directory moved away and another made in its place: the new one's
     * names, not the old one's. */
    std::filesystem::rename(Host("dir"), Host("old"));
    WriteHost("dir/other", "");
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  Create(&h, u"\\??\\C:\\dir\\AB", FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_VALID_FLAGS,
                         FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT));
    h = OpenAll(u"\\??\\C:\\old\\ab", FILE_NON_DIRECTORY_FILE);
    Close(h);
    h = OpenAll(u"\\??\\C:\\dir\\OTHER", FILE_NON_DIRECTORY_FILE);
    Close(h);
}

} // namespace
} // namespace qtest
