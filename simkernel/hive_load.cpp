/*
 * hive_load.cpp - ZwLoadKey and ZwUnloadKey, the flush of a hive to its
 * file, and the power loss.
 *
 * A hive file is opened as NT opens it (through links and volumes), read
 * whole into a detached tree, and that tree is grafted onto the root of a
 * new hive mounted at the target path.  NT's refusals: an occupied mount
 * point, a missing file, a file that is no hive or a damaged one, a file
 * already loaded elsewhere, and an unload while handles are open into the
 * hive.  An unload writes a dirty hive back first, as NT's does.
 */
#include "simkernel/hive_load.h"
#include "simkernel/hive_file.h"
#include "simkernel/internal.h"
#include "simkernel/registry.h"
#include "simkernel/registry_tree.h"
#include "simkernel/upcase.h"
#include "simkernel/volume.h"

#include <algorithm>
#include <map>


namespace sk {

using reg::Hive;
using reg::Key;

namespace {

struct LoadedHive {
    std::u16string mountPath; /* as the loader was given it */
    std::string hostPath;
    /* The file's name as the loader was given it; its tail goes to the
     * base block when the hive is written. */
    std::u16string sourceName;
    std::weak_ptr<Hive> hive;
};

struct LoadState {
    HiveFileReader reader;
    bool acceptDirty = false;
    /* By upcased mount path. */
    std::map<std::u16string, LoadedHive> loaded;
};

LoadState &State()
{
    static LoadState *state = new LoadState;
    return *state;
}

NTSTATUS CaptureAbsoluteName(const char *routine, POBJECT_ATTRIBUTES attributes,
                             std::u16string *name)
{
    if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES) || !attributes->ObjectName) {
        Violation("%s: malformed object attributes", routine);
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes->RootDirectory)
        return STATUS_NOT_IMPLEMENTED;
    const UNICODE_STRING *s = attributes->ObjectName;
    if ((s->Length & 1) || (s->Length && !s->Buffer))
        return STATUS_OBJECT_NAME_INVALID;
    name->assign(s->Buffer ? s->Buffer : u"", s->Length / sizeof(WCHAR));
    while (name->size() > 1 && name->back() == u'\\')
        name->pop_back();
    return STATUS_SUCCESS;
}

