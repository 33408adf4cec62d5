/*
 * security_test.cpp - the Rtl routines on SIDs, ACLs and descriptors, and
 * the descriptors the object manager keeps: exact bytes, exact statuses,
 * generic rights mapped where NT maps them, and the DACL of a device set
 * through a handle ObOpenObjectByPointer opens.
 */
#include "simkernel/io.h"
#include "simkernel/security.h"
#include "tests/driver/sddl_dump.h"
#include "tests/support/kernel_test.h"

#include <cstring>

namespace {

using qtest::OneViolation;
using qtest::RelativeDescriptor;
using qtest::Sddl;
using qtest::TestAce;
using qtest::TestAcl;
using qtest::TestSid;
using qtest::ViolationsDuring;

class SecurityTest : public qtest::KernelTest {
protected:
    /* An ACL in a ULONG-aligned buffer of the given size. */
    PACL NewAcl(ULONG bytes)
    {
        storage_.emplace_back((bytes + 3) / 4, 0u);
        return (PACL)storage_.back().data();
    }
    static std::vector<uint8_t> Bytes(const void *p, size_t n)
    {
        return std::vector<uint8_t>((const uint8_t *)p, (const uint8_t *)p + n);
    }
    std::vector<std::vector<ULONG>> storage_;
};

TEST_F(SecurityTest, SidsAreBuiltInPlace)
{
    ULONG buffer[4];
    SID_IDENTIFIER_AUTHORITY nt = { { 0, 0, 0, 0, 0, 5 } };
    ASSERT_STATUS(STATUS_SUCCESS, RtlInitializeSid(buffer, &nt, 2));
    *RtlSubAuthoritySid(buffer, 0) = 32;
    *RtlSubAuthoritySid(buffer, 1) = 544;
    EXPECT_EQ(Bytes(buffer, 16), TestSid("S-1-5-32-544"));
    EXPECT_EQ(RtlLengthSid(buffer), 16u);
    EXPECT_EQ(RtlLengthRequiredSid(2), 16u);
    EXPECT_TRUE(RtlValidSid(buffer));
    EXPECT_EQ(sk::SidToString((const uint8_t *)buffer), "S-1-5-32-544");

    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlInitializeSid(buffer, &nt, 16));
    auto seen = ViolationsDuring([&] { EXPECT_EQ(RtlSubAuthoritySid(buffer, 2), nullptr); });
    EXPECT_TRUE(OneViolation(seen, "RtlSubAuthoritySid"));
}

TEST_F(SecurityTest, SidValidity)
{
    std::vector<uint8_t> sid = TestSid("S-1-5-18");
    EXPECT_TRUE(RtlValidSid(sid.data()));
    sid[0] = 2;
    EXPECT_FALSE(RtlValidSid(sid.data()));
    sid[0] = 1;
    sid[1] = 16;
    EXPECT_FALSE(RtlValidSid(sid.data()));
    EXPECT_FALSE(RtlValidSid(nullptr));

    EXPECT_EQ(sk::SidFromString("S-1-5-32-544"), TestSid("S-1-5-32-544"));
    EXPECT_EQ(sk::SidToString(sk::SidFromString("S-1-0x123456789ABC-7")->data()),
              "S-1-0x123456789ABC-7");
    EXPECT_FALSE(sk::SidFromString("S-1-5-"));
    EXPECT_FALSE(sk::SidFromString("S-2-5"));
    EXPECT_FALSE(sk::SidFromString("S-1-5-4294967296"));
}

TEST_F(SecurityTest, CreateAcl)
{
    PACL acl = NewAcl(64);
    ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(acl, 10, ACL_REVISION));
    EXPECT_EQ(acl->AclSize, 12u) << "rounded up to four bytes";
    EXPECT_EQ(acl->AceCount, 0u);
    EXPECT_EQ(acl->AclRevision, ACL_REVISION);
    EXPECT_EQ(acl->Sbz1, 0u);
    EXPECT_EQ(acl->Sbz2, 0u);

    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlCreateAcl(acl, 7, ACL_REVISION));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlCreateAcl(acl, 64, 1));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlCreateAcl(acl, 64, 5));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlCreateAcl(acl, 0xFFFD, ACL_REVISION));
}

