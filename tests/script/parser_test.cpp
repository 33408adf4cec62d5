/*
 * parser_test.cpp - scripts into operation lists: every operation's fields,
 * the all-or-nothing rule, the data-length bound, ownership of the
 * strings, and every allocation failing in turn.
 */
#include "tests/script/script_test_util.h"
#include "tests/support/kernel_test.h"

#include <vector>

namespace {

using qtest::ByteLength;
using qtest::MultiString;
using qtest::Text;

class ParserTest : public qtest::KernelTest {
protected:
    void TearDown() override
    {
        FreeOperationList(&list);
        qtest::KernelTest::TearDown();
    }

    NTSTATUS Parse(const std::u16string &data)
    {
        return ParseOperationList(data.c_str(), ByteLength(data), &list);
    }

    std::vector<OperationRecord *> Records()
    {
        std::vector<OperationRecord *> records;
        for (PLIST_ENTRY e = list.Flink; e != &list; e = e->Flink)
            records.push_back(CONTAINING_RECORD(e, OperationRecord, Links));
        return records;
    }

    LIST_ENTRY list = {};
};

TEST_F(ParserTest, EveryOperationStoresItsArgumentsInItsFields)
{
    ASSERT_STATUS(STATUS_SUCCESS,
                  Parse(MultiString({
                      u"CopyFile(\"\\??\\C:\\a\", \"\\??\\C:\\b\", true)",
                      u"MoveFile(\"s\", \"t\", false)",
                      u"DeleteFile(\"d\")",
                      u"CopyDir(\"s\", \"t\", TRUE)",
                      u"MoveDir(\"s\", \"t\", False)",
                      u"RemoveDir(\"r\", true, false)",
                      u"RenameFile(\"\\dir\\a.txt\", \"b.txt\", false)",
                      u"RenameDir(\"\\dir\\x\", \"y\", true)",
                      u"CreateDir(\"c\")",
                      u"CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\K\")",
                      u"SetKeyValue(\"sk\", \"sv\", \"tk\", \"tv\", true, false)",
                      u"DeleteKey(\"k\", true)",
                      u"DeleteKeyValue(\"k\", \"\")",
                      u"MoveKey(\"s\", \"t\", true)",
                      u"CopyKey(\"s\", \"t\", false)",
                      u"RenameKey(\"s\", \"n\", true)",
                      u"RenameValue(\"k\", \"old\", \"new\", true)",
                  })));
    std::vector<OperationRecord *> r = Records();
    ASSERT_EQ(r.size(), 17u);
    for (ULONG i = 0; i < 17; i++) {
        EXPECT_EQ(r[i]->Kind, (OperationKind)i);
        EXPECT_EQ(r[i]->Executed, 0);
        EXPECT_EQ(r[i]->Status, 0);
    }
    EXPECT_EQ(Text(r[0]->Args.TwoPath.Source), u"\\??\\C:\\a");
    EXPECT_EQ(Text(r[0]->Args.TwoPath.Target), u"\\??\\C:\\b");
    EXPECT_EQ(r[0]->Args.TwoPath.Overwrite, 1);
    EXPECT_EQ(r[1]->Args.TwoPath.Overwrite, 0);
    EXPECT_EQ(Text(r[2]->Args.Path.Path), u"d");
    EXPECT_EQ(r[3]->Args.TwoPath.Overwrite, 1);

    /* Script order differs from field order for these two. */
    EXPECT_EQ(Text(r[5]->Args.RemoveDir.Path), u"r");
    EXPECT_EQ(r[5]->Args.RemoveDir.Recursive, 1);
    EXPECT_EQ(r[5]->Args.RemoveDir.DeleteFiles, 0);
    const SetKeyValueArgs &set = r[10]->Args.SetKeyValue;
    EXPECT_EQ(Text(set.SourceKey), u"sk");
    EXPECT_EQ(Text(set.SourceValue), u"sv");
    EXPECT_EQ(Text(set.TargetKey), u"tk");
    EXPECT_EQ(Text(set.TargetValue), u"tv");
    EXPECT_EQ(set.Overwrite, 1);
    EXPECT_EQ(set.DeleteSource, 0);

    EXPECT_EQ(Text(r[11]->Args.DeleteKey.Path), u"k");
    EXPECT_EQ(r[11]->Args.DeleteKey.Recursive, 1);
    EXPECT_EQ(Text(r[12]->Args.DeleteKeyValue.KeyPath), u"k");
    EXPECT_EQ(r[12]->Args.DeleteKeyValue.ValueName.Length, 0);
    EXPECT_EQ(r[12]->Args.DeleteKeyValue.ValueName.Buffer, nullptr);
    EXPECT_EQ(Text(r[16]->Args.RenameValue.OldName), u"old");
    EXPECT_EQ(Text(r[16]->Args.RenameValue.NewName), u"new");
    EXPECT_EQ(r[16]->Args.RenameValue.Overwrite, 1);

    /* Every string the records own is an exact-size block. */
    EXPECT_EQ(r[0]->Args.TwoPath.Source.Length, r[0]->Args.TwoPath.Source.MaximumLength);
}

TEST_F(ParserTest, BlanksAndCaseAreFree)
{
    ASSERT_STATUS(STATUS_SUCCESS,
                  Parse(MultiString({ u" \tdeletekey ( \"k\" ,\tFALSE ) \t ", u"COPYKEY(\"a\",\"b\",True)" })));
    std::vector<OperationRecord *> r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0]->Kind, OperationDeleteKey);
    EXPECT_EQ(r[0]->Args.DeleteKey.Recursive, 0);
    EXPECT_EQ(r[1]->Kind, OperationCopyKey);
}

