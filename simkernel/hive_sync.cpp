/*
 * hive_sync.cpp - saves a tree read from a hive file by editing that
 * file's image where the tree differs from it.
 *
 * Keys are matched by the cell each remembers: a key with its cell among
 * the image's subkeys of its parent, under the same name, is the same key;
 * any other key of the tree is new and gets a new cell (with the security
 * its parent passes on), and a subkey of the image that no key of the tree
 * claims goes with its values and subkeys.  Of a key kept, only what
 * differs is written: its class, each value that changed, was added or
 * went, and, when anything of it changed, its marks; its time when the
 * tree's differs.  The edits go to a copy of the image, which replaces the
 * one kept only once the file is saved.
 */
#include "simkernel/files.h"
#include "simkernel/hive_file.h"
#include "simkernel/regf/regf.h"
#include "simkernel/registry.h"
#include "simkernel/upcase.h"

#include <unordered_map>

namespace sk {
namespace reg {

namespace {

class Syncer {
public:
    explicit Syncer(regf::Hive &image) : image_(image) {}

    NTSTATUS Key(const reg::Key &key, uint32_t cell)
    {
        regf::KeyNode node;
        if (!image_.ReadKey(cell, &node))
            return STATUS_REGISTRY_CORRUPT;
        bool changed = false;

        std::u16string className;
        if (!image_.ReadClass(node, &className))
            return STATUS_REGISTRY_CORRUPT;
        if (className != key.className) {
            NTSTATUS status = image_.SetClass(cell, key.className);
            if (!NT_SUCCESS(status))
                return status;
            changed = true;
        }

        NTSTATUS status = Values(key, cell, node, &changed);
        if (!NT_SUCCESS(status))
            return status;
        status = Subkeys(key, cell, node, &changed);
        if (!NT_SUCCESS(status))
            return status;

        if (!image_.ReadKey(cell, &node))
            return STATUS_REGISTRY_CORRUPT;
        if (changed && (node.MaxName() != key.maxNameLen || node.maxClass != key.maxClassLen ||
                        node.maxValueName != key.maxValueNameLen ||
                        node.maxValueData != key.maxValueDataLen)) {
            status = image_.SetMarks(cell, key.maxNameLen, key.maxClassLen, key.maxValueNameLen,
                                     key.maxValueDataLen);
            if (!NT_SUCCESS(status))
                return status;
        }
        if (node.lastWrite != (uint64_t)key.lastWriteTime)
            return image_.SetLastWrite(cell, (uint64_t)key.lastWriteTime);
        return STATUS_SUCCESS;
    }

    /* New keys and the cells they were given, for after the save. */
    std::vector<std::pair<const reg::Key *, uint32_t>> created;

private:
    NTSTATUS Values(const reg::Key &key, uint32_t cell, const regf::KeyNode &node, bool *changed)
    {
        std::vector<uint32_t> cells;
        if (!image_.ValueCells(node, &cells))
            return STATUS_REGISTRY_CORRUPT;
        std::unordered_map<std::u16string, regf::ValueNode> stored;
        std::vector<std::u16string> storedNames;
        for (uint32_t vk : cells) {
            regf::ValueNode value;
            if (!image_.ReadValue(vk, &value))
                return STATUS_REGISTRY_CORRUPT;
            storedNames.push_back(value.name);
            stored.emplace(Upcase(value.name), std::move(value));
        }
        std::unordered_map<std::u16string, const Value *> wanted;
        for (const Value &value : key.values)
            wanted.emplace(Upcase(value.name), &value);
        for (const std::u16string &name : storedNames) {
            if (wanted.count(Upcase(name)))
                continue;
            NTSTATUS status = image_.DeleteValue(cell, name);
            if (!NT_SUCCESS(status))
                return status;
            *changed = true;
        }
        for (const Value &value : key.values) {
            auto found = stored.find(Upcase(value.name));
            if (found != stored.end() && found->second.name == value.name &&
                found->second.type == value.type && found->second.data == value.data)
                continue;
            NTSTATUS status = image_.SetValue(cell, value.name, value.type, value.data.data(),
                                              value.data.size());
            if (!NT_SUCCESS(status))
                return status;
            *changed = true;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS Subkeys(const reg::Key &key, uint32_t cell, const regf::KeyNode &node, bool *changed)
    {
        std::vector<uint32_t> cells;
        if (!image_.Subkeys(node, &cells))
            return STATUS_REGISTRY_CORRUPT;
        std::unordered_map<uint32_t, bool> claimed;
        for (uint32_t child : cells)
            claimed.emplace(child, false);
        std::vector<std::pair<const reg::Key *, uint32_t>> kept;
        std::vector<const reg::Key *> fresh;
        for (const auto &child : key.subkeys) {
            if (child->isVolatile || child->hiveRoot)
                continue;
            auto found = claimed.find(child->cell);
            regf::KeyNode stored;
            if (found != claimed.end() && !found->second && image_.ReadKey(child->cell, &stored) &&
                stored.name == child->name) {
                found->second = true;
                kept.emplace_back(child.get(), child->cell);
            } else {
                fresh.push_back(child.get());
            }
        }
        for (uint32_t child : cells) {
            if (claimed[child])
                continue;
            NTSTATUS status = image_.DeleteKey(child);
            if (!NT_SUCCESS(status))
                return status;
            *changed = true;
        }
        for (const reg::Key *child : fresh) {
            uint32_t made;
            NTSTATUS status = image_.CreateKey(cell, child->name, child->className, child->isLink,
                                               (uint64_t)child->lastWriteTime, &made);
            if (!NT_SUCCESS(status))
                return status;
            created.emplace_back(child, made);
            kept.emplace_back(child, made);
            *changed = true;
        }
        for (const auto &entry : kept) {
            NTSTATUS status = Key(*entry.first, entry.second);
            if (!NT_SUCCESS(status))
                return status;
        }
        return STATUS_SUCCESS;
    }

    regf::Hive &image_;
};

} // namespace

bool HasHiveImage(const Key &root)
{
    return root.image && root.cell == root.image->RootCell();
}

NTSTATUS SaveHiveInPlace(const std::string &hostPath, const Key &root)
{
    if (hostPath.empty())
        return STATUS_OBJECT_NAME_INVALID;
    try {
        auto copy = std::make_shared<regf::Hive>(*root.image);
        Syncer syncer(*copy);
        NTSTATUS status = syncer.Key(root, root.cell);
        if (!NT_SUCCESS(status))
            return status == STATUS_OBJECT_NAME_COLLISION ? STATUS_INVALID_PARAMETER : status;
        status = copy->Save(hostPath, (uint64_t)RegCurrentTime(), HostSync());
        if (!NT_SUCCESS(status))
            return status;
        for (const auto &entry : syncer.created)
            entry.first->cell = entry.second;
        root.image = std::move(copy);
        return STATUS_SUCCESS;
    } catch (const std::bad_alloc &) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

} // namespace reg
} // namespace sk
