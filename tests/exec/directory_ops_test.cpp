/*
 * directory_ops_test.cpp - CreateDir, CopyDir, MoveDir, RenameDir and
 * RemoveDir on the simulated volumes: merges, partial results, targets
 * inside their sources, reparse points and the depth bound.
 */
#include "tests/exec/volume_fixture.h"
#include "tests/script/script_test_util.h"

#include <unistd.h>

namespace {

using qtest::Counted;
using Entries = std::vector<std::string>;

class DirectoryOpsTest : public qtest::VolumeTest {
protected:
    NTSTATUS CreateDir(const std::u16string &path)
    {
        UNICODE_STRING p = Counted(path);
        HANDLE handle = nullptr;
        IO_STATUS_BLOCK io;
        NTSTATUS status = CreateDirectoryPath(&p, &handle, &io);
        if (handle)
            ZwClose(handle);
        return status;
    }
    NTSTATUS Walk(const std::u16string &source, const std::u16string &target, WalkMode mode,
                  bool overwrite = false, bool deleteFiles = false, bool recursive = false)
    {
        UNICODE_STRING s = Counted(source), t = Counted(target);
        return WalkDirectory(overwrite, &s, &t, mode, deleteFiles, recursive);
    }
    NTSTATUS RemoveDir(const std::u16string &path, bool recursive, bool deleteFiles)
    {
        return Walk(path, u"", WalkRemove, false, deleteFiles, recursive);
    }
    void Sample(char drive, const std::string &dir)
    {
        MakeDir(drive, dir);
        Write(drive, dir + "/a.txt", "a");
        MakeDir(drive, dir + "/sub");
        Write(drive, dir + "/sub/b.txt", "b");
        MakeDir(drive, dir + "/sub/deeper");
        Write(drive, dir + "/sub/deeper/c.txt", "c");
    }
    const Entries kSample = { "a.txt", "sub/", "sub/b.txt", "sub/deeper/", "sub/deeper/c.txt" };

    /* One line of a script, parsed and handed to the executor. */
    NTSTATUS RunLine(const std::u16string &line)
    {
        LIST_ENTRY list;
        std::u16string data = qtest::MultiString({ line });
        NTSTATUS status = ParseOperationList(data.c_str(), qtest::ByteLength(data), &list);
        EXPECT_STATUS(STATUS_SUCCESS, status) << qtest::U8(line);
        if (!NT_SUCCESS(status))
            return status;
        EXPECT_EQ(list.Flink->Flink, &list) << "one record";
        status = RunOperation(CONTAINING_RECORD(list.Flink, OperationRecord, Links));
        FreeOperationList(&list);
        return status;
    }
    /* A tree with a link to a directory and a link to a file beside its
     * own entries; both point outside it. */
    void SampleWithLinks(const std::string &dir)
    {
        Sample('C', dir);
        ASSERT_EQ(symlink(Host('C', "outside").c_str(), Host('C', dir + "/dirlink").c_str()), 0);
        ASSERT_EQ(symlink(Host('C', "outside/a.txt").c_str(), Host('C', dir + "/filelink").c_str()),
                  0);
    }
};

TEST_F(DirectoryOpsTest, CreateDirCreatesMissingAncestors)
{
    EXPECT_STATUS(STATUS_SUCCESS, CreateDir(u"\\??\\C:\\x"));
    EXPECT_STATUS(STATUS_SUCCESS, CreateDir(u"\\??\\C:\\x"));
    EXPECT_STATUS(STATUS_SUCCESS, CreateDir(u"\\??\\C:\\x\\y\\z"));
    EXPECT_STATUS(STATUS_SUCCESS, CreateDir(u"\\??\\C:\\p\\q\\"));
    EXPECT_EQ(Tree('C'), (Entries{ "p/", "p/q/", "x/", "x/y/", "x/y/z/" }));

    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, CreateDir(u"\\??\\C:\\m\\\\n"));
    EXPECT_FALSE(Exists('C', "m/n"));
    /* Climbing ends where the name itself is missing. */
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, CreateDir(u"\\??\\Q:\\a\\b"));
    Write('C', "file", "");
    EXPECT_STATUS(STATUS_NOT_A_DIRECTORY, CreateDir(u"\\??\\C:\\file"));
}

