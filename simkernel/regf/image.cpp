/*
 * image.cpp - the hive image: opening the bytes of a file, reading cells,
 * allocating and freeing them, and saving the image whole.
 */
#include "simkernel/regf/bytes.h"
#include "simkernel/regf/regf.h"
#include "simkernel/upcase.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace sk {
namespace regf {

uint32_t BaseBlockChecksum(const uint8_t *base)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4)
        sum ^= Get32(base + i);
    if (sum == 0xFFFFFFFF)
        return 0xFFFFFFFE;
    return sum == 0 ? 1 : sum;
}

uint32_t NameHash(const std::u16string &name)
{
    uint32_t hash = 0;
    for (char16_t c : name)
        hash = hash * 37 + Upcase((WCHAR)c);
    return hash;
}

namespace {

NTSTATUS Refuse(Refusal *why, NTSTATUS status, std::string message)
{
    if (why) {
        why->status = status;
        why->message = std::move(message);
    }
    return status;
}

std::string Hex(uint32_t n)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%X", n);
    return text;
}

} // namespace

NTSTATUS Hive::Open(std::vector<uint8_t> bytes, std::unique_ptr<Hive> *out, Refusal *why)
{
    const uint8_t *base = bytes.data();
    if (bytes.size() < kBaseBlockSize || Get32(base + 0x1FC) != BaseBlockChecksum(base)) {
        const bool binLooksRight = bytes.size() >= kBaseBlockSize + kBinHeaderSize &&
                                   memcmp(base + kBaseBlockSize, "hbin", 4) == 0 &&
                                   Get32(base + kBaseBlockSize + 4) == 0;
        if (binLooksRight)
            return Refuse(why, STATUS_REGISTRY_CORRUPT,
                          "the hive's base block does not sum up (its header needs the "
                          "transaction logs to be recovered)");
        return Refuse(why, STATUS_NOT_REGISTRY_FILE, "not a registry hive file");
    }
    Header h;
    h.sequence1 = Get32(base + 0x04);
    h.sequence2 = Get32(base + 0x08);
    h.lastWritten = Get64(base + 0x0C);
    h.major = Get32(base + 0x14);
    h.minor = Get32(base + 0x18);
    h.rootCell = Get32(base + 0x24);
    h.binsSize = Get32(base + 0x28);
    for (size_t i = 0; i < 32; i++) {
        char16_t c = Get16(base + 0x30 + 2 * i);
        if (!c)
            break;
        h.fileName.push_back(c);
    }
    if (memcmp(base, "regf", 4) != 0 || h.major != 1 || h.minor < 3 || h.minor > 6 ||
        Get32(base + 0x1C) != 0 || Get32(base + 0x20) != 1 || Get32(base + 0x2C) != 1)
        return Refuse(why, STATUS_NOT_REGISTRY_FILE, "not a registry hive file of version 1.3 to 1.6");
    if (h.sequence1 != h.sequence2)
        return Refuse(why, STATUS_REGISTRY_CORRUPT,
                      "the hive is dirty: its sequence numbers " + std::to_string(h.sequence1) +
                          " and " + std::to_string(h.sequence2) +
                          " differ, so its last changes are still in its transaction logs");
    if (h.minor == 6)
        return Refuse(why, STATUS_REGISTRY_CORRUPT,
                      "the hive is a differencing hive (version 1.6, layered keys), which is "
                      "not supported");
    if (h.binsSize == 0 || h.binsSize % kBaseBlockSize ||
        h.binsSize > bytes.size() - kBaseBlockSize)
        return Refuse(why, STATUS_REGISTRY_CORRUPT,
                      "the hive's bins size " + Hex(h.binsSize) + " does not fit the file");

    std::unique_ptr<Hive> hive(new Hive());
    hive->tail_.assign(bytes.begin() + kBaseBlockSize + h.binsSize, bytes.end());
    bytes.resize(kBaseBlockSize + h.binsSize);
    hive->bytes_ = std::move(bytes);
    hive->header_ = h;
    Hive &hv = *hive;
    uint32_t at = 0;
    while (at < h.binsSize) {
        const uint8_t *bin = hv.At(at);
        if (memcmp(bin, "hbin", 4) != 0 || Get32(bin + 4) != at)
            return Refuse(why, STATUS_REGISTRY_CORRUPT, "no hive bin where one starts at " + Hex(at));
        const uint32_t size = Get32(bin + 8);
        if (size < kBaseBlockSize || size % kBaseBlockSize || size > h.binsSize - at)
            return Refuse(why, STATUS_REGISTRY_CORRUPT,
                          "the hive bin at " + Hex(at) + " has a bad size " + Hex(size));
        for (uint32_t cell = at + kBinHeaderSize; cell < at + size;) {
            const int64_t raw = (int32_t)Get32(hv.At(cell));
            const uint64_t cellSize = (uint64_t)(raw < 0 ? -raw : raw);
            if (cellSize < 8 || cellSize % 8 || cellSize > at + size - cell)
                return Refuse(why, STATUS_REGISTRY_CORRUPT,
                              "the cell at " + Hex(cell) + " has a bad length");
            if (raw > 0)
                hv.AddFree(cell, (uint32_t)cellSize);
            cell += (uint32_t)cellSize;
        }
        hv.binStarts_.push_back(at);
        at += size;
    }
    KeyNode root;
    if (!hv.ReadKey(h.rootCell, &root))
        return Refuse(why, STATUS_REGISTRY_CORRUPT,
                      "the root cell " + Hex(h.rootCell) + " is no key node");
    *out = std::move(hive);
    return STATUS_SUCCESS;
}

