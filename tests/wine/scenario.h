/*
 * scenario.h - the scenarios of tests/wine/scenarios.txt as the simulated
 * side reads them, and the canonical lines both sides write after each
 * boot.  run_scenarios.py reads the same file and writes the same lines
 * for Wine; the header comment of scenarios.txt is the definition of
 * both, and a change here needs the same change there.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qwine {

struct Step {
    enum class Kind {
        File,        /* path, text */
        Dir,         /* path */
        Key,         /* key */
        Value,       /* key, name, type, text (decimal or the string) */
        OneShot,     /* text */
        OneShotFile, /* path, below the source directory */
        Package,     /* name, bootTimeout, tickTimeout */
        Setup,       /* text */
        Revert,
        Clean,
        Boot,        /* load, end, probe */
        Expect,      /* text */
        ExpectNo,    /* text */
    };
    Kind kind = Kind::File;
    int line = 0;
    std::string path;
    std::string key;
    std::string name;
    std::string type;
    std::string text;
    uint32_t bootTimeout = 0;
    uint32_t tickTimeout = 0;
    std::string load; /* later, arc, arc-bootdevice */
    std::string end;  /* orderly, improper */
    bool probe = false;
};

struct Scenario {
    std::string name;
    std::vector<std::string> watchKeys;  /* PARAMS first, always */
    std::vector<std::string> watchFiles;
    std::vector<Step> steps;
};

/* Every scenario of the file; false with *error naming the line. */
bool ReadScenarios(const std::string &file, std::vector<Scenario> *scenarios, std::string *error);

/* What is known of one boot when its lines are made canonical. */
struct BootFacts {
    bool early = false;   /* a boot pass ran (arc, arc-bootdevice) */
    bool orderly = false;
    uint32_t tickBefore = 0; /* TickCounter before the boot (0 when absent) */
    /* The seconds the stop may have added: the boot's uptime after an
     * early boot, the system's uptime after a later load. */
    uint64_t addedLow = 0;
    uint64_t addedHigh = 0;
    std::optional<uint32_t> bootCounter; /* BootCounter after the boot */
};

/* One registry value as read from a hive after a boot. */
struct RawValue {
    std::string key;  /* the display path, e.g. PARAMS\Commit */
    std::string name; /* "" for the default value */
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

/* The line of a value; facts are those of every boot so far, the last one
 * being the boot the value is read after.  siblings are the other values
 * of the same key (StartTickCounter is read with its StartBootCounter). */
std::string ValueLine(const RawValue &value, const std::vector<RawValue> &siblings,
                      const std::vector<BootFacts> &facts);
/* "file PATH size=N content:"..."" or with fnv1a64=... */
std::string FileLine(const std::string &path, const std::string &content);

/* Whether a line is what an expect step names, or what an expect-no step
 * excludes: the prefix itself, or the prefix followed by a blank or a
 * backslash (so PARAMS\App excludes PARAMS\App\X, not PARAMS\AppX). */
bool Matches(const std::string &line, const Step &expectation);

/* UTF-16 to the printable form of the lines: ASCII as it is, anything
 * else as \uXXXX. */
std::string Printable(const std::u16string &text);

} // namespace qwine
