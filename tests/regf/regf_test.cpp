/*
 * regf_test.cpp - the hive library on a real Windows SYSTEM hive: what it
 * reads, what its checker refuses, and what its editor changes (and does
 * not), checked with libhivex as a reader independent of ours.
 */
#include "simkernel/hive_file.h"
#include "simkernel/regf/regf.h"
#include "simkernel/upcase.h"
#include "tests/support/real_hives.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <filesystem>
#include <iterator>

namespace {

using namespace sk::regf;
using qelmbar::test::KeyState;
using qelmbar::test::OpenHive;
using qelmbar::test::RealHive;
using qelmbar::test::WalkKeys;

constexpr uint64_t kNow = 134117000000000000ULL;

uint32_t Le32(const std::vector<uint8_t> &b, size_t at)
{
    return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 |
           (uint32_t)b[at + 3] << 24;
}

void SetLe32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (uint8_t)(v >> (8 * i));
}

/* The cell of the key at path (components joined by '\'). */
uint32_t Find(const Hive &hive, const std::u16string &path)
{
    uint32_t cell = hive.RootCell();
    size_t at = 0;
    while (at < path.size()) {
        size_t end = path.find(u'\\', at);
        if (end == std::u16string::npos)
            end = path.size();
        const std::u16string name = path.substr(at, end - at);
        KeyNode key;
        std::vector<uint32_t> children;
        if (!hive.ReadKey(cell, &key) || !hive.Subkeys(key, &children))
            return kNoCell;
        uint32_t next = kNoCell;
        for (uint32_t child : children) {
            KeyNode node;
            if (hive.ReadKey(child, &node) && sk::Upcase(node.name) == sk::Upcase(name))
                next = child;
        }
        if (next == kNoCell)
            return kNoCell;
        cell = next;
        at = end + 1;
    }
    return cell;
}

NTSTATUS Refused(std::vector<uint8_t> bytes, std::string *message)
{
    std::unique_ptr<Hive> hive;
    Refusal why;
    NTSTATUS status = Hive::Open(std::move(bytes), &hive, &why);
    if (NT_SUCCESS(status))
        status = hive->Check(&why);
    *message = why.message;
    return status;
}

void Reseal(std::vector<uint8_t> &bytes)
{
    SetLe32(bytes, 0x1FC, BaseBlockChecksum(bytes.data()));
}

class RegfTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bytes_ = RealHive("SYSTEM");
        ASSERT_GT(bytes_.size(), 4096u);
        hive_ = OpenHive(bytes_);
        ASSERT_TRUE(hive_);
    }

    /* Every key's cells as they were, but for the keys named. */
    void ExpectOthersUnchanged(const Hive &after, const std::vector<std::u16string> &changed)
    {
        std::map<std::u16string, KeyState> before, now;
        ASSERT_TRUE(WalkKeys(*hive_, &before));
        ASSERT_TRUE(WalkKeys(after, &now));
        for (const auto &[path, state] : before) {
            if (std::find(changed.begin(), changed.end(), path) != changed.end())
                continue;
            auto found = now.find(path);
            ASSERT_NE(found, now.end());
            const KeyState &other = found->second;
            EXPECT_EQ(state.node.flags, other.node.flags);
            EXPECT_EQ(state.node.lastWrite, other.node.lastWrite);
            EXPECT_EQ(state.node.maxNameField, other.node.maxNameField);
            EXPECT_EQ(state.node.access, other.node.access);
            EXPECT_EQ(state.className, other.className);
            EXPECT_EQ(state.descriptor, other.descriptor);
            ASSERT_EQ(state.values.size(), other.values.size());
            for (size_t i = 0; i < state.values.size(); i++) {
                EXPECT_EQ(state.values[i].name, other.values[i].name);
                EXPECT_EQ(state.values[i].type, other.values[i].type);
                EXPECT_EQ(state.values[i].flags, other.values[i].flags);
                EXPECT_EQ(state.values[i].data, other.values[i].data);
            }
            EXPECT_EQ(state.subkeys, other.subkeys);
        }
    }

    std::vector<uint8_t> bytes_;
    std::unique_ptr<Hive> hive_;
};

/* ---- reading and checking -------------------------------------------- */

