/*
 * registry_query_test.cpp - the simulated registry's queries: the
 * short-buffer rules of every information class, enumeration and key
 * queries.
 */
#include "tests/simkernel/registry_test_util.h"

namespace {

using namespace regtest;

/* ---- short buffers -------------------------------------------------- */

class RegistryBufferTest : public RegistryTest {
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
    Query ValueQuery(const std::u16string &name, KEY_VALUE_INFORMATION_CLASS infoClass)
    {
        auto n = std::make_shared<Name>(name);
        HANDLE h = key_.get();
        return [n, h, infoClass](PVOID buffer, ULONG length, PULONG result) {
            return ZwQueryValueKey(h, n->get(), infoClass, buffer, length, result);
        };
    }
    Key key_;
};

TEST_F(RegistryBufferTest, PartialInformation)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetString(kTest, u"s", u"hello"));
    Query q = ValueQuery(u"s", KeyValuePartialInformation);
    const ULONG needed = 12 + 12;
    Reply probe = Call(q, 0);
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, probe.status);
    EXPECT_EQ(probe.resultLength, needed);
    Reply tiny = Call(q, 11);
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, tiny.status);
    EXPECT_EQ(tiny.resultLength, needed);
    EXPECT_TRUE(tiny.UntouchedFrom(0));
    Reply header = Call(q, 12);
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, header.status);
    EXPECT_EQ(header.resultLength, needed);
    EXPECT_EQ(header.Field<ULONG>(4), (ULONG)REG_SZ);
    EXPECT_EQ(header.Field<ULONG>(8), 12u);
    EXPECT_TRUE(header.UntouchedFrom(12));
    Reply part = Call(q, 17);
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, part.status);
    EXPECT_EQ(memcmp(part.bytes.data() + 12, u"hel", 5), 0);
    EXPECT_TRUE(part.UntouchedFrom(17));
    Reply exact = Call(q, needed);
    EXPECT_STATUS(STATUS_SUCCESS, exact.status);
    EXPECT_EQ(exact.resultLength, needed);
    EXPECT_EQ(memcmp(exact.bytes.data() + 12, u"hello", 12), 0);
    EXPECT_TRUE(exact.UntouchedFrom(needed));
}

TEST_F(RegistryBufferTest, BasicInformation)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kTest, u"name", 5));
    Query q = ValueQuery(u"NAME", KeyValueBasicInformation);
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, Call(q, 11).status);
    Reply header = Call(q, 12);
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, header.status);
    EXPECT_EQ(header.resultLength, 20u);
    EXPECT_EQ(header.Field<ULONG>(4), (ULONG)REG_DWORD);
    EXPECT_EQ(header.Field<ULONG>(8), 8u);
    Reply part = Call(q, 14);
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, part.status);
    EXPECT_EQ(part.Field<char16_t>(12), u'n');
    EXPECT_TRUE(part.UntouchedFrom(14));
    Reply exact = Call(q, 20);
    EXPECT_STATUS(STATUS_SUCCESS, exact.status);
    EXPECT_EQ(memcmp(exact.bytes.data() + 12, u"name", 8), 0) << "stored case is returned";
}

