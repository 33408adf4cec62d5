/*
 * internal.h - what the files of machine/ share among themselves and offer
 * nobody else: the volume and clock of a machine directory, text helpers,
 * work in a child process, the simulated kernel of a child, the readers'
 * and editors' common steps, and the boot report's encoding.
 */
#pragma once

#include "machine/machine.h"
#include "simkernel/regf/hive_logs.h"
#include "simkernel/registry_tree.h"
#include "simkernel/text.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

namespace fs = std::filesystem;

/* ---- layout (layout.cpp) ----------------------------------------------- */

constexpr char16_t kVolumeDevice[] = u"\\Device\\HarddiskVolume1";
constexpr char16_t kConfigDirectory[] = u"\\Device\\HarddiskVolume1\\Windows\\System32\\config\\";
constexpr char kClockFile[] = "clock";
constexpr LONGLONG kUnitsPerSecond = 10000000LL;

/* The real-time clock kept in DIR/clock between boots. */
std::optional<LONGLONG> ReadClock(const std::string &dir);
void WriteClock(const std::string &dir, LONGLONG time);

/* ---- text (text.cpp) ----------------------------------------------------- */

/* Names and paths the machine layer makes itself (hive names, host
 * paths); "" for bytes that are no UTF-8. */
inline std::u16string U16(const std::string &text)
{
    return sk::Utf16FromUtf8(text).value_or(std::u16string());
}
std::string Status(NTSTATUS status);
/* What a user is told when the hive file could not be read: for a dirty or
 * differencing hive, why and what to do; otherwise the status. */
std::string HiveRefusal(const std::string &file, NTSTATUS status, const sk::regf::HiveImageReport &report);
void SetError(std::string *error, const std::string &text);
/* MapCurrentControlSet in SYSTEM; elsewhere the path with its empty
 * components dropped. */
std::u16string MapControlSet(Hive hive, const std::u16string &keyPath, ULONG current);
bool NeedsControlSet(Hive hive, const std::u16string &keyPath);

/* ---- child processes (child_process.cpp) ---------------------------------- */

bool WriteAll(int fd, const std::string &data);
/* Runs body in a child process and collects what it writes to the pipe.
 * false, with *failure set, when the child did not end normally. */
bool RunChild(const std::function<void(int fd)> &body, unsigned watchdogSeconds,
              std::string *output, std::string *failure);
/* Runs work in a child that collects simkernel's violations; false, with
 * *error set to what work returned or else the first violation, unless
 * work returned "" and nothing was violated. */
bool WorkInChild(const std::function<std::string()> &work, std::string *error);

/* ---- the simulated kernel of a child (child_kernel.cpp) ------------------- */

UNICODE_STRING Counted(const std::u16string &text);
/* ZwLoadKey of the hive at its mount path from file, an NT path; LoadHive
 * from its file on volume C:. */
NTSTATUS LoadHiveFrom(Hive hive, const std::u16string &file);
NTSTATUS LoadHive(Hive hive);
/* ZwFlushKey on the key at path, as the system does at shutdown. */
NTSTATUS FlushKeyAt(const std::u16string &path);
/* The control set SYSTEM\Select\Current names in the loaded SYSTEM hive. */
ULONG CurrentControlSet();
/* A fresh kernel with volume C: over the machine's directory; "" or why
 * not. */
std::string StartKernel(const std::string &dir);

/* ---- hive files (hive_read.cpp, hive_edit.cpp) ---------------------------- */

std::shared_ptr<sk::reg::Key> ReadHive(const std::string &dir, Hive hive, std::string *error);
ULONG OfflineCurrentControlSet(const sk::reg::Key &root);
const sk::reg::Key *FindOffline(const sk::reg::Key &root, Hive hive, const std::u16string &keyPath,
                                std::string *error);
/* Runs edit in a child on the hive that load mounts on a fresh kernel, and
 * flushes it; flushing names the step in an error of the flush. */
bool EditLoadedHive(Hive hive, const std::function<std::string()> &load, const std::string &flushing,
                    const std::function<std::string(const std::u16string &root)> &edit,
                    std::string *error);
/* Runs edit in a child with the machine's hive loaded, and flushes it. */
bool EditInChild(const std::string &dir, Hive hive,
                 const std::function<std::string(const std::u16string &root)> &edit,
                 std::string *error);

/* ---- the boot report (boot_report.cpp) ------------------------------------ */

/* The report as the child sends it, and read back: false when the bytes
 * are no whole report. */
std::string EncodeReport(const BootReport &report);
bool DecodeReport(const std::string &bytes, BootReport *report);

} // namespace qm
