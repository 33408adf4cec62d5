/*
 * file_open.cpp - ZwCreateFile and ZwOpenFile on the volumes.
 *
 * The checks follow the I/O manager (parameters), the object manager
 * (the name) and NTFS (dispositions, the file's type, read-only and hidden
 * files, delete pending, share access), in that order.  Options that only
 * tune NT's caching are accepted; those whose effect is not modelled
 * answer STATUS_NOT_IMPLEMENTED.
 */
#include "simkernel/clock.h"
#include "simkernel/volume.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace sk {
namespace fs {

ACCESS_MASK MapFileAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ)
        granted |= FILE_GENERIC_READ;
    if (desired & GENERIC_WRITE)
        granted |= FILE_GENERIC_WRITE;
    if (desired & GENERIC_EXECUTE)
        granted |= FILE_GENERIC_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= FILE_ALL_ACCESS;
    return granted;
}

NTSTATUS LookupVolumePath(std::u16string_view name, std::shared_ptr<Volume> *volume,
                          std::u16string *remainder)
{
    ob::Lookup lookup;
    NTSTATUS status = ob::LookupName(name, false, &lookup);
    if (!NT_SUCCESS(status))
        return status;
    *volume = std::dynamic_pointer_cast<Volume>(lookup.object);
    if (!*volume)
        return STATUS_OBJECT_TYPE_MISMATCH;
    *remainder = lookup.remainder;
    return STATUS_SUCCESS;
}

} // namespace fs

using namespace fs;

namespace {

/* Options that change nothing the model shows. */
constexpr ULONG kAcceptedOptions =
    FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_ALERT |
    FILE_SYNCHRONOUS_IO_NONALERT | FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY | FILE_RANDOM_ACCESS |
    FILE_COMPLETE_IF_OPLOCKED | FILE_NO_EA_KNOWLEDGE | FILE_OPEN_FOR_BACKUP_INTENT |
    FILE_NO_COMPRESSION | FILE_DELETE_ON_CLOSE | FILE_OPEN_REPARSE_POINT | FILE_OPEN_NO_RECALL;

/* What the I/O manager lets FILE_DIRECTORY_FILE come with. */
constexpr ULONG kDirectoryOptions =
    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT |
    FILE_WRITE_THROUGH | FILE_COMPLETE_IF_OPLOCKED | FILE_OPEN_FOR_BACKUP_INTENT |
    FILE_DELETE_ON_CLOSE | FILE_OPEN_FOR_FREE_SPACE_QUERY | FILE_OPEN_BY_FILE_ID |
    FILE_NO_COMPRESSION | FILE_OPEN_REPARSE_POINT;

constexpr ULONG kSynchronousOptions = FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ACCESS_MASK kDataAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE;
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

struct CreateRequest {
    const char *routine;
    PHANDLE fileHandle;
    ACCESS_MASK desiredAccess;
    POBJECT_ATTRIBUTES attributes;
    PIO_STATUS_BLOCK ioStatus;
    PLARGE_INTEGER allocationSize;
    ULONG fileAttributes;
    ULONG shareAccess;
    ULONG disposition;
    ULONG options;
    PVOID eaBuffer;
    ULONG eaLength;
};

NTSTATUS CheckParameters(const CreateRequest &r)
{
    if (!r.fileHandle || !r.attributes || !r.ioStatus) {
        Violation("%s: no %s", r.routine,
                  !r.fileHandle ? "FileHandle" : !r.attributes ? "ObjectAttributes" : "IoStatusBlock");
        return STATUS_ACCESS_VIOLATION;
    }
    *r.fileHandle = nullptr;
    const POBJECT_ATTRIBUTES oa = r.attributes;
    if (oa->Length != sizeof(OBJECT_ATTRIBUTES) || (oa->Attributes & ~OBJ_VALID_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    if (!(oa->Attributes & OBJ_KERNEL_HANDLE)) {
        Violation("%s: ObjectAttributes without OBJ_KERNEL_HANDLE", r.routine);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG o = r.options;
    if ((r.fileAttributes & ~FILE_ATTRIBUTE_VALID_FLAGS) || (r.shareAccess & ~FILE_SHARE_VALID_FLAGS) ||
        r.disposition > FILE_MAXIMUM_DISPOSITION || (o & ~FILE_VALID_OPTION_FLAGS))
        return STATUS_INVALID_PARAMETER;
    /* Checked on the access as given, before generic rights are mapped. */
    if ((o & kSynchronousOptions) == kSynchronousOptions ||
        ((o & kSynchronousOptions) && !(r.desiredAccess & SYNCHRONIZE)))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_DELETE_ON_CLOSE) && !(r.desiredAccess & DELETE))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_DIRECTORY_FILE) && (o & FILE_NON_DIRECTORY_FILE))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_DIRECTORY_FILE) &&
        ((r.disposition != FILE_CREATE && r.disposition != FILE_OPEN && r.disposition != FILE_OPEN_IF) ||
         (o & ~kDirectoryOptions)))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_NO_INTERMEDIATE_BUFFERING) && (r.desiredAccess & FILE_APPEND_DATA))
        return STATUS_INVALID_PARAMETER;
    if (r.allocationSize && r.allocationSize->QuadPart < 0)
        return STATUS_INVALID_PARAMETER;
    if (o & ~kAcceptedOptions)
        return STATUS_NOT_IMPLEMENTED;
    if (r.eaBuffer || r.eaLength || (r.allocationSize && r.allocationSize->QuadPart != 0))
        return STATUS_NOT_IMPLEMENTED;
    return STATUS_SUCCESS;
}