TEST_F(ParserTest, EmptyScriptsGiveEmptyLists)
{
    for (const std::u16string &data :
         { std::u16string(2, u'\0'), MultiString({ u"" }), MultiString({ u"", u"  ", u"\t" }),
           std::u16string() }) {
        EXPECT_STATUS(STATUS_SUCCESS, Parse(data));
        EXPECT_TRUE(IsListEmpty(&list));
    }
}

TEST_F(ParserTest, EmptyStringsInsideTheDataDoNotEndTheScript)
{
    ASSERT_STATUS(STATUS_SUCCESS, Parse(MultiString({ u"CreateDir(\"a\")", u"", u"", u"CreateDir(\"b\")", u"" })));
    std::vector<OperationRecord *> r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(Text(r[1]->Args.Path.Path), u"b");
    FreeOperationList(&list);

    /* A faulty operation after an empty string is seen, not skipped. */
    EXPECT_STATUS(STATUS_DATA_OVERRUN, Parse(MultiString({ u"CreateDir(\"a\")", u"", u"CreateDri(\"b\")" })));
    EXPECT_TRUE(IsListEmpty(&list));
}

TEST_F(ParserTest, TheDataLengthBoundsTheParse)
{
    /* Text beyond the data length is not part of the script, and the last
     * half character of an odd length is not read. */
    std::u16string data = MultiString({ u"CreateDir(\"a\")" }) + u"DeleteFile(\"x\")";
    ASSERT_STATUS(STATUS_SUCCESS, ParseOperationList(data.c_str(), 32, &list));
    EXPECT_EQ(Records().size(), 1u);
    FreeOperationList(&list);

    std::u16string cut(u"CreateDir(\"abc\")");
    EXPECT_STATUS(STATUS_DATA_OVERRUN, ParseOperationList(cut.c_str(), 2 * 13, &list));
    EXPECT_STATUS(STATUS_DATA_OVERRUN, ParseOperationList(cut.c_str(), 2 * 16 - 1, &list))
        << "the closing parenthesis lies in the half character";
    EXPECT_STATUS(STATUS_SUCCESS, ParseOperationList(cut.c_str(), 2 * 16, &list));
}

TEST_F(ParserTest, AnyErrorFailsTheWholeScript)
{
    const char16_t *faulty[] = {
        u"CopyFile(\"a\", \"b\")",                   /* an argument missing */
        u"CopyFile(\"a\", \"b\", true, true)",       /* one too many */
        u"CopyFile(\"a\", \"b\", \"true\")",         /* boolean in quotes */
        u"CopyFile(\"a\" \"b\", true)",              /* comma missing */
        u"CopyFile(\"a\",, \"b\", true)",            /* comma doubled */
        u"CopyFile \"a\", \"b\", true)",             /* parenthesis missing */
        u"CopyFile(\"a\", \"b\", true",              /* closing one missing */
        u"CopyFile(\"a\", \"b\", true) x",           /* text after it */
        u"CreateDir(\"a\") CreateDir(\"b\")",        /* two in one string */
        u"CreateDir(\\??\\C:\\a)",                   /* unquoted path */
        u"CreateDir(\"a)",                           /* unterminated */
        u"CreateDir(\"a\")\r",                       /* a line break */
        u"CreateDir(1)",
        u"Copyfiles(\"a\", \"b\", true)",            /* no keyword */
        u"true",
        u"\"just a string\"",
        u"(\"a\")",
        u"9CreateDir(\"a\")",
        u"CreateDir(Path)",
        u"CreateDir(true)",
        u"SetKeyValue(\"a\", \"b\", \"c\", \"d\", true)",
        u"RemoveDir(\"a\", true, \"false\")",
    };
    for (const char16_t *operation : faulty) {
        std::u16string data =
            MultiString({ u"CreateDir(\"1\")", u"CreateDir(\"2\")", u"CreateDir(\"3\")", operation });
        EXPECT_STATUS(STATUS_DATA_OVERRUN, Parse(data)) << qtest::U8(operation);
        EXPECT_TRUE(IsListEmpty(&list));
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << qtest::U8(operation);
    }
}

