/*
 * directory_index.cpp - the names of a host directory, kept sorted, so that
 * a look-up ignoring case and a listing's next batch cost a search rather
 * than a read and sort of the whole directory.
 *
 * An index is kept per directory (by its inode, through the watch inotify
 * gives it) and follows the host tree through the watch's events: every
 * change made through the simulated volumes, by a power cut putting the
 * tree back, or by anyone else on the host, shows before the next use.  A
 * fork child (a machine's boot) starts an instance of its own; an
 * overflowing event queue drops every index, to be read again when next
 * used.  Where no watch can be had, each use reads the directory, as a
 * host without inotify would need.
 */
#include "simkernel/upcase.h"
#include "simkernel/volume.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <unordered_map>

namespace sk {
namespace fs {

namespace {

/* Watches kept at most; past that, directories are read at each use. */
constexpr size_t kMaxIndexedDirectories = 16384;
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;

struct IndexState {
    int fd = -1;
    pid_t owner = 0;
    std::unordered_map<int, std::shared_ptr<DirectoryIndex>> byWatch;
};

IndexState &Indexes()
{
    static IndexState state;
    return state;
}

/* The entry as a listing shows it, or nullopt for a host name NT cannot
 * have. */
std::optional<IndexedName> Indexed(const char *hostName)
{
    std::optional<std::u16string> name = NtName(hostName);
    if (!name || !NT_SUCCESS(CheckComponent(*name)))
        return std::nullopt;
    IndexedName entry;
    entry.upcased = Upcase(*name);
    entry.name = std::move(*name);
    return entry;
}

/* nullptr when the directory cannot be read. */
std::shared_ptr<DirectoryIndex> ReadDirectory(const std::string &hostDirectory)
{
    DIR *dir = opendir(hostDirectory.c_str());
    if (!dir)
        return nullptr;
    auto index = std::make_shared<DirectoryIndex>();
    while (struct dirent *entry = readdir(dir)) {
        std::optional<IndexedName> name = Indexed(entry->d_name);
        if (name)
            index->insert(std::move(*name));
    }
    closedir(dir);
    return index;
}

void CloseIndexes(IndexState &state)
{
    /* A fork child's descriptor is its parent's instance too: closing it
     * here leaves the parent's watches alone. */
    if (state.fd >= 0)
        close(state.fd);
    state.fd = -1;
    state.byWatch.clear();
}

/* An index still in a caller's hands is copied before it changes. */
DirectoryIndex &Writable(std::shared_ptr<DirectoryIndex> &index)
{
    if (index.use_count() > 1)
        index = std::make_shared<DirectoryIndex>(*index);
    return *index;
}

/* Applies what happened since the last use; false when the queue
 * overflowed and nothing can be trusted. */
bool Drain(IndexState &state)
{
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = read(state.fd, buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN;
        }
        if (n == 0)
            return false;
        for (ssize_t at = 0; at < n;) {
            const auto *event = (const struct inotify_event *)(buffer + at);
            at += (ssize_t)(sizeof(struct inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW)
                return false;
            auto found = state.byWatch.find(event->wd);
            if (found == state.byWatch.end())
                continue;
            if (event->mask & IN_IGNORED) {
                state.byWatch.erase(found);
                continue;
            }
            if (!event->len)
                continue;
            std::optional<IndexedName> name = Indexed(event->name);
            if (!name)
                continue;
            if (event->mask & (IN_CREATE | IN_MOVED_TO))
                Writable(found->second).insert(std::move(*name));
            else if (event->mask & (IN_DELETE | IN_MOVED_FROM))
                Writable(found->second).erase(*name);
        }
    }
}

} // namespace

std::shared_ptr<const DirectoryIndex> IndexOf(const std::string &hostDirectory)
{
    IndexState &state = Indexes();
    if (state.owner != getpid()) {
        CloseIndexes(state);
        state.owner = getpid();
    }
    if (state.fd < 0)
        state.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (state.fd < 0)
        return ReadDirectory(hostDirectory);
    if (!Drain(state))
        CloseIndexes(state);
    if (state.fd < 0) {
        state.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (state.fd < 0)
            return ReadDirectory(hostDirectory);
    }
    if (state.byWatch.size() >= kMaxIndexedDirectories)
        return ReadDirectory(hostDirectory);
    /* The watch comes first, so that no change after the read is missed;
     * one in between is applied again, which changes nothing. */
    const int wd = inotify_add_watch(state.fd, hostDirectory.c_str(), kWatchMask);
    if (wd < 0)
        return ReadDirectory(hostDirectory);
    std::shared_ptr<DirectoryIndex> &slot = state.byWatch[wd];
    if (!slot) {
        slot = ReadDirectory(hostDirectory);
        if (!slot) {
            state.byWatch.erase(wd);
            inotify_rm_watch(state.fd, wd);
            return nullptr;
        }
    }
    return slot;
}

size_t IndexedDirectoryCount()
{
    return Indexes().byWatch.size();
}

void ForgetDirectoryIndexes()
{
    CloseIndexes(Indexes());
}

} // namespace fs
} // namespace sk
