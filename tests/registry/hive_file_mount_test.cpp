/*
 * hive_file_mount_test.cpp - a read under a hive the system has not loaded
 * yet reaches the hive's real file through the driver's system-root link;
 * writes there wait; nothing of the mount is left afterwards.
 */
#include "tests/registry/registry_fixture.h"

#include "simkernel/hive_load.h"
#include "simkernel/objects.h"

#include <fstream>
#include <iterator>

namespace {

using qtest::kSoftware;
using qtest::kSystem;

class HiveFileMountTest : public qtest::RegistryTest {
protected:
    void SetUp() override
    {
        qtest::RegistryTest::SetUp();
        ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(kSoftware));
        MakeDir('C', "Windows/System32/config");
        /* A SOFTWARE hive file as the installed system left it. */
        const std::u16string staging = u"\\REGISTRY\\MACHINE\\Staging";
        file_ = Host('C', "Windows/System32/config/SOFTWARE").string();
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::MountHive(staging, u"SOFTWARE", std::u16string(file_.begin(), file_.end())));
        sk::RegCreateKey(staging + u"\\Vendor\\App");
        sk::RegSetString(staging + u"\\Vendor\\App", u"Version", u"2.1");
        sk::RegSetValue(staging + u"\\Vendor\\App", u"Blob", REG_BINARY, std::vector<uint8_t>(40000, 7));
        Flush(staging);
        ASSERT_STATUS(STATUS_SUCCESS, sk::UnmountHive(staging));
        bytes_ = FileBytes();
        ASSERT_GE(bytes_.size(), 8192u);
        ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpEarlyBootLinks());
        ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\QelmbarSystemRoot",
                                                              u"\\SystemRoot"));
    }

    void Flush(const std::u16string &path)
    {
        HANDLE key = nullptr;
        OBJECT_ATTRIBUTES attributes;
        UNICODE_STRING name = Keep(path);
        InitializeKeyAttributes(&attributes, &name, nullptr, REGISTRY_KEY_ATTRIBUTES);
        ASSERT_STATUS(STATUS_SUCCESS, ZwOpenKey(&key, KEY_READ, &attributes));
        EXPECT_STATUS(STATUS_SUCCESS, ZwFlushKey(key));
        ZwClose(key);
    }
    std::vector<char> FileBytes()
    {
        std::ifstream in(file_, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    }

    std::string file_;
    std::vector<char> bytes_;
};

TEST_F(HiveFileMountTest, AReadMountsTheFileAndAWriteThereWaits)
{
    const std::u16string app = kSoftware + u"\\Vendor\\App";
    EXPECT_STATUS(STATUS_SUCCESS, SetKeyValue(kSystem + u"\\Copy", u"Version", app, u"Version", false, false));
    EXPECT_EQ(sk::RegGetValue(kSystem + u"\\Copy", u"Version")->data,
              (std::vector<uint8_t>{ '2', 0, '.', 0, '1', 0, 0, 0 }));
    EXPECT_STATUS(STATUS_SUCCESS, CopyKey(app, kSystem + u"\\App", false));
    EXPECT_EQ(sk::RegGetValue(kSystem + u"\\App", u"Blob")->data.size(), 40000u);

    EXPECT_STATUS(STATUS_FAIL_CHECK, SetKeyValue(app, u"New", app, u"Version", true, false));
    EXPECT_STATUS(STATUS_FAIL_CHECK, SetKeyValue(kSystem + u"\\X", u"V", app, u"Version", true, true));
    EXPECT_STATUS(STATUS_FAIL_CHECK, CreateKey(kSoftware + u"\\Vendor\\Other"));
    EXPECT_FALSE(IsListEmpty(&context_.TemporaryHiveList));

    UnloadTemporaryHives(&context_.TemporaryHiveList);
    EXPECT_TRUE(IsListEmpty(&context_.TemporaryHiveList));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware));
    EXPECT_TRUE(sk::LoadedHives().empty());
    EXPECT_EQ(FileBytes(), bytes_) << "a hive only read is not written back";
}

/* The system loads SOFTWARE just as the driver is about to mount it: the
 * driver's load fails, and the system's hive is never taken for the
 * driver's own (which it would unload later). */
TEST_F(HiveFileMountTest, AHiveTheSystemLoadsMeanwhileIsNeverTakenForTheDriversOwn)
{
    const std::u16string app = kSoftware + u"\\Vendor\\App";
    bool loadedBySystem = false;
    sk::SetCallObserver([&](const char *routine, uint64_t) {
        if (loadedBySystem || std::string(routine) != "ZwLoadKey")
            return;
        loadedBySystem = true;
        ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSoftware, u"SOFTWARE"));
    });
    const NTSTATUS status = CopyKey(app, kSystem + u"\\App", false);
    sk::SetCallObserver(nullptr);
    ASSERT_TRUE(loadedBySystem);
    EXPECT_STATUS(STATUS_FAIL_CHECK, status);
    EXPECT_TRUE(IsListEmpty(&context_.TemporaryHiveList));
    UnloadTemporaryHives(&context_.TemporaryHiveList);
    EXPECT_TRUE(sk::RegKeyExists(kSoftware)) << "the system's hive stays loaded";
}

/* A mount whose root key cannot be opened is taken back: the read waits
 * for the deferred run and no hive stays mounted. */
TEST_F(HiveFileMountTest, AMountWhoseRootCannotBeOpenedIsUndone)
{
    const std::u16string app = kSoftware + u"\\Vendor\\App";
    /* Two probes find the hive missing; the third open is its root's. */
    sk::ClearFaults();
    sk::FailCall("ZwOpenKey", 3, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_FAIL_CHECK, CopyKey(app, kSystem + u"\\App", false));
    EXPECT_EQ(sk::InjectedFaultCount(), 1u);
    sk::ClearFaults();
    EXPECT_TRUE(IsListEmpty(&context_.TemporaryHiveList));
    EXPECT_TRUE(sk::LoadedHives().empty());
    EXPECT_FALSE(sk::RegKeyExists(kSystem + u"\\App"));
    EXPECT_EQ(FileBytes(), bytes_);
}

} // namespace
