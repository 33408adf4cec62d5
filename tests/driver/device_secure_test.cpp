/*
 * device_secure_test.cpp - the driver's device security: the SDDL subset
 * turned into descriptors, and the device created with them, with the
 * overrides of its setup class, through the kernel's IoCreateDeviceSecure
 * where one is exported, and with every call failing in turn.
 */
#include "driver/device_secure.h"
#include "simkernel/io.h"
#include "simkernel/objects.h"
#include "simkernel/registry.h"
#include "tests/driver/sddl_dump.h"
#include "tests/support/kernel_test.h"

#include <string>
#include <vector>

namespace {

using qtest::Sddl;

UNICODE_STRING Text(const std::u16string &text)
{
    UNICODE_STRING s;
    s.Length = (USHORT)(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    s.Buffer = (PWSTR)text.data();
    return s;
}

class SddlTest : public qtest::KernelTest {
protected:
    /* The descriptor the string gives, or its failure status. */
    NTSTATUS Parse(const std::u16string &sddl, std::vector<uint8_t> *bytes = nullptr)
    {
        UNICODE_STRING s = Text(sddl);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ULONG length = 0;
        NTSTATUS status = SecurityDescriptorFromSddl(&s, &descriptor, &length);
        if (NT_SUCCESS(status)) {
            EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(descriptor, length,
                                                           DACL_SECURITY_INFORMATION));
            if (bytes)
                bytes->assign((uint8_t *)descriptor, (uint8_t *)descriptor + length);
            ExFreePoolWithTag(descriptor, QELMBAR_TAG);
        }
        return status;
    }
    std::string Dump(const std::u16string &sddl)
    {
        std::vector<uint8_t> bytes;
        NTSTATUS status = Parse(sddl, &bytes);
        return NT_SUCCESS(status) ? Sddl(bytes) : "refused";
    }
};

const std::u16string kDeviceSddl = u"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)(A;;GR;;;RC)";

TEST_F(SddlTest, DeviceDefaultGivesFourAcesInAProtectedDacl)
{
    std::vector<uint8_t> sd;
    ASSERT_STATUS(STATUS_SUCCESS, Parse(kDeviceSddl, &sd));
    EXPECT_EQ(Sddl(sd), "D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)(A;;GR;;;RC)");
    /* The header, then the ACL: SY 20, BA 24, WD 20, RC 20 bytes. */
    ASSERT_EQ(sd.size(), 20u + 8 + 20 + 24 + 20 + 20);
    std::vector<uint8_t> header(sd.begin(), sd.begin() + 20);
    EXPECT_EQ(header, (std::vector<uint8_t>{ 1, 0, 0x04, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                             0, 20, 0, 0, 0 }));
    std::vector<uint8_t> aclHeader(sd.begin() + 20, sd.begin() + 28);
    EXPECT_EQ(aclHeader, (std::vector<uint8_t>{ ACL_REVISION, 0, 92, 0, 4, 0, 0, 0 }));
    EXPECT_EQ(std::vector<uint8_t>(sd.begin() + 20, sd.end()),
              qtest::TestAcl({ { 0, 0, GENERIC_ALL, "S-1-5-18" },
                               { 0, 0, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, "S-1-5-32-544" },
                               { 0, 0, GENERIC_READ, "S-1-1-0" },
                               { 0, 0, GENERIC_READ, "S-1-5-12" } }));
}

TEST_F(SddlTest, DaclFlagsAndAceFlagsAreCarried)
{
    EXPECT_EQ(Dump(u"D:"), "D:");
    EXPECT_EQ(Dump(u"D:P"), "D:P");
    EXPECT_EQ(Dump(u"D:PAIAR"), "D:PARAI");
    EXPECT_EQ(Dump(u"D:ARP(A;;GA;;;SY)"), "D:PAR(A;;GA;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;OICINPIOIDSAFA;GA;;;SY)"), "D:(A;OICINPIOIDSAFA;GA;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;IOCI;GA;;;SY)"), "D:(A;CIIO;GA;;;SY)");
    EXPECT_EQ(Dump(u"D:P(D;;GW;;;BU)(A;;GA;;;SY)"), "D:P(D;;GW;;;BU)(A;;GA;;;SY)")
        << "deny ACEs, in the order written";
}

