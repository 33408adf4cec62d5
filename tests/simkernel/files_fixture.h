/*
 * files_fixture.h - the fixture of the simulated file system's tests: two
 * volumes, C: and D:, each over a fresh host directory, and short forms
 * of the Zw file calls.
 */
#pragma once

#include "simkernel/files.h"
#include "tests/support/kernel_test.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qtest {

constexpr NTSTATUS kReparseNotResolved = (NTSTATUS)0xC0000280L;

struct Listing {
    NTSTATUS status;
    std::vector<std::u16string> names;
};

class FilesTest : public KernelTest {
protected:
    /* A counted view of the text, which must outlive it. */
    static UNICODE_STRING Name(const std::u16string &text)
    {
        UNICODE_STRING counted;
        counted.Length = counted.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
        counted.Buffer = (PWSTR)text.data();
        return counted;
    }

    void SetUp() override
    {
        KernelTest::SetUp();
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qelmbar-files-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        root_ = pattern;
        std::filesystem::create_directory(root_ / "c");
        std::filesystem::create_directory(root_ / "d");
        ASSERT_STATUS(STATUS_SUCCESS, sk::AddVolume(u"\\Device\\HarddiskVolume1", (root_ / "c").string(), u'C'));
        ASSERT_STATUS(STATUS_SUCCESS, sk::AddVolume(u"\\Device\\HarddiskVolume2", (root_ / "d").string(), u'D'));
    }

