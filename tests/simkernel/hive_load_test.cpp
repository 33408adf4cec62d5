/*
 * hive_load_test.cpp - hives backed by files: ZwLoadKey mounts what a file
 * holds exactly, whoever wrote it; a flush and an unload write the hive
 * back; a hive flushed again and again stays small; a power loss keeps
 * what was flushed and nothing else; and NT's refusals.
 */
#include "simkernel/files.h"
#include "simkernel/hive_file.h"
#include "simkernel/hive_load.h"
#include "tests/support/kernel_test.h"

#include "tests/simkernel/hivex_view.h"

#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>


namespace {

using sk::reg::Key;
using qtest::Digest;

/* The root's name is left out: a loaded hive's root takes the mount
 * point's name. */
std::string HivexView(const std::string &path)
{
    return qtest::HivexView(path, false);
}

const std::u16string kMachine = u"\\REGISTRY\\MACHINE";
const std::u16string kStage = kMachine + u"\\STAGE";
const std::u16string kSoftware = kMachine + u"\\SOFTWARE";
const std::u16string kSoftwareFile = u"\\??\\C:\\Windows\\System32\\config\\SOFTWARE";

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes)
{
    return std::vector<uint8_t>(bytes);
}

std::vector<uint8_t> Pattern(size_t size, unsigned seed)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; i++)
        data[i] = (uint8_t)(i * 131 + seed + (i >> 11));
    return data;
}

/* One line per key and value, subkeys in the order kept; with full, what
 * the file keeps of a key beyond names and values as well.  The root's
 * name is left out: a loaded hive's root takes the mount point's name. */
void DumpTree(const Key &key, bool full, const std::string &indent, std::string *out)
{
    *out += indent + "key " + (indent.empty() ? "" : qtest::U8(key.name));
    if (full)
        *out += " class=" + qtest::U8(key.className) + " time=" +
                std::to_string(key.lastWriteTime) + (key.isLink ? " link" : "") +
                " marks=" + std::to_string(key.maxNameLen) + "," +
                std::to_string(key.maxClassLen) + "," + std::to_string(key.maxValueNameLen) +
                "," + std::to_string(key.maxValueDataLen);
    *out += "\n";
    for (const sk::reg::Value &v : key.values)
        *out += indent + "  value " + qtest::U8(v.name) + " type " + std::to_string(v.type) +
                " " + Digest(v.data.data(), v.data.size()) + "\n";
    for (const auto &child : key.subkeys) {
        if (!child->isVolatile && !child->hiveRoot)
            DumpTree(*child, full, indent + "  ", out);
    }
}

std::string TreeView(const std::u16string &path, bool full = true)
{
    std::lock_guard<std::recursive_mutex> guard(sk::KernelLock());
    std::shared_ptr<Key> key = sk::reg::FindByPath(path);
    if (!key)
        return "no key";
    std::string out;
    DumpTree(*key, full, "", &out);
    return out;
}

std::string Shell(const std::string &command, int *exitCode)
{
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return "cannot run " + command;
    std::string text;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof(buffer), pipe))
        text.append(buffer, n);
    *exitCode = pclose(pipe);
    return text;
}

/* What hivexregedit makes of a file: the independent reading. */
std::string Export(const std::string &path)
{
    int code;
    std::string text = Shell("PERL_UNICODE=SO hivexregedit --export '" + path + "' '\\'", &code);
    return code == 0 ? text : "hivexregedit failed: " + text;
}

size_t FileSize(const std::string &path)
{
    return (size_t)std::filesystem::file_size(path);
}

class HiveLoadTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        std::string pattern = "/tmp/qelmbar-load-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(ConfigDir());
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::AddVolume(u"\\Device\\HarddiskVolume1", root_ + "/c", u'C'));
    }

    void TearDown() override
    {
        KernelTest::TearDown();
        std::filesystem::remove_all(root_);
    }

    std::string ConfigDir() const { return root_ + "/c/Windows/System32/config"; }
    std::string Host(const std::string &name) const { return ConfigDir() + "/" + name; }
    static std::u16string NtFile(const std::string &name)
    {
        return u"\\??\\C:\\Windows\\System32\\config\\" + qtest::U16(name);
    }

    std::vector<std::string> ConfigFiles() const
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(ConfigDir()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static NTSTATUS Load(const std::u16string &target, const std::u16string &file)
    {
        UNICODE_STRING key{(USHORT)(target.size() * 2), (USHORT)(target.size() * 2),
                           (PWSTR)target.data()};
        UNICODE_STRING source{(USHORT)(file.size() * 2), (USHORT)(file.size() * 2),
                              (PWSTR)file.data()};
        OBJECT_ATTRIBUTES keyAttributes, fileAttributes;
        InitializeObjectAttributes(&keyAttributes, &key, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        InitializeObjectAttributes(&fileAttributes, &source, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwLoadKey(&keyAttributes, &fileAttributes);
    }

    static NTSTATUS Unload(const std::u16string &target)
    {
        UNICODE_STRING key{(USHORT)(target.size() * 2), (USHORT)(target.size() * 2),
                           (PWSTR)target.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &key, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwUnloadKey(&attributes);
    }

    static NTSTATUS Flush(const std::u16string &path)
    {
        std::lock_guard<std::recursive_mutex> guard(sk::KernelLock());
        std::shared_ptr<Key> key = sk::reg::FindByPath(path);
        return key ? sk::FlushHiveOf(key) : STATUS_OBJECT_NAME_NOT_FOUND;
    }

    static HANDLE Open(const std::u16string &path)
    {
        UNICODE_STRING name{(USHORT)(path.size() * 2), (USHORT)(path.size() * 2),
                            (PWSTR)path.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE handle = nullptr;
        EXPECT_STATUS(STATUS_SUCCESS, ZwOpenKey(&handle, KEY_READ, &attributes));
        return handle;
    }

    static void CreateWithClass(const std::u16string &path, const std::u16string &cls)
    {
        UNICODE_STRING name{(USHORT)(path.size() * 2), (USHORT)(path.size() * 2),
                            (PWSTR)path.data()};
        UNICODE_STRING klass{(USHORT)(cls.size() * 2), (USHORT)(cls.size() * 2),
                             (PWSTR)cls.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE handle;
        ASSERT_STATUS(STATUS_SUCCESS,
                      ZwCreateKey(&handle, KEY_ALL_ACCESS, &attributes, 0, &klass, 0, nullptr));
        ZwClose(handle);
    }

    /* Saves the hive at path (mounted without a file) as a file. */
    static NTSTATUS Save(const std::u16string &path, const std::string &host)
    {
        std::lock_guard<std::recursive_mutex> guard(sk::KernelLock());
        return sk::reg::WriteHiveFile(host, *sk::reg::FindByPath(path), kSoftwareFile);
    }

    /* A hive with what is hard to get right: names beyond Latin-1 and
     * beyond the BMP, empty data and the default value, data past one
     * cell, a list past one leaf, a class and a link. */
    void BuildStage()
    {
        ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kStage, u"STAGE"));
        const std::u16string unicode = kStage + u"\\\u00dcn\u00efc\u00f8d\u00e9";
        const std::u16string cjk = kStage + u"\\\u6ce8\u518c\u8868\\\U0001F511 key";
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(unicode));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(cjk));
        CreateWithClass(kStage + u"\\Classy", u"Some class \u00e9");
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetString(kStage, u"", u"default"));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(kStage, u"empty binary", REG_BINARY, {}));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(kStage, u"empty none", REG_NONE, {}));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(unicode, u"", REG_SZ, Bytes({0, 0})));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(unicode, u"\u00c4rger", 7));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetQword(cjk, u"\u5024 \U0001F600", 1ULL << 40));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetMultiString(cjk, u"multi", {u"\u4e00", u"b"}));
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegSetValue(kStage, u"odd type", 0xFFFF0012, Bytes({1, 2, 3})));
        for (size_t size : {16344u, 16345u, 1u << 20}) {
            ASSERT_STATUS(STATUS_SUCCESS,
                          sk::RegSetValue(kStage + u"\\Classy",
                                          u"big" + qtest::U16(std::to_string(size)), REG_BINARY,
                                          Pattern(size, (unsigned)size)));
        }
        for (int i = 0; i < 3000; i++) {
            ASSERT_STATUS(STATUS_SUCCESS,
                          sk::RegCreateKey(kStage + u"\\Many\\" +
                                           qtest::U16((i % 2 ? "k" : "K") + std::to_string(i))));
        }
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegCreateLink(kStage + u"\\Link", kMachine + u"\\SOFTWARE\\Classy"));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kStage + u"\\Fleeting", true));
    }

    std::string root_;
};