std::vector<uint8_t> Hive::Bytes() const
{
    std::vector<uint8_t> all(bytes_);
    all.insert(all.end(), tail_.begin(), tail_.end());
    return all;
}

uint32_t Hive::BinStartOf(uint32_t offset) const
{
    auto next = std::upper_bound(binStarts_.begin(), binStarts_.end(), offset);
    return *(next - 1);
}

uint32_t Hive::BinEndOf(uint32_t offset) const
{
    auto next = std::upper_bound(binStarts_.begin(), binStarts_.end(), offset);
    return next == binStarts_.end() ? header_.binsSize : *next;
}

bool Hive::Cell(uint32_t offset, const uint8_t **payload, size_t *size) const
{
    if (offset >= header_.binsSize || offset % 8 || offset < kBinHeaderSize)
        return false;
    const uint32_t end = BinEndOf(offset);
    if (offset - BinStartOf(offset) < kBinHeaderSize)
        return false;
    const int64_t raw = (int32_t)Get32(At(offset));
    if (raw > -8 || (uint64_t)-raw > end - offset)
        return false;
    *payload = At(offset) + 4;
    *size = (size_t)-raw - 4;
    return true;
}

uint8_t *Hive::MutableCell(uint32_t offset, size_t *size)
{
    const uint8_t *p;
    if (!Cell(offset, &p, size))
        return nullptr;
    return const_cast<uint8_t *>(p);
}

bool Hive::ReadKey(uint32_t cell, KeyNode *out) const
{
    const uint8_t *p;
    size_t size;
    if (!Cell(cell, &p, &size) || size < kNkName || Get16(p) != Sig("nk"))
        return false;
    out->flags = Get16(p + kNkFlags);
    out->lastWrite = Get64(p + kNkLastWrite);
    out->access = Get32(p + kNkAccess);
    out->parent = Get32(p + kNkParent);
    out->subkeyCount = Get32(p + kNkSubkeys);
    out->subkeyList = Get32(p + kNkSubkeyList);
    out->valueCount = Get32(p + kNkValues);
    out->valueList = Get32(p + kNkValueList);
    out->security = Get32(p + kNkSecurity);
    out->classCell = Get32(p + kNkClass);
    out->classLength = Get16(p + kNkClassLength);
    out->maxNameField = Get32(p + kNkMaxName);
    out->maxClass = Get32(p + kNkMaxClass);
    out->maxValueName = Get32(p + kNkMaxValueName);
    out->maxValueData = Get32(p + kNkMaxValueData);
    return GetName(p + kNkName, size - kNkName, Get16(p + kNkNameLength),
                   (out->flags & kKeyCompName) != 0, &out->name);
}

