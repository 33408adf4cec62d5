/*
 * create.cpp - new machines, and copies of machines with their files'
 * extended attributes.
 */
#include "machine/internal.h"

#include "simkernel/hive_load.h"
#include "simkernel/registry.h"
#include "simkernel/sim.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace qm {

namespace {

/* The extended attributes of one open file or directory onto another:
 * simkernel keeps NT's attributes and times there.  Only the user
 * namespace must come across; others the host may refuse. */
bool CopyAttributes(int from, int to, const std::string &where, std::string *error)
{
    char stack[1024];
    std::vector<char> heap;
    char *names = stack;
    ssize_t size = flistxattr(from, stack, sizeof(stack));
    if (size < 0 && errno == ERANGE) {
        size = flistxattr(from, nullptr, 0);
        if (size > 0) {
            heap.resize((size_t)size);
            names = heap.data();
            size = flistxattr(from, names, heap.size());
        }
    }
    if (size <= 0)
        return true;
    std::vector<char> value(4096);
    for (size_t at = 0; at < (size_t)size;) {
        const char *name = names + at;
        at += strlen(name) + 1;
        ssize_t length = fgetxattr(from, name, value.data(), value.size());
        if (length < 0 && errno == ERANGE) {
            length = fgetxattr(from, name, nullptr, 0);
            if (length < 0)
                continue;
            value.resize((size_t)length);
            length = fgetxattr(from, name, value.data(), value.size());
        }
        if (length < 0)
            continue;
        if (fsetxattr(to, name, value.data(), (size_t)length, 0) != 0 &&
            strncmp(name, "user.", 5) == 0) {
            SetError(error, where + ": " + name + ": " + strerror(errno));
            return false;
        }
    }
    return true;
}

/* How the data of a file may be copied on this pair of file systems; each
 * way the host refuses once is not tried again. */
struct CopyWays {
    bool clone = true;
    bool inKernel = true;
    /* Bytes the copy may still take (each entry counts its blocks and one
     * more page); past it the copy stops with overBudget set. */
    uint64_t budget = UINT64_MAX;
    bool overBudget = false;

    bool Take(const struct stat &st)
    {
        const uint64_t bytes = (uint64_t)st.st_blocks * 512 + 4096;
        if (bytes > budget) {
            overBudget = true;
            return false;
        }
        budget -= bytes;
        return true;
    }
};

/* The data of one regular file of size bytes: a reflink where the file
 * system shares extents, else a copy in the kernel, else through a
 * buffer. */
bool CopyData(int from, int to, off_t size, CopyWays *ways)
{
    if (size == 0)
        return true;
    if (ways->clone) {
        if (ioctl(to, FICLONE, from) == 0)
            return true;
        /* A file system without shared extents says so for every file. */
        if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL || errno == EXDEV)
            ways->clone = false;
    }
    off_t done = 0;
    while (ways->inKernel && done < size) {
        ssize_t n = copy_file_range(from, nullptr, to, nullptr, (size_t)(size - done), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL))
            ways->inKernel = false;
        if (n <= 0)
            break;
        done += n;
    }
    /* The rest through a buffer, up to the size the file had; a file that
     * grows meanwhile is copied as far as it goes. */
    char buffer[65536];
    for (;;) {
        ssize_t n = pread(from, buffer, sizeof(buffer), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        for (ssize_t written = 0; written < n;) {
            ssize_t w = pwrite(to, buffer + written, (size_t)(n - written), done + written);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            written += w;
        }
        done += n;
        if (done >= size && (size_t)n < sizeof(buffer))
            return true;
    }
}

/* Closes a descriptor when it goes out of scope. */
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

/* Copies the entries of directory from (open) into directory to (open),
 * depth first; where names the target for messages. */