/* ---- loading ---------------------------------------------------------- */

TEST_F(HiveLoadTest, LoadMountsEverythingTheFileHoldsExactly)
{
    BuildStage();
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));

    EXPECT_EQ(TreeView(kSoftware), TreeView(kStage));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\Fleeting")) << "volatile keys are never saved";
    EXPECT_EQ(sk::RegSubkeys(kSoftware + u"\\Many").size(), 3000u);
    auto big = sk::RegGetValue(kSoftware + u"\\classy", u"BIG1048576");
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->data, Pattern(1u << 20, 1u << 20));
    auto defaultValue = sk::RegGetValue(kSoftware + u"\\\u00dcN\u00cfC\u00d8D\u00c9", u"");
    ASSERT_TRUE(defaultValue.has_value());
    EXPECT_EQ(defaultValue->data, Bytes({0, 0}));
    EXPECT_EQ(sk::RegLinkTarget(kSoftware + u"\\Link"), kMachine + u"\\SOFTWARE\\Classy");
    EXPECT_EQ(sk::RegGetValue(kSoftware + u"\\Link", u"big16344")->data.size(), 16344u)
        << "names go through the loaded link";

    auto hive = sk::RegHiveOf(kSoftware + u"\\Many");
    ASSERT_TRUE(hive.has_value());
    EXPECT_EQ(hive->name, u"SOFTWARE");
    EXPECT_EQ(hive->mountPath, kSoftware);
    EXPECT_EQ(hive->filePath, qtest::U16(Host("SOFTWARE")));
    EXPECT_FALSE(hive->dirty);
    EXPECT_EQ(sk::LoadedHives(),
              (std::vector<std::pair<std::u16string, std::string>>{{kSoftware, Host("SOFTWARE")}}));
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware));
    EXPECT_TRUE(sk::LoadedHives().empty());
}

TEST_F(HiveLoadTest, AFileHivexWroteLoadsAndFlushesBackTheSame)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kStage, u"STAGE"));
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    {
        std::ofstream reg(Host("in.reg"), std::ios::binary);
        reg << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n"
               "@=hex(1):64,00,00,00\n"
               "\"Count\"=dword:0000002a\n"
               "\"Blob\"=hex:01,02,03,04,05,06,07,08,09\n"
               "\"Nothing\"=hex(0):\n"
               "\"Odd\"=hex(ffff0012):aa,bb\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product\\1.0]\n"
               "\"Path\"=hex(2):43,00,3a,00,00,00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zed]\n\n";
    }
    int code;
    const std::string merged = Shell("hivexregedit --merge --prefix 'HKEY_LOCAL_MACHINE\\SOFTWARE' '" +
                                       Host("SOFTWARE") + "' '" + Host("in.reg") + "'",
                                   &code);
    ASSERT_EQ(code, 0) << merged;
    std::filesystem::remove(Host("in.reg"));
    const std::string before = Export(Host("SOFTWARE"));

    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    EXPECT_EQ(sk::RegSubkeys(kSoftware), (std::vector<std::u16string>{u"Vendor", u"Zed"}));
    const std::u16string vendor = kSoftware + u"\\Vendor";
    EXPECT_EQ(sk::RegValueNames(vendor),
              (std::vector<std::u16string>{u"", u"Count", u"Blob", u"Nothing", u"Odd"}));
    EXPECT_EQ(sk::RegGetValue(vendor, u"count")->data, Bytes({42, 0, 0, 0}));
    EXPECT_EQ(sk::RegGetValue(vendor, u"Blob")->data, Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(sk::RegGetValue(vendor, u"Nothing")->type, (ULONG)REG_NONE);
    EXPECT_TRUE(sk::RegGetValue(vendor, u"Nothing")->data.empty());
    EXPECT_EQ(sk::RegGetValue(vendor, u"Odd")->type, 0xFFFF0012u);
    EXPECT_EQ(sk::RegGetValue(vendor + u"\\Product\\1.0", u"Path")->type, (ULONG)REG_EXPAND_SZ);

    /* A change undone leaves the hive as it was, but dirty. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kSoftware, u"tmp", 1));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteValue(kSoftware, u"tmp"));
    ASSERT_TRUE(sk::RegHiveOf(kSoftware)->dirty);
    ASSERT_STATUS(STATUS_SUCCESS, Flush(kSoftware));
    EXPECT_FALSE(sk::RegHiveOf(kSoftware)->dirty);
    EXPECT_EQ(Export(Host("SOFTWARE")), before);
    EXPECT_EQ(HivexView(Host("SOFTWARE")), TreeView(kSoftware, false));
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
}

TEST_F(HiveLoadTest, LoadRefusesAsNtDoesAndLeavesNothingMounted)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kStage, u"STAGE"));
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    {
        std::ofstream(Host("TEXT"), std::ios::binary) << std::string(9000, 'x');
        std::vector<uint8_t> damaged(8192);
        std::ifstream(Host("SOFTWARE"), std::ios::binary).read((char *)damaged.data(), 8192);
        damaged[4096 + 4] = 0x10; /* the first bin claims another offset */
        std::ofstream(Host("DAMAGED"), std::ios::binary).write((const char *)damaged.data(), 8192);
    }
    const std::u16string target = kMachine + u"\\TARGET";
    EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Load(kStage, kSoftwareFile));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Load(target, NtFile("MISSING")));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Load(target, NtFile("no\\MISSING")));
    EXPECT_STATUS(STATUS_NOT_REGISTRY_FILE, Load(target, NtFile("TEXT")));
    EXPECT_STATUS(STATUS_REGISTRY_CORRUPT, Load(target, NtFile("DAMAGED")));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Load(kMachine + u"\\no\\TARGET", kSoftwareFile));
    EXPECT_FALSE(sk::RegKeyExists(target));
    EXPECT_TRUE(sk::LoadedHives().empty());

    ASSERT_STATUS(STATUS_SUCCESS, Load(target, kSoftwareFile));
    EXPECT_STATUS(STATUS_SHARING_VIOLATION, Load(kMachine + u"\\AGAIN", kSoftwareFile));
    EXPECT_FALSE(sk::RegKeyExists(kMachine + u"\\AGAIN"));
    ASSERT_STATUS(STATUS_SUCCESS, Unload(target));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kMachine + u"\\AGAIN", kSoftwareFile)) << "free again";
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kMachine + u"\\AGAIN"));
}

