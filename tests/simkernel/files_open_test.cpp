/*
 * files_open_test.cpp - ZwCreateFile and ZwOpenFile: dispositions, the
 * I/O manager's parameter rules, names NTFS refuses, case, the forms of
 * a name through the object namespace, relative opens.
 */
#include "tests/simkernel/files_fixture.h"

#include <sys/stat.h>

namespace qtest {
namespace {

class FilesOpen : public FilesTest {};

TEST_F(FilesOpen, DispositionsAndTheirInformation)
{
    HANDLE h;
    ULONG_PTR info;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  Create(&h, u"\\??\\C:\\a.txt", FILE_READ_DATA, 0, FILE_OPEN, 0, 0, &info));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  Create(&h, u"\\??\\C:\\a.txt", FILE_WRITE_DATA, 0, FILE_OVERWRITE));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\a.txt", FILE_WRITE_DATA, 0, FILE_CREATE, 0, 0, &info));
    EXPECT_EQ(info, (ULONG_PTR)FILE_CREATED);
    Close(h);
    EXPECT_TRUE(HostExists("a.txt"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Create(&h, u"\\??\\C:\\A.TXT", FILE_READ_DATA, 0, FILE_CREATE));

    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\a.txt", FILE_READ_DATA, 0, FILE_OPEN_IF, 0, 0, &info));
    EXPECT_EQ(info, (ULONG_PTR)FILE_OPENED);
    Close(h);
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\b.txt", FILE_READ_DATA, 0, FILE_OPEN_IF, 0, 0, &info));
    EXPECT_EQ(info, (ULONG_PTR)FILE_CREATED);
    Close(h);

    WriteHost("a.txt", "old content");
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\a.txt", FILE_WRITE_DATA, 0, FILE_OVERWRITE_IF, 0, 0, &info));
    EXPECT_EQ(info, (ULONG_PTR)FILE_OVERWRITTEN);
    Close(h);
    EXPECT_EQ(ReadHost("a.txt"), "");
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\c.txt", FILE_WRITE_DATA, 0, FILE_OVERWRITE_IF, 0, 0, &info));
    EXPECT_EQ(info, (ULONG_PTR)FILE_CREATED);
    Close(h);
    WriteHost("c.txt", "x");
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\c.txt", FILE_WRITE_DATA, 0, FILE_SUPERSEDE, 0, 0, &info));
    EXPECT_EQ(info, (ULONG_PTR)FILE_SUPERSEDED);
    Close(h);
    EXPECT_EQ(ReadHost("c.txt"), "");
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
}

TEST_F(FilesOpen, MissingNameAgainstMissingPath)
{
    WriteHost("dir/file", "");
    HANDLE h;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Create(&h, u"\\??\\C:\\dir\\nothing", FILE_READ_DATA, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Create(&h, u"\\??\\C:\\none\\file", FILE_READ_DATA, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Create(&h, u"\\??\\C:\\none\\file", FILE_READ_DATA, 0, FILE_CREATE));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                  Create(&h, u"\\??\\C:\\dir\\file\\below", FILE_READ_DATA, 0, FILE_OPEN_IF));
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"dir/", "dir/file"}));
}

