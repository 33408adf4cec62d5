/*
 * file_ops_test.cpp - CopyFile, MoveFile, DeleteFile and RenameFile on the
 * simulated volumes: exact statuses, and what is left where.
 */
#include "tests/exec/volume_fixture.h"

namespace {

using qtest::Counted;

class FileOpsTest : public qtest::VolumeTest {
protected:
    NTSTATUS Copy(const std::u16string &source, const std::u16string &target, bool overwrite)
    {
        UNICODE_STRING s = Counted(source), t = Counted(target);
        return CopyOneFile(overwrite, &s, &t);
    }
    NTSTATUS Move(const std::u16string &source, const std::u16string &target, bool overwrite)
    {
        UNICODE_STRING s = Counted(source), t = Counted(target);
        return MoveOneFile(overwrite, &s, &t);
    }
    NTSTATUS Delete(const std::u16string &path)
    {
        UNICODE_STRING p = Counted(path);
        return DeleteOneFile(&p);
    }
};

const ULONG kHiddenSystemReadOnly =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

TEST_F(FileOpsTest, CopyLeavesAnExistingTargetUnlessToldToOverwrite)
{
    Write('C', "a.txt", "new contents");
    Write('C', "b.txt", "old");
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, Copy(u"\\??\\C:\\a.txt", u"\\??\\C:\\b.txt", false));
    EXPECT_EQ(Read('C', "b.txt"), "old");
    EXPECT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\a.txt", u"\\??\\C:\\b.txt", true));
    EXPECT_EQ(Read('C', "b.txt"), "new contents");

    Write('C', "long.txt", std::string(1000, 'x'));
    EXPECT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\b.txt", u"\\??\\C:\\long.txt", true));
    EXPECT_EQ(Read('C', "long.txt"), "new contents") << "an overwritten target is truncated first";
}

TEST_F(FileOpsTest, CopyCopiesContentsOnly)
{
    Write('C', "empty", "");
    EXPECT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\empty", u"\\??\\D:\\empty", false));
    EXPECT_TRUE(Exists('D', "empty"));
    EXPECT_EQ(Read('D', "empty"), "");

    /* More than one copy buffer, and not a multiple of it. */
    std::string big;
    for (size_t i = 0; i < 3 * COPY_BUFFER_BYTES + 12345; i++)
        big.push_back((char)(i * 7 + i / 251));
    Write('C', "big.bin", big);
    SetAttributes(u"\\??\\C:\\big.bin", kHiddenSystemReadOnly);
    EXPECT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\big.bin", u"\\??\\D:\\big.bin", false));
    EXPECT_EQ(Read('D', "big.bin"), big);
    EXPECT_EQ(Basic(u"\\??\\D:\\big.bin").FileAttributes & kHiddenSystemReadOnly, 0u)
        << "the target keeps its own attributes";
    EXPECT_EQ(Basic(u"\\??\\C:\\big.bin").FileAttributes & kHiddenSystemReadOnly,
              kHiddenSystemReadOnly);
}

TEST_F(FileOpsTest, CopyFailuresAreReturned)
{
    Write('C', "a.txt", "a");
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Copy(u"\\??\\C:\\missing", u"\\??\\C:\\x", true));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Copy(u"\\??\\C:\\a.txt", u"\\??\\C:\\no\\x", true));
    MakeDir('C', "dir");
    EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY, Copy(u"\\??\\C:\\dir", u"\\??\\C:\\x", true));
    /* Onto itself: the exact share modes refuse it rather than truncate
     * the source. */
    EXPECT_STATUS(STATUS_SHARING_VIOLATION, Copy(u"\\??\\C:\\a.txt", u"\\??\\c:\\A.TXT", true));
    EXPECT_EQ(Read('C', "a.txt"), "a");
}

TEST_F(FileOpsTest, AReadThatSucceedsEmptyEndsTheCopy)
{
    Write('C', "a.txt", "contents");
    sk::FailCall("ZwReadFile", 1, STATUS_SUCCESS);
    EXPECT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\a.txt", u"\\??\\C:\\b.txt", false));
    EXPECT_EQ(Read('C', "b.txt"), "");
}

