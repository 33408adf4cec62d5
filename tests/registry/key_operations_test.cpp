/*
 * key_operations_test.cpp - CreateKey, DeleteKey, CopyKey, MoveKey and
 * RenameKey: exact statuses and the exact trees they leave, targets inside
 * their sources, moves that fail part way, deep trees, and the hive rules
 * for keys that are read or changed.
 */
#include "tests/registry/registry_fixture.h"

#include "simkernel/hive_load.h"
#include "simkernel/objects.h"

#include <algorithm>

namespace {

using qtest::kSoftware;
using qtest::kSystem;

const std::u16string kVendor = kSystem + u"\\Vendor";

class KeyOperationsTest : public qtest::RegistryTest {};

TEST_F(KeyOperationsTest, CreateKeyCreatesEveryMissingLevelAndLeavesAnExistingKeyAlone)
{
    sk::RegCreateKey(kVendor);
    EXPECT_STATUS(STATUS_SUCCESS, CreateKey(kVendor + u"\\A\\B\\C\\D\\E"));
    EXPECT_TRUE(sk::RegKeyExists(kVendor + u"\\A\\B\\C\\D\\E"));
    EXPECT_EQ(sk::RegKeyPath(kVendor + u"\\a\\b\\c\\d\\e"), kVendor + u"\\A\\B\\C\\D\\E");

    sk::RegSetDword(kVendor + u"\\A", u"Keep", 1);
    auto before = Tree(kVendor);
    auto stamp = sk::RegLastWriteTime(kVendor + u"\\A");
    EXPECT_STATUS(STATUS_SUCCESS, CreateKey(kVendor + u"\\a"));
    EXPECT_EQ(Tree(kVendor), before);
    EXPECT_EQ(sk::RegLastWriteTime(kVendor + u"\\A"), stamp);
}

TEST_F(KeyOperationsTest, ChangesWaitForAHiveTheSystemLoaded)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(kSoftware));
    EXPECT_STATUS(STATUS_FAIL_CHECK, CreateKey(kSoftware + u"\\Vendor"));
    EXPECT_STATUS(STATUS_FAIL_CHECK, DeleteKey(kSoftware + u"\\Vendor", true));
    EXPECT_STATUS(STATUS_FAIL_CHECK, MoveKey(kSoftware + u"\\Vendor", kVendor, false));
    EXPECT_STATUS(STATUS_FAIL_CHECK, RenameKey(kSoftware + u"\\Vendor", u"New", false));
    sk::RegCreateKey(kVendor);
    EXPECT_STATUS(STATUS_FAIL_CHECK, CopyKey(kVendor, kSoftware + u"\\Vendor", false))
        << "the target must lie in a loaded hive";
    EXPECT_FALSE(sk::RegKeyExists(kSoftware));
    EXPECT_TRUE(IsListEmpty(&context_.TemporaryHiveList)) << "no change mounts a hive";
}

TEST_F(KeyOperationsTest, DeleteKeyOfAMissingKeySucceeds)
{
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKey(kVendor + u"\\Nothing", true));
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKey(kVendor + u"\\Nothing", false));
}

TEST_F(KeyOperationsTest, RecursiveDeleteRemovesTheWholeTree)
{
    LayOutSample(kVendor + u"\\Tree");
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKey(kVendor + u"\\TREE", true));
    EXPECT_FALSE(sk::RegKeyExists(kVendor + u"\\Tree"));
    EXPECT_TRUE(sk::RegKeyExists(kVendor));
}

