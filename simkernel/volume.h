/*
 * volume.h - what the parts of the file model share: volumes over host
 * directories, the per-file state all opens of a file share, the file
 * objects, names and their host form, the kept times and attributes, and
 * the walk of a path.  Internal to simkernel; callers hold the kernel lock.
 */
#pragma once

#include "simkernel/files.h"
#include "simkernel/internal.h"
#include "simkernel/object_namespace.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sk {
namespace fs {

/* NTFS's limit on one component of a name, in UTF-16 code units. */
constexpr size_t kMaxComponentChars = 255;
/* Most host links followed in one walk; more fail it as a loop. */
constexpr int kMaxLinkFollows = 32;

using Record = FileTimesAndAttributes;

struct Volume : ob::ParseObject {
    ObjectKind Kind() const override { return ObjectKind::Device; }
    std::string hostRoot;             /* absolute, without a trailing slash */
    std::vector<std::u16string> links; /* drive letters AddVolume made */
    /* Whether records the host refused as extended attributes may exist
     * under the fallback directory. */
    mutable bool fallbackUsed = false;
};

/* Volume: an open of the volume device itself, which has no file. */
enum class EntryKind { Missing, File, Directory, Link, Other, Volume };

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator<(const FileId &other) const
    {
        return dev != other.dev ? dev < other.dev : ino < other.ino;
    }
};

struct FileObject;

/* NT's share-access counters (IoCheckShareAccess). */
struct ShareAccess {
    ULONG openCount = 0;
    ULONG readers = 0, writers = 0, deleters = 0;
    ULONG sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
};

/* What every open of one file shares: NT's FCB. */
struct FileNode {
    FileId id;
    EntryKind kind = EntryKind::File; /* Link when the link itself is open */
    std::vector<FileObject *> opens;
    ShareAccess share;
    bool deletePending = false;
    /* The kept record, once a change made one; written back when the last
     * handle closes. */
    std::optional<Record> record;
    bool recordDirty = false;
};

/* One open of a file: NT's file object, with NT's CCB folded in. */
struct FileObject : Object {
    ~FileObject() override;
    ObjectKind Kind() const override { return ObjectKind::File; }
    void OnHandleClosed() override;
    /* \Device\HarddiskVolumeN followed by the path, as NT names a file. */
    std::u16string ObjectName() const override { return volume->fullName + path; }
    bool NameOverflowIsWarning() const override { return true; }

    std::shared_ptr<Volume> volume;
    std::shared_ptr<FileNode> node;
    std::u16string path; /* from the volume root, stored case; u"\\" is the root,
                          * empty for the volume itself */
    ACCESS_MASK granted = 0;
    ULONG shareMode = 0;
    ACCESS_MASK shareCounted = 0; /* the access the share check counted in */
    bool synchronous = false;
    bool deleteOnClose = false;
    LONGLONG position = 0;
    int fd = -1; /* host descriptor of a regular file opened for data */
    /* Times this handle no longer stamps: set through it, or frozen with
     * -1 as FileBasicInformation allows. */
    bool keepLastAccess = false, keepLastWrite = false, keepChange = false;
    /* Where a listing stands: the dots given, then the last name given. */
    struct Scan {
        bool called = false;
        int dotsGiven = 0;
        std::u16string lastName; /* upcased */
        bool hasLast = false;
        std::optional<std::u16string> filter; /* upcased */
    } scan;
    bool closed = false;

    bool IsDirectory() const { return node->kind == EntryKind::Directory; }
    bool IsLink() const { return node->kind == EntryKind::Link; }
    bool IsRoot() const { return path == u"\\"; }
    bool IsVolume() const { return node->kind == EntryKind::Volume; }
};

/* The model's state. */
struct FilesState {
    std::vector<std::shared_ptr<Volume>> volumes;
    std::map<FileId, std::shared_ptr<FileNode>> nodes;
    std::set<FileObject *> opens;
};
FilesState &State();
void ResetVolumes();

/* Names. */
/* Host names are NT names in UTF-8, where an unpaired surrogate (NTFS
 * takes those) keeps a three-byte form of its own. */
std::string HostName(std::u16string_view name);
/* nullopt for host names NT cannot have. */
std::optional<std::u16string> NtName(const std::string &hostName);
/* NTFS's rule for one component: STATUS_SUCCESS or
 * STATUS_OBJECT_NAME_INVALID. */
NTSTATUS CheckComponent(std::u16string_view name);
std::vector<std::u16string> SplitPath(std::u16string_view path);
std::u16string JoinPath(const std::u16string &parent, const std::u16string &name);
std::u16string ParentPath(const std::u16string &path);
std::u16string LastComponent(const std::u16string &path);
/* Whether path lies strictly below directory (ignoring case). */
bool IsBelow(const std::u16string &path, const std::u16string &directory);
std::string HostPath(const Volume &volume, const std::u16string &path);

NTSTATUS StatusFromErrno(int error);

/* Where a walk of a path ended. */
struct Walked {
    EntryKind kind = EntryKind::Missing;
    std::u16string path;        /* the entry's path, stored case (the name
                                 * as given when missing) */
    std::u16string parentPath;
    struct stat st = {};        /* lstat of the entry */
    bool linkToDirectory = false;
};
/*
 * Walks components from the directory at start (a path from the root).
 * Host links met on the way are followed when their target lies in the
 * volume (STATUS_REPARSE_POINT_NOT_RESOLVED otherwise); a link named by
 * the last component is followed too unless openLink.  STATUS_SUCCESS
 * with kind Missing when only the last component is missing; a missing
 * or non-directory component before it is STATUS_OBJECT_PATH_NOT_FOUND.
 */