TEST_F(FileOpsTest, MoveWithinAVolumeRenamesAndKeepsAttributesAndTimes)
{
    Write('C', "a.txt", "a");
    SetAttributes(u"\\??\\C:\\a.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    FILE_BASIC_INFORMATION before = Basic(u"\\??\\C:\\a.txt");
    MakeDir('C', "dir");
    EXPECT_STATUS(STATUS_SUCCESS, Move(u"\\??\\C:\\a.txt", u"\\??\\C:\\dir\\b.txt", false));
    EXPECT_FALSE(Exists('C', "a.txt"));
    EXPECT_EQ(Read('C', "dir/b.txt"), "a");
    FILE_BASIC_INFORMATION after = Basic(u"\\??\\C:\\dir\\b.txt");
    EXPECT_EQ(after.FileAttributes, before.FileAttributes);
    EXPECT_EQ(after.CreationTime.QuadPart, before.CreationTime.QuadPart);
    EXPECT_EQ(after.LastWriteTime.QuadPart, before.LastWriteTime.QuadPart);
}

TEST_F(FileOpsTest, MoveAcrossVolumesCopiesDeletesAndCarriesTimesAndAttributes)
{
    Write('C', "a.txt", "across");
    SetAttributes(u"\\??\\C:\\a.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
    FILE_BASIC_INFORMATION before = Basic(u"\\??\\C:\\a.txt");
    EXPECT_STATUS(STATUS_SUCCESS, Move(u"\\??\\C:\\a.txt", u"\\??\\D:\\a.txt", false));
    EXPECT_FALSE(Exists('C', "a.txt"));
    EXPECT_EQ(Read('D', "a.txt"), "across");
    FILE_BASIC_INFORMATION after = Basic(u"\\??\\D:\\a.txt");
    EXPECT_EQ(after.FileAttributes, before.FileAttributes);
    EXPECT_EQ(after.CreationTime.QuadPart, before.CreationTime.QuadPart);
    EXPECT_EQ(after.LastWriteTime.QuadPart, before.LastWriteTime.QuadPart);
    EXPECT_EQ(after.ChangeTime.QuadPart, before.ChangeTime.QuadPart);
}

TEST_F(FileOpsTest, MoveOntoAnExistingTarget)
{
    Write('C', "a.txt", "a");
    Write('C', "b.txt", "b");
    SetAttributes(u"\\??\\C:\\a.txt", kHiddenSystemReadOnly | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, Move(u"\\??\\C:\\a.txt", u"\\??\\C:\\b.txt", false));
    EXPECT_EQ(Read('C', "a.txt"), "a");
    EXPECT_EQ(Read('C', "b.txt"), "b");
    EXPECT_EQ(Basic(u"\\??\\C:\\a.txt").FileAttributes & kHiddenSystemReadOnly, 0u)
        << "the source keeps its cleared attributes";

    EXPECT_STATUS(STATUS_SUCCESS, Move(u"\\??\\C:\\a.txt", u"\\??\\C:\\b.txt", true));
    EXPECT_FALSE(Exists('C', "a.txt"));
    EXPECT_EQ(Read('C', "b.txt"), "a");

    Write('D', "b.txt", "old");
    Write('C', "c.txt", "c");
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, Move(u"\\??\\C:\\c.txt", u"\\??\\D:\\b.txt", false));
    EXPECT_STATUS(STATUS_SUCCESS, Move(u"\\??\\C:\\c.txt", u"\\??\\D:\\b.txt", true));
    EXPECT_EQ(Read('D', "b.txt"), "c");
    EXPECT_FALSE(Exists('C', "c.txt"));
}

TEST_F(FileOpsTest, ACrossVolumeMoveKeepsItsSourceUntilTheCopyIsOnDisk)
{
    Write('C', "a.txt", "precious");
    sk::FailCall("ZwFlushBuffersFile", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Move(u"\\??\\C:\\a.txt", u"\\??\\D:\\a.txt", false));
    EXPECT_EQ(Read('C', "a.txt"), "precious");
}

/* The delete of the source is the move's last step: when it fails, the
 * move fails, and the file is still at its source, whole. */
TEST_F(FileOpsTest, ACrossVolumeMoveWhoseSourceCannotBeDeletedFails)
{
    /* The source's delete disposition is the last ZwSetInformationFile of a
     * move across volumes: the target got its times before its rename. */
    Write('C', "probe.txt", "probe");
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Move(u"\\??\\C:\\probe.txt", u"\\??\\D:\\probe.txt", false));
    const uint64_t disposition = sk::CallCount("ZwSetInformationFile");
    ASSERT_GE(disposition, 1u);

    Write('C', "a.txt", "precious");
    sk::ClearFaults();
    sk::FailCall("ZwSetInformationFile", disposition, STATUS_CANNOT_DELETE);
    EXPECT_STATUS(STATUS_CANNOT_DELETE, Move(u"\\??\\C:\\a.txt", u"\\??\\D:\\a.txt", false));
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    sk::ClearFaults();
    EXPECT_EQ(Read('C', "a.txt"), "precious");
    EXPECT_EQ(Read('D', "a.txt"), "precious") << "the copy made before the delete stays";
}

