/*
 * hive_file_test.cpp - hive files: what the writer lays out (base block,
 * flags, hashes, index roots, big data), what libhivex and hivexregedit
 * read back from it, round trips through our reader, the safety of a save
 * that fails, and the statuses a damaged file is refused with.
 */
#include "simkernel/hive_file.h"
#include "simkernel/upcase.h"
#include "tests/support/kernel_test.h"

#include "tests/simkernel/hivex_view.h"

#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using sk::reg::Key;
using qtest::Digest;

/* Every key by its stored name, the root's included. */
std::string HivexView(const std::string &path)
{
    return qtest::HivexView(path, true);
}

const std::u16string kHive = u"\\REGISTRY\\MACHINE\\SAMPLE";
const std::u16string kSavedName = u"\\??\\C:\\Windows\\System32\\config\\SAMPLE";

std::u16string Sub(const std::u16string &path)
{
    return kHive + u"\\" + path;
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes)
{
    return std::vector<uint8_t>(bytes);
}

std::vector<uint8_t> Slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void Spill(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary).write((const char *)bytes.data(), bytes.size());
}

/* What the tree holds, in the lines HivexView gives for the file. */
void DumpTree(const Key &key, bool full, const std::string &indent, std::string *out)
{
    *out += indent + "key " + qtest::U8(key.name);
    if (full)
        *out +=
            " class=" + qtest::U8(key.className) + " time=" + std::to_string(key.lastWriteTime) +
            " marks=" + std::to_string(key.maxNameLen) + "," + std::to_string(key.maxClassLen) +
            "," + std::to_string(key.maxValueNameLen) + "," + std::to_string(key.maxValueDataLen);
    *out += "\n";
    for (const sk::reg::Value &v : key.values)
        *out += indent + "  value " + qtest::U8(v.name) + " type " + std::to_string(v.type) + " " +
                Digest(v.data.data(), v.data.size()) + "\n";
    for (const auto &child : key.subkeys) {
        if (!child->isVolatile && !child->hiveRoot)
            DumpTree(*child, full, indent + "  ", out);
    }
}

std::string TreeView(const Key &key, bool full = false)
{
    std::string out;
    DumpTree(key, full, "", &out);
    return out;
}

/* Reads cells of a saved image the way the format defines them. */
struct Image {
    std::vector<uint8_t> bytes;

    uint32_t U32(size_t at) const
    {
        uint32_t v;
        bytes.at(at + 3);
        memcpy(&v, &bytes[at], 4);
        return v;
    }
    uint16_t U16(size_t at) const { return (uint16_t)(bytes.at(at) | bytes.at(at + 1) << 8); }
    size_t Payload(uint32_t cell) const { return 4096 + cell + 4; }
    std::string Sig(uint32_t cell) const
    {
        return std::string((const char *)&bytes.at(Payload(cell)), 2);
    }
    uint32_t Root() const { return U32(0x24); }
    uint32_t Nk(uint32_t nk, size_t field) const { return U32(Payload(nk) + field); }
    std::u16string Name(uint32_t nk) const
    {
        std::u16string name;
        const size_t at = Payload(nk) + 0x4C, n = U16(Payload(nk) + 0x48);
        const bool compressed = U16(Payload(nk) + 2) & 0x20;
        for (size_t i = 0; i < n; i += compressed ? 1 : 2)
            name.push_back(compressed ? bytes.at(at + i) : U16(at + i));
        return name;
    }
    /* The leaves of the key's subkey list. */
    std::vector<uint32_t> Leaves(uint32_t nk) const
    {
        const uint32_t list = Nk(nk, 0x1C);
        if (Sig(list) != "ri")
            return {list};
        std::vector<uint32_t> leaves;
        for (size_t i = 0; i < U16(Payload(list) + 2); i++)
            leaves.push_back(U32(Payload(list) + 4 + 4 * i));
        return leaves;
    }
    uint32_t Child(uint32_t nk, const std::u16string &name) const
    {
        for (uint32_t leaf : Leaves(nk)) {
            for (size_t i = 0; i < U16(Payload(leaf) + 2); i++) {
                const uint32_t child = U32(Payload(leaf) + 4 + 8 * i);
                if (Name(child) == name)
                    return child;
            }
        }
        return 0xFFFFFFFF;
    }
};

