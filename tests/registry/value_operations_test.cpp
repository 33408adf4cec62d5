/*
 * value_operations_test.cpp - SetKeyValue, DeleteKeyValue and RenameValue:
 * exact types and data, the exists test, values moved onto themselves, and
 * failures that must never lose a value.
 */
#include "tests/registry/registry_fixture.h"

namespace {

using qtest::kSoftware;
using qtest::kSystem;

const std::u16string kSource = kSystem + u"\\Source";
const std::u16string kTarget = kSoftware + u"\\Vendor\\App";

class ValueOperationsTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        sk::RegCreateKey(kSource);
        sk::RegSetValue(kSource, u"Blob", 0x7F, large_);
        sk::RegSetString(kSource, u"", u"default");
        sk::RegSetValue(kSource, u"Empty", REG_SZ, {});
    }
    std::vector<uint8_t> large_ = std::vector<uint8_t>(100000, 0xE7);
};

TEST_F(ValueOperationsTest, SetKeyValueCreatesTheTargetKeyAndCopiesTypeAndDataUnchanged)
{
    EXPECT_STATUS(STATUS_SUCCESS, SetKeyValue(kTarget, u"Copy", kSource, u"Blob", false, false));
    auto copy = sk::RegGetValue(kTarget, u"Copy");
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(copy->type, 0x7Fu);
    EXPECT_EQ(copy->data, large_);
    EXPECT_TRUE(sk::RegGetValue(kSource, u"Blob").has_value());

    EXPECT_STATUS(STATUS_SUCCESS, SetKeyValue(kTarget, u"", kSource, u"", false, false));
    EXPECT_EQ(sk::RegGetValue(kTarget, u"")->data, sk::RegGetValue(kSource, u"")->data);
    EXPECT_STATUS(STATUS_SUCCESS, SetKeyValue(kTarget, u"Empty", kSource, u"EMPTY", false, true));
    EXPECT_EQ(sk::RegGetValue(kTarget, u"Empty")->data.size(), 0u);
    EXPECT_FALSE(sk::RegGetValue(kSource, u"Empty").has_value()) << "moved";
}

TEST_F(ValueOperationsTest, AnExistingTargetValueIsKeptUnlessOverwriteIsSet)
{
    sk::RegCreateKey(kTarget);
    sk::RegSetDword(kTarget, u"COPY", 1);
    for (bool deleteSource : { false, true }) {
        EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS,
                      SetKeyValue(kTarget, u"copy", kSource, u"Blob", false, deleteSource));
        EXPECT_EQ(sk::RegGetValue(kTarget, u"Copy")->type, (ULONG)REG_DWORD);
        EXPECT_TRUE(sk::RegGetValue(kSource, u"Blob").has_value());
    }
    EXPECT_STATUS(STATUS_SUCCESS, SetKeyValue(kTarget, u"copy", kSource, u"Blob", true, true));
    EXPECT_EQ(sk::RegGetValue(kTarget, u"Copy")->data, large_);
    EXPECT_EQ(sk::RegValueNames(kTarget), (std::vector<std::u16string>{ u"COPY" }));
    EXPECT_FALSE(sk::RegGetValue(kSource, u"Blob").has_value());
}

TEST_F(ValueOperationsTest, AMissingSourceValueFailsAndCreatesNothing)
{
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  SetKeyValue(kTarget, u"X", kSource, u"Missing", true, false));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  SetKeyValue(kTarget, u"X", kSystem + u"\\NoKey", u"X", true, false));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\Vendor"));
}

