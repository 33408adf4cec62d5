/*
 * hive_logs.h - a hive file and the transaction logs beside it, on the host.
 *
 * ReadHiveImage reads a primary hive file and whichever of its .LOG, .LOG1
 * and .LOG2 exist (same base name, any case), and hands back the bytes to
 * read: the primary itself when it is clean, the primary brought up to date
 * from its logs when it is dirty.  SettleHiveLogs, called once a clean
 * primary has been saved over a hive whose logs were replayed or set
 * aside, empties the logs so that NT never replays them over it.
 */
#pragma once

#include "simkernel/regf/log_replay.h"
#include "platform/platform.h"

#include <string>
#include <vector>

namespace sk {
namespace regf {

struct HiveReadOptions {
    /* Take a dirty primary as it is on disk, without its logs. */
    bool acceptDirty = false;
};

/* What ReadHiveImage found, besides the bytes. */
struct HiveImageReport {
    ReplayReport replay;
    /* The dirty primary was taken as it is (acceptDirty). */
    bool acceptedDirty = false;
    /* The host paths of the logs found beside the primary. */
    std::vector<std::string> logPaths;
};

/* Reads the hive at path.  STATUS_SUCCESS with *image the bytes to read;
 * for a file that is no hive the primary's bytes are handed back as they
 * are, for the reader to refuse.  Otherwise: the status of opening or
 * reading the primary (STATUS_OBJECT_NAME_NOT_FOUND,
 * STATUS_OBJECT_PATH_NOT_FOUND, STATUS_ACCESS_DENIED,
 * STATUS_FILE_IS_A_DIRECTORY, STATUS_UNEXPECTED_IO_ERROR);
 * STATUS_REGISTRY_CORRUPT for a dirty hive without a usable log (the
 * report's reason says which); STATUS_NOT_SUPPORTED for a differencing
 * hive. */
NTSTATUS ReadHiveImage(const std::string &path, const HiveReadOptions &options, std::vector<uint8_t> *image,
                       HiveImageReport *report = nullptr);

/* The logs beside the primary at path that exist, by host path. */
std::vector<std::string> FindHiveLogs(const std::string &path);

/* Leaves the logs beside path empty (length zero, synced).  NT recovers a
 * hive only when its primary is dirty: a checksum that does not match or
 * two sequence numbers that differ.  After a clean save neither holds, so
 * the logs are not read at all; emptying them as well means that even a
 * later crash of NT in the middle of its own first write cannot combine
 * our primary with entries written for the old one, since a log without a
 * valid base block is never applied (NT writes a fresh base block into a
 * log before its first entry, and creates a new hive with empty logs just
 * the same).  The logs of a primary that is not clean are left alone
 * (STATUS_REGISTRY_CORRUPT): they are what it needs.  Otherwise returns
 * STATUS_SUCCESS or the status of the first log that could not be
 * emptied. */
NTSTATUS SettleHiveLogs(const std::string &path);

/* Whether the base block of the primary at path sums up and its two
 * sequence numbers agree. */
bool HivePrimaryIsClean(const std::string &path);

/* Whether the hive at path is to be saved with its logs settled: its
 * primary is dirty, or its logs hold entries a reader would replay. */
bool HiveNeedsLogsSettled(const std::string &path);

} // namespace regf
} // namespace sk