void FixChecksum(std::vector<uint8_t> &file)
{
    uint32_t sum = 0, word;
    for (size_t i = 0; i < 0x1FC; i += 4) {
        memcpy(&word, &file[i], 4);
        sum ^= word;
    }
    memcpy(&file[0x1FC], &sum, 4);
}

class HiveFileTest : public qtest::KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        std::string pattern = "/tmp/qelmbar-hive-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(kHive, u"SAMPLE"));
    }

    void TearDown() override
    {
        KernelTest::TearDown();
        std::filesystem::remove_all(dir_);
    }

    std::string PathOf(const std::string &name) const { return dir_ + "/" + name; }

    const Key &Root()
    {
        root_ = sk::reg::FindByPath(kHive);
        return *root_;
    }

    NTSTATUS Save(const std::string &path)
    {
        std::lock_guard<std::recursive_mutex> guard(sk::KernelLock());
        return sk::reg::WriteHiveFile(path, Root(), kSavedName);
    }

    Image Built()
    {
        Image image;
        EXPECT_STATUS(STATUS_SUCCESS, sk::reg::BuildHiveImage(Root(), kSavedName, &image.bytes));
        return image;
    }

    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    void CreateWithClass(const std::u16string &path, const std::u16string &cls)
    {
        UNICODE_STRING name{(USHORT)(path.size() * 2), (USHORT)(path.size() * 2),
                            (PWSTR)path.data()};
        UNICODE_STRING klass{(USHORT)(cls.size() * 2), (USHORT)(cls.size() * 2), (PWSTR)cls.data()};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE h;
        ASSERT_STATUS(STATUS_SUCCESS, ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, &klass, 0, nullptr));
        ZwClose(h);
    }

    /* A little of everything the format distinguishes. */
    void BuildRichHive()
    {
        CreateWithClass(Sub(u"Classy"), u"SomeClass");
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Schl\u00fcssel\\Inner")));
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegCreateKey(Sub(u"\u039a\u03bb\u03b5\u03b9\u03b4\u03af")));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"\u9375\U0001F511")));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"P1\\Case")));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"P2\\CASE")));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"_under")));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"apple")));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Banana")));
        /* High-water marks above what is left. */
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Marks\\short")));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Marks\\a rather longer name")));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(Sub(u"Marks\\a rather longer name")));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(Sub(u"Marks"), u"a long value name",
                                                      REG_BINARY, Bytes({1, 2, 3, 4, 5, 6})));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(Sub(u"Marks"), u"v", REG_BINARY, Bytes({1})));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteValue(Sub(u"Marks"), u"a long value name"));
        const std::u16string at = Sub(u"Classy");
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetString(at, u"", u"default"));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(at, u"none", REG_NONE, {}));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetString(at, u"sz", u"text"));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetString(at, u"expand", u"%Root%", REG_EXPAND_SZ));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(at, u"dword", 0xDEADBEEF));
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegSetValue(at, u"be", REG_DWORD_BIG_ENDIAN, Bytes({1, 2, 3, 4})));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetQword(at, u"qword", 0x0123456789ABCDEFULL));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetMultiString(at, u"multi", {u"a", u"bc"}));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(at, u"link", REG_LINK, Bytes({'x', 0})));
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegSetValue(at, u"res", REG_RESOURCE_LIST, Bytes({9, 9, 9})));
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegSetValue(at, u"odd type", 0xFFFF0012, Bytes({1, 2, 3, 4, 5})));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(at, u"one", REG_BINARY, Bytes({7})));
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegSetValue(at, u"Gr\u00f6\u00dfe \u03c0", REG_BINARY, Bytes({1, 2})));
        for (size_t size : {16344, 16345, 1 << 20}) {
            std::vector<uint8_t> data(size);
            for (size_t i = 0; i < size; i++)
                data[i] = (uint8_t)(i * 7 + size);
            ASSERT_STATUS(
                STATUS_SUCCESS,
                sk::RegSetValue(at, u"big" + qtest::U16(std::to_string(size)), REG_BINARY, data));
        }
    }

    std::string dir_;
    std::shared_ptr<Key> root_;
};

