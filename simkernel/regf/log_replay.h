/*
 * log_replay.h - bringing a dirty hive up to date from its transaction logs,
 * over bytes only.
 *
 * A primary hive file whose base block does not sum up, or whose two
 * sequence numbers differ, was left in the middle of a write.  NT then
 * rebuilds it from the logs beside it: the dirty-vector logs of XP to 8
 * (.LOG, and .LOG1/.LOG2 of that kind) or the log-entry logs of 8.1 and
 * later (.LOG1/.LOG2 holding "HvLE" entries).  ReplayHiveLogs does the same
 * and hands back the image with a clean base block, or says why it cannot.
 * Nothing here touches files; hive_logs.h reads and settles them.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sk {
namespace regf {

/* The bytes of one file; data is null when the file does not exist. */
struct ByteView {
    const uint8_t *data = nullptr;
    size_t size = 0;
    bool Present() const { return data != nullptr; }
};

/* The logs that exist beside a primary, by the suffix of their name. */
struct HiveLogBytes {
    ByteView log;  /* .LOG  */
    ByteView log1; /* .LOG1 */
    ByteView log2; /* .LOG2 */
};

enum class ReplayOutcome {
    Clean,    /* the primary is clean; the image is the primary unchanged */
    Replayed, /* the primary was dirty; the image is it brought up to date */
    Refused,  /* see ReplayReport::refusal */
};

enum class ReplayRefusal {
    None,
    NotAHive,      /* no base block and no first bin: nothing to recover */
    Differencing,  /* version 1.6: a layer over another hive */
    DirtyNoLog,    /* dirty, and no log that applies to it */
    LogDamaged,    /* a log applies but cannot be read to its end */
};

/* Which log a replay took its data from, and what it wrote. */
struct ReplayedLog {
    std::string name;                 /* "LOG", "LOG1" or "LOG2" */
    bool entryFormat = false;         /* HvLE entries rather than a dirty vector */
    std::vector<uint32_t> sequences;  /* the entries applied, in order */
    size_t pages = 0;                 /* 512-byte pages written from it */
};

struct ReplayReport {
    ReplayOutcome outcome = ReplayOutcome::Refused;
    ReplayRefusal refusal = ReplayRefusal::None;
    /* For a refusal: what is wrong, in words a user can act on. */
    std::string reason;
    /* Why the primary counted as dirty. */
    bool baseBlockDamaged = false;
    uint32_t primarySequence1 = 0;
    uint32_t primarySequence2 = 0;
    /* The logs used, in the order applied. */
    std::vector<ReplayedLog> logs;
    /* The replay ended before the last entry or page a log holds, at an
     * entry or bin that does not check out; what came before it stands. */
    bool stoppedEarly = false;
    std::string stopReason;
    /* Both sequence numbers of the replayed image's base block. */
    uint32_t sequence = 0;
};

/* Decides whether primary is dirty and, if so, replays the logs over it.
 * On Clean and Replayed, *image holds the hive to read: 4096 bytes of base
 * block with equal sequence numbers and a right checksum, then the bins.
 * On Refused, *image is left empty.  Never reads outside the views. */
ReplayReport ReplayHiveLogs(ByteView primary, const HiveLogBytes &logs, std::vector<uint8_t> *image);

/* The base block's XOR-32 checksum over its first 508 bytes. */
uint32_t BaseBlockChecksum(const uint8_t *base);

/* Marvin32 with the seed log entries are hashed with. */
uint64_t LogEntryHash(const uint8_t *data, size_t size);

} // namespace regf
} // namespace sk