TEST_F(HiveLoadTest, UnloadRefusesWhileHandlesAreOpenAndWritesTheHiveBack)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kStage, u"STAGE"));
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kSoftware + u"\\Vendor"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kSoftware + u"\\Vendor", u"v", 5));

    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Unload(kMachine + u"\\NOTHING"));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Unload(kStage)) << "not loaded from a file";
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Unload(kSoftware + u"\\Vendor"));
    HANDLE handle = Open(kSoftware + u"\\Vendor");
    const std::vector<uint8_t> before = [&] {
        std::ifstream in(Host("SOFTWARE"), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }();
    EXPECT_STATUS(STATUS_CANNOT_DELETE, Unload(kSoftware));
    EXPECT_TRUE(sk::RegHiveOf(kSoftware)->dirty) << "a refused unload writes nothing";
    std::ifstream in(Host("SOFTWARE"), std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), before);
    ZwClose(handle);

    const std::string expected = TreeView(kSoftware);
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    EXPECT_EQ(TreeView(kSoftware), expected);
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
}

/* ---- flushing --------------------------------------------------------- */

TEST_F(HiveLoadTest, FlushWritesWhatTheHiveHoldsAndOnlyWhenDirty)
{
    BuildStage();
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(kSoftware + u"\\Many\\K0"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(kSoftware + u"\\Classy", u"big1048576",
                                                  REG_BINARY, Pattern(70000, 3)));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kSoftware + u"\\\u65b0\\\u00fc"));
    ASSERT_STATUS(STATUS_SUCCESS, Flush(kSoftware + u"\\Many"));
    EXPECT_FALSE(sk::RegHiveOf(kSoftware)->dirty);
    EXPECT_EQ(HivexView(Host("SOFTWARE")), TreeView(kSoftware, false));
    std::shared_ptr<Key> back;
    ASSERT_STATUS(STATUS_SUCCESS, sk::reg::ReadHiveFile(Host("SOFTWARE"), &back));
    std::string fromFile;
    DumpTree(*back, true, "", &fromFile);
    EXPECT_EQ(fromFile, TreeView(kSoftware));
    EXPECT_EQ(ConfigFiles(), std::vector<std::string>{"SOFTWARE"}) << "no temporary left behind";

    /* A clean hive is not written again. */
    std::filesystem::remove(Host("SOFTWARE"));
    ASSERT_STATUS(STATUS_SUCCESS, Flush(kSoftware));
    EXPECT_TRUE(ConfigFiles().empty());

    /* A hive without a file only becomes clean. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kStage, u"v", 1));
    ASSERT_STATUS(STATUS_SUCCESS, Flush(kStage));
    EXPECT_FALSE(sk::RegHiveOf(kStage)->dirty);
    EXPECT_TRUE(ConfigFiles().empty());
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
}

TEST_F(HiveLoadTest, AFlushThatCannotWriteKeepsTheHiveDirtyAndTheFileAsItWas)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kStage, u"STAGE"));
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::RegSetValue(kSoftware, u"big", REG_BINARY, Pattern(1 << 20, 1)));
    const size_t before = FileSize(Host("SOFTWARE"));

    /* The file size limit stops even root, which a directory's mode would not. */
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const NTSTATUS flushed = Flush(kSoftware);
    const NTSTATUS unloaded = Unload(kSoftware);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    EXPECT_STATUS(STATUS_REGISTRY_IO_FAILED, flushed);
    EXPECT_STATUS(STATUS_REGISTRY_IO_FAILED, unloaded);
    EXPECT_TRUE(sk::RegKeyExists(kSoftware)) << "an unload that cannot write keeps the hive";
    EXPECT_TRUE(sk::RegHiveOf(kSoftware)->dirty);
    EXPECT_EQ(FileSize(Host("SOFTWARE")), before);
    EXPECT_EQ(ConfigFiles(), std::vector<std::string>{"SOFTWARE"});
    ASSERT_STATUS(STATUS_SUCCESS, Flush(kSoftware));
    EXPECT_EQ(sk::RegGetValue(kSoftware, u"big")->data.size(), 1u << 20);
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
}