TEST_F(SecurityTest, AddAceAppendsAndInserts)
{
    PACL acl = NewAcl(128);
    ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(acl, 128, ACL_REVISION));
    std::vector<uint8_t> system = TestAcl({ { 0, 0, GENERIC_ALL, "S-1-5-18" } });
    std::vector<uint8_t> users = TestAcl({ { 1, OBJECT_INHERIT_ACE, GENERIC_WRITE, "S-1-5-32-545" } });
    std::vector<uint8_t> world = TestAcl({ { 0, 0, GENERIC_READ, "S-1-1-0" } });

    ASSERT_STATUS(STATUS_SUCCESS, RtlAddAce(acl, ACL_REVISION, 0xFFFFFFFFu, &system[8],
                                            (ULONG)system.size() - 8));
    ASSERT_STATUS(STATUS_SUCCESS, RtlAddAce(acl, ACL_REVISION, 0xFFFFFFFFu, &world[8],
                                            (ULONG)world.size() - 8));
    ASSERT_STATUS(STATUS_SUCCESS, RtlAddAce(acl, ACL_REVISION, 1, &users[8],
                                            (ULONG)users.size() - 8));
    EXPECT_EQ(acl->AceCount, 3u);
    EXPECT_EQ(acl->AclSize, 128u);
    std::vector<uint8_t> expected = TestAcl({ { 0, 0, GENERIC_ALL, "S-1-5-18" },
                                              { 1, OBJECT_INHERIT_ACE, GENERIC_WRITE, "S-1-5-32-545" },
                                              { 0, 0, GENERIC_READ, "S-1-1-0" } });
    std::vector<uint8_t> actual = Bytes(acl, expected.size());
    /* Everything but the header's size matches the tight ACL. */
    EXPECT_EQ(std::vector<uint8_t>(actual.begin() + 4, actual.end()),
              std::vector<uint8_t>(expected.begin() + 4, expected.end()));
}

TEST_F(SecurityTest, AddAceRefusals)
{
    std::vector<uint8_t> ace = TestAcl({ { 0, 0, GENERIC_ALL, "S-1-5-18" } });
    ULONG aceBytes = (ULONG)ace.size() - 8; /* 20 */
    PACL acl = NewAcl(64);

    ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(acl, 8 + aceBytes - 4, ACL_REVISION));
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlAddAce(acl, ACL_REVISION, 0, &ace[8], aceBytes));
    EXPECT_EQ(acl->AceCount, 0u);

    ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(acl, 64, ACL_REVISION));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlAddAce(acl, ACL_REVISION, 0, &ace[8], aceBytes - 2))
        << "a list that ends inside an ACE";
    std::vector<uint8_t> object = ace;
    object[8] = 5; /* an object ACE needs an ACL of revision 4 */
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlAddAce(acl, ACL_REVISION, 0, &object[8], aceBytes));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlAddAce(acl, 7, 0, &ace[8], aceBytes));

    acl->AceCount = 3; /* claims ACEs that are not there */
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlAddAce(acl, ACL_REVISION, 0, &ace[8], aceBytes));
}

TEST_F(SecurityTest, AbsoluteToSelfRelative)
{
    PACL acl = NewAcl(64);
    ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(acl, 28, ACL_REVISION));
    std::vector<uint8_t> ace = TestAcl({ { 0, 0, GENERIC_READ, "S-1-1-0" } });
    ASSERT_STATUS(STATUS_SUCCESS, RtlAddAce(acl, ACL_REVISION, 0, &ace[8], (ULONG)ace.size() - 8));
    std::vector<uint8_t> owner = TestSid("S-1-5-32-544");

    SECURITY_DESCRIPTOR absolute;
    memset(&absolute, 0xCC, sizeof(absolute));
    EXPECT_STATUS(STATUS_UNKNOWN_REVISION, RtlCreateSecurityDescriptor(&absolute, 2));
    ASSERT_STATUS(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(absolute.Control, 0u);
    EXPECT_EQ(absolute.Dacl, nullptr);
    ASSERT_STATUS(STATUS_SUCCESS, RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE));
    absolute.Owner = owner.data();
    absolute.Control |= SE_DACL_PROTECTED;
    EXPECT_EQ(RtlLengthSecurityDescriptor(&absolute), sizeof(SECURITY_DESCRIPTOR) + 28 + 16);

    ULONG length = 0;
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length));
    ASSERT_EQ(length, 20u + 28 + 16);
    std::vector<ULONG> out(length / 4, 0xDDDDDDDDu);
    ASSERT_STATUS(STATUS_SUCCESS, RtlAbsoluteToSelfRelativeSD(&absolute, out.data(), &length));
    std::vector<uint8_t> relative = Bytes(out.data(), length);
    EXPECT_EQ(Sddl(relative), "O:BAD:P(A;;GR;;;WD)");
    /* The DACL comes first, then the owner. */
    PISECURITY_DESCRIPTOR_RELATIVE header = (PISECURITY_DESCRIPTOR_RELATIVE)out.data();
    EXPECT_EQ(header->Control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED);
    EXPECT_EQ(header->Dacl, 20u);
    EXPECT_EQ(header->Owner, 48u);
    EXPECT_EQ(header->Group, 0u);
    EXPECT_EQ(header->Sacl, 0u);
    EXPECT_EQ(RtlLengthSecurityDescriptor(out.data()), length);
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(out.data(), length, DACL_SECURITY_INFORMATION));

    EXPECT_STATUS(STATUS_BAD_DESCRIPTOR_FORMAT,
                  RtlAbsoluteToSelfRelativeSD(out.data(), out.data(), &length));
    EXPECT_STATUS(STATUS_INVALID_SECURITY_DESCR,
                  RtlSetDaclSecurityDescriptor(out.data(), TRUE, acl, FALSE));
}

