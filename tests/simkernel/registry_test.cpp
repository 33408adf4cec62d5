/*
 * registry_test.cpp - the simulated registry: name resolution, creation and
 * NT's subkey order, values, deleted keys, access rights, hives, and the
 * direct-access API.  The short-buffer rules and enumeration are in
 * registry_query_test.cpp.
 */
#include "tests/simkernel/registry_test_util.h"

#include <algorithm>

namespace {

using namespace regtest;

/* ---- names ---------------------------------------------------------- */

class RegistryNameTest : public RegistryTest {};

TEST_F(RegistryNameTest, AbsoluteNamesGoThroughTheObjectNamespace)
{
    struct Case {
        std::u16string name;
        NTSTATUS status;
        std::u16string path;
    } cases[] = {
        {u"", STATUS_OBJECT_PATH_SYNTAX_BAD, u""},
        {u"REGISTRY\\MACHINE", STATUS_OBJECT_PATH_SYNTAX_BAD, u""},
        {u"\\", STATUS_OBJECT_TYPE_MISMATCH, u""},
        {u"\\\\REGISTRY", STATUS_OBJECT_NAME_INVALID, u""},
        {u"\\Foobar", STATUS_OBJECT_NAME_NOT_FOUND, u""},
        {u"\\REGISTRYX", STATUS_OBJECT_NAME_NOT_FOUND, u""},
        {u"\\Foobar\\MACHINE", STATUS_OBJECT_PATH_NOT_FOUND, u""},
        {u"\\REGISTRY\\MACHINE\\Missing", STATUS_OBJECT_NAME_NOT_FOUND, u""},
        {u"\\registry", STATUS_SUCCESS, u"\\REGISTRY"},
        {u"\\Registry\\", STATUS_SUCCESS, u"\\REGISTRY"},
        {u"\\REGISTRY\\\\machine\\\\test\\\\", STATUS_SUCCESS, kTest},
    };
    for (const Case &c : cases) {
        Key key;
        EXPECT_STATUS(c.status, Open(key, c.name)) << qtest::U8(c.name);
        if (NT_SUCCESS(c.status))
            EXPECT_EQ(QueryPath(key.get()), c.path) << qtest::U8(c.name);
        else
            EXPECT_EQ(key.get(), nullptr) << qtest::U8(c.name);
    }
}

TEST_F(RegistryNameTest, RelativeNames)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\a\\b"));
    Key test, sub, self, none;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest));
    EXPECT_STATUS(STATUS_OBJECT_PATH_SYNTAX_BAD, Open(sub, u"\\a", KEY_READ, test.get()));
    EXPECT_STATUS(STATUS_SUCCESS, Open(sub, u"a\\\\b\\", KEY_READ, test.get()));
    EXPECT_EQ(QueryPath(sub.get()), kTest + u"\\a\\b");
    /* An empty name, or none at all, opens the root key again. */
    ASSERT_STATUS(STATUS_SUCCESS, Open(self, u"", KEY_READ, test.get()));
    EXPECT_EQ(QueryPath(self.get()), kTest);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, test.get(), nullptr);
    ASSERT_STATUS(STATUS_SUCCESS, ZwOpenKey(none.out(), KEY_READ, &oa));
    EXPECT_EQ(QueryPath(none.get()), kTest);
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    Key absent;
    EXPECT_STATUS(STATUS_OBJECT_PATH_SYNTAX_BAD, ZwOpenKey(absent.out(), KEY_READ, &oa));
}

TEST_F(RegistryNameTest, OddLengthIsAnInvalidName)
{
    Name n(kTest);
    n.get()->Length -= 1;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, n.get(), OBJ_KERNEL_HANDLE, nullptr, nullptr);
    Key key;
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, ZwOpenKey(key.out(), KEY_READ, &oa));
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID,
                  ZwCreateKey(key.out(), KEY_READ, &oa, 0, nullptr, 0, nullptr));
}

TEST_F(RegistryNameTest, ComponentsAreLimitedTo255Characters)
{
    const std::u16string longest(255, u'k');
    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, kTest + u"\\" + longest));
    key.Close();
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create(key, kTest + u"\\" + longest + u"k"));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Open(key, kTest + u"\\" + longest + u"k"));
    EXPECT_EQ(sk::RegSubkeys(kTest), std::vector<std::u16string>{longest});
}

