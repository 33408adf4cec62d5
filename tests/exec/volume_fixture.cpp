/*
 * volume_fixture.cpp - two simulated volumes over fresh host directories,
 * and the helpers that lay trees out and look at them.
 */
#include "tests/exec/volume_fixture.h"

#include "simkernel/files.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qtest {

UNICODE_STRING Counted(const std::u16string &text)
{
    UNICODE_STRING s;
    s.Length = s.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
    s.Buffer = (PWCH)text.data();
    return s;
}

UNICODE_STRING Counted(const char16_t *literal)
{
    UNICODE_STRING s;
    s.Length = s.MaximumLength = (USHORT)(std::char_traits<char16_t>::length(literal) * sizeof(WCHAR));
    s.Buffer = (PWCH)literal;
    return s;
}

void VolumeTest::SetUp()
{
    KernelTest::SetUp();
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qelmbar-volumes-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    ASSERT_NE(mkdtemp(buffer.data()), nullptr);
    root_ = buffer.data();
    std::filesystem::create_directories(root_ / "C");
    std::filesystem::create_directories(root_ / "D");
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::AddVolume(u"\\Device\\HarddiskVolume1", (root_ / "C").string(), u'C'));
    ASSERT_STATUS(STATUS_SUCCESS,
                  sk::AddVolume(u"\\Device\\HarddiskVolume2", (root_ / "D").string(), u'D'));
}

void VolumeTest::TearDown()
{
    for (HANDLE handle : held_)
        ZwClose(handle);
    held_.clear();
    KernelTest::TearDown();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::filesystem::path VolumeTest::Host(char drive, const std::string &relative) const
{
    std::filesystem::path base = root_ / std::string(1, drive);
    return relative.empty() ? base : base / relative;
}

void VolumeTest::Write(char drive, const std::string &relative, const std::string &content)
{
    std::filesystem::path path = Host(drive, relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string VolumeTest::Read(char drive, const std::string &relative) const
{
    std::ifstream in(Host(drive, relative), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool VolumeTest::Exists(char drive, const std::string &relative) const
{
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(Host(drive, relative), ignored));
}

void VolumeTest::MakeDir(char drive, const std::string &relative)
{
    std::filesystem::create_directories(Host(drive, relative));
}

std::vector<std::string> VolumeTest::Tree(char drive, const std::string &relative) const
{
    std::vector<std::string> entries;
    std::filesystem::path base = Host(drive, relative);
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(base, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        /* Lexically: relative() would resolve a link to where it points. */
        std::string name = it->path().lexically_relative(base).generic_string();
        if (name.find(".qelmbar-info") != std::string::npos)
            continue;
        if (it->is_directory() && !it->is_symlink())
            name += "/";
        entries.push_back(name);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

FILE_BASIC_INFORMATION VolumeTest::Basic(const std::u16string &ntPath)
{
    FILE_BASIC_INFORMATION basic = {};
    HANDLE handle = nullptr;
    UNICODE_STRING name = Counted(ntPath);
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    NTSTATUS status = ZwOpenFile(&handle, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT);
    EXPECT_STATUS(STATUS_SUCCESS, status) << U8(ntPath);
    if (NT_SUCCESS(status)) {
        EXPECT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(handle, &io, &basic, sizeof(basic),
                                                             FileBasicInformation));
        ZwClose(handle);
    }
    return basic;
}

void VolumeTest::SetAttributes(const std::u16string &ntPath, ULONG attributes)
{
    HANDLE handle = nullptr;
    UNICODE_STRING name = Counted(ntPath);
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_STATUS(STATUS_SUCCESS,
                  ZwOpenFile(&handle, FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &oa,
                             &io, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             FILE_SYNCHRONOUS_IO_NONALERT));
    FILE_BASIC_INFORMATION basic = {};
    basic.FileAttributes = attributes;
    EXPECT_STATUS(STATUS_SUCCESS,
                  ZwSetInformationFile(handle, &io, &basic, sizeof(basic), FileBasicInformation));
    ZwClose(handle);
}

HANDLE VolumeTest::Hold(const std::u16string &ntPath, ACCESS_MASK access, ULONG share)
{
    HANDLE handle = nullptr;
    UNICODE_STRING name = Counted(ntPath);
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_STATUS(STATUS_SUCCESS,
                  ZwOpenFile(&handle, access, &oa, &io, share, FILE_SYNCHRONOUS_IO_NONALERT));
    if (handle)
        held_.push_back(handle);
    return handle;
}

void VolumeTest::Release(HANDLE handle)
{
    auto found = std::find(held_.begin(), held_.end(), handle);
    if (found != held_.end()) {
        held_.erase(found);
        ZwClose(handle);
    }
}

} // namespace qtest
