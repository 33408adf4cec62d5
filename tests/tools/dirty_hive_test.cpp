/*
 * dirty_hive_test.cpp - hive files Windows did not finish writing, staged
 * into through the program as a user would: a real dirty SYSTEM hive with
 * its two logs, the same hive without them (refused, or taken as it is with
 * --accept-dirty), and a differencing hive.
 */
#include "machine/machine.h"
#include "simkernel/regf/hive_logs.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

namespace fs = std::filesystem;
using qelmbar::test::Contains;
using qelmbar::test::ReadWholeFile;
using qelmbar::test::ToolOutcome;
using qm::Hive;

#define EXPECT_OUTCOME(status, outcome) \
    EXPECT_EQ((outcome).Status, status) << "stdout:\n" << (outcome).Out << "stderr:\n" << (outcome).Err

/* Keys and values of key and everything below it. */
std::pair<size_t, size_t> Count(const qm::MachineKey &key)
{
    std::pair<size_t, size_t> count{ 1, key.values.size() };
    for (const qm::MachineKey &subkey : key.subkeys) {
        auto below = Count(subkey);
        count.first += below.first;
        count.second += below.second;
    }
    return count;
}

/* Keys and values of the hive outside Services\Qelmbar, as it is read. */
std::pair<size_t, size_t> CountOutsideService(const std::string &hive)
{
    qm::HiveFileRead all = qm::ReadHiveFileKey(hive, Hive::System, u"");
    if (!all.key)
        return { 0, 0 };
    std::pair<size_t, size_t> count = Count(*all.key);
    qm::HiveFileRead service = qm::ReadHiveFileKey(hive, Hive::System, u"CurrentControlSet\\Services\\Qelmbar");
    if (service.key) {
        auto below = Count(*service.key);
        count.first -= below.first;
        count.second -= below.second;
    }
    return count;
}

uint32_t Sequence(const std::string &hive, size_t at)
{
    const std::string bytes = ReadWholeFile(hive).substr(0, 512);
    uint32_t value = 0;
    if (bytes.size() == 512)
        memcpy(&value, bytes.data() + at, 4);
    return value;
}

class DirtyHiveProgramTest : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        fs::create_directories(dir_ / "config");
        hive_ = (dir_ / "config" / "SYSTEM").string();
        /* The logs keep Windows' upper case beside a primary named alike. */
        for (const char *suffix : { "", ".LOG1", ".LOG2" }) {
            const std::string command = std::string("xz -dc '") + QELMBAR_SOURCE_DIR +
                                        "/tests/data/hives/SYSTEM_B" + suffix + ".xz' > '" + hive_ + suffix + "'";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
    }

    void DropLogs()
    {
        fs::remove(hive_ + ".LOG1");
        fs::remove(hive_ + ".LOG2");
    }

    std::string hive_;
};

TEST_F(DirtyHiveProgramTest, ADirtyHiveWithItsLogsIsReplayedSavedCleanAndItsLogsEmptied)
{
    ToolOutcome status = Run({ "status", "--hive", hive_ });
    EXPECT_OUTCOME(0, status);
    EXPECT_TRUE(Contains(status.Out, "Service: not installed\n")) << status.Out;
    EXPECT_EQ(fs::file_size(hive_ + ".LOG1"), 3163136u) << "reading changes nothing";

    EXPECT_OUTCOME(0, Run({ "install", "--hive", hive_ }));
    EXPECT_EQ(fs::file_size(hive_ + ".LOG1"), 0u);
    EXPECT_EQ(fs::file_size(hive_ + ".LOG2"), 0u);
    EXPECT_EQ(Sequence(hive_, 4), Sequence(hive_, 8));
    EXPECT_TRUE(sk::regf::HivePrimaryIsClean(hive_));
    EXPECT_EQ(CountOutsideService(hive_), (std::pair<size_t, size_t>{ 35595, 78901 }));
    EXPECT_TRUE(qm::ReadHiveFileKey(hive_, Hive::System, u"CurrentControlSet\\Services\\Qelmbar").key);
}

