/*
 * hive_writer.cpp - saves a hive as a regf file: the cells of every key
 * laid out afresh in bins, the base block with its checksum, and the
 * replacement of the old file through a synced temporary one beside it.
 */
#include "simkernel/files.h"
#include "simkernel/hive_file.h"
#include "simkernel/regf/regf.h"
#include "simkernel/upcase.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace sk {
namespace reg {

namespace {

constexpr uint32_t kInlineData = 0x80000000;
constexpr size_t kInlineDataMax = 4;

/* Offsets in the payload of an nk cell. */
enum : size_t {
    kNkFlags = 0x02,
    kNkLastWrite = 0x04,
    kNkParent = 0x10,
    kNkSubkeys = 0x14,
    kNkVolatileSubkeys = 0x18,
    kNkSubkeyList = 0x1C,
    kNkVolatileSubkeyList = 0x20,
    kNkValues = 0x24,
    kNkValueList = 0x28,
    kNkSecurity = 0x2C,
    kNkClass = 0x30,
    kNkMaxName = 0x34,
    kNkMaxClass = 0x38,
    kNkMaxValueName = 0x3C,
    kNkMaxValueData = 0x40,
    kNkNameLength = 0x48,
    kNkClassLength = 0x4A,
    kNkName = 0x4C,
};

/* Offsets in the payload of a vk cell. */
enum : size_t {
    kVkNameLength = 0x02,
    kVkDataLength = 0x04,
    kVkData = 0x08,
    kVkType = 0x0C,
    kVkFlags = 0x10,
    kVkName = 0x14,
};

size_t RoundUp(size_t n, size_t unit)
{
    return (n + unit - 1) / unit * unit;
}

void Put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

void Put64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

/* NT stores a name in one byte a character when every character fits. */
bool Compressible(const std::u16string &name)
{
    return std::all_of(name.begin(), name.end(), [](char16_t c) { return c <= 0xFF; });
}

size_t StoredNameBytes(const std::u16string &name)
{
    return Compressible(name) ? name.size() : name.size() * sizeof(char16_t);
}

void PutName(uint8_t *p, const std::u16string &name)
{
    const bool compressed = Compressible(name);
    for (size_t i = 0; i < name.size(); i++) {
        if (compressed)
            p[i] = (uint8_t)name[i];
        else
            Put16(p + 2 * i, name[i]);
    }
}

void AppendSid(std::vector<uint8_t> &out, uint8_t authority, std::initializer_list<uint32_t> subs)
{
    out.push_back(1);
    out.push_back((uint8_t)subs.size());
    for (int i = 0; i < 5; i++)
        out.push_back(0);
    out.push_back(authority);
    for (uint32_t sub : subs) {
        out.resize(out.size() + 4);
        Put32(&out[out.size() - 4], sub);
    }
}

/* The descriptor every key we save shares, self-relative: owner
 * Administrators, group SYSTEM, and a DACL, inherited by subkeys, giving
 * SYSTEM and Administrators full control and Everyone read access. */
std::vector<uint8_t> DefaultSecurityDescriptor()
{
    constexpr uint32_t kKeyAllAccess = 0xF003F;
    constexpr uint32_t kKeyRead = 0x20019;
    constexpr uint8_t kContainerInherit = 0x02;
    std::vector<uint8_t> system, admins, everyone;
    AppendSid(system, 5, {18});
    AppendSid(admins, 5, {32, 544});
    AppendSid(everyone, 1, {0});

    std::vector<uint8_t> aces;
    uint16_t aceCount = 0;
    for (auto grant :
         {std::make_pair(&system, kKeyAllAccess), std::make_pair(&admins, kKeyAllAccess),
          std::make_pair(&everyone, kKeyRead)}) {
        const std::vector<uint8_t> &sid = *grant.first;
        size_t at = aces.size();
        aces.resize(at + 8);
        aces[at] = 0; /* ACCESS_ALLOWED_ACE_TYPE */
        aces[at + 1] = kContainerInherit;
        Put16(&aces[at + 2], (uint16_t)(8 + sid.size()));
        Put32(&aces[at + 4], grant.second);
        aces.insert(aces.end(), sid.begin(), sid.end());
        aceCount++;
    }

    constexpr size_t kHeader = 20, kAclHeader = 8;
    const size_t aclSize = kAclHeader + aces.size();
    std::vector<uint8_t> sd(kHeader);
    sd[0] = 1;                                                    /* revision */
    Put16(&sd[2], 0x8000 | 0x0004);                               /* self-relative, DACL present */
    Put32(&sd[4], (uint32_t)(kHeader + aclSize));                 /* owner */
    Put32(&sd[8], (uint32_t)(kHeader + aclSize + admins.size())); /* group */
    Put32(&sd[12], 0);                                            /* no SACL */
    Put32(&sd[16], (uint32_t)kHeader);                            /* DACL */
    sd.push_back(2);                                              /* ACL revision */
    sd.push_back(0);
    sd.resize(sd.size() + 6);
    Put16(&sd[kHeader + 2], (uint16_t)aclSize);
    Put16(&sd[kHeader + 4], aceCount);
    sd.insert(sd.end(), aces.begin(), aces.end());
    sd.insert(sd.end(), admins.begin(), admins.end());
    sd.insert(sd.end(), system.begin(), system.end());
    return sd;
}

/* The hive bins being built, and the allocation of cells in them.  Small
 * cells go into the bin that is open until one no longer fits; a cell
 * larger than a block gets a bin of its own. */
class BinSpace {
public:
    /* Returns the new cell's index, its payload zeroed. */
    uint32_t Alloc(size_t payload)
    {
        const size_t size = RoundUp(payload + 4, 8);
        size_t cell;
        if (end_ - next_ >= size) {
            cell = next_;
            next_ += size;
        } else if (size > kHiveBlockSize - kHiveBinHeaderSize) {
            const size_t binSize = RoundUp(size + kHiveBinHeaderSize, kHiveBlockSize);
            const size_t start = AddBin(binSize);
            cell = start + kHiveBinHeaderSize;
            const size_t rest = binSize - kHiveBinHeaderSize - size;
            if (rest > end_ - next_) {
                Seal();
                next_ = cell + size;
                end_ = start + binSize;
            } else if (rest) {
                Put32(&bytes_[cell + size], (uint32_t)rest);
            }
        } else {
            Seal();
            const size_t start = AddBin(kHiveBlockSize);
            cell = start + kHiveBinHeaderSize;
            next_ = cell + size;
            end_ = start + kHiveBlockSize;
        }
        Put32(&bytes_[cell], (uint32_t) - (int32_t)size);
        return (uint32_t)cell;
    }

