/*
 * status_test.cpp - qelmbar status --scripts, and what status and simulate
 * show of the records the driver keeps of its last runs, driven as a user
 * drives them on machines and bare SYSTEM hive files.
 */
#include "machine/machine.h"
#include "tests/support/tool_run.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using qelmbar::test::Contains;
using qelmbar::test::ToolOutcome;
using qm::Hive;

const std::u16string kParameters = u"CurrentControlSet\\Services\\Qelmbar\\Parameters";

#define EXPECT_OUTCOME(status, outcome) \
    EXPECT_EQ((outcome).Status, status) << "stdout:\n" << (outcome).Out << "stderr:\n" << (outcome).Err

class StatusProgramTest : public qelmbar::test::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        machine_ = (dir_ / "m").string();
        std::string error;
        ASSERT_TRUE(qm::CreateMachine(machine_, &error)) << error;
        system_ = qm::HiveFilePath(machine_, Hive::System);
        Volume("App/a.dll", "a");
    }

    void Volume(const std::string &path, const std::string &content)
    {
        fs::path file = fs::path(qm::VolumeRoot(machine_)) / path;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
    fs::path Script(const std::string &name, const std::string &text)
    {
        fs::path file = dir_ / name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    ToolOutcome OnMachine(std::vector<std::string> args)
    {
        args.push_back("--machine");
        args.push_back(machine_);
        return Run(args);
    }
    void Stage()
    {
        fs::path one = Script("one.txt",
                              "CopyFile(\"\\??\\C:\\app\\A.DLL\", \"\\??\\C:\\App\\b.dll\", false)\n"
                              "CopyFile(\"\\??\\C:\\App\\missing.dll\", \"\\??\\C:\\App\\c.dll\", false)\n"
                              "CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\select\", "
                              "\"\\REGISTRY\\MACHINE\\SYSTEM\\Select2\", false)\n"
                              "SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\Nowhere\", \"V\", "
                              "\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", \"V\", true, false)\n");
        fs::path setup = Script("setup.txt",
                                "CopyFile(\"\\??\\C:\\App\\a.dll\", \"\\??\\C:\\App\\a.bak\", true)\n"
                                "SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\Select\", \"CURRENT\", "
                                "\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", \"Sel\", true, false)\n"
                                "CopyDir(\"\\??\\C:\\Staging\", \"\\??\\C:\\App\\New\", false)\n");
        fs::path revert = Script("revert.txt",
                                 "MoveFile(\"\\??\\C:\\App\\a.bak\", \"\\??\\C:\\App\\a.dll\", true)\n"
                                 "RenameValue(\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", \"Sel\", "
                                 "\"Old\", true)\n");
        EXPECT_OUTCOME(0, OnMachine({ "schedule", one.string() }));
        EXPECT_OUTCOME(0, OnMachine({ "package", "add", "Pkg", "--setup", setup.string(),
                                      "--revert", revert.string(), "--boot-timeout", "2" }));
    }

    std::string machine_;
    std::string system_;
};

/* ---- status --scripts --------------------------------------------------- */

TEST_F(StatusProgramTest, ScriptsListsEveryStagedOperationWithTheSourcesTheMachineLacks)
{
    Stage();
    ToolOutcome listed = OnMachine({ "status", "--scripts" });
    EXPECT_OUTCOME(0, listed);
    EXPECT_EQ(listed.Out,
              "Target: machine " + machine_ + " (ControlSet001)\n"
              "Sources: checked against the machine's volume C: and its hive files\n"
              "One-shot list: 4 operations\n"
              "  1. CopyFile(\"\\??\\C:\\app\\A.DLL\", \"\\??\\C:\\App\\b.dll\", false)\n"
              "  2. CopyFile(\"\\??\\C:\\App\\missing.dll\", \"\\??\\C:\\App\\c.dll\", false)\n"
              "     warning: the source file \\??\\C:\\App\\missing.dll does not exist\n"
              "  3. CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\select\", \"\\REGISTRY\\MACHINE\\SYSTEM\\Select2\", false)\n"
              "  4. SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\Nowhere\", \"V\", \"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", \"V\", true, false)\n"
              "     warning: the source value \"V\" of key \\REGISTRY\\MACHINE\\SYSTEM\\Nowhere does not exist\n"
              "Packages: 1 staged\n"
              "  Pkg: its setup runs at the next boot\n"
              "    setup: 3 operations\n"
              "      1. CopyFile(\"\\??\\C:\\App\\a.dll\", \"\\??\\C:\\App\\a.bak\", true)\n"
              "      2. SetKeyValue(\"\\REGISTRY\\MACHINE\\SYSTEM\\Select\", \"CURRENT\", \"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", \"Sel\", true, false)\n"
              "      3. CopyDir(\"\\??\\C:\\Staging\", \"\\??\\C:\\App\\New\", false)\n"
              "         warning: the source directory \\??\\C:\\Staging does not exist\n"
              "    revert: 2 operations\n"
              "      1. MoveFile(\"\\??\\C:\\App\\a.bak\", \"\\??\\C:\\App\\a.dll\", true)\n"
              "         note: the source file \\??\\C:\\App\\a.bak does not exist yet; setup operation 1 makes it\n"
              "      2. RenameValue(\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", \"Sel\", \"Old\", true)\n"
              "         note: the source value \"Sel\" of key \\REGISTRY\\MACHINE\\SOFTWARE\\App does not exist yet; setup operation 2 makes it\n"
              "    clean: none\n"
              "Missing sources: 3, and 2 that an earlier operation makes\n");
    EXPECT_EQ(listed.Err, "");

    /* A file where a directory is needed is no source for it. */
    Volume("Staging", "not a directory");
    EXPECT_TRUE(Contains(OnMachine({ "status", "--scripts" }).Out,
                         "         warning: the source directory \\??\\C:\\Staging does not exist\n"));
    fs::remove(fs::path(qm::VolumeRoot(machine_)) / "Staging");
    Volume("staging/x.txt", "x");
    EXPECT_TRUE(Contains(OnMachine({ "status", "--scripts" }).Out, "Missing sources: 2, and 2 that an earlier operation makes\n"));
}

TEST_F(StatusProgramTest, ScriptsAsJsonGiveEachSourceAndWhetherItExists)
{
    fs::path one = Script("one.txt",
                          "CopyFile(\"\\??\\C:\\App\\missing.dll\", \"\\??\\C:\\App\\c.dll\", false)\n"
                          "CreateKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\")\n");
    EXPECT_OUTCOME(0, OnMachine({ "schedule", one.string() }));
    ToolOutcome listed = OnMachine({ "status", "--scripts", "--json" });
    EXPECT_OUTCOME(0, listed);
    EXPECT_EQ(listed.Out,
              "{\"target\":{\"kind\":\"machine\",\"location\":\"" + machine_ +
                  "\"},\"controlSet\":\"ControlSet001\",\"installed\":true,"
                  "\"sourcesChecked\":{\"files\":true,\"keys\":\"all hives\"},"
                  "\"oneShotList\":{\"type\":\"REG_MULTI_SZ\",\"parses\":true,\"refusal\":null,"
                  "\"operations\":[{\"index\":1,\"operation\":\"CopyFile(\\\"\\\\??\\\\C:\\\\App\\\\missing.dll\\\", "
                  "\\\"\\\\??\\\\C:\\\\App\\\\c.dll\\\", false)\",\"sources\":[{\"kind\":\"file\","
                  "\"path\":\"\\\\??\\\\C:\\\\App\\\\missing.dll\",\"valueName\":null,\"exists\":false,\"madeBy\":null}]},"
                  "{\"index\":2,\"operation\":\"CreateKey(\\\"\\\\REGISTRY\\\\MACHINE\\\\SOFTWARE\\\\App\\\")\","
                  "\"sources\":[]}]},\"packages\":[],\"missingSources\":1,\"madeEarlier\":0}\n");
}

TEST_F(StatusProgramTest, OnAHiveFileOnlyItsOwnKeysAreCheckedAndTheRestIsSaidSo)
{
    fs::path one = Script("one.txt",
                          "CopyFile(\"\\??\\C:\\App\\a.dll\", \"\\??\\C:\\App\\c.dll\", false)\n"
                          "CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\Missing\", "
                          "\"\\REGISTRY\\MACHINE\\SYSTEM\\Copy\", false)\n"
                          "CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\", "
                          "\"\\REGISTRY\\MACHINE\\SYSTEM\\Copy\", false)\n"
                          "MoveKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", "
                          "\"\\REGISTRY\\MACHINE\\SOFTWARE\\App2\", false)\n"
                          "CreateKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\New\")\n"
                          "CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\new\", "
                          "\"\\REGISTRY\\MACHINE\\SYSTEM\\New2\", false)\n");
    EXPECT_OUTCOME(0, Run({ "schedule", "--hive", system_, one.string() }));
    ToolOutcome listed = Run({ "status", "--scripts", "--hive", system_ });
    EXPECT_OUTCOME(0, listed);
    EXPECT_EQ(listed.Out,
              "Target: hive " + system_ + " (ControlSet001)\n"
              "Sources: keys of SYSTEM checked against the hive file; files and keys of other hives "
              "are not checked\n"
              "One-shot list: 6 operations\n"
              "  1. CopyFile(\"\\??\\C:\\App\\a.dll\", \"\\??\\C:\\App\\c.dll\", false)\n"
              "     not checked: the source file \\??\\C:\\App\\a.dll\n"
              "  2. CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\Missing\", \"\\REGISTRY\\MACHINE\\SYSTEM\\Copy\", false)\n"
              "     warning: the source key \\REGISTRY\\MACHINE\\SYSTEM\\Missing does not exist\n"
              "  3. CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\", \"\\REGISTRY\\MACHINE\\SYSTEM\\Copy\", false)\n"
              "  4. MoveKey(\"\\REGISTRY\\MACHINE\\SOFTWARE\\App\", \"\\REGISTRY\\MACHINE\\SOFTWARE\\App2\", false)\n"
              "     not checked: the source key \\REGISTRY\\MACHINE\\SOFTWARE\\App\n"
              "  5. CreateKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\New\")\n"
              "  6. CopyKey(\"\\REGISTRY\\MACHINE\\SYSTEM\\new\", \"\\REGISTRY\\MACHINE\\SYSTEM\\New2\", false)\n"
              "     note: the source key \\REGISTRY\\MACHINE\\SYSTEM\\new does not exist yet; "
              "one-shot list operation 5 makes it\n"
              "Packages: 0 staged\n"
              "Missing sources: 1, and 1 that an earlier operation makes\n");
}

/* ---- the records of the last runs --------------------------------------- */

TEST_F(StatusProgramTest, StatusShowsWhatTheLastBootRecordedWithStatusNames)
{
    Stage();
    ToolOutcome booted = Run({ "simulate", machine_ });
    EXPECT_OUTCOME(0, booted);
    EXPECT_TRUE(Contains(booted.Out,
                         "  recorded on the machine, LastBootTimeOperationsResults: one-shot list at boot 1: 4 operations, 2 failures\n"
                         "    1. STATUS_SUCCESS (0x00000000)\n"
                         "    2. STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n"
                         "    3. STATUS_SUCCESS (0x00000000)\n"
                         "    4. STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n"
                         "  recorded on the machine, package Pkg LastRunResults: setup at boot 1: 3 operations, 1 failure\n"
                         "    1. STATUS_SUCCESS (0x00000000)\n"
                         "    2. deferred, then STATUS_SUCCESS (0x00000000)\n"
                         "    3. STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n"))
        << booted.Out;

    ToolOutcome status = OnMachine({ "status" });
    EXPECT_OUTCOME(0, status);
    EXPECT_TRUE(Contains(status.Out,
                         "One-shot list: none\n"
                         "Last one-shot run: one-shot list at boot 1: 4 operations, 2 failures\n"
                         "  1. STATUS_SUCCESS (0x00000000)\n"
                         "  2. STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n"
                         "  3. STATUS_SUCCESS (0x00000000)\n"
                         "  4. STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n"
                         "Packages: 1 staged (1 key below Parameters)\n"))
        << status.Out;
    EXPECT_TRUE(Contains(status.Out,
                         "    LastPackageError STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n"
                         "    Last run: setup at boot 1: 3 operations, 1 failure\n"
                         "      1. STATUS_SUCCESS (0x00000000)\n"
                         "      2. deferred, then STATUS_SUCCESS (0x00000000)\n"
                         "      3. STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n"))
        << status.Out;

    /* The same from the bare hive file, and as JSON. */
    ToolOutcome json = Run({ "status", "--hive", system_, "--json" });
    EXPECT_OUTCOME(0, json);
    EXPECT_TRUE(Contains(json.Out,
                         "\"lastRunResults\":{\"valid\":true,\"problem\":null,\"version\":1,"
                         "\"script\":\"setup\",\"bootCounter\":1,\"truncated\":false,"
                         "\"rejected\":false,\"incomplete\":false,\"failures\":1,\"operations\":["
                         "{\"index\":1,\"skipped\":false,\"deferred\":false,\"deferredRan\":false,"
                         "\"status\":{\"code\":0,\"hex\":\"0x00000000\",\"name\":\"STATUS_SUCCESS\"}},"
                         "{\"index\":2,\"skipped\":false,\"deferred\":true,\"deferredRan\":true,"
                         "\"status\":{\"code\":0,\"hex\":\"0x00000000\",\"name\":\"STATUS_SUCCESS\"}},"
                         "{\"index\":3,\"skipped\":false,\"deferred\":false,\"deferredRan\":false,"
                         "\"status\":{\"code\":3221225524,\"hex\":\"0xC0000034\","
                         "\"name\":\"STATUS_OBJECT_NAME_NOT_FOUND\"}}]}"))
        << json.Out;

    /* A second boot runs nothing new: simulate reports no record. */
    ToolOutcome again = Run({ "simulate", "--json", machine_ });
    EXPECT_OUTCOME(0, again);
    EXPECT_TRUE(Contains(again.Out, "\"recorded\":[]")) << again.Out;
}

TEST_F(StatusProgramTest, ARecordOfAnotherLayoutIsShownAsUnreadableNotGuessed)
{
    std::string error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, kParameters,
                                    u"LastBootTimeOperationsResults", REG_BINARY,
                                    { 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 },
                                    &error))
        << error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, kParameters + u"\\Pkg", u"", REG_SZ,
                                    qm::StringData(u"Package"), &error))
        << error;
    ASSERT_TRUE(qm::SetMachineValue(machine_, Hive::System, kParameters + u"\\Pkg",
                                    u"LastRunResults", REG_BINARY,
                                    { 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0,
                                      0, 0, 0, 0, 0, 0, 0, 0 },
                                    &error))
        << error;
    ToolOutcome status = OnMachine({ "status" });
    EXPECT_OUTCOME(0, status);
    EXPECT_TRUE(Contains(status.Out,
                         "Last one-shot run: unreadable: its version 2 is not one this tool reads\n"))
        << status.Out;
    EXPECT_TRUE(Contains(status.Out, "    Last run: unreadable: it holds 28 bytes, not the header "
                                     "and 2 outcomes\n"))
        << status.Out;
}

} // namespace