TEST_F(HiveFileTest, EmptyHiveIsHeaderAndOneBinWithAValidBaseBlock)
{
    Image image = Built();
    ASSERT_EQ(image.bytes.size(), 8192u);
    EXPECT_EQ(std::string((const char *)image.bytes.data(), 4), "regf");
    EXPECT_EQ(image.U32(0x04), image.U32(0x08));
    EXPECT_EQ(image.U32(0x14), 1u);
    EXPECT_EQ(image.U32(0x18), 5u);
    EXPECT_EQ(image.U32(0x28), 4096u);
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4)
        sum ^= image.U32(i);
    EXPECT_EQ(image.U32(0x1FC), sum);
    std::u16string fileName;
    for (size_t i = 0; image.U16(0x30 + 2 * i); i++)
        fileName.push_back(image.U16(0x30 + 2 * i));
    EXPECT_EQ(fileName, kSavedName.substr(kSavedName.size() - 31));
    EXPECT_EQ(std::string((const char *)&image.bytes[4096], 4), "hbin");

    const uint32_t root = image.Root();
    EXPECT_EQ(image.Sig(root), "nk");
    EXPECT_EQ(image.U16(image.Payload(root) + 2),
              0x4 | 0x8 | 0x20); /* hive entry, no delete, compressed */
    EXPECT_EQ(image.Name(root), u"SAMPLE");
    const uint32_t sk = image.Nk(root, 0x2C);
    EXPECT_EQ(image.Sig(sk), "sk");
    EXPECT_EQ(image.U32(image.Payload(sk) + 4), sk);
    EXPECT_EQ(image.U32(image.Payload(sk) + 8), sk);
    EXPECT_EQ(image.U32(image.Payload(sk) + 12), 1u);
}

TEST_F(HiveFileTest, HivexReadsEveryNameAndValueAsWritten)
{
    BuildRichHive();
    ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("rich.hiv")));
    EXPECT_EQ(HivexView(PathOf("rich.hiv")), TreeView(Root()));

    Image image{Slurp(PathOf("rich.hiv"))};
    const uint32_t latin = image.Child(image.Root(), u"Schl\u00fcssel");
    const uint32_t greek = image.Child(image.Root(), u"\u039a\u03bb\u03b5\u03b9\u03b4\u03af");
    EXPECT_TRUE(image.U16(image.Payload(latin) + 2) & 0x20);
    EXPECT_EQ(image.U16(image.Payload(latin) + 0x48), 9u);
    EXPECT_FALSE(image.U16(image.Payload(greek) + 2) & 0x20);
    EXPECT_EQ(image.U16(image.Payload(greek) + 0x48), 12u);
    /* 16344 bytes fit one cell, one more takes big-data segments. */
    const uint32_t classy = image.Child(image.Root(), u"Classy");
    const size_t list = image.Payload(image.Nk(classy, 0x28));
    std::map<std::string, std::string> dataSigs;
    for (size_t i = 0; i < image.Nk(classy, 0x24); i++) {
        const uint32_t vk = image.U32(list + 4 * i);
        const size_t n = image.U16(image.Payload(vk) + 2);
        std::string name((const char *)&image.bytes[image.Payload(vk) + 0x14], n);
        const uint32_t length = image.U32(image.Payload(vk) + 4);
        const uint32_t data = image.U32(image.Payload(vk) + 8);
        dataSigs[name] = (length & 0x80000000) ? "inline"
                         : data == 0xFFFFFFFF  ? "none"
                                               : image.Sig(data);
    }
    EXPECT_EQ(dataSigs["dword"], "inline");
    EXPECT_EQ(dataSigs["none"], "inline") << "empty data is inline, with length 0";
    EXPECT_NE(dataSigs["big16344"], "db");
    EXPECT_EQ(dataSigs["big16345"], "db");
    EXPECT_EQ(dataSigs["big1048576"], "db");
}

