/*
 * hive_reader.cpp - reads a regf hive file into a detached tree of keys.
 *
 * The base block and the bins are checked here first, in the order NT's
 * loader checks them, so that a bad file is refused with the status NT
 * would give.  The keys and values are then walked with libhivex; what it
 * does not report (a key's class, its high-water marks, a name that does
 * not convert to UTF-8) is read from the key's own cell.
 */
#include "simkernel/hive_file.h"
#include "simkernel/upcase.h"

#include <hivex.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace sk {
namespace reg {

namespace {

/* NT refuses to nest keys deeper than this. */
constexpr int kMaxKeyDepth = 512;

uint16_t Get16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

uint32_t Get32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint64_t Get64(const uint8_t *p)
{
    return Get32(p) | (uint64_t)Get32(p + 4) << 32;
}

uint32_t Checksum(const uint8_t *base)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4)
        sum ^= Get32(base + i);
    if (sum == 0xFFFFFFFF)
        return 0xFFFFFFFE;
    return sum == 0 ? 1 : sum;
}

/* The file as far as it has been checked: the bins, and where each starts,
 * for reading cells that hivex does not interpret. */
class HiveBytes {
public:
    explicit HiveBytes(std::vector<uint8_t> file) : file_(std::move(file)) {}

    /* As NT's loader: a base block that does not read or does not sum up
     * is forgiven only when the first bin looks right (NT would then
     * recover the header from the log); one that reads but describes no
     * hive makes the file no hive; a hive left between two writes needs
     * its log. */
    NTSTATUS CheckBaseBlock(HiveFileHeader *header)
    {
        const uint8_t *base = file_.data();
        if (file_.size() < kHiveBlockSize || Get32(base + 0x1FC) != Checksum(base)) {
            const bool binLooksRight = file_.size() >= kHiveBlockSize + kHiveBinHeaderSize &&
                                       memcmp(base + kHiveBlockSize, "hbin", 4) == 0 &&
                                       Get32(base + kHiveBlockSize + 4) == 0;
            return binLooksRight ? STATUS_REGISTRY_CORRUPT : STATUS_NOT_REGISTRY_FILE;
        }
        const uint32_t minor = Get32(base + 0x18);
        if (memcmp(base, "regf", 4) != 0 || Get32(base + 0x14) != kHiveMajorVersion || minor < 3 ||
            minor > 6 || Get32(base + 0x1C) != 0 || Get32(base + 0x20) != 1 ||
            Get32(base + 0x2C) != 1)
            return STATUS_NOT_REGISTRY_FILE;
        if (Get32(base + 0x04) != Get32(base + 0x08))
            return STATUS_REGISTRY_CORRUPT;
        length_ = Get32(base + 0x28);
        rootCell_ = Get32(base + 0x24);
        if (length_ == 0 || length_ % kHiveBlockSize || length_ > file_.size() - kHiveBlockSize)
            return STATUS_REGISTRY_CORRUPT;
        if (header) {
            header->minorVersion = minor;
            header->sequence = Get32(base + 0x04);
            header->lastWritten = (LONGLONG)Get64(base + 0x0C);
            header->fileName.clear();
            for (size_t i = 0; i < 32; i++) {
                char16_t c = Get16(base + 0x30 + 2 * i);
                if (!c)
                    break;
                header->fileName.push_back(c);
            }
        }
        return STATUS_SUCCESS;
    }

    /* Every bin in sequence, and every cell in each, within bounds. */
    NTSTATUS CheckBins()
    {
        size_t at = 0;
        while (at < length_) {
            const uint8_t *bin = Bins() + at;
            if (memcmp(bin, "hbin", 4) != 0 || Get32(bin + 4) != at)
                return STATUS_REGISTRY_CORRUPT;
            const size_t size = Get32(bin + 8);
            if (size < kHiveBlockSize || size % kHiveBlockSize || size > length_ - at)
                return STATUS_REGISTRY_CORRUPT;
            for (size_t cell = at + kHiveBinHeaderSize; cell < at + size;) {
                const int64_t raw = (int32_t)Get32(Bins() + cell);
                const uint64_t cellSize = (uint64_t)(raw < 0 ? -raw : raw);
                if (cellSize == 0 || cellSize % 8 || cellSize > at + size - cell)
                    return STATUS_REGISTRY_CORRUPT;
                cell += cellSize;
            }
            binStarts_.push_back(at);
            at += size;
        }
        const uint8_t *root;
        size_t rootSize;
        if (!Cell(rootCell_, &root, &rootSize) || rootSize < 0x4C || memcmp(root, "nk", 2) != 0)
            return STATUS_REGISTRY_CORRUPT;
        return STATUS_SUCCESS;
    }

