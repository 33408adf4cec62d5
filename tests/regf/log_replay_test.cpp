/*
 * log_replay_test.cpp - replaying a dirty hive's logs: on logs written here
 * from known changes in both formats (the result must equal the changed
 * hive byte for byte), on damaged logs, and on a real dirty SYSTEM hive
 * with its two logs.
 */
#include "simkernel/hive_file.h"
#include "simkernel/regf/hive_logs.h"
#include "simkernel/regf/log_replay.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

using sk::regf::ByteView;
using sk::regf::HiveLogBytes;
using sk::regf::ReplayOutcome;
using sk::regf::ReplayRefusal;
using sk::regf::ReplayReport;
using Bytes = std::vector<uint8_t>;

constexpr size_t kBlock = 4096;

uint32_t Get32(const Bytes &b, size_t at)
{
    uint32_t v;
    memcpy(&v, b.data() + at, 4);
    return v;
}

void Put32(Bytes *b, size_t at, uint32_t v)
{
    memcpy(b->data() + at, &v, 4);
}

void Put64(Bytes *b, size_t at, uint64_t v)
{
    memcpy(b->data() + at, &v, 8);
}

void Resum(Bytes *b)
{
    Put32(b, 0x1FC, sk::regf::BaseBlockChecksum(b->data()));
}

ByteView View(const Bytes &b)
{
    return ByteView{ b.data(), b.size() };
}

/* A hive of count keys under the root, each with a value; big adds a
 * value long enough to take big-data cells. */
Bytes BuildHive(int count, const std::string &text, bool big)
{
    auto root = std::make_shared<sk::reg::Key>();
    root->name = u"ROOT";
    root->upcased = u"ROOT";
    for (int i = 0; i < count; i++) {
        auto key = std::make_shared<sk::reg::Key>();
        std::string name = "Key" + std::to_string(1000 + i);
        key->name.assign(name.begin(), name.end());
        key->upcased = key->name;
        for (auto &c : key->upcased)
            c = (char16_t)toupper(c);
        key->parent = root.get();
        sk::reg::Value value;
        value.name = u"Text";
        value.type = REG_BINARY;
        value.data.assign(text.begin(), text.end());
        value.data.push_back((uint8_t)i);
        key->values.push_back(value);
        if (big && i == 0) {
            value.name = u"Big";
            value.data.assign(40000, (uint8_t)'b');
            key->values.push_back(value);
        }
        root->subkeys.Insert(key, key->upcased);
    }
    Bytes image;
    EXPECT_EQ(sk::reg::BuildHiveImage(*root, u"TEST", &image), STATUS_SUCCESS);
    return image;
}

/* The first log's base block: the primary's first sector with both
 * sequence numbers set to sequence and the file type of a log. */
Bytes LogBaseBlock(const Bytes &primary, uint32_t sequence, uint32_t type)
{
    Bytes base(primary.begin(), primary.begin() + 512);
    Put32(&base, 0x04, sequence);
    Put32(&base, 0x08, sequence);
    Put32(&base, 0x1C, type);
    Resum(&base);
    return base;
}

/* A log entry taking the bins of from to those of to: every block of to
 * that differs, or that from does not have. */
