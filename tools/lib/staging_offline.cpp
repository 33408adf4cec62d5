/*
 * staging_offline.cpp - the targets of the Linux build: the SYSTEM hive of
 * a machine directory and a bare SYSTEM hive file.
 *
 * Both read the file with the machine layer's hive reader and make a whole
 * change in one edit of a child process (qm::EditMachineHive,
 * qm::EditHiveFile): the steps run on the hive loaded in a simulated
 * kernel, and the file is written back only when every step succeeded, by
 * replacing it whole.  A failure, a kill or a power loss in between leaves
 * the file as it was.
 */
#include "tools/lib/staging.h"

#include "machine/machine.h"
#include "simkernel/registry.h"
#include "simkernel/status_names.h"

#include <cctype>
#include <cstring>
#include <filesystem>

namespace qelmbar::staging {

namespace {

namespace fs = std::filesystem;

bool EqualsAscii(const std::string &a, const char *b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; i++) {
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i]))
            return false;
    }
    return true;
}

constexpr char16_t kServicesPath[] = u"CurrentControlSet\\Services";

Key FromMachineKey(const qm::MachineKey &key)
{
    Key copy;
    copy.Name = key.name;
    for (const auto &[name, value] : key.values)
        copy.Values.push_back(Value{ name, value.type, value.data });
    for (const qm::MachineKey &subkey : key.subkeys)
        copy.Subkeys.push_back(FromMachineKey(subkey));
    return copy;
}

/* A refusal of a dirty hive says how to go on anyway. */
std::string ReadError(const qm::HiveFileRead &read)
{
    if (!read.dirty)
        return read.error;
    return read.error + "; or pass --accept-dirty to take the hive as it is on disk, without what its "
                        "logs hold";
}

bool ReadHiveSnapshot(const std::string &file, bool acceptDirty, Snapshot *snapshot, std::string *error)
{
    *snapshot = Snapshot();
    qm::HiveFileRead service = qm::ReadHiveFileKey(
        file, qm::Hive::System, std::u16string(kServicesPath) + u"\\Qelmbar", -1, acceptDirty);
    if (!service.fileRead) {
        *error = ReadError(service);
        return false;
    }
    std::u16string resolved = service.keyPath.substr(0, service.keyPath.find(u'\\'));
    snapshot->ControlSet = Utf8(resolved);
    if (service.key) {
        snapshot->ServicesExists = true;
        snapshot->Service = FromMachineKey(*service.key);
        return true;
    }
    qm::HiveFileRead services = qm::ReadHiveFileKey(file, qm::Hive::System, kServicesPath, 0, acceptDirty);
    if (!services.fileRead) {
        *error = ReadError(services);
        return false;
    }
    snapshot->ServicesExists = services.key.has_value();
    return true;
}

std::string Describe(const std::u16string &path, NTSTATUS status)
{
    return Utf8(path) + ": " + sk::StatusText(status);
}

/* The steps of a change on the hive loaded at root, in the child. */
std::string ApplyEdits(const std::u16string &root, const Change &change)
{
    const std::u16string services = root + u"\\" + kServicesPath;
    if (!sk::RegKeyExists(services))
        return "the hive has no " + Utf8(kServicesPath) + " key (is it a SYSTEM hive?)";
    for (const Edit &edit : change.Edits()) {
        const std::u16string path = services + u"\\" + edit.KeyPath;
        NTSTATUS status = STATUS_SUCCESS;
        switch (edit.What) {
        case Edit::Kind::ExpectKey:
            if (sk::RegKeyExists(path) != edit.Present)
                return ChangedMeanwhile(edit);
            break;
        case Edit::Kind::ExpectValue: {
            std::optional<sk::RegValue> value = sk::RegGetValue(path, edit.Data.Name);
            bool same = value ? edit.Present && value->type == edit.Data.Type &&
                                    value->data == edit.Data.Data
                              : !edit.Present;
            if (!same)
                return ChangedMeanwhile(edit);
            break;
        }
        case Edit::Kind::CreateKey:
            status = sk::RegCreateKey(path);
            break;
        case Edit::Kind::SetValue:
            status = sk::RegSetValue(path, edit.Data.Name, edit.Data.Type, edit.Data.Data);
            break;
        case Edit::Kind::DeleteValue:
            status = sk::RegDeleteValue(path, edit.Data.Name);
            break;
        case Edit::Kind::DeleteTree:
            status = sk::RegDeleteTree(path);
            break;
        }
        if (!NT_SUCCESS(status))
            return Describe(path, status);
    }
    return std::string();
}