TEST_F(DirectoryOpsTest, CopyDirCopiesTheTreeAndMerges)
{
    Sample('C', "src");
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\src", u"\\??\\D:\\dst", WalkCopy));
    EXPECT_EQ(Tree('D', "dst"), kSample);
    EXPECT_EQ(Read('D', "dst/sub/deeper/c.txt"), "c");
    EXPECT_EQ(Tree('C', "src"), kSample);

    /* Into an existing target: existing files are kept, or overwritten. */
    Write('C', "src/a.txt", "a2");
    Write('D', "dst/extra.txt", "e");
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\src", u"\\??\\D:\\dst", WalkCopy, false));
    EXPECT_EQ(Read('D', "dst/a.txt"), "a");
    EXPECT_EQ(Read('D', "dst/extra.txt"), "e");
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\src", u"\\??\\D:\\dst", WalkCopy, true));
    EXPECT_EQ(Read('D', "dst/a.txt"), "a2");

    /* A file that cannot be copied does not fail the copy. */
    HANDLE held = Hold(u"\\??\\D:\\dst\\a.txt", FILE_READ_DATA | SYNCHRONIZE, 0);
    Write('C', "src/a.txt", "a3");
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\src", u"\\??\\D:\\dst", WalkCopy, true));
    Release(held);
    EXPECT_EQ(Read('D', "dst/a.txt"), "a2");

    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Walk(u"\\??\\C:\\none", u"\\??\\D:\\x", WalkCopy));
    EXPECT_FALSE(Exists('D', "x"));
}

/* Another opener listing the source, sharing everything, does not stop a
 * copy: the walk shares reading, writing and deletion with it. */
TEST_F(DirectoryOpsTest, CopyDirOfADirectoryOthersListSucceeds)
{
    Sample('C', "src");
    HANDLE lister = Hold(u"\\??\\C:\\src\\sub", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_STATUS(STATUS_SUCCESS, RunLine(u"CopyDir(\"\\??\\C:\\src\", \"\\??\\D:\\dst\", false)"));
    Release(lister);
    EXPECT_EQ(Tree('D', "dst"), kSample);
}

TEST_F(DirectoryOpsTest, AWalkWithoutItsPathsIsRefused)
{
    UNICODE_STRING s = Counted(u"\\??\\C:\\src");
    MakeDir('C', "src");
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, WalkDirectory(FALSE, nullptr, &s, WalkCopy, FALSE, FALSE));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, WalkDirectory(FALSE, &s, nullptr, WalkMove, FALSE, FALSE));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  WalkDirectory(FALSE, &s, &s, (WalkMode)(WalkRemove + 1), TRUE, TRUE));
    EXPECT_TRUE(Exists('C', "src"));
}

TEST_F(DirectoryOpsTest, MoveDirRenamesWithinAVolume)
{
    Sample('C', "src");
    SetAttributes(u"\\??\\C:\\src", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\src", u"\\??\\C:\\moved", WalkMove));
    EXPECT_FALSE(Exists('C', "src"));
    EXPECT_EQ(Tree('C', "moved"), kSample);
    EXPECT_EQ(Basic(u"\\??\\C:\\moved").FileAttributes & FILE_ATTRIBUTE_READONLY, 0u)
        << "cleared attributes of a moved directory are not put back";
}

TEST_F(DirectoryOpsTest, MoveDirAcrossVolumesOrOntoADirectoryMovesEntryByEntry)
{
    Sample('C', "src");
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\src", u"\\??\\D:\\dst", WalkMove));
    EXPECT_FALSE(Exists('C', "src"));
    EXPECT_EQ(Tree('D', "dst"), kSample);

    Sample('C', "again");
    Write('C', "target/keep.txt", "k");
    Write('C', "target/a.txt", "old");
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\again", u"\\??\\C:\\target", WalkMove, true));
    EXPECT_FALSE(Exists('C', "again"));
    EXPECT_EQ(Read('C', "target/a.txt"), "a");
    EXPECT_EQ(Read('C', "target/keep.txt"), "k");
}

TEST_F(DirectoryOpsTest, AnEntryThatCannotMoveKeepsTheSource)
{
    Sample('C', "src");
    HANDLE held = Hold(u"\\??\\C:\\src\\sub\\b.txt", FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ);
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY, Walk(u"\\??\\C:\\src", u"\\??\\D:\\dst", WalkMove));
    Release(held);
    EXPECT_EQ(Tree('C', "src"), (Entries{ "sub/", "sub/b.txt" }));
    EXPECT_EQ(Tree('D', "dst"), (Entries{ "a.txt", "sub/", "sub/deeper/", "sub/deeper/c.txt" }));
}

