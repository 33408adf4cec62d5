/*
 * file_metadata.cpp - the DOS attributes and NT times kept for host files.
 *
 * A record of 40 bytes sits in the extended attribute kHostInfoXattr of
 * the host file.  Where the host refuses it (Linux keeps no user
 * attributes on symbolic links) the record is a file under
 * "<host root>.qelmbar-info/", at the entry's relative path with ":basic"
 * appended; no NT name contains a colon, so records never collide with
 * the directories that mirror the tree.  A file without a record shows
 * what its host stat says.
 */
#include "simkernel/clock.h"
#include "simkernel/text.h"
#include "simkernel/volume.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <ftw.h>

namespace sk {
namespace fs {

namespace {

constexpr uint32_t kRecordMagic = 0x31494251; /* "QBI1" */

struct StoredRecord {
    uint32_t magic;
    uint32_t attributes;
    int64_t creationTime;
    int64_t lastAccessTime;
    int64_t lastWriteTime;
    int64_t changeTime;
};
static_assert(sizeof(StoredRecord) == 40, "record layout");

constexpr ULONG kKindBits = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

std::optional<Record> Decode(const StoredRecord &stored)
{
    if (stored.magic != kRecordMagic)
        return std::nullopt;
    Record record;
    record.attributes = stored.attributes;
    record.creationTime = stored.creationTime;
    record.lastAccessTime = stored.lastAccessTime;
    record.lastWriteTime = stored.lastWriteTime;
    record.changeTime = stored.changeTime;
    return record;
}

StoredRecord Encode(const Record &record)
{
    StoredRecord stored;
    stored.magic = kRecordMagic;
    stored.attributes = record.attributes;
    stored.creationTime = record.creationTime;
    stored.lastAccessTime = record.lastAccessTime;
    stored.lastWriteTime = record.lastWriteTime;
    stored.changeTime = record.changeTime;
    return stored;
}

std::string FallbackRoot(const Volume &volume)
{
    return volume.hostRoot + ".qelmbar-info";
}

/* The entry's path below the volume root ("" for the root), or nullopt. */
std::optional<std::string> RelativePath(const Volume &volume, const std::string &hostPath)
{
    const std::string &root = volume.hostRoot;
    if (hostPath == root)
        return std::string();
    if (hostPath.compare(0, root.size(), root) != 0 || hostPath[root.size()] != '/')
        return std::nullopt;
    return hostPath.substr(root.size() + 1);
}

std::string FallbackFile(const Volume &volume, const std::string &relative)
{
    return FallbackRoot(volume) + '/' + relative + ":basic";
}

void MakeParents(const std::string &path)
{
    for (size_t cut = path.find('/', 1); cut != std::string::npos; cut = path.find('/', cut + 1))
        mkdir(path.substr(0, cut).c_str(), 0777);
}

bool Refused(int error)
{
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP;
}

void RemoveTree(const std::string &path)
{
    nftw(
        path.c_str(),
        [](const char *name, const struct stat *, int, struct FTW *) { return remove(name); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

LONGLONG CreationTimeOf(const std::string &hostPath, const struct stat &st)
{
    struct statx stx;
    if (statx(AT_FDCWD, hostPath.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &stx) == 0 &&
        (stx.stx_mask & STATX_BTIME)) {
        struct timespec ts = {(time_t)stx.stx_btime.tv_sec, (long)stx.stx_btime.tv_nsec};
        return NtTimeFromUnix(ts);
    }
    return NtTimeFromUnix(st.st_mtim);
}

} // namespace

ULONG KindAttributes(EntryKind kind, bool linkToDirectory)
{
    switch (kind) {
    case EntryKind::Directory: return FILE_ATTRIBUTE_DIRECTORY;
    case EntryKind::Link:
        return FILE_ATTRIBUTE_REPARSE_POINT | (linkToDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    default: return 0;
    }
}

std::optional<Record> LoadKeptRecord(const Volume *volume, const std::string &hostPath)
{
    StoredRecord stored;
    ssize_t n = lgetxattr(hostPath.c_str(), kHostInfoXattr, &stored, sizeof(stored));
    if (n == (ssize_t)sizeof(stored))
        return Decode(stored);
    if (!volume || !volume->fallbackUsed)
        return std::nullopt;
    std::optional<std::string> relative = RelativePath(*volume, hostPath);
    if (!relative)
        return std::nullopt;
    int fd = open(FallbackFile(*volume, *relative).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    n = read(fd, &stored, sizeof(stored));
    close(fd);
    if (n != (ssize_t)sizeof(stored))
        return std::nullopt;
    return Decode(stored);
}

NTSTATUS StoreRecord(const Volume *volume, const std::string &hostPath, const Record &record)
{
    JournalRecord(volume, hostPath);
    const StoredRecord stored = Encode(record);
    if (lsetxattr(hostPath.c_str(), kHostInfoXattr, &stored, sizeof(stored), 0) == 0)
        return STATUS_SUCCESS;
    const int error = errno;
    std::optional<std::string> relative;
    if (!Refused(error) || !volume || !(relative = RelativePath(*volume, hostPath)))
        return StatusFromErrno(error);
    const std::string file = FallbackFile(*volume, *relative);
    volume->fallbackUsed = true;
    MakeParents(file);
    const std::string temporary = file + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return StatusFromErrno(errno);
    const bool written = write(fd, &stored, sizeof(stored)) == (ssize_t)sizeof(stored);
    close(fd);
    if (!written || rename(temporary.c_str(), file.c_str()) != 0) {
        unlink(temporary.c_str());
        return STATUS_UNEXPECTED_IO_ERROR;
    }
    return STATUS_SUCCESS;
}

void MoveFallbackRecords(const Volume &volume, const std::string &fromHost, const std::string &toHost)
{
    if (!volume.fallbackUsed)
        return;
    std::optional<std::string> from = RelativePath(volume, fromHost);
    std::optional<std::string> to = RelativePath(volume, toHost);
    if (!from || !to || from->empty() || to->empty())
        return;
    const std::string toFile = FallbackFile(volume, *to);
    MakeParents(toFile);
    DropFallbackRecords(volume, toHost);
    rename(FallbackFile(volume, *from).c_str(), toFile.c_str());
    const std::string root = FallbackRoot(volume);
    rename((root + '/' + *from).c_str(), (root + '/' + *to).c_str());
}

void DropFallbackRecords(const Volume &volume, const std::string &hostPath)
{
    if (!volume.fallbackUsed)
        return;
    std::optional<std::string> relative = RelativePath(volume, hostPath);
    if (!relative || relative->empty())
        return;
    unlink(FallbackFile(volume, *relative).c_str());
    RemoveTree(FallbackRoot(volume) + '/' + *relative);
}

Record LoadRecord(const Volume *volume, const std::string &hostPath, EntryKind kind,
                  bool linkToDirectory, const struct stat &st)
{
    Record record;
    if (std::optional<Record> kept = LoadKeptRecord(volume, hostPath)) {
        record = *kept;
        record.attributes = (record.attributes & ~kKindBits) | KindAttributes(kind, linkToDirectory);
        return record;
    }
    record.creationTime = CreationTimeOf(hostPath, st);
    record.lastAccessTime = NtTimeFromUnix(st.st_atim);
    record.lastWriteTime = NtTimeFromUnix(st.st_mtim);
    record.changeTime = NtTimeFromUnix(st.st_ctim);
    switch (kind) {
    case EntryKind::Directory:
        record.attributes = FILE_ATTRIBUTE_DIRECTORY;
        break;
    case EntryKind::Link:
        record.attributes = KindAttributes(kind, linkToDirectory) |
                            (linkToDirectory ? 0 : FILE_ATTRIBUTE_ARCHIVE);
        break;
    default:
        record.attributes =
            FILE_ATTRIBUTE_ARCHIVE | ((st.st_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY);
        break;
    }
    return record;
}

Record &NodeRecord(FileObject &file)
{
    FileNode &node = *file.node;
    if (!node.record) {
        const std::string host = HostPath(*file.volume, file.path);
        struct stat st = {};
        lstat(host.c_str(), &st);
        const bool linkToDirectory = node.kind == EntryKind::Link && LinkPointsAtDirectory(host);
        node.record = LoadRecord(file.volume.get(), host, node.kind, linkToDirectory, st);
    }
    return *node.record;
}

void MarkDirty(FileObject &file)
{
    file.node->recordDirty = true;
}

void FlushNodeRecord(FileObject &file)
{
    FileNode &node = *file.node;
    if (node.record && node.recordDirty) {
        StoreRecord(file.volume.get(), HostPath(*file.volume, file.path), *node.record);
        node.recordDirty = false;
    }
}

void TouchDirectory(const Volume &volume, const std::u16string &path)
{
    const std::string host = HostPath(volume, path);
    struct stat st;
    if (lstat(host.c_str(), &st) != 0)
        return;
    const LONGLONG now = SystemTimeNow();
    if (std::shared_ptr<FileNode> node = FindNode(FileId{st.st_dev, st.st_ino})) {
        if (!node->opens.empty()) {
            Record &record = NodeRecord(*node->opens.front());
            record.lastWriteTime = record.changeTime = now;
            node->recordDirty = true;
            return;
        }
    }
    Record record = LoadRecord(&volume, host, KindOf(st), false, st);
    record.lastWriteTime = record.changeTime = now;
    StoreRecord(&volume, host, record);
}

} // namespace fs

using namespace fs;

namespace {

/* The volume whose tree holds a host path. */
Volume *VolumeOf(const std::string &hostPath)
{
    for (const std::shared_ptr<Volume> &volume : State().volumes) {
        const std::string &root = volume->hostRoot;
        if (hostPath == root ||
            (hostPath.compare(0, root.size(), root) == 0 && hostPath[root.size()] == '/'))
            return volume.get();
    }
    return nullptr;
}

std::string Absolute(const std::string &hostPath)
{
    /* Resolves the directory part only, so a link at the end stays the
     * link. */
    size_t cut = hostPath.rfind('/');
    std::string directory = cut == std::string::npos ? "." : cut == 0 ? "/" : hostPath.substr(0, cut);
    char *real = realpath(directory.c_str(), nullptr);
    if (!real)
        return hostPath;
    std::string out = real;
    free(real);
    if (cut != std::string::npos)
        out += (out == "/" ? "" : "/") + hostPath.substr(cut + 1);
    return out;
}

} // namespace

std::optional<FileTimesAndAttributes> HostFileInfo(const std::string &hostPath)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const std::string path = Absolute(hostPath);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    Record record;
    std::shared_ptr<FileNode> node = FindNode(FileId{st.st_dev, st.st_ino});
    if (node && !node->opens.empty()) {
        record = NodeRecord(*node->opens.front());
    } else {
        const EntryKind kind = KindOf(st);
        record = LoadRecord(VolumeOf(path), path, kind,
                            kind == EntryKind::Link && LinkPointsAtDirectory(path), st);
    }
    if (record.attributes == 0)
        record.attributes = FILE_ATTRIBUTE_NORMAL;
    return record;
}

NTSTATUS SetHostFileInfo(const std::string &hostPath, const FileTimesAndAttributes &info)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const std::string path = Absolute(hostPath);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::shared_ptr<FileNode> node = FindNode(FileId{st.st_dev, st.st_ino});
    if (node && !node->opens.empty()) {
        Violation("SetHostFileInfo: %s is open in the simulation", path.c_str());
        return STATUS_SHARING_VIOLATION;
    }
    Record record = info;
    record.attributes &= FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL;
    return StoreRecord(VolumeOf(path), path, record);
}

bool HostFileHasRecord(const std::string &hostPath)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    const std::string path = Absolute(hostPath);
    return LoadKeptRecord(VolumeOf(path), path).has_value();
}

} // namespace sk
