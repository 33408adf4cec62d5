/*
 * machine.h - a whole simulated machine kept in a directory: its system
 * volume, its hive files, and boots of it with the driver loaded the way
 * Windows loads a boot-start driver.
 *
 * Layout of a machine directory DIR:
 *
 *   DIR/C/                                 host root of volume C:
 *                                          (\Device\HarddiskVolume1)
 *   DIR/C/Windows/System32/config/         SYSTEM SOFTWARE SAM SECURITY DEFAULT
 *   DIR/C/Windows/System32/drivers/        qelmbar.sys (a placeholder)
 *   DIR/clock                              the real-time clock between boots
 *
 * Every boot runs in a child process of its own, so a power loss is real:
 * the child's memory, the whole simulated registry with it, is gone; files
 * stay as the child wrote them and hive files hold what was flushed.  The
 * parent never touches its own simulated kernel, so whatever the caller
 * keeps there survives every routine here.  Nothing here is thread-safe:
 * run one machine operation at a time.
 *
 * The readers take the hive files as they are on disk; the writers load a
 * hive, change it and flush it, also in a child process.
 */
#pragma once

#include "platform/platform.h"
#include "simkernel/files.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm {

/* ---- layout ---------------------------------------------------------- */

enum class Hive { System, Software, Sam, Security, Default };
constexpr Hive kAllHives[] = { Hive::System, Hive::Software, Hive::Sam, Hive::Security,
                               Hive::Default };

/* "SYSTEM", "SOFTWARE", ...: the hive file's name. */
const char *HiveFileName(Hive hive);
/* Where the system loads the hive: \REGISTRY\MACHINE\SYSTEM, ...,
 * \REGISTRY\USER\.DEFAULT. */
std::u16string HiveMountPath(Hive hive);
/* Host path of the hive file. */
std::string HiveFilePath(const std::string &dir, Hive hive);
/* Host directory behind volume C:. */
std::string VolumeRoot(const std::string &dir);
/* The host file an NT path of volume C: names: \??\C:\x, C:\x,
 * \Device\HarddiskVolume1\x and \SystemRoot\x (the Windows directory).
 * Nothing for a path elsewhere. */
std::optional<std::string> HostPathOf(const std::string &dir, const std::u16string &ntPath);

/* The driver's keys, relative to the SYSTEM hive's root. */
constexpr char16_t kServiceKey[] = u"ControlSet001\\Services\\Qelmbar";
constexpr char16_t kParametersKey[] = u"ControlSet001\\Services\\Qelmbar\\Parameters";
/* The registry path the loader hands to driver entry. */
constexpr char16_t kServiceRegistryPath[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Qelmbar";

/* ---- machines -------------------------------------------------------- */

/* Makes a new machine at dir (created when missing; an existing directory
 * must be empty): the layout above, the driver installed as a boot-start
 * service in ControlSet001 with Select\Current 1, and minimal SOFTWARE,
 * SAM, SECURITY and DEFAULT hives.  false with *error set on failure. */
bool CreateMachine(const std::string &dir, std::string *error);

/* Copies a machine to a new directory dst (which must not exist), files'
 * extended attributes included, so the copy boots as the original would. */
bool CopyMachine(const std::string &src, const std::string &dst, std::string *error);

/* Where scratch copies of the machine at dir go (copies that are thrown
 * away: --scratch, sweeps): $TMPDIR when it is set; otherwise a memory
 * file system (/dev/shm) when it takes extended attributes and the given
 * number of copies of the machine fit in a tenth of its free space;
 * otherwise the system's temporary directory. */
std::string ScratchParent(const std::string &dir, unsigned copies);
/* One scratch copy of the machine at dir, in a new directory named
 * prefix-XXXXXX under $TMPDIR when it is set, else on the memory file
 * system when the copy fits in a tenth of its free space (counted while
 * copying, so the machine is read once), else under the system's
 * temporary directory.  *root is the new directory, which the caller
 * removes; *copy the machine in it. */
bool MakeScratchCopy(const std::string &dir, const std::string &prefix, std::string *root,
                     std::string *copy, std::string *error);

/* ---- reading and changing hive files --------------------------------- */

/* Key paths are relative to the hive's root, e.g.
 * u"ControlSet001\\Services\\Qelmbar\\Parameters"; "" is the root.  Names
 * are matched ignoring case.  In SYSTEM a first component
 * CurrentControlSet stands for the control set Select\Current names, as
 * the volatile link of a running system does. */

/* Names compared as the registry compares them: ignoring case by NT's
 * case table. */
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);

