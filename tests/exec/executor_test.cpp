/*
 * executor_test.cpp - RunOperationList: list order, the stop-on-error and
 * deferral policies, the running result, records run before, and the
 * order of the deferred list across several lists.
 */
#include "exec/exec.h"
#include "simkernel/sim.h"
#include "tests/registry/registry_fixture.h"
#include "tests/script/script_test_util.h"

#include <vector>

namespace {

using qtest::kSoftware;
using qtest::kSystem;

const std::u16string kGood = u"CreateKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\Good\")";
const std::u16string kBad = u"CreateDir(\"\\??\\Q:\\nowhere\\x\")"; /* no volume Q: */
const std::u16string kWaits = u"CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Later\")";
const std::u16string kExists = u"CopyFile(\"\\??\\C:\\a.txt\", \"\\??\\C:\\b.txt\", false)";

const ListOrigin kOneShot = { ListOneShot, nullptr, nullptr };
const ListOrigin kDeferredRun = { ListDeferredRun, nullptr, nullptr };

class ExecutorTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        InitializeListHead(&deferred_);
        /* Writes under SOFTWARE wait for the system to load it. */
        ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(kSoftware));
        Write('C', "a.txt", "a");
        Write('C', "b.txt", "b");
    }
    void TearDown() override
    {
        for (LIST_ENTRY &list : lists_)
            FreeOperationList(&list);
        FreeOperationList(&deferred_);
        qtest::RegistryTest::TearDown();
    }

    PLIST_ENTRY Script(std::initializer_list<std::u16string> lines)
    {
        lists_.emplace_back();
        PLIST_ENTRY list = &lists_.back();
        std::u16string data = qtest::MultiString(lines);
        EXPECT_STATUS(STATUS_SUCCESS, ParseOperationList(data.c_str(), qtest::ByteLength(data), list));
        return list;
    }

    static std::vector<OperationRecord *> Records(PLIST_ENTRY list)
    {
        std::vector<OperationRecord *> records;
        for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink)
            records.push_back(CONTAINING_RECORD(e, OperationRecord, Links));
        return records;
    }

    std::deque<LIST_ENTRY> lists_;

    LIST_ENTRY deferred_;
};

TEST_F(ExecutorTest, EmptyAndUnlinkedListsSucceedAtOnce)
{
    LIST_ENTRY unlinked = {};
    EXPECT_STATUS(STATUS_SUCCESS, RunOperationList(&unlinked, TRUE, &deferred_, &kOneShot));
    EXPECT_EQ(unlinked.Flink, nullptr);
    LIST_ENTRY empty;
    InitializeListHead(&empty);
    EXPECT_STATUS(STATUS_SUCCESS, RunOperationList(&empty, TRUE, &deferred_, &kOneShot));
}

TEST_F(ExecutorTest, StopOnErrorEndsAtTheFirstFailure)
{
    PLIST_ENTRY list = Script({ kGood, kBad, kExists });
    NTSTATUS status = RunOperationList(list, TRUE, &deferred_, &kOneShot);
    auto records = Records(list);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_TRUE(records[0]->Executed);
    EXPECT_STATUS(STATUS_SUCCESS, records[0]->Status);
    EXPECT_TRUE(records[1]->Executed);
    EXPECT_STATUS(status, records[1]->Status);
    EXPECT_FALSE(records[2]->Executed) << "left pending";
    EXPECT_EQ(Read('C', "b.txt"), "b");
}

TEST_F(ExecutorTest, WithoutStopOnErrorEverythingRunsAndTheLastSuccessIsTheResult)
{
    PLIST_ENTRY list = Script({ kGood, kBad, kExists });
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, RunOperationList(list, FALSE, &deferred_, &kOneShot))
        << "the informational status of the last record";
    for (OperationRecord *record : Records(list))
        EXPECT_TRUE(record->Executed);

    PLIST_ENTRY failingLast = Script({ kGood, kBad });
    EXPECT_STATUS(STATUS_SUCCESS, RunOperationList(failingLast, FALSE, &deferred_, &kOneShot));
    EXPECT_FALSE(NT_SUCCESS(Records(failingLast)[1]->Status));
}

TEST_F(ExecutorTest, RecordsRunBeforeAreSkippedAndLeaveTheResult)
{
    PLIST_ENTRY list = Script({ kExists, kGood });
    Records(list)[1]->Executed = TRUE;
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, RunOperationList(list, FALSE, &deferred_, &kOneShot));
    EXPECT_FALSE(sk::RegKeyExists(kSystem + u"\\Good"));
}

