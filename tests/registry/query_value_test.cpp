/*
 * query_value_test.cpp - QueryRegistryValue: the zero-padded block it hands
 * out, the statuses it passes on, and that it leaves nothing behind on any
 * failure.
 */
#include "registry/registry.h"
#include "tests/support/kernel_test.h"

#include <string>
#include <vector>

namespace {

class QueryValueTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        qtest::KernelTest::SetUp();
        UNICODE_STRING name = QSTRING("\\REGISTRY\\MACHINE\\QueryValueTest");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        ASSERT_STATUS(STATUS_SUCCESS,
                      ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr));
    }

    void TearDown() override
    {
        if (key)
            ZwClose(key);
        qtest::KernelTest::TearDown();
    }

    void Set(const std::u16string &name, ULONG type, const void *data, ULONG size)
    {
        UNICODE_STRING valueName = Counted(name);
        ASSERT_STATUS(STATUS_SUCCESS, ZwSetValueKey(key, &valueName, 0, type, (PVOID)data, size));
    }

    NTSTATUS Query(const std::u16string &name, RegistryValue **value)
    {
        UNICODE_STRING valueName = Counted(name);
        return QueryRegistryValue(key, &valueName, value);
    }

    static UNICODE_STRING Counted(const std::u16string &text)
    {
        UNICODE_STRING s;
        s.Length = s.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
        s.Buffer = (PWCH)text.data();
        return s;
    }

    HANDLE key = nullptr;
};

RegistryValue *const kUntouched = (RegistryValue *)(uintptr_t)0x5A5A5A5A;

TEST_F(QueryValueTest, DataIsFollowedByZeroPadding)
{
    const std::u16string text = u"Package"; /* stored without its NUL */
    Set(u"", REG_SZ, text.data(), (ULONG)(text.size() * 2));
    RegistryValue *value = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, Query(u"", &value));
    EXPECT_EQ(value->Type, (ULONG)REG_SZ);
    EXPECT_EQ(value->DataLength, 14u);
    EXPECT_EQ(std::u16string((const char16_t *)value->Data, 7), text);
    for (ULONG i = 0; i < RegistryValuePadding; i++)
        EXPECT_EQ(value->Data[14 + i], 0) << "padding byte " << i;
    ExFreePoolWithTag(value, QELMBAR_TAG);

    USHORT shortDword = 0x1234;
    Set(u"Short", REG_DWORD, &shortDword, 2);
    ASSERT_STATUS(STATUS_SUCCESS, Query(u"short", &value));
    EXPECT_EQ(value->DataLength, 2u);
    ULONG read;
    memcpy(&read, value->Data, 4);
    EXPECT_EQ(read, 0x1234u) << "the missing bytes read as zero";
    ExFreePoolWithTag(value, QELMBAR_TAG);

    Set(u"Empty", REG_MULTI_SZ, nullptr, 0);
    ASSERT_STATUS(STATUS_SUCCESS, Query(u"Empty", &value));
    EXPECT_EQ(value->Type, (ULONG)REG_MULTI_SZ);
    EXPECT_EQ(value->DataLength, 0u);
    ExFreePoolWithTag(value, QELMBAR_TAG);
}

TEST_F(QueryValueTest, FailuresLeaveTheOutPointerAndThePoolAlone)
{
    RegistryValue *value = kUntouched;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Query(u"Missing", &value));
    EXPECT_EQ(value, kUntouched);

    UNICODE_STRING name = QSTRING("x");
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, QueryRegistryValue(nullptr, &name, &value));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, QueryRegistryValue(key, nullptr, &value));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, QueryRegistryValue(key, &name, nullptr));
    EXPECT_EQ(value, kUntouched);
}

/* Each call the reader makes fails in turn, with the status the platform
 * would give: the status comes back and nothing is left allocated. */
TEST_F(QueryValueTest, EveryCallFailingInTurn)
{
    ULONG one = 1;
    Set(u"BootCounter", REG_DWORD, &one, 4);
    sk::ClearFaults();
    RegistryValue *value = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, Query(u"BootCounter", &value));
    ExFreePoolWithTag(value, QELMBAR_TAG);
    uint64_t calls = sk::CallCount();
    ASSERT_EQ(calls, 3u) << "probe, allocation, read";

    const NTSTATUS expected[] = { STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY,
                                  STATUS_INSUFFICIENT_RESOURCES };
    for (uint64_t nth = 1; nth <= calls; nth++) {
        sk::ClearFaults();
        sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
        value = kUntouched;
        EXPECT_STATUS(expected[nth - 1], Query(u"BootCounter", &value)) << "call " << nth;
        EXPECT_EQ(value, kUntouched);
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u);
    }
}

TEST_F(QueryValueTest, AProbeThatClaimsSuccessYieldsNoBlock)
{
    sk::FailCall("ZwQueryValueKey", 1, STATUS_SUCCESS);
    RegistryValue *value = kUntouched;
    EXPECT_STATUS(STATUS_UNSUCCESSFUL, Query(u"Anything", &value));
    EXPECT_EQ(value, kUntouched);
}

/* A value that grows between the probe and the read is not retried: the
 * platform's answer for the short buffer is returned. */
TEST_F(QueryValueTest, AValueThatGrewBetweenTheCallsFails)
{
    ULONG small = 7;
    Set(u"Grows", REG_DWORD, &small, 4);
    bool grown = false;
    sk::SetCallObserver([&](const char *routine, uint64_t) {
        if (grown || std::string(routine) != "ExAllocatePoolWithTag")
            return;
        grown = true;
        std::vector<uint8_t> large(64, 0xAB);
        UNICODE_STRING name = QSTRING("Grows");
        ZwSetValueKey(key, &name, 0, REG_BINARY, large.data(), (ULONG)large.size());
    });
    RegistryValue *value = kUntouched;
    EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, Query(u"Grows", &value));
    EXPECT_EQ(value, kUntouched);
    sk::SetCallObserver(nullptr);
}

} // namespace