TEST_F(FileOpsTest, MoveOfAFileHeldOpenFails)
{
    Write('C', "a.txt", "a");
    HANDLE held = Hold(u"\\??\\C:\\a.txt", FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ);
    EXPECT_STATUS(STATUS_SHARING_VIOLATION, Move(u"\\??\\C:\\a.txt", u"\\??\\D:\\a.txt", false));
    Release(held);
    EXPECT_EQ(Read('C', "a.txt"), "a");
    EXPECT_FALSE(Exists('D', "a.txt"));
}

/* A file another opener writes to while it shares deletion is deleted: the
 * delete shares reading and writing with it, and the file goes when the
 * last handle closes. */
TEST_F(FileOpsTest, DeleteOfAFileOthersWriteWhileTheyShareDeletionSucceeds)
{
    Write('C', "log.txt", "x");
    HANDLE writer = Hold(u"\\??\\C:\\log.txt", FILE_WRITE_DATA | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_STATUS(STATUS_SUCCESS, Delete(u"\\??\\C:\\log.txt"));
    Release(writer);
    EXPECT_FALSE(Exists('C', "log.txt"));
}

/* A delete whose attributes cannot be looked at (to clear those that
 * block it) fails with that status, and the file stays. */
TEST_F(FileOpsTest, ADeleteThatCannotClearBlockingAttributesFails)
{
    Write('C', "a.txt", "a");
    sk::ClearFaults();
    sk::FailCall("ZwOpenFile", 1, STATUS_ACCESS_DENIED);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Delete(u"\\??\\C:\\a.txt"));
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    sk::ClearFaults();
    EXPECT_EQ(Read('C', "a.txt"), "a");
}

/* Whichever allocation of a copy fails, the copy answers STATUS_NO_MEMORY
 * and the target is as it was, with no temporary beside it. */
TEST_F(FileOpsTest, EachAllocationOfACopyFailingIsNoMemory)
{
    Write('C', "a.txt", "new");
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\a.txt", u"\\??\\D:\\a.txt", false));
    const uint64_t allocations = sk::AllocationCount();
    ASSERT_GE(allocations, 2u);
    for (uint64_t nth = 1; nth <= allocations; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        Write('D', "a.txt", "old");
        sk::ClearFaults();
        sk::FailAllocation(nth);
        EXPECT_STATUS(STATUS_NO_MEMORY, Copy(u"\\??\\C:\\a.txt", u"\\??\\D:\\a.txt", true));
        EXPECT_EQ(sk::InjectedFaultCount(), 1u);
        sk::ClearFaults();
        EXPECT_EQ(Tree('D'), (std::vector<std::string>{ "a.txt" }));
        EXPECT_EQ(Read('D', "a.txt"), "old");
    }
}