/* A SYSTEM key path whose first component is CurrentControlSet (in any
 * case), with that component replaced by ControlSetNNN for current; the
 * components joined with one backslash, empty ones dropped.  A path
 * without it comes back with its empty components dropped. */
bool StartsWithCurrentControlSet(const std::u16string &keyPath);
std::u16string MapCurrentControlSet(const std::u16string &keyPath, ULONG current);

struct MachineValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

/* Nothing when the hive file cannot be read, the key or the value is
 * missing; *error, when given, says which. */
std::optional<MachineValue> ReadMachineValue(const std::string &dir, Hive hive,
                                             const std::u16string &keyPath,
                                             const std::u16string &valueName,
                                             std::string *error = nullptr);
/* Subkey names (as stored, in the registry's order); nothing when the key
 * is missing. */
std::optional<std::vector<std::u16string>> ReadMachineKeys(const std::string &dir, Hive hive,
                                                           const std::u16string &keyPath,
                                                           std::string *error = nullptr);
std::optional<std::vector<std::u16string>> ReadMachineValueNames(const std::string &dir, Hive hive,
                                                                 const std::u16string &keyPath,
                                                                 std::string *error = nullptr);
bool MachineKeyExists(const std::string &dir, Hive hive, const std::u16string &keyPath);

/* Writers: each loads the hive file into a fresh simulated kernel in a
 * child process, makes the change and flushes the hive.  SetMachineValue
 * creates the key path as needed.  DeleteMachineKey deletes the key with
 * everything beneath it; a key that is missing is a failure, as is the
 * hive's root. */
bool SetMachineValue(const std::string &dir, Hive hive, const std::u16string &keyPath,
                     const std::u16string &name, ULONG type, const std::vector<uint8_t> &data,
                     std::string *error = nullptr);
bool DeleteMachineValue(const std::string &dir, Hive hive, const std::u16string &keyPath,
                        const std::u16string &name, std::string *error = nullptr);
bool CreateMachineKey(const std::string &dir, Hive hive, const std::u16string &keyPath,
                      std::string *error = nullptr);
bool DeleteMachineKey(const std::string &dir, Hive hive, const std::u16string &keyPath,
                      std::string *error = nullptr);
/* Any change at once: edit runs in the child with the hive loaded at
 * HiveMountPath(hive) and may use the direct registry API (sk::Reg...) on
 * that path; a non-empty answer is a failure message and nothing is
 * flushed. */
bool EditMachineHive(const std::string &dir, Hive hive,
                     const std::function<std::string(const std::u16string &root)> &edit,
                     std::string *error = nullptr);

/* Value data as the registry stores it. */
std::vector<uint8_t> DwordData(ULONG value);
std::vector<uint8_t> StringData(const std::u16string &text); /* with its NUL */
std::vector<uint8_t> MultiStringData(const std::vector<std::u16string> &strings);
/* The data read back; nothing for another type or size. */
std::optional<ULONG> AsDword(const std::optional<MachineValue> &value);
/* REG_SZ or REG_EXPAND_SZ up to the first NUL. */
std::optional<std::u16string> AsString(const std::optional<MachineValue> &value);
std::optional<std::vector<std::u16string>> AsMultiString(const std::optional<MachineValue> &value);

/* Staging for the driver, in SYSTEM's Parameters key: the one-shot list
 * (BootTimeOperationsList), and a package (a subkey whose default value is
 * "Package"; empty scripts and zero timeouts are left out). */
bool StageOneShotList(const std::string &dir, const std::vector<std::u16string> &operations,
                      std::string *error = nullptr);
struct PackageSpec {
    std::vector<std::u16string> setupOperations;
    std::vector<std::u16string> revertOperations;
    std::vector<std::u16string> cleanOperations;
    ULONG bootTimeout = 0;
    ULONG tickTimeout = 0;
};
bool StagePackage(const std::string &dir, const std::u16string &name, const PackageSpec &package,
                  std::string *error = nullptr);

/* Hive files anywhere, such as the SYSTEM hive of an offline Windows
 * image, named by their host path; CurrentControlSet is resolved as
 * above.  A key is read whole in one pass over the file: its values (in
 * the registry's order) and up to depth levels of subkeys (-1: all). */