TEST_F(SddlTest, Rights)
{
    EXPECT_EQ(Dump(u"D:(A;;FA;;;SY)"), "D:(A;;FA;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;;FRFWFX;;;SY)"), "D:(A;;0x1201bf;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;;KA;;;SY)(A;;KR;;;SY)(A;;KW;;;SY)(A;;KX;;;SY)"),
              "D:(A;;KA;;;SY)(A;;KR;;;SY)(A;;KW;;;SY)(A;;KR;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;;RCSDWDWO;;;SY)"), "D:(A;;RCSDWDWO;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;;GAGA;;;SY)"), "D:(A;;GA;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;;0x1F01FF;;;SY)"), "D:(A;;FA;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;;0xabcdef;;;SY)"), "D:(A;;0xabcdef;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;;0xFFFFFFFF;;;SY)"), "D:(A;;0xffffffff;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;;0x0000000001;;;SY)"), "D:(A;;0x1;;;SY)");
    EXPECT_EQ(Dump(u"D:(A;;;;;SY)"), "D:(A;;0x0;;;SY)") << "no rights at all";
}

TEST_F(SddlTest, SidAliasesAndStrings)
{
    const char *aliases[] = { "WD", "CO", "CG", "OW", "NU", "IU", "SU", "AN", "ED", "PS",
                              "AU", "RC", "SY", "LS", "NS", "BA", "BU", "BG", "PU", "AO",
                              "SO", "PO", "BO", "RE", "RU", "RD", "NO", "AC", "UD" };
    for (const char *alias : aliases) {
        std::string ace = std::string("(A;;GR;;;") + alias + ")";
        EXPECT_EQ(Dump(qtest::U16("D:" + ace)), "D:" + ace);
    }
    EXPECT_EQ(Dump(u"D:(A;;GR;;;S-1-5-32-544)"), "D:(A;;GR;;;BA)");
    EXPECT_EQ(Dump(u"D:(A;;GR;;;S-1-5-21-1-2-3-500)"), "D:(A;;GR;;;S-1-5-21-1-2-3-500)");
    EXPECT_EQ(Dump(u"D:(A;;GR;;;S-1-0x0000000000FF-7)"), "D:(A;;GR;;;S-1-255-7)");
    EXPECT_EQ(Dump(u"D:(A;;GR;;;S-1-4294967295-4294967295)"),
              "D:(A;;GR;;;S-1-4294967295-4294967295)");
    EXPECT_EQ(Dump(u"D:(A;;GR;;;S-1-5)"), "D:(A;;GR;;;S-1-5)") << "no sub-authority";
    EXPECT_EQ(Dump(u"D:(A;;GR;;;S-1-1-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15)"),
              "D:(A;;GR;;;S-1-1-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15)");

    std::vector<uint8_t> sd;
    ASSERT_STATUS(STATUS_SUCCESS, Parse(u"D:(A;;GR;;;S-1-0x123456789ABC-1)", &sd));
    EXPECT_EQ(std::vector<uint8_t>(sd.begin() + 20 + 8 + 8, sd.end()),
              (std::vector<uint8_t>{ 1, 1, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 1, 0, 0, 0 }));
}