Bytes LogEntry(uint32_t sequence, const Bytes &from, const Bytes &to, uint32_t flags = 0)
{
    std::vector<uint32_t> pages;
    for (size_t at = kBlock; at < to.size(); at += kBlock) {
        if (at + kBlock > from.size() || memcmp(from.data() + at, to.data() + at, kBlock) != 0)
            pages.push_back((uint32_t)(at - kBlock));
    }
    Bytes entry(40 + 8 * pages.size(), 0);
    memcpy(entry.data(), "HvLE", 4);
    Put32(&entry, 8, flags);
    Put32(&entry, 12, sequence);
    Put32(&entry, 16, (uint32_t)(to.size() - kBlock));
    Put32(&entry, 20, (uint32_t)pages.size());
    for (size_t i = 0; i < pages.size(); i++) {
        Put32(&entry, 40 + 8 * i, pages[i]);
        Put32(&entry, 44 + 8 * i, kBlock);
    }
    for (uint32_t page : pages)
        entry.insert(entry.end(), to.begin() + kBlock + page, to.begin() + kBlock + page + kBlock);
    entry.resize((entry.size() + 511) / 512 * 512, 0);
    Put32(&entry, 4, (uint32_t)entry.size());
    Put64(&entry, 24, sk::regf::LogEntryHash(entry.data() + 40, entry.size() - 40));
    Put64(&entry, 32, sk::regf::LogEntryHash(entry.data(), 32));
    return entry;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

/* primary left between two writes: sequence numbers next and next - 1. */
Bytes Dirty(Bytes primary, uint32_t next)
{
    Put32(&primary, 0x04, next);
    Put32(&primary, 0x08, next - 1);
    Resum(&primary);
    return primary;
}

/* What a replay onto primary must give: the bins of changed under
 * primary's base block, both sequence numbers at sequence. */
Bytes Expected(const Bytes &primary, const Bytes &changed, uint32_t sequence, uint32_t flags = 0)
{
    Bytes expected(primary.begin(), primary.begin() + kBlock);
    expected.insert(expected.end(), changed.begin() + kBlock, changed.end());
    Put32(&expected, 0x04, sequence);
    Put32(&expected, 0x08, sequence);
    Put32(&expected, 0x28, (uint32_t)(changed.size() - kBlock));
    Put32(&expected, 0x90, (Get32(expected, 0x90) & ~1u) | flags);
    Resum(&expected);
    return expected;
}

/* A dirty-vector log taking the bins of from to those of to: every 512-byte
 * page that differs. */
Bytes DirtyVectorLog(const Bytes &primary, uint32_t sequence, const Bytes &from, const Bytes &to)
{
    Bytes log = LogBaseBlock(primary, sequence, 1);
    Put32(&log, 0x28, (uint32_t)(to.size() - kBlock));
    Resum(&log);
    const size_t bits = (to.size() - kBlock) / 512;
    Bytes vector(4 + (bits + 7) / 8, 0);
    memcpy(vector.data(), "DIRT", 4);
    Bytes pages;
    for (size_t bit = 0; bit < bits; bit++) {
        const size_t at = kBlock + bit * 512;
        if (at + 512 <= from.size() && memcmp(from.data() + at, to.data() + at, 512) == 0)
            continue;
        vector[4 + bit / 8] |= (uint8_t)(1 << (bit % 8));
        pages.insert(pages.end(), to.begin() + at, to.begin() + at + 512);
    }
    vector.resize((vector.size() + 511) / 512 * 512, 0);
    return Concat({ log, vector, pages });
}

ReplayReport Replay(const Bytes &primary, const HiveLogBytes &logs, Bytes *image)
{
    return sk::regf::ReplayHiveLogs(View(primary), logs, image);
}

class LogReplay : public ::testing::Test {
protected:
    /* Three states of one hive: each adds keys and changes every value,
     * the second grows by a big value. */
    Bytes a_ = BuildHive(40, "first", false);
    Bytes b_ = BuildHive(60, "second", true);
    Bytes c_ = BuildHive(61, "third", true);

    void SetUp() override
    {
        ASSERT_LT(a_.size(), b_.size());
        ASSERT_EQ(Get32(a_, 0x24), Get32(c_, 0x24)); /* the root cell stays where it is */
    }
};

TEST_F(LogReplay, CleanPrimaryIsTakenAsItIsWhateverItsLogsHold)
{
    const Bytes log = Concat({ LogBaseBlock(a_, 2, 6), LogEntry(2, a_, b_) });
    Bytes image;
    ReplayReport report = Replay(a_, HiveLogBytes{ {}, View(log), {} }, &image);
    EXPECT_EQ(report.outcome, ReplayOutcome::Clean);
    EXPECT_EQ(image, a_);
    EXPECT_TRUE(report.logs.empty());
}

TEST_F(LogReplay, EntriesFromBothLogsApplyEarlierLogFirst)
{
    /* LOG2 holds the earlier entry: the order is by sequence, not by name. */
    const Bytes primary = Dirty(a_, 8);
    const Bytes log2 = Concat({ LogBaseBlock(a_, 7, 6), LogEntry(7, a_, b_, 1) });
    const Bytes log1 = Concat({ LogBaseBlock(a_, 8, 6), LogEntry(8, b_, c_, 1), Bytes(4096, 0) });
    Bytes image;
    ReplayReport report = Replay(primary, HiveLogBytes{ {}, View(log1), View(log2) }, &image);
    ASSERT_EQ(report.outcome, ReplayOutcome::Replayed) << report.reason;
    EXPECT_EQ(image, Expected(primary, c_, 8, 1));
    ASSERT_EQ(report.logs.size(), 2u);
    EXPECT_EQ(report.logs[0].name, "LOG2");
    EXPECT_EQ(report.logs[0].sequences, std::vector<uint32_t>{ 7 });
    EXPECT_EQ(report.logs[1].name, "LOG1");
    EXPECT_EQ(report.logs[1].sequences, std::vector<uint32_t>{ 8 });
    EXPECT_TRUE(report.logs[0].entryFormat);
    EXPECT_EQ(report.logs[0].pages, (b_.size() - kBlock) / 512); /* every block of b_ changed */
    EXPECT_FALSE(report.stoppedEarly);
    EXPECT_EQ(report.sequence, 8u);
}

TEST_F(LogReplay, ChainOfEntriesInOneLogShrinksAndGrowsTheHive)
{
    const Bytes primary = Dirty(c_, 20);
    const Bytes log1 = Concat({ LogBaseBlock(c_, 20, 6), LogEntry(20, c_, a_), LogEntry(21, a_, b_) });
    Bytes image;
    ReplayReport report = Replay(primary, HiveLogBytes{ {}, View(log1), {} }, &image);
    ASSERT_EQ(report.outcome, ReplayOutcome::Replayed) << report.reason;
    EXPECT_EQ(image, Expected(primary, b_, 21));
    EXPECT_EQ(report.logs.at(0).sequences, (std::vector<uint32_t>{ 20, 21 }));
}

TEST_F(LogReplay, DamagedEntryStopsTheReplayAfterTheEntriesBeforeIt)
{
    const Bytes primary = Dirty(a_, 5);
    const Bytes first = LogEntry(5, a_, b_);
    Bytes second = LogEntry(6, b_, c_);
    Bytes badHash1 = second;
    badHash1[40 + 8 * Get32(second, 20) + 100] ^= 1; /* a byte of a page */
    Bytes badHash2 = second;
    Put32(&badHash2, 16, Get32(second, 16) + kBlock); /* a field hash-2 covers */
    Bytes badSize = second;
    Put32(&badSize, 16, Get32(second, 16) + 512);
    Put64(&badSize, 32, sk::regf::LogEntryHash(badSize.data(), 32));
    Bytes grows = second; /* a hive larger than its pages reach */
    Put32(&grows, 16, Get32(second, 16) + 10 * kBlock);
    Put64(&grows, 32, sk::regf::LogEntryHash(grows.data(), 32));
    Bytes truncated = Concat({ LogBaseBlock(a_, 5, 6), first, second });
    truncated.resize(truncated.size() - 512);
    for (const Bytes &log : { Concat({ LogBaseBlock(a_, 5, 6), first, badHash1 }),
                              Concat({ LogBaseBlock(a_, 5, 6), first, badHash2 }),
                              Concat({ LogBaseBlock(a_, 5, 6), first, badSize }),
                              Concat({ LogBaseBlock(a_, 5, 6), first, grows }), truncated }) {
        Bytes image;
        ReplayReport report = Replay(primary, HiveLogBytes{ {}, View(log), {} }, &image);
        ASSERT_EQ(report.outcome, ReplayOutcome::Replayed) << report.reason;
        EXPECT_EQ(image, Expected(primary, b_, 5));
        EXPECT_EQ(report.logs.at(0).sequences, std::vector<uint32_t>{ 5 });
        EXPECT_TRUE(report.stoppedEarly);
        EXPECT_NE(report.stopReason.find("LOG1 entry 6"), std::string::npos) << report.stopReason;
    }
}

TEST_F(LogReplay, DamagedEntryInTheSecondLogKeepsTheFirstLogsEntries)
{
    const Bytes primary = Dirty(a_, 5);
    const Bytes log1 = Concat({ LogBaseBlock(a_, 5, 6), LogEntry(5, a_, b_) });
    Bytes entry = LogEntry(6, b_, c_);
    entry[600] ^= 0x80;
    const Bytes log2 = Concat({ LogBaseBlock(a_, 6, 6), entry });
    Bytes image;
    ReplayReport report = Replay(primary, HiveLogBytes{ {}, View(log1), View(log2) }, &image);
    ASSERT_EQ(report.outcome, ReplayOutcome::Replayed) << report.reason;
    EXPECT_EQ(image, Expected(primary, b_, 5));
    ASSERT_EQ(report.logs.size(), 1u);
    EXPECT_TRUE(report.stoppedEarly);
    EXPECT_EQ(report.stopReason, "LOG2 entry 6: its hash does not match its contents");
}

TEST_F(LogReplay, SequenceGapEndsTheChainAndOlderEntriesAreIgnored)
{
    const Bytes primary = Dirty(a_, 5);
    /* Entry 7 after 5 is a remnant of an older round, as is 3 after it. */
    const Bytes log = Concat({ LogBaseBlock(a_, 5, 6), LogEntry(5, a_, b_), LogEntry(7, b_, c_),
                               LogEntry(3, a_, c_) });
    Bytes image;
    ReplayReport report = Replay(primary, HiveLogBytes{ {}, View(log), {} }, &image);
    ASSERT_EQ(report.outcome, ReplayOutcome::Replayed) << report.reason;
    EXPECT_EQ(image, Expected(primary, b_, 5));
    EXPECT_FALSE(report.stoppedEarly);

    /* A second log whose first entry does not follow the last one applied
     * is left alone. */
    const Bytes other = Concat({ LogBaseBlock(a_, 9, 6), LogEntry(9, b_, c_) });
    report = Replay(primary, HiveLogBytes{ {}, View(log), View(other) }, &image);
    ASSERT_EQ(report.outcome, ReplayOutcome::Replayed);
    EXPECT_EQ(report.logs.size(), 1u);
    EXPECT_EQ(image, Expected(primary, b_, 5));
}

TEST_F(LogReplay, RefusalsSayWhy)
{
    const Bytes primary = Dirty(a_, 5);
    Bytes image;
    ReplayReport report = Replay(primary, HiveLogBytes{}, &image);
    EXPECT_EQ(report.outcome, ReplayOutcome::Refused);
    EXPECT_EQ(report.refusal, ReplayRefusal::DirtyNoLog);
    EXPECT_EQ(report.reason, "the hive is dirty (its sequence numbers 5 and 4 differ: its last write did not "
                             "finish), and it has no transaction logs (.LOG, .LOG1, .LOG2) beside it");
    EXPECT_TRUE(image.empty());

    const uint8_t nothing = 0;
    report = Replay(primary, HiveLogBytes{ {}, ByteView{ &nothing, 0 }, ByteView{ &nothing, 0 } }, &image);
    EXPECT_EQ(report.refusal, ReplayRefusal::DirtyNoLog);
    EXPECT_NE(report.reason.find("are empty or have no valid base block"), std::string::npos);

    /* Entries older than the primary's last good write. */
    const Bytes stale = Concat({ LogBaseBlock(a_, 3, 6), LogEntry(3, a_, b_) });
    report = Replay(primary, HiveLogBytes{ {}, View(stale), {} }, &image);
    EXPECT_EQ(report.refusal, ReplayRefusal::DirtyNoLog);
    EXPECT_NE(report.reason.find("hold no entry that follows it"), std::string::npos);

    /* The entry that would apply is damaged. */
    Bytes entry = LogEntry(5, a_, b_);
    entry[45] ^= 1;
    const Bytes damaged = Concat({ LogBaseBlock(a_, 5, 6), entry });
    report = Replay(primary, HiveLogBytes{ {}, View(damaged), {} }, &image);
    EXPECT_EQ(report.refusal, ReplayRefusal::LogDamaged);
    EXPECT_NE(report.reason.find("its log is damaged: LOG1 entry 5: its hash does not match"), std::string::npos)
        << report.reason;
    EXPECT_TRUE(image.empty());

    /* A log whose base block does not sum up is no log. */
    Bytes badBase = Concat({ LogBaseBlock(a_, 5, 6), LogEntry(5, a_, b_) });
    badBase[0x30] ^= 1;
    report = Replay(primary, HiveLogBytes{ {}, View(badBase), {} }, &image);
    EXPECT_EQ(report.refusal, ReplayRefusal::DirtyNoLog);

    Bytes layered = a_;
    Put32(&layered, 0x18, 6);
    Resum(&layered);
    report = Replay(layered, HiveLogBytes{}, &image);
    EXPECT_EQ(report.refusal, ReplayRefusal::Differencing);
    EXPECT_NE(report.reason.find("differencing hive (version 1.6)"), std::string::npos);

    const Bytes junk(8192, 0x41);
    report = Replay(junk, HiveLogBytes{ {}, View(stale), {} }, &image);
    EXPECT_EQ(report.refusal, ReplayRefusal::NotAHive);
}

TEST_F(LogReplay, DamagedBaseBlockIsRecoveredFromTheLatestLogOnly)
{
    Bytes primary = Dirty(a_, 5);
    primary[0x40] ^= 0xFF; /* the checksum no longer matches */
    const Bytes log1 = Concat({ LogBaseBlock(a_, 5, 6), LogEntry(5, a_, b_) });
    const Bytes log2 = Concat({ LogBaseBlock(b_, 6, 6), LogEntry(6, a_, c_) });
    Bytes image;
    ReplayReport report = Replay(primary, HiveLogBytes{ {}, View(log1), View(log2) }, &image);
    ASSERT_EQ(report.outcome, ReplayOutcome::Replayed) << report.reason;
    EXPECT_TRUE(report.baseBlockDamaged);
    ASSERT_EQ(report.logs.size(), 1u);
    EXPECT_EQ(report.logs[0].name, "LOG2");
    /* The base block is the log's first sector, as a primary's. */
    Bytes expected = Expected(primary, c_, 6);
    memset(expected.data(), 0, kBlock);
    memcpy(expected.data(), log2.data(), 512);
    Put32(&expected, 0x1C, 0);
    Put32(&expected, 0x04, 6);
    Put32(&expected, 0x08, 6);
    Put32(&expected, 0x28, (uint32_t)(c_.size() - kBlock));
    Resum(&expected);
    EXPECT_EQ(image, expected);
}

TEST_F(LogReplay, DirtyVectorLogRewritesTheDirtyPages)
{
    Bytes primary = Dirty(a_, 12);
    Put64(&primary, 0x0C, 0x01D0000012345678ULL);
    Resum(&primary);
    Bytes log = DirtyVectorLog(primary, 12, a_, b_);
    Bytes image;
    ReplayReport report = Replay(primary, HiveLogBytes{ View(log), {}, {} }, &image);
    ASSERT_EQ(report.outcome, ReplayOutcome::Replayed) << report.reason;
    EXPECT_EQ(image, Expected(primary, b_, 12));
    EXPECT_EQ(report.logs.at(0).name, "LOG");
    EXPECT_FALSE(report.logs[0].entryFormat);

    /* Written for another write of the hive: its time stamp differs. */
    Bytes other = log;
    other[0x0C] ^= 1;
    Resum(&other);
    report = Replay(primary, HiveLogBytes{ View(other), {}, {} }, &image);
    EXPECT_EQ(report.refusal, ReplayRefusal::DirtyNoLog);
    EXPECT_NE(report.reason.find("none of its logs was written for its last write"), std::string::npos);

    /* Cut short of its pages. */
    Bytes cut = log;
    cut.resize(cut.size() - 512);
    report = Replay(primary, HiveLogBytes{ View(cut), {}, {} }, &image);
    EXPECT_EQ(report.refusal, ReplayRefusal::LogDamaged);
    EXPECT_TRUE(image.empty());

    /* A dirty page that should start a bin and does not: replay stops there. */
    Bytes badBin = DirtyVectorLog(primary, 12, a_, b_);
    const size_t firstPage = 512 + (4 + (b_.size() - kBlock) / 512 / 8 + 511) / 512 * 512;
    ASSERT_EQ(memcmp(badBin.data() + firstPage, "hbin", 4), 0);
    Put32(&badBin, firstPage + 4, 0x1000);
    report = Replay(primary, HiveLogBytes{ View(badBin), {}, {} }, &image);
    ASSERT_EQ(report.outcome, ReplayOutcome::Replayed);
    EXPECT_TRUE(report.stoppedEarly);
    EXPECT_EQ(report.logs.at(0).pages, 0u);
    EXPECT_EQ(report.stopReason, "LOG: the dirty bin at offset 0 has a bad header");
}

TEST_F(LogReplay, OfTwoDirtyVectorLogsTheLaterOneApplies)
{
    const Bytes primary = Dirty(a_, 12);
    const Bytes log1 = DirtyVectorLog(primary, 11, a_, b_);
    const Bytes log2 = DirtyVectorLog(primary, 12, a_, c_);
    Bytes image;
    ReplayReport report = Replay(primary, HiveLogBytes{ {}, View(log1), View(log2) }, &image);
    ASSERT_EQ(report.outcome, ReplayOutcome::Replayed);
    EXPECT_EQ(report.logs.at(0).name, "LOG2");
    EXPECT_EQ(image, Expected(primary, c_, 12));
}

/* A temporary directory, removed with what is in it. */
class TempDir {
public:
    TempDir()
    {
        char path[] = "/tmp/qelmbar-regf-XXXXXX";
        path_ = mkdtemp(path) ? path : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

Bytes ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

off_t FileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void Count(hive_h *h, hive_node_h node, size_t *keys, size_t *values)
{
    ++*keys;
    hive_value_h *vals = hivex_node_values(h, node);
    for (hive_value_h *v = vals; v && *v; v++)
        ++*values;
    free(vals);
    hive_node_h *children = hivex_node_children(h, node);
    for (hive_node_h *c = children; c && *c; c++)
        Count(h, *c, keys, values);
    free(children);
}

/* Keys and values libhivex finds in the hive file at path. */
std::pair<size_t, size_t> CountWithHivex(const std::string &path)
{
    size_t keys = 0;
    size_t values = 0;
    hive_h *h = hivex_open(path.c_str(), 0);
    if (!h)
        return { 0, 0 };
    Count(h, hivex_root(h), &keys, &values);
    hivex_close(h);
    return { keys, values };
}

class RealDirtyHive : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.Path().empty());
        primary_ = dir_.Path() + "/SYSTEM_B";
        for (const char *name : { "SYSTEM_B", "SYSTEM_B.LOG1", "SYSTEM_B.LOG2" }) {
            const std::string command = std::string("xz -dc '") + QELMBAR_SOURCE_DIR + "/tests/data/hives/" +
                                        name + ".xz' > '" + dir_.Path() + "/" + name + "'";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
    }

    TempDir dir_;
    std::string primary_;
};

TEST_F(RealDirtyHive, ReplaysBothLogsToTheFullHive)
{
    Bytes image;
    sk::regf::HiveImageReport report;
    ASSERT_EQ(sk::regf::ReadHiveImage(primary_, {}, &image, &report), STATUS_SUCCESS) << report.replay.reason;
    EXPECT_EQ(report.replay.outcome, ReplayOutcome::Replayed);
    EXPECT_EQ(report.replay.primarySequence1, 1622u);
    EXPECT_EQ(report.replay.primarySequence2, 1621u);
    ASSERT_EQ(report.replay.logs.size(), 2u);
    EXPECT_EQ(report.replay.logs[0].name, "LOG1");
    EXPECT_EQ(report.replay.logs[0].sequences, (std::vector<uint32_t>{ 2107, 2108, 2109, 2110 }));
    EXPECT_EQ(report.replay.logs[1].name, "LOG2");
    EXPECT_EQ(report.replay.logs[1].sequences.size(), 20u);
    EXPECT_EQ(report.replay.logs[1].sequences.back(), 2130u);
    EXPECT_FALSE(report.replay.stoppedEarly);
    EXPECT_EQ(Get32(image, 0x04), 2130u);
    EXPECT_EQ(Get32(image, 0x08), 2130u);
    EXPECT_EQ(Get32(image, 0x28), 12591104u);
    EXPECT_EQ(image.size(), 4096u + 12591104u);

    const std::string replayed = dir_.Path() + "/replayed";
    WriteFile(replayed, image);
    EXPECT_EQ(CountWithHivex(replayed), (std::pair<size_t, size_t>{ 35595, 78901 }));
    /* As it is on disk, it holds fewer. */
    EXPECT_EQ(CountWithHivex(primary_), (std::pair<size_t, size_t>{ 33123, 74957 }));
}

TEST_F(RealDirtyHive, LogsAreFoundWhateverTheirCaseAndRefusedWhenMissing)
{
    ASSERT_EQ(rename((primary_ + ".LOG1").c_str(), (primary_ + ".log1").c_str()), 0);
    Bytes image;
    sk::regf::HiveImageReport report;
    ASSERT_EQ(sk::regf::ReadHiveImage(primary_, {}, &image, &report), STATUS_SUCCESS);
    EXPECT_EQ(report.replay.logs.size(), 2u);
    EXPECT_EQ(report.logPaths, (std::vector<std::string>{ primary_ + ".log1", primary_ + ".LOG2" }));

    /* Without LOG1, LOG2's entries still follow the primary's last good
     * write by number, and they are all there is to go on. */
    ASSERT_EQ(unlink((primary_ + ".log1").c_str()), 0);
    ASSERT_EQ(sk::regf::ReadHiveImage(primary_, {}, &image, &report), STATUS_SUCCESS);
    ASSERT_EQ(report.replay.logs.size(), 1u);
    EXPECT_EQ(report.replay.logs[0].name, "LOG2");
    EXPECT_EQ(report.replay.logs[0].sequences.front(), 2111u);

    ASSERT_EQ(unlink((primary_ + ".LOG2").c_str()), 0);
    EXPECT_EQ(sk::regf::ReadHiveImage(primary_, {}, &image, &report), STATUS_REGISTRY_CORRUPT);
    EXPECT_EQ(report.replay.refusal, ReplayRefusal::DirtyNoLog);
    EXPECT_TRUE(image.empty());

    /* Taken as it is on disk, its base block made to agree with itself. */
    EXPECT_EQ(sk::regf::ReadHiveImage(primary_, { true }, &image, &report), STATUS_SUCCESS);
    EXPECT_TRUE(report.acceptedDirty);
    const Bytes disk = ReadFile(primary_);
    ASSERT_EQ(image.size(), disk.size());
    EXPECT_EQ(Get32(image, 0x04), 1622u);
    EXPECT_EQ(Get32(image, 0x08), 1622u);
    EXPECT_EQ(Get32(image, 0x1FC), sk::regf::BaseBlockChecksum(image.data()));
    EXPECT_TRUE(std::equal(image.begin() + kBlock, image.end(), disk.begin() + kBlock));
}

TEST_F(RealDirtyHive, SettlingEmptiesTheLogsAndLeavesTheHiveClean)
{
    /* Not while the primary on disk still needs them. */
    EXPECT_EQ(sk::regf::SettleHiveLogs(primary_), STATUS_REGISTRY_CORRUPT);
    EXPECT_EQ(FileSize(primary_ + ".LOG1"), 3163136);
    EXPECT_EQ(FileSize(primary_ + ".LOG2"), 3211264);

    Bytes image;
    ASSERT_EQ(sk::regf::ReadHiveImage(primary_, {}, &image), STATUS_SUCCESS);
    EXPECT_TRUE(sk::regf::HiveNeedsLogsSettled(primary_));
    WriteFile(primary_, image);
    EXPECT_EQ(sk::regf::SettleHiveLogs(primary_), STATUS_SUCCESS);
    EXPECT_EQ(FileSize(primary_ + ".LOG1"), 0);
    EXPECT_EQ(FileSize(primary_ + ".LOG2"), 0);
    EXPECT_FALSE(sk::regf::HiveNeedsLogsSettled(primary_));
    Bytes again;
    sk::regf::HiveImageReport report;
    ASSERT_EQ(sk::regf::ReadHiveImage(primary_, {}, &again, &report), STATUS_SUCCESS);
    EXPECT_EQ(report.replay.outcome, ReplayOutcome::Clean);
    EXPECT_EQ(again, image);
}

TEST(HiveImage, MissingFilesAndNonHivesAnswerAsTheReaderDoes)
{
    TempDir dir;
    Bytes image;
    EXPECT_EQ(sk::regf::ReadHiveImage(dir.Path() + "/none", {}, &image), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sk::regf::ReadHiveImage(dir.Path() + "/no/none", {}, &image), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(sk::regf::ReadHiveImage(dir.Path(), {}, &image), STATUS_FILE_IS_A_DIRECTORY);
    /* No hive: handed on as it is, for the reader to refuse. */
    const Bytes junk(100, 7);
    WriteFile(dir.Path() + "/junk", junk);
    EXPECT_EQ(sk::regf::ReadHiveImage(dir.Path() + "/junk", {}, &image), STATUS_SUCCESS);
    EXPECT_EQ(image, junk);
    std::shared_ptr<sk::reg::Key> root;
    EXPECT_EQ(sk::reg::ReadHiveFile(dir.Path() + "/junk", &root), STATUS_NOT_REGISTRY_FILE);
}

} // namespace