TEST_F(DirtyHiveProgramTest, ADirtyHiveWithoutLogsIsRefusedUntouchedUnlessAcceptedAsItIs)
{
    DropLogs();
    const std::string before = ReadWholeFile(hive_);
    for (const char *command : { "status", "install" }) {
        ToolOutcome refused = Run({ command, "--hive", hive_ });
        EXPECT_OUTCOME(2, refused);
        EXPECT_EQ(refused.Err,
                  "qelmbar: cannot read hive " + hive_ + ": " + hive_ +
                      ": the hive is dirty (its sequence numbers 1622 and 1621 differ: its last write did not "
                      "finish), and it has no transaction logs (.LOG, .LOG1, .LOG2) beside it. Boot the image "
                      "once and shut it down fully, with fast startup off, so that Windows writes the hive "
                      "back clean; or pass --accept-dirty to take the hive as it is on disk, without what its "
                      "logs hold\n");
    }
    EXPECT_TRUE(ReadWholeFile(hive_) == before);

    EXPECT_OUTCOME(0, Run({ "status", "--hive", hive_, "--accept-dirty" }));
    EXPECT_TRUE(ReadWholeFile(hive_) == before);
    EXPECT_OUTCOME(0, Run({ "install", "--accept-dirty", "--hive", hive_ }));
    EXPECT_TRUE(sk::regf::HivePrimaryIsClean(hive_));
    EXPECT_EQ(CountOutsideService(hive_), (std::pair<size_t, size_t>{ 33123, 74957 }));
    EXPECT_OUTCOME(0, Run({ "status", "--hive", hive_ }));
}

TEST_F(DirtyHiveProgramTest, EmptyOrForeignLogsAreNoLogs)
{
    DropLogs();
    Write("config/system.log1", "");
    Write("config/System.Log2", std::string(4096, 'x'));
    ToolOutcome refused = Run({ "status", "--hive", hive_ });
    EXPECT_OUTCOME(2, refused);
    EXPECT_TRUE(Contains(refused.Err, "and its logs (.LOG, .LOG1, .LOG2) are empty or have no valid base block. "))
        << refused.Err;
    EXPECT_TRUE(Contains(refused.Err, "--accept-dirty")) << refused.Err;
}

TEST_F(DirtyHiveProgramTest, AcceptDirtyGoesWithAHiveFileOnly)
{
    ToolOutcome usage = Run({ "status", "--machine", (dir_ / "m").string(), "--accept-dirty" });
    EXPECT_OUTCOME(2, usage);
    EXPECT_TRUE(Contains(usage.Err, "--accept-dirty goes with --hive FILE")) << usage.Err;
    EXPECT_TRUE(Contains(Run({ "status", "--help" }).Out, "--accept-dirty"));
}

TEST_F(DirtyHiveProgramTest, ADifferencingHiveIsRefused)
{
    DropLogs();
    /* A clean hive of version 1.6. */
    std::string bytes = ReadWholeFile(hive_);
    uint32_t word = 6;
    memcpy(&bytes[0x18], &word, 4);
    memcpy(&bytes[0x08], &bytes[0x04], 4);
    const uint32_t sum = sk::regf::BaseBlockChecksum((const uint8_t *)bytes.data());
    memcpy(&bytes[0x1FC], &sum, 4);
    Write("config/SYSTEM", bytes);
    for (const char *flag : { "--hive", "--accept-dirty" }) {
        std::vector<std::string> args = { "install", "--hive", hive_ };
        if (std::string(flag) == "--accept-dirty")
            args.push_back(flag);
        ToolOutcome refused = Run(args);
        EXPECT_OUTCOME(2, refused);
        EXPECT_EQ(refused.Err, "qelmbar: cannot read hive " + hive_ + ": " + hive_ +
                                   ": the hive is a differencing hive (version 1.6), a layer over another "
                                   "hive; only a whole hive can be staged into\n");
    }
    EXPECT_TRUE(ReadWholeFile(hive_) == bytes);
}

} // namespace