TEST_F(DirectoryOpsTest, RenameDirTargetsAName)
{
    Sample('C', "dir/old");
    const std::u16string sourceText = u"\\??\\C:\\dir\\old", nameText = u"new";
    UNICODE_STRING source = Counted(sourceText), name = Counted(nameText), target;
    ASSERT_STATUS(STATUS_SUCCESS, BuildRenameTarget(&source, &name, &target));
    EXPECT_STATUS(STATUS_SUCCESS, WalkDirectory(false, &source, &target, WalkMove, FALSE, FALSE));
    FreeComposedPath(&target);
    EXPECT_EQ(Tree('C', "dir/new"), kSample);
    EXPECT_FALSE(Exists('C', "dir/old"));
}

TEST_F(DirectoryOpsTest, RemoveDirFlags)
{
    Sample('C', "d");
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY, RemoveDir(u"\\??\\C:\\d", false, false));
    EXPECT_EQ(Tree('C', "d"), kSample);
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY, RemoveDir(u"\\??\\C:\\d", true, false));
    EXPECT_EQ(Tree('C', "d"), (Entries{ "a.txt" })) << "subdirectories go whole, the files stay";
    EXPECT_STATUS(STATUS_SUCCESS, RemoveDir(u"\\??\\C:\\d", false, true));
    EXPECT_FALSE(Exists('C', "d"));

    Sample('C', "e");
    SetAttributes(u"\\??\\C:\\e\\sub\\b.txt", FILE_ATTRIBUTE_READONLY);
    EXPECT_STATUS(STATUS_SUCCESS, RemoveDir(u"\\??\\C:\\e", true, true));
    EXPECT_FALSE(Exists('C', "e"));
    EXPECT_STATUS(STATUS_SUCCESS, RemoveDir(u"\\??\\C:\\e", true, true));
    EXPECT_STATUS(STATUS_SUCCESS, RemoveDir(u"\\??\\C:\\no\\such", true, true));

    MakeDir('C', "empty");
    EXPECT_STATUS(STATUS_SUCCESS, RemoveDir(u"\\??\\C:\\empty", false, false));
    EXPECT_FALSE(Exists('C', "empty"));
}

/* The script says RemoveDir(path, recursive, deleteFiles); the executor
 * hands the two flags on to the walk each in its place. */
TEST_F(DirectoryOpsTest, RemoveDirScriptsKeepTheKindOfEntryTheirFlagsKeep)
{
    Sample('C', "subdirs");
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY,
                  RunLine(u"RemoveDir(\"\\??\\C:\\subdirs\", true, false)"));
    EXPECT_EQ(Tree('C', "subdirs"), (Entries{ "a.txt" })) << "subdirectories go, files stay";

    Sample('C', "files");
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY,
                  RunLine(u"RemoveDir(\"\\??\\C:\\files\", false, true)"));
    EXPECT_EQ(Tree('C', "files"), (Entries{ "sub/", "sub/b.txt", "sub/deeper/", "sub/deeper/c.txt" }))
        << "files go, subdirectories stay";

    Sample('C', "all");
    EXPECT_STATUS(STATUS_SUCCESS, RunLine(u"RemoveDir(\"\\??\\C:\\all\", true, true)"));
    EXPECT_FALSE(Exists('C', "all"));
}

/* A link inside a removal is deleted (the link, never its target) exactly
 * where an entry of its kind would be: a link to a directory under
 * recursive, a link to a file under deleteFiles. */