    uint8_t *Payload(uint32_t cell) { return &bytes_[cell + 4]; }

    /* Marks the rest of the open bin free and stamps the first bin. */
    std::vector<uint8_t> Finish(LONGLONG timeStamp)
    {
        Seal();
        if (!bytes_.empty())
            Put64(&bytes_[0x14], (uint64_t)timeStamp);
        return std::move(bytes_);
    }

    size_t Size() const { return bytes_.size(); }

private:
    size_t AddBin(size_t binSize)
    {
        const size_t start = bytes_.size();
        bytes_.resize(start + binSize);
        memcpy(&bytes_[start], "hbin", 4);
        Put32(&bytes_[start + 4], (uint32_t)start);
        Put32(&bytes_[start + 8], (uint32_t)binSize);
        return start;
    }

    void Seal()
    {
        if (end_ > next_)
            Put32(&bytes_[next_], (uint32_t)(end_ - next_));
        next_ = end_ = 0;
    }

    std::vector<uint8_t> bytes_;
    size_t next_ = 0;
    size_t end_ = 0;
};

/* The top bit of a cell index marks volatile storage, which leaves the
 * stable bins 31 bits. */
constexpr size_t kMaxBinsBytes = 0x7FFFF000;

class TreeWriter {
public:
    explicit TreeWriter(const Key &root) : hive_(root.hive.get()), sd_(DefaultSecurityDescriptor())
    {}