TEST_F(RegfTest, ReadsAndChecksTheWholeRealHive)
{
    CheckCounts counts;
    Refusal why;
    ASSERT_EQ(STATUS_SUCCESS, hive_->Check(&why, &counts)) << why.message;
    EXPECT_EQ(counts.keys, 30756u);
    EXPECT_EQ(counts.values, 73456u);
    EXPECT_EQ(counts.descriptors, 193u);
    EXPECT_EQ(counts.bigData, 8u);
    EXPECT_EQ(counts.classes, 14u);
    EXPECT_EQ(hive_->header().minor, 5u);
    EXPECT_EQ(hive_->header().sequence1, 13983u);
    std::vector<uint32_t> sks;
    ASSERT_TRUE(hive_->SecurityCells(&sks));
    EXPECT_EQ(sks.size(), 193u);
    /* Nothing changed is nothing written differently. */
    EXPECT_EQ(hive_->Bytes(), bytes_);
}

TEST_F(RegfTest, DirtyAndDifferencingHivesAreRefusedWithWhy)
{
    std::string message;
    std::vector<uint8_t> dirty = bytes_;
    SetLe32(dirty, 8, Le32(dirty, 4) - 1);
    Reseal(dirty);
    EXPECT_EQ(STATUS_REGISTRY_CORRUPT, Refused(dirty, &message));
    EXPECT_NE(message.find("dirty"), std::string::npos) << message;
    EXPECT_EQ(STATUS_REGISTRY_CORRUPT, Refused(RealHive("SYSTEM_B"), &message));
    EXPECT_NE(message.find("sequence numbers 1622 and 1621 differ"), std::string::npos) << message;

    std::vector<uint8_t> layered = bytes_;
    SetLe32(layered, 0x18, 6);
    Reseal(layered);
    EXPECT_EQ(STATUS_REGISTRY_CORRUPT, Refused(layered, &message));
    EXPECT_NE(message.find("differencing hive (version 1.6"), std::string::npos) << message;

    std::vector<uint8_t> noHive(bytes_.begin(), bytes_.begin() + 4096);
    noHive[0] = 'x';
    EXPECT_EQ(STATUS_NOT_REGISTRY_FILE, Refused(noHive, &message));
}

TEST_F(RegfTest, TheCheckerRefusesEachInconsistencyNamingTheKey)
{
    const uint32_t control = Find(*hive_, u"ControlSet001\\Control");
    const uint32_t set = Find(*hive_, u"ControlSet001");
    ASSERT_NE(control, kNoCell);
    ASSERT_NE(set, kNoCell);
    const size_t nk = 4096 + control + 4;
    std::string message;

    std::vector<uint8_t> count = bytes_;
    SetLe32(count, nk + 0x14, Le32(count, nk + 0x14) + 1);
    EXPECT_EQ(STATUS_REGISTRY_CORRUPT, Refused(count, &message));
    EXPECT_NE(message.find("key \"ControlSet001\\Control\": it counts"), std::string::npos)
        << message;

    /* Two entries of ControlSet001's leaf swapped. */
    std::vector<uint8_t> order = bytes_;
    const size_t leaf = 4096 + Le32(order, 4096 + set + 4 + 0x1C) + 4;
    ASSERT_EQ(order[leaf], 'l');
    for (size_t i = 0; i < 8; i++)
        std::swap(order[leaf + 4 + i], order[leaf + 12 + i]);
    EXPECT_EQ(STATUS_REGISTRY_CORRUPT, Refused(order, &message));
    EXPECT_NE(message.find("key \"ControlSet001\": its subkey list is not in order"),
              std::string::npos)
        << message;

    /* The value list pointed into the middle of the key's own cell. */
    std::vector<uint8_t> overlap = bytes_;
    SetLe32(overlap, nk + 0x28, control + 16);
    EXPECT_EQ(STATUS_REGISTRY_CORRUPT, Refused(overlap, &message));
    EXPECT_NE(message.find("ControlSet001\\Control"), std::string::npos) << message;

    std::vector<uint8_t> references = bytes_;
    const size_t sk = 4096 + Le32(references, nk + 0x2C) + 4;
    SetLe32(references, sk + 0x0C, Le32(references, sk + 0x0C) + 1);
    EXPECT_EQ(STATUS_REGISTRY_CORRUPT, Refused(references, &message));
    EXPECT_NE(message.find("references but"), std::string::npos) << message;

    std::vector<uint8_t> length = bytes_;
    SetLe32(length, 4096 + control, (uint32_t)-(int32_t)(-(int32_t)Le32(length, 4096 + control) + 4));
    EXPECT_EQ(STATUS_REGISTRY_CORRUPT, Refused(length, &message));
    EXPECT_NE(message.find("bad length"), std::string::npos) << message;
}

