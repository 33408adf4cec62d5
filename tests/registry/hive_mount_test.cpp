/*
 * hive_mount_test.cpp - reads reach a hive that is not loaded yet by
 * mounting its file through the system-root link; writes wait for the
 * system's own load; the driver's mounts go again, or stay recorded when
 * they cannot.
 */
#include "driver/driver.h"
#include "registry/registry.h"
#include "simkernel/hive_load.h"
#include "simkernel/objects.h"
#include "simkernel/registry.h"
#include "tests/exec/volume_fixture.h"

namespace {

using qtest::Counted;

class HiveMountTest : public qtest::VolumeTest {
protected:
    void SetUp() override
    {
        qtest::VolumeTest::SetUp();
        memset(&context_, 0, sizeof(context_));
        InitializeContextLists(&context_);
        QelmbarContext = &context_;
        Write('C', "Windows/System32/config/SOFTWARE", "regf");
        Write('C', "Windows/System32/config/DEFAULT", "regf");
        ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\QelmbarSystemRoot",
                                                              u"\\Device\\HarddiskVolume1\\Windows"));
        sk::RegCreateKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\Setup");
        sk::SetHiveFileReader([this](const std::string &hostPath, std::vector<sk::HiveFileKey> *keys) {
            reads_.push_back(hostPath);
            keys->push_back({ u"", {} });
            keys->push_back({ u"Vendor", { { u"Version", REG_SZ, { '1', 0, 0, 0 } } } });
            return STATUS_SUCCESS;
        });
    }
    void TearDown() override
    {
        UnloadTemporaryHives(&context_.TemporaryHiveList);
        QelmbarContext = nullptr;
        qtest::VolumeTest::TearDown();
    }

    NTSTATUS Ensure(const std::u16string &path, bool requireSystemHive)
    {
        UNICODE_STRING p = Counted(path);
        return EnsureHiveLoaded(&p, requireSystemHive);
    }

    std::vector<std::u16string> Mounted()
    {
        std::vector<std::u16string> paths;
        PLIST_ENTRY head = &context_.TemporaryHiveList;
        for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
            TemporaryHive *hive = CONTAINING_RECORD(e, TemporaryHive, Links);
            paths.push_back(std::u16string(hive->MountPath.Buffer, hive->MountPath.Length / 2));
            EXPECT_EQ(hive->MountPath.Buffer[hive->MountPath.Length / 2], 0);
        }
        return paths;
    }

    DriverContext context_;
    std::vector<std::string> reads_;
};