bool Hive::Subkeys(const KeyNode &key, std::vector<uint32_t> *cells) const
{
    cells->clear();
    if (key.subkeyCount == 0)
        return true;
    const uint8_t *p;
    size_t size;
    if (!Cell(key.subkeyList, &p, &size) || size < 4)
        return false;
    const uint16_t sig = Get16(p);
    auto leaf = [&](const uint8_t *q, size_t qsize) {
        const uint16_t s = Get16(q);
        const size_t stride = s == Sig("li") ? 4 : 8;
        if (s != Sig("li") && s != Sig("lf") && s != Sig("lh"))
            return false;
        const size_t n = Get16(q + 2);
        if (4 + n * stride > qsize)
            return false;
        for (size_t i = 0; i < n; i++)
            cells->push_back(Get32(q + 4 + i * stride));
        return true;
    };
    if (sig == Sig("ri")) {
        const size_t n = Get16(p + 2);
        if (4 + n * 4 > size)
            return false;
        for (size_t i = 0; i < n; i++) {
            const uint8_t *q;
            size_t qsize;
            if (!Cell(Get32(p + 4 + 4 * i), &q, &qsize) || qsize < 4 || !leaf(q, qsize))
                return false;
        }
    } else if (!leaf(p, size)) {
        return false;
    }
    return cells->size() == key.subkeyCount;
}

bool Hive::ValueCells(const KeyNode &key, std::vector<uint32_t> *cells) const
{
    cells->clear();
    if (key.valueCount == 0)
        return true;
    const uint8_t *p;
    size_t size;
    if (!Cell(key.valueList, &p, &size) || (size_t)key.valueCount * 4 > size)
        return false;
    for (size_t i = 0; i < key.valueCount; i++)
        cells->push_back(Get32(p + 4 * i));
    return true;
}

bool Hive::ReadValue(uint32_t cell, ValueNode *out) const
{
    const uint8_t *p;
    size_t size;
    if (!Cell(cell, &p, &size) || size < kVkName || Get16(p) != Sig("vk"))
        return false;
    out->type = Get32(p + kVkType);
    out->flags = Get16(p + kVkFlags);
    if (!GetName(p + kVkName, size - kVkName, Get16(p + kVkNameLength),
                 (out->flags & kValueCompName) != 0, &out->name))
        return false;
    const uint32_t length = Get32(p + kVkDataLength);
    const uint32_t dataCell = Get32(p + kVkData);
    out->data.clear();
    if (length & kInlineData) {
        const uint32_t n = length & ~kInlineData;
        if (n > 4)
            return false;
        out->data.assign(p + kVkData, p + kVkData + n);
        return true;
    }
    if (length == 0)
        return true;
    const uint8_t *d;
    size_t dsize;
    if (!Cell(dataCell, &d, &dsize))
        return false;
    if (length <= dsize) {
        out->data.assign(d, d + length);
        return true;
    }
    /* Longer than its cell: big data, from version 1.4 on. */
    if (header_.minor < 4 || dsize < 8 || Get16(d) != Sig("db"))
        return false;
    const size_t segments = Get16(d + 2);
    const uint8_t *list;
    size_t listSize;
    if (!Cell(Get32(d + 4), &list, &listSize) || segments * 4 > listSize ||
        segments != (length + kBigDataSegment - 1) / kBigDataSegment)
        return false;
    out->data.reserve(length);
    for (size_t i = 0; i < segments; i++) {
        const uint8_t *s;
        size_t ssize;
        const size_t want = std::min<size_t>(kBigDataSegment, length - out->data.size());
        if (!Cell(Get32(list + 4 * i), &s, &ssize) || ssize < want)
            return false;
        out->data.insert(out->data.end(), s, s + want);
    }
    return true;
}

bool Hive::ReadClass(const KeyNode &key, std::u16string *out) const
{
    out->clear();
    if (key.classCell == kNoCell || key.classLength == 0)
        return true;
    const uint8_t *p;
    size_t size;
    return Cell(key.classCell, &p, &size) && GetName(p, size, key.classLength, false, out);
}

