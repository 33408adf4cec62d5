/*
 * hive_edit.cpp - hive files changed in a child: the hive is loaded into a
 * fresh simulated kernel, changed through the direct registry API and
 * flushed, so the file is replaced whole or not at all.
 */
#include "machine/internal.h"

#include "simkernel/clock.h"
#include "simkernel/files.h"
#include "simkernel/hive_load.h"
#include "simkernel/registry.h"
#include "simkernel/sim.h"

#include <cstdio>
#include <ctime>

namespace qm {

namespace {

/* The absolute path of a key of the loaded hive, in the child. */
std::u16string LivePath(Hive hive, const std::u16string &root, const std::u16string &keyPath)
{
    const std::u16string mapped = MapControlSet(hive, keyPath, CurrentControlSet());
    return mapped.empty() ? root : root + u"\\" + mapped;
}

} // namespace

/* Runs edit in a child on the hive that load mounts on a fresh kernel, and
 * flushes it; flushing names the step in an error of the flush. */
bool EditLoadedHive(Hive hive, const std::function<std::string()> &load, const std::string &flushing,
                    const std::function<std::string(const std::u16string &root)> &edit,
                    std::string *error)
{
    return WorkInChild(
        [&] {
            std::string message = load();
            if (message.empty()) {
                /* The volatile CurrentControlSet link, for edits that use
                 * it; a control set that is missing is not made up. */
                char set[48];
                snprintf(set, sizeof(set), "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet%03u",
                         (unsigned)CurrentControlSet());
                if (hive == Hive::System && sk::RegKeyExists(U16(set)))
                    sk::RegSetUpControlSets(CurrentControlSet());
                message = edit(HiveMountPath(hive));
            }
            if (message.empty()) {
                NTSTATUS status = FlushKeyAt(HiveMountPath(hive));
                if (!NT_SUCCESS(status))
                    message = flushing + ": " + Status(status);
            }
            return message;
        },
        error);
}

/* Runs edit in a child with the machine's hive loaded, and flushes it. */
bool EditInChild(const std::string &dir, Hive hive,
                 const std::function<std::string(const std::u16string &root)> &edit,
                 std::string *error)
{
    return EditLoadedHive(
        hive,
        [&] {
            std::string message = StartKernel(dir);
            if (message.empty()) {
                NTSTATUS status = LoadHive(hive);
                if (!NT_SUCCESS(status))
                    message = std::string("loading ") + HiveFileName(hive) + ": " + Status(status);
            }
            return message;
        },
        std::string("flushing ") + HiveFileName(hive), edit, error);
}

bool EditMachineHive(const std::string &dir, Hive hive,
                     const std::function<std::string(const std::u16string &root)> &edit,
                     std::string *error)
{
    return EditInChild(dir, hive, edit, error);
}

bool SetMachineValue(const std::string &dir, Hive hive, const std::u16string &keyPath,
                     const std::u16string &name, ULONG type, const std::vector<uint8_t> &data,
                     std::string *error)
{
    return EditInChild(
        dir, hive,
        [&](const std::u16string &root) {
            const std::u16string path = LivePath(hive, root, keyPath);
            NTSTATUS status = sk::RegCreateKey(path);
            if (NT_SUCCESS(status))
                status = sk::RegSetValue(path, name, type, data);
            return NT_SUCCESS(status) ? std::string() : sk::Utf8FromUtf16(path) + ": " + Status(status);
        },
        error);
}

bool DeleteMachineValue(const std::string &dir, Hive hive, const std::u16string &keyPath,
                        const std::u16string &name, std::string *error)
{
    return EditInChild(
        dir, hive,
        [&](const std::u16string &root) {
            const std::u16string path = LivePath(hive, root, keyPath);
            NTSTATUS status = sk::RegDeleteValue(path, name);
            return NT_SUCCESS(status) ? std::string()
                                      : sk::Utf8FromUtf16(path) + " \"" + sk::Utf8FromUtf16(name) + "\": " + Status(status);
        },
        error);
}

bool CreateMachineKey(const std::string &dir, Hive hive, const std::u16string &keyPath,
                      std::string *error)
{
    return EditInChild(
        dir, hive,
        [&](const std::u16string &root) {
            const std::u16string path = LivePath(hive, root, keyPath);
            NTSTATUS status = sk::RegCreateKey(path);
            return NT_SUCCESS(status) ? std::string() : sk::Utf8FromUtf16(path) + ": " + Status(status);
        },
        error);
}

bool DeleteMachineKey(const std::string &dir, Hive hive, const std::u16string &keyPath,
                      std::string *error)
{
    if (sk::SplitKeyPath(keyPath).empty()) {
        SetError(error, std::string(HiveFileName(hive)) + ": the hive's root cannot be deleted");
        return false;
    }
    return EditInChild(
        dir, hive,
        [&](const std::u16string &root) {
            const std::u16string path = LivePath(hive, root, keyPath);
            NTSTATUS status = sk::RegDeleteTree(path);
            return NT_SUCCESS(status) ? std::string() : sk::Utf8FromUtf16(path) + ": " + Status(status);
        },
        error);
}

bool StageOneShotList(const std::string &dir, const std::vector<std::u16string> &operations,
                      std::string *error)
{
    return SetMachineValue(dir, Hive::System, kParametersKey, u"BootTimeOperationsList",
                           REG_MULTI_SZ, MultiStringData(operations), error);
}

bool StagePackage(const std::string &dir, const std::u16string &name, const PackageSpec &package,
                  std::string *error)
{
    return EditInChild(
        dir, Hive::System,
        [&](const std::u16string &root) {
            const std::u16string path = root + u"\\" + kParametersKey + u"\\" + name;
            std::string message;
            auto check = [&](NTSTATUS status) {
                if (!NT_SUCCESS(status) && message.empty())
                    message = sk::Utf8FromUtf16(path) + ": " + Status(status);
            };
            check(sk::RegCreateKey(path));
            check(sk::RegSetString(path, u"", u"Package"));
            if (!package.setupOperations.empty())
                check(sk::RegSetMultiString(path, u"SetupOperations", package.setupOperations));
            if (!package.revertOperations.empty())
                check(sk::RegSetMultiString(path, u"RevertOperations", package.revertOperations));
            if (!package.cleanOperations.empty())
                check(sk::RegSetMultiString(path, u"CleanOperations", package.cleanOperations));
            if (package.bootTimeout)
                check(sk::RegSetDword(path, u"BootTimeout", package.bootTimeout));
            if (package.tickTimeout)
                check(sk::RegSetDword(path, u"TickTimeout", package.tickTimeout));
            return message;
        },
        error);
}

namespace {

/* The host's time in 100 ns units since 1601. */
LONGLONG HostFileTime()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return ((LONGLONG)now.tv_sec + 11644473600LL) * 10000000LL + now.tv_nsec / 100;
}

} // namespace

