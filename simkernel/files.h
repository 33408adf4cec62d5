/*
 * files.h - the simulated volumes, for tests, tools and benchmarks.
 *
 * A volume is a device \Device\HarddiskVolumeN whose files live in a
 * directory of the host, so the driver works on real trees.  The Zw file
 * routines give the tree NT's semantics: names compared ignoring case and
 * stored with the case they were created with, share access, delete
 * pending, the DOS attributes and the four NT times.  Those are kept beside
 * each host file in the extended attribute kHostInfoXattr (or, where the
 * host refuses it, in a record under "<host root>.qelmbar-info/"), so they
 * persist across handles and across runs; a file that has none shows what
 * its host stat says.  A host symbolic link shows as a reparse point.
 *
 * Everything here takes the kernel lock, bypasses handles, access checks
 * and fault injection, and leaves the host tree alone unless it says so.
 */
#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>

namespace sk {

constexpr const char *kHostInfoXattr = "user.qelmbar.basic";

/*
 * Creates the volume device deviceName (e.g. u"\\Device\\HarddiskVolume1")
 * over the host directory hostRoot, which must exist.  The host tree is
 * used as it is.  STATUS_OBJECT_NAME_COLLISION when the device name is
 * taken, STATUS_OBJECT_PATH_NOT_FOUND when hostRoot is no directory.
 */
NTSTATUS AddVolume(const std::u16string &deviceName, const std::string &hostRoot);
/* The same, and the drive letter's link \GLOBAL??\X: to the device. */
NTSTATUS AddVolume(const std::u16string &deviceName, const std::string &hostRoot,
                   WCHAR driveLetter);
/* Removes every volume and the drive letters AddVolume made; the host
 * files stay.  Handles still open to files of a volume are a violation.
 * ResetKernel forgets the volumes as well. */
void RemoveVolumes();

/* The host directory behind a volume device, or nullopt. */
std::optional<std::string> VolumeHostRoot(const std::u16string &deviceName);

/* What FileBasicInformation reports for a host file, the state of open
 * handles included; nullopt when the path names nothing. */
struct FileTimesAndAttributes {
    LONGLONG creationTime = 0;
    LONGLONG lastAccessTime = 0;
    LONGLONG lastWriteTime = 0;
    LONGLONG changeTime = 0;
    ULONG attributes = 0;
};
std::optional<FileTimesAndAttributes> HostFileInfo(const std::string &hostPath);
/* Stores what the simulation will report for a host file that is not
 * open.  The directory and reparse-point attributes follow the host and
 * are ignored here.  STATUS_OBJECT_NAME_NOT_FOUND when there is no file;
 * a violation when the file is open. */
NTSTATUS SetHostFileInfo(const std::string &hostPath, const FileTimesAndAttributes &info);
/* Whether the simulation keeps a record for the host file, rather than
 * deriving what it reports from the host's stat. */
bool HostFileHasRecord(const std::string &hostPath);

/*
 * Power cuts.  With durability tracked, the volumes remember what NTFS may
 * lose: data written to a file since its last ZwFlushBuffersFile reads as
 * zeros after a cut, up to the size that survived; metadata changes
 * (create, size, rename, delete, attributes, times) are journaled in order
 * and sure only once a file of the volume, or the volume, is flushed.  Of
 * the changes since, a cut keeps the prefix SurvivingJournal says.  The
 * undo data lives under "<host root>.qelmbar-journal/" until the changes
 * are sure.  Hive files are written through their own synced path and
 * hold what was flushed, whatever is tracked here.
 */
struct SurvivingJournal {
    enum class Kind { None, All, Count };
    Kind kind = Kind::All;
    size_t count = 0;
    static SurvivingJournal None() { return SurvivingJournal{Kind::None, 0}; }
    static SurvivingJournal All() { return SurvivingJournal{Kind::All, 0}; }
    static SurvivingJournal Count(size_t n) { return SurvivingJournal{Kind::Count, n}; }
};
/* Starts (or stops) tracking; either way what was tracked so far counts
 * as flushed. */
void TrackDurability(bool on);
bool TracksDurability();
/* Turns every volume's host tree into what survives a power loss now, and
 * stops tracking.  A violation when nothing is tracked. */
void CutPower(const SurvivingJournal &surviving);
/* Everything written so far is sure, as after an orderly shutdown. */
void FlushVolumes();
/* Metadata changes of a volume not yet sure. */
size_t UnsureChanges(const std::u16string &deviceName);

/* Whether flushes reach the host's disk (fsync); on by default.  The
 * simulated durability above does not depend on it: sweeps that throw
 * their copies away turn it off to run faster. */
void SetHostSync(bool on);
bool HostSync();

/* Number of file objects open on all volumes. */
size_t OpenFileObjectCount();

} // namespace sk