TEST_F(KeyOperationsTest, FlatDeleteOfAKeyWithSubkeysEmptiesItsValuesAndFails)
{
    LayOutSample(kVendor + u"\\Tree");
    EXPECT_STATUS(STATUS_CANNOT_DELETE, DeleteKey(kVendor + u"\\Tree", false));
    EXPECT_TRUE(sk::RegValueNames(kVendor + u"\\Tree").empty());
    EXPECT_EQ(sk::RegSubkeys(kVendor + u"\\Tree"), (std::vector<std::u16string>{ u"Other", u"Sub" }));
    EXPECT_EQ(sk::RegValueNames(kVendor + u"\\Tree\\Sub"), (std::vector<std::u16string>{ u"List" }));

    sk::RegCreateKey(kVendor + u"\\Leaf");
    sk::RegSetDword(kVendor + u"\\Leaf", u"V", 1);
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKey(kVendor + u"\\Leaf", false));
    EXPECT_FALSE(sk::RegKeyExists(kVendor + u"\\Leaf"));
}

TEST_F(KeyOperationsTest, RecursiveDeleteThatMeetsAnUndeletableKeyRemovesEverythingElse)
{
    LayOutSample(kVendor + u"\\Tree");
    /* A hive root cannot be deleted. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kVendor + u"\\Tree\\Sub\\Pinned", u"PINNED"));
    sk::RegSetDword(kVendor + u"\\Tree\\Sub\\Pinned", u"V", 1);

    EXPECT_STATUS(STATUS_CANNOT_DELETE, DeleteKey(kVendor + u"\\Tree", true));
    EXPECT_EQ(Tree(kVendor + u"\\Tree"),
              (std::vector<std::string>{ "key ", "key \\Sub", "key \\Sub\\Pinned" }))
        << "the keys on the way to it are emptied, the rest is gone";
    ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(kVendor + u"\\Tree\\Sub\\Pinned"));
}

TEST_F(KeyOperationsTest, CopyKeyCopiesEveryLevelExactly)
{
    LayOutSample(kVendor + u"\\Tree");
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(kVendor + u"\\Tree", kSoftware + u"\\New\\Copy", false));
    EXPECT_EQ(Tree(kSoftware + u"\\New\\Copy"), Tree(kVendor + u"\\Tree"));
    EXPECT_EQ(sk::RegSubkeys(kSoftware + u"\\New\\Copy"),
              (std::vector<std::u16string>{ u"Other", u"Sub" }));
    EXPECT_EQ(sk::RegGetValue(kSoftware + u"\\New\\Copy", u"Large")->data.size(), 70000u);
}

TEST_F(KeyOperationsTest, CopyKeyOntoAnExistingTargetCopiesOnlyWhenToldTo)
{
    const std::u16string target = kSoftware + u"\\Target";
    LayOutSample(kVendor + u"\\Tree");
    sk::RegCreateKey(target + u"\\OnlyHere");
    sk::RegSetDword(target, u"COUNT", 99);
    sk::RegSetDword(target, u"Mine", 5);
    auto before = Tree(target);

    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, CopyKey(kVendor + u"\\Tree", target, false));
    EXPECT_EQ(Tree(target), before);

    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(kVendor + u"\\Tree", target, true));
    EXPECT_EQ(sk::RegGetValue(target, u"Count")->data, sk::RegGetValue(kVendor + u"\\Tree", u"Count")->data)
        << "a value of the same name, in any case, is replaced";
    EXPECT_EQ(sk::RegValueNames(target).size(), 5u);
    EXPECT_TRUE(sk::RegGetValue(target, u"Mine").has_value());
    EXPECT_TRUE(sk::RegKeyExists(target + u"\\OnlyHere"));
    EXPECT_TRUE(sk::RegKeyExists(target + u"\\Sub\\Deeper"));
}

TEST_F(KeyOperationsTest, ATargetInsideItsSourceIsRefusedBeforeAnythingChanges)
{
    LayOutSample(kVendor + u"\\Tree");
    auto before = Tree(kVendor);
    for (const std::u16string &target :
         { kVendor + u"\\Tree\\Sub\\Copy", kVendor + u"\\tree\\New\\Deep", kVendor + u"\\TREE\\Other" }) {
        SCOPED_TRACE(qtest::U8(target));
        EXPECT_STATUS(STATUS_INVALID_PARAMETER, CopyKey(kVendor + u"\\Tree", target, true));
        EXPECT_STATUS(STATUS_INVALID_PARAMETER, MoveKey(kVendor + u"\\Tree", target, true));
        EXPECT_EQ(Tree(kVendor), before);
    }
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RenameKey(kVendor + u"\\Tree", u"Tree\\Inner", true));
    EXPECT_EQ(Tree(kVendor), before);

    /* Names are compared on component boundaries. */
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(kVendor + u"\\Tree", kVendor + u"\\TreeCopy", false));
    EXPECT_EQ(Tree(kVendor + u"\\TreeCopy"), Tree(kVendor + u"\\Tree"));
}

