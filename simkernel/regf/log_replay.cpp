/*
 * log_replay.cpp - replaying a dirty hive's transaction logs over its bytes.
 *
 * Relies on nothing but the bytes given: its own little-endian reads, the
 * base block checksum and the Marvin32 hash of log entries.  A log is
 * trusted only as far as its own checks go; a page is never written outside
 * the image, and the image never grows past what a base block or an entry
 * that checked out says.
 */
#include "simkernel/regf/log_replay.h"

#include <algorithm>
#include <cstring>

namespace sk {
namespace regf {

namespace {

constexpr size_t kBaseBlock = 4096;
constexpr size_t kSector = 512;
constexpr size_t kEntryHeader = 40;

/* Base block fields. */
constexpr size_t kSeq1 = 0x04;
constexpr size_t kSeq2 = 0x08;
constexpr size_t kTimeStamp = 0x0C;
constexpr size_t kMinor = 0x18;
constexpr size_t kFileType = 0x1C;
constexpr size_t kBinsSize = 0x28;
constexpr size_t kCluster = 0x2C;
constexpr size_t kFlags = 0x90;
constexpr size_t kChecksum = 0x1FC;

constexpr uint32_t kTypePrimary = 0;
constexpr uint32_t kTypeLog = 1;
constexpr uint32_t kTypeLogOld = 2; /* logs of NT up to 2000 */
constexpr uint32_t kTypeLogEntries = 6;

uint32_t Get32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint64_t Get64(const uint8_t *p)
{
    return Get32(p) | (uint64_t)Get32(p + 4) << 32;
}

void Put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

uint32_t Rotl(uint32_t v, int n)
{
    return v << n | v >> (32 - n);
}

bool BaseBlockSums(ByteView file)
{
    return file.size >= kSector && memcmp(file.data, "regf", 4) == 0 &&
           Get32(file.data + kChecksum) == BaseBlockChecksum(file.data);
}

/* A log's copy of the base block, as far as it checks out. */
struct LogHeader {
    const char *name = "";
    ByteView bytes;
    bool valid = false;
    uint32_t type = 0;
    uint32_t sequence = 0;
};

LogHeader ReadLogHeader(const char *name, ByteView bytes)
{
    LogHeader header;
    header.name = name;
    header.bytes = bytes;
    if (!bytes.Present() || !BaseBlockSums(bytes))
        return header;
    const uint8_t *base = bytes.data;
    header.type = Get32(base + kFileType);
    header.sequence = Get32(base + kSeq1);
    header.valid = Get32(base + kSeq1) == Get32(base + kSeq2) &&
                   (header.type == kTypeLog || header.type == kTypeLogOld ||
                    header.type == kTypeLogEntries);
    return header;
}

/* One HvLE entry that checked out: where it is in its log and what it says. */
struct LogEntry {
    size_t offset = 0;
    uint32_t size = 0;
    uint32_t flags = 0;
    uint32_t sequence = 0;
    uint32_t binsSize = 0;
    uint32_t pageCount = 0;
};

/* The entries of a log in the order stored, up to the first that does not
 * check out; *stop says why reading ended there, empty at a clean end. */
std::vector<LogEntry> ReadEntries(const LogHeader &log, std::string *stop)
{
    std::vector<LogEntry> entries;
    const uint8_t *data = log.bytes.data;
    const size_t size = log.bytes.size;
    size_t at = kSector;
    stop->clear();
    while (at + kEntryHeader <= size && memcmp(data + at, "HvLE", 4) == 0) {
        LogEntry entry;
        entry.offset = at;
        entry.size = Get32(data + at + 4);
        entry.flags = Get32(data + at + 8);
        entry.sequence = Get32(data + at + 12);
        entry.binsSize = Get32(data + at + 16);
        entry.pageCount = Get32(data + at + 20);
        const std::string where = std::string(log.name) + " entry " + std::to_string(entry.sequence);
        if (entry.size < kEntryHeader || entry.size % kSector || entry.size > size - at) {
            *stop = where + ": its length runs past the log or is not whole sectors";
            break;
        }
        if (Get64(data + at + 24) != LogEntryHash(data + at + kEntryHeader, entry.size - kEntryHeader) ||
            Get64(data + at + 32) != LogEntryHash(data + at, 32)) {
            *stop = where + ": its hash does not match its contents";
            break;
        }
        if (entry.binsSize == 0 || entry.binsSize % kBaseBlock) {
            *stop = where + ": its hive size is not whole blocks";
            break;
        }
        const uint64_t refsEnd = kEntryHeader + (uint64_t)entry.pageCount * 8;
        uint64_t pagesEnd = refsEnd;
        bool pagesFit = refsEnd <= entry.size;
        for (uint32_t i = 0; pagesFit && i < entry.pageCount; i++) {
            const uint32_t offset = Get32(data + at + kEntryHeader + 8 * i);
            const uint32_t length = Get32(data + at + kEntryHeader + 8 * i + 4);
            pagesEnd += length;
            pagesFit = length != 0 && offset % kSector == 0 && length % kSector == 0 &&
                       (uint64_t)offset + length <= entry.binsSize && pagesEnd <= entry.size;
        }
        if (!pagesFit) {
            *stop = where + ": its pages do not fit the entry or the hive";
            break;
        }
        entries.push_back(entry);
        at += entry.size;
    }
    return entries;
}

/* The primary's base block to build on, or the log's when the primary's is
 * damaged: always a whole block, marked as a primary file. */
std::vector<uint8_t> StartImage(ByteView primary, bool baseDamaged, const LogHeader &log)
{
    std::vector<uint8_t> image(primary.data, primary.data + primary.size);
    if (image.size() < kBaseBlock)
        image.resize(kBaseBlock, 0);
    if (baseDamaged) {
        memset(image.data(), 0, kBaseBlock);
        memcpy(image.data(), log.bytes.data, kSector);
        Put32(image.data() + kFileType, kTypePrimary);
    }
    return image;
}

void FinishBaseBlock(std::vector<uint8_t> *image, uint32_t sequence, uint32_t binsSize)
{
    image->resize(kBaseBlock + (size_t)binsSize, 0);
    uint8_t *base = image->data();
    Put32(base + kSeq1, sequence);
    Put32(base + kSeq2, sequence);
    Put32(base + kBinsSize, binsSize);
    Put32(base + kChecksum, BaseBlockChecksum(base));
}

ReplayReport Refuse(ReplayReport report, ReplayRefusal why, std::string reason)
{
    report.outcome = ReplayOutcome::Refused;
    report.refusal = why;
    report.reason = std::move(reason);
    report.logs.clear();
    return report;
}

std::string DirtyWords(const ReplayReport &report)
{
    if (report.baseBlockDamaged)
        return "the hive is dirty (its base block is damaged: a write to it did not finish)";
    return "the hive is dirty (its sequence numbers " + std::to_string(report.primarySequence1) + " and " +
           std::to_string(report.primarySequence2) + " differ: its last write did not finish)";
}

/* Log-entry logs: the entries that follow the primary, chained by sequence
 * number across both logs, the earlier log first.  With a damaged primary
 * base block only the log with the latest entries counts, and its base
 * block stands in for the primary's. */
ReplayReport ReplayEntries(ByteView primary, ReplayReport report, std::vector<LogHeader> logs,
                           std::vector<uint8_t> *image)
{
    std::sort(logs.begin(), logs.end(),
              [](const LogHeader &a, const LogHeader &b) { return a.sequence < b.sequence; });
    if (report.baseBlockDamaged)
        logs.erase(logs.begin(), logs.end() - 1);
    const LogHeader &baseSource = logs.back();
    if (report.baseBlockDamaged && Get32(baseSource.bytes.data + kMinor) == 6)
        return Refuse(report, ReplayRefusal::Differencing,
                      "the hive is a differencing hive (version 1.6), a layer over another hive; "
                      "only a whole hive can be staged into");
    std::vector<uint8_t> work = StartImage(primary, report.baseBlockDamaged, baseSource);

    bool applied = false;
    uint32_t last = 0;
    uint32_t binsSize = Get32(work.data() + kBinsSize);
    std::string damage;
    for (const LogHeader &log : logs) {
        std::string stop;
        const std::vector<LogEntry> entries = ReadEntries(log, &stop);
        ReplayedLog used;
        used.name = log.name;
        used.entryFormat = true;
        bool chainEnded = false;
        for (const LogEntry &entry : entries) {
            const bool started = applied || !used.sequences.empty();
            const bool follows = started ? entry.sequence == last + 1
                                         : entry.sequence == log.sequence &&
                                               (report.baseBlockDamaged ||
                                                entry.sequence >= report.primarySequence2);
            if (!follows) {
                /* The chain ends here; what follows in the log is older. */
                chainEnded = true;
                break;
            }
            const uint8_t *at = log.bytes.data + entry.offset;
            /* A hive grows by the bins an entry brings: one that claims
             * more than its pages reach is not believed. */
            uint64_t pagesEnd = 0;
            for (uint32_t i = 0; i < entry.pageCount; i++)
                pagesEnd = std::max<uint64_t>(pagesEnd, (uint64_t)Get32(at + kEntryHeader + 8 * i) +
                                                            Get32(at + kEntryHeader + 8 * i + 4));
            if (entry.binsSize > work.size() - kBaseBlock && entry.binsSize > pagesEnd) {
                stop = std::string(log.name) + " entry " + std::to_string(entry.sequence) +
                       ": it grows the hive past the pages it holds";
                break;
            }
            work.resize(kBaseBlock + (size_t)entry.binsSize, 0);
            const uint8_t *page = at + kEntryHeader + (size_t)entry.pageCount * 8;
            for (uint32_t i = 0; i < entry.pageCount; i++) {
                const uint32_t offset = Get32(at + kEntryHeader + 8 * i);
                const uint32_t length = Get32(at + kEntryHeader + 8 * i + 4);
                memcpy(work.data() + kBaseBlock + offset, page, length);
                page += length;
                used.pages += length / kSector;
            }
            const uint32_t flags = Get32(work.data() + kFlags);
            Put32(work.data() + kFlags, (flags & ~1u) | (entry.flags & 1u));
            binsSize = entry.binsSize;
            last = entry.sequence;
            used.sequences.push_back(entry.sequence);
        }
        /* An entry that fails its checks where the chain would go on:
         * what came before it stands, nothing after it is read. */
        if (!chainEnded && !stop.empty()) {
            const bool wouldFollow = !used.sequences.empty() || applied ||
                                     entries.empty();
            if (wouldFollow) {
                if (!applied && used.sequences.empty() && damage.empty())
                    damage = stop;
                if (applied || !used.sequences.empty()) {
                    report.stoppedEarly = true;
                    if (report.stopReason.empty())
                        report.stopReason = stop;
                }
            }
        }
        if (!used.sequences.empty()) {
            applied = true;
            report.logs.push_back(std::move(used));
        }
    }
    if (!applied) {
        if (!damage.empty())
            return Refuse(report, ReplayRefusal::LogDamaged,
                          DirtyWords(report) + ", and its log is damaged: " + damage);
        return Refuse(report, ReplayRefusal::DirtyNoLog,
                      DirtyWords(report) + ", and its logs hold no entry that follows it");
    }
    FinishBaseBlock(&work, last, binsSize);
    report.outcome = ReplayOutcome::Replayed;
    report.sequence = last;
    *image = std::move(work);
    return report;
}

/* Writes the dirty pages of an old-format log over the image; false, with
 * *damage set, when the log cannot be read to its end. */
bool ApplyDirtyVector(const LogHeader &log, std::vector<uint8_t> *work, ReplayedLog *used,
                      ReplayReport *report, std::string *damage)
{
    const uint8_t *data = log.bytes.data;
    const size_t size = log.bytes.size;
    const uint32_t cluster = Get32(data + kCluster);
    const uint32_t binsSize = Get32(data + kBinsSize);
    const std::string name = log.name;
    if (cluster == 0 || cluster > 8 || binsSize == 0 || binsSize % kBaseBlock) {
        *damage = name + ": its base block gives no usable hive size or sector size";
        return false;
    }
    const size_t sector = kSector * cluster;
    const size_t bits = binsSize / kSector;
    const size_t bitmapBytes = (bits + 7) / 8;
    if (size < sector + 4 + bitmapBytes || memcmp(data + sector, "DIRT", 4) != 0) {
        *damage = name + ": it has no dirty vector";
        return false;
    }
    const uint8_t *bitmap = data + sector + 4;
    size_t pageAt = (sector + 4 + bitmapBytes + sector - 1) / sector * sector;
    size_t dirty = 0;
    size_t reach = 0;
    for (size_t bit = 0; bit < bits; bit++) {
        if ((bitmap[bit / 8] >> (bit % 8)) & 1) {
            dirty++;
            reach = (bit + 1) * kSector;
        }
    }
    if (binsSize > work->size() - kBaseBlock && binsSize > reach) {
        *damage = name + ": it grows the hive past its dirty pages";
        return false;
    }
    if (pageAt > size || (size - pageAt) / kSector < dirty) {
        *damage = name + ": it ends before its " + std::to_string(dirty) + " dirty pages";
        return false;
    }
    work->resize(kBaseBlock + (size_t)binsSize, 0);
    for (size_t bit = 0; bit < bits; bit++) {
        if (!((bitmap[bit / 8] >> (bit % 8)) & 1))
            continue;
        const size_t offset = bit * kSector;
        const uint8_t *page = data + pageAt;
        uint8_t *target = work->data() + kBaseBlock + offset;
        /* A page that starts a bin must carry a bin header that fits where
         * it goes; the replay stops at one that does not. */
        const bool startsBin = offset % kBaseBlock == 0 &&
                               (memcmp(page, "hbin", 4) == 0 || memcmp(target, "hbin", 4) == 0);
        if (startsBin) {
            const uint32_t binSize = Get32(page + 8);
            if (memcmp(page, "hbin", 4) != 0 || Get32(page + 4) != offset || binSize < kBaseBlock ||
                binSize % kBaseBlock || binSize > binsSize - offset) {
                report->stoppedEarly = true;
                report->stopReason = name + ": the dirty bin at offset " + std::to_string(offset) +
                                     " has a bad header";
                return true;
            }
        }
        memcpy(target, page, kSector);
        pageAt += kSector;
        used->pages++;
    }
    return true;
}

/* Dirty-vector logs: the one whose base block matches the primary's last
 * write; of two that do, the later one (it holds everything since the
 * last good write). */
ReplayReport ReplayDirtyVector(ByteView primary, ReplayReport report, const std::vector<LogHeader> &logs,
                               std::vector<uint8_t> *image)
{
    const uint64_t stamp = report.baseBlockDamaged
                               ? (primary.size >= kBaseBlock + 28 ? Get64(primary.data + kBaseBlock + 20) : 0)
                               : Get64(primary.data + kTimeStamp);
    const LogHeader *chosen = nullptr;
    for (const LogHeader &log : logs) {
        if (Get64(log.bytes.data + kTimeStamp) != stamp)
            continue;
        if (!chosen || log.sequence > chosen->sequence)
            chosen = &log;
    }
    if (!chosen)
        return Refuse(report, ReplayRefusal::DirtyNoLog,
                      DirtyWords(report) + ", and none of its logs was written for its last write");
    if (report.baseBlockDamaged && Get32(chosen->bytes.data + kMinor) == 6)
        return Refuse(report, ReplayRefusal::Differencing,
                      "the hive is a differencing hive (version 1.6), a layer over another hive; "
                      "only a whole hive can be staged into");
    std::vector<uint8_t> work = StartImage(primary, report.baseBlockDamaged, *chosen);
    ReplayedLog used;
    used.name = chosen->name;
    std::string damage;
    if (!ApplyDirtyVector(*chosen, &work, &used, &report, &damage))
        return Refuse(report, ReplayRefusal::LogDamaged,
                      DirtyWords(report) + ", and its log is damaged: " + damage);
    const uint32_t sequence = std::max(report.primarySequence1, chosen->sequence);
    FinishBaseBlock(&work, sequence, Get32(chosen->bytes.data + kBinsSize));
    report.logs.push_back(std::move(used));
    report.outcome = ReplayOutcome::Replayed;
    report.sequence = sequence;
    *image = std::move(work);
    return report;
}

} // namespace

uint64_t LogEntryHash(const uint8_t *data, size_t size)
{
    /* The seed, 0x82EF4D887A4E55C5, split into its low and high halves. */
    uint32_t lo = 0x7A4E55C5;
    uint32_t hi = 0x82EF4D88;
    auto mix = [&] {
        hi ^= lo;
        lo = Rotl(lo, 20);
        lo += hi;
        hi = Rotl(hi, 9);
        hi ^= lo;
        lo = Rotl(lo, 27);
        lo += hi;
        hi = Rotl(hi, 19);
    };
    size_t at = 0;
    for (; size - at >= 4; at += 4) {
        lo += Get32(data + at);
        mix();
    }
    uint32_t last = 0x80;
    switch (size - at) {
    case 1:
        last = 0x8000 | data[at];
        break;
    case 2:
        last = 0x800000 | data[at] | (uint32_t)data[at + 1] << 8;
        break;
    case 3:
        last = 0x80000000u | data[at] | (uint32_t)data[at + 1] << 8 | (uint32_t)data[at + 2] << 16;
        break;
    default:
        break;
    }
    lo += last;
    mix();
    mix();
    return (uint64_t)hi << 32 | lo;
}

ReplayReport ReplayHiveLogs(ByteView primary, const HiveLogBytes &logs, std::vector<uint8_t> *image)
{
    image->clear();
    ReplayReport report;
    const bool sums = BaseBlockSums(primary);
    if (!sums) {
        const bool binLooksRight = primary.size >= kBaseBlock + 32 &&
                                   memcmp(primary.data + kBaseBlock, "hbin", 4) == 0 &&
                                   Get32(primary.data + kBaseBlock + 4) == 0;
        if (!binLooksRight)
            return Refuse(report, ReplayRefusal::NotAHive, "the file is no registry hive");
        report.baseBlockDamaged = true;
    } else {
        report.primarySequence1 = Get32(primary.data + kSeq1);
        report.primarySequence2 = Get32(primary.data + kSeq2);
        if (Get32(primary.data + kMinor) == 6)
            return Refuse(report, ReplayRefusal::Differencing,
                          "the hive is a differencing hive (version 1.6), a layer over another hive; "
                          "only a whole hive can be staged into");
        if (report.primarySequence1 == report.primarySequence2) {
            image->assign(primary.data, primary.data + primary.size);
            report.outcome = ReplayOutcome::Clean;
            report.sequence = report.primarySequence1;
            return report;
        }
    }

    std::vector<LogHeader> entryLogs;
    std::vector<LogHeader> vectorLogs;
    bool anyLog = false;
    for (const LogHeader &log : { ReadLogHeader("LOG1", logs.log1), ReadLogHeader("LOG2", logs.log2),
                                  ReadLogHeader("LOG", logs.log) }) {
        anyLog |= log.bytes.Present();
        if (!log.valid)
            continue;
        (log.type == kTypeLogEntries ? entryLogs : vectorLogs).push_back(log);
    }
    if (!entryLogs.empty())
        return ReplayEntries(primary, report, entryLogs, image);
    if (!vectorLogs.empty())
        return ReplayDirtyVector(primary, report, vectorLogs, image);
    return Refuse(report, ReplayRefusal::DirtyNoLog,
                  DirtyWords(report) +
                      (anyLog ? ", and its logs (.LOG, .LOG1, .LOG2) are empty or have no valid base block"
                              : ", and it has no transaction logs (.LOG, .LOG1, .LOG2) beside it"));
}

} // namespace regf
} // namespace sk
