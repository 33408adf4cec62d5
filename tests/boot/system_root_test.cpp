/*
 * system_root_test.cpp - telling the early-boot load from a later one, and
 * the link to the system root: through an ARC path, through the recorded
 * SystemRoot value, or to the fallback.
 */
#include "boot/boot.h"
#include "simkernel/objects.h"
#include "simkernel/registry.h"
#include "tests/exec/volume_fixture.h"

namespace {

using qtest::Counted;

const std::u16string kParameters = u"\\REGISTRY\\MACHINE\\SYSTEM\\Qelmbar\\Parameters";
const std::u16string kArc = u"\\ArcName\\multi(0)disk(0)rdisk(0)partition(1)";

class SystemRootTest : public qtest::VolumeTest {
protected:
    void SetUp() override
    {
        qtest::VolumeTest::SetUp();
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kParameters));
        UNICODE_STRING name = Counted(kParameters);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        ASSERT_STATUS(STATUS_SUCCESS, ZwOpenKey(&key_, KEY_ALL_ACCESS, &attributes));
        Write('C', "Windows/System32/config/SOFTWARE", "software hive");
    }
    void TearDown() override
    {
        if (key_)
            ZwClose(key_);
        qtest::VolumeTest::TearDown();
    }

    /* \ArcName\... leading to volume 1, and \SystemRoot to target. */
    void EarlyBoot(const std::u16string &systemRoot, bool arcOpens = true)
    {
        if (arcOpens) {
            ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(kArc, u"\\Device\\HarddiskVolume1"));
        }
        ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\SystemRoot", systemRoot));
    }

    std::u16string Resolved(BOOLEAN *isArc)
    {
        PUNICODE_STRING path = nullptr;
        NTSTATUS status = ResolveSystemRoot(isArc, &path);
        EXPECT_STATUS(STATUS_SUCCESS, status);
        if (!path)
            return u"";
        std::u16string text(path->Buffer, path->Length / 2);
        EXPECT_EQ(path->Buffer[path->Length / 2], 0) << "NUL-terminated";
        ExFreePoolWithTag(path, QELMBAR_TAG);
        return text;
    }

    /* Prepares the link and reads its target back. */
    NTSTATUS Prepare(std::u16string *linkTarget, BOOLEAN *isArc = nullptr)
    {
        HANDLE link = nullptr;
        NTSTATUS status = PrepareSystemRootLink(key_, &link, isArc);
        if (link) {
            *linkTarget = sk::LinkTarget(u"\\QelmbarSystemRoot").value_or(u"<none>");
            ZwClose(link);
            EXPECT_FALSE(sk::ObjectExists(u"\\QelmbarSystemRoot")) << "closing removes the link";
        }
        return status;
    }

    HANDLE key_ = nullptr;
};

TEST_F(SystemRootTest, ArcPathsAreTheEarlyBootLoad)
{
    EarlyBoot(kArc + u"\\Windows");
    BOOLEAN isArc = FALSE;
    EXPECT_EQ(Resolved(&isArc), kArc + u"\\Windows");
    EXPECT_TRUE(isArc);

    ASSERT_STATUS(STATUS_SUCCESS, sk::RemoveLink(u"\\SystemRoot"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\SystemRoot", u"\\arcname\\multi(0)x\\Windows"));
    EXPECT_EQ(Resolved(&isArc), u"\\arcname\\multi(0)x\\Windows");
    EXPECT_TRUE(isArc) << "the prefix is matched ignoring case";

    EXPECT_STATUS(STATUS_INVALID_PARAMETER, ResolveSystemRoot(nullptr, nullptr));
}

TEST_F(SystemRootTest, TheBootDeviceIsResolvedOnAComponentBoundary)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\Device\\BootDevice", kArc));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\SystemRoot", u"\\Device\\BootDevice\\Windows"));
    BOOLEAN isArc = FALSE;
    EXPECT_EQ(Resolved(&isArc), kArc + u"\\Windows");
    EXPECT_TRUE(isArc);

    ASSERT_STATUS(STATUS_SUCCESS, sk::RemoveLink(u"\\SystemRoot"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\SystemRoot", u"\\Device\\BootDevice2\\Windows"));
    EXPECT_EQ(Resolved(&isArc), u"\\Device\\BootDevice2\\Windows");
    EXPECT_FALSE(isArc);
}

TEST_F(SystemRootTest, ALaterLoadRecordsTheSystemRootWithoutANul)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\SystemRoot", u"\\Device\\HarddiskVolume1\\Windows"));
    BOOLEAN isArc = TRUE;
    EXPECT_STATUS(STATUS_SUCCESS, PrepareSystemRootLink(key_, nullptr, &isArc));
    EXPECT_FALSE(isArc);
    auto value = sk::RegGetValue(kParameters, u"SystemRoot");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, (ULONG)REG_SZ);
    std::u16string expected = u"\\Device\\HarddiskVolume1\\Windows";
    ASSERT_EQ(value->data.size(), expected.size() * 2);
    EXPECT_EQ(std::u16string((const char16_t *)value->data.data(), expected.size()), expected);
    EXPECT_FALSE(sk::ObjectExists(u"\\QelmbarSystemRoot"));
}

TEST_F(SystemRootTest, AnArcPathThatOpensIsTheLinkTarget)
{
    EarlyBoot(kArc + u"\\Windows");
    /* Not read when the ARC path opens, so its wrong type does not matter. */
    sk::RegSetDword(kParameters, u"SystemRoot", 7);
    std::u16string target;
    BOOLEAN isArc = FALSE;
    EXPECT_STATUS(STATUS_SUCCESS, Prepare(&target, &isArc));
    EXPECT_TRUE(isArc);
    EXPECT_EQ(target, kArc + u"\\Windows");
}