/* ---- editing --------------------------------------------------------- */

TEST_F(RegfTest, ANewKeyInheritsItsParentsSecurityAndSharesAnEqualCell)
{
    std::unique_ptr<Hive> copy = OpenHive(bytes_);
    ASSERT_TRUE(copy);
    Hive &edited = *copy;
    const uint32_t services = Find(edited, u"ControlSet001\\Services");
    KeyNode parent;
    ASSERT_TRUE(edited.ReadKey(services, &parent));
    SecurityNode parentSk;
    ASSERT_TRUE(edited.ReadSecurity(parent.security, &parentSk));
    std::vector<uint8_t> expected;
    ASSERT_TRUE(InheritDescriptor(parentSk.descriptor.data(), parentSk.descriptor.size(), &expected));
    std::vector<uint32_t> sksBefore;
    ASSERT_TRUE(edited.SecurityCells(&sksBefore));
    uint32_t shared = kNoCell, sharedRefs = 0;
    for (uint32_t cell : sksBefore) {
        SecurityNode node;
        ASSERT_TRUE(edited.ReadSecurity(cell, &node));
        if (node.descriptor == expected) {
            shared = cell;
            sharedRefs = node.references;
        }
    }

    uint32_t made;
    ASSERT_EQ(STATUS_SUCCESS,
              edited.CreateKey(services, u"Qelmbar", u"", false, kNow, &made));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
              edited.CreateKey(services, u"QELMBAR", u"", false, kNow, &made));
    KeyNode key;
    ASSERT_TRUE(edited.ReadKey(made, &key));
    SecurityNode sk;
    ASSERT_TRUE(edited.ReadSecurity(key.security, &sk));
    EXPECT_EQ(sk.descriptor, expected);
    std::vector<uint32_t> sksAfter;
    ASSERT_TRUE(edited.SecurityCells(&sksAfter));
    if (shared != kNoCell) {
        EXPECT_EQ(key.security, shared);
        EXPECT_EQ(sk.references, sharedRefs + 1);
        EXPECT_EQ(sksAfter.size(), sksBefore.size());
    } else {
        EXPECT_EQ(sk.references, 1u);
        EXPECT_EQ(sksAfter.size(), sksBefore.size() + 1);
    }
    EXPECT_EQ(key.lastWrite, kNow);
    EXPECT_EQ(key.parent, services);
    Refusal why;
    EXPECT_EQ(STATUS_SUCCESS, edited.Check(&why)) << why.message;
    ExpectOthersUnchanged(edited, {u"CONTROLSET001\\SERVICES"});

    /* Deleted again, the security cell's count is as it was. */
    ASSERT_EQ(STATUS_SUCCESS, edited.DeleteKey(made));
    EXPECT_EQ(STATUS_SUCCESS, edited.Check(&why)) << why.message;
    ASSERT_TRUE(edited.SecurityCells(&sksAfter));
    EXPECT_EQ(sksAfter, sksBefore);
}