TEST_F(HiveFileTest, HivexregeditExportsTheSampleAsExpected)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"\u039a\u03bb\u03b5\u03b9\u03b4\u03af")));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Schl\u00fcssel")));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetValue(Sub(u"Schl\u00fcssel"), u"Gr\u00f6\u00dfe",
                                                  REG_BINARY, Bytes({1, 2})));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kHive, u"Version", 1));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetString(kHive, u"", u"x"));
    ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("sample.hiv")));

    FILE *pipe = popen(
        ("PERL_UNICODE=SO hivexregedit --export " + PathOf("sample.hiv") + " '\\' 2>&1").c_str(),
        "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof(buffer), pipe))
        text.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(text, "Windows Registry Editor Version 5.00\n\n"
                    "[\\]\n"
                    "@=hex(1):78,00,00,00\n"
                    "\"Version\"=dword:00000001\n\n"
                    "[\\Schl\u00fcssel]\n"
                    "\"Gr\u00f6\u00dfe\"=hex(3):01,02\n\n"
                    "[\\\u039a\u03bb\u03b5\u03b9\u03b4\u03af]\n\n");
}

TEST_F(HiveFileTest, SubkeysAreSortedByUpcasedNameWithNtHashes)
{
    EXPECT_EQ(sk::reg::HiveNameHash(u"ab"), 65u * 37 + 66);
    EXPECT_EQ(sk::reg::HiveNameHash(u"\u00e4"), 0xC4u); /* hashed upcased, as one code unit */
    BuildRichHive();
    Image image = Built();
    std::vector<std::u16string> order;
    const uint32_t leaf = image.Leaves(image.Root())[0];
    ASSERT_EQ(image.Sig(leaf), "lh");
    for (size_t i = 0; i < image.U16(image.Payload(leaf) + 2); i++) {
        const uint32_t child = image.U32(image.Payload(leaf) + 4 + 8 * i);
        order.push_back(image.Name(child));
        EXPECT_EQ(image.U32(image.Payload(leaf) + 8 + 8 * i), sk::reg::HiveNameHash(order.back()));
        EXPECT_EQ(image.Nk(child, 0x10), image.Root()); /* parent */
    }
    /* 'a' upcases below '_', which sorts below the letters only as stored. */
    EXPECT_EQ(order, (std::vector<std::u16string>{
                         u"apple", u"Banana", u"Classy", u"Marks", u"P1", u"P2", u"Schl\u00fcssel",
                         u"_under", u"\u039a\u03bb\u03b5\u03b9\u03b4\u03af", u"\u9375\U0001F511"}));
}

TEST_F(HiveFileTest, LongSubkeyListsGoUnderAnIndexRootPastNtsLeafLimit)
{
    const std::pair<const char16_t *, size_t> parents[] = {
        {u"Full", 1013}, {u"Over", 1014}, {u"Many", 2000}};
    for (const auto &parent : parents) {
        for (size_t i = 0; i < parent.second; i++) {
            std::u16string name = qtest::U16((i % 2 ? "key" : "KEY") + std::to_string(i));
            ASSERT_STATUS(STATUS_SUCCESS,
                          sk::RegCreateKey(Sub(std::u16string(parent.first) + u"\\" + name)));
        }
    }
    ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("long.hiv")));
    EXPECT_EQ(HivexView(PathOf("long.hiv")), TreeView(Root()));

    Image image{Slurp(PathOf("long.hiv"))};
    for (const auto &parent : parents) {
        const uint32_t nk = image.Child(image.Root(), parent.first);
        EXPECT_EQ(image.Sig(image.Nk(nk, 0x1C)), parent.second > 1013 ? "ri" : "lh")
            << qtest::U8(parent.first);
        size_t total = 0;
        std::u16string last;
        for (uint32_t leaf : image.Leaves(nk)) {
            ASSERT_EQ(image.Sig(leaf), "lh");
            const size_t count = image.U16(image.Payload(leaf) + 2);
            EXPECT_LE(count, 1013u);
            for (size_t i = 0; i < count; i++) {
                std::u16string name = image.Name(image.U32(image.Payload(leaf) + 4 + 8 * i));
                EXPECT_LT(sk::Upcase(last), sk::Upcase(name));
                last = name;
            }
            total += count;
        }
        EXPECT_EQ(total, parent.second);
        EXPECT_EQ(image.Nk(nk, 0x14), parent.second);
    }
}

