/*
 * volume_flush_test.cpp - a script's file changes are on disk once its
 * volumes are flushed: a power cut that keeps nothing of the journal after
 * the last flush still finds each change, whatever kind of operation made
 * it.  The driver relies on this before it records that a script ran.
 */
#include "tests/exec/volume_fixture.h"

#include "script/script.h"
#include "tests/script/script_test_util.h"
#include "simkernel/files.h"

namespace {

class VolumeFlushTest : public qtest::VolumeTest {
protected:
    /* Runs one line on a journaled volume, flushes its volumes and cuts the
     * power keeping nothing after the last flush. */
    void RunFlushAndCut(const std::u16string &line, bool flush)
    {
        LIST_ENTRY list;
        std::u16string data = qtest::MultiString({ line });
        ASSERT_STATUS(STATUS_SUCCESS, ParseOperationList(data.c_str(), qtest::ByteLength(data), &list));
        sk::TrackDurability(true);
        EXPECT_STATUS(STATUS_SUCCESS, RunOperation(CONTAINING_RECORD(list.Flink, OperationRecord, Links)))
            << qtest::U8(line);
        if (flush)
            FlushVolumesOf(&list);
        sk::CutPower(sk::SurvivingJournal::None());
        sk::TrackDurability(false);
        FreeOperationList(&list);
    }
};

TEST_F(VolumeFlushTest, EachKindOfChangeSurvivesACutOnceItsVolumesAreFlushed)
{
    struct Case {
        std::u16string line;
        std::vector<std::string> after;
    };
    const std::vector<Case> cases = {
        { u"RemoveDir(\"\\??\\C:\\w\\old\", true, true)", { "keep.txt" } },
        { u"DeleteFile(\"\\??\\C:\\w\\keep.txt\")", { "old/", "old/a.txt" } },
        { u"CreateDir(\"\\??\\C:\\w\\made\")", { "keep.txt", "made/", "old/", "old/a.txt" } },
        { u"RenameFile(\"\\??\\C:\\w\\keep.txt\", \"kept.txt\", false)",
          { "kept.txt", "old/", "old/a.txt" } },
        { u"MoveDir(\"\\??\\C:\\w\\old\", \"\\??\\C:\\w\\new\", false)",
          { "keep.txt", "new/", "new/a.txt" } },
    };
    for (bool flush : { false, true }) {
        for (const Case &c : cases) {
            std::filesystem::remove_all(Host('C', "w"));
            Write('C', "w/keep.txt", "k");
            Write('C', "w/old/a.txt", "a");
            RunFlushAndCut(c.line, flush);
            if (flush)
                EXPECT_EQ(Tree('C', "w"), c.after) << qtest::U8(c.line);
            else
                EXPECT_EQ(Tree('C', "w"), (std::vector<std::string>{ "keep.txt", "old/", "old/a.txt" }))
                    << "without the flush the cut takes the change back: " << qtest::U8(c.line);
        }
    }
}

/* A change that spans two volumes is on disk on both once flushed: the
 * target's volume is flushed as well as the source's. */
TEST_F(VolumeFlushTest, AChangeAcrossVolumesSurvivesACutOnBoth)
{
    struct Case {
        std::u16string line;
        std::vector<std::string> onC;
        std::vector<std::string> onD;
    };
    const std::vector<Case> cases = {
        { u"CopyDir(\"\\??\\C:\\w\\old\", \"\\??\\D:\\w\\copy\", false)",
          { "keep.txt", "old/", "old/a.txt" }, { "copy/", "copy/a.txt" } },
        { u"MoveDir(\"\\??\\C:\\w\\old\", \"\\??\\D:\\w\\new\", false)",
          { "keep.txt" }, { "new/", "new/a.txt" } },
        { u"MoveFile(\"\\??\\C:\\w\\keep.txt\", \"\\??\\D:\\w\\kept.txt\", false)",
          { "old/", "old/a.txt" }, { "kept.txt" } },
    };
    for (const Case &c : cases) {
        std::filesystem::remove_all(Host('C', "w"));
        std::filesystem::remove_all(Host('D', "w"));
        Write('C', "w/keep.txt", "k");
        Write('C', "w/old/a.txt", "a");
        MakeDir('D', "w");
        RunFlushAndCut(c.line, true);
        EXPECT_EQ(Tree('C', "w"), c.onC) << qtest::U8(c.line);
        EXPECT_EQ(Tree('D', "w"), c.onD) << qtest::U8(c.line);
    }
}

} // namespace
