/*
 * registry_link_test.cpp - link keys in the simulated registry (creation,
 * their one value, following them anywhere in a name, OBJ_OPENLINK,
 * chains and the reparse limit, CurrentControlSet), renaming keys in place
 * with ZwRenameKey, and the kernel exports MmGetSystemRoutineAddress finds.
 */
#include "simkernel/registry.h"
#include "tests/support/kernel_test.h"
#include "tests/support/nt_objects.h"

#include <memory>
#include <string>
#include <vector>

namespace {

const std::u16string kMachine = u"\\REGISTRY\\MACHINE";
const std::u16string kTest = u"\\REGISTRY\\MACHINE\\Test";
const std::u16string kLinkValue = u"SymbolicLinkValue";

using qtest::OneViolation;
using qtest::ViolationsDuring;

using Name = qtest::OwnedName;
using Key = qtest::ScopedHandle;

NTSTATUS Open(Key &key, const std::u16string &name, ULONG attributes = 0, HANDLE root = nullptr,
              ACCESS_MASK access = KEY_ALL_ACCESS)
{
    Name n(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, n.get(), OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE | attributes,
                               root, nullptr);
    return ZwOpenKey(key.out(), access, &oa);
}

NTSTATUS Create(Key &key, const std::u16string &name, ULONG options = 0, ULONG attributes = 0,
                ULONG *disposition = nullptr, HANDLE root = nullptr)
{
    Name n(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, n.get(), OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE | attributes,
                               root, nullptr);
    return ZwCreateKey(key.out(), KEY_ALL_ACCESS, &oa, 0, nullptr, options, disposition);
}

NTSTATUS SetValue(HANDLE key, const std::u16string &name, ULONG type, const std::u16string &text)
{
    Name n(name);
    return ZwSetValueKey(key, n.get(), 0, type, text.empty() ? nullptr : (PVOID)text.data(),
                         (ULONG)(text.size() * sizeof(WCHAR)));
}

/* Creates a link key through ZwCreateKey and sets its target. */
NTSTATUS MakeLink(const std::u16string &path, const std::u16string &target,
                  ULONG options = REG_OPTION_VOLATILE)
{
    Key link;
    ULONG disposition = 0;
    NTSTATUS status = Create(link, path, REG_OPTION_CREATE_LINK | options, 0, &disposition);
    if (!NT_SUCCESS(status))
        return status;
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    return SetValue(link.get(), kLinkValue, REG_LINK, target);
}

std::u16string QueryPath(HANDLE key)
{
    alignas(8) uint8_t buffer[2048];
    ULONG length = 0;
    EXPECT_STATUS(STATUS_SUCCESS,
                  ZwQueryKey(key, KeyNameInformation, buffer, sizeof(buffer), &length));
    auto *info = reinterpret_cast<KEY_NAME_INFORMATION *>(buffer);
    return std::u16string(info->Name, info->NameLength / sizeof(WCHAR));
}

/* Whether the key has a value of that name. */
bool HasValue(HANDLE key, const std::u16string &name)
{
    Name n(name);
    alignas(8) uint8_t buffer[512];
    ULONG length = 0;
    return NT_SUCCESS(
        ZwQueryValueKey(key, n.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length));
}

std::u16string EnumeratedName(HANDLE key, ULONG index)
{
    alignas(8) uint8_t buffer[1024];
    ULONG length = 0;
    EXPECT_STATUS(STATUS_SUCCESS,
                  ZwEnumerateKey(key, index, KeyBasicInformation, buffer, sizeof(buffer), &length));
    auto *info = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
    return std::u16string(info->Name, info->NameLength / sizeof(WCHAR));
}

class RegistryLinkTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        qtest::KernelTest::SetUp();
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\Target\\Sub"));
    }
    const std::u16string target_ = kTest + u"\\Target";
    const std::u16string link_ = kTest + u"\\Link";
};

/* ---- creating links ------------------------------------------------- */