/* Where the target lies is worked out before anything is created, and
 * its failures are the copy's: a target of which no part exists, one whose
 * resolved name is longer than a counted string, and no memory for the
 * resolved name. */
TEST_F(KeyOperationsTest, TheCheckOfWhereATargetLiesFailsTheCopyWithItsOwnStatus)
{
    LayOutSample(kVendor + u"\\Tree");
    auto before = Tree(kVendor);
    /* No hive holds it: it waits, as any change outside a loaded hive. */
    EXPECT_STATUS(STATUS_FAIL_CHECK, CopyKey(kVendor + u"\\Tree", u"\\Nowhere\\Key", false));

    /* Components a key may bear, 32767 characters in all. */
    std::u16string deep = kVendor;
    while (deep.size() < 32767)
        deep += u"\\" + std::u16string(std::min<size_t>(199, 32767 - deep.size() - 1), u'k');
    ASSERT_EQ(deep.size(), 32767u);
    EXPECT_STATUS(STATUS_NAME_TOO_LONG, CopyKey(kVendor + u"\\Tree", deep, false));
    EXPECT_EQ(Tree(kVendor), before);

    /* The source's name, the deepest existing key's name, then the
     * resolved name: the third allocation. */
    sk::ClearFaults();
    sk::FailAllocation(3);
    EXPECT_STATUS(STATUS_NO_MEMORY, CopyKey(kVendor + u"\\Tree", kVendor + u"\\Copy", false));
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    sk::ClearFaults();
    EXPECT_EQ(Tree(kVendor), before);
}

TEST_F(KeyOperationsTest, AKeyMovedOrCopiedOntoItselfStaysAsItWas)
{
    LayOutSample(kVendor + u"\\Tree");
    auto before = Tree(kVendor);
    EXPECT_STATUS(STATUS_SUCCESS, MoveKey(kVendor + u"\\Tree", kVendor + u"\\tree", false));
    EXPECT_STATUS(STATUS_SUCCESS, MoveKey(kVendor + u"\\Tree", kVendor + u"\\Tree", true));
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(kVendor + u"\\Tree", kVendor + u"\\TREE", true));
    EXPECT_STATUS(STATUS_SUCCESS, RenameKey(kVendor + u"\\Tree", u"Tree", true));
    EXPECT_EQ(Tree(kVendor), before);
}

TEST_F(KeyOperationsTest, MoveKeyMovesTheTreeAndDeletesTheSource)
{
    LayOutSample(kVendor + u"\\Tree");
    auto original = Tree(kVendor + u"\\Tree");
    EXPECT_STATUS(STATUS_SUCCESS, MoveKey(kVendor + u"\\Tree", kSoftware + u"\\A\\Moved", false));
    EXPECT_FALSE(sk::RegKeyExists(kVendor + u"\\Tree"));
    EXPECT_EQ(Tree(kSoftware + u"\\A\\Moved"), original);

    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, MoveKey(kVendor + u"\\Tree", kVendor + u"\\X", true));
    EXPECT_FALSE(sk::RegKeyExists(kVendor + u"\\X")) << "nothing is created for a missing source";
}