TEST_F(SystemRootTest, FilesAreReachedThroughTheLink)
{
    EarlyBoot(kArc + u"\\Windows");
    HANDLE link = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, PrepareSystemRootLink(key_, &link, nullptr));
    HANDLE file = Hold(u"\\QelmbarSystemRoot\\System32\\config\\SOFTWARE",
                       FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ);
    EXPECT_NE(file, nullptr);
    Release(file);
    ZwClose(link);
}

TEST_F(SystemRootTest, WithoutTheArcPathTheRecordedRootOrTheFallbackIsUsed)
{
    EarlyBoot(kArc + u"\\Windows", false);
    std::u16string target;
    EXPECT_STATUS(STATUS_SUCCESS, Prepare(&target));
    EXPECT_EQ(target, u"\\??\\C:\\Windows") << "nothing recorded";

    sk::RegSetString(kParameters, u"SystemRoot", u"\\Device\\HarddiskVolume2\\WINDOWS");
    EXPECT_STATUS(STATUS_SUCCESS, Prepare(&target));
    EXPECT_EQ(target, u"\\Device\\HarddiskVolume2\\WINDOWS");

    std::u16string withNul = std::u16string(u"\\Device\\X") + u'\0' + u"junk";
    sk::RegSetValue(kParameters, u"SystemRoot", REG_SZ,
                    std::vector<uint8_t>((const uint8_t *)withNul.data(),
                                         (const uint8_t *)(withNul.data() + withNul.size())));
    EXPECT_STATUS(STATUS_SUCCESS, Prepare(&target));
    EXPECT_EQ(target, u"\\Device\\X") << "taken up to its first NUL";
}

TEST_F(SystemRootTest, ARecordedRootThatIsNoPathMakesNoLink)
{
    EarlyBoot(kArc + u"\\Windows", false);
    std::u16string target = u"<unset>";
    sk::RegSetDword(kParameters, u"SystemRoot", 1);
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, Prepare(&target));
    sk::RegSetValue(kParameters, u"SystemRoot", REG_SZ, {});
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, Prepare(&target));
    sk::RegSetValue(kParameters, u"SystemRoot", REG_SZ, { 'a', 0, 'b' });
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, Prepare(&target));
    sk::RegSetValue(kParameters, u"SystemRoot", REG_SZ, { 0, 0 });
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, Prepare(&target));
    EXPECT_EQ(target, u"<unset>");
    EXPECT_FALSE(sk::ObjectExists(u"\\QelmbarSystemRoot"));
}

TEST_F(SystemRootTest, LinkTargetsLongerThan260CharactersFail)
{
    std::u16string longTarget = u"\\Device\\HarddiskVolume1\\" + std::u16string(300, u'w');
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\SystemRoot", longTarget));
    BOOLEAN isArc = FALSE;
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, ResolveSystemRoot(&isArc, nullptr));
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, PrepareSystemRootLink(key_, nullptr, nullptr));
}

TEST_F(SystemRootTest, EveryCallFailingInTurn)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::CreatePermanentLink(u"\\Device\\BootDevice", kArc));
    EarlyBoot(u"\\Device\\BootDevice\\Windows", false);
    sk::RegSetString(kParameters, u"SystemRoot", u"\\Device\\HarddiskVolume1\\Windows");
    sk::ClearFaults();
    std::u16string target;
    ASSERT_STATUS(STATUS_SUCCESS, Prepare(&target));
    uint64_t calls = sk::CallCount();
    for (uint64_t nth = 1; nth <= calls; nth++) {
        sk::ClearFaults();
        sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
        HANDLE link = nullptr;
        NTSTATUS status = PrepareSystemRootLink(key_, &link, nullptr);
        sk::ClearFaults();
        if (link)
            ZwClose(link);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES ||
                    status == STATUS_NO_MEMORY)
            << "call " << nth << ": " << sk::StatusText(status);
        EXPECT_EQ(link != nullptr, NT_SUCCESS(status)) << "call " << nth;
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << "call " << nth;
        EXPECT_EQ(sk::OpenHandleCount(), 1u) << "only the Parameters key stays open";
        EXPECT_FALSE(sk::ObjectExists(u"\\QelmbarSystemRoot"));
    }
}

} // namespace

TEST_F(SystemRootTest, TheLinksOfBothStagesOfABoot)
{
    sk::BootLinks links;
    links.throughBootDevice = true;
    ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpEarlyBootLinks(links));
    BOOLEAN isArc = FALSE;
    EXPECT_EQ(Resolved(&isArc), kArc + u"\\Windows");
    EXPECT_TRUE(isArc);
    std::u16string target;
    EXPECT_STATUS(STATUS_SUCCESS, Prepare(&target));
    EXPECT_EQ(target, kArc + u"\\Windows");

    ASSERT_STATUS(STATUS_SUCCESS, sk::SetUpLateBootLinks(links));
    EXPECT_EQ(Resolved(&isArc), u"\\Device\\HarddiskVolume1\\Windows");
    EXPECT_FALSE(isArc);
    EXPECT_EQ(sk::ResolveName(u"\\SystemRoot\\System32\\config\\SOFTWARE"),
              u"\\Device\\HarddiskVolume1\\Windows\\System32\\config\\SOFTWARE");
}