TEST_F(RegistryNameTest, MissingParentCreatesNothing)
{
    Key key;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Create(key, kTest + u"\\no\\such"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(key, kTest + u"\\no\\such"));
    EXPECT_EQ(key.get(), nullptr);
    EXPECT_FALSE(sk::RegKeyExists(kTest + u"\\no"));
}

TEST_F(RegistryNameTest, ObjectAttributesAreChecked)
{
    Name n(kTest);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, n.get(), OBJ_KERNEL_HANDLE, nullptr, nullptr);
    oa.Length += 8;
    Key key;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, ZwOpenKey(key.out(), KEY_READ, &oa));
    oa.Length = sizeof(oa);
    oa.Attributes = OBJ_CASE_INSENSITIVE;
    auto seen = ViolationsDuring([&] { ZwOpenKey(key.out(), KEY_READ, &oa); });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find("OBJ_KERNEL_HANDLE"), std::string::npos);
    EXPECT_EQ(key.get(), nullptr);
}

/* ---- creation ------------------------------------------------------- */

class RegistryCreateTest : public RegistryTest {};

TEST_F(RegistryCreateTest, DispositionTellsNewFromExisting)
{
    Key first, second;
    ULONG disposition = 0;
    ASSERT_STATUS(STATUS_SUCCESS, Create(first, kTest + u"\\k", &disposition));
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ASSERT_STATUS(STATUS_SUCCESS, Create(second, kTest + u"\\K", &disposition));
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(sk::RegSubkeys(kTest), std::vector<std::u16string>{u"k"});
}

TEST_F(RegistryCreateTest, CaseIsKeptAndIgnoredWithNtFolding)
{
    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, kTest + u"\\MixedCase"));
    key.Close();
    ASSERT_STATUS(STATUS_SUCCESS, Open(key, u"\\registry\\machine\\TEST\\mixedCASE"));
    EXPECT_EQ(QueryPath(key.get()), kTest + u"\\MixedCase");
    key.Close();
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(kTest + u"\\MixedCase"));

    /* NT folds sigma and e-acute, but leaves final sigma and dotless i as
     * they are, where towupper would fold them onto SIGMA and I. */
    struct Case {
        const char16_t *first;
        const char16_t *second;
        ULONG disposition;
    } cases[] = {
        {u"\u03C3", u"\u03A3", REG_OPENED_EXISTING_KEY},
        {u"\u00E9", u"\u00C9", REG_OPENED_EXISTING_KEY},
        {u"\u03C2", u"\u03A3", REG_CREATED_NEW_KEY},
        {u"\u0131", u"I", REG_CREATED_NEW_KEY},
    };
    for (const Case &c : cases) {
        Key a, b;
        ULONG disposition = 0;
        ASSERT_STATUS(STATUS_SUCCESS, Create(a, kTest + u"\\" + c.first));
        ASSERT_STATUS(STATUS_SUCCESS, Create(b, kTest + u"\\" + c.second, &disposition));
        EXPECT_EQ(disposition, c.disposition) << qtest::U8(c.first) << " / " << qtest::U8(c.second);
        a.Close();
        b.Close();
        for (const std::u16string &name : sk::RegSubkeys(kTest))
            ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(kTest + u"\\" + name));
    }
}

TEST_F(RegistryCreateTest, VolatileParentsTakeOnlyVolatileChildren)
{
    Key parent, child;
    ASSERT_STATUS(STATUS_SUCCESS, Create(parent, kTest + u"\\v", nullptr, REG_OPTION_VOLATILE));
    EXPECT_STATUS(STATUS_CHILD_MUST_BE_VOLATILE, Create(child, u"c", nullptr, 0, parent.get()));
    EXPECT_TRUE(sk::RegSubkeys(kTest + u"\\v").empty());
    ASSERT_STATUS(STATUS_SUCCESS, Create(child, u"c", nullptr, REG_OPTION_VOLATILE, parent.get()));
    child.Close();
    /* Opening an existing volatile key needs no option. */
    ULONG disposition = 0;
    EXPECT_STATUS(STATUS_SUCCESS, Create(child, u"c", &disposition, 0, parent.get()));
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
}

