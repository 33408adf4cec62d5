/*
 * machine_fixture.h - what the tests of whole machines share: a fresh
 * machine directory per test on a scratch file system, and the scripts
 * their packages and one-shot lists are made of.
 */
#pragma once

#include "machine/machine.h"
#include "simkernel/text.h"

#include "driver/driver.h"
#include "simkernel/clock.h"
#include "simkernel/registry.h"
#include "simkernel/status_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <unistd.h>

namespace machinetest {

namespace fs = std::filesystem;
using qm::Hive;

const std::u16string kParameters = qm::kParametersKey;
const std::u16string kSoftwareApp = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App";
const std::u16string kStaging = u"\\REGISTRY\\MACHINE\\SYSTEM\\Staging";

/* A deferred write: a staged value of SYSTEM copied into SOFTWARE. */
const std::u16string kSoftwareWrite = u"SetKeyValue(\"" + kStaging + u"\", \"Version\", \"" +
                                      kSoftwareApp + u"\", \"Version\", true, false)";

inline std::u16string CopyFileOp(const std::u16string &from, const std::u16string &to)
{
    return u"CopyFile(\"\\??\\C:\\" + from + u"\", \"\\??\\C:\\" + to + u"\", false)";
}
inline std::u16string MoveFileOp(const std::u16string &from, const std::u16string &to)
{
    return u"MoveFile(\"\\??\\C:\\" + from + u"\", \"\\??\\C:\\" + to + u"\", false)";
}
inline std::u16string DeleteFileOp(const std::u16string &path)
{
    return u"DeleteFile(\"\\??\\C:\\" + path + u"\")";
}

/* Every hive save is synced to disk; on a memory file system that costs
 * nothing, which keeps the sweeps short.  TMPDIR, when set, wins. */
inline fs::path ScratchDirectory()
{
    const char *tmpdir = getenv("TMPDIR");
    if (tmpdir && *tmpdir)
        return fs::temp_directory_path();
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return "/tmp";
}

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = ScratchDirectory() /
                ("qelmbar-machine-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
        dir_ = (root_ / "machine").string();
        std::string error;
        ASSERT_TRUE(qm::CreateMachine(dir_, &error)) << error;
    }
    void TearDown() override { fs::remove_all(root_); }

    /* A host file of volume C:, by its path below C:\. */
    fs::path File(const std::string &path) const { return fs::path(qm::VolumeRoot(dir_)) / path; }
    void Write(const std::string &path, const std::string &content) const
    {
        fs::create_directories(File(path).parent_path());
        std::ofstream(File(path), std::ios::binary) << content;
    }
    std::optional<std::string> Read(const std::string &path) const
    {
        std::ifstream in(File(path), std::ios::binary);
        if (!in)
            return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::optional<ULONG> ParameterDword(const std::u16string &name, const std::string &dir = "")
    {
        return qm::AsDword(
            qm::ReadMachineValue(dir.empty() ? dir_ : dir, Hive::System, kParameters, name));
    }
    bool HasParameter(const std::u16string &name, const std::string &dir = "")
    {
        return qm::ReadMachineValue(dir.empty() ? dir_ : dir, Hive::System, kParameters, name)
            .has_value();
    }
    std::optional<std::u16string> PackageState(const std::u16string &name)
    {
        return qm::AsString(
            qm::ReadMachineValue(dir_, Hive::System, kParameters + u"\\" + name, u""));
    }
    std::optional<std::u16string> SoftwareVersion(const std::string &dir = "")
    {
        return qm::AsString(qm::ReadMachineValue(dir.empty() ? dir_ : dir, Hive::Software,
                                                 u"Vendor\\App", u"Version"));
    }
    void StageSoftwareSource()
    {
        std::string error;
        ASSERT_TRUE(qm::SetMachineValue(dir_, Hive::System, u"Staging", u"Version", REG_SZ,
                                        qm::StringData(u"2.0"), &error))
            << error;
    }

    /* A boot that must reach its end (or its power loss) cleanly. */
    qm::BootReport BootClean(const qm::BootOptions &options = qm::BootOptions(),
                             const std::string &dir = "")
    {
        qm::BootReport report;
        qm::Boot(dir.empty() ? dir_ : dir, options, &report);
        EXPECT_TRUE(report.completed) << report.Summary();
        EXPECT_TRUE(report.violations.empty()) << report.Summary();
        EXPECT_TRUE(report.systemErrors.empty()) << report.Summary();
        if (report.entryReturned)
            EXPECT_TRUE(NT_SUCCESS(report.entryStatus)) << report.Summary();
        else
            EXPECT_TRUE(report.powerLost) << report.Summary();
        return report;
    }

    /* The inspection a stage reported, or "" when it had none. */
    static std::string Seen(const qm::BootReport &report, qm::BootStage stage)
    {
        for (const auto &entry : report.inspections) {
            if (entry.first == stage)
                return entry.second;
        }
        return std::string();
    }

    fs::path root_;
    std::string dir_;
};

} // namespace machinetest