TEST_F(RegistryLinkTest, ALinkKeyTakesOnlyItsTargetValue)
{
    Key link;
    ASSERT_STATUS(STATUS_SUCCESS, Create(link, link_, REG_OPTION_CREATE_LINK));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, SetValue(link.get(), kLinkValue, REG_SZ, target_));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, SetValue(link.get(), u"Other", REG_LINK, target_));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, SetValue(link.get(), u"", REG_LINK, target_));
    EXPECT_STATUS(STATUS_SUCCESS, SetValue(link.get(), u"symboliclinkVALUE", REG_LINK, target_))
        << "the value name is matched ignoring case";
    EXPECT_EQ(sk::RegLinkTarget(link_), target_);
    EXPECT_EQ(sk::RegValueNames(target_).size(), 0u) << "the target is not touched";

    /* A REG_LINK value makes no link of an ordinary key. */
    Key plain;
    ASSERT_STATUS(STATUS_SUCCESS, Create(plain, kTest + u"\\Plain"));
    ASSERT_STATUS(STATUS_SUCCESS, SetValue(plain.get(), kLinkValue, REG_LINK, target_));
    Key again;
    ASSERT_STATUS(STATUS_SUCCESS, Open(again, kTest + u"\\Plain"));
    EXPECT_EQ(QueryPath(again.get()), kTest + u"\\Plain");
    EXPECT_FALSE(sk::RegLinkTarget(kTest + u"\\Plain").has_value());
}

TEST_F(RegistryLinkTest, CreatingALinkWhereAKeyIsCollides)
{
    Key key;
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Create(key, target_, REG_OPTION_CREATE_LINK));
    EXPECT_EQ(key.get(), nullptr);
    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(link_, u"not even absolute"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Create(key, link_, REG_OPTION_CREATE_LINK))
        << "an existing link is not followed";
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, sk::RegCreateLink(link_, target_));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  sk::RegCreateLink(kTest + u"\\none\\Link", target_));
    EXPECT_EQ(sk::RegLinkTarget(link_), u"not even absolute");
}

TEST_F(RegistryLinkTest, ALinkKeyHasNoSubkeys)
{
    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(link_, target_));
    Key link, sub;
    ASSERT_STATUS(STATUS_SUCCESS, Open(link, link_, OBJ_OPENLINK));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Create(sub, u"Sub", 0, 0, nullptr, link.get()))
        << "below the link key itself nothing is created";
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(sub, u"Sub", 0, link.get()))
        << "a name relative to the link key is looked up in the link key";
    EXPECT_TRUE(sk::RegSubkeys(target_ + u"\\Sub").empty());
}

/* ---- following links ------------------------------------------------ */

TEST_F(RegistryLinkTest, NamesGoOnAtTheTargetFromAnyComponent)
{
    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(link_, target_));
    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Open(key, link_));
    EXPECT_EQ(QueryPath(key.get()), target_) << "the key opened is the target";
    key.Close();
    ASSERT_STATUS(STATUS_SUCCESS, Open(key, kTest + u"\\LINK\\\\sub"));
    EXPECT_EQ(QueryPath(key.get()), target_ + u"\\Sub");
    key.Close();

    Key test;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest));
    ASSERT_STATUS(STATUS_SUCCESS, Open(key, u"Link\\Sub", 0, test.get()))
        << "relative names follow links too";
    EXPECT_EQ(QueryPath(key.get()), target_ + u"\\Sub");
    key.Close();

    ULONG disposition = 0;
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, link_ + u"\\New", 0, 0, &disposition));
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    EXPECT_EQ(QueryPath(key.get()), target_ + u"\\New");
    EXPECT_TRUE(sk::RegKeyExists(target_ + u"\\New"));
    key.Close();
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, link_, 0, 0, &disposition));
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(QueryPath(key.get()), target_);
}