TEST_F(FilesOpen, FilesAgainstDirectories)
{
    WriteHost("file", "");
    MakeHostDir("dir");
    HANDLE h;
    EXPECT_STATUS(STATUS_NOT_A_DIRECTORY, Create(&h, u"\\??\\C:\\file", FILE_READ_DATA, 0, FILE_OPEN, FILE_DIRECTORY_FILE));
    EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY,
                  Create(&h, u"\\??\\C:\\dir", FILE_READ_DATA, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE));
    EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY, Create(&h, u"\\??\\C:\\dir", FILE_WRITE_DATA, 0, FILE_OVERWRITE_IF));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  Create(&h, u"\\??\\C:\\dir", FILE_WRITE_DATA, 0, FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create(&h, u"\\??\\C:\\dir", FILE_READ_DATA, 0, FILE_OPEN,
                                                   FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE));
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION,
                  Create(&h, u"\\??\\C:\\file", FILE_READ_DATA, 0, FILE_CREATE, FILE_DIRECTORY_FILE));

    ULONG_PTR info;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\new", FILE_LIST_DIRECTORY, 0, FILE_OPEN_IF,
                                         FILE_DIRECTORY_FILE, 0, &info));
    EXPECT_EQ(info, (ULONG_PTR)FILE_CREATED);
    EXPECT_TRUE(Standard(h).Directory);
    Close(h);
    EXPECT_TRUE(std::filesystem::is_directory(Host("new")));
    /* A trailing backslash asks for a directory. */
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\dir\\", FILE_LIST_DIRECTORY, 0, FILE_OPEN));
    Close(h);
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Create(&h, u"\\??\\C:\\file\\", FILE_READ_DATA, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Create(&h, u"\\??\\C:\\other\\", FILE_READ_DATA, 0, FILE_CREATE));
}

TEST_F(FilesOpen, ParameterRulesOfTheIoManager)
{
    HANDLE h;
    const std::u16string name = u"\\??\\C:\\f";
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  Create(&h, name, GENERIC_READ, 0, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  Create(&h, name, GENERIC_READ | SYNCHRONIZE, 0, FILE_CREATE,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_SYNCHRONOUS_IO_ALERT));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create(&h, name, GENERIC_ALL, 0, FILE_CREATE, FILE_DELETE_ON_CLOSE));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create(&h, name, FILE_READ_DATA, 0, FILE_MAXIMUM_DISPOSITION + 1));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create(&h, name, FILE_READ_DATA, 0x8, FILE_CREATE));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create(&h, name, FILE_READ_DATA, 0, FILE_CREATE, 0, 0x8000));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, Create(&h, name, FILE_READ_DATA, 0, FILE_CREATE, FILE_OPEN_BY_FILE_ID));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  Create(&h, name, FILE_READ_DATA, 0, FILE_CREATE, FILE_NO_INTERMEDIATE_BUFFERING));
    EXPECT_TRUE(HostTree().empty());

    UNICODE_STRING counted = Name(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &counted, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    LARGE_INTEGER size;
    size.QuadPart = 4096;
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  ZwCreateFile(&h, FILE_READ_DATA, &oa, &io, &size, 0, 0, FILE_CREATE, 0, nullptr, 0));
    char ea[8] = {};
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  ZwCreateFile(&h, FILE_READ_DATA, &oa, &io, nullptr, 0, 0, FILE_CREATE, 0, ea, sizeof(ea)));

    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, name, GENERIC_READ | SYNCHRONIZE, 0, FILE_CREATE,
                                         FILE_SYNCHRONOUS_IO_NONALERT));
    Close(h);
}

TEST_F(FilesOpen, NamesNtfsRefuses)
{
    HANDLE h;
    for (const char16_t *bad : {u"a*b", u"a?b", u"a<b", u"a>b", u"a|b", u"a\"b", u"a/b", u"a\x01"}) {
        EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID,
                      Create(&h, std::u16string(u"\\??\\C:\\") + bad, FILE_READ_DATA, 0, FILE_CREATE))
            << U8(bad);
    }
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Create(&h, u"\\??\\C:\\a\\\\b", FILE_READ_DATA, 0, FILE_CREATE));
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Create(&h, u"\\??\\C:\\.\\b", FILE_READ_DATA, 0, FILE_CREATE));
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Create(&h, u"\\??\\C:\\..", FILE_READ_DATA, 0, FILE_OPEN));
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID,
                  Create(&h, u"\\??\\C:\\" + std::u16string(256, u'x'), FILE_READ_DATA, 0, FILE_CREATE));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, Create(&h, u"\\??\\C:\\a:stream", FILE_READ_DATA, 0, FILE_CREATE));
    EXPECT_TRUE(HostTree().empty());

    ASSERT_STATUS(STATUS_SUCCESS,
                  Create(&h, u"\\??\\C:\\" + std::u16string(255, u'x'), FILE_READ_DATA, 0, FILE_CREATE));
    Close(h);
    /* NTFS takes a lone surrogate; its host name keeps it. */
    const std::u16string lone = u"\\??\\C:\\s\xD83D";
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, lone, FILE_READ_DATA, 0, FILE_CREATE));
    Close(h);
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, lone, FILE_READ_DATA, 0, FILE_OPEN));
    Close(h);
}