TEST_F(HiveLoadTest, ManyFlushesOfSmallChangesDoNotGrowTheFile)
{
    BuildStage();
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    const size_t first = FileSize(Host("SOFTWARE"));
    size_t largest = first;
    for (int i = 0; i < 200; i++) {
        const std::u16string key = kSoftware + u"\\Churn" + qtest::U16(std::to_string(i % 5));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(key));
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegSetValue(key, u"v", REG_BINARY, Pattern(i * 37 % 3000, i)));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kSoftware + u"\\Many\\K2", u"n", i));
        if (i % 4 == 3) {
            ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(key));
        }
        ASSERT_STATUS(STATUS_SUCCESS, Flush(kSoftware));
        largest = std::max(largest, FileSize(Host("SOFTWARE")));
    }
    /* Five keys of at most 3000 bytes each, and the one value. */
    EXPECT_LE(largest, first + 5 * 8192 + 4096);
    /* Each flush edits the file in place: freed cells are used again. */
    std::shared_ptr<sk::reg::Key> back;
    ASSERT_STATUS(STATUS_SUCCESS, sk::reg::ReadHiveFile(Host("SOFTWARE"), &back));
    EXPECT_EQ(ConfigFiles(), std::vector<std::string>{"SOFTWARE"});
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
}

/* ---- power loss ------------------------------------------------------- */

TEST_F(HiveLoadTest, PowerLossKeepsWhatWasFlushedAndLosesTheRest)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kStage, u"STAGE"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kStage + u"\\Kept"));
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kSoftware + u"\\Kept", u"flushed", 1));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(kSoftware, u"\u00fcber", REG_BINARY,
                                                  Pattern(20000, 9)));
    ASSERT_STATUS(STATUS_SUCCESS, Flush(kSoftware));
    const std::string flushed = TreeView(kSoftware);
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kSoftware + u"\\Kept", u"flushed", 2));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kSoftware + u"\\Kept", u"unflushed", 3));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kSoftware + u"\\New"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteValue(kSoftware, u"\u00fcber"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kSoftware + u"\\Volatile", true));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kStage + u"\\Kept", u"v", 1));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kMachine + u"\\Scratch\\Deep"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kMachine, u"m", 1));

    sk::RegLosePower();

    EXPECT_EQ(TreeView(kSoftware), flushed);
    EXPECT_EQ(sk::RegGetValue(kSoftware + u"\\Kept", u"flushed")->data, Bytes({1, 0, 0, 0}));
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\Volatile"));
    EXPECT_FALSE(sk::RegHiveOf(kSoftware)->dirty);
    EXPECT_EQ(sk::LoadedHives().size(), 1u);
    /* Hives without a file have nothing to come back from. */
    EXPECT_TRUE(sk::RegKeyExists(kStage));
    EXPECT_TRUE(sk::RegSubkeys(kStage).empty());
    EXPECT_FALSE(sk::RegKeyExists(kMachine + u"\\Scratch"));
    EXPECT_TRUE(sk::RegValueNames(kMachine).empty());
    EXPECT_EQ(sk::RegSubkeys(u"\\REGISTRY"), (std::vector<std::u16string>{u"MACHINE", u"USER"}));

    /* The machine runs on from there. */
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kSoftware + u"\\Kept", u"after", 4));
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    EXPECT_EQ(sk::RegValueNames(kSoftware + u"\\Kept"),
              (std::vector<std::u16string>{u"flushed", u"after"}));
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
}