    NTSTATUS Run(const Key &root, const std::u16string &hiveName, std::vector<uint8_t> *image)
    {
        uint32_t rootCell;
        NTSTATUS status = WriteKey(root, kHiveNoCell, &rootCell);
        if (!NT_SUCCESS(status))
            return status;
        uint8_t *sk = bins_.Payload(security_);
        memcpy(sk, "sk", 2);
        Put32(sk + 0x04, security_); /* the list of descriptors is this one alone */
        Put32(sk + 0x08, security_);
        Put32(sk + 0x0C, keys_);
        Put32(sk + 0x10, (uint32_t)sd_.size());
        memcpy(sk + 0x14, sd_.data(), sd_.size());
        std::vector<uint8_t> bins = bins_.Finish(newest_);

        image->assign(kHiveBlockSize, 0);
        uint8_t *base = image->data();
        memcpy(base, "regf", 4);
        Put32(base + 0x04, 1);
        Put32(base + 0x08, 1);
        Put64(base + 0x0C, (uint64_t)newest_);
        Put32(base + 0x14, kHiveMajorVersion);
        Put32(base + 0x18, kHiveMinorVersion);
        Put32(base + 0x1C, 0); /* primary file */
        Put32(base + 0x20, 1); /* loaded as an image of memory */
        Put32(base + 0x24, rootCell);
        Put32(base + 0x28, (uint32_t)bins.size());
        Put32(base + 0x2C, 1); /* cluster factor */
        const size_t keep = std::min(hiveName.size(), kHiveFileNameChars);
        for (size_t i = 0; i < keep; i++)
            Put16(base + 0x30 + 2 * i, hiveName[hiveName.size() - keep + i]);
        uint32_t sum = 0;
        for (size_t i = 0; i < 0x1FC; i += 4)
            sum ^= (uint32_t)base[i] | (uint32_t)base[i + 1] << 8 | (uint32_t)base[i + 2] << 16 |
                   (uint32_t)base[i + 3] << 24;
        if (sum == 0xFFFFFFFF)
            sum = 0xFFFFFFFE;
        else if (sum == 0)
            sum = 1;
        Put32(base + 0x1FC, sum);
        image->insert(image->end(), bins.begin(), bins.end());
        return STATUS_SUCCESS;
    }

private:
    struct Child {
        std::u16string upcased;
        const Key *key;
    };

    bool Saved(const Key &child) const
    {
        if (child.isVolatile || child.hiveRoot)
            return false;
        return !hive_ || !child.hive || child.hive.get() == hive_;
    }

    NTSTATUS CheckRoom()
    {
        return bins_.Size() > kMaxBinsBytes ? STATUS_IMPLEMENTATION_LIMIT : STATUS_SUCCESS;
    }

