/*
 * volume_fixture.h - tests of the file and directory operations run on two
 * simulated volumes, C: and D:, each over a fresh host directory.  Trees
 * are laid out and inspected on the host; attributes and times are read
 * through the simulated kernel, as the driver sees them.
 */
#pragma once

#include "exec/exec.h"
#include "tests/support/kernel_test.h"

#include <filesystem>
#include <string>
#include <vector>

namespace qtest {

class VolumeTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    /* The host path of a file on C: or D:, e.g. Host('C', "dir/a.txt"). */
    std::filesystem::path Host(char drive, const std::string &relative) const;
    void Write(char drive, const std::string &relative, const std::string &content);
    std::string Read(char drive, const std::string &relative) const;
    bool Exists(char drive, const std::string &relative) const;
    void MakeDir(char drive, const std::string &relative);
    /* Every file and directory below a directory, relative, sorted;
     * directories end in '/'. */
    std::vector<std::string> Tree(char drive, const std::string &relative = "") const;

    /* Attributes and times through a fresh handle of the simulated kernel. */
    FILE_BASIC_INFORMATION Basic(const std::u16string &ntPath);
    void SetAttributes(const std::u16string &ntPath, ULONG attributes);

    /* A handle held open on a file, with the given access and sharing. */
    HANDLE Hold(const std::u16string &ntPath, ACCESS_MASK access, ULONG share);
    void Release(HANDLE handle);

    std::filesystem::path root_;
    std::vector<HANDLE> held_;
};

/* A counted view of a string, which must outlive it; literals take the
 * second form, so that no temporary string is viewed. */
UNICODE_STRING Counted(const std::u16string &text);
UNICODE_STRING Counted(const char16_t *literal);

} // namespace qtest