bool Hive::ReadSecurity(uint32_t cell, SecurityNode *out) const
{
    const uint8_t *p;
    size_t size;
    if (!Cell(cell, &p, &size) || size < kSkDescriptor || Get16(p) != Sig("sk"))
        return false;
    out->flink = Get32(p + kSkFlink);
    out->blink = Get32(p + kSkBlink);
    out->references = Get32(p + kSkReferences);
    const uint32_t length = Get32(p + kSkLength);
    if (length > size - kSkDescriptor)
        return false;
    out->descriptor.assign(p + kSkDescriptor, p + kSkDescriptor + length);
    return true;
}

bool Hive::SecurityCells(std::vector<uint32_t> *cells) const
{
    cells->clear();
    KeyNode root;
    if (!ReadKey(header_.rootCell, &root))
        return false;
    uint32_t at = root.security;
    do {
        SecurityNode sk;
        if (!ReadSecurity(at, &sk) || cells->size() > header_.binsSize / 16)
            return false;
        cells->push_back(at);
        at = sk.flink;
    } while (at != root.security);
    return true;
}

/* ---- allocation ------------------------------------------------------ */

void Hive::AddFree(uint32_t offset, uint32_t size)
{
    freeByOffset_[offset] = size;
    freeBySize_.emplace(size, offset);
}

void Hive::RemoveFree(uint32_t offset)
{
    auto it = freeByOffset_.find(offset);
    if (it == freeByOffset_.end())
        return;
    auto range = freeBySize_.equal_range(it->second);
    for (auto s = range.first; s != range.second; ++s) {
        if (s->second == offset) {
            freeBySize_.erase(s);
            break;
        }
    }
    freeByOffset_.erase(it);
}

NTSTATUS Hive::Alloc(size_t payload, uint32_t *cell)
{
    const size_t need = RoundUp(payload + 4, 8);
    if (need > 0x7FFFFFF0)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto fit = freeBySize_.lower_bound((uint32_t)need);
    uint32_t at, size;
    if (fit != freeBySize_.end()) {
        at = fit->second;
        size = fit->first;
        RemoveFree(at);
    } else {
        /* A new bin at the end, as large as the cell needs. */
        const size_t binSize = RoundUp(need + kBinHeaderSize, kBaseBlockSize);
        if ((uint64_t)header_.binsSize + binSize > 0x7FFFF000)
            return STATUS_INSUFFICIENT_RESOURCES;
        const uint32_t start = header_.binsSize;
        bytes_.resize(bytes_.size() + binSize, 0);
        uint8_t *bin = At(start);
        memcpy(bin, "hbin", 4);
        Put32(bin + 4, start);
        Put32(bin + 8, (uint32_t)binSize);
        binStarts_.push_back(start);
        header_.binsSize += (uint32_t)binSize;
        at = start + kBinHeaderSize;
        size = (uint32_t)(binSize - kBinHeaderSize);
    }
    if (size - need >= 16) {
        Put32(At(at + (uint32_t)need), size - (uint32_t)need);
        AddFree(at + (uint32_t)need, size - (uint32_t)need);
        size = (uint32_t)need;
    }
    Put32(At(at), (uint32_t) - (int32_t)size);
    memset(At(at) + 4, 0, size - 4);
    *cell = at;
    return STATUS_SUCCESS;
}

void Hive::Free(uint32_t cell)
{
    if (cell == kNoCell)
        return;
    uint32_t size = (uint32_t) - (int32_t)Get32(At(cell));
    uint32_t start = cell;
    const uint32_t binStart = BinStartOf(cell), binEnd = BinEndOf(cell);
    /* Merge with a free cell right after it and one right before it, in
     * the same bin. */
    auto next = freeByOffset_.find(cell + size);
    if (next != freeByOffset_.end() && cell + size < binEnd) {
        const uint32_t nextSize = next->second;
        RemoveFree(cell + size);
        size += nextSize;
    }
    auto after = freeByOffset_.lower_bound(cell);
    if (after != freeByOffset_.begin()) {
        auto prev = std::prev(after);
        if (prev->first >= binStart && prev->first + prev->second == cell) {
            start = prev->first;
            size += prev->second;
            RemoveFree(start);
        }
    }
    memset(At(start) + 4, 0, size - 4);
    Put32(At(start), size);
    AddFree(start, size);
}

