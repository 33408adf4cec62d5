/*
 * disk_journal.cpp - what a volume keeps at a power loss.
 *
 * The file routines write through to the host at once; while durability
 * is tracked, each change also leaves here what it takes to undo it, so
 * that a power cut can turn the host tree into what NTFS may leave:
 *
 *   - Metadata (creation, size, rename, delete, attributes and times) is
 *     journaled in order per volume.  A flush of any file of the volume, or
 *     of the volume, makes every change so far sure; of the later ones a
 *     cut keeps an in-order prefix (none, all, or a count), and the rest is
 *     undone newest first.
 *   - File data written since that file's last flush is lost: once the
 *     metadata is settled, every byte written since reads as zero, up to
 *     the size that survived.
 *
 * Undoing a delete or a replacing rename needs the file that went: it is
 * kept as a hard link under "<host root>.qelmbar-journal/" until the change
 * is sure.  A truncation keeps the bytes it cut off there as well.  Hives
 * are written by their own path (hive_writer.cpp) and never pass here.
 */
#include "simkernel/upcase.h"
#include "simkernel/volume.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <ftw.h>

#include <algorithm>
#include <atomic>

namespace sk {
namespace fs {

namespace {

struct Extent {
    off_t begin, end;
};

struct Change {
    enum class Kind { Create, Size, Rename, Delete, Record };
    Kind kind = Kind::Create;
    std::string path;          /* host path the change applied to */
    std::string other;         /* Rename: the new host path */
    std::string kept;          /* stash: a deleted or replaced file, or cut-off bytes */
    bool directory = false;
    off_t oldSize = 0;
    std::optional<Record> oldRecord; /* Record, Delete of a directory */
    /* A truncation: the file, and what of it was unflushed before. */
    FileId file;
    std::vector<Extent> unflushedBefore;
};

struct VolumeJournal {
    std::vector<Change> changes; /* since the last flush, oldest first */
    /* Bytes written since each file's last flush, by file. */
    std::map<FileId, std::vector<Extent>> unflushed;
    unsigned stashed = 0;
};

struct JournalState {
    bool tracking = false;
    bool undoing = false;
    std::map<const Volume *, VolumeJournal> volumes;
};

JournalState &Journal()
{
    static JournalState state;
    return state;
}

VolumeJournal *JournalOf(const Volume *volume)
{
    JournalState &state = Journal();
    if (!state.tracking || state.undoing || !volume)
        return nullptr;
    return &state.volumes[volume];
}

std::string StashRoot(const Volume &volume)
{
    return volume.hostRoot + ".qelmbar-journal";
}

std::string NewStash(const Volume &volume, VolumeJournal &journal)
{
    const std::string root = StashRoot(volume);
    mkdir(root.c_str(), 0777);
    return root + "/" + std::to_string(++journal.stashed);
}

/* Every change so far is sure: their stashes go, and the unflushed data
 * of files deleted for good with them. */
void Settle(const Volume &volume, VolumeJournal &journal)
{
    for (const Change &change : journal.changes) {
        if (change.kept.empty())
            continue;
        struct stat st;
        if (lstat(change.kept.c_str(), &st) == 0 && st.st_nlink == 1)
            journal.unflushed.erase(FileId{st.st_dev, st.st_ino});
        unlink(change.kept.c_str());
    }
    journal.changes.clear();
    rmdir(StashRoot(volume).c_str());
}

void AddExtent(std::vector<Extent> &extents, off_t begin, off_t end)
{
    if (!extents.empty() && begin <= extents.back().end && end >= extents.back().begin) {
        extents.back().begin = std::min(extents.back().begin, begin);
        extents.back().end = std::max(extents.back().end, end);
        return;
    }
    extents.push_back({begin, end});
}

bool CopyBytes(int from, int to, off_t offset, off_t end)
{
    char buffer[65536];
    while (offset < end) {
        const size_t want = (size_t)std::min<off_t>(sizeof(buffer), end - offset);
        const ssize_t n = pread(from, buffer, want, offset);
        if (n <= 0)
            return n == 0;
        if (pwrite(to, buffer, (size_t)n, offset) != n)
            return false;
        offset += n;
    }
    return true;
}

void Report(const char *what, const std::string &path)
{
    Violation("power cut: cannot undo %s of %s: %s", what, path.c_str(), strerror(errno));
}

void Undo(const Volume &volume, VolumeJournal &journal, const Change &change)
{
    switch (change.kind) {
    case Change::Kind::Create:
        if ((change.directory ? rmdir(change.path.c_str()) : unlink(change.path.c_str())) != 0)
            Report("the creation", change.path);
        DropFallbackRecords(volume, change.path);
        break;
    case Change::Kind::Size: {
        const int fd = open(change.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            Report("the size", change.path);
            break;
        }
        bool done = ftruncate(fd, change.oldSize) == 0;
        if (done && !change.kept.empty()) {
            const int kept = open(change.kept.c_str(), O_RDONLY | O_CLOEXEC);
            done = kept >= 0 && CopyBytes(kept, fd, 0, change.oldSize);
            if (kept >= 0)
                close(kept);
        }
        close(fd);
        if (!done)
            Report("the size", change.path);
        /* The cut-off bytes come back as they were; what was written
         * after the truncation is gone with it. */
        if (!change.kept.empty())
            journal.unflushed[change.file] = change.unflushedBefore;
        break;
    }
    case Change::Kind::Rename:
        if (rename(change.other.c_str(), change.path.c_str()) != 0) {
            Report("the rename", change.other);
            break;
        }
        MoveFallbackRecords(volume, change.other, change.path);
        if (!change.kept.empty() && rename(change.kept.c_str(), change.other.c_str()) != 0)
            Report("the replacement", change.other);
        break;
    case Change::Kind::Delete:
        if (change.directory) {
            if (mkdir(change.path.c_str(), 0777) != 0)
                Report("the deletion", change.path);
            else if (change.oldRecord)
                StoreRecord(&volume, change.path, *change.oldRecord);
        } else if (rename(change.kept.c_str(), change.path.c_str()) != 0) {
            Report("the deletion", change.path);
        }
        break;
    case Change::Kind::Record:
        if (change.oldRecord) {
            StoreRecord(&volume, change.path, *change.oldRecord);
        } else if (lremovexattr(change.path.c_str(), kHostInfoXattr) != 0 && errno != ENODATA) {
            Report("the attributes", change.path);
        }
        break;
    }
}

/* Zeroes what was written since the last flush in every file of the tree
 * that survived. */
void LoseUnflushedData(const Volume &volume, VolumeJournal &journal)
{
    if (journal.unflushed.empty())
        return;
    static std::map<FileId, std::vector<Extent>> *pending;
    pending = &journal.unflushed;
    nftw(
        (volume.hostRoot.empty() ? std::string("/") : volume.hostRoot).c_str(),
        [](const char *name, const struct stat *st, int type, struct FTW *) {
            if (type != FTW_F || !S_ISREG(st->st_mode))
                return 0;
            auto found = pending->find(FileId{st->st_dev, st->st_ino});
            if (found == pending->end())
                return 0;
            const int fd = open(name, O_WRONLY | O_CLOEXEC);
            if (fd < 0)
                return 0;
            static const char zeros[65536] = {};
            for (const Extent &extent : found->second) {
                for (off_t at = extent.begin; at < std::min(extent.end, st->st_size);) {
                    const size_t n = (size_t)std::min<off_t>(
                        sizeof(zeros), std::min(extent.end, st->st_size) - at);
                    if (pwrite(fd, zeros, n, at) != (ssize_t)n)
                        break;
                    at += (off_t)n;
                }
            }
            close(fd);
            return 0;
        },
        16, FTW_PHYS);
    journal.unflushed.clear();
}

} // namespace

void JournalCreate(const Volume *volume, const std::string &hostPath, bool directory)
{
    if (VolumeJournal *journal = JournalOf(volume)) {
        Change change;
        change.kind = Change::Kind::Create;
        change.path = hostPath;
        change.directory = directory;
        journal->changes.push_back(std::move(change));
    }
}

void JournalTruncate(const Volume *volume, const std::string &hostPath, const struct stat &st)
{
    VolumeJournal *journal = JournalOf(volume);
    if (!journal || !S_ISREG(st.st_mode) || st.st_size == 0)
        return;
    Change change;
    change.kind = Change::Kind::Size;
    change.path = hostPath;
    change.oldSize = st.st_size;
    change.file = FileId{st.st_dev, st.st_ino};
    auto unflushed = journal->unflushed.find(change.file);
    if (unflushed != journal->unflushed.end())
        change.unflushedBefore = unflushed->second;
    change.kept = NewStash(*volume, *journal);
    const int from = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    const int to = open(change.kept.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool copied = from >= 0 && to >= 0 && CopyBytes(from, to, 0, st.st_size);
    if (from >= 0)
        close(from);
    if (to >= 0)
        close(to);
    if (!copied)
        Violation("power-cut journal: cannot keep the data of %s", hostPath.c_str());
    journal->changes.push_back(std::move(change));
}

void JournalWrite(const Volume *volume, const std::string &hostPath, int fd, off_t offset,
                  size_t length)
{
    VolumeJournal *journal = JournalOf(volume);
    struct stat st;
    if (!journal || !length || fstat(fd, &st) != 0)
        return;
    const off_t end = offset + (off_t)length;
    if (end > st.st_size) {
        Change change;
        change.kind = Change::Kind::Size;
        change.path = hostPath;
        change.oldSize = st.st_size;
        journal->changes.push_back(std::move(change));
    }
    AddExtent(journal->unflushed[FileId{st.st_dev, st.st_ino}], offset, end);
}

void JournalRename(const Volume *volume, const std::string &fromHost, const std::string &toHost,
                   bool replaces)
{
    VolumeJournal *journal = JournalOf(volume);
    if (!journal)
        return;
    Change change;
    change.kind = Change::Kind::Rename;
    change.path = fromHost;
    change.other = toHost;
    if (replaces) {
        change.kept = NewStash(*volume, *journal);
        if (link(toHost.c_str(), change.kept.c_str()) != 0)
            Violation("power-cut journal: cannot keep %s: %s", toHost.c_str(), strerror(errno));
    }
    journal->changes.push_back(std::move(change));
}

void JournalDelete(const Volume *volume, const std::string &hostPath, bool directory)
{
    VolumeJournal *journal = JournalOf(volume);
    if (!journal)
        return;
    Change change;
    change.kind = Change::Kind::Delete;
    change.path = hostPath;
    change.directory = directory;
    if (directory) {
        change.oldRecord = LoadKeptRecord(volume, hostPath);
    } else {
        change.kept = NewStash(*volume, *journal);
        if (link(hostPath.c_str(), change.kept.c_str()) != 0)
            Violation("power-cut journal: cannot keep %s: %s", hostPath.c_str(), strerror(errno));
    }
    journal->changes.push_back(std::move(change));
}

void JournalRecord(const Volume *volume, const std::string &hostPath)
{
    VolumeJournal *journal = JournalOf(volume);
    if (!journal)
        return;
    /* A new file's first record is part of its creation. */
    if (!journal->changes.empty() && journal->changes.back().kind == Change::Kind::Create &&
        journal->changes.back().path == hostPath)
        return;
    Change change;
    change.kind = Change::Kind::Record;
    change.path = hostPath;
    change.oldRecord = LoadKeptRecord(volume, hostPath);
    journal->changes.push_back(std::move(change));
}

void JournalFlush(const Volume *volume, const FileId *file)
{
    VolumeJournal *journal = JournalOf(volume);
    if (!journal)
        return;
    if (file)
        journal->unflushed.erase(*file);
    else
        journal->unflushed.clear();
    Settle(*volume, *journal);
}

} // namespace fs

using namespace fs;

namespace {
std::atomic<bool> hostSync{true};
} // namespace

void SetHostSync(bool on)
{
    hostSync = on;
}

bool HostSync()
{
    return hostSync;
}

void TrackDurability(bool on)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    JournalState &state = Journal();
    for (auto &entry : state.volumes)
        Settle(*entry.first, entry.second);
    state.volumes.clear();
    state.tracking = on;
}

bool TracksDurability()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return Journal().tracking;
}