TEST_F(SecurityTest, GetDaclOfBothForms)
{
    std::vector<uint8_t> sd = RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-5-18" } });
    BOOLEAN present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(sd.data(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ((uint8_t *)dacl, sd.data() + 20);

    /* Without a DACL the pointer and the defaulted flag stay as they were. */
    sd[2] &= (uint8_t)~SE_DACL_PRESENT;
    dacl = (PACL)&present;
    defaulted = TRUE;
    ASSERT_STATUS(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(sd.data(), &present, &dacl, &defaulted));
    EXPECT_FALSE(present);
    EXPECT_EQ((void *)dacl, (void *)&present);
    EXPECT_TRUE(defaulted);

    sd[0] = 2;
    EXPECT_STATUS(STATUS_UNKNOWN_REVISION,
                  RtlGetDaclSecurityDescriptor(sd.data(), &present, &dacl, &defaulted));
}

TEST_F(SecurityTest, ValidRelativeDescriptor)
{
    std::vector<uint8_t> good = RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-5-18" } }, 0x1000,
                                                   "S-1-5-32-544");
    auto valid = [](std::vector<uint8_t> sd, ULONG required = DACL_SECURITY_INFORMATION,
                    size_t length = 0) {
        return RtlValidRelativeSecurityDescriptor(sd.data(), (ULONG)(length ? length : sd.size()),
                                                  required) != FALSE;
    };
    EXPECT_TRUE(valid(good));
    EXPECT_TRUE(valid(good, OWNER_SECURITY_INFORMATION));
    EXPECT_FALSE(valid(good, GROUP_SECURITY_INFORMATION)) << "no group";
    EXPECT_FALSE(valid(good, 0, good.size() - 1)) << "the owner runs past the end";
    EXPECT_FALSE(valid(good, 0, 19)) << "shorter than a header";

    std::vector<uint8_t> sd = good;
    sd[2 + 1] &= 0x7F; /* SE_SELF_RELATIVE off */
    EXPECT_FALSE(valid(sd));
    sd = good;
    sd[16] = 22; /* DACL offset not on four bytes */
    EXPECT_FALSE(valid(sd));
    sd = good;
    sd[16] = 200; /* DACL beyond the end */
    EXPECT_FALSE(valid(sd, 0));
    sd = good;
    sd[20 + 8 + 8] = 2; /* the ACE's SID has revision 2 */
    EXPECT_FALSE(valid(sd, 0));
    sd = good;
    sd[20 + 4] = 2; /* two ACEs claimed, one there */
    EXPECT_FALSE(valid(sd, 0));

    /* NT lets a descriptor without a DACL pass even when one is required. */
    sd = good;
    sd[2] &= (uint8_t)~SE_DACL_PRESENT;
    EXPECT_TRUE(valid(sd, DACL_SECURITY_INFORMATION));
    /* And a present DACL at offset 0, the null DACL that grants everything:
     * the validator passes it, whoever takes the descriptor must refuse it. */
    sd = good;
    sd[16] = 0;
    EXPECT_TRUE(valid(sd, DACL_SECURITY_INFORMATION));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(nullptr, 20, 0));
}

