/*
 * hive_load.h - hives backed by files: loading a hive file into the
 * simulated registry and taking it out again (ZwLoadKey, ZwUnloadKey),
 * writing a hive back to its file, and what a power loss leaves of the
 * registry.
 *
 * The file is found as NT finds it, through the object namespace and the
 * volumes, and read with the hive file reader (hive_file.h): the hive
 * mounts with every key, value, class and last-write time the file holds.
 * A test may install a reader of its own instead.
 *
 * A hive has a file when it was loaded with ZwLoadKey (the host file it was
 * read from) or mounted with sk::MountHive and a file path (a host path).
 * The master hive and hives mounted without a file path have none.
 */
#pragma once

#include "platform/platform.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sk {

struct HiveFileValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct HiveFileKey {
    std::u16string path; /* below the hive's root, e.g. u"Microsoft\\Windows"; "" is the root */
    std::vector<HiveFileValue> values;
};

/* Reads the keys of a hive file, parents before children. */
using HiveFileReader =
    std::function<NTSTATUS(const std::string &hostPath, std::vector<HiveFileKey> *keys)>;
/* Installs a reader that ZwLoadKey and RegLosePower use instead of reading
 * the file as a hive; null puts the built-in one back. */
void SetHiveFileReader(HiveFileReader reader);

/* A hive file left dirty is brought up to date from its logs when loaded;
 * one whose logs are missing or do not apply is refused with
 * STATUS_REGISTRY_CORRUPT.  With accept set, such a hive is loaded as its
 * primary file holds it instead (what an offline tool asked to take a
 * dirty hive as it is wants).  ResetKernel puts back the refusal. */
void SetDirtyHivesAccepted(bool accept);

/* Host path of the file a loaded hive came from, by mount path. */
std::vector<std::pair<std::u16string, std::string>> LoadedHives();

/* What a power loss leaves of the registry, as the next boot finds it.
 * Every hive that has a file holds what its file holds now: changes not
 * flushed are lost, and so are volatile keys; a hive whose file cannot be
 * read (missing, never written) comes back empty.  A hive without a file
 * has nothing on disk to come back from: it keeps only its root, the keys
 * NT creates itself (\REGISTRY, MACHINE, USER) and the keys that lead to
 * hives mounted inside it, without values.  Hives stay mounted where they
 * were as long as the key they hang from still exists; one whose parent is
 * gone is no longer loaded.  Every hive is clean afterwards; the simulated
 * clock goes on.
 *
 * A power loss ends the machine, so no key handle may be open: one that is
 * is a violation, and the key it refers to answers STATUS_KEY_DELETED. */
void RegLosePower();

/* For simkernel itself; the caller holds the kernel lock. */
namespace reg {
struct Key;
}
/* Writes the hive of key to its file and marks it clean, as ZwFlushKey
 * does.  A hive that is clean is not written again; a hive without a file
 * just becomes clean.  STATUS_KEY_DELETED for a deleted key.  When the file
 * cannot be written the hive stays dirty and the file as it was, and the
 * answer is STATUS_REGISTRY_IO_FAILED (STATUS_INSUFFICIENT_RESOURCES when
 * memory ran out). */
NTSTATUS FlushHiveOf(const std::shared_ptr<reg::Key> &key);

} // namespace sk