TEST_F(SddlTest, StringsOutsideTheSubsetAreRefused)
{
    const std::u16string refused[] = {
        u"",
        u"D",
        u"P",
        u"D:X",
        u"O:BAD:P",
        u"D:PO:BA",
        u"D:P(A;;GA;;;SY)S:",
        u"d:P(A;;GA;;;SY)",
        u"D:p",
        u"D:P (A;;GA;;;SY)",
        u"D:P(A;;GA;;;SY",
        u"D:P(A;;GA;;;SY))",
        u"D:P(A;;GA;;;SY)x",
        u"D:P(A;;GA;;SY)",
        u"D:P(A;;GA;;;;SY)",
        u"D:P(U;;GA;;;SY)",
        u"D:P(AU;;GA;;;SY)",
        u"D:P(OA;;GA;;;SY)",
        u"D:P(a;;GA;;;SY)",
        u"D:P(A;XX;GA;;;SY)",
        u"D:P(A;oi;GA;;;SY)",
        u"D:P(A;;ga;;;SY)",
        u"D:P(A;;GAx;;;SY)",
        u"D:P(A;;G;;;SY)",
        u"D:P(A;;0x;;;SY)",
        u"D:P(A;;0X1;;;SY)",
        u"D:P(A;;0x100000000;;;SY)",
        u"D:P(A;;0x1GA;;;SY)",
        u"D:P(A;;GA0x1;;;SY)",
        u"D:P(A;;1;;;SY)",
        u"D:P(A;;GA;b42b0ed0-e9c1-4a38-b4e5-7e7ba0f48d5c;;SY)",
        u"D:P(A;;GA;;b42b0ed0-e9c1-4a38-b4e5-7e7ba0f48d5c;SY)",
        u"D:P(A;;GA;;;)",
        u"D:P(A;;GA;;;XX)",
        u"D:P(A;;GA;;;sy)",
        u"D:P(A;;GA;;;DA)",
        u"D:P(A;;GA;;;SYS)",
        u"D:P(A;;GA;;;S-1)",
        u"D:P(A;;GA;;;S-1-)",
        u"D:P(A;;GA;;;S-2-5-18)",
        u"D:P(A;;GA;;;S-1-5-)",
        u"D:P(A;;GA;;;S-1-5--18)",
        u"D:P(A;;GA;;;S-1-5-18-)",
        u"D:P(A;;GA;;;S-1-5-x)",
        u"D:P(A;;GA;;;s-1-5-18)",
        u"D:P(A;;GA;;;S-1-4294967296-1)",
        u"D:P(A;;GA;;;S-1-0x1000000000000-1)",
        u"D:P(A;;GA;;;S-1-0x)",
        u"D:P(A;;GA;;;S-1-0x-5)",
        u"D:P(A;;GA;;;S-1-5-4294967296)",
        u"D:P(A;;GA;;;S-1-1-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16)",
        std::u16string(u"D:P(A;;GA;;;S\0)", 15),
        std::u16string(u"D:P\0", 4),
    };
    for (const std::u16string &sddl : refused)
        EXPECT_STATUS(STATUS_INVALID_PARAMETER, Parse(sddl)) << qtest::U8(sddl);
}

TEST_F(SddlTest, ArgumentsAndLengthAreChecked)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG length = 0;
    std::u16string text = u"D:P(A;;GA;;;SY)";
    UNICODE_STRING s = Text(text);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, SecurityDescriptorFromSddl(nullptr, &descriptor, &length));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, SecurityDescriptorFromSddl(&s, nullptr, &length));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, SecurityDescriptorFromSddl(&s, &descriptor, nullptr));
    s.Length = 3;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, SecurityDescriptorFromSddl(&s, &descriptor, &length))
        << "an odd byte length";
    UNICODE_STRING none = { 4, 4, nullptr };
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, SecurityDescriptorFromSddl(&none, &descriptor, &length));
    EXPECT_EQ(descriptor, nullptr);

    /* Only Length counts: the same characters cut short are a string that
     * ends inside its ACE. */
    s = Text(text);
    s.Length = (USHORT)((text.size() - 1) * sizeof(WCHAR));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, SecurityDescriptorFromSddl(&s, &descriptor, &length));
    s.Length = (USHORT)(3 * sizeof(WCHAR));
    ASSERT_STATUS(STATUS_SUCCESS, SecurityDescriptorFromSddl(&s, &descriptor, &length));
    EXPECT_EQ(Sddl(std::vector<uint8_t>((uint8_t *)descriptor, (uint8_t *)descriptor + length)),
              "D:P");
    ExFreePoolWithTag(descriptor, QELMBAR_TAG);
}

TEST_F(SddlTest, EveryFailingCallEndsClean)
{
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Parse(kDeviceSddl));
    uint64_t calls = sk::CallCount();
    ASSERT_GT(calls, 0u);
    for (uint64_t nth = 1; nth <= calls + 1; nth++) {
        SCOPED_TRACE("call " + std::to_string(nth) + " of " + std::to_string(calls));
        sk::ClearFaults();
        sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
        NTSTATUS status = Parse(kDeviceSddl);
        if (nth <= calls)
            EXPECT_FALSE(NT_SUCCESS(status));
        else
            EXPECT_STATUS(STATUS_SUCCESS, status);
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << sk::PoolReport();
    }
    for (uint64_t nth = 1; nth <= 2; nth++) {
        sk::ClearFaults();
        sk::FailAllocation(nth);
        EXPECT_STATUS(STATUS_NO_MEMORY, Parse(kDeviceSddl));
        EXPECT_EQ(sk::PoolOutstandingBlocks(), 0u) << sk::PoolReport();
    }
    sk::ClearFaults();
}

