/*
 * hive_load.h - loading hive files into the simulated registry and taking
 * them out again (ZwLoadKey, ZwUnloadKey).
 *
 * The file is found as NT finds it, through the object namespace and the
 * volumes; what it holds comes from the hive file reader.  Until hive files
 * can be read, a test may install a reader of its own.
 */
#pragma once

#include "platform/platform.h"

#include <functional>
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
/* Installs the reader ZwLoadKey uses; null puts the built-in one back. */
void SetHiveFileReader(HiveFileReader reader);

/* Host path of the file a loaded hive came from, by mount path. */
std::vector<std::pair<std::u16string, std::string>> LoadedHives();

} // namespace sk
