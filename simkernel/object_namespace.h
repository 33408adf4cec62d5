/*
 * object_namespace.h - the object manager's namespace: object directories,
 * symbolic-link objects, and the objects that parse the rest of a name
 * themselves (the registry root, devices such as volumes).
 *
 * Names are parsed as NT parses them: from the root directory, component by
 * component, ignoring case (NT's folding), following every symbolic link
 * met on the way, until the name ends or an object that parses names of
 * its own is reached; that object gets the unparsed rest.  Internal to
 * simkernel; callers hold the kernel lock.
 */
#pragma once

#include "simkernel/internal.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace sk {
namespace ob {

/* An object that takes over the rest of a name: \REGISTRY parses key
 * paths, a volume device parses file paths. */
struct ParseObject : Object {
    /* The object's own full name, e.g. \Device\HarddiskVolume1; set by
     * InsertObject. */
    std::u16string fullName;
    std::u16string ObjectName() const override { return fullName; }
};

struct Directory : Object {
    ObjectKind Kind() const override { return ObjectKind::ObjectDirectory; }
    std::u16string ObjectName() const override { return fullName; }
    struct Entry {
        std::u16string name; /* as inserted */
        std::shared_ptr<Object> object;
    };
    /* Keyed by the upcased name. */
    std::map<std::u16string, Entry> entries;
    std::u16string fullName;
};

struct SymbolicLink : Object {
    ObjectKind Kind() const override { return ObjectKind::SymbolicLink; }
    std::u16string ObjectName() const override { return fullName; }
    void OnHandleClosed() override;
    /* Empty while the link has no name (never inserted, or removed). */
    std::u16string fullName;
    /* The target, LinkTarget->Length bytes of it. */
    std::u16string target;
    /* What the creator's buffer held past Length up to MaximumLength (a
     * NUL, usually): NT keeps it and hands it back to a query that asks
     * for the returned length. */
    std::u16string slack;
    /* A temporary link leaves the namespace when its last handle closes. */
    bool permanent = false;
    size_t handles = 0;
    /* Where the link is inserted: its directory and its key there. */
    std::weak_ptr<Directory> directory;
    std::u16string key;
};

/* What a lookup reached. */
struct Lookup {
    std::shared_ptr<Object> object;
    /* The rest of the name that the object is to parse: empty, or starting
     * with a backslash. */
    std::u16string remainder;
    /* The object's name after every link was followed, e.g.
     * \Device\HarddiskVolume1 for \??\C: */
    std::u16string resolvedName;
};

/* NT's budget of reparses for one lookup (OBJ_MAX_REPARSE_ATTEMPTS): the
 * 32nd symbolic link followed fails the lookup with
 * STATUS_OBJECT_NAME_NOT_FOUND, so a chain of 31 links still resolves. */
constexpr int kMaxLinkReparses = 32;

/*
 * Looks an absolute name up.  openLink: a symbolic link named by the last
 * component is returned itself rather than followed, as NT does when the
 * object type asked for is the symbolic-link type (ZwOpenSymbolicLinkObject);
 * OBJ_OPENLINK plays no part in it.  Statuses as NT:
 * STATUS_OBJECT_PATH_SYNTAX_BAD for a name that does not start with a
 * backslash, STATUS_OBJECT_NAME_INVALID for an empty component,
 * STATUS_OBJECT_NAME_NOT_FOUND when the last component is missing (or the
 * links run out), STATUS_OBJECT_PATH_NOT_FOUND when one before it is,
 * STATUS_OBJECT_TYPE_MISMATCH when a name goes on below an object that is
 * neither a directory nor a parse object, STATUS_NAME_TOO_LONG when a
 * link's target and the rest of the name exceed what a name may hold.
 */
NTSTATUS LookupName(std::u16string_view name, bool openLink, Lookup *out);

/* Inserts an object under an absolute name whose parent directory exists
 * (links on the way are followed, and so is a final link unless the object
 * is itself a link: NT inserts a directory or device named after a link at
 * the link's target).  STATUS_OBJECT_NAME_COLLISION when the name is taken,
 * STATUS_OBJECT_TYPE_MISMATCH below a parse object.  Sets
 * the object's full name when it is a directory, link or parse object.
 * permanent matters for a symbolic link only; other objects stay until
 * removed. */
NTSTATUS InsertObject(std::u16string_view fullName, std::shared_ptr<Object> object,
                      bool permanent);
/* Removes the named entry (not following a final link).  Handles open to
 * the object stay valid. */
NTSTATUS RemoveObject(std::u16string_view fullName);
/* Takes a link's name out of the namespace: a temporary link whose last
 * handle closed, or a link deleted.  Nothing when it has no name. */
void Unname(SymbolicLink &link);

/* The namespace of a fresh machine: \, \GLOBAL?? (the DOS device
 * directory, which \?? and the link \DosDevices reach, with its links
 * GLOBALROOT and Global), \Device, \ArcName.  \REGISTRY is inserted by
 * ResetRegistry, after this. */
void ResetNamespace();

} // namespace ob
} // namespace sk
