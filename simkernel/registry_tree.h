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
namespace reg {

/* NT refuses a key name component longer than this many characters, and a
 * value name longer than the other. */
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

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
    bool deleted = false;
    LONGLONG lastWriteTime = 0;
    /* NT keeps these as high-water marks, reset only when the last subkey
     * or value goes; all in bytes. */
    ULONG maxNameLen = 0;
    ULONG maxClassLen = 0;
    ULONG maxValueNameLen = 0;
    ULONG maxValueDataLen = 0;
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

/* Walks the components.  On STATUS_SUCCESS *found is the key named.  When
 * only the last component is missing the answer is
 * STATUS_OBJECT_NAME_NOT_FOUND with *parent set to the key that would hold
 * it, so that a create can go on; otherwise *parent is left null. */
NTSTATUS Walk(const ParsedName &parsed, std::shared_ptr<Key> *found, std::shared_ptr<Key> *parent);

/* Parses and walks an absolute path, for the direct-access API. */
std::shared_ptr<Key> FindByPath(const std::u16string &path);

std::shared_ptr<Key> Root();
std::shared_ptr<Key> FindSubkey(const Key &parent, std::u16string_view name);
/* Creates a subkey known to be missing and stamps the parent; checks
 * nothing. */
std::shared_ptr<Key> AddSubkey(Key &parent, std::u16string_view name, bool isVolatile,
                               const std::u16string &className);
/* Unlinks a key without subkeys from its parent and marks it deleted. */
void DetachKey(Key &key);
Value *FindValue(Key &key, std::u16string_view name);
/* Sets or replaces a value as ZwSetValueKey does. */
void SetValue(Key &key, std::u16string_view name, ULONG type, const uint8_t *data, size_t size);
/* Removes a value; false when there is none of that name. */
bool DeleteValue(Key &key, std::u16string_view name);
std::u16string FullPath(const Key &key);

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
