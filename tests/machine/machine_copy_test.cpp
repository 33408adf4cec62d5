/*
 * machine_copy_test.cpp - copies of machine directories: every file,
 * directory, link and extended attribute comes across, and the copy is
 * independent of its original.
 */
#include "tests/machine/machine_fixture.h"

#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

using namespace machinetest;

using MachineCopyTest = MachineTest;

std::string Attribute(const fs::path &path, const char *name)
{
    char value[256];
    ssize_t n = lgetxattr(path.c_str(), name, value, sizeof(value));
    return n < 0 ? std::string("(none)") : std::string(value, (size_t)n);
}

TEST_F(MachineCopyTest, EveryEntryAndAttributeComesAcrossAndTheCopyStandsAlone)
{
    /* Content larger than one pass of a buffer, an empty file, an empty
     * directory, a link, attributes on files and directories. */
    std::string large(700 * 1024 + 3, '\0');
    for (size_t i = 0; i < large.size(); i++)
        large[i] = (char)(i * 7 + i / 4096);
    Write("Program Files/App/big.bin", large);
    Write("Program Files/App/empty.txt", "");
    Write("Program Files/App/sub/deeper/leaf.txt", "leaf");
    fs::create_directories(File("Empty Dir"));
    fs::create_symlink("App/big.bin", File("Program Files/link"));
    ASSERT_EQ(lsetxattr(File("Program Files/App/empty.txt").c_str(), "user.probe", "file", 4, 0), 0);
    ASSERT_EQ(lsetxattr(File("Program Files/App/sub").c_str(), "user.probe", "dir", 3, 0), 0);
    chmod(File("Program Files/App/sub/deeper/leaf.txt").c_str(), 0444);

    const std::string copy = (root_ / "copy").string();
    std::string error;
    ASSERT_TRUE(qm::CopyMachine(dir_, copy, &error)) << error;
    const fs::path c = qm::VolumeRoot(copy);
    auto read = [](const fs::path &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(read(c / "Program Files/App/big.bin"), large);
    EXPECT_EQ(fs::file_size(c / "Program Files/App/empty.txt"), 0u);
    EXPECT_EQ(read(c / "Program Files/App/sub/deeper/leaf.txt"), "leaf");
    EXPECT_TRUE(fs::is_directory(c / "Empty Dir"));
    EXPECT_TRUE(fs::is_empty(c / "Empty Dir"));
    ASSERT_TRUE(fs::is_symlink(c / "Program Files/link"));
    EXPECT_EQ(fs::read_symlink(c / "Program Files/link"), "App/big.bin");
    EXPECT_EQ(Attribute(c / "Program Files/App/empty.txt", "user.probe"), "file");
    EXPECT_EQ(Attribute(c / "Program Files/App/sub", "user.probe"), "dir");
    struct stat st;
    ASSERT_EQ(stat((c / "Program Files/App/sub/deeper/leaf.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    for (Hive hive : qm::kAllHives)
        EXPECT_EQ(read(qm::HiveFilePath(copy, hive)), read(qm::HiveFilePath(dir_, hive)))
            << qm::HiveFileName(hive);

    /* Every file is a file of its own: writing through the copy leaves
     * the original as it was. */
    struct stat a, b;
    ASSERT_EQ(stat(File("Program Files/App/big.bin").c_str(), &a), 0);
    ASSERT_EQ(stat((c / "Program Files/App/big.bin").c_str(), &b), 0);
    EXPECT_NE(a.st_ino, b.st_ino);
    EXPECT_EQ(b.st_nlink, 1u);
    std::ofstream(c / "Program Files/App/big.bin", std::ios::binary | std::ios::in) << "changed";
    ASSERT_EQ(lsetxattr((c / "Program Files/App/empty.txt").c_str(), "user.probe", "new", 3, 0), 0);
    EXPECT_EQ(Read("Program Files/App/big.bin"), large);
    EXPECT_EQ(Attribute(File("Program Files/App/empty.txt"), "user.probe"), "file");

    /* The copy boots as the original would. */
    BootClean(qm::BootOptions(), copy);
    EXPECT_EQ(ParameterDword(u"BootCounter", copy), 1u);
    EXPECT_FALSE(ParameterDword(u"BootCounter")) << "the original never booted";
}

TEST_F(MachineCopyTest, ATargetThatExistsOrASourceThatDoesNotIsRefused)
{
    std::string error;
    const std::string existing = (root_ / "existing").string();
    fs::create_directories(existing);
    EXPECT_FALSE(qm::CopyMachine(dir_, existing, &error));
    EXPECT_EQ(error, existing + ": exists already");
    EXPECT_TRUE(fs::is_empty(existing));

    const std::string missing = (root_ / "missing").string();
    EXPECT_FALSE(qm::CopyMachine(missing, (root_ / "copy").string(), &error));
    EXPECT_EQ(error, missing + ": no machine directory");
    EXPECT_FALSE(fs::exists(root_ / "copy"));
}

/* Scratch copies go where the user says; otherwise somewhere that takes
 * the extended attributes a volume keeps. */
TEST_F(MachineCopyTest, ScratchCopiesGoToTmpdirWhenItIsSetAndElsewhereKeepAttributes)
{
    const char *saved = getenv("TMPDIR");
    const std::string keep = saved ? saved : "";
    setenv("TMPDIR", root_.c_str(), 1);
    const std::string chosen = qm::ScratchParent(dir_, 3);
    unsetenv("TMPDIR");
    const std::string fallback = qm::ScratchParent(dir_, 3);
    if (saved)
        setenv("TMPDIR", keep.c_str(), 1);
    EXPECT_EQ(chosen, root_.string());

    ASSERT_TRUE(fs::is_directory(fallback)) << fallback;
    const fs::path probe = fs::path(fallback) / ("qelmbar-scratch-probe-" + std::to_string(getpid()));
    std::string error;
    ASSERT_TRUE(qm::CopyMachine(dir_, probe.string(), &error)) << error;
    BootClean(qm::BootOptions(), probe.string());
    EXPECT_EQ(ParameterDword(u"BootCounter", probe.string()), 1u) << fallback;
    fs::remove_all(probe);
}

} // namespace