TEST_F(RegistryLinkTest, CreatingThroughALinkCreatesItsMissingTarget)
{
    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(link_, kTest + u"\\Later"));
    Key key;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(key, link_));
    EXPECT_EQ(key.get(), nullptr);
    ULONG disposition = 0;
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, link_, 0, 0, &disposition));
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    EXPECT_EQ(QueryPath(key.get()), kTest + u"\\Later");
    key.Close();

    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(kTest + u"\\Deep", kTest + u"\\No\\Such"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Create(key, kTest + u"\\Deep"))
        << "only the target's last component is created";
    EXPECT_FALSE(sk::RegKeyExists(kTest + u"\\No"));
}

TEST_F(RegistryLinkTest, OpenLinkOpensTheLinkAtTheLastComponentOnly)
{
    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(link_, target_));
    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Open(key, link_, OBJ_OPENLINK));
    EXPECT_EQ(QueryPath(key.get()), link_);
    EXPECT_TRUE(HasValue(key.get(), kLinkValue));
    key.Close();
    ULONG disposition = 0;
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, link_, 0, OBJ_OPENLINK, &disposition));
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(QueryPath(key.get()), link_);
    key.Close();

    ASSERT_STATUS(STATUS_SUCCESS, Open(key, link_ + u"\\Sub", OBJ_OPENLINK));
    EXPECT_EQ(QueryPath(key.get()), target_ + u"\\Sub") << "a link before the last is followed";
    key.Close();

    /* The option is the user-mode spelling of OBJ_OPENLINK; NT itself
     * goes by the attribute alone. */
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, link_, REG_OPTION_OPEN_LINK));
    EXPECT_EQ(QueryPath(key.get()), target_);
    EXPECT_FALSE(HasValue(key.get(), kLinkValue));
}

TEST_F(RegistryLinkTest, LinksThatLeadNowhereAreNotFound)
{
    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, kTest + u"\\Bare", REG_OPTION_CREATE_LINK));
    key.Close();
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(key, kTest + u"\\Bare")) << "no target";
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Create(key, kTest + u"\\Bare"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(key, kTest + u"\\Bare\\Sub"));

    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(kTest + u"\\Relative", u"Target"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(key, kTest + u"\\Relative"));

    std::u16string terminated = target_;
    terminated.push_back(u'\0');
    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(kTest + u"\\Terminated", terminated));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(key, kTest + u"\\Terminated"))
        << "a NUL is part of the name, not its end";

    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(kTest + u"\\Device", u"\\Device"));
    EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, Open(key, kTest + u"\\Device"))
        << "a target outside the registry is no key";
    EXPECT_EQ(key.get(), nullptr);
}

TEST_F(RegistryLinkTest, ChainsFollowUpToTheReparseLimit)
{
    /* Link1 -> Target, Link2 -> Link1, ... each one more reparse. */
    std::u16string previous = target_;
    for (int i = 1; i <= 32; i++) {
        const std::u16string link = kTest + u"\\Link" + qtest::U16(std::to_string(i));
        ASSERT_STATUS(STATUS_SUCCESS, MakeLink(link, previous));
        previous = link;
    }
    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Open(key, kTest + u"\\Link31\\Sub"));
    EXPECT_EQ(QueryPath(key.get()), target_ + u"\\Sub");
    key.Close();
    EXPECT_STATUS(STATUS_NAME_TOO_LONG, Open(key, kTest + u"\\Link32"))
        << "the 32nd link followed in one lookup fails it";
    EXPECT_STATUS(STATUS_SUCCESS, Open(key, kTest + u"\\Link32", OBJ_OPENLINK));
    key.Close();

    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(kTest + u"\\Loop", kTest + u"\\Loop\\Deeper"));
    EXPECT_STATUS(STATUS_NAME_TOO_LONG, Open(key, kTest + u"\\Loop"));
    EXPECT_STATUS(STATUS_NAME_TOO_LONG, Create(key, kTest + u"\\Loop\\x"));
    EXPECT_FALSE(sk::RegKeyExists(kTest + u"\\Loop\\x"));
}