    void TearDown() override
    {
        KernelTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    /* Host side of C: (or D:). */
    std::string Host(const std::string &relative, char drive = 'c') const
    {
        return (root_ / std::string(1, drive) / relative).string();
    }
    void WriteHost(const std::string &relative, const std::string &content, char drive = 'c')
    {
        std::filesystem::create_directories(std::filesystem::path(Host(relative, drive)).parent_path());
        std::ofstream(Host(relative, drive), std::ios::binary) << content;
    }
    std::string ReadHost(const std::string &relative, char drive = 'c') const
    {
        std::ifstream in(Host(relative, drive), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool HostExists(const std::string &relative, char drive = 'c') const
    {
        struct stat st;
        return lstat(Host(relative, drive).c_str(), &st) == 0;
    }
    void MakeHostDir(const std::string &relative, char drive = 'c')
    {
        std::filesystem::create_directories(Host(relative, drive));
    }
    /* Everything below the volume root, sorted; directories end in '/'. */
    std::vector<std::string> HostTree(char drive = 'c') const
    {
        std::vector<std::string> tree;
        const std::filesystem::path base = root_ / std::string(1, drive);
        for (auto it = std::filesystem::recursive_directory_iterator(base);
             it != std::filesystem::recursive_directory_iterator(); ++it) {
            std::string name = std::filesystem::relative(it->path(), base).string();
            tree.push_back(it->is_directory() && !it->is_symlink() ? name + "/" : name);
        }
        std::sort(tree.begin(), tree.end());
        return tree;
    }

    NTSTATUS Create(HANDLE *handle, const std::u16string &name, ACCESS_MASK access, ULONG share,
                    ULONG disposition, ULONG options = 0, ULONG attributes = 0,
                    ULONG_PTR *information = nullptr, HANDLE root = nullptr)
    {
        UNICODE_STRING counted = Name(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &counted, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root, nullptr);
        IO_STATUS_BLOCK io = {};
        io.Information = 0xDEAD;
        NTSTATUS status = ZwCreateFile(handle, access, &oa, &io, nullptr, attributes, share,
                                       disposition, options, nullptr, 0);
        if (information)
            *information = io.Information;
        return status;
    }
    /* A synchronous handle with every access, sharing everything. */
    HANDLE OpenAll(const std::u16string &name, ULONG options = 0, ULONG disposition = FILE_OPEN)
    {
        HANDLE handle = nullptr;
        EXPECT_STATUS(STATUS_SUCCESS,
                      Create(&handle, name, FILE_ALL_ACCESS, FILE_SHARE_VALID_FLAGS, disposition,
                             options | FILE_SYNCHRONOUS_IO_NONALERT));
        return handle;
    }
    void Close(HANDLE handle) { EXPECT_STATUS(STATUS_SUCCESS, ZwClose(handle)); }

    NTSTATUS Write(HANDLE handle, const std::string &data, LONGLONG *offset = nullptr)
    {
        IO_STATUS_BLOCK io = {};
        LARGE_INTEGER at;
        if (offset)
            at.QuadPart = *offset;
        return ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, (PVOID)data.data(),
                           (ULONG)data.size(), offset ? &at : nullptr, nullptr);
    }
    NTSTATUS Read(HANDLE handle, ULONG length, std::string *data, ULONG_PTR *information = nullptr)
    {
        IO_STATUS_BLOCK io = {};
        io.Information = 0xDEAD;
        data->assign(length, '\0');
        NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &io, length ? &(*data)[0] : nullptr,
                                     length, nullptr, nullptr);
        data->resize(NT_SUCCESS(status) ? io.Information : 0);
        if (information)
            *information = io.Information;
        return status;
    }
    NTSTATUS QueryBasic(HANDLE handle, FILE_BASIC_INFORMATION *info)
    {
        IO_STATUS_BLOCK io;
        return ZwQueryInformationFile(handle, &io, info, sizeof(*info), FileBasicInformation);
    }
    FILE_BASIC_INFORMATION Basic(HANDLE handle)
    {
        FILE_BASIC_INFORMATION info = {};
        EXPECT_STATUS(STATUS_SUCCESS, QueryBasic(handle, &info));
        return info;
    }
    NTSTATUS SetBasic(HANDLE handle, ULONG attributes, LONGLONG creation = 0, LONGLONG access = 0,
                      LONGLONG write = 0, LONGLONG change = 0)
    {
        FILE_BASIC_INFORMATION info = {};
        info.CreationTime.QuadPart = creation;
        info.LastAccessTime.QuadPart = access;
        info.LastWriteTime.QuadPart = write;
        info.ChangeTime.QuadPart = change;
        info.FileAttributes = attributes;
        IO_STATUS_BLOCK io;
        return ZwSetInformationFile(handle, &io, &info, sizeof(info), FileBasicInformation);
    }
    FILE_STANDARD_INFORMATION Standard(HANDLE handle)
    {
        FILE_STANDARD_INFORMATION info = {};
        IO_STATUS_BLOCK io;
        EXPECT_STATUS(STATUS_SUCCESS,
                      ZwQueryInformationFile(handle, &io, &info, sizeof(info), FileStandardInformation));
        return info;
    }
    NTSTATUS Rename(HANDLE handle, const std::u16string &target, bool replace, HANDLE root = nullptr)
    {
        std::vector<uint8_t> buffer(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) +
                                    target.size() * sizeof(WCHAR) + sizeof(FILE_RENAME_INFORMATION));
        auto *info = (FILE_RENAME_INFORMATION *)buffer.data();
        info->ReplaceIfExists = replace;
        info->RootDirectory = root;
        info->FileNameLength = (ULONG)(target.size() * sizeof(WCHAR));
        memcpy(info->FileName, target.data(), info->FileNameLength);
        IO_STATUS_BLOCK io;
        return ZwSetInformationFile(handle, &io, info, (ULONG)buffer.size(), FileRenameInformation);
    }
    NTSTATUS SetDelete(HANDLE handle, bool deleteFile)
    {
        FILE_DISPOSITION_INFORMATION info;
        info.DeleteFile = deleteFile;
        IO_STATUS_BLOCK io;
        return ZwSetInformationFile(handle, &io, &info, sizeof(info), FileDispositionInformation);
    }
    /* Calls ZwQueryDirectoryFile until it stops succeeding; the names of
     * every entry returned, and the status that ended the listing. */
    Listing List(HANDLE handle, ULONG bufferSize = 4096, bool single = false)
    {
        Listing listing;
        std::vector<uint64_t> buffer(bufferSize / 8 + 1);
        for (;;) {
            IO_STATUS_BLOCK io = {};
            NTSTATUS status = ZwQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &io, buffer.data(),
                                                   bufferSize, FileDirectoryInformation, single, nullptr,
                                                   FALSE);
            if (status != STATUS_SUCCESS) {
                listing.status = status;
                return listing;
            }
            auto *bytes = (const uint8_t *)buffer.data();
            for (ULONG at = 0;;) {
                EXPECT_EQ(at % 8, 0u);
                auto *entry = (const FILE_DIRECTORY_INFORMATION *)(bytes + at);
                listing.names.emplace_back(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
                if (!entry->NextEntryOffset) {
                    EXPECT_EQ(io.Information, at + FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName) +
                                                  entry->FileNameLength);
                    break;
                }
                at += entry->NextEntryOffset;
            }
        }
    }

    std::filesystem::path root_;
};

} // namespace qtest
