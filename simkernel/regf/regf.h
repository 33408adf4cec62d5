/*
 * regf.h - hive files in the registry's on-disk format, held in memory as
 * the bytes of the base block and the bins, and read, checked and changed
 * there cell by cell.
 *
 * A Hive takes the bytes of a primary file (so that bytes recovered from
 * its logs can be passed the same way) and refuses, with a message, one
 * whose base block or bins do not hold together.  Check() then walks every
 * key from the root and refuses anything the kernel's own check would:
 * cells out of range or overlapping, lengths that do not fit, counts that
 * disagree with their lists, subkey lists out of order, a security list
 * that does not link up or reference counts that differ from the keys
 * using each descriptor.  Messages name the key the problem was found at.
 *
 * The editor changes the image in place: a cell that grows is moved to a
 * free cell or a new bin, a freed cell is marked free and merged with free
 * neighbours in its bin, and every byte not touched by an edit is kept.  A
 * new key takes the security its parent passes on to a new subkey (see
 * InheritDescriptor) and shares an existing security cell with the same
 * descriptor.  Save() writes the image whole beside the target and renames
 * it over, keeping the file's mode and owner.
 *
 * Host C++, below the rest of simkernel: it uses only its case folding.
 */
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sk {
namespace regf {

constexpr uint32_t kNoCell = 0xFFFFFFFF;
constexpr size_t kBaseBlockSize = 4096;
constexpr size_t kBinHeaderSize = 32;
/* Most bytes of data one cell holds before it goes to big-data segments. */
constexpr size_t kBigDataSegment = 16344;
/* Entries NT keeps in one subkey leaf before it splits the list. */
constexpr size_t kMaxLeafEntries = 1012;
/* NT refuses to nest keys deeper than this. */
constexpr int kMaxKeyDepth = 512;

/* Key node flags. */
constexpr uint16_t kKeyVolatile = 0x0001;
constexpr uint16_t kKeyHiveExit = 0x0002;
constexpr uint16_t kKeyHiveEntry = 0x0004;
constexpr uint16_t kKeyNoDelete = 0x0008;
constexpr uint16_t kKeySymLink = 0x0010;
constexpr uint16_t kKeyCompName = 0x0020;
constexpr uint16_t kValueCompName = 0x0001;

/* What a key node holds, read out of its cell. */
struct KeyNode {
    uint16_t flags = 0;
    uint64_t lastWrite = 0;
    uint32_t access = 0; /* access bits and, in 1.6 hives, layered-key bits */
    uint32_t parent = kNoCell;
    uint32_t subkeyCount = 0;
    uint32_t subkeyList = kNoCell;
    uint32_t valueCount = 0;
    uint32_t valueList = kNoCell;
    uint32_t security = kNoCell;
    uint32_t classCell = kNoCell;
    uint16_t classLength = 0;
    uint32_t maxNameField = 0; /* the longest subkey name, with the user,
                                  virtualization and debug bits above it */
    uint32_t maxClass = 0;
    uint32_t maxValueName = 0;
    uint32_t maxValueData = 0;
    std::u16string name;

    uint32_t MaxName() const { return maxNameField & 0xFFFF; }
    uint8_t VirtualizationFlags() const { return (maxNameField >> 16) & 0xF; }
    uint8_t UserFlags() const { return (maxNameField >> 20) & 0xF; }
    uint8_t LayerSemantics() const { return (access >> 8) & 0x3; }
};

struct ValueNode {
    std::u16string name;
    uint32_t type = 0;
    uint16_t flags = 0;
    std::vector<uint8_t> data;
};

struct SecurityNode {
    uint32_t flink = kNoCell;
    uint32_t blink = kNoCell;
    uint32_t references = 0;
    std::vector<uint8_t> descriptor;
};

/* The base block's fields a caller may want. */
struct Header {
    uint32_t sequence1 = 0;
    uint32_t sequence2 = 0;
    uint64_t lastWritten = 0;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t rootCell = kNoCell;
    uint32_t binsSize = 0;
    std::u16string fileName;
};

/* Why a hive was refused: STATUS_NOT_REGISTRY_FILE for bytes that are no
 * hive, STATUS_REGISTRY_CORRUPT for one that is damaged or dirty, with the
 * key or place it was found at. */
struct Refusal {
    NTSTATUS status = STATUS_SUCCESS;
    std::string message;
};

/* What the checker counted on its way. */
struct CheckCounts {
    size_t keys = 0;
    size_t values = 0;
    size_t descriptors = 0;
    size_t bigData = 0;
    size_t classes = 0;
};

class Hive {
public:
    /* Takes the bytes of a primary file and checks its base block and its
     * bins (every cell inside a bin, lengths multiples of 8).  A hive whose
     * sequence numbers differ was left between two writes and is refused,
     * as is a differencing (1.6) hive. */
    static NTSTATUS Open(std::vector<uint8_t> bytes, std::unique_ptr<Hive> *out, Refusal *why);

    /* Walks every key from the root as described above. */
    NTSTATUS Check(Refusal *why, CheckCounts *counts = nullptr) const;

    const Header &header() const { return header_; }
    uint32_t RootCell() const { return header_.rootCell; }
    /* The base block and the bins, as Save() would write them. */
    std::vector<uint8_t> Bytes() const;

    /* ---- reading; false when a cell is not what it should be ---------- */
    bool ReadKey(uint32_t cell, KeyNode *out) const;
    /* A key's subkeys in list order (leaves of an index root flattened). */
    bool Subkeys(const KeyNode &key, std::vector<uint32_t> *cells) const;
    bool ValueCells(const KeyNode &key, std::vector<uint32_t> *cells) const;
    bool ReadValue(uint32_t cell, ValueNode *out) const;
    bool ReadClass(const KeyNode &key, std::u16string *out) const;
    bool ReadSecurity(uint32_t cell, SecurityNode *out) const;
    /* Every security cell, in list order from the root key's. */
    bool SecurityCells(std::vector<uint32_t> *cells) const;

    /* ---- editing: STATUS_INSUFFICIENT_RESOURCES when the hive cannot
     * grow, STATUS_REGISTRY_CORRUPT when a cell met is not what it should
     * be; the image is then to be thrown away. ---------------------------- */

    /* A new key under parent, its security inherited, stamped at time. */
    NTSTATUS CreateKey(uint32_t parent, const std::u16string &name,
                       const std::u16string &className, bool link, uint64_t time, uint32_t *cell);
    /* Deletes the key, its values and every key beneath it. */
    NTSTATUS DeleteKey(uint32_t cell);
    /* Sets a value, replacing one of the same name (any case). */
    NTSTATUS SetValue(uint32_t key, const std::u16string &name, uint32_t type,
                      const uint8_t *data, size_t size);
    /* STATUS_OBJECT_NAME_NOT_FOUND when there is none. */
    NTSTATUS DeleteValue(uint32_t key, const std::u16string &name);
    NTSTATUS SetClass(uint32_t key, const std::u16string &className);
    NTSTATUS SetLastWrite(uint32_t key, uint64_t time);
    /* Writes the four high-water marks (the bits above the subkey name's
     * are kept). */
    NTSTATUS SetMarks(uint32_t key, uint32_t maxName, uint32_t maxClass, uint32_t maxValueName,
                      uint32_t maxValueData);

    /* Stamps the base block (both sequence numbers one on, last written
     * at time, checksum) and writes the file whole: a temporary beside
     * it, synced when sync is set, renamed over the target (keeping its
     * mode and owner), and the directory synced. */
    NTSTATUS Save(const std::string &path, uint64_t time, bool sync);
    /* Stamps the base block as Save() does, without writing. */
    void Stamp(uint64_t time);

    /* Cells in use and free, for tests and checks. */
    size_t FreeCellCount() const { return freeByOffset_.size(); }

private:
    Hive() = default;

    /* Raw access, offsets relative to the bins. */
    uint8_t *At(uint32_t offset) { return bytes_.data() + kBaseBlockSize + offset; }
    const uint8_t *At(uint32_t offset) const { return bytes_.data() + kBaseBlockSize + offset; }
    /* The payload of the allocated cell at offset and its size. */
    bool Cell(uint32_t offset, const uint8_t **payload, size_t *size) const;
    uint8_t *MutableCell(uint32_t offset, size_t *size);
    uint32_t BinStartOf(uint32_t offset) const;
    uint32_t BinEndOf(uint32_t offset) const;

    NTSTATUS Alloc(size_t payload, uint32_t *cell);
    void Free(uint32_t cell);
    void AddFree(uint32_t offset, uint32_t size);
    void RemoveFree(uint32_t offset);
    /* Gives the cell room for payload bytes, moving it when it has to. */
    NTSTATUS Resize(uint32_t cell, size_t payload, uint32_t *moved);
    /* The same, a cell that moves given room for this many bytes. */
    NTSTATUS Resize(uint32_t cell, size_t payload, size_t room, uint32_t *moved);

    NTSTATUS InsertSubkey(uint32_t parent, uint32_t child);
    NTSTATUS RemoveSubkey(uint32_t parent, uint32_t child);
    NTSTATUS WriteLeaf(uint32_t *leaf, const std::vector<uint32_t> &entries, uint16_t kind);
    NTSTATUS WriteValueList(uint32_t key, const std::vector<uint32_t> &cells);
    NTSTATUS WriteData(const uint8_t *data, size_t size, uint32_t *dataField, uint32_t *sizeField);
    void FreeData(uint32_t dataField, uint32_t sizeField);
    void FreeValue(uint32_t vk);
    NTSTATUS AssignSecurity(uint32_t parentSecurity, uint32_t *security);
    void ReleaseSecurity(uint32_t security);
    bool CompareName(uint32_t keyCell, const std::u16string &upcased, int *order) const;
    bool FindValueCell(uint32_t key, const std::u16string &name, uint32_t *vk, size_t *index,
                       std::vector<uint32_t> *list) const;

    std::vector<uint8_t> bytes_; /* base block and bins */
    std::vector<uint8_t> tail_;  /* whatever followed the bins in the file */
    Header header_;
    std::vector<uint32_t> binStarts_;
    std::map<uint32_t, uint32_t> freeByOffset_;
    std::multimap<uint32_t, uint32_t> freeBySize_;
    /* Security cells by descriptor, for sharing one with a new key. */
    std::unordered_map<std::string, uint32_t> descriptors_;
    bool descriptorsIndexed_ = false;

    friend class Checker;
};

/* The descriptor NT gives a new key under a parent with this one: the
 * owner and group of the parent, and of each of its ACLs the ACEs passed
 * on to subkeys, marked inherited (see the guide on --hive).  False for a
 * parent descriptor that does not parse. */
bool InheritDescriptor(const uint8_t *parent, size_t size, std::vector<uint8_t> *child);

/* NT's hash of a name in an lh leaf. */
uint32_t NameHash(const std::u16string &name);

/* The base block's checksum over its first 508 bytes. */
uint32_t BaseBlockChecksum(const uint8_t *base);

/* Replaces the file at path with head then tail, whole or not at all: a
 * temporary beside it, synced when sync is set, renamed over the target
 * (keeping the mode and owner of a file that was there, 0644 otherwise),
 * and the directory synced.  On failure the file is as it was and no
 * temporary is left: STATUS_OBJECT_PATH_NOT_FOUND, STATUS_ACCESS_DENIED,
 * STATUS_FILE_IS_A_DIRECTORY, STATUS_DISK_FULL, STATUS_NAME_TOO_LONG,
 * STATUS_UNEXPECTED_IO_ERROR. */
NTSTATUS ReplaceFileWhole(const std::string &path, const uint8_t *head, size_t headSize,
                          const uint8_t *tail, size_t tailSize, bool sync);

} // namespace regf
} // namespace sk