TEST_F(HiveFileTest, RoundTripKeepsEverythingAndRewritesTheSameBytes)
{
    BuildRichHive();
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteValue(Sub(u"Classy"), u"one"));
    ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("a.hiv")));

    std::shared_ptr<Key> back;
    sk::reg::HiveFileHeader header;
    auto hive = std::make_shared<sk::reg::Hive>();
    ASSERT_STATUS(STATUS_SUCCESS, sk::reg::ReadHiveFile(PathOf("a.hiv"), &back, hive, &header));
    EXPECT_EQ(TreeView(*back, true), TreeView(Root(), true));
    EXPECT_EQ(header.minorVersion, 5u);
    EXPECT_EQ(header.fileName, kSavedName.substr(kSavedName.size() - 31));
    EXPECT_TRUE(back->hiveRoot);
    EXPECT_EQ(back->subkeys[0]->parent, back.get());
    EXPECT_EQ(back->subkeys[0]->hive, hive);
    EXPECT_EQ(back->subkeys[0]->upcased, u"APPLE");

    /* Saved again unchanged: the same bytes but for the base block's
     * stamps (both sequence numbers one on, the time, the checksum). */
    ASSERT_STATUS(STATUS_SUCCESS, sk::reg::WriteHiveFile(PathOf("b.hiv"), *back, kSavedName));
    auto a = Slurp(PathOf("a.hiv")), b = Slurp(PathOf("b.hiv"));
    ASSERT_EQ(a.size(), b.size());
    EXPECT_TRUE(std::equal(a.begin() + 0x14, a.begin() + 0x1FC, b.begin() + 0x14));
    EXPECT_TRUE(std::equal(a.begin() + 0x200, a.end(), b.begin() + 0x200));
    uint32_t seqA, seqB1, seqB2;
    memcpy(&seqA, &a[4], 4);
    memcpy(&seqB1, &b[4], 4);
    memcpy(&seqB2, &b[8], 4);
    EXPECT_EQ(seqB1, seqA + 1);
    EXPECT_EQ(seqB2, seqA + 1);
    LONGLONG stamped;
    memcpy(&stamped, &b[0x0C], 8);
    EXPECT_EQ(stamped, sk::RegCurrentTime());
}

TEST_F(HiveFileTest, NameThatIsNotValidUtf16StillRoundTrips)
{
    const std::u16string lone = std::u16string(u"Lone") + (char16_t)0xD800;
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(lone)));
    ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("lone.hiv")));
    std::shared_ptr<Key> back;
    ASSERT_STATUS(STATUS_SUCCESS, sk::reg::ReadHiveFile(PathOf("lone.hiv"), &back));
    ASSERT_EQ(back->subkeys.size(), 1u);
    EXPECT_EQ(back->subkeys[0]->name, lone);
}

TEST_F(HiveFileTest, VolatileKeysAndHivesMountedInsideAreLeftOut)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Kept")));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Kept\\Fleeting"), true));
    ASSERT_STATUS(STATUS_SUCCESS, sk::MountHive(Sub(u"Inner"), u"INNER"));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Inner\\Foreign")));
    ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("v.hiv")));
    EXPECT_EQ(HivexView(PathOf("v.hiv")), "key SAMPLE\n  key Kept\n");
    Image image{Slurp(PathOf("v.hiv"))};
    const uint32_t sk = image.Nk(image.Root(), 0x2C);
    EXPECT_EQ(image.U32(image.Payload(sk) + 12), 2u) << "one reference for each key saved";
    EXPECT_EQ(image.Nk(image.Child(image.Root(), u"Kept"), 0x2C), sk);
}

