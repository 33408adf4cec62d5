/*
 * registry_test_util.h - what the tests of the simulated registry share:
 * opening and creating keys by name, queries into a prefilled buffer, and
 * the fixture that starts every test with \REGISTRY\MACHINE\Test.
 */
#pragma once

#include "simkernel/registry.h"
#include "tests/support/kernel_test.h"
#include "tests/support/nt_objects.h"

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace regtest {

inline const std::u16string kMachine = u"\\REGISTRY\\MACHINE";
inline const std::u16string kTest = u"\\REGISTRY\\MACHINE\\Test";
constexpr uint8_t kFill = 0xAB;

using Name = qtest::OwnedName;
using Key = qtest::ScopedHandle;

inline NTSTATUS Open(Key &key, const std::u16string &name, ACCESS_MASK access = KEY_ALL_ACCESS,
              HANDLE root = nullptr)
{
    Name n(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, n.get(), OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root,
                               nullptr);
    return ZwOpenKey(key.out(), access, &oa);
}

inline NTSTATUS Create(Key &key, const std::u16string &name, ULONG *disposition = nullptr,
                ULONG options = 0, HANDLE root = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS,
                PUNICODE_STRING keyClass = nullptr)
{
    Name n(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, n.get(), OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(key.out(), access, &oa, 0, keyClass, options, disposition);
}

inline NTSTATUS SetDword(HANDLE key, const std::u16string &name, ULONG value)
{
    Name n(name);
    return ZwSetValueKey(key, n.get(), 0, REG_DWORD, &value, sizeof(value));
}

inline std::u16string QueryPath(HANDLE key)
{
    alignas(8) uint8_t buffer[1024];
    ULONG length = 0;
    EXPECT_STATUS(STATUS_SUCCESS,
                  ZwQueryKey(key, KeyNameInformation, buffer, sizeof(buffer), &length));
    auto *info = reinterpret_cast<KEY_NAME_INFORMATION *>(buffer);
    return std::u16string(info->Name, info->NameLength / sizeof(WCHAR));
}

inline std::u16string EnumeratedName(HANDLE key, ULONG index)
{
    alignas(8) uint8_t buffer[1024];
    ULONG length = 0;
    EXPECT_STATUS(STATUS_SUCCESS,
                  ZwEnumerateKey(key, index, KeyBasicInformation, buffer, sizeof(buffer), &length));
    auto *info = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
    return std::u16string(info->Name, info->NameLength / sizeof(WCHAR));
}

inline KEY_FULL_INFORMATION QueryFull(HANDLE key)
{
    KEY_FULL_INFORMATION info{};
    ULONG length = 0;
    EXPECT_STATUS(STATUS_SUCCESS,
                  ZwQueryKey(key, KeyFullInformation, &info, sizeof(info), &length));
    return info;
}

/* The outcome of one query into a buffer prefilled with kFill and longer
 * than the length passed, so that bytes written past it show. */
struct Reply {
    NTSTATUS status;
    ULONG resultLength;
    std::vector<uint8_t> bytes;
    template <typename T> T Field(size_t offset) const
    {
        T v;
        memcpy(&v, bytes.data() + offset, sizeof(T));
        return v;
    }
    bool UntouchedFrom(size_t offset) const
    {
        for (size_t i = offset; i < bytes.size(); i++)
            if (bytes[i] != kFill)
                return false;
        return true;
    }
};

using Query = std::function<NTSTATUS(PVOID, ULONG, PULONG)>;

inline Reply Call(const Query &query, ULONG length)
{
    Reply reply;
    reply.bytes.assign(length + 16, kFill);
    reply.resultLength = 0xDEAD;
    reply.status = query(length ? reply.bytes.data() : nullptr, length, &reply.resultLength);
    return reply;
}

using qtest::ViolationsDuring;

class RegistryTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        qtest::KernelTest::SetUp();
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kTest));
    }
};

} // namespace regtest