/* Where the name leads: the volume, the directory the walk starts at and
 * the components, or the file a relative open with an empty name means. */
struct Target {
    std::shared_ptr<Volume> volume;
    std::u16string start = u"\\";
    std::vector<std::u16string> components;
    std::shared_ptr<FileObject> reopen;
    bool trailingBackslash = false;
    bool volumeItself = false;
};

NTSTATUS ParseComponents(const std::u16string &path, Target *target)
{
    std::u16string rest = path;
    if (rest.size() > 1 && rest.back() == u'\\') {
        rest.pop_back();
        target->trailingBackslash = true;
    }
    target->components = SplitPath(rest);
    for (const std::u16string &part : target->components) {
        /* A colon names a stream, which the model does not have. */
        const size_t colon = part.find(u':');
        if (colon != std::u16string::npos)
            return NT_SUCCESS(CheckComponent(part.substr(0, colon))) ? STATUS_NOT_IMPLEMENTED
                                                                      : STATUS_OBJECT_NAME_INVALID;
        NTSTATUS status = CheckComponent(part);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FindTarget(const CreateRequest &r, Target *target)
{
    std::u16string name;
    NTSTATUS status = CaptureName(r.routine, r.attributes->ObjectName, &name);
    if (!NT_SUCCESS(status))
        return status;
    if (HANDLE rootHandle = r.attributes->RootDirectory) {
        std::shared_ptr<FileObject> root;
        status = ReferenceFile(rootHandle, 0, &root);
        if (!NT_SUCCESS(status))
            return status;
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (root->IsVolume())
            return STATUS_NOT_IMPLEMENTED;
        target->volume = root->volume;
        if (name.empty()) {
            target->reopen = root;
            return STATUS_SUCCESS;
        }
        if (!root->IsDirectory())
            return STATUS_INVALID_PARAMETER;
        target->start = root->path;
        return ParseComponents(u"\\" + name, target);
    }
    if (name.empty())
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string remainder;
    status = LookupVolumePath(name, &target->volume, &remainder);
    if (!NT_SUCCESS(status))
        return status;
    target->volumeItself = remainder.empty();
    return target->volumeItself ? STATUS_SUCCESS : ParseComponents(remainder, target);
}

ULONG NewFileAttributes(ULONG given, bool directory)
{
    ULONG attributes = given & FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL;
    if (directory)
        return attributes & ~FILE_ATTRIBUTE_TEMPORARY;
    return attributes | FILE_ATTRIBUTE_ARCHIVE;
}

int HostOpenFlags(ACCESS_MASK granted)
{
    return ((granted & kWriteAccess) ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW;
}

struct Opened {
    std::shared_ptr<FileNode> node;
    std::u16string path;
    int fd = -1;
    ULONG_PTR information = FILE_OPENED;
    ACCESS_MASK granted = 0;
    ACCESS_MASK shareCounted = 0;
};

NTSTATUS OpenExisting(const CreateRequest &r, const Target &target, const Walked &walked,
                      Opened *opened)
{
    const Volume &volume = *target.volume;
    const std::string host = HostPath(volume, walked.path);
    if (r.disposition == FILE_CREATE)
        return STATUS_OBJECT_NAME_COLLISION;
    if (walked.kind == EntryKind::Other)
        return STATUS_NOT_IMPLEMENTED;
    std::shared_ptr<FileNode> node = FindNode(FileId{walked.st.st_dev, walked.st.st_ino});
    if (node && node->deletePending)
        return STATUS_DELETE_PENDING;
    const bool isLink = walked.kind == EntryKind::Link;
    const bool isDirectory = walked.kind == EntryKind::Directory || (isLink && walked.linkToDirectory);
    const bool overwrite = r.disposition == FILE_OVERWRITE || r.disposition == FILE_OVERWRITE_IF ||
                           r.disposition == FILE_SUPERSEDE;
    if (isDirectory) {
        if ((r.options & FILE_NON_DIRECTORY_FILE) || overwrite)
            return STATUS_FILE_IS_A_DIRECTORY;
    } else {
        if (r.options & FILE_DIRECTORY_FILE)
            return STATUS_NOT_A_DIRECTORY;
        if (target.trailingBackslash)
            return STATUS_OBJECT_NAME_INVALID;
    }
    if (isLink && overwrite)
        return STATUS_NOT_IMPLEMENTED;

    const Record record = node && !node->opens.empty()
                              ? NodeRecord(*node->opens.front())
                              : LoadRecord(&volume, host, walked.kind, walked.linkToDirectory, walked.st);
    const bool readOnly = (record.attributes & FILE_ATTRIBUTE_READONLY) != 0;
    ACCESS_MASK granted = MapFileAccess(r.desiredAccess);
    if (readOnly && !isDirectory) {
        const ACCESS_MASK refused = kWriteAccess | FILE_DELETE_CHILD;
        if (r.desiredAccess & MAXIMUM_ALLOWED)
            granted &= ~refused;
        if (granted & refused)
            return STATUS_ACCESS_DENIED;
        if (overwrite)
            return STATUS_ACCESS_DENIED;
    }
    if ((r.options & FILE_DELETE_ON_CLOSE) && (readOnly || walked.path == u"\\"))
        return STATUS_CANNOT_DELETE;
    if (overwrite) {
        const ULONG kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if ((record.attributes & kept) & ~(r.fileAttributes & kept))
            return STATUS_ACCESS_DENIED;
    }
    /* Replacing the data writes it, whatever the handle is for. */
    const ACCESS_MASK shareCounted = granted | (overwrite ? FILE_WRITE_DATA : 0);
    const EntryKind nodeKind = isLink ? EntryKind::Link : walked.kind;
    if (node) {
        NTSTATUS status = CheckShareAccess(*node, shareCounted, r.shareAccess, false);
        if (!NT_SUCCESS(status))
            return status;
    }

    int fd = -1;
    if (overwrite && !isDirectory && !isLink)
        JournalTruncate(&volume, host, walked.st);
    if (!isDirectory && !isLink && (granted & kDataAccess)) {
        fd = open(host.c_str(), HostOpenFlags(granted) | (overwrite ? O_TRUNC : 0));
        if (fd < 0)
            return StatusFromErrno(errno);
    } else if (overwrite && truncate(host.c_str(), 0) != 0) {
        return StatusFromErrno(errno);
    }
    node = NodeFor(FileId{walked.st.st_dev, walked.st.st_ino}, nodeKind);
    CheckShareAccess(*node, shareCounted, r.shareAccess, true);
    if (overwrite) {
        Record replaced = record;
        const ULONG given = NewFileAttributes(r.fileAttributes, false);
        replaced.attributes = r.disposition == FILE_SUPERSEDE ? given : (record.attributes | given);
        replaced.lastAccessTime = replaced.lastWriteTime = replaced.changeTime = SystemTimeNow();
        node->record = replaced;
        node->recordDirty = false;
        StoreRecord(&volume, host, replaced);
        opened->information = r.disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
    }
    opened->node = node;
    opened->path = walked.path;
    opened->fd = fd;
    opened->granted = granted;
    opened->shareCounted = shareCounted;
    return STATUS_SUCCESS;
}

NTSTATUS CreateNew(const CreateRequest &r, const Target &target, const Walked &walked,
                   Opened *opened)
{
    const Volume &volume = *target.volume;
    if (r.disposition == FILE_OPEN || r.disposition == FILE_OVERWRITE)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const bool directory = (r.options & FILE_DIRECTORY_FILE) != 0;
    if (target.trailingBackslash && !directory)
        return STATUS_OBJECT_NAME_INVALID;
    struct stat parentStat;
    const std::string parentHost = HostPath(volume, walked.parentPath);
    if (lstat(parentHost.c_str(), &parentStat) == 0) {
        std::shared_ptr<FileNode> parent = FindNode(FileId{parentStat.st_dev, parentStat.st_ino});
        if (parent && parent->deletePending)
            return STATUS_DELETE_PENDING;
    }
    if ((r.options & FILE_DELETE_ON_CLOSE) && (r.fileAttributes & FILE_ATTRIBUTE_READONLY))
        return STATUS_CANNOT_DELETE;

    const std::string host = HostPath(volume, walked.path);
    const ACCESS_MASK granted = MapFileAccess(r.desiredAccess);
    int fd = -1;
    if (directory) {
        if (mkdir(host.c_str(), 0777) != 0)
            return StatusFromErrno(errno);
        JournalCreate(&volume, host, true);
    } else {
        fd = open(host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0)
            return StatusFromErrno(errno);
        JournalCreate(&volume, host, false);
        /* A handle without data access keeps no descriptor, and a later
         * overwrite or close of it needs none. */
        if (!(granted & kDataAccess)) {
            close(fd);
            fd = -1;
        }
    }
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        return StatusFromErrno(error);
    }
    Record record;
    record.attributes = NewFileAttributes(r.fileAttributes, directory) |
                        (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    record.creationTime = record.lastAccessTime = record.lastWriteTime = record.changeTime =
        SystemTimeNow();
    StoreRecord(&volume, host, record);
    TouchDirectory(volume, walked.parentPath);

    std::shared_ptr<FileNode> node =
        NodeFor(FileId{st.st_dev, st.st_ino}, directory ? EntryKind::Directory : EntryKind::File);
    node->record = record;
    CheckShareAccess(*node, granted, r.shareAccess, true);
    opened->node = node;
    opened->path = walked.path;
    opened->fd = fd;
    opened->granted = granted;
    opened->shareCounted = granted;
    opened->information = FILE_CREATED;
    return STATUS_SUCCESS;
}

/* An open of the volume device itself: enough to learn its name; reading
 * or writing the volume, and locking it, are not modelled. */
NTSTATUS OpenVolumeItself(const CreateRequest &r, Opened *opened)
{
    const ACCESS_MASK granted = MapFileAccess(r.desiredAccess);
    if ((granted & (kDataAccess | DELETE)) || (r.options & (FILE_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE)) ||
        (r.disposition != FILE_OPEN && r.disposition != FILE_OPEN_IF))
        return STATUS_NOT_IMPLEMENTED;
    opened->node = std::make_shared<FileNode>();
    opened->node->kind = EntryKind::Volume;
    opened->granted = granted;
    return STATUS_SUCCESS;
}

NTSTATUS CreateFile(const CreateRequest &r)
{
    NTSTATUS status = CheckParameters(r);
    if (!NT_SUCCESS(status))
        return status;
    Target target;
    status = FindTarget(r, &target);
    if (!NT_SUCCESS(status))
        return status;
    Walked walked;
    Opened opened;
    if (target.volumeItself) {
        status = OpenVolumeItself(r, &opened);
    } else if (target.reopen) {
        const FileObject &root = *target.reopen;
        walked.path = root.path;
        walked.parentPath = ParentPath(root.path);
        if (lstat(HostPath(*target.volume, root.path).c_str(), &walked.st) != 0)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        walked.kind = root.node->kind;
        walked.linkToDirectory = root.IsLink() && LinkPointsAtDirectory(HostPath(*target.volume, root.path));
    } else {
        status = Walk(*target.volume, target.start, target.components,
                      (r.options & FILE_OPEN_REPARSE_POINT) != 0, &walked);
    }
    if (NT_SUCCESS(status) && !target.volumeItself)
        status = walked.kind == EntryKind::Missing ? CreateNew(r, target, walked, &opened)
                                                   : OpenExisting(r, target, walked, &opened);
    if (!NT_SUCCESS(status))
        return status;

    auto file = std::make_shared<FileObject>();
    file->volume = target.volume;
    file->node = opened.node;
    file->path = opened.path;
    file->granted = opened.granted;
    file->shareMode = r.shareAccess;
    file->shareCounted = opened.shareCounted;
    file->synchronous = (r.options & kSynchronousOptions) != 0;
    file->deleteOnClose = (r.options & FILE_DELETE_ON_CLOSE) != 0;
    file->fd = opened.fd;
    opened.node->opens.push_back(file.get());
    State().opens.insert(file.get());
    *r.fileHandle = InsertHandle(file, opened.granted, r.attributes->Attributes);
    r.ioStatus->Status = STATUS_SUCCESS;
    r.ioStatus->Information = opened.information;
    return STATUS_SUCCESS;
}

} // namespace
} // namespace sk

using namespace sk;

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength)
{
    SK_ENTER("ZwCreateFile");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return CreateFile({"ZwCreateFile", FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                       AllocationSize, FileAttributes, ShareAccess, CreateDisposition, CreateOptions,
                       EaBuffer, EaLength});
}

NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                          POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                          ULONG ShareAccess, ULONG OpenOptions)
{
    SK_ENTER("ZwOpenFile");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return CreateFile({"ZwOpenFile", FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                       nullptr, 0, ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0});
}