TEST_F(HiveFileTest, RewritingAfterSmallChangesDoesNotGrowTheFile)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Base")));
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::RegSetValue(Sub(u"Base"), u"big", REG_BINARY, std::vector<uint8_t>(20000)));
    ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("g.hiv")));
    const size_t first = Slurp(PathOf("g.hiv")).size();
    for (int i = 0; i < 100; i++) {
        const std::u16string key = Sub(u"Churn" + qtest::U16(std::to_string(i % 7)));
        ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(key));
        ASSERT_STATUS(STATUS_SUCCESS,
                      sk::RegSetValue(key, u"v", REG_BINARY, std::vector<uint8_t>(i * 50 % 9000)));
        if (i % 3 == 0) {
            ASSERT_STATUS(STATUS_SUCCESS, sk::RegDeleteTree(key));
        }
        ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("g.hiv")));
        ASSERT_LE(Slurp(PathOf("g.hiv")).size(), first + 7 * 16384) << "after " << i << " saves";
    }
    EXPECT_EQ(Slurp(PathOf("g.hiv")).size(), Built().bytes.size());
    EXPECT_EQ(Files(), std::vector<std::string>{"g.hiv"});
}

TEST_F(HiveFileTest, FailedSaveLeavesTheOldFileAndNoTemporary)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegSetDword(kHive, u"v", 1));
    ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("keep.hiv")));
    const std::vector<uint8_t> before = Slurp(PathOf("keep.hiv"));
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::RegSetValue(kHive, u"big", REG_BINARY, std::vector<uint8_t>(1 << 20)));

    /* The file size limit stops even root, which the directory's mode would not. */
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const NTSTATUS status = Save(PathOf("keep.hiv"));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_STATUS(STATUS_DISK_FULL, status);
    EXPECT_EQ(Slurp(PathOf("keep.hiv")), before);

    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Save(PathOf("missing/x.hiv")));
    std::filesystem::create_directory(PathOf("adir"));
    EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY, Save(PathOf("adir")));
    EXPECT_EQ(Files(), (std::vector<std::string>{"adir", "keep.hiv"}));
    EXPECT_TRUE(std::filesystem::is_empty(PathOf("adir")));
}

