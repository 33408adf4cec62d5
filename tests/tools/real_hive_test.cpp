/*
 * real_hive_test.cpp - every staging command with --hive on a real Windows
 * SYSTEM hive changes nothing outside Services\Qelmbar at the level of
 * cells, and the independent readers Debian ships read what it wrote.
 */
#include "tests/support/real_hives.h"
#include "tests/support/tool_run.h"
#include "simkernel/regf/hive_logs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <iostream>

namespace {

using qelmbar::test::Contains;
using qelmbar::test::KeyState;
using qelmbar::test::OpenHive;
using qelmbar::test::ReadWholeFile;
using qelmbar::test::RealHive;
using qelmbar::test::ToolOutcome;
using qelmbar::test::WalkKeys;

#define EXPECT_OUTCOME(status, outcome) \
    EXPECT_EQ((outcome).Status, status) << "stdout:\n" << (outcome).Out << "stderr:\n" << (outcome).Err

/* Paths as WalkKeys gives them, upcased. */
const std::u16string kServices = u"CONTROLSET001\\SERVICES";
const std::u16string kOurs = kServices + u"\\QELMBAR";

std::vector<uint8_t> Bytes(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

uint32_t Le32(const std::vector<uint8_t> &b, size_t at)
{
    uint32_t v;
    memcpy(&v, b.data() + at, 4);
    return v;
}

struct Compared {
    size_t keys = 0;
    size_t values = 0;
    size_t descriptors = 0;
};

bool Ours(const std::u16string &path)
{
    return path == kOurs || path.rfind(kOurs + u"\\", 0) == 0;
}

/* Every key of before outside ours is in after with the same cells'
 * meaning; Services itself may have gained or lost our key (its list, its
 * count, its time and its name marks).  Counts what it compared. */
void ExpectSameOutsideOurs(const std::vector<uint8_t> &beforeBytes,
                           const std::vector<uint8_t> &afterBytes, bool servicesMayChange,
                           Compared *compared)
{
    std::unique_ptr<sk::regf::Hive> beforeHive = OpenHive(beforeBytes), afterHive = OpenHive(afterBytes);
    ASSERT_TRUE(beforeHive && afterHive);
    sk::regf::Refusal why;
    ASSERT_EQ(STATUS_SUCCESS, afterHive->Check(&why)) << why.message;
    std::map<std::u16string, KeyState> before, after;
    ASSERT_TRUE(WalkKeys(*beforeHive, &before));
    ASSERT_TRUE(WalkKeys(*afterHive, &after));
    std::set<std::vector<uint8_t>> descriptors;
    for (const auto &[path, state] : before) {
        if (Ours(path))
            continue;
        auto found = after.find(path);
        ASSERT_NE(found, after.end());
        const KeyState &other = found->second;
        const bool services = servicesMayChange && path == kServices;
        EXPECT_EQ(state.node.flags, other.node.flags);
        EXPECT_EQ(state.node.access, other.node.access);
        EXPECT_EQ(state.node.maxNameField >> 16, other.node.maxNameField >> 16);
        if (!services) {
            EXPECT_EQ(state.node.lastWrite, other.node.lastWrite)
                << std::string(path.begin(), path.end());
            EXPECT_EQ(state.node.maxNameField, other.node.maxNameField);
            EXPECT_EQ(state.node.maxClass, other.node.maxClass);
        }
        EXPECT_EQ(state.node.maxValueName, other.node.maxValueName);
        EXPECT_EQ(state.node.maxValueData, other.node.maxValueData);
        EXPECT_EQ(state.className, other.className);
        EXPECT_EQ(state.descriptor, other.descriptor);
        ASSERT_EQ(state.values.size(), other.values.size());
        for (size_t i = 0; i < state.values.size(); i++) {
            EXPECT_EQ(state.values[i].name, other.values[i].name);
            EXPECT_EQ(state.values[i].type, other.values[i].type);
            EXPECT_EQ(state.values[i].flags, other.values[i].flags);
            EXPECT_EQ(state.values[i].data, other.values[i].data);
        }
        std::vector<std::u16string> subkeys = other.subkeys;
        if (path == kServices)
            subkeys.erase(std::remove(subkeys.begin(), subkeys.end(), u"Qelmbar"), subkeys.end());
        std::vector<std::u16string> had = state.subkeys;
        if (path == kServices)
            had.erase(std::remove(had.begin(), had.end(), u"Qelmbar"), had.end());
        EXPECT_EQ(had, subkeys);
        compared->keys++;
        compared->values += state.values.size();
        descriptors.insert(state.descriptor);
    }
    compared->descriptors = descriptors.size();
    for (const auto &[path, state] : after)
        EXPECT_TRUE(Ours(path) || before.count(path)) << "a key appeared outside ours";
    /* The base block: all but the sequence numbers, the time, the size of
     * the bins and the checksum as they were; the sequence numbers equal. */
    EXPECT_EQ(Le32(afterBytes, 4), Le32(afterBytes, 8));
    EXPECT_EQ(0, memcmp(beforeBytes.data() + 0x14, afterBytes.data() + 0x14, 0x28 - 0x14));
    EXPECT_EQ(0, memcmp(beforeBytes.data() + 0x2C, afterBytes.data() + 0x2C, 0x1FC - 0x2C));
    EXPECT_EQ(0, memcmp(beforeBytes.data() + 0x200, afterBytes.data() + 0x200, 4096 - 0x200));
}

class RealHiveStagingTest : public qelmbar::test::ToolTest {
protected:
    /* Takes the hive name (and its logs, when it has them) through every
     * staging command; original is the hive as first read. */
    void EveryStep(const std::string &name, const std::vector<uint8_t> &original, size_t keyCount);
};

/* A clean Windows 7-era SYSTEM hive. */
TEST_F(RealHiveStagingTest, EveryCommandChangesOnlyOurKeyAndTheLastLeavesTheHiveAsItWas)
{
    const std::vector<uint8_t> original = RealHive("SYSTEM");
    ASSERT_GT(original.size(), 4096u);
    Write("SYSTEM", std::string(original.begin(), original.end()));
    EveryStep("SYSTEM", original, 30756);
}

/* A dirty Windows 8.1/10 SYSTEM hive with its two logs: the first command
 * reads it brought up to date from them, and from there on every command
 * keeps all but our key as that first read had it. */
TEST_F(RealHiveStagingTest, ADirtyHiveIsReadThroughItsLogsAndKeptAsTheyLeftIt)
{
    const std::vector<uint8_t> &primary = RealHive("SYSTEM_B");
    ASSERT_GT(primary.size(), 4096u);
    const std::string hive = Write("SYSTEM_B", std::string(primary.begin(), primary.end()));
    for (const char *log : { "SYSTEM_B.LOG1", "SYSTEM_B.LOG2" }) {
        const std::vector<uint8_t> &bytes = RealHive(log);
        ASSERT_FALSE(bytes.empty());
        Write(log, std::string(bytes.begin(), bytes.end()));
    }
    std::vector<uint8_t> replayed;
    ASSERT_EQ(sk::regf::ReadHiveImage(hive, sk::regf::HiveReadOptions(), &replayed), STATUS_SUCCESS);
    ASSERT_NE(replayed, primary);
    EveryStep("SYSTEM_B", replayed, 35595);
    /* The logs are emptied once the clean primary is saved. */
    EXPECT_EQ(ReadWholeFile(dir_ / "SYSTEM_B.LOG1"), "");
    EXPECT_EQ(ReadWholeFile(dir_ / "SYSTEM_B.LOG2"), "");
}

/* A key whose subkey count disagrees with its list: every command refuses
 * the hive, naming the key, and leaves the file as it was. */
TEST_F(RealHiveStagingTest, AKeyWhoseCountDisagreesWithItsListIsRefusedByName)
{
    std::vector<uint8_t> bytes = RealHive("SYSTEM");
    std::unique_ptr<sk::regf::Hive> image = OpenHive(bytes);
    ASSERT_TRUE(image);
    uint32_t cell = image->RootCell();
    for (const std::u16string name : { u"ControlSet001", u"Services", u"Tcpip" }) {
        sk::regf::KeyNode node;
        std::vector<uint32_t> cells;
        ASSERT_TRUE(image->ReadKey(cell, &node) && image->Subkeys(node, &cells));
        uint32_t found = sk::regf::kNoCell;
        for (uint32_t child : cells) {
            sk::regf::KeyNode sub;
            ASSERT_TRUE(image->ReadKey(child, &sub));
            if (sk::EqualIgnoringCase(sub.name, name))
                found = child;
        }
        ASSERT_NE(found, sk::regf::kNoCell);
        cell = found;
    }
    /* The subkey count of the key node: its cell's payload, offset 0x14. */
    bytes[4096 + cell + 4 + 0x14]++;
    const std::string hive = Write("SYSTEM", std::string(bytes.begin(), bytes.end()));
    for (const std::vector<std::string> &command :
         std::vector<std::vector<std::string>>{ { "install", "--hive", hive }, { "status", "--hive", hive } }) {
        ToolOutcome outcome = Run(command);
        EXPECT_NE(outcome.Status, 0) << command[0];
        EXPECT_TRUE(Contains(outcome.Err, "STATUS_REGISTRY_CORRUPT")) << outcome.Err;
        EXPECT_TRUE(Contains(outcome.Err, "Tcpip")) << outcome.Err;
        EXPECT_EQ(Bytes(ReadWholeFile(hive)), bytes) << command[0];
    }
}

void RealHiveStagingTest::EveryStep(const std::string &name, const std::vector<uint8_t> &original,
                                    size_t keyCount)
{
    const std::string hive = (dir_ / name).string();
    const std::string script = Write("s.qbs", "CreateDir(\"\\??\\C:\\A\")\n");

    const std::vector<std::vector<std::string>> steps = {
        {"install", "--hive", hive},
        {"package", "add", "p", "--setup", script, "--hive", hive},
        {"schedule", script, "--hive", hive},
        {"status", "--hive", hive},
        {"package", "remove", "p", "--hive", hive},
        {"schedule", "--clear", "--hive", hive},
        {"uninstall", "--hive", hive},
    };
    std::vector<uint8_t> previous = original;
    Compared compared;
    for (const auto &step : steps) {
        ToolOutcome outcome = Run(step);
        ASSERT_EQ(outcome.Status, 0) << step[0] << "\n" << outcome.Out << outcome.Err;
        const std::vector<uint8_t> now = Bytes(ReadWholeFile(hive));
        SCOPED_TRACE(step[0]);
        ExpectSameOutsideOurs(previous, now, true, &compared);
        if (step[0] == "status") {
            EXPECT_EQ(now, previous) << "a status writes nothing";
        }
        if (step[0] == "install") {
            /* libhivex, libregf and reglookup read the key as written. */
            int rc = std::system(("hivexget " + qelmbar::test::ShellQuote(hive) +
                                  " 'ControlSet001\\Services\\Qelmbar' Start > " +
                                  qelmbar::test::ShellQuote((dir_ / "hivex.txt").string()))
                                     .c_str());
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(ReadWholeFile(dir_ / "hivex.txt"), "0\n");
            rc = std::system(("reglookup -p /ControlSet001/Services/Qelmbar " +
                              qelmbar::test::ShellQuote(hive) + " > " +
                              qelmbar::test::ShellQuote((dir_ / "reglookup.txt").string()) +
                              " 2>&1")
                                 .c_str());
            EXPECT_EQ(rc, 0);
            std::string lookup = ReadWholeFile(dir_ / "reglookup.txt");
            EXPECT_FALSE(Contains(lookup, "ERROR")) << lookup;
            /* Names as the hive spells them; compared ignoring case. */
            for (char &c : lookup)
                c = (char)std::tolower((unsigned char)c);
            EXPECT_TRUE(Contains(lookup, "/controlset001/services/qelmbar/start,dword,0x00000000,"))
                << lookup;
            EXPECT_TRUE(Contains(lookup, "/controlset001/services/qelmbar/imagepath,expand_sz,"
                                         "\\systemroot\\system32\\drivers\\qelmbar.sys,"))
                << lookup;
            rc = std::system(("regfexport " + qelmbar::test::ShellQuote(hive) + " > " +
                              qelmbar::test::ShellQuote((dir_ / "regf.txt").string()) + " 2>&1")
                                 .c_str());
            EXPECT_EQ(rc, 0);
            const std::string exported = ReadWholeFile(dir_ / "regf.txt");
            EXPECT_TRUE(Contains(exported, "Qelmbar")) << exported.substr(0, 2000);
            EXPECT_FALSE(Contains(exported, "Unable to")) << exported.substr(0, 2000);
        }
        previous = now;
    }

    /* After the uninstall: the hive as first read, but for the time of
     * Services, which we changed twice, and the base block's stamps. */
    Compared whole;
    ExpectSameOutsideOurs(original, previous, true, &whole);
    std::unique_ptr<sk::regf::Hive> last = OpenHive(previous);
    std::map<std::u16string, KeyState> keys;
    ASSERT_TRUE(WalkKeys(*last, &keys));
    EXPECT_EQ(keys.size(), keyCount);
    EXPECT_EQ(keys.count(kOurs), 0u);
    std::cout << "real hive " << name << ", at every step: " << whole.keys << " keys, "
              << whole.values << " values, " << whole.descriptors
              << " distinct descriptors checked unchanged\n";
}

} // namespace