TEST_F(RegistryBufferTest, FullInformationAlignsDataToEightBytes)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kTest, u"a", 0x11223344));
    Query q = ValueQuery(u"a", KeyValueFullInformation);
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, Call(q, 19).status);
    Reply header = Call(q, 20);
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, header.status);
    EXPECT_EQ(header.resultLength, 28u);
    EXPECT_EQ(header.Field<ULONG>(8), 24u); /* DataOffset */
    EXPECT_EQ(header.Field<ULONG>(12), 4u); /* DataLength */
    EXPECT_EQ(header.Field<ULONG>(16), 2u); /* NameLength */
    Reply nameOnly = Call(q, 24);
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, nameOnly.status);
    EXPECT_EQ(nameOnly.Field<char16_t>(20), u'a');
    EXPECT_TRUE(nameOnly.UntouchedFrom(22)) << "padding and data stay unwritten";
    Reply part = Call(q, 26);
    EXPECT_EQ(part.Field<uint16_t>(24), 0x3344);
    EXPECT_TRUE(part.UntouchedFrom(26));
    Reply exact = Call(q, 28);
    EXPECT_STATUS(STATUS_SUCCESS, exact.status);
    EXPECT_EQ(exact.Field<ULONG>(24), 0x11223344u);

    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kTest, u"abcd", 1));
    Reply wider = Call(ValueQuery(u"abcd", KeyValueFullInformation), 64);
    EXPECT_STATUS(STATUS_SUCCESS, wider.status);
    EXPECT_EQ(wider.Field<ULONG>(8), 32u);
    EXPECT_EQ(wider.resultLength, 36u);

    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(kTest, u"empty", REG_BINARY, {}));
    Reply empty = Call(ValueQuery(u"empty", KeyValueFullInformation), 64);
    EXPECT_STATUS(STATUS_SUCCESS, empty.status);
    EXPECT_EQ(empty.Field<ULONG>(8), 0xFFFFFFFFu);
    EXPECT_EQ(empty.resultLength, 30u);
}

TEST_F(RegistryBufferTest, KeyRecords)
{
    Name cls(u"Q");
    Key child;
    ASSERT_STATUS(STATUS_SUCCESS,
                  Create(child, kTest + u"\\abc", nullptr, 0, nullptr, KEY_ALL_ACCESS, cls.get()));
    HANDLE parent = key_.get();
    Query basic = [parent](PVOID b, ULONG l, PULONG r) {
        return ZwEnumerateKey(parent, 0, KeyBasicInformation, b, l, r);
    };
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, Call(basic, 15).status);
    Reply header = Call(basic, 16);
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, header.status);
    EXPECT_EQ(header.resultLength, 22u);
    EXPECT_EQ(header.Field<ULONG>(12), 6u);
    EXPECT_STATUS(STATUS_SUCCESS, Call(basic, 22).status);

    /* The class sits on a ULONG boundary, but the size NT reports leaves
     * the padding out, so that size still falls short. */
    Query node = [parent](PVOID b, ULONG l, PULONG r) {
        return ZwEnumerateKey(parent, 0, KeyNodeInformation, b, l, r);
    };
    Reply reported = Call(node, 64);
    EXPECT_STATUS(STATUS_SUCCESS, reported.status);
    EXPECT_EQ(reported.resultLength, 24u + 6 + 2);
    EXPECT_EQ(reported.Field<ULONG>(12), 32u); /* ClassOffset */
    EXPECT_EQ(reported.Field<char16_t>(32), u'Q');
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, Call(node, 32).status);
    EXPECT_STATUS(STATUS_SUCCESS, Call(node, 34).status);

    HANDLE h = child.get();
    Query full = [h](PVOID b, ULONG l, PULONG r) {
        return ZwQueryKey(h, KeyFullInformation, b, l, r);
    };
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, Call(full, 43).status);
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, Call(full, 44).status);
    EXPECT_STATUS(STATUS_SUCCESS, Call(full, 46).status);

    Query name = [h](PVOID b, ULONG l, PULONG r) {
        return ZwQueryKey(h, KeyNameInformation, b, l, r);
    };
    const std::u16string path = kTest + u"\\abc";
    const ULONG needed = 4 + (ULONG)path.size() * 2;
    Reply probe = Call(name, 3);
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, probe.status);
    EXPECT_EQ(probe.resultLength, needed);
    Reply part = Call(name, 8);
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, part.status);
    EXPECT_EQ(part.Field<ULONG>(0), needed - 4);
    EXPECT_EQ(part.Field<char16_t>(4), u'\\');
    EXPECT_TRUE(part.UntouchedFrom(8));
    EXPECT_STATUS(STATUS_SUCCESS, Call(name, needed).status);
}