NTSTATUS Walk(const Volume &volume, const std::u16string &start,
              const std::vector<std::u16string> &components, bool openLink, Walked *out);
/* The host entry of a directory whose name equals name ignoring case, an
 * exact match first; its stored name, or nullopt. */
std::optional<std::u16string> FindEntry(const std::string &hostDirectory,
                                        const std::u16string &name, struct stat *st);
/* The names NT can have in a host directory, in NTFS's order: by upcased
 * name, host names that differ only in case by their code units. */
struct IndexedName {
    std::u16string name;
    std::u16string upcased;
};
struct IndexOrder {
    using is_transparent = void;
    bool operator()(const IndexedName &a, const IndexedName &b) const
    {
        return a.upcased != b.upcased ? a.upcased < b.upcased : a.name < b.name;
    }
    bool operator()(const IndexedName &a, const std::u16string &upcased) const
    {
        return a.upcased < upcased;
    }
    bool operator()(const std::u16string &upcased, const IndexedName &b) const
    {
        return upcased < b.upcased;
    }
};
using DirectoryIndex = std::set<IndexedName, IndexOrder>;
/* The index of a host directory as the host holds it now (directory_index.cpp);
 * nullptr when it cannot be read.  What the caller holds stays as it was
 * while the directory changes. */
std::shared_ptr<const DirectoryIndex> IndexOf(const std::string &hostDirectory);
/* Directories whose index is kept between uses. */
size_t IndexedDirectoryCount();
void ForgetDirectoryIndexes();
/* What a host entry is; for a link, whether it points at a directory. */
EntryKind KindOf(const struct stat &st);
bool LinkPointsAtDirectory(const std::string &hostPath);

/* Kept times and attributes. */
/* The record as the simulation shows it: kept, or derived from stat. */
Record LoadRecord(const Volume *volume, const std::string &hostPath, EntryKind kind,
                  bool linkToDirectory, const struct stat &st);
std::optional<Record> LoadKeptRecord(const Volume *volume, const std::string &hostPath);
NTSTATUS StoreRecord(const Volume *volume, const std::string &hostPath, const Record &record);
/* Moves or drops the fallback record of a path, and those below it. */
void MoveFallbackRecords(const Volume &volume, const std::string &fromHost,
                         const std::string &toHost);
void DropFallbackRecords(const Volume &volume, const std::string &hostPath);
/* The attributes the kind of entry forces. */
ULONG KindAttributes(EntryKind kind, bool linkToDirectory);
/* The current record of an open file. */
Record &NodeRecord(FileObject &file);
void MarkDirty(FileObject &file);
/* Writes the node's record back if it changed. */
void FlushNodeRecord(FileObject &file);
/* Stamps a directory as changed when an entry in it comes or goes. */
void TouchDirectory(const Volume &volume, const std::u16string &path);

/* Open files. */
std::shared_ptr<FileNode> FindNode(const FileId &id);
std::shared_ptr<FileNode> NodeFor(const FileId &id, EntryKind kind);
/* NT's IoCheckShareAccess; update counts the open in. */
NTSTATUS CheckShareAccess(FileNode &node, ACCESS_MASK granted, ULONG shareMode, bool update);
/* Any open file object of the volume lies below directory. */
bool AnyOpenBelow(const Volume &volume, const std::u16string &directory);
/* Looks a file handle up and checks the right the routine needs. */
NTSTATUS ReferenceFile(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<FileObject> *file);
/* A directory empty on the host (entries NT cannot name count). */
bool HostDirectoryEmpty(const std::string &hostPath);

/* Looks an absolute name up through the object namespace down to a
 * volume; *remainder is the path on it (empty for the device itself). */
NTSTATUS LookupVolumePath(std::u16string_view name, std::shared_ptr<Volume> *volume,
                          std::u16string *remainder);
/* The granted access NT derives from a desired one. */
ACCESS_MASK MapFileAccess(ACCESS_MASK desired);

/* FileRenameInformation on an open file; info is Length bytes long, at
 * least the fixed part. */
NTSTATUS RenameFile(FileObject &file, const FILE_RENAME_INFORMATION &info, ULONG length);
/* Attributes as queries report them: none at all reads as NORMAL. */
inline ULONG ReportedAttributes(ULONG attributes)
{
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}
/* NTFS's allocation for a file of that size, in whole clusters. */
inline LONGLONG AllocationFor(LONGLONG size)
{
    constexpr LONGLONG kCluster = 4096;
    return (size + kCluster - 1) / kCluster * kCluster;
}

/* The power-cut journal (disk_journal.cpp); each does nothing unless
 * durability is tracked.  Called before the host change, except
 * JournalCreate, after it. */
void JournalCreate(const Volume *volume, const std::string &hostPath, bool directory);
/* The file is about to be cut to nothing. */
void JournalTruncate(const Volume *volume, const std::string &hostPath, const struct stat &st);
/* Length bytes are about to be written at offset through fd. */
void JournalWrite(const Volume *volume, const std::string &hostPath, int fd, off_t offset,
                  size_t length);
/* replaces: an existing file at toHost is about to be replaced. */
void JournalRename(const Volume *volume, const std::string &fromHost, const std::string &toHost,
                   bool replaces);
void JournalDelete(const Volume *volume, const std::string &hostPath, bool directory);
/* The kept record of hostPath is about to change. */
void JournalRecord(const Volume *volume, const std::string &hostPath);
/* A flush of one file (its data and every change so far), or with no
 * file, of the whole volume. */
void JournalFlush(const Volume *volume, const FileId *file);

} // namespace fs
} // namespace sk