struct MachineKey {
    std::u16string name;
    std::vector<std::pair<std::u16string, MachineValue>> values;
    std::vector<MachineKey> subkeys;
};
struct HiveFileRead {
    bool fileRead = false;        /* the file was read as a hive; error says why not */
    bool dirty = false;           /* refused as dirty without logs that apply */
    std::u16string keyPath;       /* the path asked for, CurrentControlSet resolved */
    std::optional<MachineKey> key; /* nothing when the key is missing */
    std::string error;
};
/* A hive file left dirty is read as its transaction logs beside it bring
 * it up to date; one without logs that apply is refused with an error that
 * says so and what to do, unless acceptDirty takes it as it is on disk.  A
 * differencing hive (version 1.6) is refused. */
HiveFileRead ReadHiveFileKey(const std::string &file, Hive hive, const std::u16string &keyPath,
                             int depth = -1, bool acceptDirty = false);
/* EditMachineHive on a hive file: the file is loaded into a fresh
 * simulated kernel in a child process (at HiveMountPath(hive), with the
 * CurrentControlSet link when it is SYSTEM) and, when edit answers "",
 * flushed back, which replaces the file whole; otherwise the file stays
 * exactly as it was.  A dirty hive is loaded as ReadHiveFileKey reads it;
 * once it has been written back clean, its logs are emptied so that
 * Windows never replays them over it. */
bool EditHiveFile(const std::string &file, Hive hive,
                  const std::function<std::string(const std::u16string &root)> &edit,
                  std::string *error = nullptr, bool acceptDirty = false);

/* ---- boots ----------------------------------------------------------- */

/* The points of a boot, in order. */
enum class BootStage {
    Start,             /* fresh kernel, volume C:, version and exports set */
    EarlyBoot,         /* SYSTEM loaded, control sets, \SystemRoot on the ARC path */
    DriverLoaded,      /* driver entry returned */
    HivesLoaded,       /* SOFTWARE, SAM, SECURITY, DEFAULT loaded; \SystemRoot on the volume */
    SubsystemStarted,  /* smss.exe and csrss.exe created, work items done */
    UptimeElapsed,     /* the system ran for uptimeSeconds */
    ShutdownDelivered, /* IRP_MJ_SHUTDOWN sent */
    HivesFlushed,      /* every loaded hive flushed: an orderly end */
};
const char *BootStageName(BootStage stage);

struct PowerLoss {
    enum class Kind { None, AtCall, AfterUptime };
    Kind kind = Kind::None;
    uint64_t call = 0;
    /* What the volume's metadata journal keeps of the changes made since
     * its last flush (file data not flushed is lost either way). */
    sk::SurvivingJournal surviving = sk::SurvivingJournal::All();

    static PowerLoss None() { return PowerLoss(); }
    /* At the nth platform call counted from the start of the driver load
     * (1 is the first): that call never happens. */
    static PowerLoss AtCall(uint64_t nth,
                            sk::SurvivingJournal surviving = sk::SurvivingJournal::All())
    {
        return PowerLoss{ Kind::AtCall, nth, surviving };
    }
    /* Once the system has run, instead of the shutdown. */
    static PowerLoss AfterUptime(sk::SurvivingJournal surviving = sk::SurvivingJournal::All())
    {
        return PowerLoss{ Kind::AfterUptime, 0, surviving };
    }
};

struct BootOptions {
    /* What PsGetVersion and RtlGetVersion report. */
    ULONG windowsMajor = 10;
    ULONG windowsMinor = 0;
    ULONG windowsBuild = 19045;
    USHORT servicePack = 0;
    /* Whether MmGetSystemRoutineAddress finds ZwRenameKey, and further
     * routines to export (names simkernel implements). */
    bool renameKeyExported = true;
    std::vector<std::string> exportedRoutines;
    /* \SystemRoot early in boot: through \Device\BootDevice or directly on
     * the ARC path, and whether the ARC path opens at all. */
    bool systemRootThroughBootDevice = false;
    bool arcPathOpens = true;
    /* SOFTWARE already loaded when the driver loads (it is not, normally). */
    bool softwareLoadedAtDriverLoad = false;
    /* Uptime when the driver loads, and how long the system runs after the
     * Win32 subsystem has started. */
    uint64_t driverLoadSeconds = 0;
    uint64_t uptimeSeconds = 600;
    /* Time the machine was off since the last boot ended. */
    uint64_t offSeconds = 60;
    /* NT's lazy writer flushes a dirty hive a few seconds after it changes;
     * with this set every loaded hive is flushed once the system has run
     * (before an AfterUptime power loss).  Off, only the driver's own
     * flushes and the shutdown's reach the disk. */
    bool lazyFlush = false;
    PowerLoss powerLoss;
    /* Whether the simulated kernel's flushes also fsync the host's files
     * (sk::SetHostSync); runs on copies thrown away may skip it. */
    bool hostSync = true;
    /* Record the name of every platform call from the driver load on. */
    bool recordCalls = false;
    /* Record every list the driver runs and each operation's outcome. */
    bool traceOperations = false;
    /* Runs in the child at every stage reached; a non-empty answer goes to
     * the report.  May use the direct simkernel API and the readers. */
    std::function<std::string(BootStage)> inspect;
    /* A boot that has not ended after this many seconds of real time is
     * stopped and reported failed, with what it did up to then (the trace,
     * the calls, the last stage); the machine's files stay as the boot
     * left them.  0: no limit. */
    unsigned watchdogSeconds = 120;
};