TEST_F(KeyOperationsTest, MoveKeyOntoAnExistingTargetWithoutOverwriteKeepsBoth)
{
    LayOutSample(kVendor + u"\\Tree");
    sk::RegCreateKey(kSoftware + u"\\Existing");
    auto source = Tree(kVendor + u"\\Tree");
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, MoveKey(kVendor + u"\\Tree", kSoftware + u"\\Existing", false));
    EXPECT_EQ(Tree(kVendor + u"\\Tree"), source);
    EXPECT_EQ(Tree(kSoftware + u"\\Existing"), (std::vector<std::string>{ "key " }));
}

TEST_F(KeyOperationsTest, AMoveThatFailsPartWayKeepsItsSourceWhole)
{
    LayOutSample(kVendor + u"\\Tree");
    auto source = Tree(kVendor + u"\\Tree");
    /* The fourth value written is in a subkey, after the top level went. */
    sk::FailCall("ZwSetValueKey", 5, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                  MoveKey(kVendor + u"\\Tree", kSoftware + u"\\Moved", false));
    EXPECT_EQ(Tree(kVendor + u"\\Tree"), source);
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\Moved")) << "the target keeps what was copied";

    /* A plain copy leaves the failed subkey out and goes on. */
    sk::ClearFaults();
    sk::FailCall("ZwSetValueKey", 5, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(kVendor + u"\\Tree", kSoftware + u"\\Copied", false));
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\Copied\\Other"));
}

TEST_F(KeyOperationsTest, RenameKeyWithoutTheKernelRoutineCopiesToTheSiblingAndDeletes)
{
    LayOutSample(kVendor + u"\\Tree");
    auto original = Tree(kVendor + u"\\Tree");
    EXPECT_STATUS(STATUS_SUCCESS, RenameKey(kVendor + u"\\Tree", u"Renamed", false));
    EXPECT_FALSE(sk::RegKeyExists(kVendor + u"\\Tree"));
    EXPECT_EQ(Tree(kVendor + u"\\Renamed"), original);

    sk::RegCreateKey(kVendor + u"\\Taken");
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, RenameKey(kVendor + u"\\Renamed", u"Taken", false));
    EXPECT_TRUE(sk::RegKeyExists(kVendor + u"\\Renamed"));
}

TEST_F(KeyOperationsTest, AChangeOfCaseAloneNeedsTheKernelsRename)
{
    LayOutSample(kVendor + u"\\Tree");
    auto before = Tree(kVendor);
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, RenameKey(kVendor + u"\\Tree", u"TREE", false));
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, RenameKey(kVendor + u"\\Tree", u"tree", true));
    EXPECT_EQ(Tree(kVendor), before) << "never copied onto itself and deleted";
}

/* A key's full name is read whole up to the longest counted string, and
 * refused one character beyond. */
TEST_F(KeyOperationsTest, KeyNamesUpToTheLongestCountedStringAreRead)
{
    const size_t longest = QELMBAR_MAX_STRING_BYTES / sizeof(WCHAR);
    std::u16string path = kSystem;
    while (path.size() + 1 + 255 < longest)
        path += u"\\" + std::u16string(255, u'k');
    path += u"\\" + std::u16string(longest - path.size() - 1, u'k');
    ASSERT_EQ(path.size(), longest);
    sk::RegCreateKey(path);
    sk::RegCreateKey(path + u"m");

    for (const std::u16string &name : { path, path + u"m" }) {
        UNICODE_STRING counted = qtest::Counted(name);
        OBJECT_ATTRIBUTES attributes;
        HANDLE key = nullptr;
        InitializeKeyAttributes(&attributes, &counted, nullptr, REGISTRY_KEY_ATTRIBUTES);
        ASSERT_STATUS(STATUS_SUCCESS, ZwOpenKey(&key, KEY_READ, &attributes));
        UNICODE_STRING read = { 0, 0, nullptr };
        NTSTATUS status = QueryKeyName(key, &read);
        if (name.size() == longest) {
            EXPECT_STATUS(STATUS_SUCCESS, status);
            EXPECT_EQ(read.Length, QELMBAR_MAX_STRING_BYTES);
        } else {
            EXPECT_STATUS(STATUS_NAME_TOO_LONG, status);
        }
        FreeKeyName(&read);
        ZwClose(key);
    }
}