/* The host file behind an NT file name, found as an open would find it. */
NTSTATUS HostFileOf(POBJECT_ATTRIBUTES source, std::string *hostPath)
{
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io;
    OBJECT_ATTRIBUTES attributes = *source;
    attributes.Attributes |= OBJ_KERNEL_HANDLE;
    NTSTATUS status = ZwOpenFile(&handle, FILE_READ_DATA | SYNCHRONIZE, &attributes, &io,
                                 FILE_SHARE_READ,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<fs::FileObject> file;
    status = fs::ReferenceFile(handle, 0, &file);
    if (NT_SUCCESS(status))
        *hostPath = fs::HostPath(*file->volume, file->path);
    ZwClose(handle);
    return status;
}

/* A tree from the keys an installed reader gives, built with the
 * registry's own routines on a hive of its own. */
NTSTATUS TreeFromKeys(const std::vector<HiveFileKey> &keys, std::shared_ptr<Key> *tree)
{
    auto root = std::make_shared<Key>();
    root->hive = std::make_shared<Hive>();
    root->hiveRoot = true;
    root->noDelete = true;
    root->lastWriteTime = RegCurrentTime();
    for (const HiveFileKey &entry : keys) {
        Key *at = root.get();
        for (size_t i = 0; i < entry.path.size();) {
            size_t end = entry.path.find(u'\\', i);
            if (end == std::u16string::npos)
                end = entry.path.size();
            const std::u16string_view name(entry.path.data() + i, end - i);
            i = end + 1;
            if (name.empty())
                continue;
            if (name.size() > reg::kMaxKeyNameChars)
                return STATUS_REGISTRY_CORRUPT;
            std::shared_ptr<Key> child = reg::FindSubkey(*at, name);
            if (!child)
                child = reg::AddSubkey(*at, name, false, std::u16string());
            at = child.get();
        }
        for (const HiveFileValue &value : entry.values) {
            if (value.name.size() > reg::kMaxValueNameChars)
                return STATUS_REGISTRY_CORRUPT;
            reg::SetValue(*at, value.name, value.type, value.data.data(), value.data.size());
        }
    }
    *tree = std::move(root);
    return STATUS_SUCCESS;
}

/* What the file at hostPath holds, as a tree that belongs to no hive yet. */
NTSTATUS ReadDetached(const std::string &hostPath, std::shared_ptr<Key> *tree)
{
    if (!State().reader) {
        regf::HiveReadOptions options;
        options.acceptDirty = State().acceptDirty;
        return reg::ReadHiveFile(hostPath, tree, nullptr, nullptr, options);
    }
    std::vector<HiveFileKey> keys;
    NTSTATUS status = State().reader(hostPath, &keys);
    if (!NT_SUCCESS(status))
        return status;
    return TreeFromKeys(keys, tree);
}

void SetHive(Key &key, const std::shared_ptr<Hive> &hive)
{
    key.hive = hive;
    for (const auto &child : key.subkeys)
        SetHive(*child, hive);
}

/* Gives root what the tree's root holds, its subkeys included, all of it
 * in root's hive.  root keeps its name and its place. */
void Graft(Key &root, Key &tree)
{
    root.className = std::move(tree.className);
    root.values = std::move(tree.values);
    root.lastWriteTime = tree.lastWriteTime;
    root.maxNameLen = tree.maxNameLen;
    root.maxClassLen = tree.maxClassLen;
    root.maxValueNameLen = tree.maxValueNameLen;
    root.maxValueDataLen = tree.maxValueDataLen;
    root.cell = tree.cell;
    root.image = std::move(tree.image);
    root.subkeys = std::move(tree.subkeys);
    tree.subkeys.Clear();
    for (const auto &child : root.subkeys) {
        child->parent = &root;
        SetHive(*child, root.hive);
    }
}

/* Marks a key and the keys beneath it in its hive deleted and unlinks them
 * from each other; roots of hives mounted inside are left alone. */
void Discard(Key &key)
{
    for (const auto &child : key.subkeys) {
        if (!child->hiveRoot)
            Discard(*child);
    }
    key.subkeys.Clear();
    key.parent = nullptr;
    key.deleted = true;
}

/* The same for a hive that goes whole, with the hives mounted inside it. */
void DiscardAll(Key &key)
{
    for (const auto &child : key.subkeys)
        DiscardAll(*child);
    key.subkeys.Clear();
    key.parent = nullptr;
    key.deleted = true;
}

void InsertSorted(Key &parent, const std::shared_ptr<Key> &child)
{
    parent.subkeys.Insert(child, child->upcased);
    child->parent = &parent;
}

const LoadedHive *RecordOf(const Hive &hive)
{
    for (const auto &entry : State().loaded) {
        if (entry.second.hive.lock().get() == &hive)
            return &entry.second;
    }
    return nullptr;
}

/* The host file a hive is kept in, and the name its base block records;
 * an empty path for a hive without a file. */
std::string FileOf(const Hive &hive, std::u16string *baseName)
{
    if (const LoadedHive *record = RecordOf(hive)) {
        *baseName = record->sourceName;
        return record->hostPath;
    }
    *baseName = hive.filePath;
    return hive.filePath.empty() ? std::string() : fs::HostName(hive.filePath);
}

NTSTATUS WriteHive(const Key &root)
{
    std::u16string baseName;
    const std::string file = FileOf(*root.hive, &baseName);
    if (!file.empty()) {
        NTSTATUS status = reg::WriteHiveFile(file, root, baseName);
        if (!NT_SUCCESS(status))
            return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_REGISTRY_IO_FAILED;
    }
    root.hive->dirty = false;
    return STATUS_SUCCESS;
}

/* ---- power loss ------------------------------------------------------ */

struct Nested {
    std::vector<std::u16string> chain; /* names from the outer hive's root to the parent */
    std::shared_ptr<Key> root;
};

void CollectNested(const Key &key, std::vector<std::u16string> &chain, std::vector<Nested> *out)
{
    for (const auto &child : key.subkeys) {
        if (child->hiveRoot) {
            out->push_back({chain, child});
            continue;
        }
        chain.push_back(child->name);
        CollectNested(*child, chain, out);
        chain.pop_back();
    }
}

void ResetMarks(Key &key)
{
    key.maxNameLen = key.maxClassLen = 0;
    for (const auto &child : key.subkeys) {
        key.maxNameLen = std::max(key.maxNameLen, (ULONG)(child->name.size() * sizeof(WCHAR)));
        key.maxClassLen =
            std::max(key.maxClassLen, (ULONG)(child->className.size() * sizeof(WCHAR)));
    }
    key.maxValueNameLen = key.maxValueDataLen = 0;
}

/* A hive without a file keeps the keys NT makes and those that lead to
 * mounted hives, with no values; true when key is to stay. */
bool Prune(Key &key)
{
    std::vector<std::shared_ptr<Key>> kept;
    for (const auto &child : key.subkeys) {
        if (child->hiveRoot || Prune(*child))
            kept.push_back(child);
        else
            Discard(*child);
    }
    key.subkeys.Clear();
    for (const auto &child : kept)
        key.subkeys.Insert(child, child->upcased);
    key.values.clear();
    ResetMarks(key);
    return key.noDelete || !key.subkeys.empty();
}

void Restore(Key &root)
{
    std::vector<Nested> nested;
    std::vector<std::u16string> chain;
    CollectNested(root, chain, &nested);

    std::u16string baseName;
    const std::string file = FileOf(*root.hive, &baseName);
    if (file.empty()) {
        Prune(root);
    } else {
        std::shared_ptr<Key> fresh;
        if (!NT_SUCCESS(ReadDetached(file, &fresh))) {
            fresh = std::make_shared<Key>();
            fresh->lastWriteTime = root.lastWriteTime;
        }
        for (const auto &child : root.subkeys) {
            if (!child->hiveRoot)
                Discard(*child);
        }
        Graft(root, *fresh);
        /* Mounted hives hang from their parent again if the file has it;
         * a key of the file in the way gives way to the mounted hive. */
        for (const Nested &inner : nested) {
            Key *parent = &root;
            for (const std::u16string &name : inner.chain) {
                std::shared_ptr<Key> next = parent ? reg::FindSubkey(*parent, name) : nullptr;
                parent = next.get();
            }
            if (!parent) {
                DiscardAll(*inner.root);
                continue;
            }
            if (std::shared_ptr<Key> inTheWay = reg::FindSubkey(*parent, inner.root->name)) {
                parent->subkeys.Remove(*inTheWay, inTheWay->upcased);
                Discard(*inTheWay);
            }
            InsertSorted(*parent, inner.root);
        }
    }
    root.hive->dirty = false;
    for (const Nested &inner : nested) {
        if (!inner.root->deleted)
            Restore(*inner.root);
    }
}

size_t OpenKeyHandles(const Key &key)
{
    size_t open = key.hive->openHandles;
    std::vector<const Key *> pending{&key};
    while (!pending.empty()) {
        const Key *k = pending.back();
        pending.pop_back();
        for (const auto &child : k->subkeys) {
            if (child->hiveRoot)
                open += OpenKeyHandles(*child);
            else
                pending.push_back(child.get());
        }
    }
    return open;
}

} // namespace

