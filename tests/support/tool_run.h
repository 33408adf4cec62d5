/*
 * tool_run.h - runs the qelmbar program as a user would, in a scratch
 * directory of the test's own, and keeps its exit status and output.
 */
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qelmbar::test {

struct ToolOutcome {
    int Status = -1;
    std::string Out;
    std::string Err;
};

inline std::string ReadWholeFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

inline std::string ShellQuote(const std::string &word)
{
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

/* An empty directory named after the running test, for it alone; the
 * test removes it at the end. */
inline std::filesystem::path FreshTestDirectory()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("qelmbar-" + std::string(info->test_suite_name()) + "-" +
                                 std::to_string(getpid()) + "-" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

/* A fixture with a fresh directory per test, removed afterwards. */
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = FreshTestDirectory(); }

    void TearDown() override { std::filesystem::remove_all(dir_); }

    /* Writes a file in the test's directory and returns its path. */
    std::string Write(const std::string &name, const std::string &bytes)
    {
        std::filesystem::path path = dir_ / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out << bytes;
        return path.string();
    }

    /* qelmbar with these arguments, from workingDir when one is given. */
    ToolOutcome Run(const std::vector<std::string> &args, const std::string &workingDir = "")
    {
        std::string command = ShellQuote(QELMBAR_TOOL_PATH);
        if (!workingDir.empty())
            command = "cd " + ShellQuote(workingDir) + " && " + command;
        for (const std::string &arg : args)
            command += " " + ShellQuote(arg);
        std::filesystem::path out = dir_ / "stdout.txt", err = dir_ / "stderr.txt";
        command += " >" + ShellQuote(out.string()) + " 2>" + ShellQuote(err.string());
        int raw = std::system(command.c_str());
        ToolOutcome outcome;
        outcome.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        outcome.Out = ReadWholeFile(out);
        outcome.Err = ReadWholeFile(err);
        return outcome;
    }

    std::filesystem::path dir_;
};

} // namespace qelmbar::test