class MachineTarget : public Target {
public:
    explicit MachineTarget(std::string dir) : dir_(std::move(dir)) {}
    const char *Kind() const override { return "machine"; }
    std::string Location() const override { return dir_; }
    bool Read(Snapshot *snapshot, std::string *error) override
    {
        return ReadHiveSnapshot(qm::HiveFilePath(dir_, qm::Hive::System), false, snapshot, error);
    }
    bool Apply(const Change &change, std::string *error) override
    {
        return qm::EditMachineHive(
            dir_, qm::Hive::System,
            [&](const std::u16string &root) { return ApplyEdits(root, change); }, error);
    }
    std::optional<std::string> DriverImageFile() const override
    {
        return qm::VolumeRoot(dir_) + "/Windows/System32/drivers/qelmbar.sys";
    }

private:
    std::string dir_;
};

class HiveTarget : public Target {
public:
    HiveTarget(std::string file, bool acceptDirty) : file_(std::move(file)), acceptDirty_(acceptDirty) {}
    const char *Kind() const override { return "hive"; }
    std::string Location() const override { return file_; }
    bool Read(Snapshot *snapshot, std::string *error) override
    {
        return ReadHiveSnapshot(file_, acceptDirty_, snapshot, error);
    }
    bool Apply(const Change &change, std::string *error) override
    {
        return qm::EditHiveFile(
            file_, qm::Hive::System,
            [&](const std::u16string &root) { return ApplyEdits(root, change); }, error,
            acceptDirty_);
    }
    std::optional<std::string> DriverImageFile() const override
    {
        /* WINDOWS/System32/config/SYSTEM: the image is in System32/drivers,
         * under whatever case the image's file system gives the folder. */
        std::error_code ec;
        fs::path config = fs::absolute(file_, ec).parent_path();
        if (ec || !EqualsAscii(config.filename().string(), "config") ||
            !EqualsAscii(config.parent_path().filename().string(), "System32"))
            return std::nullopt;
        fs::path drivers = config.parent_path() / "drivers";
        for (const auto &entry : fs::directory_iterator(config.parent_path(), ec)) {
            if (EqualsAscii(entry.path().filename().string(), "drivers"))
                drivers = entry.path();
        }
        return (drivers / "qelmbar.sys").string();
    }

private:
    std::string file_;
    bool acceptDirty_;
};

} // namespace

bool LiveTargetAvailable()
{
    return false;
}

std::unique_ptr<Target> OpenTarget(const TargetChoice &choice, std::string *error)
{
    int chosen = !choice.MachineDir.empty() + !choice.HiveFile.empty() + choice.Live;
    if (chosen > 1) {
        *error = "choose one target: --machine, --hive or --live";
        return nullptr;
    }
    if (choice.Live) {
        *error = "--live works only in the Windows build of qelmbar; here choose --machine DIR "
                 "or --hive FILE";
        return nullptr;
    }
    if (choice.AcceptDirty && choice.HiveFile.empty()) {
        *error = "--accept-dirty goes with --hive FILE";
        return nullptr;
    }
    if (!choice.MachineDir.empty())
        return std::make_unique<MachineTarget>(choice.MachineDir);
    if (!choice.HiveFile.empty())
        return std::make_unique<HiveTarget>(choice.HiveFile, choice.AcceptDirty);
    *error = "no target given: choose --machine DIR or --hive FILE";
    return nullptr;
}

} // namespace qelmbar::staging