    /* The payload of the allocated cell at index, kept inside its bin. */
    bool Cell(uint32_t index, const uint8_t **payload, size_t *size) const
    {
        if (index >= length_ || index % 8)
            return false;
        auto next = std::upper_bound(binStarts_.begin(), binStarts_.end(), (size_t)index);
        if (next == binStarts_.begin())
            return false;
        const size_t binEnd = next == binStarts_.end() ? length_ : *next;
        const int64_t raw = (int32_t)Get32(Bins() + index);
        if (raw >= -4 || (uint64_t)-raw > binEnd - index)
            return false;
        *payload = Bins() + index + 4;
        *size = (size_t)-raw - 4;
        return true;
    }

    /* hivex names keys and values by their offset in the file. */
    bool NodeCell(hive_node_h node, const uint8_t **payload, size_t *size) const
    {
        return node >= kHiveBlockSize && node - kHiveBlockSize <= 0xFFFFFFFF &&
               Cell((uint32_t)(node - kHiveBlockSize), payload, size);
    }

private:
    const uint8_t *Bins() const { return file_.data() + kHiveBlockSize; }

    std::vector<uint8_t> file_;
    size_t length_ = 0;
    uint32_t rootCell_ = kHiveNoCell;
    std::vector<size_t> binStarts_;
};

/* Strict UTF-8 to UTF-16; false on anything malformed. */
bool FromUtf8(const char *text, std::u16string *out)
{
    out->clear();
    const auto *p = (const unsigned char *)text;
    while (*p) {
        uint32_t c = *p++;
        int more = c < 0x80             ? 0
                   : (c & 0xE0) == 0xC0 ? 1
                   : (c & 0xF0) == 0xE0 ? 2
                   : (c & 0xF8) == 0xF0 ? 3
                                        : -1;
        if (more < 0)
            return false;
        if (more)
            c &= 0x3F >> more;
        for (int i = 0; i < more; i++) {
            if ((*p & 0xC0) != 0x80)
                return false;
            c = c << 6 | (*p++ & 0x3F);
        }
        if (c > 0x10FFFF)
            return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out->push_back((char16_t)(0xD800 + (c >> 10)));
            out->push_back((char16_t)(0xDC00 + (c & 0x3FF)));
        } else {
            out->push_back((char16_t)c);
        }
    }
    return true;
}

/* A name as a cell stores it: one byte a character when compressed. */
bool StoredName(const uint8_t *p, size_t room, size_t bytes, bool compressed, std::u16string *out)
{
    if (bytes > room || (!compressed && bytes % 2))
        return false;
    out->clear();
    if (compressed) {
        for (size_t i = 0; i < bytes; i++)
            out->push_back(p[i]);
    } else {
        for (size_t i = 0; i < bytes; i += 2)
            out->push_back(Get16(p + i));
    }
    return true;
}

NTSTATUS HivexStatus()
{
    return errno == ENOMEM ? STATUS_INSUFFICIENT_RESOURCES : STATUS_REGISTRY_CORRUPT;
}

/* hivex reports a value's type through its enum, also for the types it
 * has no name for, which the enum cannot hold; the slot is only ever read
 * back as the 32-bit integer the file stores. */
class TypeSlot {
public:
    hive_type *Out() { return reinterpret_cast<hive_type *>(bytes_); }
    ULONG Value() const
    {
        uint32_t type;
        memcpy(&type, bytes_, sizeof(type));
        return type;
    }

private:
    static_assert(sizeof(hive_type) == sizeof(uint32_t), "hivex keeps types in 32 bits");
    alignas(hive_type) unsigned char bytes_[sizeof(hive_type)] = {};
};

