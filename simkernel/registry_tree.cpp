/*
 * registry_tree.cpp - the in-memory registry: the tree of keys and their
 * values, the hives the keys belong to, the simulated clock that stamps
 * last-write times, name resolution, and the direct-access API of
 * registry.h.
 *
 * Names follow NT's registry parse: absolute names go through the object
 * namespace, links and all, to the parse object \REGISTRY; components are
 * matched ignoring case with NT's folding (sk::Upcase), runs of
 * backslashes inside the registry part count as one and trailing ones are
 * dropped, and subkeys are kept in NT's order of upcased names.
 */
#include "simkernel/registry_tree.h"
#include "simkernel/clock.h"
#include "simkernel/object_namespace.h"
#include "simkernel/upcase.h"

#include <algorithm>

namespace sk {
namespace reg {

namespace {

/* What \REGISTRY is in the object namespace: NT's key object with the
 * parse routine that takes key paths. */
struct RootObject : ob::ParseObject {
    ObjectKind Kind() const override { return ObjectKind::Key; }
};

struct RegistryState {
    std::shared_ptr<Key> root;
    std::shared_ptr<RootObject> rootObject;
};

RegistryState &State()
{
    static RegistryState state;
    return state;
}

LONGLONG Tick()
{
    SystemTimeNow();
    return PeekSystemTime();
}

std::u16string UpcaseView(std::u16string_view text)
{
    return Upcase(std::u16string(text));
}

std::shared_ptr<Key> NewKey(std::u16string_view name, std::shared_ptr<Hive> hive)
{
    auto key = std::make_shared<Key>();
    key->name = std::u16string(name);
    key->upcased = UpcaseView(name);
    key->hive = std::move(hive);
    key->lastWriteTime = PeekSystemTime();
    return key;
}

/* Inserts the child in NT's order and keeps the parent's high-water
 * marks; the caller stamps the parent. */
void Link(Key &parent, const std::shared_ptr<Key> &child)
{
    parent.subkeys.Insert(child, child->upcased);
    child->parent = &parent;
    parent.maxNameLen = std::max(parent.maxNameLen, (ULONG)(child->name.size() * sizeof(WCHAR)));
    parent.maxClassLen =
        std::max(parent.maxClassLen, (ULONG)(child->className.size() * sizeof(WCHAR)));
}

void Unlink(Key &key)
{
    Key *parent = key.parent;
    if (!parent)
        return;
    auto &list = parent->subkeys;
    list.Remove(key, key.upcased);
    if (list.empty()) {
        parent->maxNameLen = 0;
        parent->maxClassLen = 0;
    }
    key.parent = nullptr;
}

void MarkSubtreeDeleted(Key &key)
{
    for (const auto &child : key.subkeys)
        MarkSubtreeDeleted(*child);
    key.deleted = true;
}

std::vector<uint8_t> Utf16Bytes(const std::u16string &text)
{
    std::vector<uint8_t> bytes(text.size() * sizeof(char16_t));
    if (!bytes.empty())
        memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

} // namespace

std::shared_ptr<Key> Root()
{
    return State().root;
}

NTSTATUS ParseName(const std::shared_ptr<Key> &root, std::u16string_view name, ParsedName *parsed)
{
    std::u16string_view rest;
    if (root) {
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (root->deleted)
            return STATUS_KEY_DELETED;
        parsed->start = root;
        rest = name;
    } else {
        ob::Lookup lookup;
        NTSTATUS status = ob::LookupName(name, false, &lookup);
        if (!NT_SUCCESS(status))
            return status;
        /* Any other object refuses to be opened as a key. */
        if (lookup.object != State().rootObject)
            return STATUS_OBJECT_TYPE_MISMATCH;
        parsed->storage = std::make_shared<const std::u16string>(std::move(lookup.remainder));
        rest = *parsed->storage;
        parsed->start = Root();
    }
    parsed->components.clear();
    size_t i = 0;
    while (i < rest.size()) {
        if (rest[i] == u'\\') {
            i++;
            continue;
        }
        size_t end = rest.find(u'\\', i);
        if (end == std::u16string_view::npos)
            end = rest.size();
        parsed->components.push_back(rest.substr(i, end - i));
        i = end;
    }
    return STATUS_SUCCESS;
}

bool LinkTarget(const Key &key, std::u16string *target)
{
    for (const Value &value : key.values) {
        if (value.type != REG_LINK || !EqualIgnoringCase(value.name, kLinkValueName))
            continue;
        target->assign(value.data.size() / sizeof(char16_t), u'\0');
        if (!target->empty())
            memcpy(&(*target)[0], value.data.data(), target->size() * sizeof(char16_t));
        return true;
    }
    return false;
}

namespace {

/* The name a walk goes on with after the link key at components[at - 1]:
 * the link's target followed by the components after it. */
NTSTATUS ReparseAtLink(const Key &link, const ParsedName &parsed, size_t at, std::u16string *next)
{
    std::u16string target;
    /* NT reparses only names that start at the root. */
    if (!LinkTarget(link, &target) || target.empty() || target[0] != u'\\')
        return STATUS_OBJECT_NAME_NOT_FOUND;
    size_t restChars = 0;
    for (size_t i = at; i < parsed.components.size(); i++)
        restChars += 1 + parsed.components[i].size();
    if ((target.size() + restChars) * sizeof(WCHAR) > kMaxNameBytes)
        return STATUS_NAME_TOO_LONG;
    *next = std::move(target);
    for (size_t i = at; i < parsed.components.size(); i++) {
        *next += u'\\';
        *next += parsed.components[i];
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS Walk(ParsedName parsed, FinalLink finalLink, Resolved *out, bool createMissing,
              bool createVolatile)
{
    *out = Resolved();
    int reparsesLeft = ob::kMaxLinkReparses;
    for (;;) {
        std::shared_ptr<Key> current = parsed.start;
        const size_t count = parsed.components.size();
        size_t i = 0;
        for (; i < count; i++) {
            std::u16string_view component = parsed.components[i];
            if (component.size() > kMaxKeyNameChars)
                return STATUS_INVALID_PARAMETER;
            const bool last = i + 1 == count;
            std::shared_ptr<Key> child = FindSubkey(*current, component);
            if (!child && createMissing) {
                if (current->isVolatile && !createVolatile)
                    return STATUS_CHILD_MUST_BE_VOLATILE;
                if (KeyDepth(*current) >= kMaxKeyDepth)
                    return STATUS_INVALID_PARAMETER;
                child = AddSubkey(*current, component, createVolatile, std::u16string());
            }
            if (!child) {
                if (last) {
                    out->parent = current;
                    out->leaf = std::u16string(component);
                }
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (child->isLink && (!last || finalLink == FinalLink::Follow)) {
                std::u16string next;
                NTSTATUS status = ReparseAtLink(*child, parsed, i + 1, &next);
                if (!NT_SUCCESS(status))
                    return status;
                if (--reparsesLeft == 0)
                    return STATUS_NAME_TOO_LONG;
                status = ParseName(nullptr, next, &parsed);
                if (!NT_SUCCESS(status))
                    return status;
                out->reparsed = true;
                break;
            }
            current = std::move(child);
        }
        if (i == count) {
            out->key = std::move(current);
            return STATUS_SUCCESS;
        }
    }
}

std::shared_ptr<Key> FindByPath(const std::u16string &path, FinalLink finalLink)
{
    ParsedName parsed;
    Resolved resolved;
    if (!NT_SUCCESS(ParseName(nullptr, path, &parsed)) ||
        !NT_SUCCESS(Walk(parsed, finalLink, &resolved)))
        return nullptr;
    return resolved.key;
}

std::shared_ptr<Key> FindSubkey(const Key &parent, std::u16string_view name)
{
    return parent.subkeys.Find(UpcaseView(name));
}

void Touch(Key &key)
{
    key.lastWriteTime = Tick();
    if (!key.isVolatile)
        key.hive->dirty = true;
}

std::shared_ptr<Key> AddSubkey(Key &parent, std::u16string_view name, bool isVolatile,
                               const std::u16string &className)
{
    std::shared_ptr<Key> key = NewKey(name, parent.hive);
    key->isVolatile = isVolatile;
    key->className = className;
    Link(parent, key);
    Touch(parent);
    key->lastWriteTime = parent.lastWriteTime;
    if (!isVolatile)
        key->hive->dirty = true;
    return key;
}

void DetachKey(Key &key)
{
    Key *parent = key.parent;
    Unlink(key);
    key.deleted = true;
    if (parent)
        Touch(*parent);
}

void RenameKey(Key &key, std::u16string_view name)
{
    Key *parent = key.parent;
    std::shared_ptr<Key> self = parent->subkeys.Find(key.upcased);
    parent->subkeys.Remove(key, key.upcased);
    key.name = std::u16string(name);
    key.upcased = UpcaseView(name);
    Link(*parent, self);
    Touch(*parent);
    key.lastWriteTime = parent->lastWriteTime;
    if (!key.isVolatile)
        key.hive->dirty = true;
}

Value *FindValue(Key &key, std::u16string_view name)
{
    std::u16string wanted(name);
    for (Value &value : key.values) {
        if (EqualIgnoringCase(value.name, wanted))
            return &value;
    }
    return nullptr;
}

void SetValue(Key &key, std::u16string_view name, ULONG type, const uint8_t *data, size_t size)
{
    Value *existing = FindValue(key, name);
    if (existing) {
        /* NT leaves the key untouched when nothing would change. */
        if (existing->type == type && existing->data.size() == size &&
            (size == 0 || memcmp(existing->data.data(), data, size) == 0))
            return;
        existing->type = type;
        existing->data.assign(data, data + size);
    } else {
        Value value;
        value.name = std::u16string(name);
        value.type = type;
        value.data.assign(data, data + size);
        key.values.push_back(std::move(value));
    }
    key.maxValueNameLen = std::max(key.maxValueNameLen, (ULONG)(name.size() * sizeof(WCHAR)));
    key.maxValueDataLen = std::max(key.maxValueDataLen, (ULONG)size);
    Touch(key);
}

bool DeleteValue(Key &key, std::u16string_view name)
{
    Value *value = FindValue(key, name);
    if (!value)
        return false;
    key.values.erase(key.values.begin() + (value - key.values.data()));
    if (key.values.empty()) {
        key.maxValueNameLen = 0;
        key.maxValueDataLen = 0;
    }
    Touch(key);
    return true;
}

size_t KeyDepth(const Key &key)
{
    size_t depth = 1;
    for (const Key *at = key.parent; at; at = at->parent)
        depth++;
    return depth;
}

std::u16string FullPath(const Key &key)
{
    std::vector<const Key *> chain;
    for (const Key *k = &key; k; k = k->parent)
        chain.push_back(k);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += u'\\';
        path += (*it)->name;
    }
    return path;
}

KeyBody::KeyBody(std::shared_ptr<Key> k) : key(std::move(k))
{
    key->hive->openHandles++;
}

void KeyBody::OnHandleClosed()
{
    key->hive->openHandles--;
}

bool HasHiveRootBelow(const Key &key)
{
    for (const auto &child : key.subkeys) {
        if (child->hiveRoot || HasHiveRootBelow(*child))
            return true;
    }
    return false;
}

const Key &HiveRootOf(const Key &key)
{
    const Key *k = &key;
    while (!k->hiveRoot && k->parent)
        k = k->parent;
    return *k;
}

} // namespace reg

using namespace reg;

void ResetRegistry()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    RegistryState &state = State();
    state = RegistryState();
    auto master = std::make_shared<Hive>();
    master->name = u"MASTER";
    state.root = NewKey(u"REGISTRY", master);
    state.root->noDelete = true;
    state.root->hiveRoot = true;
    for (const char16_t *name : {u"MACHINE", u"USER"}) {
        std::shared_ptr<Key> key = NewKey(name, master);
        key->noDelete = true;
        Link(*state.root, key);
    }
    state.rootObject = std::make_shared<RootObject>();
    ob::RemoveObject(u"\\REGISTRY");
    ob::InsertObject(u"\\REGISTRY", state.rootObject, true);
    /* A fresh kernel's export table comes back with its registry. */
    ResetRoutineExports();
}

NTSTATUS RegCreateKey(const std::u16string &path, bool isVolatile)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    ParsedName parsed;
    NTSTATUS status = ParseName(nullptr, path, &parsed);
    if (!NT_SUCCESS(status))
        return status;
    Resolved resolved;
    return Walk(parsed, FinalLink::Follow, &resolved, true, isVolatile);
}

namespace {

/* Where a key of the absolute path would be created: *resolved names its
 * parent and leaf.  STATUS_OBJECT_NAME_COLLISION when the name (or a link
 * of that name) exists, the walk's status when no parent is there. */
NTSTATUS ResolveNewKey(const std::u16string &path, Resolved *resolved)
{
    ParsedName parsed;
    NTSTATUS status = ParseName(nullptr, path, &parsed);
    if (!NT_SUCCESS(status))
        return status;
    status = Walk(parsed, FinalLink::Open, resolved);
    if (NT_SUCCESS(status))
        return STATUS_OBJECT_NAME_COLLISION;
    if (!resolved->parent)
        return status;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS RegCreateLink(const std::u16string &path, const std::u16string &target, bool isVolatile)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    Resolved resolved;
    NTSTATUS status = ResolveNewKey(path, &resolved);
    if (!NT_SUCCESS(status))
        return status;
    if (resolved.parent->isVolatile && !isVolatile)
        return STATUS_CHILD_MUST_BE_VOLATILE;
    std::shared_ptr<Key> link = AddSubkey(*resolved.parent, resolved.leaf, isVolatile, u"");
    link->isLink = true;
    if (!target.empty()) {
        std::vector<uint8_t> data = Utf16Bytes(target);
        SetValue(*link, kLinkValueName, REG_LINK, data.data(), data.size());
    }
    return STATUS_SUCCESS;
}

std::optional<std::u16string> RegLinkTarget(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key = FindByPath(path, FinalLink::Open);
    std::u16string target;
    if (!key || !key->isLink || !LinkTarget(*key, &target))
        return std::nullopt;
    return target;
}

NTSTATUS RegSetUpControlSets(ULONG current)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const std::u16string system = u"\\REGISTRY\\MACHINE\\SYSTEM";
    if (!FindByPath(system))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (current == 0 || current > 999)
        return STATUS_INVALID_PARAMETER;
    std::u16string number = u"000";
    for (size_t i = 3, n = current; i-- > 0; n /= 10)
        number[i] = (char16_t)(u'0' + n % 10);
    const std::u16string controlSet = system + u"\\ControlSet" + number;
    NTSTATUS status = RegCreateKey(controlSet);
    if (!NT_SUCCESS(status))
        return status;
    /* The link is volatile, set up as the system starts: no change of what
     * the hive stores, so the root keeps its time. */
    std::shared_ptr<Key> root = FindByPath(system);
    const LONGLONG rootTime = root->lastWriteTime;
    status = RegCreateLink(system + u"\\CurrentControlSet", controlSet, true);
    root->lastWriteTime = rootTime;
    return status;
}

bool RegKeyExists(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return FindByPath(path) != nullptr;
}

std::vector<std::u16string> RegSubkeys(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::vector<std::u16string> names;
    if (std::shared_ptr<Key> key = FindByPath(path)) {
        for (const auto &child : key->subkeys)
            names.push_back(child->name);
    }
    return names;
}

NTSTATUS RegDeleteTree(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key = FindByPath(path, FinalLink::Open);
    if (!key)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (key->noDelete || HasHiveRootBelow(*key))
        return STATUS_CANNOT_DELETE;
    struct Deleter {
        static void Run(const std::shared_ptr<Key> &k)
        {
            std::vector<std::shared_ptr<Key>> children = k->subkeys.List();
            for (const auto &child : children)
                Run(child);
            DetachKey(*k);
        }
    };
    Deleter::Run(key);
    return STATUS_SUCCESS;
}

std::optional<LONGLONG> RegLastWriteTime(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (std::shared_ptr<Key> key = FindByPath(path))
        return key->lastWriteTime;
    return std::nullopt;
}

std::optional<std::u16string> RegKeyPath(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (std::shared_ptr<Key> key = FindByPath(path))
        return FullPath(*key);
    return std::nullopt;
}

NTSTATUS RegSetValue(const std::u16string &path, const std::u16string &name, ULONG type,
                     const std::vector<uint8_t> &data)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key = FindByPath(path);
    if (!key)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (name.size() > kMaxValueNameChars)
        return STATUS_INVALID_PARAMETER;
    SetValue(*key, name, type, data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS RegSetDword(const std::u16string &path, const std::u16string &name, ULONG value)
{
    std::vector<uint8_t> data(sizeof(value));
    memcpy(data.data(), &value, sizeof(value));
    return RegSetValue(path, name, REG_DWORD, data);
}

NTSTATUS RegSetQword(const std::u16string &path, const std::u16string &name, ULONGLONG value)
{
    std::vector<uint8_t> data(sizeof(value));
    memcpy(data.data(), &value, sizeof(value));
    return RegSetValue(path, name, REG_QWORD, data);
}

NTSTATUS RegSetString(const std::u16string &path, const std::u16string &name,
                      const std::u16string &text, ULONG type)
{
    std::u16string terminated = text;
    terminated.push_back(u'\0');
    return RegSetValue(path, name, type, Utf16Bytes(terminated));
}

NTSTATUS RegSetMultiString(const std::u16string &path, const std::u16string &name,
                           const std::vector<std::u16string> &strings)
{
    std::u16string joined;
    for (const std::u16string &s : strings) {
        joined += s;
        joined.push_back(u'\0');
    }
    joined.push_back(u'\0');
    return RegSetValue(path, name, REG_MULTI_SZ, Utf16Bytes(joined));
}

std::optional<RegValue> RegGetValue(const std::u16string &path, const std::u16string &name)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key = FindByPath(path);
    if (!key)
        return std::nullopt;
    Value *value = FindValue(*key, name);
    if (!value)
        return std::nullopt;
    RegValue result;
    result.type = value->type;
    result.data = value->data;
    return result;
}

std::vector<std::u16string> RegValueNames(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::vector<std::u16string> names;
    if (std::shared_ptr<Key> key = FindByPath(path)) {
        for (const Value &value : key->values)
            names.push_back(value.name);
    }
    return names;
}

NTSTATUS RegDeleteValue(const std::u16string &path, const std::u16string &name)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key = FindByPath(path);
    if (!key)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return DeleteValue(*key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

LONGLONG RegCurrentTime()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return PeekSystemTime();
}

NTSTATUS MountHive(const std::u16string &path, const std::u16string &hiveName,
                   const std::u16string &filePath)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    Resolved resolved;
    NTSTATUS status = ResolveNewKey(path, &resolved);
    if (!NT_SUCCESS(status))
        return status;
    Key *parent = resolved.parent.get();
    auto hive = std::make_shared<Hive>();
    hive->name = hiveName;
    hive->filePath = filePath;
    std::shared_ptr<Key> key = NewKey(resolved.leaf, hive);
    key->hiveRoot = true;
    key->noDelete = true;
    Link(*parent, key);
    /* The link lives in the parent's hive as volatile bookkeeping: the
     * parent's time moves on, its hive stays as clean as it was. */
    parent->lastWriteTime = Tick();
    key->lastWriteTime = parent->lastWriteTime;
    return STATUS_SUCCESS;
}

NTSTATUS UnmountHive(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key = FindByPath(path);
    if (!key)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!key->hiveRoot || !key->parent)
        return STATUS_INVALID_PARAMETER;
    if (key->hive->openHandles != 0 || HasHiveRootBelow(*key))
        return STATUS_CANNOT_DELETE;
    Key *parent = key->parent;
    Unlink(*key);
    MarkSubtreeDeleted(*key);
    parent->lastWriteTime = Tick();
    return STATUS_SUCCESS;
}

std::optional<HiveInfo> RegHiveOf(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key = FindByPath(path);
    if (!key)
        return std::nullopt;
    HiveInfo info;
    info.name = key->hive->name;
    info.filePath = key->hive->filePath;
    info.mountPath = FullPath(HiveRootOf(*key));
    info.dirty = key->hive->dirty;
    return info;
}

NTSTATUS RegMarkHiveClean(const std::u16string &path)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::shared_ptr<Key> key = FindByPath(path);
    if (!key)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    key->hive->dirty = false;
    return STATUS_SUCCESS;
}

} // namespace sk