TEST_F(HiveLoadTest, PowerLossRemountsHivesInsideHivesWhereTheirParentSurvived)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kStage, u"STAGE"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kStage + u"\\Durable"));
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(kStage + u"\\Durable"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kStage + u"\\Inner"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kStage + u"\\Inner", u"v", 1));
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("INNER")));
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("LOST")));

    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware + u"\\Durable\\INNER", NtFile("INNER")));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kSoftware + u"\\Fresh"));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware + u"\\Fresh\\LOST", NtFile("LOST")));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kSoftware + u"\\Durable\\INNER", u"w", 2));

    sk::RegLosePower();

    EXPECT_EQ(sk::RegValueNames(kSoftware + u"\\Durable\\INNER\\Inner"),
              std::vector<std::u16string>{u"v"});
    EXPECT_TRUE(sk::RegValueNames(kSoftware + u"\\Durable\\INNER").empty());
    EXPECT_EQ(sk::RegHiveOf(kSoftware + u"\\Durable\\INNER\\Inner")->name, u"INNER");
    EXPECT_FALSE(sk::RegKeyExists(kSoftware + u"\\Fresh"));
    std::vector<std::u16string> loaded;
    for (const auto &entry : sk::LoadedHives())
        loaded.push_back(entry.first);
    EXPECT_EQ(loaded, (std::vector<std::u16string>{kSoftware, kSoftware + u"\\Durable\\INNER"}));
    EXPECT_STATUS(STATUS_CANNOT_DELETE, Unload(kSoftware)) << "a hive is still mounted inside";
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware + u"\\Durable\\INNER"));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kMachine + u"\\LOST", NtFile("LOST"))) << "its file is free";
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kMachine + u"\\LOST"));
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
}

TEST_F(HiveLoadTest, PowerLossWithAKeyHandleOpenIsAViolation)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kStage, u"STAGE"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(kStage + u"\\Kept"));
    ASSERT_STATUS(STATUS_SUCCESS, Save(kStage, Host("SOFTWARE")));
    ASSERT_STATUS(STATUS_SUCCESS, Load(kSoftware, kSoftwareFile));
    HANDLE handle = Open(kSoftware + u"\\Kept");
    EXPECT_TRUE(qtest::OneViolation(qtest::ViolationsDuring([] { sk::RegLosePower(); }),
                                    "handle"));
    EXPECT_STATUS(STATUS_KEY_DELETED, ZwFlushKey(handle));
    ZwClose(handle);
    EXPECT_TRUE(sk::RegKeyExists(kSoftware + u"\\Kept")) << "read again from the file";
    ASSERT_STATUS(STATUS_SUCCESS, Unload(kSoftware));
}

TEST_F(HiveLoadTest, PowerLossEmptiesAHiveWhoseFileWasNeverWritten)
{
    const std::u16string system = kMachine + u"\\SYSTEM";
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(system, u"SYSTEM", qtest::U16(Host("SYSTEM"))));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(system + u"\\Setup"));
    sk::RegLosePower();
    EXPECT_TRUE(sk::RegSubkeys(system).empty());

    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(system + u"\\Setup"));
    ASSERT_STATUS(STATUS_SUCCESS, Flush(system));
    EXPECT_EQ(ConfigFiles(), std::vector<std::string>{"SYSTEM"}) << "mounted with a file: written";
    sk::RegLosePower();
    EXPECT_EQ(sk::RegSubkeys(system), std::vector<std::u16string>{u"Setup"});
}

} // namespace