TEST_F(RegistryLinkTest, ATargetTooLongForTheRestOfTheNameIsRefused)
{
    /* A target of 32 700 characters, in components of 200. */
    std::u16string target = kTest;
    while (target.size() + 201 <= 32700)
        target += u"\\" + std::u16string(200, u'a');
    target += u"\\" + std::u16string(32700 - target.size() - 1, u'b');
    ASSERT_EQ(target.size(), 32700u);
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateLink(link_, target));
    Key key;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(key, link_)) << "it fits, and is missing";
    EXPECT_STATUS(STATUS_NAME_TOO_LONG, Open(key, link_ + u"\\" + std::u16string(100, u'c')));
}

TEST_F(RegistryLinkTest, EnumerationListsALinkAndDeletionTakesTheKeyTheHandleIsTo)
{
    ASSERT_STATUS(STATUS_SUCCESS, MakeLink(link_, target_));
    Key test;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest));
    EXPECT_EQ(EnumeratedName(test.get(), 0), u"Link");
    EXPECT_EQ(EnumeratedName(test.get(), 1), u"Target");

    Key link, through;
    ASSERT_STATUS(STATUS_SUCCESS, Open(link, link_, OBJ_OPENLINK));
    ASSERT_STATUS(STATUS_SUCCESS, Create(through, link_ + u"\\Leaf"));
    ASSERT_STATUS(STATUS_SUCCESS, ZwDeleteKey(through.get()))
        << "a handle opened through the link is to the target's key";
    EXPECT_FALSE(sk::RegKeyExists(target_ + u"\\Leaf"));
    EXPECT_EQ(sk::RegLinkTarget(link_), target_);

    ASSERT_STATUS(STATUS_SUCCESS, ZwDeleteKey(link.get()));
    EXPECT_EQ(sk::RegSubkeys(kTest), std::vector<std::u16string>{u"Target"});
    EXPECT_TRUE(sk::RegKeyExists(target_ + u"\\Sub")) << "deleting the link leaves its target";
}

TEST_F(RegistryLinkTest, LinksCrossHives)
{
    const std::u16string system = kMachine + u"\\SYSTEM";
    const std::u16string software = kMachine + u"\\SOFTWARE";
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(system, u"SYSTEM"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(software, u"SOFTWARE"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(software + u"\\Vendor"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateLink(system + u"\\Vendor", software + u"\\Vendor"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegMarkHiveClean(system));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegMarkHiveClean(software));

    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, system + u"\\vendor\\App"));
    EXPECT_EQ(QueryPath(key.get()), software + u"\\Vendor\\App");
    EXPECT_EQ(sk::RegHiveOf(system + u"\\Vendor\\App")->name, u"SOFTWARE");
    EXPECT_TRUE(sk::RegHiveOf(software)->dirty);
    EXPECT_FALSE(sk::RegHiveOf(system)->dirty);
}

TEST_F(RegistryLinkTest, TheDirectApiFollowsLinksButDeletesALinkItself)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateLink(link_, target_, true));
    EXPECT_TRUE(sk::RegKeyExists(link_ + u"\\Sub"));
    EXPECT_EQ(*sk::RegKeyPath(link_ + u"\\sub"), target_ + u"\\Sub");
    EXPECT_EQ(sk::RegSubkeys(link_), std::vector<std::u16string>{u"Sub"});
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(link_ + u"\\A\\B"));
    EXPECT_TRUE(sk::RegKeyExists(target_ + u"\\A\\B"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(link_, u"v", 1));
    EXPECT_TRUE(sk::RegGetValue(target_, u"v").has_value()) << "values go to the target";

    EXPECT_FALSE(sk::RegLinkTarget(target_).has_value());
    EXPECT_FALSE(sk::RegLinkTarget(kTest + u"\\none").has_value());
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateLink(kTest + u"\\Bare", u""));
    EXPECT_FALSE(sk::RegKeyExists(kTest + u"\\Bare")) << "followed, it names no key";
    EXPECT_FALSE(sk::RegLinkTarget(kTest + u"\\Bare").has_value());

    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(link_));
    EXPECT_FALSE(sk::RegLinkTarget(link_).has_value());
    EXPECT_TRUE(sk::RegKeyExists(target_ + u"\\A\\B"));
}