TEST_F(DirectoryOpsTest, LinksInsideARemovalFollowTheFlagsOfTheirKind)
{
    Sample('C', "outside");
    const Entries linked = { "a.txt", "dirlink", "filelink", "sub/", "sub/b.txt", "sub/deeper/",
                             "sub/deeper/c.txt" };
    SampleWithLinks("keep");
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY,
                  RunLine(u"RemoveDir(\"\\??\\C:\\keep\", false, false)"));
    EXPECT_EQ(Tree('C', "keep"), linked) << "neither kind is removed, nor its links";

    SampleWithLinks("dirs");
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY,
                  RunLine(u"RemoveDir(\"\\??\\C:\\dirs\", true, false)"));
    EXPECT_EQ(Tree('C', "dirs"), (Entries{ "a.txt", "filelink" }));

    SampleWithLinks("files");
    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY,
                  RunLine(u"RemoveDir(\"\\??\\C:\\files\", false, true)"));
    EXPECT_EQ(Tree('C', "files"), (Entries{ "dirlink", "sub/", "sub/b.txt", "sub/deeper/",
                                            "sub/deeper/c.txt" }));
    EXPECT_EQ(Tree('C', "outside"), kSample) << "what the links point to is never touched";
}

TEST_F(DirectoryOpsTest, ATargetInsideItsSourceIsRefusedBeforeAnythingIsTouched)
{
    Sample('C', "src");
    const char16_t *inside[] = {
        u"\\??\\C:\\src\\sub\\copy",
        u"\\??\\C:\\SRC\\new",
        u"\\Device\\HarddiskVolume1\\src\\x",
        u"\\DosDevices\\C:\\src\\x\\y\\z",
        u"\\??\\C:\\src\\\\x",
        u"\\??\\C:\\src\\x\\",
    };
    for (const char16_t *target : inside) {
        EXPECT_STATUS(STATUS_INVALID_PARAMETER, Walk(u"\\??\\C:\\src", target, WalkCopy))
            << qtest::U8(target);
        EXPECT_STATUS(STATUS_INVALID_PARAMETER, Walk(u"\\??\\C:\\src\\", target, WalkMove))
            << qtest::U8(target);
        EXPECT_EQ(Tree('C', "src"), kSample);
    }
    /* A name that only begins the same is not inside. */
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\src", u"\\??\\C:\\srcx", WalkCopy));
    EXPECT_EQ(Tree('C', "srcx"), kSample);
    /* The same directory is not refused; its files are the sharing rules'
     * business. */
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\src", u"\\??\\c:\\SRC", WalkCopy, true));
    EXPECT_EQ(Read('C', "src/a.txt"), "a");
}

/* A volume's root is named with its backslash once opened; every path on
 * the volume lies inside it. */
TEST_F(DirectoryOpsTest, NothingOnAVolumeIsOutsideItsRoot)
{
    Write('D', "a.txt", "a");
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Walk(u"\\??\\D:\\", u"\\??\\D:\\copy", WalkCopy));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  Walk(u"\\??\\D:\\", u"\\??\\D:\\new\\deeper", WalkMove));
    EXPECT_EQ(Tree('D'), (Entries{ "a.txt" }));
}

TEST_F(DirectoryOpsTest, WalksNeverPassThroughReparsePoints)
{
    Sample('C', "outside");
    Sample('C', "tree");
    ASSERT_EQ(symlink(Host('C', "outside").c_str(), Host('C', "tree/link").c_str()), 0);
    ASSERT_EQ(symlink(Host('C', "outside/a.txt").c_str(), Host('C', "tree/filelink").c_str()), 0);

    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\tree", u"\\??\\D:\\copy", WalkCopy));
    EXPECT_EQ(Tree('D', "copy"), kSample) << "links are skipped by a copy";

    EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY, Walk(u"\\??\\C:\\tree", u"\\??\\D:\\moved", WalkMove));
    EXPECT_EQ(Tree('D', "moved"), kSample);
    EXPECT_TRUE(std::filesystem::is_symlink(Host('C', "tree/link")));
    EXPECT_EQ(Tree('C', "outside"), kSample);

    EXPECT_STATUS(STATUS_SUCCESS, RemoveDir(u"\\??\\C:\\tree", true, true));
    EXPECT_FALSE(Exists('C', "tree"));
    EXPECT_EQ(Tree('C', "outside"), kSample) << "what a link points to is never emptied";

    ASSERT_EQ(symlink(Host('C', "outside").c_str(), Host('C', "junction").c_str()), 0);
    EXPECT_STATUS(STATUS_SUCCESS, RemoveDir(u"\\??\\C:\\junction", true, true));
    EXPECT_FALSE(std::filesystem::is_symlink(Host('C', "junction")));
    EXPECT_EQ(Tree('C', "outside"), kSample) << "a removal that names a link removes the link";
}

