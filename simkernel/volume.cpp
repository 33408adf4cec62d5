/*
 * volume.cpp - volume devices over host directories, the state all opens
 * of one file share, NT's share-access check, and what happens when the
 * last handle to a file closes: a pending delete is carried out, or the
 * kept record is written back.
 */
#include "simkernel/objects.h"
#include "simkernel/upcase.h"
#include "simkernel/volume.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

namespace sk {
namespace fs {

FilesState &State()
{
    static FilesState state;
    return state;
}

void ResetVolumes()
{
    TrackDurability(false);
    /* The file objects went with the handle table; their destructors have
     * closed the host descriptors. */
    State() = FilesState();
    ForgetDirectoryIndexes();
}

std::shared_ptr<FileNode> FindNode(const FileId &id)
{
    auto found = State().nodes.find(id);
    return found == State().nodes.end() ? nullptr : found->second;
}

std::shared_ptr<FileNode> NodeFor(const FileId &id, EntryKind kind)
{
    std::shared_ptr<FileNode> &slot = State().nodes[id];
    if (!slot) {
        slot = std::make_shared<FileNode>();
        slot->id = id;
        slot->kind = kind;
    }
    return slot;
}

namespace {

struct ShareRequest {
    bool read, write, del;
    bool sharedRead, sharedWrite, sharedDelete;
};

ShareRequest ShareRequestOf(ACCESS_MASK access, ULONG shareMode)
{
    ShareRequest r;
    r.read = (access & (FILE_EXECUTE | FILE_READ_DATA)) != 0;
    r.write = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    r.del = (access & DELETE) != 0;
    r.sharedRead = (shareMode & FILE_SHARE_READ) != 0;
    r.sharedWrite = (shareMode & FILE_SHARE_WRITE) != 0;
    r.sharedDelete = (shareMode & FILE_SHARE_DELETE) != 0;
    return r;
}

void RemoveShareAccess(FileNode &node, ACCESS_MASK access, ULONG shareMode)
{
    const ShareRequest r = ShareRequestOf(access, shareMode);
    if (!r.read && !r.write && !r.del)
        return;
    ShareAccess &s = node.share;
    s.openCount--;
    s.readers -= r.read;
    s.writers -= r.write;
    s.deleters -= r.del;
    s.sharedRead -= r.sharedRead;
    s.sharedWrite -= r.sharedWrite;
    s.sharedDelete -= r.sharedDelete;
}

} // namespace

NTSTATUS CheckShareAccess(FileNode &node, ACCESS_MASK access, ULONG shareMode, bool update)
{
    const ShareRequest r = ShareRequestOf(access, shareMode);
    /* An open that neither reads, writes nor deletes takes no part. */
    if (!r.read && !r.write && !r.del)
        return STATUS_SUCCESS;
    ShareAccess &s = node.share;
    const ULONG open = s.openCount;
    if ((r.read && s.sharedRead < open) || (r.write && s.sharedWrite < open) ||
        (r.del && s.sharedDelete < open) || (s.readers && !r.sharedRead) ||
        (s.writers && !r.sharedWrite) || (s.deleters && !r.sharedDelete))
        return STATUS_SHARING_VIOLATION;
    if (update) {
        s.openCount++;
        s.readers += r.read;
        s.writers += r.write;
        s.deleters += r.del;
        s.sharedRead += r.sharedRead;
        s.sharedWrite += r.sharedWrite;
        s.sharedDelete += r.sharedDelete;
    }
    return STATUS_SUCCESS;
}

bool AnyOpenBelow(const Volume &volume, const std::u16string &directory)
{
    for (FileObject *file : State().opens) {
        if (file->volume.get() == &volume && IsBelow(file->path, directory))
            return true;
    }
    return false;
}

NTSTATUS ReferenceFile(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<FileObject> *file)
{
    HandleEntry entry;
    NTSTATUS status = ReferenceHandle(handle, ObjectKind::File, &entry);
    if (!NT_SUCCESS(status))
        return status;
    if (!Granted(entry, needed))
        return STATUS_ACCESS_DENIED;
    *file = std::static_pointer_cast<FileObject>(entry.object);
    return STATUS_SUCCESS;
}

FileObject::~FileObject()
{
    if (fd >= 0)
        close(fd);
}

void FileObject::OnHandleClosed()
{
    if (closed)
        return;
    closed = true;
    FilesState &state = State();
    state.opens.erase(this);
    std::vector<FileObject *> &opens = node->opens;
    opens.erase(std::remove(opens.begin(), opens.end(), this), opens.end());
    RemoveShareAccess(*node, shareCounted, shareMode);

    if (deleteOnClose && !IsRoot() && !(NodeRecord(*this).attributes & FILE_ATTRIBUTE_READONLY) &&
        (!IsDirectory() || HostDirectoryEmpty(HostPath(*volume, path))))
        node->deletePending = true;

    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
    if (!opens.empty() || IsVolume())
        return;
    const std::string host = HostPath(*volume, path);
    if (node->deletePending) {
        /* NT cannot fail a close; a directory the host filled meanwhile
         * just stays. */
        JournalDelete(volume.get(), host, IsDirectory());
        const int result = IsDirectory() ? rmdir(host.c_str()) : unlink(host.c_str());
        if (result == 0) {
            DropFallbackRecords(*volume, host);
            TouchDirectory(*volume, ParentPath(path));
        }
    } else {
        FlushNodeRecord(*this);
    }
    auto found = state.nodes.find(node->id);
    if (found != state.nodes.end() && found->second == node)
        state.nodes.erase(found);
}

} // namespace fs

using namespace fs;

NTSTATUS AddVolume(const std::u16string &deviceName, const std::string &hostRoot)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    char *real = realpath(hostRoot.c_str(), nullptr);
    if (!real)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    std::string root = real;
    free(real);
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    auto volume = std::make_shared<Volume>();
    volume->fullName = deviceName;
    volume->hostRoot = root == "/" ? std::string() : root;
    struct stat fallback;
    volume->fallbackUsed = stat((volume->hostRoot + ".qelmbar-info").c_str(), &fallback) == 0;
    NTSTATUS status = ob::InsertObject(deviceName, volume, true);
    if (!NT_SUCCESS(status))
        return status;
    State().volumes.push_back(volume);
    return STATUS_SUCCESS;
}