TEST_F(HiveMountTest, ThePrefixIsThePathUpToItsFourthBackslash)
{
    struct Case {
        std::u16string path, prefix;
    } cases[] = {
        { u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B", u"\\REGISTRY\\MACHINE\\SOFTWARE" },
        { u"\\REGISTRY\\MACHINE\\SOFTWARE", u"\\REGISTRY\\MACHINE\\SOFTWARE" },
        { u"\\REGISTRY\\USER\\.DEFAULT\\X", u"\\REGISTRY\\USER\\.DEFAULT" },
        { u"relative", u"relative" },
    };
    for (const Case &c : cases) {
        UNICODE_STRING path = Counted(c.path);
        UNICODE_STRING prefix = HivePrefix(&path);
        EXPECT_EQ(prefix.Buffer, path.Buffer) << "a view, not a copy";
        EXPECT_EQ(std::u16string(prefix.Buffer, prefix.Length / 2), c.prefix);
    }
}

TEST_F(HiveMountTest, AReadMountsTheHiveAndAWriteThereIsDeferred)
{
    EXPECT_STATUS(STATUS_SUCCESS, Ensure(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", false));
    EXPECT_EQ(Mounted(), (std::vector<std::u16string>{ u"\\REGISTRY\\MACHINE\\SOFTWARE" }));
    ASSERT_EQ(reads_.size(), 1u);
    EXPECT_EQ(reads_[0], Host('C', "Windows/System32/config/SOFTWARE").string());
    EXPECT_TRUE(sk::RegGetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", u"Version").has_value());

    EXPECT_STATUS(STATUS_SUCCESS, Ensure(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Other", false));
    EXPECT_EQ(reads_.size(), 1u) << "a second read does not mount again";
    EXPECT_STATUS(STATUS_FAIL_CHECK, Ensure(u"\\REGISTRY\\MACHINE\\software\\Vendor", true))
        << "the hive there is the driver's own mount";

    UnloadTemporaryHives(&context_.TemporaryHiveList);
    EXPECT_TRUE(IsListEmpty(&context_.TemporaryHiveList));
    EXPECT_FALSE(sk::RegKeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE"));
    UnloadTemporaryHives(&context_.TemporaryHiveList);
    EXPECT_TRUE(IsListEmpty(&context_.TemporaryHiveList));
}

TEST_F(HiveMountTest, PrefixesMatchIgnoringCaseAndKeepTheCallersSpelling)
{
    EXPECT_STATUS(STATUS_SUCCESS, Ensure(u"\\registry\\user\\.default\\x", false));
    EXPECT_EQ(Mounted(), (std::vector<std::u16string>{ u"\\registry\\user\\.default" }));
}

TEST_F(HiveMountTest, HivesTheSystemLoadedNeedNoMount)
{
    EXPECT_STATUS(STATUS_SUCCESS, Ensure(u"\\REGISTRY\\MACHINE\\SYSTEM\\Setup\\X", true));
    EXPECT_STATUS(STATUS_SUCCESS, Ensure(u"\\REGISTRY\\MACHINE\\SYSTEM", false));
    EXPECT_TRUE(reads_.empty());
    EXPECT_TRUE(Mounted().empty());
}

TEST_F(HiveMountTest, WhatCannotBeMountedIsDeferred)
{
    EXPECT_STATUS(STATUS_FAIL_CHECK, Ensure(u"\\REGISTRY\\MACHINE\\SOFTWARE\\X", true))
        << "a write never mounts";
    EXPECT_STATUS(STATUS_FAIL_CHECK, Ensure(u"\\REGISTRY\\MACHINE\\HARDWARE2\\X", false))
        << "no file for it";
    EXPECT_STATUS(STATUS_FAIL_CHECK, Ensure(u"REGISTRY\\MACHINE\\SOFTWARE", false));
    EXPECT_STATUS(STATUS_FAIL_CHECK, Ensure(u"\\REGISTRY\\MACHINE\\SAM\\X", false))
        << "the hive file is missing";
    ASSERT_STATUS(STATUS_SUCCESS, sk::RemoveLink(u"\\QelmbarSystemRoot"));
    EXPECT_STATUS(STATUS_FAIL_CHECK, Ensure(u"\\REGISTRY\\MACHINE\\SOFTWARE\\X", false))
        << "without the system-root link";
    EXPECT_TRUE(Mounted().empty());
    EXPECT_FALSE(sk::RegKeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE"));
}

TEST_F(HiveMountTest, AHiveThatWillNotUnloadStaysRecorded)
{
    ASSERT_STATUS(STATUS_SUCCESS, Ensure(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", false));
    UNICODE_STRING name = Counted(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE key = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, ZwOpenKey(&key, KEY_READ, &attributes));

    UnloadTemporaryHives(&context_.TemporaryHiveList);
    EXPECT_EQ(Mounted().size(), 1u) << "the unload failed, the record stays";
    EXPECT_STATUS(STATUS_FAIL_CHECK, Ensure(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", true));

    ZwClose(key);
    UnloadTemporaryHives(&context_.TemporaryHiveList);
    EXPECT_TRUE(Mounted().empty());
    EXPECT_FALSE(sk::RegKeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE"));
}

TEST_F(HiveMountTest, AMountThatFailsPartWayLeavesNothing)
{
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Ensure(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", false));
    UnloadTemporaryHives(&context_.TemporaryHiveList);
    uint64_t calls = sk::CallCount();
    for (uint64_t nth = 1; nth <= calls; nth++) {
        sk::ClearFaults();
        sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
        NTSTATUS status = Ensure(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", false);
        sk::ClearFaults();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_FAIL_CHECK) << "call " << nth;
        EXPECT_EQ(Mounted().size(), NT_SUCCESS(status) ? 1u : 0u) << "call " << nth;
        if (!NT_SUCCESS(status)) {
            EXPECT_FALSE(sk::RegKeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE")) << "call " << nth;
        }
        UnloadTemporaryHives(&context_.TemporaryHiveList);
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << "call " << nth;
        EXPECT_EQ(sk::OpenHandleCount(), 0u) << "call " << nth;
    }
}

} // namespace