TEST_F(KeyOperationsTest, TreesAsDeepAsTheRegistryAllowsAreHandledAndDeeperOnesRefused)
{
    /* The registry nests keys at most 512 levels deep from \REGISTRY, so
     * the deepest tree below a key is bounded by the registry before the
     * driver's own bound of KEY_TREE_MAX_DEPTH levels. */
    auto depthOf = [](const std::u16string &path) {
        return (ULONG)std::count(path.begin(), path.end(), u'\\');
    };
    const std::u16string deep = kVendor + u"\\Deep";
    const ULONG levels = 512 - depthOf(deep);
    ASSERT_LT(levels, KEY_TREE_MAX_DEPTH);
    std::u16string path = deep;
    for (ULONG i = 0; i < levels; i++)
        path += u"\\k";
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(path));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(path, u"Bottom", levels));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, sk::RegCreateKey(path + u"\\k"));
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(deep, kVendor + u"\\Copy", false));
    EXPECT_EQ(Tree(kVendor + u"\\Copy"), Tree(deep));
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKey(deep, true));
    EXPECT_FALSE(sk::RegKeyExists(deep));
    sk::RegDeleteTree(kVendor);
}

/* A hive that is not loaded yet, with its file on C: reached through the
 * driver's system-root link. */
class UnloadedHiveTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(kSoftware));
        Write('C', "Windows/System32/config/SOFTWARE", "regf");
        ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\QelmbarSystemRoot",
                                                              u"\\Device\\HarddiskVolume1\\Windows"));
        sk::SetHiveFileReader([](const std::string &, std::vector<sk::HiveFileKey> *keys) {
            keys->push_back({ u"", {} });
            keys->push_back({ u"Vendor", { { u"Version", REG_SZ, { '1', 0, 0, 0 } } } });
            keys->push_back({ u"Vendor\\Sub", { { u"N", REG_DWORD, { 2, 0, 0, 0 } } } });
            return STATUS_SUCCESS;
        });
    }
    void TearDown() override
    {
        qtest::RegistryTest::TearDown();
        sk::SetHiveFileReader(nullptr);
    }
};

TEST_F(UnloadedHiveTest, ACopyOutOfAHiveNotLoadedYetReadsItThroughATemporaryMount)
{
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(kSoftware + u"\\Vendor", kVendor, false));
    EXPECT_EQ(sk::RegGetValue(kVendor, u"Version")->data, (std::vector<uint8_t>{ '1', 0, 0, 0 }));
    EXPECT_EQ(sk::RegGetValue(kVendor + u"\\Sub", u"N")->type, (ULONG)REG_DWORD);
    EXPECT_STATUS(STATUS_FAIL_CHECK, CopyKey(kSoftware + u"\\Vendor", kSoftware + u"\\Copy", false))
        << "the hive there is the driver's own mount";
    EXPECT_STATUS(STATUS_FAIL_CHECK, DeleteKey(kSoftware + u"\\Vendor", true));

    UnloadTemporaryHives(&context_.TemporaryHiveList);
    EXPECT_TRUE(IsListEmpty(&context_.TemporaryHiveList));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware));
    EXPECT_TRUE(sk::LoadedHives().empty());
}

/* A move deletes its source, so it may take it only from a hive the system
 * loaded: from a hive not loaded yet, or from the driver's own read-only
 * mount of it, the move waits for the deferred run and changes nothing.
 * So does the deletion of a value there. */