struct Freer {
    void operator()(void *p) const { free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Freer>;

class TreeReader {
public:
    TreeReader(hive_h *h, const HiveBytes &bytes, const std::shared_ptr<Hive> &hive)
        : h_(h), bytes_(bytes), hive_(hive)
    {}

    NTSTATUS ReadKey(hive_node_h node, Key *parent, int depth, std::shared_ptr<Key> *out)
    {
        if (depth > kMaxKeyDepth || !visited_.insert(node).second)
            return STATUS_REGISTRY_CORRUPT;
        const uint8_t *nk;
        size_t nkSize;
        if (!bytes_.NodeCell(node, &nk, &nkSize) || nkSize < 0x4C || memcmp(nk, "nk", 2) != 0)
            return STATUS_REGISTRY_CORRUPT;

        auto key = std::make_shared<Key>();
        key->parent = parent;
        key->hive = hive_;
        Owned<char> name(hivex_node_name(h_, node));
        if (!name || !FromUtf8(name.get(), &key->name)) {
            if (!StoredName(nk + 0x4C, nkSize - 0x4C, Get16(nk + 0x48),
                            Get16(nk + 0x02) & kHiveKeyCompName, &key->name))
                return STATUS_REGISTRY_CORRUPT;
        }
        if (key->name.size() > kMaxKeyNameChars || (parent && key->name.empty()))
            return STATUS_REGISTRY_CORRUPT;
        key->upcased = Upcase(key->name);
        key->isLink = (Get16(nk + 0x02) & kHiveKeySymLink) != 0;
        errno = 0;
        key->lastWriteTime = hivex_node_timestamp(h_, node);
        if (key->lastWriteTime == -1 && errno)
            return HivexStatus();

        NTSTATUS status = ReadClass(nk, key.get());
        if (!NT_SUCCESS(status))
            return status;
        status = ReadValues(node, key.get());
        if (!NT_SUCCESS(status))
            return status;

        Owned<hive_node_h> children(hivex_node_children(h_, node));
        if (!children)
            return HivexStatus();
        bool duplicate = false;
        for (const hive_node_h *child = children.get(); *child; child++) {
            std::shared_ptr<Key> sub;
            status = ReadKey(*child, key.get(), depth + 1, &sub);
            if (!NT_SUCCESS(status))
                return status;
            key->maxNameLen = std::max(key->maxNameLen, (ULONG)(sub->name.size() * sizeof(WCHAR)));
            key->maxClassLen =
                std::max(key->maxClassLen, (ULONG)(sub->className.size() * sizeof(WCHAR)));
            const std::u16string upcased = sub->upcased;
            if (!key->subkeys.Insert(std::move(sub), upcased))
                duplicate = true;
        }
        if (duplicate)
            return STATUS_REGISTRY_CORRUPT;

        /* The stored marks may be higher than what is left, never lower. */
        key->maxNameLen = std::max(key->maxNameLen, (ULONG)(Get32(nk + 0x34) & 0xFFFF));
        key->maxClassLen = std::max(key->maxClassLen, (ULONG)Get32(nk + 0x38));
        key->maxValueNameLen = std::max(key->maxValueNameLen, (ULONG)Get32(nk + 0x3C));
        key->maxValueDataLen = std::max(key->maxValueDataLen, (ULONG)Get32(nk + 0x40));
        *out = std::move(key);
        return STATUS_SUCCESS;
    }

private:
    NTSTATUS ReadClass(const uint8_t *nk, Key *key)
    {
        const uint32_t cell = Get32(nk + 0x30);
        const size_t bytes = Get16(nk + 0x4A);
        if (cell == kHiveNoCell || bytes == 0)
            return STATUS_SUCCESS;
        const uint8_t *p;
        size_t room;
        if (!bytes_.Cell(cell, &p, &room) || !StoredName(p, room, bytes, false, &key->className))
            return STATUS_REGISTRY_CORRUPT;
        return STATUS_SUCCESS;
    }

    NTSTATUS ReadValues(hive_node_h node, Key *key)
    {
        Owned<hive_value_h> values(hivex_node_values(h_, node));
        if (!values)
            return HivexStatus();
        for (const hive_value_h *v = values.get(); *v; v++) {
            Value value;
            Owned<char> name(hivex_value_key(h_, *v));
            if (!name || !FromUtf8(name.get(), &value.name)) {
                const uint8_t *vk;
                size_t size;
                if (!bytes_.NodeCell(*v, &vk, &size) || size < 0x14 ||
                    !StoredName(vk + 0x14, size - 0x14, Get16(vk + 0x02),
                                Get16(vk + 0x10) & kHiveValueCompName, &value.name))
                    return STATUS_REGISTRY_CORRUPT;
            }
            TypeSlot type;
            size_t length;
            if (hivex_value_type(h_, *v, type.Out(), &length) != 0)
                return HivexStatus();
            value.type = type.Value();
            if (length) {
                Owned<char> data(hivex_value_value(h_, *v, type.Out(), &length));
                if (!data)
                    return HivexStatus();
                value.data.assign((const uint8_t *)data.get(),
                                  (const uint8_t *)data.get() + length);
            }
            key->maxValueNameLen =
                std::max(key->maxValueNameLen, (ULONG)(value.name.size() * sizeof(WCHAR)));
            key->maxValueDataLen = std::max(key->maxValueDataLen, (ULONG)value.data.size());
            key->values.push_back(std::move(value));
        }
        return STATUS_SUCCESS;
    }

    hive_h *h_;
    const HiveBytes &bytes_;
    std::shared_ptr<Hive> hive_;
    std::unordered_set<hive_node_h> visited_;
};

NTSTATUS ReadTree(const std::string &hostPath, std::shared_ptr<Key> *root,
                  const std::shared_ptr<Hive> &hive, HiveFileHeader *header,
                  const regf::HiveReadOptions &options, regf::HiveImageReport *report)
{
    std::vector<uint8_t> file;
    regf::HiveImageReport found;
    NTSTATUS status = regf::ReadHiveImage(hostPath, options, &file, &found);
    if (report)
        *report = found;
    if (!NT_SUCCESS(status))
        return status;
    /* hivex reads a file: a replayed image goes to a temporary one. */
    const bool asOnDisk = found.replay.outcome == regf::ReplayOutcome::Clean ||
                          found.replay.refusal == regf::ReplayRefusal::NotAHive;
    std::string readPath = hostPath;
    if (!asOnDisk) {
        char temp[] = "/tmp/qelmbar-hive-XXXXXX";
        const int fd = mkstemp(temp);
        bool written = fd >= 0 && write(fd, file.data(), file.size()) == (ssize_t)file.size();
        if (fd >= 0)
            close(fd);
        if (!written) {
            if (fd >= 0)
                unlink(temp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        readPath = temp;
    }
    HiveBytes bytes(std::move(file));
    HiveFileHeader parsed;
    status = bytes.CheckBaseBlock(&parsed);
    if (NT_SUCCESS(status))
        status = bytes.CheckBins();
    if (!NT_SUCCESS(status) && readPath != hostPath)
        unlink(readPath.c_str());
    if (!NT_SUCCESS(status))
        return status;

    hive_h *h = hivex_open(readPath.c_str(), 0);
    if (readPath != hostPath)
        unlink(readPath.c_str());
    if (!h)
        return errno == ENOMEM ? STATUS_INSUFFICIENT_RESOURCES : STATUS_REGISTRY_CORRUPT;
    TreeReader reader(h, bytes, hive);
    std::shared_ptr<Key> top;
    const hive_node_h rootNode = hivex_root(h);
    status = rootNode ? reader.ReadKey(rootNode, nullptr, 0, &top) : HivexStatus();
    hivex_close(h);
    if (!NT_SUCCESS(status))
        return status;
    top->hiveRoot = true;
    top->noDelete = true;
    *root = std::move(top);
    if (header)
        *header = std::move(parsed);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS ReadHiveFile(const std::string &hostPath, std::shared_ptr<Key> *root,
                      const std::shared_ptr<Hive> &hive, HiveFileHeader *header,
                      const regf::HiveReadOptions &options, regf::HiveImageReport *report)
{
    try {
        return ReadTree(hostPath, root, hive, header, options, report);
    } catch (const std::bad_alloc &) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

} // namespace reg
} // namespace sk