TEST_F(RegistryLinkTest, CurrentControlSetLeadsToTheCurrentControlSet)
{
    const std::u16string system = kMachine + u"\\SYSTEM";
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, sk::RegSetUpControlSets());
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(system, u"SYSTEM", u"/hives/system"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetUpControlSets());
    EXPECT_EQ(sk::RegLinkTarget(system + u"\\CurrentControlSet"), system + u"\\ControlSet001");
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, sk::RegSetUpControlSets(2));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegMarkHiveClean(system));

    Key services;
    ASSERT_STATUS(STATUS_SUCCESS,
                  Create(services, system + u"\\CurrentControlSet\\Services"));
    EXPECT_EQ(QueryPath(services.get()), system + u"\\ControlSet001\\Services");
    EXPECT_TRUE(sk::RegHiveOf(system)->dirty) << "the control set itself is kept in the hive";

    Key link;
    ASSERT_STATUS(STATUS_SUCCESS, Open(link, system + u"\\CurrentControlSet", OBJ_OPENLINK));
    alignas(8) uint8_t buffer[256];
    ULONG length = 0;
    ASSERT_STATUS(STATUS_SUCCESS,
                  ZwQueryKey(link.get(), KeyFullInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(reinterpret_cast<KEY_FULL_INFORMATION *>(buffer)->SubKeys, 0u);
    EXPECT_EQ(reinterpret_cast<KEY_FULL_INFORMATION *>(buffer)->Values, 1u);

    Key other;
    ASSERT_STATUS(STATUS_SUCCESS, ZwDeleteKey(link.get()));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetUpControlSets(2));
    ASSERT_STATUS(STATUS_SUCCESS, Open(other, system + u"\\CurrentControlSet"));
    EXPECT_EQ(QueryPath(other.get()), system + u"\\ControlSet002");
}

/* ---- renames -------------------------------------------------------- */

class RegistryRenameTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        qtest::KernelTest::SetUp();
        for (const char16_t *name : {u"\\a", u"\\m\\Sub", u"\\z"})
            ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + name));
    }
    NTSTATUS Rename(HANDLE key, const std::u16string &name)
    {
        Name n(name);
        return ZwRenameKey(key, n.get());
    }
};

TEST_F(RegistryRenameTest, TheKeyKeepsItsIdentityAndItsSubtree)
{
    Key m, sub;
    ASSERT_STATUS(STATUS_SUCCESS, Open(m, kTest + u"\\m"));
    ASSERT_STATUS(STATUS_SUCCESS, Open(sub, kTest + u"\\m\\Sub"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kTest + u"\\m\\Sub", u"v", 7));

    ASSERT_STATUS(STATUS_SUCCESS, Rename(m.get(), u"Beta"));
    EXPECT_EQ(QueryPath(m.get()), kTest + u"\\Beta");
    EXPECT_EQ(QueryPath(sub.get()), kTest + u"\\Beta\\Sub") << "handles opened before see the name";
    EXPECT_TRUE(HasValue(sub.get(), u"v"));
    EXPECT_FALSE(sk::RegKeyExists(kTest + u"\\m"));
    EXPECT_EQ(sk::RegSubkeys(kTest), (std::vector<std::u16string>{u"a", u"Beta", u"z"}))
        << "the parent's subkeys are in order again";

    Key test;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest));
    EXPECT_EQ(EnumeratedName(test.get(), 1), u"Beta");
    ASSERT_STATUS(STATUS_SUCCESS, SetValue(m.get(), u"after", REG_SZ, u"x"));
    EXPECT_TRUE(sk::RegGetValue(kTest + u"\\beta", u"after").has_value());
}

