/*
 * registry_tree.h - the in-memory registry that the Zw key routines and the
 * direct-access API share: keys, values, hives, the simulated clock, and
 * the resolution of a name to a key.  Internal to simkernel; callers hold
 * the kernel lock.
 */
#pragma once

#include "simkernel/internal.h"
#include "simkernel/registry.h"

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

struct Key {
    std::u16string name;    /* as created */
    std::u16string upcased; /* what lookups and the subkey order use */
    std::u16string className;
    Key *parent = nullptr;                     /* null for \REGISTRY and for a deleted key */
    std::vector<std::shared_ptr<Key>> subkeys; /* sorted by upcased name */
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