/* A move or copy named by a link works through it, on what it points to;
 * only a removal looks at the link itself. */
TEST_F(DirectoryOpsTest, AMoveNamedByALinkMovesWhatItPointsTo)
{
    Sample('C', "outside");
    ASSERT_EQ(symlink(Host('C', "outside").c_str(), Host('C', "link").c_str()), 0);
    EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\link", u"\\??\\D:\\moved", WalkMove));
    EXPECT_EQ(Tree('D', "moved"), kSample);
    EXPECT_FALSE(Exists('C', "outside")) << "the directory it points to went with its entries";
    EXPECT_TRUE(std::filesystem::is_symlink(Host('C', "link"))) << "the link itself stays";
}

TEST_F(DirectoryOpsTest, DepthIsBounded)
{
    std::string path = "deep";
    for (unsigned i = 0; i <= WALK_MAX_DEPTH; i++)
        path += "/d";
    MakeDir('C', path);
    Write('C', "deep/top.txt", "t");
    EXPECT_STATUS(STATUS_IMPLEMENTATION_LIMIT, Walk(u"\\??\\C:\\deep", u"\\??\\D:\\deep", WalkMove));
    EXPECT_TRUE(Exists('C', path)) << "a move past the bound keeps its source";
    EXPECT_STATUS(STATUS_IMPLEMENTATION_LIMIT, RemoveDir(u"\\??\\C:\\deep", true, true));
    EXPECT_TRUE(Exists('C', path));

    /* Exactly at the bound the walk goes through. */
    std::string fits = "fits";
    for (unsigned i = 0; i < WALK_MAX_DEPTH; i++)
        fits += "/d";
    MakeDir('C', fits);
    EXPECT_STATUS(STATUS_SUCCESS, RemoveDir(u"\\??\\C:\\fits", true, true));
    EXPECT_FALSE(Exists('C', "fits"));
}

/* A listing that fails ends its level with that failure: nothing below is
 * taken for done, and the directory is not deleted. */
TEST_F(DirectoryOpsTest, AListingThatFailsEndsTheWalkWithItsStatus)
{
    Sample('C', "d");
    sk::ClearFaults();
    sk::FailCall("ZwQueryDirectoryFile", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, RemoveDir(u"\\??\\C:\\d", true, true));
    sk::ClearFaults();
    EXPECT_EQ(Tree('C', "d"), kSample);

    sk::FailCall("ZwQueryDirectoryFile", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                  Walk(u"\\??\\C:\\d", u"\\??\\D:\\d", WalkMove));
    sk::ClearFaults();
    EXPECT_EQ(Tree('C', "d"), kSample) << "the source stays whole";
}

/* The containment check asks each path's name once opened; names around
 * the size of its first buffer (512 bytes) are read whole, whichever
 * attempt they need. */
TEST_F(DirectoryOpsTest, NamesThatFillTheFirstNameBufferAreWalked)
{
    for (size_t length = 226; length <= 236; length++) {
        const std::string name(length, 'n');
        MakeDir('C', name);
        Write('C', name + "/a.txt", "a");
        EXPECT_STATUS(STATUS_SUCCESS, Walk(u"\\??\\C:\\" + qtest::U16(name),
                                           u"\\??\\D:\\" + qtest::U16(name), WalkCopy))
            << length;
        EXPECT_EQ(Read('D', name + "/a.txt"), "a") << length;
    }
}

TEST_F(DirectoryOpsTest, ADirectoryThatVanishesIsRemoved)
{
    MakeDir('C', "gone");
    int opens = 0;
    sk::SetCallObserver([&](const char *routine, uint64_t) {
        if (std::string(routine) == "ZwOpenFile" && ++opens == 2)
            std::filesystem::remove(Host('C', "gone"));
    });
    EXPECT_STATUS(STATUS_SUCCESS, RemoveDir(u"\\??\\C:\\gone", true, true));
    sk::SetCallObserver(nullptr);
    EXPECT_EQ(opens, 2);
}

} // namespace