TEST_F(RegistryRenameTest, RefusalsLeaveTheKeyAsItWas)
{
    Key z, read, write;
    ASSERT_STATUS(STATUS_SUCCESS, Open(z, kTest + u"\\z"));
    ASSERT_STATUS(STATUS_SUCCESS, Open(read, kTest + u"\\z", 0, nullptr, KEY_READ | KEY_SET_VALUE));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(read.get(), u"y")) << "KEY_WRITE is needed";
    ASSERT_STATUS(STATUS_SUCCESS, Open(write, kTest + u"\\z", 0, nullptr, KEY_WRITE));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Rename(write.get(), u""));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Rename(write.get(), u"a\\b"));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Rename(write.get(), std::u16string(256, u'n')));
    EXPECT_STATUS(STATUS_CANNOT_DELETE, Rename(write.get(), u"A")) << "a sibling of that name";
    EXPECT_STATUS(STATUS_CANNOT_DELETE, Rename(write.get(), u"Z"))
        << "the key itself is found under the new name too, so case alone cannot change";
    EXPECT_STATUS(STATUS_CANNOT_DELETE, Rename(write.get(), u"z"));
    EXPECT_EQ(sk::RegSubkeys(kTest), (std::vector<std::u16string>{u"a", u"m", u"z"}));

    Name odd(u"yy");
    odd.get()->Length = 3;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, ZwRenameKey(write.get(), odd.get()));
    auto seen = ViolationsDuring(
        [&] { EXPECT_STATUS(STATUS_ACCESS_VIOLATION, ZwRenameKey(write.get(), nullptr)); });
    EXPECT_TRUE(OneViolation(seen, "NewName"));

    ASSERT_STATUS(STATUS_SUCCESS, Rename(write.get(), std::u16string(255, u'n')));
    ASSERT_STATUS(STATUS_SUCCESS, ZwDeleteKey(z.get()));
    EXPECT_STATUS(STATUS_KEY_DELETED, Rename(write.get(), u"y"));

    sk::FailCall("ZwRenameKey", sk::CallCount("ZwRenameKey") + 1, STATUS_INSUFFICIENT_RESOURCES);
    Key a;
    ASSERT_STATUS(STATUS_SUCCESS, Open(a, kTest + u"\\a"));
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Rename(a.get(), u"b"));
    EXPECT_TRUE(sk::RegKeyExists(kTest + u"\\a"));
}

TEST_F(RegistryRenameTest, RootsStayWhereTheyAre)
{
    const std::u16string software = kMachine + u"\\SOFTWARE";
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(software, u"SOFTWARE"));
    for (const std::u16string &path :
         {std::u16string(u"\\REGISTRY"), kMachine, std::u16string(u"\\REGISTRY\\USER"), software}) {
        Key key;
        ASSERT_STATUS(STATUS_SUCCESS, Open(key, path));
        EXPECT_STATUS(STATUS_CANNOT_DELETE, Rename(key.get(), u"Other")) << qtest::U8(path);
    }
    EXPECT_TRUE(sk::RegKeyExists(software));
}

TEST_F(RegistryRenameTest, ARenameStampsTheKeyAndItsParentAndDirtiesTheHive)
{
    const std::u16string software = kMachine + u"\\SOFTWARE";
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(software, u"SOFTWARE"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(software + u"\\Old"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegMarkHiveClean(software));
    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Open(key, software + u"\\Old"));
    ASSERT_STATUS(STATUS_SUCCESS, Rename(key.get(), u"Much longer name"));
    const LONGLONG now = sk::RegCurrentTime();
    EXPECT_EQ(*sk::RegLastWriteTime(software + u"\\Much longer name"), now);
    EXPECT_EQ(*sk::RegLastWriteTime(software), now);
    EXPECT_TRUE(sk::RegHiveOf(software)->dirty);

    Key parent;
    ASSERT_STATUS(STATUS_SUCCESS, Open(parent, software));
    KEY_FULL_INFORMATION info{};
    ULONG length = 0;
    ASSERT_STATUS(STATUS_SUCCESS,
                  ZwQueryKey(parent.get(), KeyFullInformation, &info, sizeof(info), &length));
    EXPECT_EQ(info.MaxNameLen, 16u * sizeof(WCHAR));
}