TEST_F(RegistryCreateTest, CreatingUnderAHandleNeedsCreateSubKey)
{
    Key reader, child;
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\old"));
    ASSERT_STATUS(STATUS_SUCCESS, Open(reader, kTest, KEY_READ));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Create(child, u"new", nullptr, 0, reader.get()));
    EXPECT_FALSE(sk::RegKeyExists(kTest + u"\\new"));
    EXPECT_STATUS(STATUS_SUCCESS, Create(child, u"old", nullptr, 0, reader.get()));
}

TEST_F(RegistryCreateTest, OptionsAndClass)
{
    Key key;
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  Create(key, kTest + u"\\backup", nullptr, REG_OPTION_BACKUP_RESTORE));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create(key, kTest + u"\\bad", nullptr, 0x10));
    EXPECT_TRUE(sk::RegSubkeys(kTest).empty());

    Name cls(u"Cls");
    ASSERT_STATUS(STATUS_SUCCESS,
                  Create(key, kTest + u"\\c", nullptr, 0, nullptr, KEY_ALL_ACCESS, cls.get()));
    alignas(8) uint8_t buffer[128];
    ULONG length = 0;
    ASSERT_STATUS(STATUS_SUCCESS,
                  ZwQueryKey(key.get(), KeyFullInformation, buffer, sizeof(buffer), &length));
    auto *info = reinterpret_cast<KEY_FULL_INFORMATION *>(buffer);
    EXPECT_EQ(length, (ULONG)FIELD_OFFSET(KEY_FULL_INFORMATION, Class) + 6);
    EXPECT_EQ(info->ClassOffset, (ULONG)FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
    EXPECT_EQ(std::u16string(info->Class, 3), u"Cls");
    Key parent;
    ASSERT_STATUS(STATUS_SUCCESS, Open(parent, kTest));
    EXPECT_EQ(QueryFull(parent.get()).MaxClassLen, 6u);
}

TEST_F(RegistryCreateTest, KeysAreNestedAtMost512LevelsDeep)
{
    /* \REGISTRY\MACHINE\Test is three levels; 509 more make 512. */
    std::u16string path = kTest;
    for (int i = 0; i < 508; i++)
        path += u"\\n";
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(path));
    Key deepest;
    ASSERT_STATUS(STATUS_SUCCESS, Create(deepest, path + u"\\n"));
    Key tooDeep;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create(tooDeep, path + u"\\n\\n"));
    EXPECT_FALSE(tooDeep.get());
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, sk::RegCreateKey(path + u"\\n\\n"));
    EXPECT_FALSE(sk::RegKeyExists(path + u"\\n\\n"));
    /* Opening what is there is not limited. */
    Key opened;
    EXPECT_STATUS(STATUS_SUCCESS, Open(opened, path + u"\\n"));
}

TEST_F(RegistryCreateTest, CreationStampsParentAndChild)
{
    const LONGLONG before = *sk::RegLastWriteTime(kTest);
    EXPECT_GE(before, sk::kRegClockStart);
    Key key;
    ASSERT_STATUS(STATUS_SUCCESS, Create(key, kTest + u"\\t"));
    const LONGLONG after = *sk::RegLastWriteTime(kTest);
    EXPECT_GT(after, before);
    EXPECT_EQ(*sk::RegLastWriteTime(kTest + u"\\t"), after);
    EXPECT_EQ(QueryFull(key.get()).LastWriteTime.QuadPart, after);
}

TEST_F(RegistryCreateTest, SubkeysFollowNtOrderOfUpcasedNames)
{
    const std::vector<std::u16string> created = {u"b",      u"_x",     u"Ab",     u"a",      u"Z",
                                                 u"\u03C2", u"\u00E9", u"\u03C3", u"\u0131", u"i"};
    for (const std::u16string &name : created)
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\" + name));
    /* '_' sorts after the upcased letters; among the others the upcased
     * code units decide: I, E-acute, dotless i, SIGMA, final sigma. */
    const std::vector<std::u16string> expected = {
        u"a", u"Ab", u"b", u"i", u"Z", u"_x", u"\u00E9", u"\u0131", u"\u03C3", u"\u03C2"};
    EXPECT_EQ(sk::RegSubkeys(kTest), expected);
    Key test;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest, KEY_READ));
    for (ULONG i = 0; i < expected.size(); i++)
        EXPECT_EQ(EnumeratedName(test.get(), i), expected[i]) << "index " << i;
}