void SetHiveFileReader(HiveFileReader reader)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    State().reader = std::move(reader);
}

void SetDirtyHivesAccepted(bool accept)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    State().acceptDirty = accept;
}

std::vector<std::pair<std::u16string, std::string>> LoadedHives()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::vector<std::pair<std::u16string, std::string>> hives;
    for (const auto &entry : State().loaded)
        hives.emplace_back(entry.second.mountPath, entry.second.hostPath);
    return hives;
}

void ResetHiveLoads()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    State().loaded.clear();
    State().reader = nullptr;
    State().acceptDirty = false;
}

NTSTATUS FlushHiveOf(const std::shared_ptr<Key> &key)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (key->deleted)
        return STATUS_KEY_DELETED;
    if (!key->hive->dirty)
        return STATUS_SUCCESS;
    try {
        return WriteHive(HiveRootOf(*key));
    } catch (const std::bad_alloc &) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

void RegLosePower()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> root = reg::Root();
    if (const size_t open = OpenKeyHandles(*root))
        Violation("RegLosePower: %zu key handle(s) open at the power loss", open);
    Restore(*root);
    /* Hives whose mount point went are loaded no more. */
    for (auto it = State().loaded.begin(); it != State().loaded.end();) {
        std::shared_ptr<Hive> hive = it->second.hive.lock();
        std::shared_ptr<Key> mounted = reg::FindByPath(it->second.mountPath);
        if (!hive || !mounted || !mounted->hiveRoot || mounted->hive != hive)
            it = State().loaded.erase(it);
        else
            ++it;
    }
}

} // namespace sk