TEST_F(RegistryBufferTest, InformationClasses)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kTest, u"v", 1));
    uint8_t buffer[128];
    ULONG length = 0;
    Name v(u"v");
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  ZwQueryValueKey(key_.get(), v.get(), KeyValuePartialInformationAlign64, buffer,
                                  sizeof(buffer), &length));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ZwQueryValueKey(key_.get(), v.get(), (KEY_VALUE_INFORMATION_CLASS)99, buffer,
                                  sizeof(buffer), &length));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  ZwEnumerateValueKey(key_.get(), 0, (KEY_VALUE_INFORMATION_CLASS)99, buffer,
                                      sizeof(buffer), &length));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  ZwQueryKey(key_.get(), KeyCachedInformation, buffer, sizeof(buffer), &length));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, ZwQueryKey(key_.get(), (KEY_INFORMATION_CLASS)99,
                                                       buffer, sizeof(buffer), &length));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, ZwEnumerateKey(key_.get(), 0, (KEY_INFORMATION_CLASS)99,
                                                           buffer, sizeof(buffer), &length));
}

/* ---- enumeration and key queries ------------------------------------ */

class RegistryEnumerateTest : public RegistryTest {};

TEST_F(RegistryEnumerateTest, IndicesCloseUpAfterADeletion)
{
    for (const char16_t *name : {u"a", u"b", u"c"})
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\" + name));
    Key test, b;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest, KEY_READ));
    ASSERT_STATUS(STATUS_SUCCESS, Open(b, u"B", KEY_ALL_ACCESS, test.get()));
    ASSERT_STATUS(STATUS_SUCCESS, ZwDeleteKey(b.get()));
    EXPECT_EQ(EnumeratedName(test.get(), 1), u"c");
    uint8_t buffer[64];
    ULONG length = 0;
    EXPECT_STATUS(STATUS_NO_MORE_ENTRIES, ZwEnumerateKey(test.get(), 2, KeyBasicInformation, buffer,
                                                         sizeof(buffer), &length));
}

TEST_F(RegistryEnumerateTest, MaxNameLenIsAHighWaterMarkUntilTheLastSubkeyGoes)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\longest"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\s"));
    Key test;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, kTest, KEY_READ));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(kTest + u"\\longest"));
    EXPECT_EQ(QueryFull(test.get()).MaxNameLen, 14u);
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(kTest + u"\\s"));
    EXPECT_EQ(QueryFull(test.get()).MaxNameLen, 0u);
}

TEST_F(RegistryEnumerateTest, KeyQueriesDescribeTheKeyItself)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\Child\\Grandchild"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest + u"\\x"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetString(kTest, u"value", u"data"));
    Key test;
    ASSERT_STATUS(STATUS_SUCCESS, Open(test, u"\\registry\\machine\\test", KEY_READ));
    KEY_FULL_INFORMATION full = QueryFull(test.get());
    EXPECT_EQ(full.SubKeys, 2u);
    EXPECT_EQ(full.MaxNameLen, 10u);
    EXPECT_EQ(full.Values, 1u);
    EXPECT_EQ(full.MaxValueNameLen, 10u);
    EXPECT_EQ(full.MaxValueDataLen, 10u);
    EXPECT_EQ(full.ClassOffset, 0xFFFFFFFFu);
    EXPECT_EQ(full.LastWriteTime.QuadPart, *sk::RegLastWriteTime(kTest));
    alignas(8) uint8_t buffer[128];
    ULONG length = 0;
    ASSERT_STATUS(STATUS_SUCCESS,
                  ZwQueryKey(test.get(), KeyBasicInformation, buffer, sizeof(buffer), &length));
    auto *basic = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
    EXPECT_EQ(std::u16string(basic->Name, basic->NameLength / 2), u"Test");
    ASSERT_STATUS(STATUS_SUCCESS, ZwEnumerateKey(test.get(), 0, KeyFullInformation, buffer,
                                                 sizeof(buffer), &length));
    EXPECT_EQ(reinterpret_cast<KEY_FULL_INFORMATION *>(buffer)->SubKeys, 1u) << "Child's own count";
}

} // namespace