TEST_F(FilesOpen, CaseIsIgnoredAndKept)
{
    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\Docs", FILE_LIST_DIRECTORY, 0, FILE_CREATE, FILE_DIRECTORY_FILE));
    Close(h);
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\DOCS\\Read Me.TXT", FILE_WRITE_DATA, 0, FILE_CREATE));
    Close(h);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"Docs/", "Docs/Read Me.TXT"}));
    ULONG_PTR info;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\docs\\read me.txt", FILE_WRITE_DATA, 0,
                                         FILE_OVERWRITE_IF, 0, 0, &info));
    EXPECT_EQ(info, (ULONG_PTR)FILE_OVERWRITTEN);
    Close(h);
    /* NT's folding, not ASCII's. */
    WriteHost("\xC3\xA9t\xC3\xA9", "");
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\\u00C9T\u00C9", FILE_READ_DATA, 0, FILE_OPEN));
    Close(h);
    EXPECT_EQ(HostTree(), (std::vector<std::string>{"Docs/", "Docs/Read Me.TXT", "\xC3\xA9t\xC3\xA9"}));
}

TEST_F(FilesOpen, EveryFormOfTheNameReachesTheVolume)
{
    WriteHost("x", "c");
    WriteHost("x", "d", 'd');
    for (const char16_t *name : {u"\\??\\C:\\x", u"\\DosDevices\\c:\\x", u"\\GLOBAL??\\C:\\x",
                                 u"\\Device\\HarddiskVolume1\\x", u"\\device\\harddiskvolume1\\X"}) {
        HANDLE h = OpenAll(name);
        std::string data;
        EXPECT_STATUS(STATUS_SUCCESS, Read(h, 4, &data));
        EXPECT_EQ(data, "c") << U8(name);
        Close(h);
    }
    HANDLE h = OpenAll(u"\\??\\D:\\x");
    std::string data;
    EXPECT_STATUS(STATUS_SUCCESS, Read(h, 4, &data));
    EXPECT_EQ(data, "d");
    Close(h);
    /* The volume itself opens, to be named; its data is not modelled. */
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, Create(&h, u"\\??\\C:", FILE_READ_DATA, 0, FILE_OPEN));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:", FILE_READ_ATTRIBUTES, FILE_SHARE_VALID_FLAGS, FILE_OPEN));
    std::vector<uint64_t> name(32);
    ULONG length;
    ASSERT_STATUS(STATUS_SUCCESS, ZwQueryObject(h, ObjectNameInformation, name.data(), 256, &length));
    auto *info = (OBJECT_NAME_INFORMATION *)name.data();
    EXPECT_EQ(std::u16string(info->Name.Buffer, info->Name.Length / 2), u"\\Device\\HarddiskVolume1");
    FILE_BASIC_INFORMATION basic;
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, QueryBasic(h, &basic));
    Close(h);
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, Create(&h, u"\\Device", FILE_READ_DATA, 0, FILE_OPEN));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\", FILE_LIST_DIRECTORY, 0, FILE_OPEN, FILE_DIRECTORY_FILE));
    Close(h);
}