/* Many subkeys added in no order, some deleted and some renamed: every
 * look-up ignores case (beyond ASCII too) and every index of the
 * enumeration gives the key of that place in NT's order. */
TEST_F(RegistryCreateTest, ManySubkeysStayFoundAndInOrderThroughDeletesAndRenames)
{
    std::vector<std::u16string> names;
    for (int i = 0; i < 300; i++) {
        const int n = (i * 7919) % 300; /* every number once, out of order */
        std::u16string name = u"k";
        for (int d = 100; d; d /= 10)
            name += (char16_t)(u'0' + n / d % 10);
        if (n % 5 == 0)
            name += u"\u0436"; /* zhe */
        names.push_back(name);
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\" + name));
    }
    auto upcased = [](std::u16string name) {
        for (char16_t &c : name) {
            if (c >= u'a' && c <= u'z')
                c = (char16_t)(c - 32);
            else if (c == u'\u0436')
                c = u'\u0416';
        }
        return name;
    };
    std::vector<std::u16string> expected;
    for (const std::u16string &name : names) {
        const int n = std::stoi(std::string(name.begin() + 1, name.begin() + 4));
        Key key;
        if (n % 3 == 0) {
            ASSERT_STATUS(STATUS_SUCCESS, Open(key, kTest + u"\\" + upcased(name)));
            ASSERT_STATUS(STATUS_SUCCESS, ZwDeleteKey(key.get()));
        } else if (n % 7 == 0) {
            /* Moved to the front of the order; a name taken ignoring case
             * refuses the rename. */
            ASSERT_STATUS(STATUS_SUCCESS, Open(key, kTest + u"\\" + upcased(name)));
            Name taken(u"K" + name.substr(1));
            EXPECT_STATUS(STATUS_CANNOT_DELETE, ZwRenameKey(key.get(), taken.get()));
            Name moved(u"A" + name);
            ASSERT_STATUS(STATUS_SUCCESS, ZwRenameKey(key.get(), moved.get()));
            expected.push_back(u"A" + name);
        } else {
            expected.push_back(name);
        }
    }
    std::sort(expected.begin(), expected.end(),
              [&](const std::u16string &a, const std::u16string &b) { return upcased(a) < upcased(b); });
    EXPECT_EQ(sk::RegSubkeys(kTest), expected);
    Key test;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest, KEY_READ));
    for (ULONG i = 0; i < expected.size(); i++)
        ASSERT_EQ(EnumeratedName(test.get(), i), expected[i]) << "index " << i;
    alignas(8) uint8_t buffer[256];
    ULONG length = 0;
    EXPECT_STATUS(STATUS_NO_MORE_ENTRIES, ZwEnumerateKey(test.get(), (ULONG)expected.size(),
                                                         KeyBasicInformation, buffer, sizeof(buffer),
                                                         &length));
    EXPECT_EQ(QueryFull(test.get()).SubKeys, (ULONG)expected.size());
    /* Found by any case; the deleted and the old names are not. */
    for (const std::u16string &name : expected) {
        Key key;
        EXPECT_STATUS(STATUS_SUCCESS, Open(key, kTest + u"\\" + upcased(name), KEY_READ));
    }
    Key gone;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(gone, kTest + u"\\K000\u0416", KEY_READ));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(gone, kTest + u"\\k007", KEY_READ));
    EXPECT_STATUS(STATUS_SUCCESS, Open(gone, kTest + u"\\ak007", KEY_READ));
}

/* ---- values --------------------------------------------------------- */

class RegistryValueTest : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        ASSERT_STATUS(STATUS_SUCCESS, Open(key_, kTest));
    }
    void TearDown() override
    {
        key_.Close();
        RegistryTest::TearDown();
    }
    std::optional<ULONG> Dword(const std::u16string &name)
    {
        alignas(8) uint8_t buffer[64];
        ULONG length = 0;
        Name n(name);
        if (!NT_SUCCESS(ZwQueryValueKey(key_.get(), n.get(), KeyValuePartialInformation, buffer,
                                        sizeof(buffer), &length)))
            return std::nullopt;
        auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer);
        EXPECT_EQ(info->Type, (ULONG)REG_DWORD);
        EXPECT_EQ(info->DataLength, 4u);
        ULONG v;
        memcpy(&v, info->Data, sizeof(v));
        return v;
    }
    Key key_;
};