/* The device as the driver creates it, and what NT makes of the default
 * SDDL: owner and group from the System process's token, the DACL's
 * generic rights mapped as for files. */
const std::u16string kDeviceName = u"\\Device\\Qelmbar";
const std::u16string kSystemHive = u"\\REGISTRY\\MACHINE\\SYSTEM";
const std::u16string kProperties =
    kSystemHive + u"\\ControlSet001\\Control\\Class\\{C3D119B0-3D7B-4BD2-876A-9762FE3C576E}\\Properties";
const std::string kDefaultResult =
    "O:BAG:SYD:P(A;;FA;;;SY)(A;;0x1201bf;;;BA)(A;;FR;;;WD)(A;;FR;;;RC)";
const std::string kKernelOnly = "O:BAG:SYD:P";

std::vector<uint8_t> Dword(ULONG value)
{
    std::vector<uint8_t> data(sizeof(value));
    memcpy(data.data(), &value, sizeof(value));
    return data;
}

class DeviceSecureTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        qtest::KernelTest::SetUp();
        ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kSystemHive, u"SYSTEM"));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetUpControlSets(1));
        driver_ = sk::CreateDriverObject(u"\\Driver\\Qelmbar");
        name_ = Text(kDeviceName);
        sddl_ = Text(sddlText_);
    }
    void TearDown() override
    {
        DeleteDevice();
        sk::DeleteDriverObject(driver_);
        qtest::KernelTest::TearDown();
    }

    NTSTATUS Create(DEVICE_TYPE type = FILE_DEVICE_UNKNOWN,
                    ULONG characteristics = FILE_DEVICE_SECURE_OPEN, BOOLEAN exclusive = FALSE,
                    LPCGUID guid = &QELMBAR_DEVICE_CLASS_GUID)
    {
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = CreateSecureDevice(driver_, 64, &name_, type, characteristics,
                                             exclusive, &sddl_, guid, &device);
        if (NT_SUCCESS(status))
            device_ = device;
        else
            EXPECT_EQ(device, nullptr) << "the device pointer is written on success only";
        return status;
    }
    void DeleteDevice()
    {
        if (device_)
            IoDeleteDevice(device_);
        device_ = nullptr;
    }
    /* The device's descriptor as SDDL. */
    std::string Security()
    {
        auto bytes = sk::DeviceSecurity(kDeviceName);
        return bytes ? Sddl(*bytes) : "no device";
    }
    void SetProperty(const std::u16string &name, ULONG type, const std::vector<uint8_t> &data)
    {
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kProperties));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(kProperties, name, type, data));
    }
    void ExpectNoDevice()
    {
        EXPECT_EQ(sk::DeviceCount(), 0u);
        EXPECT_FALSE(sk::ObjectExists(kDeviceName));
        EXPECT_EQ(driver_->DeviceObject, nullptr);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::u16string sddlText_ = kDeviceSddl;
    UNICODE_STRING name_;
    UNICODE_STRING sddl_;
};

