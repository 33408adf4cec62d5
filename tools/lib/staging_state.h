/*
 * staging_state.h - the driver's keys read back as the driver reads them:
 * its service, its counters and marker, the one-shot list and the
 * packages, with every script counted by the driver's own parser.
 */
#pragma once

#include "tools/lib/staging.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qelmbar {
class JsonWriter;
}

namespace qelmbar::staging {

/* Paths below Services, and names. */
constexpr char16_t kServiceKey[] = u"Qelmbar";
constexpr char16_t kParametersKey[] = u"Qelmbar\\Parameters";
constexpr char16_t kOneShotListName[] = u"BootTimeOperationsList";
constexpr char16_t kPackageMarker[] = u"Package";

/* The service as install writes it: a kernel driver (Type 1) started by
 * the boot loader (Start 0), whose failure to load is reported and the boot
 * goes on (ErrorControl 1), loaded with the boot bus extenders. */
constexpr uint32_t kServiceType = 1;
constexpr uint32_t kServiceStart = 0;
constexpr uint32_t kServiceErrorControl = 1;
constexpr char16_t kServiceImagePath[] = u"\\SystemRoot\\System32\\drivers\\qelmbar.sys";
constexpr char16_t kServiceGroup[] = u"Boot Bus Extender";

/* A REG_DWORD the driver reads: Value is set only when it is one. */
struct DwordField {
    bool Present = false;
    uint32_t Type = kTypeNone;
    std::optional<uint32_t> Value;
};

/* A script value as the driver would take it. */
struct ScriptField {
    bool Present = false;
    uint32_t Type = kTypeNone;
    size_t Bytes = 0;
    /* REG_MULTI_SZ that the parser accepts (an empty one included), and
     * how many operations it holds. */
    bool Parses = false;
    size_t Operations = 0;
    int32_t Status = 0; /* the parser's verdict when it refuses the script */
};

/* The record the driver keeps of a script's last run
 * (LastBootTimeOperationsResults, LastRunResults): one outcome per
 * operation in script order. */
struct RunResultField {
    int32_t Status = 0;
    uint32_t Flags = 0; /* RUN_RESULT_DEFERRED, _DEFERRED_RAN, _SKIPPED */
};
struct RunResultsField {
    bool Present = false;
    uint32_t Type = kTypeNone;
    /* A REG_BINARY of a version this tool reads, whole; otherwise Problem
     * says what is wrong with it. */
    bool Valid = false;
    std::string Problem;
    uint32_t Version = 0;
    uint32_t Script = 0; /* 0 one-shot list, 1 setup, 2 revert, 3 clean */
    uint32_t BootCounter = 0;
    uint32_t Flags = 0; /* RUN_RESULTS_TRUNCATED, _REJECTED, _INCOMPLETE */
    std::vector<RunResultField> Operations;
};
/* Reads a stored record; a missing value gives Present false. */
RunResultsField InterpretRunResults(const Value *value);
/* "one-shot list", "setup", "revert", "clean". */
const char *RunResultsScriptName(uint32_t script);
/* What one outcome says, with the status by name: "STATUS_SUCCESS",
 * "deferred, then STATUS_ACCESS_DENIED (0xC0000022)", "skipped". */
std::string RunResultText(const RunResultField &result);
/* The header's flags in words: "", "truncated", ...; several joined by
 * ", ". */
std::string RunResultsFlagsText(uint32_t flags);
/* Operations that failed (the deferred run's answer for a deferred one). */
size_t RunResultsFailures(const RunResultsField &results);

/* The record as text: a summary ("setup at boot 3: 2 operations, 1
 * failure"), then one line per operation ("1. STATUS_SUCCESS (0x00000000)"),
 * or the reason it cannot be read. */
std::vector<std::string> RunResultsLines(const RunResultsField &results);
/* The record as a JSON value (null when it is missing). */
void WriteRunResultsJson(JsonWriter *json, const RunResultsField &results);

constexpr char16_t kOneShotResultsName[] = u"LastBootTimeOperationsResults";
constexpr char16_t kPackageResultsName[] = u"LastRunResults";

struct PackageField {
    std::u16string Name;
    /* The default value: the state, when it is a string. */
    bool StatePresent = false;
    uint32_t StateType = kTypeNone;
    std::optional<std::u16string> State;
    /* The driver takes the key for a package: REG_SZ "Package", in any case. */
    bool IsPackage = false;
    /* A package whose setup has run (StartBootCounter not 0): it waits to
     * be committed or reverted. */
    bool SetUp = false;
    DwordField StartBootCounter, StartTickCounter, BootTimeout, TickTimeout, LastPackageError;
    ScriptField Setup, Revert, Clean;
    /* What the package's last script run did, as the driver recorded it. */
    RunResultsField LastRunResults;
    /* For a package: why the next boot would make it "Corrupted" instead
     * of running it ("" when it would not), and the status it would record. */
    std::string Problem;
    int32_t ProblemStatus = 0;
};

struct DriverState {
    std::string ControlSet;
    bool ServicesExists = false;
    bool Installed = false; /* the service key exists */
    DwordField Type, Start, ErrorControl;
    std::optional<std::u16string> ImagePath, Group;
    bool ParametersExist = false;
    DwordField BootCounter, TickCounter;
    bool ImproperShutdown = false; /* the marker is present */
    std::optional<std::u16string> SystemRoot;
    ScriptField OneShotList;
    /* What the one-shot list did when it last ran. */
    RunResultsField OneShotResults;
    /* Every subkey of Parameters, in the registry's order. */
    std::vector<PackageField> Packages;

    /* Keys the driver takes for packages. */
    size_t StagedPackages() const;
    /* A kernel driver the boot loader starts, from the driver's image. */
    bool InstalledAsBootDriver() const;
};

/* Whether an ImagePath names System32\drivers\qelmbar.sys of the Windows
 * directory, as \SystemRoot\System32\... or System32\... does. */
bool NamesDriverImage(const std::u16string &imagePath);

/* The driver's Parameters key in what was read; nullptr when it or the
 * service key is missing. */
const Key *FindParameters(const Snapshot &snapshot);

/* Runs the driver's parser over every script; the caller checks the pool
 * afterwards. */
DriverState InterpretSnapshot(const Snapshot &snapshot);

/* The verdict of the driver's parser on stored REG_MULTI_SZ data. */
ScriptField InterpretScript(const Value *value);

/* When a set-up package commits, given its timeouts: "at the first boot
 * after the setup", "once 2 boots and 600 s of uptime have followed the
 * setup". */
std::string CommitCondition(uint32_t bootTimeout, uint32_t tickTimeout);

/* Why NAME cannot name a package key, or "" when it can. */
std::string PackageNameProblem(const std::u16string &name);

/* The package's key, below Services. */
std::u16string PackageKeyPath(const std::u16string &name);

} // namespace qelmbar::staging