using namespace sk;

NTSTATUS NTAPI ZwLoadKey(POBJECT_ATTRIBUTES TargetKey, POBJECT_ATTRIBUTES SourceFile)
{
    SK_ENTER("ZwLoadKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::u16string target;
    NTSTATUS status = CaptureAbsoluteName("ZwLoadKey", TargetKey, &target);
    if (!NT_SUCCESS(status))
        return status;
    if (!SourceFile || SourceFile->Length != sizeof(OBJECT_ATTRIBUTES) || !SourceFile->ObjectName) {
        Violation("ZwLoadKey: malformed object attributes");
        return STATUS_INVALID_PARAMETER;
    }
    if (RegKeyExists(target))
        return STATUS_OBJECT_NAME_COLLISION;

    std::string hostPath;
    status = HostFileOf(SourceFile, &hostPath);
    if (!NT_SUCCESS(status))
        return status;
    for (const auto &entry : State().loaded) {
        if (entry.second.hostPath == hostPath)
            return STATUS_SHARING_VIOLATION; /* NT holds a loaded hive's file exclusively */
    }

    std::shared_ptr<Key> tree;
    try {
        status = ReadDetached(hostPath, &tree);
    } catch (const std::bad_alloc &) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status))
        return status;

    const std::u16string hiveName = target.substr(target.rfind(u'\\') + 1);
    const std::u16string filePath =
        fs::NtName(hostPath).value_or(std::u16string(hostPath.begin(), hostPath.end()));
    status = MountHive(target, hiveName, filePath);
    if (!NT_SUCCESS(status))
        return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND : status;
    std::shared_ptr<Key> root = reg::FindByPath(target);
    Graft(*root, *tree);
    root->hive->dirty = false;

    const UNICODE_STRING *source = SourceFile->ObjectName;
    LoadedHive record;
    record.mountPath = target;
    record.hostPath = hostPath;
    record.sourceName.assign(source->Buffer ? source->Buffer : u"", source->Length / sizeof(WCHAR));
    record.hive = root->hive;
    State().loaded[Upcase(target)] = std::move(record);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwUnloadKey(POBJECT_ATTRIBUTES TargetKey)
{
    SK_ENTER("ZwUnloadKey");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::u16string target;
    NTSTATUS status = CaptureAbsoluteName("ZwUnloadKey", TargetKey, &target);
    if (!NT_SUCCESS(status))
        return status;
    auto found = State().loaded.find(Upcase(target));
    if (found == State().loaded.end())
        return RegKeyExists(target) ? STATUS_INVALID_PARAMETER : STATUS_OBJECT_NAME_NOT_FOUND;
    std::shared_ptr<Key> root = reg::FindByPath(found->second.mountPath);
    if (!root || !root->hiveRoot)
        return STATUS_INVALID_PARAMETER;
    if (root->hive->openHandles != 0 || HasHiveRootBelow(*root))
        return STATUS_CANNOT_DELETE;
    /* What has not been written yet is written now; a hive that cannot be
     * written stays loaded rather than lose it. */
    if (root->hive->dirty) {
        try {
            status = WriteHive(*root);
        } catch (const std::bad_alloc &) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    status = UnmountHive(found->second.mountPath);
    if (!NT_SUCCESS(status))
        return status;
    State().loaded.erase(found);
    return STATUS_SUCCESS;
}