TEST(InheritDescriptorTest, PassesOnWhatContainersInheritMarkedInherited)
{
    /* Owner SYSTEM, group SYSTEM; DACL: SYSTEM full (CI), Users read
     * (CI|NP), CREATOR OWNER GENERIC_ALL (CI|IO), Everyone read (OI only),
     * Guests read (not inheritable). */
    const std::vector<uint8_t> system = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const std::vector<uint8_t> users = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0};
    const std::vector<uint8_t> creator = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
    const std::vector<uint8_t> everyone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    const std::vector<uint8_t> guests = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x22, 2, 0, 0};
    std::vector<uint8_t> aces;
    auto ace = [&](uint8_t flags, uint32_t mask, const std::vector<uint8_t> &sid) {
        std::vector<uint8_t> a = {0, flags, (uint8_t)(8 + sid.size()), 0, 0, 0, 0, 0};
        for (int i = 0; i < 4; i++)
            a[4 + i] = (uint8_t)(mask >> (8 * i));
        a.insert(a.end(), sid.begin(), sid.end());
        return a;
    };
    std::vector<std::vector<uint8_t>> list = {
        ace(0x02, 0xF003F, system), ace(0x06, 0x20019, users), ace(0x0A, 0x10000000, creator),
        ace(0x01, 0x20019, everyone), ace(0x00, 0x20019, guests)};
    for (const auto &a : list)
        aces.insert(aces.end(), a.begin(), a.end());
    std::vector<uint8_t> parent(20, 0);
    parent[0] = 1;
    parent[2] = 0x04;
    parent[3] = 0x84; /* self-relative, DACL present, DACL auto-inherited */
    parent[16] = 20;
    std::vector<uint8_t> acl = {2, 0, (uint8_t)(8 + aces.size()), 0, (uint8_t)list.size(), 0, 0, 0};
    parent.insert(parent.end(), acl.begin(), acl.end());
    parent.insert(parent.end(), aces.begin(), aces.end());
    parent[4] = (uint8_t)parent.size();
    parent.insert(parent.end(), system.begin(), system.end());
    parent[8] = (uint8_t)parent.size();
    parent.insert(parent.end(), system.begin(), system.end());

    std::vector<uint8_t> child;
    ASSERT_TRUE(InheritDescriptor(parent.data(), parent.size(), &child));
    std::vector<uint8_t> want(20, 0);
    want[0] = 1;
    want[2] = 0x04;
    want[3] = 0x84;
    want[16] = 20;
    std::vector<std::vector<uint8_t>> inherited = {
        ace(0x12, 0xF003F, system),      /* CI kept, inherited */
        ace(0x10, 0x20019, users),       /* NP: applies here, goes no further */
        ace(0x10, 0xF003F, system),      /* CREATOR OWNER: the owner, rights mapped */
        ace(0x1A, 0x10000000, creator),  /* ... and passed on as it was */
        ace(0x19, 0x20019, everyone)};   /* OI: inherit-only, for objects below */
    std::vector<uint8_t> wantAces;
    for (const auto &a : inherited)
        wantAces.insert(wantAces.end(), a.begin(), a.end());
    std::vector<uint8_t> wantAcl = {2, 0, (uint8_t)(8 + wantAces.size()), 0,
                                    (uint8_t)inherited.size(), 0, 0, 0};
    want.insert(want.end(), wantAcl.begin(), wantAcl.end());
    want.insert(want.end(), wantAces.begin(), wantAces.end());
    want[4] = (uint8_t)want.size();
    want.insert(want.end(), system.begin(), system.end());
    want[8] = (uint8_t)want.size();
    want.insert(want.end(), system.begin(), system.end());
    EXPECT_EQ(child, want);

    parent[3] = 0x00; /* not self-relative */
    EXPECT_FALSE(InheritDescriptor(parent.data(), parent.size(), &child));
}