TEST_F(DeviceSecureTest, TheDefaultSddlGivesTheDeviceItsProtectedDacl)
{
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(Security(), kDefaultResult);
    EXPECT_EQ(device_->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(device_->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_FALSE(device_->Flags & DO_EXCLUSIVE);
    EXPECT_NE(device_->DeviceExtension, nullptr);
    EXPECT_EQ(driver_->DeviceObject, device_);
    /* The descriptor the device points at is the one kept for it. */
    auto bytes = sk::DeviceSecurity(kDeviceName);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(memcmp(device_->SecurityDescriptor, bytes->data(), bytes->size()), 0);
    EXPECT_EQ(sk::OpenHandleCount(), 0u) << "the handle used to set the DACL is closed";
}

TEST_F(DeviceSecureTest, WithoutAClassTheRegistryIsNotRead)
{
    SetProperty(u"DeviceType", REG_DWORD, Dword(0x8000));
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Create(FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, nullptr));
    EXPECT_EQ(sk::CallCount("ZwOpenKey"), 0u);
    EXPECT_EQ(device_->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(Security(), kDefaultResult);
}

TEST_F(DeviceSecureTest, ClassPropertiesPathIsTheRegistryFormOfTheGuid)
{
    WCHAR buffer[CLASS_PROPERTIES_PATH_CHARS];
    UNICODE_STRING path;
    ClassPropertiesPath(&QELMBAR_DEVICE_CLASS_GUID, buffer, &path);
    EXPECT_EQ(std::u16string(path.Buffer, path.Length / sizeof(WCHAR)),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
              u"{C3D119B0-3D7B-4BD2-876A-9762FE3C576E}\\Properties");
    EXPECT_EQ(path.Length, CLASS_PROPERTIES_PATH_CHARS * sizeof(WCHAR));
    const GUID small = { 0x1, 0x2, 0x3, { 0x4, 0x5, 0x6, 0x7, 0x8, 0x9, 0xA, 0xB } };
    ClassPropertiesPath(&small, buffer, &path);
    EXPECT_EQ(std::u16string(path.Buffer, path.Length / sizeof(WCHAR)),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
              u"{00000001-0002-0003-0405-060708090A0B}\\Properties");
}

TEST_F(DeviceSecureTest, SecurityOverrideReplacesTheDacl)
{
    /* Owner and group in the value are not applied: only the DACL is. */
    SetProperty(u"Security", REG_BINARY,
                qtest::RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-5-18" },
                                            { 1, 0, GENERIC_WRITE, "S-1-5-32-545" },
                                            { 0, 0, GENERIC_READ, "S-1-5-32-545" } },
                                          SE_DACL_PROTECTED, "S-1-5-18", "S-1-5-32-544"));
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(Security(), "O:BAG:SYD:P(A;;FA;;;SY)(D;;FW;;;BU)(A;;FR;;;BU)");
}

TEST_F(DeviceSecureTest, SecurityOverrideWithoutProtectionIsTakenAsItIs)
{
    SetProperty(u"Security", REG_BINARY,
                qtest::RelativeDescriptor({ { 0, 0, FILE_ALL_ACCESS, "S-1-5-32-544" } }, 0));
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(Security(), "O:BAG:SYD:(A;;FA;;;BA)");
}

TEST_F(DeviceSecureTest, DeviceTypeOverrideReplacesTheType)
{
    SetProperty(u"DeviceType", REG_DWORD, Dword(0x8000));
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(device_->DeviceType, 0x8000u);
    EXPECT_EQ(Security(), kDefaultResult);
}