void FlushVolumes()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    for (auto &entry : Journal().volumes) {
        entry.second.unflushed.clear();
        Settle(*entry.first, entry.second);
    }
}

size_t UnsureChanges(const std::u16string &deviceName)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    for (auto &entry : Journal().volumes) {
        if (EqualIgnoringCase(entry.first->fullName, deviceName))
            return entry.second.changes.size();
    }
    return 0;
}

void CutPower(const SurvivingJournal &surviving)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    JournalState &state = Journal();
    if (!state.tracking) {
        Violation("CutPower: durability is not tracked (TrackDurability)");
        return;
    }
    state.undoing = true;
    for (auto &entry : state.volumes) {
        const Volume &volume = *entry.first;
        VolumeJournal &journal = entry.second;
        size_t keep = journal.changes.size();
        if (surviving.kind == SurvivingJournal::Kind::None)
            keep = 0;
        else if (surviving.kind == SurvivingJournal::Kind::Count)
            keep = std::min(keep, surviving.count);
        for (size_t i = journal.changes.size(); i > keep; i--)
            Undo(volume, journal, journal.changes[i - 1]);
        journal.changes.resize(keep);
        LoseUnflushedData(volume, journal);
        Settle(volume, journal);
    }
    state.volumes.clear();
    state.undoing = false;
    state.tracking = false;
}

} // namespace sk