TEST_F(RegfTest, ValuesOfEverySizeAreSetReplacedAndFreedWithCellsMerged)
{
    Hive &hive = *hive_;
    const uint32_t binsBefore = hive.header().binsSize;
    const uint32_t key = Find(hive, u"Select");
    ASSERT_NE(key, kNoCell);
    std::vector<uint8_t> big(40000);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (uint8_t)(i * 7);
    const std::vector<uint8_t> small = {1, 2, 3};
    const std::vector<uint8_t> medium(100, 0x5A);
    ASSERT_EQ(STATUS_SUCCESS, hive.SetValue(key, u"Big", 3, big.data(), big.size()));
    ASSERT_EQ(STATUS_SUCCESS, hive.SetValue(key, u"Small", 4, small.data(), small.size()));
    ASSERT_EQ(STATUS_SUCCESS, hive.SetValue(key, u"Medium", 1, medium.data(), medium.size()));
    ASSERT_EQ(STATUS_SUCCESS, hive.SetValue(key, u"Empty", 0, nullptr, 0));
    /* Replaced under another case: the name as now given. */
    ASSERT_EQ(STATUS_SUCCESS, hive.SetValue(key, u"SMALL", 3, medium.data(), 10));

    KeyNode node;
    ASSERT_TRUE(hive.ReadKey(key, &node));
    std::vector<uint32_t> cells;
    ASSERT_TRUE(hive.ValueCells(node, &cells));
    ASSERT_EQ(cells.size(), 8u) << "Select's four and four more";
    std::map<std::u16string, ValueNode> read;
    for (uint32_t vk : cells) {
        ValueNode v;
        ASSERT_TRUE(hive.ReadValue(vk, &v));
        read[v.name] = v;
    }
    EXPECT_EQ(read[u"Big"].data, big);
    EXPECT_EQ(read[u"Big"].type, 3u);
    EXPECT_EQ(read[u"SMALL"].data, std::vector<uint8_t>(medium.begin(), medium.begin() + 10));
    EXPECT_EQ(read.count(u"Small"), 0u);
    EXPECT_EQ(read[u"Medium"].data, medium);
    EXPECT_TRUE(read[u"Empty"].data.empty());
    EXPECT_EQ(node.maxValueData, 40000u);
    Refusal why;
    ASSERT_EQ(STATUS_SUCCESS, hive.Check(&why)) << why.message;
    /* The db cell, its list and three segments are in new bins. */
    EXPECT_GT(hive.header().binsSize, binsBefore);

    for (const char16_t *name : {u"Big", u"small", u"Medium", u"Empty"})
        ASSERT_EQ(STATUS_SUCCESS, hive.DeleteValue(key, name)) << (const char *)name;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, hive.DeleteValue(key, u"Big"));
    ASSERT_EQ(STATUS_SUCCESS, hive.Check(&why)) << why.message;
    std::map<std::u16string, KeyState> before, after;
    ASSERT_TRUE(WalkKeys(*OpenHive(bytes_), &before));
    ASSERT_TRUE(WalkKeys(hive, &after));
    EXPECT_EQ(before[u"SELECT"].values.size(), after[u"SELECT"].values.size());

    /* Freed cells were merged: no two free cells side by side in the
     * bins added. */
    const std::vector<uint8_t> now = hive.Bytes();
    for (uint32_t at = binsBefore; at < hive.header().binsSize;) {
        const uint32_t size = Le32(now, 4096 + at + 8);
        bool previousFree = false;
        for (uint32_t cell = at + 32; cell < at + size;) {
            const int32_t raw = (int32_t)Le32(now, 4096 + cell);
            EXPECT_FALSE(previousFree && raw > 0) << "cell at " << cell;
            previousFree = raw > 0;
            cell += (uint32_t)(raw < 0 ? -raw : raw);
        }
        at += size;
    }
}

