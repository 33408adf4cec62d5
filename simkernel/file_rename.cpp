/*
 * file_rename.cpp - FileRenameInformation.
 *
 * The new name is a full NT path, a path relative to RootDirectory, or a
 * bare name in the file's own directory.  For the first two the I/O
 * manager opens the target's directory first (for a file with
 * FILE_ADD_FILE, for a directory with FILE_ADD_SUBDIRECTORY, sharing read
 * and write), so a handle to that directory that shares no writing makes
 * the rename fail with STATUS_SHARING_VIOLATION; the model does that
 * check without the open.  Then NTFS's rules: an existing target needs
 * ReplaceIfExists and must be a file that is not open, not read-only, and
 * not replaced by a directory; a directory with a handle open anywhere
 * below it cannot move.
 */
#include "simkernel/upcase.h"
#include "simkernel/volume.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

namespace sk {
namespace fs {

namespace {

struct RenameTarget {
    std::shared_ptr<Volume> volume;
    std::u16string path; /* the new path as given */
    bool opensDirectory = false;
};

NTSTATUS FindRenameTarget(const FileObject &file, const FILE_RENAME_INFORMATION &info,
                          const std::u16string &name, RenameTarget *target)
{
    if (info.RootDirectory) {
        std::shared_ptr<FileObject> root;
        NTSTATUS status = ReferenceFile(info.RootDirectory, 0, &root);
        if (!NT_SUCCESS(status))
            return status;
        if (name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (root->IsVolume())
            return STATUS_NOT_IMPLEMENTED;
        if (!root->IsDirectory())
            return STATUS_INVALID_PARAMETER;
        target->volume = root->volume;
        target->path = JoinPath(root->path, name);
        target->opensDirectory = true;
    } else if (name[0] == u'\\') {
        std::u16string remainder;
        NTSTATUS status = LookupVolumePath(name, &target->volume, &remainder);
        if (!NT_SUCCESS(status))
            return status;
        if (remainder.empty() || remainder == u"\\")
            return STATUS_OBJECT_NAME_INVALID;
        target->path = remainder;
        target->opensDirectory = true;
    } else {
        if (name.find(u'\\') != std::u16string::npos)
            return STATUS_OBJECT_NAME_INVALID;
        target->volume = file.volume;
        target->path = JoinPath(ParentPath(file.path), name);
    }
    if (target->volume != file.volume)
        return STATUS_NOT_SAME_DEVICE;
    if (target->path.back() == u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    for (const std::u16string &part : SplitPath(target->path)) {
        NTSTATUS status = CheckComponent(part);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS RenameFile(FileObject &file, const FILE_RENAME_INFORMATION &info, ULONG length)
{
    const ULONG nameOffset = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
    if (info.FileNameLength == 0 || (info.FileNameLength & 1) ||
        info.FileNameLength > length - nameOffset)
        return STATUS_INVALID_PARAMETER;
    const std::u16string name(info.FileName, info.FileNameLength / sizeof(WCHAR));
    RenameTarget target;
    NTSTATUS status = FindRenameTarget(file, info, name, &target);
    if (!NT_SUCCESS(status))
        return status;
    if (file.IsRoot())
        return STATUS_INVALID_PARAMETER;
    Volume &volume = *file.volume;

    std::vector<std::u16string> parts = SplitPath(target.path);
    const std::u16string newName = parts.back();
    parts.pop_back();
    Walked parent;
    status = Walk(volume, u"\\", parts, false, &parent);
    if (!NT_SUCCESS(status))
        return status;
    if (parent.kind != EntryKind::Directory)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    std::shared_ptr<FileNode> parentNode = FindNode(FileId{parent.st.st_dev, parent.st.st_ino});
    if (parentNode && parentNode->deletePending)
        return STATUS_DELETE_PENDING;

    const std::string oldHost = HostPath(volume, file.path);
    const bool sourceIsDirectory =
        file.IsDirectory() || (file.IsLink() && LinkPointsAtDirectory(oldHost));
    if (file.IsDirectory()) {
        if (EqualIgnoringCase(parent.path, file.path))
            return STATUS_INVALID_PARAMETER;
        /* The target's directory would be open below the directory. */
        if (IsBelow(parent.path, file.path) || AnyOpenBelow(volume, file.path))
            return STATUS_ACCESS_DENIED;
    }
    if (target.opensDirectory && parentNode) {
        const ACCESS_MASK add = (sourceIsDirectory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE) | SYNCHRONIZE;
        status = CheckShareAccess(*parentNode, add, FILE_SHARE_READ | FILE_SHARE_WRITE, false);
        if (!NT_SUCCESS(status))
            return status;
    }

    const std::string parentHost = HostPath(volume, parent.path);
    const std::u16string newPath = JoinPath(parent.path, newName);
    bool replaces = false;
    struct stat existing;
    std::optional<std::u16string> stored = FindEntry(parentHost, newName, &existing);
    if (stored) {
        const std::u16string existingPath = JoinPath(parent.path, *stored);
        if (EqualIgnoringCase(existingPath, file.path)) {
            if (*stored == newName)
                return STATUS_SUCCESS;
        } else {
            if (!info.ReplaceIfExists)
                return STATUS_OBJECT_NAME_COLLISION;
            const std::string existingHost = parentHost + '/' + HostName(*stored);
            const EntryKind kind = KindOf(existing);
            const bool linkToDirectory =
                kind == EntryKind::Link && LinkPointsAtDirectory(existingHost);
            if (kind == EntryKind::Directory || linkToDirectory || sourceIsDirectory)
                return STATUS_ACCESS_DENIED;
            std::shared_ptr<FileNode> node = FindNode(FileId{existing.st_dev, existing.st_ino});
            if (node && !node->opens.empty())
                return STATUS_ACCESS_DENIED;
            const Record record = LoadRecord(&volume, existingHost, kind, false, existing);
            if (record.attributes & FILE_ATTRIBUTE_READONLY)
                return STATUS_ACCESS_DENIED;
            /* The replaced name may differ in case from the new one. */
            replaces = *stored == newName;
            if (!replaces)
                JournalDelete(&volume, existingHost, false);
            if (!replaces && unlink(existingHost.c_str()) != 0)
                return StatusFromErrno(errno);
            DropFallbackRecords(volume, existingHost);
        }
    }
    const std::string newHost = parentHost + '/' + HostName(newName);
    JournalRename(&volume, oldHost, newHost, replaces);
    if (rename(oldHost.c_str(), newHost.c_str()) != 0)
        return StatusFromErrno(errno);
    MoveFallbackRecords(volume, oldHost, newHost);

    const std::u16string oldPath = file.path;
    for (FileObject *open : file.node->opens) {
        if (open->volume.get() == &volume && EqualIgnoringCase(open->path, oldPath))
            open->path = newPath;
    }
    TouchDirectory(volume, ParentPath(oldPath));
    if (!EqualIgnoringCase(ParentPath(oldPath), parent.path))
        TouchDirectory(volume, parent.path);
    return STATUS_SUCCESS;
}

} // namespace fs
} // namespace sk
