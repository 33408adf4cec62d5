/*
 * registry_tree.h - the in-memory registry that the Zw key routines and the
 * direct-access API share: keys, values, hives, the simulated clock, and
 * the resolution of a name to a key.  Internal to simkernel; callers hold
 * the kernel lock.
 */
#pragma once

#include "simkernel/internal.h"
#include "simkernel/registry.h"

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>

#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sk {
namespace regf {
class Hive;
}
namespace reg {

/* NT refuses a key name component longer than this many characters, and a
 * value name longer than the other. */
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
/* The most a counted name holds; a link whose target and the rest of the
 * name would not fit is refused. */
constexpr size_t kMaxNameBytes = 0xFFFE;
/* NT nests keys at most this deep, counting the components of a key's full
 * name from REGISTRY on; a deeper key is refused with
 * STATUS_INVALID_PARAMETER. */
constexpr size_t kMaxKeyDepth = 512;
/* The value that holds a link key's target, and the only one it may have. */
constexpr char16_t kLinkValueName[] = u"SymbolicLinkValue";

struct Hive {
    std::u16string name;
    std::u16string filePath;
    bool dirty = false;
    /* Handles open to keys of this hive, deleted keys included. */
    size_t openHandles = 0;
};

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key;

/*
 * The subkeys of a key, in NT's order of upcased names: found, added and
 * removed by name, and taken by their place in that order (what
 * ZwEnumerateKey's index counts), each in O(log n).
 */
class Subkeys {
    using Tree = __gnu_pbds::tree<std::u16string, std::shared_ptr<Key>, std::less<std::u16string>,
                                  __gnu_pbds::rb_tree_tag,
                                  __gnu_pbds::tree_order_statistics_node_update>;

public:
    /* Walks the subkeys in order, as shared pointers. */
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::shared_ptr<Key>;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::shared_ptr<Key> *;
        using reference = const std::shared_ptr<Key> &;
        const_iterator() = default;
        explicit const_iterator(Tree::const_iterator at) : at_(at) {}
        reference operator*() const { return at_->second; }
        pointer operator->() const { return &at_->second; }
        const_iterator &operator++()
        {
            ++at_;
            return *this;
        }
        bool operator==(const const_iterator &other) const { return at_ == other.at_; }
        bool operator!=(const const_iterator &other) const { return at_ != other.at_; }

    private:
        Tree::const_iterator at_;
    };

    Subkeys() = default;
    Subkeys(const Subkeys &) = delete;
    Subkeys &operator=(const Subkeys &) = delete;
    Subkeys(Subkeys &&other) noexcept { tree_.swap(other.tree_); }
    Subkeys &operator=(Subkeys &&other) noexcept
    {
        Tree gone;
        gone.swap(other.tree_);
        tree_.swap(gone);
        return *this;
    }

    size_t size() const { return tree_.size(); }
    bool empty() const { return tree_.empty(); }
    const_iterator begin() const { return const_iterator(tree_.begin()); }
    const_iterator end() const { return const_iterator(tree_.end()); }
    /* The subkey at that place in NT's order; null past the end. */
    std::shared_ptr<Key> At(size_t index) const
    {
        auto at = tree_.find_by_order(index);
        return at == tree_.end() ? nullptr : at->second;
    }
    std::shared_ptr<Key> operator[](size_t index) const { return At(index); }
    /* The subkey of that upcased name, or null. */
    std::shared_ptr<Key> Find(const std::u16string &upcased) const
    {
        auto at = tree_.find(upcased);
        return at == tree_.end() ? nullptr : at->second;
    }
    /* Adds a subkey under its upcased name; false, and nothing added,
     * when one of that name is there. */
    bool Insert(const std::shared_ptr<Key> &key, const std::u16string &upcased)
    {
        return tree_.insert(std::make_pair(upcased, key)).second;
    }
    /* Removes the subkey of that upcased name if it is this key. */
    void Remove(const Key &key, const std::u16string &upcased)
    {
        auto at = tree_.find(upcased);
        if (at != tree_.end() && at->second.get() == &key)
            tree_.erase(at);
    }
    void Clear() { Tree().swap(tree_); }
    std::vector<std::shared_ptr<Key>> List() const
    {
        std::vector<std::shared_ptr<Key>> list;
        list.reserve(tree_.size());
        for (const auto &entry : tree_)
            list.push_back(entry.second);
        return list;
    }

private:
    Tree tree_;
};