NTSTATUS AddVolume(const std::u16string &deviceName, const std::string &hostRoot, WCHAR driveLetter)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (driveLetter >= u'a' && driveLetter <= u'z')
        driveLetter = (WCHAR)(driveLetter - u'a' + u'A');
    if (driveLetter < u'A' || driveLetter > u'Z')
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = AddVolume(deviceName, hostRoot);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<Volume> volume = State().volumes.back();
    const std::u16string link = std::u16string(u"\\GLOBAL??\\") + driveLetter + u":";
    status = CreatePermanentLink(link, deviceName);
    if (!NT_SUCCESS(status)) {
        ob::RemoveObject(deviceName);
        State().volumes.pop_back();
        return status;
    }
    volume->links.push_back(link);
    return STATUS_SUCCESS;
}

void RemoveVolumes()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    FilesState &state = State();
    if (!state.opens.empty())
        Violation("RemoveVolumes: %zu files are still open", state.opens.size());
    for (const std::shared_ptr<Volume> &volume : state.volumes) {
        for (const std::u16string &link : volume->links)
            RemoveLink(link);
        ob::RemoveObject(volume->fullName);
    }
    state.volumes.clear();
}

std::optional<std::string> VolumeHostRoot(const std::u16string &deviceName)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    for (const std::shared_ptr<Volume> &volume : State().volumes) {
        if (EqualIgnoringCase(volume->fullName, deviceName))
            return volume->hostRoot.empty() ? std::string("/") : volume->hostRoot;
    }
    return std::nullopt;
}

size_t OpenFileObjectCount()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return State().opens.size();
}

} // namespace sk