TEST_F(UnloadedHiveTest, AMoveOrADeletionInAHiveTheSystemHasNotLoadedWaits)
{
    EXPECT_STATUS(STATUS_FAIL_CHECK, MoveKey(kSoftware + u"\\Vendor", kVendor, false));
    EXPECT_FALSE(sk::RegKeyExists(kVendor));
    EXPECT_STATUS(STATUS_FAIL_CHECK, DeleteKeyValue(kSoftware + u"\\Vendor", u"Version"));
    EXPECT_TRUE(sk::LoadedHives().empty()) << "nothing was mounted for them";

    ASSERT_STATUS(STATUS_SUCCESS, CopyKey(kSoftware + u"\\Vendor", kVendor, false));
    EXPECT_STATUS(STATUS_FAIL_CHECK,
                  MoveKey(kSoftware + u"\\Vendor", kSystem + u"\\Moved", false))
        << "SOFTWARE is mounted now, but only by the driver, for reading";
    EXPECT_FALSE(sk::RegKeyExists(kSystem + u"\\Moved"));
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\Vendor\\Sub"));
    EXPECT_STATUS(STATUS_FAIL_CHECK, DeleteKeyValue(kSoftware + u"\\Vendor", u"Version"));
    EXPECT_TRUE(sk::RegGetValue(kSoftware + u"\\Vendor", u"Version").has_value());

    UnloadTemporaryHives(&context_.TemporaryHiveList);
    EXPECT_TRUE(IsListEmpty(&context_.TemporaryHiveList));
}

} // namespace

namespace {

class KeyLinkTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        LayOutSample(kVendor + u"\\Tree");
        sk::RegCreateKey(kSystem + u"\\Elsewhere\\Child");
        sk::RegSetDword(kSystem + u"\\Elsewhere", u"Precious", 1);
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegCreateLink(kVendor + u"\\Tree\\Sub\\Link", kSystem + u"\\Elsewhere"));
        elsewhere_ = Tree(kSystem + u"\\Elsewhere");
    }
    std::vector<std::string> elsewhere_;
};

TEST_F(KeyLinkTest, ARecursiveDeleteRemovesTheLinkAndNotWhatItPointsTo)
{
    EXPECT_STATUS(STATUS_SUCCESS, DeleteKey(kVendor + u"\\Tree", true));
    EXPECT_FALSE(sk::RegKeyExists(kVendor + u"\\Tree"));
    EXPECT_EQ(Tree(kSystem + u"\\Elsewhere"), elsewhere_);
}

TEST_F(KeyLinkTest, ACopyLeavesTheLinkOutAndAMoveKeepsItsSource)
{
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(kVendor + u"\\Tree", kSoftware + u"\\Copy", false));
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\Copy\\Sub\\Deeper"));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\Copy\\Sub\\Link"));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\Copy\\Sub\\Link\\Child")) << "never followed";

    EXPECT_STATUS(STATUS_NOT_SUPPORTED, MoveKey(kVendor + u"\\Tree", kSoftware + u"\\Moved", false));
    EXPECT_TRUE(sk::RegLinkTarget(kVendor + u"\\Tree\\Sub\\Link").has_value());
    EXPECT_TRUE(sk::RegGetValue(kVendor + u"\\Tree", u"Large").has_value()) << "the source stays whole";
    EXPECT_EQ(Tree(kSystem + u"\\Elsewhere"), elsewhere_);
}

/* A copy onto a target that holds a link where the source has a key
 * writes into the link key itself, never through it. */
TEST_F(KeyLinkTest, ACopyOntoALinkInItsTargetNeverWritesThroughIt)
{
    sk::RegCreateKey(kVendor + u"\\Src\\Link");
    sk::RegSetDword(kVendor + u"\\Src\\Link", u"Written", 1);
    const NTSTATUS status = CopyKey(kVendor + u"\\Src", kVendor + u"\\Tree\\Sub", true);
    EXPECT_STATUS(STATUS_SUCCESS, status);
    EXPECT_EQ(Tree(kSystem + u"\\Elsewhere"), elsewhere_);
    EXPECT_TRUE(sk::RegLinkTarget(kVendor + u"\\Tree\\Sub\\Link").has_value());
}