TEST_F(RegistryValueTest, ValuesKeepInsertionOrderAndAreReplacedInPlace)
{
    for (const char16_t *name : {u"b", u"a", u"c"})
        ASSERT_STATUS(STATUS_SUCCESS, SetDword(key_.get(), name, 1));
    ASSERT_STATUS(STATUS_SUCCESS, SetDword(key_.get(), u"A", 7));
    EXPECT_EQ(sk::RegValueNames(kTest), (std::vector<std::u16string>{u"b", u"a", u"c"}));
    EXPECT_EQ(Dword(u"a"), 7u);
    /* The default value is a value of its own. */
    ASSERT_STATUS(STATUS_SUCCESS, SetDword(key_.get(), u"", 9));
    EXPECT_EQ(Dword(u""), 9u);
    EXPECT_EQ(sk::RegValueNames(kTest).back(), u"");
}

TEST_F(RegistryValueTest, DeletionAndMissingValues)
{
    for (const char16_t *name : {u"x", u"y", u"z"})
        ASSERT_STATUS(STATUS_SUCCESS, SetDword(key_.get(), name, 1));
    Name y(u"Y"), missing(u"missing");
    EXPECT_STATUS(STATUS_SUCCESS, ZwDeleteValueKey(key_.get(), y.get()));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, ZwDeleteValueKey(key_.get(), y.get()));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, ZwDeleteValueKey(key_.get(), missing.get()));
    EXPECT_EQ(Dword(u"y"), std::nullopt);
    alignas(8) uint8_t buffer[64];
    ULONG length = 0;
    ASSERT_STATUS(STATUS_SUCCESS, ZwEnumerateValueKey(key_.get(), 1, KeyValueBasicInformation,
                                                      buffer, sizeof(buffer), &length));
    auto *info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION *>(buffer);
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), u"z");
    EXPECT_STATUS(STATUS_NO_MORE_ENTRIES,
                  ZwEnumerateValueKey(key_.get(), 2, KeyValueBasicInformation, buffer,
                                      sizeof(buffer), &length));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  ZwQueryValueKey(key_.get(), missing.get(), KeyValuePartialInformation, buffer,
                                  sizeof(buffer), &length));
}

TEST_F(RegistryValueTest, NameRules)
{
    ULONG data = 1;
    Name longest(std::u16string(16383, u'v')), tooLong(std::u16string(16384, u'v'));
    EXPECT_STATUS(STATUS_SUCCESS, ZwSetValueKey(key_.get(), longest.get(), 0, REG_DWORD, &data, 4));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ZwSetValueKey(key_.get(), tooLong.get(), 0, REG_DWORD, &data, 4));
    Name odd(u"ab");
    odd.get()->Length = 3;
    uint8_t buffer[64];
    ULONG length = 0;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ZwSetValueKey(key_.get(), odd.get(), 0, REG_DWORD, &data, 4));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ZwQueryValueKey(key_.get(), odd.get(), KeyValueBasicInformation, buffer,
                                  sizeof(buffer), &length));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, ZwDeleteValueKey(key_.get(), odd.get()));
    EXPECT_EQ(sk::RegValueNames(kTest).size(), 1u);
}

TEST_F(RegistryValueTest, AnyTypeAndEmptyData)
{
    Name n(u"custom");
    ASSERT_STATUS(STATUS_SUCCESS, ZwSetValueKey(key_.get(), n.get(), 0, 0xFF00FF00, nullptr, 0));
    auto value = sk::RegGetValue(kTest, u"CUSTOM");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, 0xFF00FF00u);
    EXPECT_TRUE(value->data.empty());
}

TEST_F(RegistryValueTest, IdenticalSetLeavesTheKeyUnchanged)
{
    ASSERT_STATUS(STATUS_SUCCESS, SetDword(key_.get(), u"v", 1));
    const LONGLONG stamped = *sk::RegLastWriteTime(kTest);
    ASSERT_STATUS(STATUS_SUCCESS, SetDword(key_.get(), u"v", 1));
    EXPECT_EQ(*sk::RegLastWriteTime(kTest), stamped);
    ASSERT_STATUS(STATUS_SUCCESS, SetDword(key_.get(), u"v", 2));
    EXPECT_GT(*sk::RegLastWriteTime(kTest), stamped);
}

