/*
 * hive_reader.cpp - reads a regf hive file into a detached tree of keys.
 *
 * The file's bytes, brought up to date from the logs beside it when the
 * hive was left dirty (regf/hive_logs.h), go to the hive library, which checks the base block and
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

/* A key's children as the tree keeps them, in NT's order. */
bool AppendSubkey(Key &parent, std::shared_ptr<Key> child)
{
    const std::u16string upcased = child->upcased;
    return parent.subkeys.Insert(std::move(child), upcased);
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
            if (!AppendSubkey(*key, std::move(sub)))
                return STATUS_REGISTRY_CORRUPT;
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

/* A dirty primary taken as it is reads as if its last write had ended:
 * the second sequence number made equal to the first, the checksum
 * recomputed.  Only the bytes in memory change. */
void TakeAsClean(std::vector<uint8_t> *file)
{
    if (file->size() < kHiveBlockSize)
        return;
    uint8_t *base = file->data();
    memcpy(base + 0x08, base + 0x04, 4);
    const uint32_t sum = regf::BaseBlockChecksum(base);
    for (int i = 0; i < 4; i++)
        base[0x1FC + i] = (uint8_t)(sum >> (8 * i));
}

NTSTATUS ReadTree(const std::string &hostPath, std::shared_ptr<Key> *root,
                  const std::shared_ptr<Hive> &hive, HiveFileHeader *header,
                  const regf::HiveReadOptions &options, regf::HiveImageReport *report)
{
    LastRefusal().clear();
    std::vector<uint8_t> file;
    regf::HiveImageReport found;
    NTSTATUS status = regf::ReadHiveImage(hostPath, options, &file, &found);
    if (report)
        *report = found;
    if (!NT_SUCCESS(status))
        return status;
    if (found.acceptedDirty)
        TakeAsClean(&file);
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
                      const std::shared_ptr<Hive> &hive, HiveFileHeader *header,
                      const regf::HiveReadOptions &options, regf::HiveImageReport *report)
{
    try {
        return ReadTree(hostPath, root, hive, header, options, report);
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