TEST_F(DeviceSecureTest, CharacteristicsOverrideAddsAndNeverRemoves)
{
    SetProperty(u"DeviceCharacteristics", REG_DWORD, Dword(FILE_READ_ONLY_DEVICE));
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(device_->Characteristics, (ULONG)(FILE_DEVICE_SECURE_OPEN | FILE_READ_ONLY_DEVICE));
    DeleteDevice();

    SetProperty(u"DeviceCharacteristics", REG_DWORD, Dword(0));
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(device_->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
}

TEST_F(DeviceSecureTest, ExclusiveOverrideReplacesExclusivity)
{
    SetProperty(u"Exclusive", REG_DWORD, Dword(1));
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_TRUE(device_->Flags & DO_EXCLUSIVE);
    DeleteDevice();

    SetProperty(u"Exclusive", REG_DWORD, Dword(0));
    ASSERT_STATUS(STATUS_SUCCESS, Create(FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, TRUE));
    EXPECT_FALSE(device_->Flags & DO_EXCLUSIVE);
}

TEST_F(DeviceSecureTest, AllOverridesTogether)
{
    SetProperty(u"DeviceType", REG_DWORD, Dword(0x9000));
    SetProperty(u"DeviceCharacteristics", REG_DWORD, Dword(FILE_REMOVABLE_MEDIA));
    SetProperty(u"Exclusive", REG_DWORD, Dword(7));
    SetProperty(u"Security", REG_BINARY,
                qtest::RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-5-18" } }));
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(device_->DeviceType, 0x9000u);
    EXPECT_EQ(device_->Characteristics, (ULONG)(FILE_DEVICE_SECURE_OPEN | FILE_REMOVABLE_MEDIA));
    EXPECT_TRUE(device_->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(Security(), "O:BAG:SYD:P(A;;FA;;;SY)");
}

TEST_F(DeviceSecureTest, ValuesOfTheWrongTypeOrSizeAreIgnored)
{
    SetProperty(u"DeviceType", REG_SZ, { '8', 0, 0, 0 });
    SetProperty(u"DeviceCharacteristics", REG_BINARY, Dword(FILE_READ_ONLY_DEVICE));
    SetProperty(u"Exclusive", REG_QWORD, { 1, 0, 0, 0, 0, 0, 0, 0 });
    std::vector<uint8_t> text;
    for (char c : std::string("D:P(A;;GA;;;WD)"))
        text.insert(text.end(), { (uint8_t)c, 0 });
    text.insert(text.end(), { 0, 0 });
    SetProperty(u"Security", REG_SZ, text);
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(device_->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(device_->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_FALSE(device_->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(Security(), kDefaultResult);
    DeleteDevice();

    /* A REG_DWORD must hold exactly four bytes. */
    SetProperty(u"DeviceType", REG_DWORD, { 0x00, 0x80 });
    SetProperty(u"Exclusive", REG_DWORD, { 1, 0, 0, 0, 0, 0, 0, 0 });
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(device_->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_FALSE(device_->Flags & DO_EXCLUSIVE);
}

TEST_F(DeviceSecureTest, ADamagedSecurityValueLeavesTheDeviceToTheKernel)
{
    std::vector<uint8_t> good = qtest::RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-1-0" } });
    std::vector<uint8_t> noDacl = good;
    noDacl[2] &= (uint8_t)~SE_DACL_PRESENT;
    std::vector<uint8_t> absolute = good;
    absolute[3] &= 0x7F;
    std::vector<uint8_t> badAce = good;
    badAce[20 + 8 + 8] = 5; /* the ACE's SID revision */
    const std::pair<const char *, std::vector<uint8_t>> damaged[] = {
        { "empty", {} },
        { "garbage", { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21 } },
        { "cut short", std::vector<uint8_t>(good.begin(), good.end() - 1) },
        { "no DACL", noDacl },
        { "not self-relative", absolute },
        { "a bad ACE", badAce },
    };
    for (const auto &value : damaged) {
        SCOPED_TRACE(value.first);
        SetProperty(u"Security", REG_BINARY, value.second);
        ASSERT_STATUS(STATUS_SUCCESS, Create());
        EXPECT_EQ(Security(), kKernelOnly);
        DeleteDevice();
    }
}

/* A null DACL (present, at offset 0) is a valid descriptor to the kernel's
 * validator, and would open the device to everyone: the driver itself
 * refuses it and leaves the device to the kernel. */
TEST_F(DeviceSecureTest, ANullDaclInTheSecurityValueIsRefused)
{
    std::vector<uint8_t> nullDacl = qtest::RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-1-0" } });
    nullDacl[16] = 0;
    ASSERT_TRUE(RtlValidRelativeSecurityDescriptor(nullDacl.data(), (ULONG)nullDacl.size(),
                                                   DACL_SECURITY_INFORMATION))
        << "the validator passes it; the refusal is the driver's";
    SetProperty(u"Security", REG_BINARY, nullDacl);
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(Security(), kKernelOnly);
    DeleteDevice();
}

TEST_F(DeviceSecureTest, InvalidSddlIsRefusedBeforeAnythingIsCreated)
{
    SetProperty(u"Security", REG_BINARY,
                qtest::RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-5-18" } }));
    sddlText_ = u"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)(A;;GR;;;XY)";
    sddl_ = Text(sddlText_);
    sk::ClearFaults();
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Create());
    EXPECT_EQ(sk::CallCount("IoCreateDevice"), 0u);
    EXPECT_EQ(sk::CallCount("ZwOpenKey"), 0u);
    ExpectNoDevice();
}

TEST_F(DeviceSecureTest, ArgumentsAreChecked)
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  QelmbarCreateDeviceSecure(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN,
                                            FILE_DEVICE_SECURE_OPEN, FALSE, &sddl_, nullptr, &device))
        << "no name and no FILE_AUTOGENERATED_DEVICE_NAME";
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  QelmbarCreateDeviceSecure(driver_, 0, &name_, FILE_DEVICE_UNKNOWN,
                                            FILE_DEVICE_SECURE_OPEN, FALSE, nullptr, nullptr, &device));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  QelmbarCreateDeviceSecure(driver_, 0, &name_, FILE_DEVICE_UNKNOWN,
                                            FILE_DEVICE_SECURE_OPEN, FALSE, &sddl_, nullptr, nullptr));
    EXPECT_EQ(device, nullptr);
    ExpectNoDevice();

    /* An autogenerated name gets the descriptor too. */
    ASSERT_STATUS(STATUS_SUCCESS,
                  QelmbarCreateDeviceSecure(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN,
                                            FILE_DEVICE_SECURE_OPEN | FILE_AUTOGENERATED_DEVICE_NAME,
                                            FALSE, &sddl_, nullptr, &device));
    device_ = device;
    uint8_t *kept = (uint8_t *)device->SecurityDescriptor;
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(Sddl(std::vector<uint8_t>(kept, kept + RtlLengthSecurityDescriptor(kept))),
              kDefaultResult);
}

TEST_F(DeviceSecureTest, FailuresAfterCreationDeleteTheDevice)
{
    sk::FailCall("ZwSetSecurityObject", 1, STATUS_ACCESS_DENIED);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Create());
    ExpectNoDevice();

    sk::ClearFaults();
    sk::FailCall("ObOpenObjectByPointer", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Create());
    ExpectNoDevice();
    sk::ClearFaults();

    /* The name is taken: IoCreateDevice's answer comes back. */
    PDEVICE_OBJECT other = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, IoCreateDevice(driver_, 0, &name_, FILE_DEVICE_UNKNOWN, 0, FALSE, &other));
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Create());
    IoDeleteDevice(other);
    ExpectNoDevice();
}