TEST_F(SecurityTest, SettingADaclMapsEffectiveGenericRights)
{
    std::vector<uint8_t> stored = sk::DefaultDeviceSecurity();
    EXPECT_EQ(Sddl(stored), "O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1201bf;;;WD)(A;;0x1200a9;;;RC)");

    std::vector<uint8_t> modification = RelativeDescriptor(
        { { 0, 0, GENERIC_ALL, "S-1-5-18" },
          { 1, 0, GENERIC_WRITE | DELETE, "S-1-5-32-545" },
          { 0, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, GENERIC_READ, "S-1-1-0" },
          { 0, 0, 0x1, "S-1-5-12" } },
        SE_DACL_PROTECTED | SE_DACL_AUTO_INHERIT_REQ, "S-1-5-18", "S-1-5-18");
    sk::SecurityContents contents;
    ASSERT_STATUS(STATUS_SUCCESS, sk::CaptureSecurityDescriptor(modification.data(), &contents));
    ASSERT_STATUS(STATUS_SUCCESS, sk::ApplySecurityInformation(&stored, DACL_SECURITY_INFORMATION,
                                                               contents, sk::kFileGenericMapping));
    /* Owner and group stay; the new DACL's protection comes with it, the
     * inheritance request does not stay. */
    EXPECT_EQ(Sddl(stored), "O:BAG:SYD:P(A;;FA;;;SY)(D;;0x130116;;;BU)(A;CIIO;GR;;;WD)(A;;0x1;;;RC)");
    PISECURITY_DESCRIPTOR_RELATIVE header = (PISECURITY_DESCRIPTOR_RELATIVE)stored.data();
    EXPECT_EQ(header->Owner, 20u);
    EXPECT_EQ(header->Group, 36u);
    EXPECT_EQ(header->Dacl, 48u);

    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  sk::ApplySecurityInformation(&stored, OWNER_SECURITY_INFORMATION, contents,
                                               sk::kFileGenericMapping));
}

TEST_F(SecurityTest, CaptureRefusesDamagedDescriptors)
{
    sk::SecurityContents contents;
    std::vector<uint8_t> sd = RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-5-18" } }, 0,
                                                 "S-1-5-18");
    std::vector<uint8_t> damaged = sd;
    damaged[0] = 3;
    EXPECT_STATUS(STATUS_UNKNOWN_REVISION, sk::CaptureSecurityDescriptor(damaged.data(), &contents));
    damaged = sd;
    damaged[20 + 2] = 9; /* an ACL size that is odd */
    EXPECT_STATUS(STATUS_INVALID_ACL, sk::CaptureSecurityDescriptor(damaged.data(), &contents));
    damaged = sd;
    damaged[sd.size() - 12 + 1] = 20; /* the owner claims 20 sub-authorities */
    EXPECT_STATUS(STATUS_INVALID_SID, sk::CaptureSecurityDescriptor(damaged.data(), &contents));

    /* A present DACL with no ACL is the null DACL. */
    damaged = sd;
    damaged[16] = 0;
    ASSERT_STATUS(STATUS_SUCCESS, sk::CaptureSecurityDescriptor(damaged.data(), &contents));
    EXPECT_TRUE(contents.daclPresent);
    EXPECT_FALSE(contents.dacl.has_value());
    EXPECT_EQ(Sddl(sk::BuildObjectDescriptor(contents)), "O:SYD:NO_ACCESS_CONTROL");
}

