/*
 * hive_logs.cpp - reading a hive file with the logs beside it, and leaving
 * those logs empty after a clean save.
 *
 * The logs are found by name in the primary's directory, ignoring case as
 * NT's file systems do (an image copied to a Linux file system keeps
 * whatever case Windows gave them: SYSTEM.LOG1 beside SYSTEM).
 */
#include "simkernel/regf/hive_logs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

namespace sk {
namespace regf {

namespace {

NTSTATUS OpenStatus(int error, const std::string &path)
{
    switch (error) {
    case ENOENT: {
        const size_t slash = path.rfind('/');
        struct stat st;
        if (slash != std::string::npos && slash != 0 && stat(path.substr(0, slash).c_str(), &st) != 0)
            return STATUS_OBJECT_PATH_NOT_FOUND;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return STATUS_ACCESS_DENIED;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG:
        return STATUS_NAME_TOO_LONG;
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNEXPECTED_IO_ERROR;
    }
}

NTSTATUS ReadWholeFile(const std::string &path, std::vector<uint8_t> *bytes)
{
    bytes->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return OpenStatus(errno, path);
    NTSTATUS status = STATUS_SUCCESS;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        status = OpenStatus(errno, path);
    } else if (S_ISDIR(st.st_mode)) {
        status = STATUS_FILE_IS_A_DIRECTORY;
    } else {
        bytes->resize((size_t)st.st_size);
        size_t done = 0;
        while (done < bytes->size()) {
            const ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                status = OpenStatus(errno, path);
                break;
            }
            if (n == 0)
                break;
            done += (size_t)n;
        }
        bytes->resize(done);
    }
    close(fd);
    return status;
}

bool EqualsIgnoringCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i]))
            return false;
    }
    return true;
}

/* The host path of path's log with suffix (".LOG1"), or empty. */
std::string FindLog(const std::string &path, const char *suffix)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string want = (slash == std::string::npos ? path : path.substr(slash + 1)) + suffix;
    std::string found;
    DIR *listing = opendir(dir.c_str());
    if (!listing)
        return found;
    while (const dirent *entry = readdir(listing)) {
        if (!EqualsIgnoringCase(entry->d_name, want))
            continue;
        const std::string candidate = dir + "/" + entry->d_name;
        struct stat st;
        /* An exact match wins over one that differs only in case. */
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            (found.empty() || want == entry->d_name))
            found = candidate;
    }
    closedir(listing);
    return found;
}

constexpr const char *kSuffixes[] = { ".LOG", ".LOG1", ".LOG2" };

} // namespace

std::vector<std::string> FindHiveLogs(const std::string &path)
{
    std::vector<std::string> logs;
    for (const char *suffix : kSuffixes) {
        std::string log = FindLog(path, suffix);
        if (!log.empty())
            logs.push_back(std::move(log));
    }
    return logs;
}

NTSTATUS ReadHiveImage(const std::string &path, const HiveReadOptions &options, std::vector<uint8_t> *image,
                       HiveImageReport *report)
{
    HiveImageReport local;
    HiveImageReport &out = report ? *report : local;
    out = HiveImageReport();
    image->clear();
    std::vector<uint8_t> primary;
    NTSTATUS status = ReadWholeFile(path, &primary);
    if (!NT_SUCCESS(status))
        return status;

    /* A log that cannot be read counts as missing: the primary is then
     * refused as dirty without logs, never read half recovered. */
    std::vector<uint8_t> logBytes[3];
    HiveLogBytes logs;
    ByteView *views[3] = { &logs.log, &logs.log1, &logs.log2 };
    for (size_t i = 0; i < 3; i++) {
        const std::string log = FindLog(path, kSuffixes[i]);
        if (log.empty() || !NT_SUCCESS(ReadWholeFile(log, &logBytes[i])))
            continue;
        out.logPaths.push_back(log);
        /* An empty vector still has to read as a present, empty file. */
        static const uint8_t kNothing = 0;
        views[i]->data = logBytes[i].empty() ? &kNothing : logBytes[i].data();
        views[i]->size = logBytes[i].size();
    }

    out.replay = ReplayHiveLogs(ByteView{ primary.data(), primary.size() }, logs, image);
    switch (out.replay.refusal) {
    case ReplayRefusal::None:
        return STATUS_SUCCESS;
    case ReplayRefusal::NotAHive:
        *image = std::move(primary);
        return STATUS_SUCCESS;
    case ReplayRefusal::Differencing:
        return STATUS_NOT_SUPPORTED;
    case ReplayRefusal::DirtyNoLog:
    case ReplayRefusal::LogDamaged:
        break;
    }
    if (!options.acceptDirty)
        return STATUS_REGISTRY_CORRUPT;
    /* Taken as it is: the base block is made to agree with itself, the
     * bins are the reader's to judge. */
    if (out.replay.baseBlockDamaged || primary.size() < 4096)
        return STATUS_REGISTRY_CORRUPT;
    uint8_t *base = primary.data();
    memcpy(base + 0x08, base + 0x04, 4);
    const uint32_t sum = BaseBlockChecksum(base);
    for (int i = 0; i < 4; i++)
        base[0x1FC + i] = (uint8_t)(sum >> (8 * i));
    out.acceptedDirty = true;
    *image = std::move(primary);
    return STATUS_SUCCESS;
}

bool HiveNeedsLogsSettled(const std::string &path)
{
    HiveImageReport report;
    std::vector<uint8_t> image;
    ReadHiveImage(path, HiveReadOptions{}, &image, &report);
    return report.replay.outcome != ReplayOutcome::Clean && !report.logPaths.empty();
}

bool HivePrimaryIsClean(const std::string &path)
{
    uint8_t base[512];
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < sizeof(base)) {
        const ssize_t n = read(fd, base + done, sizeof(base) - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (size_t)n;
    }
    close(fd);
    uint32_t seq1;
    uint32_t seq2;
    uint32_t sum;
    memcpy(&seq1, base + 0x04, 4);
    memcpy(&seq2, base + 0x08, 4);
    memcpy(&sum, base + 0x1FC, 4);
    return done == sizeof(base) && memcmp(base, "regf", 4) == 0 && seq1 == seq2 &&
           sum == BaseBlockChecksum(base);
}

NTSTATUS SettleHiveLogs(const std::string &path)
{
    if (!HivePrimaryIsClean(path))
        return STATUS_REGISTRY_CORRUPT;
    NTSTATUS status = STATUS_SUCCESS;
    for (const std::string &log : FindHiveLogs(path)) {
        const int fd = open(log.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            if (NT_SUCCESS(status))
                status = OpenStatus(errno, log);
            continue;
        }
        if ((ftruncate(fd, 0) != 0 || fsync(fd) != 0) && NT_SUCCESS(status))
            status = OpenStatus(errno, log);
        close(fd);
    }
    return status;
}

} // namespace regf
} // namespace sk
