/*
 * hive_file.h - hive files in the registry's on-disk format (regf): reading
 * one into a detached tree of reg::Key, and saving a hive's keys as a file
 * that NT and the usual offline tools open.  Internal to simkernel; callers
 * that pass keys of the live registry hold the kernel lock.
 *
 * A tree read from a file keeps that file's image at its root, and each key
 * its cell in it: a save then edits the image in place, only where the
 * tree differs from it (values, classes, times and marks of keys that
 * changed, cells for new keys and freed ones for removed keys), and every
 * other byte stays as the file had it: security cells, key flags, header
 * fields, the hive's version.  A new key gets the security NT gives a new
 * subkey of its parent.
 *
 * A tree that comes from no file is laid out afresh and compactly: a base block, then
 * bins of whole 4 KiB blocks holding the cells of the non-volatile keys of
 * the hive, written depth first.  Hive version 1.5, the one NT has created
 * since XP: subkey lists are hash leaves (lh), an index root (ri) over them
 * once a list outgrows one leaf, and data longer than one cell is split
 * into big-data (db) segments; data of up to four bytes, none included,
 * stays in the value's own cell.  Every key refers to one shared security
 * cell holding a default descriptor.  The file is written beside the
 * target, synced and renamed over it, so that a save either replaces the
 * old file whole or leaves it untouched.
 */
#pragma once

#include "simkernel/registry_tree.h"
#include "simkernel/regf/hive_logs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sk {
namespace reg {

/* The file layout's fixed sizes. */
constexpr size_t kHiveBlockSize = 4096;
constexpr size_t kHiveBinHeaderSize = 32;
constexpr ULONG kHiveMajorVersion = 1;
constexpr ULONG kHiveMinorVersion = 5;
/* Most data one cell of a bin of four blocks holds (0x4000 less the bin
 * header and the rounded cell header); longer data goes to db segments of
 * this size. */
constexpr size_t kHiveBigDataSegment = 0x3FD8;
/* Most entries NT keeps in one subkey leaf: an index leaf fills a block
 * with 1014 cell indexes, and NT grows a list into an index root when a
 * leaf would pass one less than that. */
constexpr size_t kHiveMaxLeafEntries = 1013;
/* Characters of the hive's name kept in the base block. */
constexpr size_t kHiveFileNameChars = 31;

/* Cell fields of the format: no cell, and the flags of key (nk) and value
 * (vk) cells. */
constexpr uint32_t kHiveNoCell = 0xFFFFFFFF;
constexpr uint16_t kHiveKeyEntry = 0x0004;    /* the hive's root key */
constexpr uint16_t kHiveKeyNoDelete = 0x0008;
constexpr uint16_t kHiveKeySymLink = 0x0010;
constexpr uint16_t kHiveKeyCompName = 0x0020; /* name stored in 8-bit characters */
constexpr uint16_t kHiveValueCompName = 0x0001;

/* What the base block of a hive file records. */
struct HiveFileHeader {
    ULONG minorVersion = 0;
    ULONG sequence = 0;
    LONGLONG lastWritten = 0;
    std::u16string fileName; /* the last characters of the name it was saved under */
};

/* Reads the hive file at hostPath into a new tree that belongs to no
 * registry: *root is the hive's root key, marked as a hive root, with every
 * key's name as stored, class, values (exact types and bytes), last-write
 * time, high-water marks and whether it is a link key, and subkeys in NT's
 * order.  Every key's hive
 * is set to hive, which may be null.  Failures answer as NT's loader does:
 * STATUS_OBJECT_NAME_NOT_FOUND or STATUS_OBJECT_PATH_NOT_FOUND for a file or
 * directory that is missing, STATUS_FILE_IS_A_DIRECTORY or
 * STATUS_ACCESS_DENIED for one that cannot be read, STATUS_NOT_REGISTRY_FILE
 * for a file that is no hive, STATUS_REGISTRY_CORRUPT for a hive that is
 * damaged or truncated, STATUS_NOT_SUPPORTED for a differencing hive.  A
 * hive left dirty is first brought up to date from the logs beside it, as
 * NT's loader does (regf/hive_logs.h); one without a log that applies is
 * STATUS_REGISTRY_CORRUPT unless options.acceptDirty.  *report, when given,
 * says what the logs did or why the hive was refused. */
NTSTATUS ReadHiveFile(const std::string &hostPath, std::shared_ptr<Key> *root,
                      const std::shared_ptr<Hive> &hive = nullptr,
                      HiveFileHeader *header = nullptr,
                      const regf::HiveReadOptions &options = regf::HiveReadOptions(),
                      regf::HiveImageReport *report = nullptr);

/* Why the last ReadHiveFile refused its file, naming the key or the place
 * in the file; empty when it did not. */
const std::string &LastHiveRefusal();

/* Saves root and the keys beneath it that belong to its hive, leaving out
 * volatile keys and the roots of hives mounted inside it.  hiveName goes to
 * the base block (its last 31 characters).  On failure the file at hostPath
 * is as it was and no temporary file is left behind; the status says why:
 * STATUS_OBJECT_PATH_NOT_FOUND, STATUS_ACCESS_DENIED,
 * STATUS_FILE_IS_A_DIRECTORY, STATUS_DISK_FULL (a file size limit too),
 * STATUS_IMPLEMENTATION_LIMIT for a tree the format cannot hold,
 * STATUS_INVALID_PARAMETER for one that breaks the registry's rules (two
 * subkeys of one name), STATUS_UNEXPECTED_IO_ERROR otherwise.  The hive's
 * dirty flag is the caller's to clear. */
NTSTATUS WriteHiveFile(const std::string &hostPath, const Key &root,
                       const std::u16string &hiveName);

/* Whether root holds the image of the file it was read from, and the save
 * that edits that image (WriteHiveFile takes it when it does). */
bool HasHiveImage(const Key &root);
NTSTATUS SaveHiveInPlace(const std::string &hostPath, const Key &root);

/* The bytes WriteHiveFile would store for a tree laid out afresh. */
NTSTATUS BuildHiveImage(const Key &root, const std::u16string &hiveName,
                        std::vector<uint8_t> *image);

/* NT's hash of a subkey name in an lh leaf: the upcased code units folded
 * as h = h * 37 + c. */
ULONG HiveNameHash(const std::u16string &name);

} // namespace reg
} // namespace sk