/* The scripts the driver runs in a boot. */
enum class ScriptKind { OneShot, Setup, Revert, Clean };
const char *ScriptKindName(ScriptKind kind); /* "one-shot list", "setup", ... */

/* What the executor did, from its trace points. */
struct TraceEvent {
    enum class Kind {
        ListRun, /* the driver started to run a script (or the deferred run) */
        Outcome, /* one operation ran, or was left for the deferred run */
    };
    Kind kind = Kind::ListRun;
    /* The script the list or the operation comes from, as the driver's
     * trace point names it; for the start of the deferred run, which
     * gathers several, OneShot and no package. */
    ScriptKind script = ScriptKind::OneShot;
    std::u16string package; /* the package's key name; "" for the one-shot list */
    size_t index = 0;       /* the operation's place in its script, from 0 */
    /* ListRun of a script: its operations as the driver parsed them
     * (OperationText), in order. */
    std::vector<std::string> operations;
    bool deferredRun = false;
    NTSTATUS status = STATUS_SUCCESS;
    bool deferred = false; /* left for the deferred run, which will run it */
    BootStage stage = BootStage::Start; /* the last stage reached */
};

struct BootReport {
    /* The child sent its report (also after a power loss); false when it
     * could not set the machine up or died, with failure saying why. */
    bool completed = false;
    std::string failure;
    /* The watchdog stopped the boot; the rest of the report is what it had
     * done by then. */
    bool watchdogFired = false;
    BootStage lastStage = BootStage::Start;
    /* Calls counted (from the driver load on) when each stage was reached. */
    std::vector<std::pair<BootStage, uint64_t>> stageCalls;

    bool entryReturned = false;
    NTSTATUS entryStatus = STATUS_SUCCESS;

    bool powerLost = false;
    uint64_t powerLossCall = 0;   /* 0 for a loss after uptime */
    std::string powerLossRoutine; /* the call that never happened */
    BootStage powerLossStage = BootStage::Start; /* the last stage reached before it */

    /* Platform calls made from the driver load on (before a power loss:
     * those before the call that never happened). */
    uint64_t platformCalls = 0;
    std::vector<std::string> callTrace; /* with recordCalls */
    std::vector<TraceEvent> trace;      /* with traceOperations, in order */

    /* The driver's state at the end (or at the power loss). */
    bool contextAvailable = false;
    ULONG bootCounter = 0;
    ULONG tickCounter = 0;
    bool improperShutdownDetected = false;
    ULONG driverStateFlags = 0;
    ULONG driverStateFlagsAfterEntry = 0;
    size_t deferredAfterEntry = 0; /* operations waiting for the deferred run */
    bool deferredRunStarted = false;
    size_t shutdownRequests = 0;   /* IRP_MJ_SHUTDOWN requests sent */
    size_t openHandles = 0;        /* kernel handles open at the end */

    /* Steps of the system itself that failed, e.g. a hive that would not
     * load; and the simulated kernel's violations. */
    std::vector<std::string> systemErrors;
    std::vector<std::string> violations;
    std::vector<std::pair<BootStage, std::string>> inspections;

    /* Calls counted when the stage was reached; nothing if it was not. */
    std::optional<uint64_t> CallsAt(BootStage stage) const;
    /* A few lines for a test's failure message or a tool. */
    std::string Summary() const;
};

/* One boot of the machine.  In the child, in the order of a Windows boot:
 * a fresh kernel with volume C: over DIR/C; SYSTEM loaded, its control
 * sets and \SystemRoot on the ARC path; the driver loaded as a boot-start
 * driver; SOFTWARE, SAM, SECURITY and DEFAULT loaded and \SystemRoot moved
 * to the volume; smss.exe and csrss.exe created; the uptime; then the
 * shutdown request and a flush of every hive, unless the power is lost
 * first.  Answers report->completed. */
bool Boot(const std::string &dir, const BootOptions &options, BootReport *report);

} // namespace qm
