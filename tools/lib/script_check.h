/*
 * script_check.h - the driver parser's verdict on a script, and the
 * explanation of a refusal.
 *
 * The verdict is always ParseOperationList's own.  The explanation walks
 * the same data with the driver's NextToken and OperationGrammars, the way
 * the parser does, and says what was expected where the walk stops.
 */
#pragma once

#include "script/script.h"

#include <string>
#include <vector>

namespace qelmbar {

struct Diagnosis {
    bool Found = false;
    size_t Index = 0; /* into the value, where the fault lies */
    std::string Message;
};

/* The first fault of a value, as the parser meets it.  Not found for a
 * value the parser accepts, nor when the walk itself ran out of pool (then
 * Message says so). */
Diagnosis DiagnoseScript(const std::u16string &value);

/* A registry write that may be deferred (its key lies in a hive the
 * system loads after the driver's boot pass, so the driver may have to run
 * it once the Win32 subsystem starts, after everything else), followed by
 * an operation on the same key or one enclosing it that does not wait
 * itself (it only reads there, or changes only SYSTEM), which then runs
 * first.  Operations are counted from 0 in script order. */
struct DeferralWarning {
    size_t Write = 0;
    size_t Later = 0;
    std::string Key;      /* the key the write changes */
    std::string LaterKey; /* the key of the later operation */
};

/* A path that the driver will not find as written, and a read of a key or
 * value that an earlier operation of the script creates only in the
 * deferred run, so that the read, not waiting itself, comes first. */
enum class WarningKind {
    Win32Path,        /* C:\... for a file: Suggestion is the NT path */
    RelativePath,     /* a file path that does not start at a root */
    RelativeKey,      /* a key path that does not start at a root */
    Win32Key,         /* HKLM\..., HKEY_...: Suggestion is the registry path */
    UserHive,         /* HKCU, or \REGISTRY\USER\ other than .DEFAULT */
    NotRegistryPath,  /* a key path that starts with \ but not \REGISTRY\ */
    ReadBeforeCreate, /* Operation reads Path, which Other creates only later */
};

struct ScriptWarning {
    WarningKind Kind;
    size_t Operation = 0; /* from 0, in script order */
    size_t Other = 0;     /* ReadBeforeCreate: the operation that creates it */
    std::string Path;     /* the path (or KEY:VALUE) as written */
    std::string Suggestion;
};

/* What an operation reads and needs to find: the source of a copy, move
 * or rename, the source value of a SetKeyValue that has one, the value a
 * RenameValue renames.  Deletes are left out: a missing target is their
 * success. */
struct OperationSource {
    enum class Kind { File, Directory, Key, Value };
    Kind What = Kind::File;
    std::u16string Path;      /* the file, directory or key as the script names it */
    std::u16string ValueName; /* Value only */
    bool Empty = false;       /* made by CreateDir or CreateKey: nothing beneath it */
};
const char *SourceKindName(OperationSource::Kind kind); /* "file", "directory", ... */
/* Whether what made holds source once it is made: the same file,
 * directory, key or value, or a file, directory, key or value beneath a
 * directory or key made whole. */
bool MakesSource(const OperationSource &made, const OperationSource &source);

struct CheckResult {
    NTSTATUS Status = STATUS_SUCCESS;
    /* On success, every operation in its normalised form. */
    std::vector<std::string> Operations;
    /* On success, each operation's sources, and what it makes: the target
     * of a copy, move or rename (a rename's new name put beside its
     * source), the directory or key a CreateDir or CreateKey makes, the
     * value a SetKeyValue or RenameValue writes; in the same order. */
    std::vector<std::vector<OperationSource>> Sources;
    std::vector<std::vector<OperationSource>> Targets;
    /* On success, the places where deferral would reorder the script. */
    std::vector<DeferralWarning> Reorders;
    /* On success, paths that will not be found and reads that come before
     * what they read is created. */
    std::vector<ScriptWarning> Warnings;
    /* When refused for anything but memory. */
    Diagnosis Fault;
};

/* Parses a value (each string NUL-ended, one more NUL at the end) with the
 * driver's parser, as it would be read from the registry. */
CheckResult CheckScript(const std::u16string &value);

/* The keyword nearest to a misspelt word, or nullptr when none is near. */
const char *NearestKeyword(const std::string &word);

} // namespace qelmbar