TEST_F(RegistryRenameTest, RenamingALinkKeyLeavesItsTarget)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateLink(kTest + u"\\Link", kTest + u"\\m", true));
    Key link;
    ASSERT_STATUS(STATUS_SUCCESS, Open(link, kTest + u"\\Link", OBJ_OPENLINK));
    ASSERT_STATUS(STATUS_SUCCESS, Rename(link.get(), u"Moved"));
    EXPECT_EQ(sk::RegLinkTarget(kTest + u"\\Moved"), kTest + u"\\m");
    EXPECT_EQ(*sk::RegKeyPath(kTest + u"\\Moved\\Sub"), kTest + u"\\m\\Sub");
}

/* ---- kernel exports ------------------------------------------------- */

class RoutineExportTest : public qtest::KernelTest {
protected:
    PVOID Lookup(const std::u16string &name)
    {
        Name n(name);
        return MmGetSystemRoutineAddress(n.get());
    }
};

NTSTATUS NTAPI StandInRoutine(HANDLE, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

TEST_F(RoutineExportTest, AFreshKernelExportsZwRenameKeyAlone)
{
    EXPECT_EQ(Lookup(u"ZwRenameKey"), reinterpret_cast<PVOID>(&ZwRenameKey));
    EXPECT_EQ(Lookup(u"IoCreateDeviceSecure"), nullptr);
    EXPECT_EQ(Lookup(u"zwrenamekey"), nullptr) << "export names are matched exactly";
    EXPECT_EQ(Lookup(u"ZwRenameKe"), nullptr);
    EXPECT_EQ(Lookup(u"ZwCreateKey"), nullptr);
    EXPECT_EQ(Lookup(u""), nullptr);

    /* The routine found is the one that renames. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\Old"));
    auto rename = reinterpret_cast<ZW_RENAME_KEY_ROUTINE>(Lookup(u"ZwRenameKey"));
    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Open(key, kTest + u"\\Old"));
    Name name(u"New");
    ASSERT_STATUS(STATUS_SUCCESS, rename(key.get(), name.get()));
    EXPECT_TRUE(sk::RegKeyExists(kTest + u"\\New"));
}

TEST_F(RoutineExportTest, TestsShapeTheExportsUntilTheNextReset)
{
    sk::SetRoutineExported("ZwRenameKey", false);
    EXPECT_EQ(Lookup(u"ZwRenameKey"), nullptr);
    sk::SetRoutineExported("ZwCreateKey", true);
    EXPECT_EQ(Lookup(u"ZwCreateKey"), reinterpret_cast<PVOID>(&ZwCreateKey));
    sk::ExportRoutine("IoCreateDeviceSecure", reinterpret_cast<void *>(&StandInRoutine));
    EXPECT_EQ(Lookup(u"IoCreateDeviceSecure"), reinterpret_cast<PVOID>(&StandInRoutine));
    sk::ExportRoutine("IoCreateDeviceSecure", nullptr);
    EXPECT_EQ(Lookup(u"IoCreateDeviceSecure"), nullptr);

    auto seen = ViolationsDuring([] { sk::SetRoutineExported("IoCreateDeviceSecure", true); });
    EXPECT_TRUE(OneViolation(seen, "IoCreateDeviceSecure"));
    EXPECT_EQ(Lookup(u"IoCreateDeviceSecure"), nullptr);

    sk::ResetKernel();
    EXPECT_EQ(Lookup(u"ZwRenameKey"), reinterpret_cast<PVOID>(&ZwRenameKey));
    EXPECT_EQ(Lookup(u"ZwCreateKey"), nullptr);
}

TEST_F(RoutineExportTest, APlannedFaultHidesTheRoutine)
{
    sk::FailCall("MmGetSystemRoutineAddress", sk::CallCount("MmGetSystemRoutineAddress") + 1,
                 STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Lookup(u"ZwRenameKey"), nullptr);
    EXPECT_NE(Lookup(u"ZwRenameKey"), nullptr);
    auto seen = ViolationsDuring([] { EXPECT_EQ(MmGetSystemRoutineAddress(nullptr), nullptr); });
    EXPECT_TRUE(OneViolation(seen, "SystemRoutineName"));
}

} // namespace