TEST_F(SecurityTest, FailingRoutinesTakePlannedFaults)
{
    PACL acl = NewAcl(32);
    SECURITY_DESCRIPTOR absolute;
    ULONG length = 0;
    sk::FailCall("RtlCreateAcl", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, RtlCreateAcl(acl, 32, ACL_REVISION));
    sk::FailCall("RtlCreateSecurityDescriptor", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                  RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_STATUS(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    sk::FailCall("RtlAbsoluteToSelfRelativeSD", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                  RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(sk::InjectedFaultCount(), 3u);
}

class DeviceSecurityTest : public SecurityTest {
protected:
    void SetUp() override
    {
        SecurityTest::SetUp();
        driver_ = sk::CreateDriverObject(u"\\Driver\\Test");
        UNICODE_STRING name = { (USHORT)(name_.size() * 2), (USHORT)(name_.size() * 2),
                                (PWSTR)name_.data() };
        ASSERT_STATUS(STATUS_SUCCESS,
                      IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_));
    }
    void TearDown() override
    {
        if (device_)
            IoDeleteDevice(device_);
        sk::DeleteDriverObject(driver_);
        SecurityTest::TearDown();
    }
    std::string Security() { return Sddl(*sk::DeviceSecurity(name_)); }
    HANDLE Open(ACCESS_MASK access)
    {
        HANDLE handle = nullptr;
        EXPECT_STATUS(STATUS_SUCCESS, ObOpenObjectByPointer(device_, OBJ_KERNEL_HANDLE, nullptr,
                                                            access, nullptr, KernelMode, &handle));
        return handle;
    }
    std::u16string name_ = u"\\Device\\Test";
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(DeviceSecurityTest, ANewDeviceHasTheSystemsDefaults)
{
    EXPECT_EQ(Security(), "O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1201bf;;;WD)(A;;0x1200a9;;;RC)");
}

TEST_F(DeviceSecurityTest, SettingTheDaclKeepsOwnerAndGroup)
{
    std::vector<uint8_t> sd = RelativeDescriptor({ { 0, 0, GENERIC_READ | GENERIC_EXECUTE, "S-1-5-11" },
                                                   { 1, 0, GENERIC_ALL, "S-1-5-7" } },
                                                 SE_DACL_PROTECTED, "S-1-5-18");
    HANDLE handle = Open(WRITE_DAC);
    ASSERT_STATUS(STATUS_SUCCESS, ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, sd.data()));
    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(Security(), "O:BAG:SYD:P(A;;0x1200a9;;;AU)(D;;FA;;;AN)");
    std::vector<uint8_t> kept = *sk::DeviceSecurity(name_);
    ASSERT_NE(device_->SecurityDescriptor, nullptr);
    EXPECT_EQ(Bytes(device_->SecurityDescriptor, kept.size()), kept)
        << "DEVICE_OBJECT.SecurityDescriptor shows the new descriptor";

    /* An absolute descriptor does as well. */
    std::vector<uint8_t> acl = TestAcl({ { 0, 0, GENERIC_ALL, "S-1-5-18" } });
    SECURITY_DESCRIPTOR absolute;
    ASSERT_STATUS(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_STATUS(STATUS_SUCCESS, RtlSetDaclSecurityDescriptor(&absolute, TRUE, (PACL)acl.data(), FALSE));
    handle = Open(GENERIC_ALL);
    ASSERT_STATUS(STATUS_SUCCESS, ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &absolute));
    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(Security(), "O:BAG:SYD:(A;;FA;;;SY)");
}

TEST_F(DeviceSecurityTest, SetSecurityChecksTheHandleAndTheDescriptor)
{
    std::vector<uint8_t> sd = RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-5-18" } });
    const std::string before = Security();
    HANDLE reader = Open(READ_CONTROL);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, ZwSetSecurityObject(reader, DACL_SECURITY_INFORMATION, sd.data()));
    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(reader));

    HANDLE handle = Open(WRITE_DAC | WRITE_OWNER);
    EXPECT_STATUS(STATUS_ACCESS_VIOLATION, ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, nullptr));
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, ZwSetSecurityObject(handle, OWNER_SECURITY_INFORMATION, sd.data()));
    std::vector<uint8_t> damaged = sd;
    damaged[0] = 2;
    EXPECT_STATUS(STATUS_UNKNOWN_REVISION, ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, damaged.data()));
    damaged = sd;
    damaged[20] = 9; /* ACL revision */
    EXPECT_STATUS(STATUS_INVALID_ACL, ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, damaged.data()));
    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(Security(), before) << "nothing refused changed the device";
}

TEST_F(DeviceSecurityTest, OpenByPointerRefusesWhatIsNotModelled)
{
    HANDLE handle = nullptr;
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED, ObOpenObjectByPointer(device_, OBJ_KERNEL_HANDLE, nullptr,
                                                                WRITE_DAC, nullptr, UserMode, &handle));
    int dummyType = 0;
    EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                  ObOpenObjectByPointer(device_, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC,
                                        (POBJECT_TYPE)&dummyType, KernelMode, &handle));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, ObOpenObjectByPointer(device_, OBJ_KERNEL_HANDLE | 0x10000, nullptr,
                                                                  WRITE_DAC, nullptr, KernelMode, &handle));
    auto seen = ViolationsDuring([&] {
        ObOpenObjectByPointer(device_, 0, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
    });
    EXPECT_TRUE(OneViolation(seen, "OBJ_KERNEL_HANDLE"));
    seen = ViolationsDuring([&] {
        ObOpenObjectByPointer(&dummyType, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode,
                              &handle);
    });
    EXPECT_TRUE(OneViolation(seen, "no kernel object"));
    EXPECT_EQ(handle, nullptr);
}

TEST_F(DeviceSecurityTest, TheHandleKeepsADeletedDeviceAlive)
{
    HANDLE handle = Open(WRITE_DAC);
    IoDeleteDevice(device_);
    EXPECT_FALSE(sk::DeviceSecurity(name_)) << "the name went with the delete";
    std::vector<uint8_t> sd = RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-5-18" } });
    EXPECT_STATUS(STATUS_SUCCESS, ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, sd.data()));
    EXPECT_EQ(sk::PoolOutstandingBlocks(), 1u) << "the device block stays while the handle is open";
    EXPECT_STATUS(STATUS_SUCCESS, ZwClose(handle));
    device_ = nullptr;
}

} // namespace