struct Key {
    std::u16string name;    /* as created */
    std::u16string upcased; /* what lookups and the subkey order use */
    std::u16string className;
    Key *parent = nullptr;                     /* null for \REGISTRY and for a deleted key */
    Subkeys subkeys;
    std::vector<Value> values;                 /* in insertion order */
    std::shared_ptr<Hive> hive;
    bool isVolatile = false;
    bool noDelete = false; /* \REGISTRY, MACHINE, USER and hive roots */
    bool hiveRoot = false;
    /* A link key (REG_OPTION_CREATE_LINK): names through it go on at the
     * REG_LINK value SymbolicLinkValue; it never has subkeys. */
    bool isLink = false;
    bool deleted = false;
    LONGLONG lastWriteTime = 0;
    /* NT keeps these as high-water marks, reset only when the last subkey
     * or value goes; all in bytes. */
    ULONG maxNameLen = 0;
    ULONG maxClassLen = 0;
    ULONG maxValueNameLen = 0;
    ULONG maxValueDataLen = 0;
    /* Where the key is in the image of the file its hive was read from
     * (0xFFFFFFFF for a key made since), and, at a hive's root, that image.
     * A save edits the image to match the tree and brings both up to
     * date, so they change under a const tree. */
    mutable uint32_t cell = 0xFFFFFFFF;
    mutable std::shared_ptr<regf::Hive> image;
};

/* A name taken apart: the key the walk starts at and the components left
 * to walk from there. */
struct ParsedName {
    std::shared_ptr<Key> start;
    std::vector<std::u16string_view> components;
    /* The part of the name the namespace left to the registry, which links
     * may have rewritten; components of an absolute name point into it. */
    std::shared_ptr<const std::u16string> storage;
};

/* Takes a captured object name apart.  Without a root key the name is
 * absolute and is looked up in the object namespace, where it has to reach
 * \REGISTRY (links followed); with one it is relative to that key and the
 * views point into name. */
NTSTATUS ParseName(const std::shared_ptr<Key> &root, std::u16string_view name, ParsedName *parsed);

/* How a walk treats a link key named by the last component: followed like
 * every link before it, or taken as itself (OBJ_OPENLINK). */
enum class FinalLink { Follow, Open };

/* Where a walk ended. */
struct Resolved {
    std::shared_ptr<Key> key; /* the key named, on STATUS_SUCCESS */
    /* When only the last component is missing (STATUS_OBJECT_NAME_NOT_FOUND):
     * the key that would hold it, and that component; otherwise null. */
    std::shared_ptr<Key> parent;
    std::u16string leaf;
    /* A link was followed, so the name was parsed again from \REGISTRY and
     * the root key it started at no longer plays a part. */
    bool reparsed = false;
};

/* Walks the components, following every link key met on the way (a link at
 * the last component only with FinalLink::Follow): the rest of the name
 * goes on at the link's target, parsed again from the object namespace.
 * A link without a target, or with one that is not an absolute name,
 * answers STATUS_OBJECT_NAME_NOT_FOUND; a target that with the rest of the
 * name would not fit a counted string, and the 32nd link followed in one
 * walk, answer STATUS_NAME_TOO_LONG.  With createMissing, missing keys are
 * created on the way (the direct API's RegCreateKey), volatile when
 * createVolatile is set. */
NTSTATUS Walk(ParsedName parsed, FinalLink finalLink, Resolved *out, bool createMissing = false,
              bool createVolatile = false);

/* The link key's target: the REG_LINK data of its value SymbolicLinkValue,
 * in whole characters; false when it has none. */
bool LinkTarget(const Key &key, std::u16string *target);

/* Parses and walks an absolute path, for the direct-access API; links are
 * followed, the last component's too unless finalLink says otherwise. */
std::shared_ptr<Key> FindByPath(const std::u16string &path,
                                FinalLink finalLink = FinalLink::Follow);

std::shared_ptr<Key> Root();
std::shared_ptr<Key> FindSubkey(const Key &parent, std::u16string_view name);
/* Creates a subkey known to be missing and stamps the parent; checks
 * nothing. */
std::shared_ptr<Key> AddSubkey(Key &parent, std::u16string_view name, bool isVolatile,
                               const std::u16string &className);
/* Unlinks a key without subkeys from its parent and marks it deleted. */
void DetachKey(Key &key);
/* Gives a key a new name in place: its parent's subkeys are sorted again,
 * the key and its parent stamped as changed.  Checks nothing. */
void RenameKey(Key &key, std::u16string_view name);
Value *FindValue(Key &key, std::u16string_view name);
/* Sets or replaces a value as ZwSetValueKey does. */
void SetValue(Key &key, std::u16string_view name, ULONG type, const uint8_t *data, size_t size);
/* Removes a value; false when there is none of that name. */
bool DeleteValue(Key &key, std::u16string_view name);
std::u16string FullPath(const Key &key);
/* The components of the key's full name: 1 for \REGISTRY. */
size_t KeyDepth(const Key &key);
/* Whether a hive is mounted anywhere below the key. */
bool HasHiveRootBelow(const Key &key);
/* The root of the hive the key belongs to. */
const Key &HiveRootOf(const Key &key);

/* Advances the simulated clock and stamps the key as changed. */
void Touch(Key &key);

/* What a key handle refers to: NT's key body. */
struct KeyBody : Object {
    explicit KeyBody(std::shared_ptr<Key> k);
    ObjectKind Kind() const override { return ObjectKind::Key; }
    void OnHandleClosed() override;
    std::shared_ptr<Key> key;
};

} // namespace reg
} // namespace sk