TEST_F(RegistryValueTest, MaximaAreHighWaterMarksUntilTheLastValueGoes)
{
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::RegSetValue(kTest, u"long", REG_BINARY, std::vector<uint8_t>(100)));
    ASSERT_STATUS(STATUS_SUCCESS, SetDword(key_.get(), u"x", 1));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteValue(kTest, u"long"));
    KEY_FULL_INFORMATION info = QueryFull(key_.get());
    EXPECT_EQ(info.Values, 1u);
    EXPECT_EQ(info.MaxValueNameLen, 8u);
    EXPECT_EQ(info.MaxValueDataLen, 100u);
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteValue(kTest, u"x"));
    info = QueryFull(key_.get());
    EXPECT_EQ(info.MaxValueNameLen, 0u);
    EXPECT_EQ(info.MaxValueDataLen, 0u);
}

/* ---- deletion ------------------------------------------------------- */

class RegistryDeleteTest : public RegistryTest {};

TEST_F(RegistryDeleteTest, OnlyKeysWithoutSubkeysAndOutsideTheRootsGo)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\child"));
    Key test, child;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest));
    EXPECT_STATUS(STATUS_CANNOT_DELETE, ZwDeleteKey(test.get()));
    ASSERT_STATUS(STATUS_SUCCESS, Open(child, u"child", KEY_ALL_ACCESS, test.get()));
    EXPECT_STATUS(STATUS_SUCCESS, ZwDeleteKey(child.get()));
    EXPECT_STATUS(STATUS_SUCCESS, ZwDeleteKey(test.get()));
    for (const char16_t *root : {u"\\REGISTRY", u"\\REGISTRY\\MACHINE", u"\\REGISTRY\\USER"}) {
        Key key;
        ASSERT_STATUS(STATUS_SUCCESS, Open(key, root));
        EXPECT_STATUS(STATUS_CANNOT_DELETE, ZwDeleteKey(key.get())) << qtest::U8(root);
    }
    EXPECT_STATUS(STATUS_CANNOT_DELETE, sk::RegDeleteTree(kMachine));
}

TEST_F(RegistryDeleteTest, DeletedKeyAnswersKeyDeletedThroughEveryHandle)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kTest, u"v", 1));
    Key first, second, other;
    ASSERT_STATUS(STATUS_SUCCESS, Open(first, kTest));
    ASSERT_STATUS(STATUS_SUCCESS, Open(second, kTest));
    ASSERT_STATUS(STATUS_SUCCESS, ZwDeleteKey(first.get()));
    alignas(8) uint8_t buffer[128];
    ULONG length = 0;
    Name v(u"v");
    ULONG data = 2;
    for (HANDLE h : {first.get(), second.get()}) {
        EXPECT_STATUS(STATUS_KEY_DELETED, ZwQueryValueKey(h, v.get(), KeyValuePartialInformation,
                                                          buffer, sizeof(buffer), &length));
        EXPECT_STATUS(STATUS_KEY_DELETED, ZwSetValueKey(h, v.get(), 0, REG_DWORD, &data, 4));
        EXPECT_STATUS(STATUS_KEY_DELETED, ZwDeleteValueKey(h, v.get()));
        EXPECT_STATUS(STATUS_KEY_DELETED,
                      ZwEnumerateKey(h, 0, KeyBasicInformation, buffer, sizeof(buffer), &length));
        EXPECT_STATUS(STATUS_KEY_DELETED, ZwEnumerateValueKey(h, 0, KeyValueBasicInformation,
                                                              buffer, sizeof(buffer), &length));
        EXPECT_STATUS(STATUS_KEY_DELETED,
                      ZwQueryKey(h, KeyNameInformation, buffer, sizeof(buffer), &length));
        EXPECT_STATUS(STATUS_KEY_DELETED,
                      ZwQueryKey(h, KeyFullInformation, buffer, sizeof(buffer), &length));
        EXPECT_STATUS(STATUS_KEY_DELETED, ZwFlushKey(h));
        EXPECT_STATUS(STATUS_KEY_DELETED, Open(other, u"sub", KEY_READ, h));
        EXPECT_STATUS(STATUS_KEY_DELETED, Create(other, u"sub", nullptr, 0, h));
        /* NT answers a second delete with success. */
        EXPECT_STATUS(STATUS_SUCCESS, ZwDeleteKey(h));
    }
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Open(other, kTest));
    ULONG disposition = 0;
    ASSERT_STATUS(STATUS_SUCCESS, Create(other, kTest, &disposition));
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    EXPECT_TRUE(sk::RegValueNames(kTest).empty());
}