bool CopyTree(int from, int to, const std::string &where, int depth, CopyWays *ways,
              std::string *error)
{
    if (depth > 4096) {
        SetError(error, where + ": too deep");
        return false;
    }
    int listing = dup(from);
    DIR *dir = listing >= 0 ? fdopendir(listing) : nullptr;
    if (!dir) {
        if (listing >= 0)
            close(listing);
        SetError(error, where + ": " + strerror(errno));
        return false;
    }
    bool ok = true;
    while (ok) {
        errno = 0;
        struct dirent *entry = readdir(dir);
        if (!entry) {
            if (errno != 0) {
                SetError(error, where + ": " + strerror(errno));
                ok = false;
            }
            break;
        }
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        const std::string target = where + "/" + name;
        struct stat st;
        if (fstatat(from, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            SetError(error, target + ": " + strerror(errno));
            ok = false;
            break;
        }
        if (!ways->Take(st)) {
            SetError(error, where + ": the copy would take more room than it may");
            ok = false;
            break;
        }
        if (S_ISLNK(st.st_mode)) {
            std::vector<char> link((size_t)st.st_size + 2);
            ssize_t n = readlinkat(from, name, link.data(), link.size() - 1);
            if (n < 0 || symlinkat(std::string(link.data(), (size_t)n).c_str(), to, name) != 0) {
                SetError(error, target + ": " + strerror(errno));
                ok = false;
            }
        } else if (S_ISDIR(st.st_mode)) {
            /* Writable while it fills; its own mode once full. */
            if (mkdirat(to, name, 0700) != 0) {
                SetError(error, target + ": " + strerror(errno));
                ok = false;
                break;
            }
            Descriptor source(openat(from, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            Descriptor copy(openat(to, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (source.fd < 0 || copy.fd < 0) {
                SetError(error, target + ": " + strerror(errno));
                ok = false;
                break;
            }
            ok = CopyTree(source.fd, copy.fd, target, depth + 1, ways, error) &&
                 CopyAttributes(source.fd, copy.fd, target, error);
            if (ok && fchmod(copy.fd, st.st_mode & 07777) != 0) {
                SetError(error, target + ": " + strerror(errno));
                ok = false;
            }
        } else if (S_ISREG(st.st_mode)) {
            Descriptor source(openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            Descriptor copy(openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   st.st_mode & 07777));
            if (source.fd < 0 || copy.fd < 0 || !CopyData(source.fd, copy.fd, st.st_size, ways)) {
                SetError(error, target + ": " + strerror(errno));
                ok = false;
                break;
            }
            ok = CopyAttributes(source.fd, copy.fd, target, error);
        } else {
            SetError(error, target + ": neither a file, a directory nor a symbolic link");
            ok = false;
        }
    }
    closedir(dir);
    return ok;
}

} // namespace

bool CreateMachine(const std::string &dir, std::string *error)
{
    std::error_code ec;
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) {
            SetError(error, dir + ": exists and is no directory");
            return false;
        }
        if (!fs::is_empty(dir, ec)) {
            SetError(error, dir + ": exists and is not empty");
            return false;
        }
    }
    const fs::path windows = fs::path(VolumeRoot(dir)) / "Windows";
    for (const fs::path &sub : { windows / "System32" / "config", windows / "System32" / "drivers",
                                 windows / "Temp" }) {
        fs::create_directories(sub, ec);
        if (ec) {
            SetError(error, sub.string() + ": " + ec.message());
            return false;
        }
    }
    {
        std::ofstream image(windows / "System32" / "drivers" / "qelmbar.sys", std::ios::binary);
        if (!image) {
            SetError(error, (windows / "System32" / "drivers" / "qelmbar.sys").string() +
                                ": cannot be created");
            return false;
        }
    }

    bool wrote = WorkInChild(
        [&] {
            sk::ResetKernel();
            std::string message;
            auto check = [&](const std::string &step, NTSTATUS status) {
                if (!NT_SUCCESS(status) && message.empty())
                    message = step + ": " + Status(status);
            };
            for (Hive hive : kAllHives)
                check(std::string("mounting ") + HiveFileName(hive),
                      sk::MountHive(HiveMountPath(hive), U16(HiveFileName(hive)),
                                    U16(HiveFilePath(dir, hive))));

            const std::u16string system = HiveMountPath(Hive::System);
            const std::u16string select = system + u"\\Select";
            check("Select", sk::RegCreateKey(select));
            check("Select", sk::RegSetDword(select, u"Current", 1));
            check("Select", sk::RegSetDword(select, u"Default", 1));
            check("Select", sk::RegSetDword(select, u"Failed", 0));
            check("Select", sk::RegSetDword(select, u"LastKnownGood", 1));
            const std::u16string service = system + u"\\" + kServiceKey;
            check("service", sk::RegCreateKey(service));
            check("service", sk::RegSetDword(service, u"Type", 1));
            check("service", sk::RegSetDword(service, u"Start", 0));
            check("service", sk::RegSetDword(service, u"ErrorControl", 1));
            check("service", sk::RegSetString(service, u"ImagePath",
                                              u"System32\\drivers\\qelmbar.sys", REG_EXPAND_SZ));
            check("service", sk::RegSetString(service, u"Group", u"Boot Bus Extender"));
            check("Class", sk::RegCreateKey(system + u"\\ControlSet001\\Control\\Class"));

            const std::u16string version =
                HiveMountPath(Hive::Software) + u"\\Microsoft\\Windows NT\\CurrentVersion";
            check("CurrentVersion", sk::RegCreateKey(version));
            check("CurrentVersion", sk::RegSetString(version, u"SystemRoot", u"C:\\Windows"));
            check("CurrentVersion", sk::RegSetString(version, u"CurrentBuildNumber", u"19045"));
            check("SAM", sk::RegCreateKey(HiveMountPath(Hive::Sam) + u"\\SAM\\Domains\\Account"));
            check("SECURITY", sk::RegCreateKey(HiveMountPath(Hive::Security) + u"\\Policy"));
            check("DEFAULT", sk::RegCreateKey(HiveMountPath(Hive::Default) + u"\\Control Panel"));
            check("DEFAULT", sk::RegCreateKey(HiveMountPath(Hive::Default) + u"\\Software"));

            for (Hive hive : kAllHives)
                check(std::string("writing ") + HiveFileName(hive), FlushKeyAt(HiveMountPath(hive)));
            return message;
        },
        error);
    if (!wrote)
        return false;
    for (Hive hive : kAllHives) {
        if (!ReadHive(dir, hive, error))
            return false;
    }
    return true;
}

namespace {

/* The memory file system, when it is writable and keeps user extended
 * attributes (simkernel keeps NT's attributes there); *room is a tenth of
 * its free space. */
bool MemoryScratch(uint64_t *room)
{
    const char memory[] = "/dev/shm";
    struct statvfs vfs;
    if (access(memory, W_OK) != 0 || statvfs(memory, &vfs) != 0)
        return false;
    *room = (uint64_t)vfs.f_bavail * vfs.f_frsize / 10;
    std::string probe = std::string(memory) + "/qelmbar-probe-XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0)
        return false;
    const bool attributes = fsetxattr(fd, "user.qelmbar-probe", "1", 1, 0) == 0;
    close(fd);
    unlink(probe.c_str());
    return attributes;
}

bool CopyMachineWithin(const std::string &src, const std::string &dst, CopyWays *ways,
                       std::string *error)
{
    std::error_code ec;
    if (!fs::is_directory(src, ec)) {
        SetError(error, src + ": no machine directory");
        return false;
    }
    if (fs::exists(dst, ec) || fs::is_symlink(dst, ec)) {
        SetError(error, dst + ": exists already");
        return false;
    }
    const fs::path parent = fs::path(dst).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec))
        fs::create_directories(parent, ec);
    struct stat st;
    if (stat(src.c_str(), &st) != 0 || mkdir(dst.c_str(), 0700) != 0) {
        SetError(error, dst + ": " + strerror(errno));
        return false;
    }
    Descriptor from(open(src.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Descriptor to(open(dst.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (from.fd < 0 || to.fd < 0) {
        SetError(error, (from.fd < 0 ? src : dst) + ": " + strerror(errno));
        return false;
    }
    if (!CopyTree(from.fd, to.fd, dst, 0, ways, error) ||
        !CopyAttributes(from.fd, to.fd, dst, error))
        return false;
    if (fchmod(to.fd, st.st_mode & 07777) != 0) {
        SetError(error, dst + ": " + strerror(errno));
        return false;
    }
    return true;
}

} // namespace

bool CopyMachine(const std::string &src, const std::string &dst, std::string *error)
{
    CopyWays ways;
    return CopyMachineWithin(src, dst, &ways, error);
}

std::string ScratchParent(const std::string &dir, unsigned copies)
{
    std::error_code ec;
    const char *tmpdir = getenv("TMPDIR");
    if (tmpdir && *tmpdir)
        return tmpdir;
    uint64_t room = 0;
    if (MemoryScratch(&room)) {
        /* The machine's size, files and directories alike, as the copy
         * counts it. */
        uint64_t bytes = 0;
        for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
             it.increment(ec)) {
            struct stat st;
            if (lstat(it->path().c_str(), &st) == 0)
                bytes += (uint64_t)st.st_blocks * 512 + 4096;
        }
        if (!ec && bytes * copies <= room)
            return "/dev/shm";
    }
    return fs::temp_directory_path(ec).string();
}

bool MakeScratchCopy(const std::string &dir, const std::string &prefix, std::string *root,
                     std::string *copy, std::string *error)
{
    std::error_code ec;
    root->clear();
    std::vector<std::pair<std::string, uint64_t>> places;
    const char *tmpdir = getenv("TMPDIR");
    uint64_t room = 0;
    if (tmpdir && *tmpdir) {
        places.emplace_back(tmpdir, UINT64_MAX);
    } else {
        if (MemoryScratch(&room))
            places.emplace_back("/dev/shm", room);
        places.emplace_back(fs::temp_directory_path(ec).string(), UINT64_MAX);
    }
    for (const auto &[parent, budget] : places) {
        std::string pattern = (fs::path(parent) / (prefix + "-XXXXXX")).string();
        if (!mkdtemp(pattern.data())) {
            SetError(error, parent + ": cannot make a temporary directory: " + strerror(errno));
            return false;
        }
        *root = pattern;
        *copy = (fs::path(pattern) / "machine").string();
        CopyWays ways;
        ways.budget = budget;
        if (CopyMachineWithin(dir, *copy, &ways, error))
            return true;
        fs::remove_all(pattern, ec);
        root->clear();
        if (!ways.overBudget)
            return false;
    }
    return false;
}

} // namespace qm