/* A key is a link because it was created as one, not because it holds a
 * REG_LINK value named "SymbolicLinkValue": such an ordinary key is copied,
 * moved and deleted like any other, beside a real link that is not. */
class LinkValueKeyTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        const std::u16string target = u"\\REGISTRY\\MACHINE\\SYSTEM\\Elsewhere";
        std::vector<uint8_t> data((const uint8_t *)target.data(),
                                  (const uint8_t *)(target.data() + target.size()));
        sk::RegCreateKey(kSystem + u"\\Elsewhere");
        sk::RegCreateKey(kNotALink + u"\\Child");
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(kNotALink, u"SymbolicLinkValue", REG_LINK, data));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kNotALink, u"Count", 7));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kNotALink + u"\\Child", u"Inner", 9));
        notALink_ = Tree(kNotALink);
    }
    const std::u16string kTree = kSystem + u"\\T\\C";
    const std::u16string kNotALink = kTree + u"\\NotALink";
    std::vector<std::string> notALink_;
};

TEST_F(LinkValueKeyTest, ACopyTakesTheKeyWithItsValuesAndSubkeyAndStillLeavesRealLinksOut)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateLink(kTree + u"\\RealLink", kSystem + u"\\Elsewhere"));
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(kTree, kSystem + u"\\T\\Ccopy", false));
    EXPECT_EQ(Tree(kSystem + u"\\T\\Ccopy\\NotALink"), notALink_);
    auto copied = sk::RegGetValue(kSystem + u"\\T\\Ccopy\\NotALink", u"SymbolicLinkValue");
    ASSERT_TRUE(copied.has_value());
    EXPECT_EQ(copied->type, (ULONG)REG_LINK);
    EXPECT_FALSE(sk::RegLinkTarget(kSystem + u"\\T\\Ccopy\\NotALink").has_value()) << "no link made";
    EXPECT_FALSE(sk::RegKeyExists(kSystem + u"\\T\\Ccopy\\RealLink"));
}

TEST_F(LinkValueKeyTest, AMoveAndADeleteTreatItAsAnyOtherKey)
{
    EXPECT_STATUS(STATUS_SUCCESS, MoveKey(kTree, kSystem + u"\\T\\Moved", false));
    EXPECT_FALSE(sk::RegKeyExists(kTree));
    EXPECT_EQ(Tree(kSystem + u"\\T\\Moved\\NotALink"), notALink_);

    EXPECT_STATUS(STATUS_SUCCESS, DeleteKey(kSystem + u"\\T\\Moved", true));
    EXPECT_FALSE(sk::RegKeyExists(kSystem + u"\\T\\Moved"));
    EXPECT_TRUE(sk::RegKeyExists(kSystem + u"\\Elsewhere")) << "the value's target is untouched";
}

/* A link whose target is missing opens to nothing the ordinary way: still
 * a link, so a copy leaves it out and a move keeps its source. */
