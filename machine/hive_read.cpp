/*
 * hive_read.cpp - hive files read offline, as they are on disk: a
 * machine's hives and hive files anywhere.
 */
#include "machine/internal.h"

#include "simkernel/hive_file.h"

#include <cstring>

namespace qm {

namespace {

/* The key at keyPath in the hive's file as it is now; *root keeps the
 * tree read alive. */
const sk::reg::Key *ReadOfflineKey(const std::string &dir, Hive hive, const std::u16string &keyPath,
                                   std::shared_ptr<sk::reg::Key> *root, std::string *error)
{
    *root = ReadHive(dir, hive, error);
    return *root ? FindOffline(**root, hive, keyPath, error) : nullptr;
}

MachineKey CopyOfflineKey(const sk::reg::Key &key, int depth)
{
    MachineKey copy;
    copy.name = key.name;
    for (const sk::reg::Value &value : key.values)
        copy.values.emplace_back(value.name, MachineValue{ value.type, value.data });
    if (depth != 0) {
        for (const auto &subkey : key.subkeys)
            copy.subkeys.push_back(CopyOfflineKey(*subkey, depth < 0 ? depth : depth - 1));
    }
    return copy;
}

} // namespace

std::string HiveRefusal(const std::string &file, NTSTATUS status, const sk::regf::HiveImageReport &report)
{
    const sk::regf::ReplayReport &replay = report.replay;
    switch (replay.refusal) {
    case sk::regf::ReplayRefusal::DirtyNoLog:
    case sk::regf::ReplayRefusal::LogDamaged:
        return file + ": " + replay.reason +
               ". Boot the image once and shut it down fully, with fast startup off, so that Windows "
               "writes the hive back clean";
    case sk::regf::ReplayRefusal::Differencing:
        return file + ": " + replay.reason;
    default: {
        /* A damaged hive is refused with what the checker found, naming
         * the key; nothing in it is dropped or repaired. */
        const std::string &why = sk::reg::LastHiveRefusal();
        if (status == STATUS_REGISTRY_CORRUPT && !why.empty())
            return file + ": " + Status(status) + ": " + why;
        return file + ": " + Status(status);
    }
    }
}

std::shared_ptr<sk::reg::Key> ReadHive(const std::string &dir, Hive hive, std::string *error)
{
    std::shared_ptr<sk::reg::Key> root;
    sk::regf::HiveImageReport report;
    NTSTATUS status = sk::reg::ReadHiveFile(HiveFilePath(dir, hive), &root, nullptr, nullptr,
                                            sk::regf::HiveReadOptions(), &report);
    if (!NT_SUCCESS(status)) {
        SetError(error, HiveRefusal(HiveFilePath(dir, hive), status, report));
        return nullptr;
    }
    return root;
}

ULONG OfflineCurrentControlSet(const sk::reg::Key &root)
{
    std::shared_ptr<sk::reg::Key> select = sk::reg::FindSubkey(root, u"Select");
    if (select) {
        for (const sk::reg::Value &value : select->values) {
            if (EqualsIgnoringCase(value.name, u"Current") && value.type == REG_DWORD &&
                value.data.size() == 4) {
                ULONG current;
                memcpy(&current, value.data.data(), 4);
                if (current != 0 && current < 1000)
                    return current;
            }
        }
    }
    return 1;
}

const sk::reg::Key *FindOffline(const sk::reg::Key &root, Hive hive, const std::u16string &keyPath,
                                std::string *error)
{
    const std::u16string path = NeedsControlSet(hive, keyPath)
                                    ? MapControlSet(hive, keyPath, OfflineCurrentControlSet(root))
                                    : keyPath;
    const sk::reg::Key *key = &root;
    for (const std::u16string &part : sk::SplitKeyPath(path)) {
        std::shared_ptr<sk::reg::Key> next = sk::reg::FindSubkey(*key, part);
        if (!next) {
            SetError(error, std::string(HiveFileName(hive)) + "\\" + sk::Utf8FromUtf16(path) + ": no such key");
            return nullptr;
        }
        key = next.get();
    }
    return key;
}

std::optional<MachineValue> ReadMachineValue(const std::string &dir, Hive hive,
                                             const std::u16string &keyPath,
                                             const std::u16string &valueName, std::string *error)
{
    std::shared_ptr<sk::reg::Key> root;
    const sk::reg::Key *key = ReadOfflineKey(dir, hive, keyPath, &root, error);
    if (!key)
        return std::nullopt;
    for (const sk::reg::Value &value : key->values) {
        if (EqualsIgnoringCase(value.name, valueName))
            return MachineValue{ value.type, value.data };
    }
    SetError(error, std::string(HiveFileName(hive)) + "\\" + sk::Utf8FromUtf16(keyPath) + ": no value \"" +
                        sk::Utf8FromUtf16(valueName) + "\"");
    return std::nullopt;
}

std::optional<std::vector<std::u16string>> ReadMachineKeys(const std::string &dir, Hive hive,
                                                           const std::u16string &keyPath,
                                                           std::string *error)
{
    std::shared_ptr<sk::reg::Key> root;
    const sk::reg::Key *key = ReadOfflineKey(dir, hive, keyPath, &root, error);
    if (!key)
        return std::nullopt;
    std::vector<std::u16string> names;
    for (const auto &subkey : key->subkeys)
        names.push_back(subkey->name);
    return names;
}

std::optional<std::vector<std::u16string>> ReadMachineValueNames(const std::string &dir, Hive hive,
                                                                 const std::u16string &keyPath,
                                                                 std::string *error)
{
    std::shared_ptr<sk::reg::Key> root;
    const sk::reg::Key *key = ReadOfflineKey(dir, hive, keyPath, &root, error);
    if (!key)
        return std::nullopt;
    std::vector<std::u16string> names;
    for (const sk::reg::Value &value : key->values)
        names.push_back(value.name);
    return names;
}

bool MachineKeyExists(const std::string &dir, Hive hive, const std::u16string &keyPath)
{
    std::shared_ptr<sk::reg::Key> root = ReadHive(dir, hive, nullptr);
    return root && FindOffline(*root, hive, keyPath, nullptr);
}

HiveFileRead ReadHiveFileKey(const std::string &file, Hive hive, const std::u16string &keyPath,
                             int depth, bool acceptDirty)
{
    HiveFileRead read;
    std::shared_ptr<sk::reg::Key> root;
    sk::regf::HiveReadOptions options;
    options.acceptDirty = acceptDirty;
    sk::regf::HiveImageReport report;
    NTSTATUS status = sk::reg::ReadHiveFile(file, &root, nullptr, nullptr, options, &report);
    if (!NT_SUCCESS(status)) {
        read.error = HiveRefusal(file, status, report);
        read.dirty = report.replay.refusal == sk::regf::ReplayRefusal::DirtyNoLog ||
                     report.replay.refusal == sk::regf::ReplayRefusal::LogDamaged;
        return read;
    }
    read.fileRead = true;
    read.keyPath = NeedsControlSet(hive, keyPath)
                       ? MapControlSet(hive, keyPath, OfflineCurrentControlSet(*root))
                       : sk::JoinKeyPath(sk::SplitKeyPath(keyPath));
    if (const sk::reg::Key *key = FindOffline(*root, hive, keyPath, &read.error))
        read.key = CopyOfflineKey(*key, depth);
    return read;
}

} // namespace qm