    NTSTATUS WriteKey(const Key &key, uint32_t parent, uint32_t *cellOut)
    {
        const size_t nameBytes = StoredNameBytes(key.name);
        const size_t classBytes = key.className.size() * sizeof(char16_t);
        if (nameBytes > 0xFFFF || classBytes > 0xFFFF)
            return STATUS_IMPLEMENTATION_LIMIT;
        const uint32_t cell = bins_.Alloc(kNkName + nameBytes);
        if (parent == kHiveNoCell)
            security_ = bins_.Alloc(0x14 + sd_.size());
        keys_++;
        newest_ = std::max(newest_, key.lastWriteTime);

        uint32_t classCell = kHiveNoCell;
        if (classBytes) {
            classCell = bins_.Alloc(classBytes);
            uint8_t *p = bins_.Payload(classCell);
            for (size_t i = 0; i < key.className.size(); i++)
                Put16(p + 2 * i, key.className[i]);
        }

        uint32_t valueList = kHiveNoCell;
        ULONG maxValueName = key.maxValueNameLen, maxValueData = key.maxValueDataLen;
        if (!key.values.empty()) {
            valueList = bins_.Alloc(4 * key.values.size());
            for (size_t i = 0; i < key.values.size(); i++) {
                const Value &value = key.values[i];
                uint32_t vk;
                NTSTATUS status = WriteValue(value, &vk);
                if (!NT_SUCCESS(status))
                    return status;
                Put32(bins_.Payload(valueList) + 4 * i, vk);
                maxValueName =
                    std::max(maxValueName, (ULONG)(value.name.size() * sizeof(char16_t)));
                maxValueData = std::max(maxValueData, (ULONG)value.data.size());
            }
        }

        std::vector<Child> children;
        ULONG maxName = key.maxNameLen, maxClass = key.maxClassLen;
        for (const auto &sub : key.subkeys) {
            if (!Saved(*sub))
                continue;
            children.push_back({Upcase(sub->name), sub.get()});
            maxName = std::max(maxName, (ULONG)(sub->name.size() * sizeof(char16_t)));
            maxClass = std::max(maxClass, (ULONG)(sub->className.size() * sizeof(char16_t)));
        }
        std::stable_sort(children.begin(), children.end(),
                         [](const Child &a, const Child &b) { return a.upcased < b.upcased; });
        for (size_t i = 1; i < children.size(); i++) {
            if (children[i].upcased == children[i - 1].upcased)
                return STATUS_INVALID_PARAMETER;
        }
        std::vector<uint32_t> cells(children.size());
        for (size_t i = 0; i < children.size(); i++) {
            NTSTATUS status = WriteKey(*children[i].key, cell, &cells[i]);
            if (!NT_SUCCESS(status))
                return status;
        }
        const uint32_t subkeyList = WriteSubkeyList(children, cells);
        NTSTATUS status = CheckRoom();
        if (!NT_SUCCESS(status))
            return status;

        uint8_t *nk = bins_.Payload(cell);
        memcpy(nk, "nk", 2);
        uint16_t flags = Compressible(key.name) ? kHiveKeyCompName : 0;
        if (parent == kHiveNoCell)
            flags |= kHiveKeyEntry | kHiveKeyNoDelete;
        if (key.isLink)
            flags |= kHiveKeySymLink;
        Put16(nk + kNkFlags, flags);
        Put64(nk + kNkLastWrite, (uint64_t)key.lastWriteTime);
        Put32(nk + kNkParent, parent);
        Put32(nk + kNkSubkeys, (uint32_t)children.size());
        Put32(nk + kNkVolatileSubkeys, 0);
        Put32(nk + kNkSubkeyList, subkeyList);
        Put32(nk + kNkVolatileSubkeyList, kHiveNoCell);
        Put32(nk + kNkValues, (uint32_t)key.values.size());
        Put32(nk + kNkValueList, valueList);
        Put32(nk + kNkSecurity, security_);
        Put32(nk + kNkClass, classCell);
        Put32(nk + kNkMaxName, std::min(maxName, (ULONG)0xFFFF)); /* the high bits are flags */
        Put32(nk + kNkMaxClass, maxClass);
        Put32(nk + kNkMaxValueName, maxValueName);
        Put32(nk + kNkMaxValueData, maxValueData);
        Put16(nk + kNkNameLength, (uint16_t)nameBytes);
        Put16(nk + kNkClassLength, (uint16_t)classBytes);
        PutName(nk + kNkName, key.name);
        *cellOut = cell;
        return STATUS_SUCCESS;
    }

    NTSTATUS WriteValue(const Value &value, uint32_t *cellOut)
    {
        const size_t nameBytes = StoredNameBytes(value.name);
        const size_t size = value.data.size();
        const size_t segments = (size + kHiveBigDataSegment - 1) / kHiveBigDataSegment;
        if (nameBytes > 0xFFFF || segments > 0xFFFF)
            return STATUS_IMPLEMENTATION_LIMIT;
        const uint32_t vk = bins_.Alloc(kVkName + nameBytes);
        uint32_t dataLength = (uint32_t)size, dataField = 0;
        if (size <= kInlineDataMax) {
            /* Up to four bytes live in the vk cell itself, none at all
             * included, as NT's set of a value stores them; readers that
             * follow the data field (hivex among them) refuse an empty
             * value whose field is nil without the inline mark. */
            dataLength |= kInlineData;
        } else if (size <= kHiveBigDataSegment) {
            dataField = bins_.Alloc(size);
            memcpy(bins_.Payload(dataField), value.data.data(), size);
        } else {
            const uint32_t db = bins_.Alloc(8);
            const uint32_t list = bins_.Alloc(4 * segments);
            for (size_t i = 0; i < segments; i++) {
                const size_t at = i * kHiveBigDataSegment;
                const size_t n = std::min(kHiveBigDataSegment, size - at);
                /* NT gives the last segment a whole cell too. */
                const uint32_t segment = bins_.Alloc(kHiveBigDataSegment);
                memcpy(bins_.Payload(segment), value.data.data() + at, n);
                Put32(bins_.Payload(list) + 4 * i, segment);
                NTSTATUS status = CheckRoom();
                if (!NT_SUCCESS(status))
                    return status;
            }
            uint8_t *p = bins_.Payload(db);
            memcpy(p, "db", 2);
            Put16(p + 2, (uint16_t)segments);
            Put32(p + 4, list);
            dataField = db;
        }
        uint8_t *p = bins_.Payload(vk);
        memcpy(p, "vk", 2);
        Put16(p + kVkNameLength, (uint16_t)nameBytes);
        Put32(p + kVkDataLength, dataLength);
        if (dataLength & kInlineData) {
            if (size)
                memcpy(p + kVkData, value.data.data(), size);
        } else {
            Put32(p + kVkData, dataField);
        }
        Put32(p + kVkType, value.type);
        Put16(p + kVkFlags, Compressible(value.name) ? kHiveValueCompName : 0);
        PutName(p + kVkName, value.name);
        *cellOut = vk;
        return CheckRoom();
    }