TEST_F(HiveFileTest, ReaderTakesAHiveLaidOutByAnotherWriter)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Ours")));
    ASSERT_STATUS(STATUS_SUCCESS, Save(PathOf("base.hiv")));
    hive_h *h = hivex_open(PathOf("base.hiv").c_str(), HIVEX_OPEN_WRITE);
    ASSERT_NE(h, nullptr);
    hive_node_h added = hivex_node_add_child(h, hivex_root(h), "Added");
    ASSERT_NE(added, 0u);
    char data[] = {1, 2, 3, 4, 5, 6};
    hive_set_value value = {(char *)"Six", hive_t_REG_BINARY, sizeof(data), data};
    ASSERT_EQ(hivex_node_set_value(h, added, &value, 0), 0);
    ASSERT_EQ(hivex_commit(h, PathOf("theirs.hiv").c_str(), 0), 0);
    hivex_close(h);

    std::shared_ptr<Key> back;
    ASSERT_STATUS(STATUS_SUCCESS, sk::reg::ReadHiveFile(PathOf("theirs.hiv"), &back));
    ASSERT_EQ(back->subkeys.size(), 2u);
    EXPECT_EQ(back->subkeys[0]->name, u"Added");
    EXPECT_EQ(back->subkeys[1]->name, u"Ours");
    ASSERT_EQ(back->subkeys[0]->values.size(), 1u);
    EXPECT_EQ(back->subkeys[0]->values[0].data, Bytes({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(back->subkeys[0]->maxValueDataLen, 6u);
}

TEST_F(HiveFileTest, DamagedFilesAreRefusedWithNtsStatuses)
{
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Child\\Grandchild")));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Child\\Grandchild2")));
    ASSERT_STATUS(STATUS_SUCCESS, sk::RegCreateKey(Sub(u"Other\\X")));
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::RegSetValue(Sub(u"Child"), u"pad", REG_BINARY, std::vector<uint8_t>(6000)));
    const Image good = Built();
    const uint32_t child = good.Child(good.Root(), u"Child");
    const uint32_t other = good.Child(good.Root(), u"Other");
    const size_t firstCell = 4096 + 32;

    struct Case {
        const char *what;
        NTSTATUS expected;
        std::function<void(std::vector<uint8_t> &)> damage;
    };
    const Case cases[] = {
        {"empty", STATUS_NOT_REGISTRY_FILE, [](auto &f) { f.clear(); }},
        {"text", STATUS_NOT_REGISTRY_FILE, [](auto &f) { f.assign(9000, 'x'); }},
        {"header only, bad sum", STATUS_NOT_REGISTRY_FILE,
         [](auto &f) {
             f.resize(4096);
             f[0x40] ^= 1;
         }},
        {"bad sum, bins fine", STATUS_REGISTRY_CORRUPT, [](auto &f) { f[0x40] ^= 1; }},
        {"major version 2", STATUS_NOT_REGISTRY_FILE,
         [](auto &f) {
             f[0x14] = 2;
             FixChecksum(f);
         }},
        {"not a primary file", STATUS_NOT_REGISTRY_FILE,
         [](auto &f) {
             f[0x1C] = 1;
             FixChecksum(f);
         }},
        {"left dirty", STATUS_REGISTRY_CORRUPT,
         [](auto &f) {
             f[0x04]++;
             FixChecksum(f);
         }},
        {"truncated", STATUS_REGISTRY_CORRUPT, [](auto &f) { f.resize(f.size() - 4096); }},
        {"bins size too long", STATUS_REGISTRY_CORRUPT,
         [](auto &f) {
             f[0x29] += 0x10;
             FixChecksum(f);
         }},
        {"bin signature", STATUS_REGISTRY_CORRUPT, [](auto &f) { f[4096 + 4096] = 'X'; }},
        {"cell size zero", STATUS_REGISTRY_CORRUPT, [&](auto &f) { memset(&f[firstCell], 0, 4); }},
        {"root not a key", STATUS_REGISTRY_CORRUPT, [&](auto &f) { f[firstCell + 4] = 'x'; }},
        {"a key holds its parent", STATUS_REGISTRY_CORRUPT,
         [&](auto &f) {
             const uint32_t root = good.Root();
             memcpy(&f[good.Payload(good.Nk(child, 0x1C)) + 4], &root, 4);
         }},
        /* Lists shared level after level would read as a tree of 2^depth keys. */
        {"two keys share their subkeys", STATUS_REGISTRY_CORRUPT,
         [&](auto &f) {
             const uint32_t list = good.Nk(child, 0x1C), count = 2;
             memcpy(&f[good.Payload(other) + 0x1C], &list, 4);
             memcpy(&f[good.Payload(other) + 0x14], &count, 4);
         }},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> file = good.bytes;
        c.damage(file);
        Spill(PathOf("bad.hiv"), file);
        std::shared_ptr<Key> root;
        EXPECT_STATUS(c.expected, sk::reg::ReadHiveFile(PathOf("bad.hiv"), &root)) << c.what;
        EXPECT_EQ(root, nullptr) << c.what;
    }
    std::shared_ptr<Key> root;
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                  sk::reg::ReadHiveFile(PathOf("nothing.hiv"), &root));
    EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                  sk::reg::ReadHiveFile(PathOf("no/thing.hiv"), &root));
    EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY, sk::reg::ReadHiveFile(dir_, &root));
}

} // namespace