TEST_F(FilesOpen, RelativeToADirectoryHandle)
{
    WriteHost("dir/sub/file", "content");
    HANDLE dir;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&dir, u"\\??\\C:\\dir", FILE_LIST_DIRECTORY, FILE_SHARE_VALID_FLAGS,
                                         FILE_OPEN, FILE_DIRECTORY_FILE));
    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS,
                  Create(&h, u"SUB\\file", FILE_READ_DATA | SYNCHRONIZE, 0, FILE_OPEN,
                         FILE_SYNCHRONOUS_IO_NONALERT, 0, nullptr, dir));
    std::string data;
    EXPECT_STATUS(STATUS_SUCCESS, Read(h, 16, &data));
    EXPECT_EQ(data, "content");
    HANDLE below;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create(&below, u"x", FILE_READ_DATA, 0, FILE_CREATE, 0, 0, nullptr, h));
    Close(h);
    EXPECT_STATUS(STATUS_OBJECT_PATH_SYNTAX_BAD,
                  Create(&h, u"\\sub", FILE_READ_DATA, 0, FILE_OPEN, 0, 0, nullptr, dir));
    /* An empty name opens the directory itself again. */
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"", FILE_LIST_DIRECTORY, FILE_SHARE_VALID_FLAGS, FILE_OPEN,
                                         FILE_DIRECTORY_FILE, 0, nullptr, dir));
    EXPECT_TRUE(Standard(h).Directory);
    Close(h);
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"new", FILE_WRITE_DATA, 0, FILE_CREATE, 0, 0, nullptr, dir));
    Close(h);
    Close(dir);
    EXPECT_TRUE(HostExists("dir/new"));
}

TEST_F(FilesOpen, NewFilesGetTheirAttributesAsOnNtfs)
{
    struct Case {
        const char16_t *name;
        ULONG given;
        ULONG options;
        ULONG shown;
    } cases[] = {
        {u"plain", 0, 0, FILE_ATTRIBUTE_ARCHIVE},
        {u"normal", FILE_ATTRIBUTE_NORMAL, 0, FILE_ATTRIBUTE_ARCHIVE},
        {u"hidden", FILE_ATTRIBUTE_HIDDEN, 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
        {u"notdir", FILE_ATTRIBUTE_DIRECTORY, FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_ARCHIVE},
        {u"dir", FILE_ATTRIBUTE_NORMAL, FILE_DIRECTORY_FILE, FILE_ATTRIBUTE_DIRECTORY},
        {u"sysdir", FILE_ATTRIBUTE_SYSTEM, FILE_DIRECTORY_FILE, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM},
    };
    for (const Case &c : cases) {
        HANDLE h;
        ASSERT_STATUS(STATUS_SUCCESS, Create(&h, std::u16string(u"\\??\\C:\\") + c.name, FILE_READ_ATTRIBUTES, 0,
                                             FILE_CREATE, c.options, c.given));
        FILE_BASIC_INFORMATION info = Basic(h);
        EXPECT_EQ(info.FileAttributes, c.shown) << U8(c.name);
        EXPECT_EQ(info.CreationTime.QuadPart, info.LastWriteTime.QuadPart);
        EXPECT_EQ(info.CreationTime.QuadPart, info.ChangeTime.QuadPart);
        Close(h);
    }
}

TEST_F(FilesOpen, OverwriteKeepsHiddenAndSystemOnlyWhenAskedFor)
{
    HANDLE h;
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\h", FILE_WRITE_DATA, 0, FILE_CREATE, 0, FILE_ATTRIBUTE_HIDDEN));
    Close(h);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Create(&h, u"\\??\\C:\\h", FILE_WRITE_DATA, 0, FILE_OVERWRITE_IF));
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\h", FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, 0,
                                         FILE_OVERWRITE, 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(Basic(h).FileAttributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    Close(h);
}

TEST_F(FilesOpen, InjectedFaultLeavesNoTrace)
{
    sk::FailCall("ZwCreateFile", 1, STATUS_INSUFFICIENT_RESOURCES);
    HANDLE h;
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Create(&h, u"\\??\\C:\\f", FILE_WRITE_DATA, 0, FILE_CREATE));
    EXPECT_TRUE(HostTree().empty());
    ASSERT_STATUS(STATUS_SUCCESS, Create(&h, u"\\??\\C:\\f", FILE_WRITE_DATA, 0, FILE_CREATE));
    Close(h);
}

} // namespace
} // namespace qtest