    uint32_t WriteLeaf(const std::vector<Child> &children, const std::vector<uint32_t> &cells,
                       size_t first, size_t count)
    {
        const uint32_t leaf = bins_.Alloc(4 + 8 * count);
        uint8_t *p = bins_.Payload(leaf);
        memcpy(p, "lh", 2);
        Put16(p + 2, (uint16_t)count);
        for (size_t i = 0; i < count; i++) {
            Put32(p + 4 + 8 * i, cells[first + i]);
            Put32(p + 8 + 8 * i, HiveNameHash(children[first + i].key->name));
        }
        return leaf;
    }

    /* One leaf when the list fits in one, else an index root over leaves
     * filled evenly. */
    uint32_t WriteSubkeyList(const std::vector<Child> &children, const std::vector<uint32_t> &cells)
    {
        const size_t n = children.size();
        if (n == 0)
            return kHiveNoCell;
        if (n <= kHiveMaxLeafEntries)
            return WriteLeaf(children, cells, 0, n);
        const size_t leaves = (n + kHiveMaxLeafEntries - 1) / kHiveMaxLeafEntries;
        std::vector<uint32_t> leafCells;
        size_t first = 0;
        for (size_t i = 0; i < leaves; i++) {
            const size_t count = n / leaves + (i < n % leaves ? 1 : 0);
            leafCells.push_back(WriteLeaf(children, cells, first, count));
            first += count;
        }
        const uint32_t root = bins_.Alloc(4 + 4 * leaves);
        uint8_t *p = bins_.Payload(root);
        memcpy(p, "ri", 2);
        Put16(p + 2, (uint16_t)leaves);
        for (size_t i = 0; i < leaves; i++)
            Put32(p + 4 + 4 * i, leafCells[i]);
        return root;
    }

    const Hive *hive_;
    const std::vector<uint8_t> sd_;
    BinSpace bins_;
    uint32_t security_ = kHiveNoCell;
    uint32_t keys_ = 0;
    LONGLONG newest_ = 0;
};

} // namespace

ULONG HiveNameHash(const std::u16string &name)
{
    ULONG hash = 0;
    for (char16_t c : name)
        hash = hash * 37 + Upcase((WCHAR)c);
    return hash;
}

NTSTATUS BuildHiveImage(const Key &root, const std::u16string &hiveName,
                        std::vector<uint8_t> *image)
{
    TreeWriter writer(root);
    return writer.Run(root, hiveName, image);
}

NTSTATUS WriteHiveFile(const std::string &hostPath, const Key &root, const std::u16string &hiveName)
{
    if (hostPath.empty())
        return STATUS_OBJECT_NAME_INVALID;
    if (HasHiveImage(root))
        return SaveHiveInPlace(hostPath, root);
    std::vector<uint8_t> image;
    NTSTATUS status;
    try {
        status = BuildHiveImage(root, hiveName, &image);
    } catch (const std::bad_alloc &) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status))
        return status;
    /* Whole or not at all, beside the target and renamed over it. */
    return regf::ReplaceFileWhole(hostPath, image.data(), image.size(), nullptr, 0, sk::HostSync());
}

} // namespace reg
} // namespace sk
