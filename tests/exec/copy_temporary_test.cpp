/*
 * copy_temporary_test.cpp - copies through a temporary: the target ends
 * with the attributes and creation time writing it in place would leave, a
 * temporary a power cut left is removed, a file of a temporary's name that
 * the copy did not make is never touched, and a failed copy leaves none.
 */
#include "tests/exec/volume_fixture.h"

namespace {

using qtest::Counted;

class CopyTemporaryTest : public qtest::VolumeTest {
protected:
    NTSTATUS Copy(const std::u16string &source, const std::u16string &target, bool overwrite)
    {
        UNICODE_STRING s = Counted(source), t = Counted(target);
        return CopyOneFile(overwrite, &s, &t);
    }
};

TEST_F(CopyTemporaryTest, AnOverwrittenTargetKeepsItsAttributesAndCreationTime)
{
    Write('C', "new.dll", "new");
    Write('C', "app/app.dll", "old");
    SetAttributes(u"\\??\\C:\\app\\app.dll", FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    const FILE_BASIC_INFORMATION before = Basic(u"\\??\\C:\\app\\app.dll");
    ASSERT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\app.dll", true));
    const FILE_BASIC_INFORMATION after = Basic(u"\\??\\C:\\app\\app.dll");
    EXPECT_EQ(Read('C', "app/app.dll"), "new");
    EXPECT_EQ(after.CreationTime.QuadPart, before.CreationTime.QuadPart);
    EXPECT_EQ(after.FileAttributes,
              (ULONG)(FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_ARCHIVE));
    /* A new target: archive only, as a file created by a write. */
    ASSERT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\fresh.dll", false));
    EXPECT_EQ(Basic(u"\\??\\C:\\app\\fresh.dll").FileAttributes, (ULONG)FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(Tree('C', "app"), (std::vector<std::string>{"app.dll", "fresh.dll"}));
}

TEST_F(CopyTemporaryTest, ATemporaryLeftByACutIsRemovedAndAnyOtherFileOfThatNameKept)
{
    Write('C', "new.dll", "new");
    Write('C', "app/~qelmbar-copy0.tmp", "left by a cut");
    SetAttributes(u"\\??\\C:\\app\\~qelmbar-copy0.tmp", FILE_ATTRIBUTE_TEMPORARY);
    ASSERT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\app.dll", true));
    EXPECT_EQ(Tree('C', "app"), (std::vector<std::string>{"app.dll"}));

    /* Not marked temporary: the user's, left alone; the next name serves. */
    Write('C', "app/~qelmbar-copy0.tmp", "a user's file");
    ASSERT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\app.dll", true));
    EXPECT_EQ(Read('C', "app/~qelmbar-copy0.tmp"), "a user's file");
    EXPECT_EQ(Tree('C', "app"), (std::vector<std::string>{"app.dll", "~qelmbar-copy0.tmp"}));
    EXPECT_EQ(Read('C', "app/app.dll"), "new");
}

TEST_F(CopyTemporaryTest, RefusedCopiesKeepTheirStatusesAndLeaveNoTemporary)
{
    Write('C', "new.dll", "new");
    Write('C', "app/app.dll", "old");
    MakeDir('C', "app/dir");
    SetAttributes(u"\\??\\C:\\app\\app.dll", FILE_ATTRIBUTE_READONLY);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\app.dll", true));
    SetAttributes(u"\\??\\C:\\app\\app.dll", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\app.dll", true));
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS,
                  Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\app.dll", false));
    EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY,
                  Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\dir", true));
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\dir", false));
    EXPECT_STATUS(STATUS_SHARING_VIOLATION, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\NEW.dll", true));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                  Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\none\\app.dll", true));
    SetAttributes(u"\\??\\C:\\app\\app.dll", FILE_ATTRIBUTE_NORMAL);
    HANDLE held = Hold(u"\\??\\C:\\app\\app.dll", FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ);
    EXPECT_STATUS(STATUS_SHARING_VIOLATION, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app\\app.dll", true));
    Release(held);
    EXPECT_EQ(Read('C', "app/app.dll"), "old");
    EXPECT_EQ(Read('C', "new.dll"), "new");
    EXPECT_EQ(Tree('C', "app"), (std::vector<std::string>{"app.dll", "dir/"}));
}

TEST_F(CopyTemporaryTest, ATargetThatAppearsBeforeTheRenameIsKeptWithoutOverwrite)
{
    /* Another writer creates the target between the check and the rename:
     * the rename refuses, and the copy answers as if it had been there. */
    Write('C', "new.dll", "new");
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\probe.dll", false));
    const uint64_t rename = sk::CallCount("ZwSetInformationFile");
    sk::ClearFaults();
    sk::FailCall("ZwSetInformationFile", rename, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS,
                  Copy(u"\\??\\C:\\new.dll", u"\\??\\C:\\app.dll", false));
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    sk::ClearFaults();
    EXPECT_EQ(Tree('C'), (std::vector<std::string>{ "new.dll", "probe.dll" }));
}

/* A read-only file moved across volumes gives its temporary its own
 * attributes before the rename: whichever set-information call of the move
 * fails, the temporary loses them again and goes, and the file is whole at
 * its source or its target. */
TEST_F(CopyTemporaryTest, AReadOnlyFileMovedAcrossVolumesLeavesNoTemporaryWhateverFails)
{
    auto prepare = [&] {
        std::filesystem::remove_all(Host('D', "app"));
        MakeDir('D', "app");
        Write('C', "ro.dll", "ro");
        SetAttributes(u"\\??\\C:\\ro.dll", FILE_ATTRIBUTE_READONLY);
    };
    auto move = [&] {
        UNICODE_STRING s = Counted(u"\\??\\C:\\ro.dll"), t = Counted(u"\\??\\D:\\app\\ro.dll");
        return MoveOneFile(FALSE, &s, &t);
    };
    prepare();
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, move());
    const uint64_t calls = sk::CallCount("ZwSetInformationFile");
    ASSERT_EQ(calls, 5u);
    std::vector<NTSTATUS> statuses;
    for (uint64_t nth = 1; nth <= calls; nth++) {
        SCOPED_TRACE("set-information call " + std::to_string(nth));
        prepare();
        sk::ClearFaults();
        sk::FailCall("ZwSetInformationFile", nth, STATUS_ACCESS_DENIED);
        const NTSTATUS status = move();
        statuses.push_back(status);
        EXPECT_EQ(sk::InjectedFaultCount(), 1u);
        sk::ClearFaults();
        const std::vector<std::string> onD = Tree('D', "app");
        EXPECT_TRUE(onD.empty() || onD == std::vector<std::string>{ "ro.dll" }) << "no temporary";
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(Read('D', "app/ro.dll"), "ro");
            EXPECT_FALSE(Exists('C', "ro.dll"));
        } else {
            EXPECT_STATUS(STATUS_ACCESS_DENIED, status);
            EXPECT_EQ(Read('C', "ro.dll"), "ro");
        }
    }
    /* The read-only attribute is cleared, the rename in place tried (it
     * fails across volumes whatever its status), the temporary given its
     * attributes and renamed, the source deleted: only the second may fail
     * without failing the move. */
    EXPECT_EQ(statuses, (std::vector<NTSTATUS>{ STATUS_ACCESS_DENIED, STATUS_SUCCESS, STATUS_ACCESS_DENIED,
                                                STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED }));
}

} // namespace