TEST_F(RegfTest, ASavedHiveIsStampedWholeAndReadByHivex)
{
    Hive &hive = *hive_;
    const uint32_t services = Find(hive, u"ControlSet001\\Services");
    uint32_t made;
    ASSERT_EQ(STATUS_SUCCESS, hive.CreateKey(services, u"Qelmbar", u"Cls", false, kNow, &made));
    const uint32_t start = 0;
    ASSERT_EQ(STATUS_SUCCESS, hive.SetValue(made, u"Start", 4, (const uint8_t *)&start, 4));

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("regf_save_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "SYSTEM").string();
    {
        std::ofstream old(path, std::ios::binary);
        old << "old";
    }
    chmod(path.c_str(), 0600);
    ASSERT_EQ(STATUS_SUCCESS, hive.Save(path, kNow + 5, true));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::filesystem::directory_iterator(dir)->path().filename(), "SYSTEM")
        << "no temporary left";

    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> saved((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(Le32(saved, 4), 13984u);
    EXPECT_EQ(Le32(saved, 8), 13984u);
    EXPECT_EQ(Le32(saved, 0x0C), (uint32_t)(kNow + 5));
    EXPECT_EQ(Le32(saved, 0x1FC), BaseBlockChecksum(saved.data()));
    EXPECT_EQ(0, memcmp(saved.data() + 0x70, bytes_.data() + 0x70, 0x1FC - 0x70))
        << "the header's other fields are kept";
    std::unique_ptr<Hive> back = OpenHive(saved);
    ASSERT_TRUE(back);
    Refusal why;
    EXPECT_EQ(STATUS_SUCCESS, back->Check(&why)) << why.message;

    hive_h *h = hivex_open(path.c_str(), 0);
    ASSERT_TRUE(h);
    hive_node_h node = hivex_root(h);
    for (const char *name : {"ControlSet001", "Services", "Qelmbar"}) {
        node = hivex_node_get_child(h, node, name);
        ASSERT_NE(node, 0u) << name;
    }
    hive_value_h value = hivex_node_get_value(h, node, "Start");
    ASSERT_NE(value, 0u);
    errno = 0;
    EXPECT_EQ(hivex_value_dword(h, value), 0);
    EXPECT_EQ(errno, 0);
    hivex_close(h);
    std::filesystem::remove_all(dir);
}

TEST_F(RegfTest, AKeyOf200000SubkeysIsBuiltCheckedEditedAndSaved)
{
    Hive &hive = *hive_;
    const uint32_t software = Find(hive, u"ControlSet001");
    uint32_t wide;
    ASSERT_EQ(STATUS_SUCCESS, hive.CreateKey(software, u"Wide", u"", false, kNow, &wide));
    char16_t name[16];
    for (uint32_t i = 0; i < 200000; i++) {
        /* Added out of order, so that every leaf is split into. */
        const uint32_t n = (i * 7919u) % 200000u;
        for (int d = 0; d < 6; d++)
            name[5 - d] = (char16_t)(u'0' + (n / (uint32_t)std::pow(10, d)) % 10);
        uint32_t made;
        ASSERT_EQ(STATUS_SUCCESS,
                  hive.CreateKey(wide, std::u16string(u"k") + std::u16string(name, 6), u"", false,
                                 kNow, &made));
    }
    CheckCounts counts;
    Refusal why;
    ASSERT_EQ(STATUS_SUCCESS, hive.Check(&why, &counts)) << why.message;
    EXPECT_EQ(counts.keys, 30756u + 200001u);
    KeyNode node;
    ASSERT_TRUE(hive.ReadKey(wide, &node));
    EXPECT_EQ(node.subkeyCount, 200000u);
    std::vector<uint8_t> bytes = hive.Bytes();
    EXPECT_EQ(bytes[4096 + node.subkeyList + 4], 'r') << "an index root over leaves";

    std::vector<uint32_t> children;
    ASSERT_TRUE(hive.Subkeys(node, &children));
    ASSERT_EQ(STATUS_SUCCESS, hive.DeleteKey(children[100000]));
    ASSERT_EQ(STATUS_SUCCESS, hive.Check(&why, &counts)) << why.message;
    EXPECT_EQ(counts.keys, 30756u + 200000u);

    /* Loaded into a tree of keys, one more added, and saved in place. */
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("regf_wide_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "SYSTEM").string();
    ASSERT_EQ(STATUS_SUCCESS, hive.Save(path, kNow, false));
    std::shared_ptr<sk::reg::Key> root;
    ASSERT_EQ(STATUS_SUCCESS,
              sk::reg::ReadHiveFile(path, &root, std::make_shared<sk::reg::Hive>()));
    sk::reg::Key *tree = nullptr;
    for (const auto &set : root->subkeys) {
        if (set->name == u"ControlSet001") {
            for (const auto &child : set->subkeys) {
                if (child->name == u"Wide")
                    tree = child.get();
            }
        }
    }
    ASSERT_TRUE(tree);
    ASSERT_EQ(tree->subkeys.size(), 199999u);
    sk::reg::AddSubkey(*tree, u"k", false, u"");
    ASSERT_EQ(STATUS_SUCCESS, sk::reg::WriteHiveFile(path, *root, u"SYSTEM"));
    std::ifstream in(path, std::ios::binary);
    std::unique_ptr<Hive> back = OpenHive(std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {}));
    ASSERT_TRUE(back);
    EXPECT_EQ(STATUS_SUCCESS, back->Check(&why, &counts)) << why.message;
    EXPECT_EQ(counts.keys, 30756u + 200001u);
    std::filesystem::remove_all(dir);
}

TEST_F(RegfTest, KeysNestedDeeperThan512AreRefused)
{
    Hive &hive = *hive_;
    uint32_t at = hive.RootCell();
    for (int depth = 1; depth <= 513; depth++) {
        uint32_t made;
        ASSERT_EQ(STATUS_SUCCESS, hive.CreateKey(at, u"n", u"", false, kNow, &made));
        at = made;
    }
    Refusal why;
    EXPECT_EQ(STATUS_REGISTRY_CORRUPT, hive.Check(&why));
    EXPECT_NE(why.message.find("nested deeper than 512 levels"), std::string::npos) << why.message;
    KeyNode node;
    ASSERT_TRUE(hive.ReadKey(at, &node));
    ASSERT_EQ(STATUS_SUCCESS, hive.DeleteKey(at));
    EXPECT_EQ(STATUS_SUCCESS, hive.Check(&why)) << why.message;
}

} // namespace