TEST_F(ValueOperationsTest, AValueMovedOrRenamedOntoItselfStays)
{
    auto before = Tree(kSource);
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS,
                  SetKeyValue(kSource, u"BLOB", kSource, u"Blob", false, true));
    EXPECT_STATUS(STATUS_SUCCESS, SetKeyValue(kSource, u"BLOB", kSource, u"Blob", true, true));
    EXPECT_STATUS(STATUS_SUCCESS,
                  SetKeyValue(kSystem + u"\\source", u"blob", kSource, u"Blob", true, true))
        << "the same key under another spelling";
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, RenameValue(kSource, u"Blob", u"BLOB", false));
    EXPECT_STATUS(STATUS_SUCCESS, RenameValue(kSource, u"Blob", u"blob", true));
    EXPECT_EQ(Tree(kSource), before);
}

TEST_F(ValueOperationsTest, DeleteKeyValueIsDoneOnceTheValueOrItsKeyIsGone)
{
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKeyValue(kSource, u"blob"));
    EXPECT_FALSE(sk::RegGetValue(kSource, u"Blob").has_value());
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKeyValue(kSource, u"Blob"));
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKeyValue(kSystem + u"\\NoKey", u"Blob"));
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKeyValue(kSource, u""));
    EXPECT_FALSE(sk::RegGetValue(kSource, u"").has_value());
}

TEST_F(ValueOperationsTest, RenameValueMovesTheValueToItsNewName)
{
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, RenameValue(kSource, u"Missing", u"New", true));
    sk::RegSetDword(kSource, u"Taken", 3);
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, RenameValue(kSource, u"Blob", u"taken", false));
    EXPECT_EQ(sk::RegGetValue(kSource, u"Taken")->type, (ULONG)REG_DWORD);

    EXPECT_STATUS(STATUS_SUCCESS, RenameValue(kSource, u"Blob", u"taken", true));
    EXPECT_EQ(sk::RegGetValue(kSource, u"Taken")->data, large_);
    EXPECT_FALSE(sk::RegGetValue(kSource, u"Blob").has_value());
}

TEST_F(ValueOperationsTest, AnExistsTestThatSaysNeitherFailsBeforeAnythingIsWritten)
{
    sk::FailCall("ZwQueryValueKey", 3, STATUS_ACCESS_DENIED);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, SetKeyValue(kTarget, u"X", kSource, u"Blob", true, true));
    EXPECT_FALSE(sk::RegGetValue(kTarget, u"X").has_value());
    EXPECT_TRUE(sk::RegGetValue(kSource, u"Blob").has_value());

    sk::ClearFaults();
    sk::FailCall("ZwQueryValueKey", 3, STATUS_ACCESS_DENIED);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, RenameValue(kSource, u"Blob", u"New", true));
    EXPECT_FALSE(sk::RegGetValue(kSource, u"New").has_value());
}

TEST_F(ValueOperationsTest, AFailedWriteKeepsTheSourceValue)
{
    sk::FailCall("ZwSetValueKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                  SetKeyValue(kTarget, u"X", kSource, u"Blob", true, true));
    EXPECT_EQ(sk::RegGetValue(kSource, u"Blob")->data, large_);
    sk::ClearFaults();
    sk::FailCall("ZwSetValueKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, RenameValue(kSource, u"Blob", u"New", true));
    EXPECT_EQ(sk::RegGetValue(kSource, u"Blob")->data, large_);
}

TEST_F(ValueOperationsTest, ChangesWaitForAHiveTheSystemLoaded)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(kSoftware));
    EXPECT_STATUS(STATUS_FAIL_CHECK, SetKeyValue(kTarget, u"X", kSource, u"Blob", true, false));
    EXPECT_STATUS(STATUS_FAIL_CHECK, SetKeyValue(kSource, u"X", kTarget, u"Blob", true, true));
    EXPECT_STATUS(STATUS_FAIL_CHECK, DeleteKeyValue(kTarget, u"X"));
    EXPECT_STATUS(STATUS_FAIL_CHECK, RenameValue(kTarget, u"X", u"Y", true));
    EXPECT_TRUE(sk::RegGetValue(kSource, u"Blob").has_value());
    EXPECT_TRUE(IsListEmpty(&context_.TemporaryHiveList));
}

} // namespace