bool EditHiveFile(const std::string &file, Hive hive,
                  const std::function<std::string(const std::u16string &root)> &edit,
                  std::string *error, bool acceptDirty)
{
    /* The file is reached as NT would reach it: through a volume over its
     * directory.  Its real path, so that the save replaces the file a
     * symbolic link names rather than the link. */
    std::error_code ec;
    const fs::path host = fs::canonical(file, ec);
    if (ec || !fs::is_regular_file(host, ec)) {
        SetError(error, file + ": " + (ec ? ec.message() : std::string("not a regular file")));
        return false;
    }
    /* Logs that a reader would replay, or that were set aside with the
     * dirty primary, are emptied once the clean hive is on disk. */
    const bool settleLogs = sk::regf::HiveNeedsLogsSettled(host.string());
    const bool edited = EditLoadedHive(
        hive,
        [&] {
            sk::ResetKernel();
            sk::SetDirtyHivesAccepted(acceptDirty);
            /* A bare hive file has no machine clock: the keys changed, and
             * the file, are stamped with the host's time. */
            const LONGLONG now = HostFileTime();
            if (now > sk::PeekSystemTime())
                sk::SetSystemTime(now);
            NTSTATUS status = sk::AddVolume(kVolumeDevice, host.parent_path().string());
            if (!NT_SUCCESS(status))
                return "a volume over " + host.parent_path().string() + ": " + Status(status);
            status = LoadHiveFrom(hive, kVolumeDevice + std::u16string(u"\\") +
                                            U16(host.filename().string()));
            if (!NT_SUCCESS(status)) {
                sk::regf::HiveReadOptions options;
                options.acceptDirty = acceptDirty;
                sk::regf::HiveImageReport report;
                std::vector<uint8_t> image;
                sk::regf::ReadHiveImage(host.string(), options, &image, &report);
                return "loading " + HiveRefusal(host.string(), status, report);
            }
            return std::string();
        },
        "writing " + host.string(), edit, error);
    /* An edit that changed nothing leaves the file, dirty as it was,
     * unwritten: its logs are then still needed. */
    if (edited && settleLogs && sk::regf::HivePrimaryIsClean(host.string())) {
        NTSTATUS status = sk::regf::SettleHiveLogs(host.string());
        if (!NT_SUCCESS(status)) {
            SetError(error, host.string() + " was written clean, but its logs could not be emptied: " +
                                Status(status));
            return false;
        }
    }
    return edited;
}

} // namespace qm