TEST_F(ParserTest, AbsentTextOrListIsAnInvalidParameter)
{
    list.Flink = list.Blink = nullptr;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, ParseOperationList(nullptr, 4, &list));
    EXPECT_TRUE(IsListEmpty(&list));
    std::u16string data = MultiString({ u"CreateDir(\"a\")" });
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, ParseOperationList(data.c_str(), ByteLength(data), nullptr));

    OperationRecord record = {};
    ULONG position = 0;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ParseOperation(OperationCreateDir, nullptr, 0, &position, &record));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ParseOperation(OperationCreateDir, data.c_str(), 4, &position, nullptr));
}

TEST_F(ParserTest, FreeingCopesWithEmptyAndUnlinkedHeads)
{
    LIST_ENTRY never = { nullptr, nullptr };
    FreeOperationList(&never);
    EXPECT_TRUE(IsListEmpty(&never));
    FreeOperationList(nullptr);

    ASSERT_STATUS(STATUS_SUCCESS, Parse(MultiString({ u"CreateDir(\"a\")" })));
    FreeOperationList(&list);
    FreeOperationList(&list);
    EXPECT_TRUE(IsListEmpty(&list));

    /* A record whose kind is unknown owns no strings that could be found. */
    auto *odd = (OperationRecord *)ExAllocatePoolWithTag(PagedPool, sizeof(OperationRecord), QELMBAR_TAG);
    memset(odd, 0, sizeof(*odd));
    odd->Kind = (OperationKind)40;
    InsertTailList(&list, &odd->Links);
    FreeOperationList(&list);
}

/* Every allocation of a valid parse fails in turn: the answer is always
 * STATUS_NO_MEMORY with an empty list and nothing leaked, never a syntax
 * error, so a valid script is never taken for a faulty one. */
TEST_F(ParserTest, EveryAllocationFailingInTurnGivesNoMemory)
{
    std::u16string data = MultiString({
        u"CopyFile(\"\\??\\C:\\a\", \"\\??\\C:\\b\", true)",
        u"",
        u"SetKeyValue(\"sk\", \"sv\", \"tk\", \"\", true, false)",
        u"RemoveDir(\"r\", true, false)",
    });
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Parse(data));
    FreeOperationList(&list);
    uint64_t allocations = sk::AllocationCount();
    ASSERT_EQ(allocations, 3u + 2u + 3u + 1u) << "three records and six non-empty strings";

    for (sk::FaultMode mode : { sk::FaultMode::Once, sk::FaultMode::FromThenOn }) {
        for (uint64_t nth = 1; nth <= allocations; nth++) {
            sk::ClearFaults();
            sk::FailAllocation(nth, mode);
            EXPECT_STATUS(STATUS_NO_MEMORY, Parse(data)) << "allocation " << nth;
            EXPECT_TRUE(IsListEmpty(&list));
            EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << "allocation " << nth;
        }
    }
    sk::ClearFaults();
    sk::FailAllocation(allocations + 1);
    EXPECT_STATUS(STATUS_SUCCESS, Parse(data));
}

TEST_F(ParserTest, AWordThatFindsNoMemoryIsStillASyntaxError)
{
    sk::FailAllocation(2);
    EXPECT_STATUS(STATUS_DATA_OVERRUN, Parse(MultiString({ u"CreateDir(nonsense)" })));
    /* The word is copied (allocation 1) before the record is allocated
     * (allocation 2) and the word judged. */
    sk::ClearFaults();
    sk::FailAllocation(2);
    EXPECT_STATUS(STATUS_NO_MEMORY, Parse(MultiString({ u"nonsense" })));
    /* A string where an operation belongs that could not be copied is no
     * memory, never an empty operation. */
    sk::ClearFaults();
    EXPECT_STATUS(STATUS_DATA_OVERRUN, Parse(MultiString({ u"\"text\"" })));
    sk::ClearFaults();
    sk::FailAllocation(1);
    EXPECT_STATUS(STATUS_NO_MEMORY, Parse(MultiString({ u"\"text\"" })));
    EXPECT_TRUE(IsListEmpty(&list));
}

TEST_F(ParserTest, OverlongTokensFailTheScript)
{
    std::u16string longPath = u"CreateDir(\"" + std::u16string(SCRIPT_MAX_TOKEN_CHARS + 1, u'p') + u"\")";
    EXPECT_STATUS(STATUS_DATA_OVERRUN, Parse(MultiString({ longPath })));
    std::u16string wrapping = u"CreateDir" + std::u16string(65536 / 2, u'x') + u"(\"a\")";
    EXPECT_STATUS(STATUS_DATA_OVERRUN, Parse(MultiString({ wrapping })));
    std::u16string longest = u"CreateDir(\"" + std::u16string(SCRIPT_MAX_TOKEN_CHARS, u'p') + u"\")";
    ASSERT_STATUS(STATUS_SUCCESS, Parse(MultiString({ longest })));
    EXPECT_EQ(Records()[0]->Args.Path.Path.Length, 65534);
}

} // namespace