TEST_F(ExecutorTest, DeferredRecordsMoveToTheDeferredListInOrderAndRunThere)
{
    PLIST_ENTRY oneShot = Script({ kWaits, kGood, u"DeleteKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Old\", true)" });
    PLIST_ENTRY setup = Script({ u"CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\Third\")", kBad });
    EXPECT_STATUS(STATUS_SUCCESS, RunOperationList(oneShot, TRUE, &deferred_, &kOneShot))
        << "a deferral is no failure, even with StopOnError";
    EXPECT_FALSE(NT_SUCCESS(RunOperationList(setup, TRUE, &deferred_, &kOneShot)));
    EXPECT_EQ(Records(oneShot).size(), 1u);
    EXPECT_EQ(Records(setup).size(), 1u);

    auto deferred = Records(&deferred_);
    EXPECT_TRUE(IsListEmpty(&context_.DeferredList)) << "the executor defers to the list it is given";
    ASSERT_EQ(deferred.size(), 3u);
    EXPECT_EQ(deferred[0]->Kind, OperationCreateKey);
    EXPECT_EQ(deferred[1]->Kind, OperationDeleteKey);
    EXPECT_EQ(deferred[2]->Kind, OperationCreateKey);
    for (OperationRecord *record : deferred) {
        EXPECT_FALSE(record->Executed);
        EXPECT_STATUS(STATUS_SUCCESS, record->Status);
    }

    /* The system loads SOFTWARE; the deferred run finds it. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
    sk::RegCreateKey(kSoftware + u"\\Old\\Sub");
    EXPECT_STATUS(STATUS_SUCCESS, RunOperationList(&deferred_, FALSE, nullptr, &kDeferredRun));
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\Later"));
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\Third"));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\Old"));
}

TEST_F(ExecutorTest, InTheDeferredRunAFailCheckIsAnOrdinaryFailure)
{
    PLIST_ENTRY list = Script({ kWaits, kGood });
    EXPECT_STATUS(STATUS_SUCCESS, RunOperationList(list, FALSE, nullptr, &kDeferredRun));
    auto records = Records(list);
    ASSERT_EQ(records.size(), 2u) << "nothing is deferred twice";
    EXPECT_TRUE(records[0]->Executed);
    EXPECT_STATUS(STATUS_FAIL_CHECK, records[0]->Status);
    EXPECT_TRUE(IsListEmpty(&context_.DeferredList));
}

TEST_F(ExecutorTest, AnUnknownKindFailsAsNotSupported)
{
    PLIST_ENTRY list = Script({ kGood });
    Records(list)[0]->Kind = (OperationKind)17;
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, RunOperationList(list, TRUE, &deferred_, &kOneShot));
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, Records(list)[0]->Status);
    Records(list)[0]->Kind = OperationCreateKey; /* freed as what it was parsed as */
}

TEST_F(ExecutorTest, EveryKindReachesItsOperation)
{
    MakeDir('C', "dir");
    Write('C', "dir/f.txt", "f");
    sk::RegCreateKey(kSystem + u"\\K");
    sk::RegSetDword(kSystem + u"\\K", u"V", 1);
    PLIST_ENTRY list = Script({
        u"CopyFile(\"\\??\\C:\\a.txt\", \"\\??\\C:\\c.txt\", false)",
        u"MoveFile(\"\\??\\C:\\c.txt\", \"\\??\\C:\\d.txt\", false)",
        u"RenameFile(\"\\??\\C:\\d.txt\", \"e.txt\", false)",
        u"DeleteFile(\"\\??\\C:\\b.txt\")",
        u"CopyDir(\"\\??\\C:\\dir\", \"\\??\\C:\\dir2\", false)",
        u"MoveDir(\"\\??\\C:\\dir2\", \"\\??\\C:\\dir3\", false)",
        u"RenameDir(\"\\??\\C:\\dir3\", \"dir4\", false)",
        u"RemoveDir(\"\\??\\C:\\dir\", true, true)",
        u"CreateDir(\"\\??\\C:\\made\\deep\")",
        u"CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\K\", \"\\REGISTRY\\MACHINE\\SYSTEM\\K2\", false)",
        u"MoveKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\K2\", \"\\REGISTRY\\MACHINE\\SYSTEM\\K3\", false)",
        u"RenameKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\K3\", \"K4\", false)",
        u"RenameValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\K4\", \"V\", \"W\", false)",
        u"DeleteKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\K\", \"V\")",
        u"DeleteKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\K\", false)",
    });
    EXPECT_STATUS(STATUS_SUCCESS, RunOperationList(list, TRUE, &deferred_, &kOneShot));
    for (OperationRecord *record : Records(list))
        EXPECT_STATUS(STATUS_SUCCESS, record->Status) << "kind " << record->Kind;
    EXPECT_EQ(VolumeTest::Tree('C', ""), (std::vector<std::string>{ "a.txt", "dir4/", "dir4/f.txt", "e.txt",
                                                        "made/", "made/deep/" }));
    EXPECT_EQ(sk::RegSubkeys(kSystem), (std::vector<std::u16string>{ u"K4" }));
    EXPECT_EQ(sk::RegValueNames(kSystem + u"\\K4"), (std::vector<std::u16string>{ u"W" }));
}

TEST_F(ExecutorTest, TheTracePointNamesEachListsOrigin)
{
    std::vector<std::pair<ListSource, std::u16string>> seen;
    sk::TraceSink sink;
    sink.listRun = [&](const ListOrigin *origin, PLIST_ENTRY) {
        seen.emplace_back(origin->Source,
                          origin->Package ? std::u16string(origin->Package->Buffer,
                                                           origin->Package->Length / sizeof(WCHAR))
                                          : u"-");
    };
    sk::SetTraceSink(sink);
    std::u16string name = u"Lumen";
    UNICODE_STRING package = { (USHORT)(name.size() * sizeof(WCHAR)),
                               (USHORT)(name.size() * sizeof(WCHAR)), (PWCH)name.data() };
    const ListOrigin setup = { ListSetup, &package, nullptr };
    RunOperationList(Script({ kWaits }), TRUE, &deferred_, &setup);
    RunOperationList(Script({ kGood }), FALSE, &deferred_, &kOneShot);
    RunOperationList(&deferred_, FALSE, nullptr, &kDeferredRun);
    sk::SetTraceSink(sk::TraceSink());
    const std::vector<std::pair<ListSource, std::u16string>> expected = {
        { ListSetup, u"Lumen" }, { ListOneShot, u"-" }, { ListDeferredRun, u"-" }
    };
    EXPECT_EQ(seen, expected);
}

} // namespace