/* ---- access --------------------------------------------------------- */

class RegistryAccessTest : public RegistryTest {};

TEST_F(RegistryAccessTest, EachRoutineChecksItsRight)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kTest, u"v", 1));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\sub"));
    using Op = std::function<NTSTATUS(HANDLE)>;
    auto v = std::make_shared<Name>(u"v");
    auto buffer = std::make_shared<std::vector<uint8_t>>(256);
    auto length = std::make_shared<ULONG>();
    const Op queryValue = [=](HANDLE h) {
        return ZwQueryValueKey(h, v->get(), KeyValuePartialInformation, buffer->data(), 256,
                               length.get());
    };
    const Op setValue = [](HANDLE h) { return SetDword(h, u"v", 1); };
    const Op enumKeys = [=](HANDLE h) {
        return ZwEnumerateKey(h, 0, KeyBasicInformation, buffer->data(), 256, length.get());
    };
    const Op enumValues = [=](HANDLE h) {
        return ZwEnumerateValueKey(h, 0, KeyValueBasicInformation, buffer->data(), 256,
                                   length.get());
    };
    const Op queryFull = [=](HANDLE h) {
        return ZwQueryKey(h, KeyFullInformation, buffer->data(), 256, length.get());
    };
    const Op queryName = [=](HANDLE h) {
        return ZwQueryKey(h, KeyNameInformation, buffer->data(), 256, length.get());
    };
    const NTSTATUS ok = STATUS_SUCCESS, no = STATUS_ACCESS_DENIED;
    struct Case {
        ACCESS_MASK access;
        NTSTATUS expected[6]; /* query value, set value, enum keys, enum values, full, name */
    } cases[] = {
        {KEY_QUERY_VALUE, {ok, no, no, ok, ok, ok}},
        {KEY_SET_VALUE, {no, ok, no, no, no, ok}},
        {KEY_ENUMERATE_SUB_KEYS, {no, no, ok, no, no, ok}},
        {GENERIC_READ, {ok, no, ok, ok, ok, ok}},
        {GENERIC_WRITE, {no, ok, no, no, no, ok}},
        {MAXIMUM_ALLOWED, {ok, ok, ok, ok, ok, ok}},
    };
    const Op ops[] = {queryValue, setValue, enumKeys, enumValues, queryFull, queryName};
    for (const Case &c : cases) {
        Key key;
        ASSERT_STATUS(STATUS_SUCCESS, Open(key, kTest, c.access));
        for (size_t i = 0; i < 6; i++)
            EXPECT_STATUS(c.expected[i], ops[i](key.get()))
                << "access " << std::hex << c.access << " op " << i;
    }
}

TEST_F(RegistryAccessTest, DeleteNeedsDeleteAndNoAccessIsRefused)
{
    Key reader, none;
    ASSERT_STATUS(STATUS_SUCCESS, Open(reader, kTest, KEY_READ | KEY_WRITE));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, ZwDeleteKey(reader.get()));
    EXPECT_TRUE(sk::RegKeyExists(kTest));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Open(none, kTest, 0));
    EXPECT_EQ(none.get(), nullptr);
}

/* ---- hives ---------------------------------------------------------- */

class RegistryHiveTest : public RegistryTest {};

TEST_F(RegistryHiveTest, ChangesDirtyTheHiveAndFlushCleansIt)
{
    ASSERT_TRUE(sk::RegHiveOf(kTest)->dirty);
    Key test, vol;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest));
    ASSERT_STATUS(STATUS_SUCCESS, ZwFlushKey(test.get()));
    EXPECT_FALSE(sk::RegHiveOf(kMachine)->dirty);
    ASSERT_STATUS(STATUS_SUCCESS, SetDword(test.get(), u"v", 1));
    EXPECT_TRUE(sk::RegHiveOf(kMachine)->dirty);
    ASSERT_STATUS(STATUS_SUCCESS, ZwFlushKey(test.get()));
    ASSERT_STATUS(STATUS_SUCCESS, Create(vol, u"vol", nullptr, REG_OPTION_VOLATILE, test.get()));
    ASSERT_STATUS(STATUS_SUCCESS, ZwFlushKey(test.get()));
    ASSERT_STATUS(STATUS_SUCCESS, SetDword(vol.get(), u"v", 1));
    EXPECT_FALSE(sk::RegHiveOf(kMachine)->dirty) << "volatile keys are never written";
}

