/*
 * hive_reader.cpp - reads a regf hive file into a detached tree of keys.
 *
 * The file's bytes go to the hive library, which checks the base block and
 * the bins as NT's loader does (so that a bad file is refused with the
 * status NT would give) and then every key; the tree is read from the
 * checked image, and the image stays with the tree's root so that a save
 * changes only what the tree changed.
 */
#include "simkernel/hive_file.h"
#include "simkernel/regf/regf.h"
#include "simkernel/upcase.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sk {
namespace reg {

namespace {

NTSTATUS OpenStatus(int error, const std::string &path)
{
    switch (error) {
    case ENOENT: {
        const size_t slash = path.rfind('/');
        struct stat st;
        if (slash != std::string::npos && slash != 0 &&
            stat(path.substr(0, slash).c_str(), &st) != 0)
            return STATUS_OBJECT_PATH_NOT_FOUND;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return STATUS_ACCESS_DENIED;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG:
        return STATUS_NAME_TOO_LONG;
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNEXPECTED_IO_ERROR;
    }
}

} // namespace

/* Every byte of a hive file is read here and nowhere else. */
NTSTATUS ReadHiveBytes(const std::string &path, std::vector<uint8_t> *bytes)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return OpenStatus(errno, path);
    struct stat st;
    NTSTATUS status = STATUS_SUCCESS;
    if (fstat(fd, &st) != 0) {
        status = OpenStatus(errno, path);
    } else if (S_ISDIR(st.st_mode)) {
        status = STATUS_FILE_IS_A_DIRECTORY;
    } else {
        bytes->resize((size_t)st.st_size);
        size_t done = 0;
        while (done < bytes->size()) {
            ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                status = OpenStatus(errno, path);
                break;
            }
            if (n == 0)
                break;
            done += (size_t)n;
        }
        bytes->resize(done);
    }
    close(fd);
    return status;
}

namespace {

/* A key's children as the tree keeps them, in NT's order. */
void AppendSubkey(Key &parent, std::shared_ptr<Key> child)
{
    parent.subkeys.push_back(std::move(child));
}

class TreeReader {
public:
    TreeReader(const regf::Hive &image, const std::shared_ptr<Hive> &hive)
        : image_(image), hive_(hive)
    {}

    /* The checker has walked the same keys: every cell read here is what
     * it should be, the lists are in order and no deeper than NT allows. */
    NTSTATUS ReadKey(uint32_t cell, Key *parent, std::shared_ptr<Key> *out)
    {
        regf::KeyNode node;
        if (!image_.ReadKey(cell, &node))
            return STATUS_REGISTRY_CORRUPT;
        auto key = std::make_shared<Key>();
        key->parent = parent;
        key->hive = hive_;
        key->cell = cell;
        key->name = std::move(node.name);
        key->upcased = Upcase(key->name);
        key->isLink = (node.flags & regf::kKeySymLink) != 0;
        key->lastWriteTime = (LONGLONG)node.lastWrite;
        if (!image_.ReadClass(node, &key->className))
            return STATUS_REGISTRY_CORRUPT;

        std::vector<uint32_t> cells;
        if (!image_.ValueCells(node, &cells))
            return STATUS_REGISTRY_CORRUPT;
        for (uint32_t vk : cells) {
            regf::ValueNode stored;
            if (!image_.ReadValue(vk, &stored))
                return STATUS_REGISTRY_CORRUPT;
            Value value;
            value.name = std::move(stored.name);
            value.type = stored.type;
            value.data = std::move(stored.data);
            key->maxValueNameLen =
                std::max(key->maxValueNameLen, (ULONG)(value.name.size() * sizeof(WCHAR)));
            key->maxValueDataLen = std::max(key->maxValueDataLen, (ULONG)value.data.size());
            key->values.push_back(std::move(value));
        }

        if (!image_.Subkeys(node, &cells))
            return STATUS_REGISTRY_CORRUPT;
        for (uint32_t child : cells) {
            std::shared_ptr<Key> sub;
            NTSTATUS status = ReadKey(child, key.get(), &sub);
            if (!NT_SUCCESS(status))
                return status;
            key->maxNameLen = std::max(key->maxNameLen, (ULONG)(sub->name.size() * sizeof(WCHAR)));
            key->maxClassLen =
                std::max(key->maxClassLen, (ULONG)(sub->className.size() * sizeof(WCHAR)));
            AppendSubkey(*key, std::move(sub));
        }

        /* The stored marks may be higher than what is left, never lower. */
        key->maxNameLen = std::max(key->maxNameLen, (ULONG)node.MaxName());
        key->maxClassLen = std::max(key->maxClassLen, (ULONG)node.maxClass);
        key->maxValueNameLen = std::max(key->maxValueNameLen, (ULONG)node.maxValueName);
        key->maxValueDataLen = std::max(key->maxValueDataLen, (ULONG)node.maxValueData);
        *out = std::move(key);
        return STATUS_SUCCESS;
    }

private:
    const regf::Hive &image_;
    std::shared_ptr<Hive> hive_;
};

std::string &LastRefusal()
{
    static std::string message;
    return message;
}

NTSTATUS ReadTree(const std::string &hostPath, std::shared_ptr<Key> *root,
                  const std::shared_ptr<Hive> &hive, HiveFileHeader *header)
{
    LastRefusal().clear();
    std::vector<uint8_t> file;
    NTSTATUS status = ReadHiveBytes(hostPath, &file);
    if (!NT_SUCCESS(status))
        return status;
    std::unique_ptr<regf::Hive> image;
    regf::Refusal why;
    status = regf::Hive::Open(std::move(file), &image, &why);
    if (NT_SUCCESS(status))
        status = image->Check(&why);
    if (!NT_SUCCESS(status)) {
        LastRefusal() = why.message;
        return status;
    }

    TreeReader reader(*image, hive);
    std::shared_ptr<Key> top;
    status = reader.ReadKey(image->RootCell(), nullptr, &top);
    if (!NT_SUCCESS(status))
        return status;
    top->hiveRoot = true;
    top->noDelete = true;
    if (header) {
        header->minorVersion = image->header().minor;
        header->sequence = image->header().sequence1;
        header->lastWritten = (LONGLONG)image->header().lastWritten;
        header->fileName = image->header().fileName;
    }
    top->image = std::move(image);
    *root = std::move(top);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS ReadHiveFile(const std::string &hostPath, std::shared_ptr<Key> *root,
                      const std::shared_ptr<Hive> &hive, HiveFileHeader *header)
{
    try {
        return ReadTree(hostPath, root, hive, header);
    } catch (const std::bad_alloc &) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

const std::string &LastHiveRefusal()
{
    return LastRefusal();
}

} // namespace reg
} // namespace sk