TEST_F(FileOpsTest, DeleteClearsBlockingAttributesAndTakesMissingFilesAsDeleted)
{
    Write('C', "locked.txt", "x");
    SetAttributes(u"\\??\\C:\\locked.txt", kHiddenSystemReadOnly);
    EXPECT_STATUS(STATUS_SUCCESS, Delete(u"\\??\\C:\\locked.txt"));
    EXPECT_FALSE(Exists('C', "locked.txt"));
    EXPECT_STATUS(STATUS_SUCCESS, Delete(u"\\??\\C:\\locked.txt"));
    EXPECT_STATUS(STATUS_SUCCESS, Delete(u"\\??\\C:\\no\\such\\dir\\x"));

    MakeDir('C', "dir");
    EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY, Delete(u"\\??\\C:\\dir"));
    EXPECT_TRUE(Exists('C', "dir"));

    Write('C', "open.txt", "x");
    HANDLE held = Hold(u"\\??\\C:\\open.txt", FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ);
    EXPECT_STATUS(STATUS_SHARING_VIOLATION, Delete(u"\\??\\C:\\open.txt"));
    Release(held);
    EXPECT_TRUE(Exists('C', "open.txt"));
}

TEST_F(FileOpsTest, RenameTargets)
{
    struct Case {
        std::u16string source, newName, expected;
    } cases[] = {
        { u"\\dir\\a.txt", u"b.txt", u"\\dir\\b.txt" },
        { u"a.txt", u"b.txt", u"b.txt" },
        { u"\\??\\D:\\", u"x", u"\\??\\D:\\x" },
        { u"\\dir\\a", u"sub\\b", u"\\dir\\sub\\b" },
        { u"\\dir\\a", u"", u"\\dir\\" },
    };
    for (const Case &c : cases) {
        UNICODE_STRING source = Counted(c.source), name = Counted(c.newName), result;
        ASSERT_STATUS(STATUS_SUCCESS, BuildRenameTarget(&source, &name, &result));
        EXPECT_EQ(std::u16string(result.Buffer, result.Length / 2), c.expected);
        EXPECT_EQ(result.MaximumLength, result.Length + 2);
        EXPECT_EQ(result.Buffer[result.Length / 2], 0);
        FreeComposedPath(&result);
    }

    const std::u16string emptyText, nameText = u"b";
    UNICODE_STRING empty = Counted(emptyText), name = Counted(nameText), result;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildRenameTarget(&empty, &name, &result));

    std::u16string longDir = u"\\" + std::u16string(32000, u'd') + u"\\a";
    std::u16string longName(800, u'n');
    UNICODE_STRING source = Counted(longDir), tooLong = Counted(longName);
    EXPECT_STATUS(STATUS_NAME_TOO_LONG, BuildRenameTarget(&source, &tooLong, &result));
    EXPECT_EQ(result.Buffer, nullptr);

    sk::ClearFaults();
    sk::FailAllocation(1);
    EXPECT_STATUS(STATUS_NO_MEMORY, BuildRenameTarget(&source, &name, &result));
}

TEST_F(FileOpsTest, ChildPathsNeverWrapTheirLength)
{
    std::u16string parent = u"\\??\\C:\\" + std::u16string(32000, u'p');
    std::u16string child(760, u'c');
    UNICODE_STRING p = Counted(parent), result;
    EXPECT_STATUS(STATUS_NAME_TOO_LONG, ComposeChildPath(&p, child.data(), (ULONG)child.size(), &result));
    EXPECT_EQ(sk::AllocationCount(), 0u);

    std::u16string root = u"\\??\\D:\\";
    UNICODE_STRING r = Counted(root);
    ASSERT_STATUS(STATUS_SUCCESS, ComposeChildPath(&r, u"x", 1, &result));
    EXPECT_EQ(std::u16string(result.Buffer, result.Length / 2), u"\\??\\D:\\x")
        << "no second backslash after a volume root";
    FreeComposedPath(&result);
}

} // namespace
