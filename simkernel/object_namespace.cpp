/*
 * object_namespace.cpp - the object directories and the parse of a name
 * through them: components matched ignoring case, symbolic links followed
 * wherever they stand in the name, \?? taken as the DOS device directory,
 * and the hand-over of the rest of the name to a parse object.  Also the
 * namespace part of objects.h.
 */
#include "simkernel/object_namespace.h"
#include "simkernel/objects.h"
#include "simkernel/upcase.h"

namespace sk {
namespace ob {

namespace {

const std::u16string kDosDevicesName = u"\\GLOBAL??";
/* NT refuses to reparse into a name longer than this many bytes. */
constexpr size_t kMaxReparsedNameBytes = 0xFFF0;

struct NamespaceState {
    std::shared_ptr<Directory> root;
    std::shared_ptr<Directory> dosDevices;
};

std::shared_ptr<Directory> NewDirectory()
{
    return std::make_shared<Directory>();
}

std::shared_ptr<SymbolicLink> NewSystemLink(const std::u16string &target)
{
    auto link = std::make_shared<SymbolicLink>();
    link->target = target;
    /* The system creates its links from NUL-terminated strings. */
    link->slack = std::u16string(1, u'\0');
    return link;
}

void Build(NamespaceState &state)
{
    state.root = NewDirectory();
    state.root->fullName = u"\\";
    state.dosDevices = NewDirectory();
    InsertObject(kDosDevicesName, state.dosDevices, true);
    InsertObject(u"\\Device", NewDirectory(), true);
    InsertObject(u"\\ArcName", NewDirectory(), true);
    InsertObject(u"\\DosDevices", NewSystemLink(u"\\??"), true);
    InsertObject(u"\\GLOBAL??\\GLOBALROOT", NewSystemLink(u""), true);
    InsertObject(u"\\GLOBAL??\\Global", NewSystemLink(kDosDevicesName), true);
}

NamespaceState &State()
{
    static NamespaceState state;
    if (!state.root)
        Build(state);
    return state;
}

/* NT maps \??\ and \?? alone to the caller's DOS device directory; for
 * kernel callers that is \GLOBAL??. */
bool IsDosDevicesAlias(const std::u16string &name)
{
    return name.compare(0, 3, u"\\??") == 0 && (name.size() == 3 || name[3] == u'\\');
}

enum class Purpose {
    Open,       /* follow every link */
    OpenLink,   /* return a final link itself */
    Insert,     /* follow every link; do not enter parse objects */
    InsertLink, /* as Insert, but return a final link itself */
};

bool Inserts(Purpose purpose)
{
    return purpose == Purpose::Insert || purpose == Purpose::InsertLink;
}

/* Whether a link named by the last component is followed.  NT calls the
 * link's parse routine even for an insert; it hands the link back itself
 * only when the type asked for is the link type, so a directory or device
 * inserted under a link's name lands at the link's target. */
bool FollowsFinalLink(Purpose purpose)
{
    return purpose == Purpose::Open || purpose == Purpose::Insert;
}

struct Walked {
    /* Null when the last component is missing (inserts only). */
    std::shared_ptr<Object> object;
    /* The directory holding the last component; null for \ and \??. */
    std::shared_ptr<Directory> directory;
    /* The last component, with its stored case when it exists. */
    std::u16string leaf;
    std::u16string remainder;
    std::u16string path;
};

NTSTATUS Walk(std::u16string_view name, Purpose purpose, Walked *out)
{
    if (name.empty() || name[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::u16string current(name);
    int reparsesLeft = kMaxLinkReparses;
    for (;;) {
        NamespaceState &state = State();
        std::shared_ptr<Directory> dir = state.root;
        std::u16string dirPath;
        size_t pos = 0;
        if (IsDosDevicesAlias(current)) {
            dir = state.dosDevices;
            dirPath = kDosDevicesName;
            pos = 3;
        } else if (current.size() == 1) {
            out->object = state.root;
            out->path = u"\\";
            return STATUS_SUCCESS;
        }
        bool reparse = false;
        while (!reparse) {
            if (pos == current.size()) {
                out->object = dir;
                out->path = dirPath;
                return STATUS_SUCCESS;
            }
            size_t start = pos + 1;
            size_t end = current.find(u'\\', start);
            if (end == std::u16string::npos)
                end = current.size();
            std::u16string component = current.substr(start, end - start);
            if (component.empty())
                return STATUS_OBJECT_NAME_INVALID;
            const bool last = end == current.size();
            auto found = dir->entries.find(Upcase(component));
            if (found == dir->entries.end()) {
                if (!last)
                    return STATUS_OBJECT_PATH_NOT_FOUND;
                if (!Inserts(purpose))
                    return STATUS_OBJECT_NAME_NOT_FOUND;
                out->object = nullptr;
                out->directory = dir;
                out->leaf = component;
                out->path = dirPath + u'\\' + component;
                return STATUS_SUCCESS;
            }
            const Directory::Entry &entry = found->second;
            std::u16string path = dirPath + u'\\' + entry.name;
            std::u16string rest = current.substr(end);
            const ObjectKind kind = entry.object->Kind();

            if (kind == ObjectKind::SymbolicLink && (!last || FollowsFinalLink(purpose))) {
                std::u16string next = static_cast<const SymbolicLink &>(*entry.object).target;
                /* A target ending in a backslash is not doubled by the rest. */
                if (!next.empty() && !rest.empty() && next.back() == u'\\')
                    next.pop_back();
                /* The link refuses the name before the reparse is counted. */
                if ((next.size() + rest.size()) * sizeof(WCHAR) > kMaxReparsedNameBytes)
                    return STATUS_NAME_TOO_LONG;
                if (--reparsesLeft == 0)
                    return STATUS_OBJECT_NAME_NOT_FOUND;
                next += rest;
                /* NT reparses only names that start at the root. */
                if (next.empty() || next[0] != u'\\')
                    return STATUS_OBJECT_NAME_NOT_FOUND;
                current = std::move(next);
                reparse = true;
                continue;
            }
            const bool parses = dynamic_cast<const ParseObject *>(entry.object.get()) != nullptr;
            if (!last && kind == ObjectKind::ObjectDirectory && !parses) {
                dir = std::static_pointer_cast<Directory>(entry.object);
                dirPath = std::move(path);
                pos = end;
                continue;
            }
            /* An insert does not call parse routines (links aside), so a
             * name below a parse object has nowhere to go. */
            if (!last && (!parses || Inserts(purpose)))
                return STATUS_OBJECT_TYPE_MISMATCH;
            out->object = entry.object;
            out->directory = dir;
            out->leaf = entry.name;
            out->remainder = std::move(rest);
            out->path = std::move(path);
            return STATUS_SUCCESS;
        }
    }
}

void Detach(Directory &dir, const std::u16string &key)
{
    auto found = dir.entries.find(key);
    if (found == dir.entries.end())
        return;
    if (found->second.object->Kind() == ObjectKind::SymbolicLink) {
        auto &link = static_cast<SymbolicLink &>(*found->second.object);
        link.fullName.clear();
        link.directory.reset();
        link.key.clear();
    }
    dir.entries.erase(found);
}

} // namespace

NTSTATUS LookupName(std::u16string_view name, bool openLink, Lookup *out)
{
    Walked walked;
    NTSTATUS status = Walk(name, openLink ? Purpose::OpenLink : Purpose::Open, &walked);
    if (!NT_SUCCESS(status))
        return status;
    out->object = std::move(walked.object);
    out->remainder = std::move(walked.remainder);
    out->resolvedName = std::move(walked.path);
    return STATUS_SUCCESS;
}

NTSTATUS InsertObject(std::u16string_view fullName, std::shared_ptr<Object> object,
                      bool permanent)
{
    Walked walked;
    const bool isLink = object->Kind() == ObjectKind::SymbolicLink;
    NTSTATUS status =
        Walk(fullName, isLink ? Purpose::InsertLink : Purpose::Insert, &walked);
    if (!NT_SUCCESS(status))
        return status;
    if (walked.object)
        return STATUS_OBJECT_NAME_COLLISION;
    std::u16string key = Upcase(walked.leaf);
    if (auto *dir = dynamic_cast<Directory *>(object.get())) {
        dir->fullName = walked.path;
    } else if (auto *parse = dynamic_cast<ParseObject *>(object.get())) {
        parse->fullName = walked.path;
    } else if (object->Kind() == ObjectKind::SymbolicLink) {
        auto &link = static_cast<SymbolicLink &>(*object);
        link.fullName = walked.path;
        link.directory = walked.directory;
        link.key = key;
        link.permanent = permanent;
    }
    walked.directory->entries[key] = Directory::Entry{walked.leaf, std::move(object)};
    return STATUS_SUCCESS;
}

NTSTATUS RemoveObject(std::u16string_view fullName)
{
    Walked walked;
    NTSTATUS status = Walk(fullName, Purpose::InsertLink, &walked);
    if (!NT_SUCCESS(status))
        return status;
    if (!walked.object)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!walked.directory)
        return STATUS_INVALID_PARAMETER;
    Detach(*walked.directory, Upcase(walked.leaf));
    return STATUS_SUCCESS;
}

void Unname(SymbolicLink &link)
{
    std::shared_ptr<Directory> dir = link.directory.lock();
    if (!dir) {
        link.fullName.clear();
        return;
    }
    auto found = dir->entries.find(link.key);
    if (found != dir->entries.end() && found->second.object.get() == &link)
        Detach(*dir, link.key);
}

void ResetNamespace()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    NamespaceState &state = State();
    state = NamespaceState();
    Build(state);
}

} // namespace ob

bool ObjectExists(const std::u16string &name)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    ob::Lookup lookup;
    return NT_SUCCESS(ob::LookupName(name, true, &lookup)) && lookup.remainder.empty();
}

std::optional<std::u16string> ResolveName(const std::u16string &name)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    ob::Lookup lookup;
    if (!NT_SUCCESS(ob::LookupName(name, false, &lookup)))
        return std::nullopt;
    return lookup.resolvedName + lookup.remainder;
}

NTSTATUS CreateObjectDirectory(const std::u16string &name)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return ob::InsertObject(name, std::make_shared<ob::Directory>(), true);
}

} // namespace sk