NTSTATUS Hive::Resize(uint32_t cell, size_t payload, uint32_t *moved)
{
    return Resize(cell, payload, payload, moved);
}

NTSTATUS Hive::Resize(uint32_t cell, size_t payload, size_t room, uint32_t *moved)
{
    size_t size;
    uint8_t *p = MutableCell(cell, &size);
    if (!p)
        return STATUS_REGISTRY_CORRUPT;
    if (payload <= size) {
        *moved = cell;
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> keep(p, p + size);
    uint32_t fresh;
    NTSTATUS status = Alloc(std::max(payload, room), &fresh);
    if (!NT_SUCCESS(status))
        return status;
    memcpy(At(fresh) + 4, keep.data(), keep.size());
    Free(cell);
    *moved = fresh;
    return STATUS_SUCCESS;
}

/* ---- saving ---------------------------------------------------------- */

void Hive::Stamp(uint64_t time)
{
    uint8_t *base = bytes_.data();
    const uint32_t sequence = header_.sequence1 + 1;
    header_.sequence1 = header_.sequence2 = sequence;
    header_.lastWritten = time;
    Put32(base + 0x04, sequence);
    Put32(base + 0x08, sequence);
    Put64(base + 0x0C, time);
    Put32(base + 0x28, header_.binsSize);
    Put32(base + 0x1FC, BaseBlockChecksum(base));
}

namespace {

NTSTATUS StatusFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return STATUS_DISK_FULL;
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

bool WriteAll(int fd, const uint8_t *data, size_t size)
{
    while (size) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= (size_t)n;
    }
    return true;
}

} // namespace

NTSTATUS ReplaceFileWhole(const std::string &path, const uint8_t *head, size_t headSize,
                          const uint8_t *tail, size_t tailSize, bool sync)
{
    if (path.empty())
        return STATUS_OBJECT_NAME_INVALID;
    struct stat old;
    const bool existed = stat(path.c_str(), &old) == 0;
    if (existed && S_ISDIR(old.st_mode))
        return STATUS_FILE_IS_A_DIRECTORY;
    std::string temp = path + ".tmp-XXXXXX";
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0)
        return StatusFromErrno(errno);
    int error = 0;
    if (existed) {
        if (fchmod(fd, old.st_mode & 07777) != 0)
            error = errno;
        /* Only root may give the file away; anyone keeps their own. */
        if (!error && fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)
            error = errno;
    } else if (fchmod(fd, 0644) != 0) {
        error = errno;
    }
    if (!error && (!WriteAll(fd, head, headSize) || !WriteAll(fd, tail, tailSize) ||
                   (sync && fsync(fd) != 0)))
        error = errno;
    if (close(fd) != 0 && !error)
        error = errno;
    if (!error && rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error) {
        unlink(temp.c_str());
        return StatusFromErrno(error);
    }
    /* The rename is durable only once the directory is. */
    if (!sync)
        return STATUS_SUCCESS;
    const size_t slash = path.rfind('/');
    const std::string dirName =
        slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int dir = open(dirName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return StatusFromErrno(errno);
    if (fsync(dir) != 0 && errno != EINVAL)
        error = errno;
    close(dir);
    return error ? StatusFromErrno(error) : STATUS_SUCCESS;
}

NTSTATUS Hive::Save(const std::string &path, uint64_t time, bool sync)
{
    if (path.empty())
        return STATUS_OBJECT_NAME_INVALID;
    struct stat old;
    if (stat(path.c_str(), &old) == 0 && S_ISDIR(old.st_mode))
        return STATUS_FILE_IS_A_DIRECTORY;
    Stamp(time);
    return ReplaceFileWhole(path, bytes_.data(), bytes_.size(), tail_.data(), tail_.size(), sync);
}

} // namespace regf
} // namespace sk