TEST_F(DeviceSecureTest, RegistryFailuresOtherThanAbsenceFailTheCreation)
{
    SetProperty(u"DeviceType", REG_DWORD, Dword(0x8000));
    sk::FailCall("ZwQueryValueKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Create());
    ExpectNoDevice();
    sk::ClearFaults();
    sk::FailCall("ZwOpenKey", 1, STATUS_ACCESS_DENIED);
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Create());
    ExpectNoDevice();
}

/* The kernel's routine, where it exports one. */
struct SecureCall {
    int calls = 0;
    PDRIVER_OBJECT driver;
    ULONG extension;
    PUNICODE_STRING name;
    DEVICE_TYPE type;
    ULONG characteristics;
    BOOLEAN exclusive;
    PCUNICODE_STRING sddl;
    LPCGUID guid;
    PDEVICE_OBJECT *device;
} secureCall;
DEVICE_OBJECT standInDevice;

NTSTATUS NTAPI StandInCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PCUNICODE_STRING DefaultSDDLString,
                                         LPCGUID DeviceClassGuid, PDEVICE_OBJECT *DeviceObject)
{
    secureCall = { secureCall.calls + 1, DriverObject, DeviceExtensionSize, DeviceName,
                   DeviceType, DeviceCharacteristics, Exclusive, DefaultSDDLString,
                   DeviceClassGuid, DeviceObject };
    *DeviceObject = &standInDevice;
    return STATUS_ALLOTTED_SPACE_EXCEEDED;
}