TEST_F(RegistryHiveTest, MountAndUnmount)
{
    const std::u16string system = kMachine + u"\\SYSTEM";
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(system, u"SYSTEM", u"/hives/system"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, sk::MountHive(system, u"AGAIN"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, sk::MountHive(kMachine + u"\\no\\where", u"X"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(system + u"\\Select"));
    auto hive = sk::RegHiveOf(system + u"\\Select");
    ASSERT_TRUE(hive.has_value());
    EXPECT_EQ(hive->name, u"SYSTEM");
    EXPECT_EQ(hive->filePath, u"/hives/system");
    EXPECT_EQ(hive->mountPath, system);
    EXPECT_TRUE(hive->dirty);
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegMarkHiveClean(system));
    EXPECT_FALSE(sk::RegHiveOf(system)->dirty);
    EXPECT_EQ(sk::RegHiveOf(kTest)->name, u"MASTER");

    Key root, select;
    ASSERT_STATUS(STATUS_SUCCESS, Open(root, system));
    EXPECT_STATUS(STATUS_CANNOT_DELETE, ZwDeleteKey(root.get()));
    EXPECT_STATUS(STATUS_CANNOT_DELETE, sk::UnmountHive(system));
    root.Close();
    ASSERT_STATUS(STATUS_SUCCESS, Open(select, system + u"\\Select"));
    EXPECT_STATUS(STATUS_CANNOT_DELETE, sk::UnmountHive(system));
    select.Close();
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, sk::UnmountHive(system + u"\\Select"));
    EXPECT_STATUS(STATUS_SUCCESS, sk::UnmountHive(system));
    EXPECT_FALSE(sk::RegKeyExists(system));
}

/* ---- direct access and fault injection ------------------------------ */

class RegistryDirectTest : public RegistryTest {};

TEST_F(RegistryDirectTest, StringsCarryTheirTerminators)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetString(kTest, u"s", u"ab"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetMultiString(kTest, u"m", {u"a", u"bc"}));
    auto s = sk::RegGetValue(kTest, u"s");
    auto m = sk::RegGetValue(kTest, u"m");
    ASSERT_TRUE(s && m);
    EXPECT_EQ(s->type, (ULONG)REG_SZ);
    EXPECT_EQ(s->data.size(), 6u);
    EXPECT_EQ(memcmp(s->data.data(), u"ab", 6), 0);
    EXPECT_EQ(m->type, (ULONG)REG_MULTI_SZ);
    const char16_t expected[] = {u'a', 0, u'b', u'c', 0, 0};
    ASSERT_EQ(m->data.size(), sizeof(expected));
    EXPECT_EQ(memcmp(m->data.data(), expected, sizeof(expected)), 0);
    EXPECT_FALSE(sk::RegGetValue(kTest, u"none").has_value());
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, sk::RegSetDword(kTest + u"\\none", u"v", 1));
}

TEST_F(RegistryDirectTest, DeleteTreeLeavesOpenHandlesOnDeletedKeys)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\A\\B\\C"));
    EXPECT_EQ(*sk::RegKeyPath(kTest + u"\\a\\b\\c"), kTest + u"\\A\\B\\C");
    Key c;
    ASSERT_STATUS(STATUS_SUCCESS, Open(c, kTest + u"\\a\\b\\c"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(kTest + u"\\A"));
    EXPECT_TRUE(sk::RegSubkeys(kTest).empty());
    EXPECT_STATUS(STATUS_KEY_DELETED, ZwFlushKey(c.get()));
}

TEST_F(RegistryDirectTest, PlannedFaultsStopTheRoutineBeforeItActs)
{
    sk::FailCall("ZwCreateKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    Key key;
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Create(key, kTest + u"\\f"));
    EXPECT_FALSE(sk::RegKeyExists(kTest + u"\\f"));
    EXPECT_STATUS(STATUS_SUCCESS, Create(key, kTest + u"\\f"));
}

} // namespace