TEST_F(LinkValueKeyTest, ALinkToAMissingKeyIsStillALink)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateLink(kTree + u"\\Dangling", kSystem + u"\\Nowhere"));
    /* Also one whose target's parent is missing outside the registry. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateLink(kTree + u"\\Astray", u"\\Nowhere\\Deeper"));
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(kTree, kSystem + u"\\T\\Ccopy", false));
    EXPECT_FALSE(sk::RegKeyExists(kSystem + u"\\T\\Ccopy\\Dangling"));
    EXPECT_FALSE(sk::RegKeyExists(kSystem + u"\\T\\Ccopy\\Astray"));
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, MoveKey(kTree, kSystem + u"\\T\\Moved", false));
    EXPECT_TRUE(sk::RegLinkTarget(kTree + u"\\Dangling").has_value());
    EXPECT_EQ(Tree(kNotALink), notALink_) << "the source stays whole";
}

TEST_F(KeyLinkTest, TargetsAreComparedThroughLinks)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetUpControlSets(1));
    const std::u16string services = kSystem + u"\\ControlSet001\\Services";
    LayOutSample(services + u"\\Svc");
    auto before = Tree(kSystem + u"\\ControlSet001");
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  CopyKey(kSystem + u"\\CurrentControlSet\\Services\\Svc", services + u"\\Svc\\Sub\\X", false));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  MoveKey(services + u"\\Svc", kSystem + u"\\CurrentControlSet\\Services\\svc\\New", true));
    EXPECT_STATUS(STATUS_SUCCESS,
                  MoveKey(kSystem + u"\\CurrentControlSet\\Services\\Svc", services + u"\\SVC", false))
        << "the same key under two names";
    EXPECT_EQ(Tree(kSystem + u"\\ControlSet001"), before);
}

/* With the kernel's rename, as Windows 7 and later export it. */
class KernelRenameTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        UNICODE_STRING name = qtest::Counted(u"ZwRenameKey");
        ZwRenameKeyRoutine = (ZW_RENAME_KEY_ROUTINE)MmGetSystemRoutineAddress(&name);
        ASSERT_NE(ZwRenameKeyRoutine, nullptr);
        LayOutSample(kVendor + u"\\Tree");
        tree_ = Tree(kVendor + u"\\Tree");
    }
    std::vector<std::string> tree_;
};

TEST_F(KernelRenameTest, RenameKeyRenamesInPlace)
{
    HANDLE held = nullptr;
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING path = Keep(kVendor + u"\\Tree\\Sub");
    InitializeKeyAttributes(&attributes, &path, nullptr, REGISTRY_KEY_ATTRIBUTES);
    ASSERT_STATUS(STATUS_SUCCESS, ZwOpenKey(&held, KEY_READ, &attributes));

    EXPECT_STATUS(STATUS_SUCCESS, RenameKey(kVendor + u"\\Tree", u"Renamed", false));
    EXPECT_EQ(Tree(kVendor + u"\\Renamed"), tree_);
    EXPECT_FALSE(sk::RegKeyExists(kVendor + u"\\Tree"));
    UNICODE_STRING name;
    ASSERT_STATUS(STATUS_SUCCESS, QueryKeyName(held, &name));
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), kVendor + u"\\Renamed\\Sub")
        << "the same key, not a copy";
    FreeKeyName(&name);
    ZwClose(held);
}

TEST_F(KernelRenameTest, ATakenNameFallsBackToTheMoveAndItsOverwriteRule)
{
    sk::RegCreateKey(kVendor + u"\\Taken\\Own");
    EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, RenameKey(kVendor + u"\\Tree", u"taken", false));
    EXPECT_EQ(Tree(kVendor + u"\\Tree"), tree_);
    EXPECT_STATUS(STATUS_SUCCESS, RenameKey(kVendor + u"\\Tree", u"taken", true));
    EXPECT_FALSE(sk::RegKeyExists(kVendor + u"\\Tree"));
    EXPECT_TRUE(sk::RegKeyExists(kVendor + u"\\Taken\\Own"));
    EXPECT_TRUE(sk::RegKeyExists(kVendor + u"\\Taken\\Sub\\Deeper"));
}

TEST_F(KernelRenameTest, AChangeOfCaseTheKernelRefusesChangesNothing)
{
    auto before = Tree(kVendor);
    NTSTATUS status = RenameKey(kVendor + u"\\Tree", u"TREE", true);
    if (NT_SUCCESS(status)) {
        EXPECT_EQ(sk::RegSubkeys(kVendor), (std::vector<std::u16string>{ u"TREE" }));
    } else {
        EXPECT_STATUS(STATUS_CANNOT_DELETE, status) << "the kernel's own answer";
        EXPECT_EQ(Tree(kVendor), before);
    }
    EXPECT_EQ(Tree(kVendor + u"\\Tree"), tree_);
}

} // namespace