TEST_F(DeviceSecureTest, TheKernelsRoutineIsUsedWhereItIsExported)
{
    IO_CREATE_DEVICE_SECURE_ROUTINE standIn = StandInCreateDeviceSecure;
    sk::ExportRoutine("IoCreateDeviceSecure", (void *)standIn);
    secureCall = SecureCall();
    SetProperty(u"DeviceType", REG_DWORD, Dword(0x8000));
    sk::ClearFaults();

    PDEVICE_OBJECT device = nullptr;
    EXPECT_STATUS(STATUS_ALLOTTED_SPACE_EXCEEDED,
                  CreateSecureDevice(driver_, 40, &name_, 0x1234, 0x5678, TRUE, &sddl_,
                                     &QELMBAR_DEVICE_CLASS_GUID, &device));
    EXPECT_EQ(secureCall.calls, 1);
    EXPECT_EQ(secureCall.driver, driver_);
    EXPECT_EQ(secureCall.extension, 40u);
    EXPECT_EQ(secureCall.name, &name_);
    EXPECT_EQ(secureCall.type, 0x1234u);
    EXPECT_EQ(secureCall.characteristics, 0x5678u);
    EXPECT_EQ(secureCall.exclusive, TRUE);
    EXPECT_EQ(secureCall.sddl, &sddl_);
    EXPECT_EQ(secureCall.guid, &QELMBAR_DEVICE_CLASS_GUID);
    EXPECT_EQ(secureCall.device, &device);
    EXPECT_EQ(device, &standInDevice);
    /* Nothing of the driver's own routine ran. */
    EXPECT_EQ(sk::CallCount("ZwOpenKey"), 0u);
    EXPECT_EQ(sk::CallCount("IoCreateDevice"), 0u);
    EXPECT_EQ(sk::CallCount("ZwSetSecurityObject"), 0u);
    EXPECT_EQ(sk::AllocationCount(), 0u);
    ExpectNoDevice();
}

TEST_F(DeviceSecureTest, WithoutTheExportTheDriversRoutineIsUsed)
{
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    EXPECT_EQ(sk::CallCount("MmGetSystemRoutineAddress"), 1u);
    EXPECT_EQ(sk::CallCount("IoCreateDevice"), 1u);
    EXPECT_EQ(sk::CallCount("ZwSetSecurityObject"), 1u);
}

/* With every override in the key, each call and then each allocation
 * fails in turn: the result is a clean failure with no device and nothing
 * left over, or the device exactly as it is without faults. */
TEST_F(DeviceSecureTest, EveryFailingCallLeavesNoDeviceBehind)
{
    SetProperty(u"DeviceType", REG_DWORD, Dword(0x9000));
    SetProperty(u"DeviceCharacteristics", REG_DWORD, Dword(FILE_REMOVABLE_MEDIA));
    SetProperty(u"Exclusive", REG_DWORD, Dword(1));
    SetProperty(u"Security", REG_BINARY,
                qtest::RelativeDescriptor({ { 0, 0, GENERIC_ALL, "S-1-5-18" },
                                            { 0, 0, GENERIC_READ, "S-1-5-32-544" } }));
    const std::string expected = "O:BAG:SYD:P(A;;FA;;;SY)(A;;FR;;;BA)";
    sk::ClearFaults();
    ASSERT_STATUS(STATUS_SUCCESS, Create());
    ASSERT_EQ(Security(), expected);
    DeleteDevice();
    const uint64_t calls = sk::CallCount();
    const uint64_t allocations = sk::AllocationCount();
    ASSERT_GT(calls, 10u);

    auto check = [&](NTSTATUS status) {
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(Security(), expected);
            EXPECT_EQ(device_->DeviceType, 0x9000u);
            EXPECT_TRUE(device_->Flags & DO_EXCLUSIVE);
            DeleteDevice();
        } else {
            ExpectNoDevice();
        }
        ExpectNothingLeftOver();
    };
    uint64_t failures = 0;
    for (uint64_t nth = 1; nth <= calls; nth++) {
        SCOPED_TRACE("call " + std::to_string(nth) + " of " + std::to_string(calls));
        sk::ClearFaults();
        sk::FailCall("", nth, STATUS_INSUFFICIENT_RESOURCES);
        NTSTATUS status = Create();
        EXPECT_EQ(sk::InjectedFaultCount(), 1u);
        failures += NT_SUCCESS(status) ? 0 : 1;
        sk::ClearFaults();
        check(status);
    }
    /* Only a failed look-up of the kernel's routine is survived. */
    EXPECT_EQ(failures, calls - 1);
    for (uint64_t nth = 1; nth <= allocations; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(allocations));
        sk::ClearFaults();
        sk::FailAllocation(nth);
        NTSTATUS status = Create();
        EXPECT_FALSE(NT_SUCCESS(status));
        sk::ClearFaults();
        check(status);
    }
    sk::ClearFaults();
}

} // namespace
