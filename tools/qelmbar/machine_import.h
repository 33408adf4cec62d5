/*
 * machine_import.h - the two halves of qelmbar machine import: the plan of
 * .reg edits sorted into a machine's hive files (reg_import.cpp) and the
 * plan and copying of host files onto its volume C: (host_copy.cpp).
 * Both are made whole before anything changes.
 */
#pragma once

#include "machine/machine.h"
#include "tools/lib/reg_text.h"

#include <string>
#include <vector>

namespace qelmbar::cli {

inline std::string Plural(size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

/* ---- .reg files (reg_import.cpp) ---------------------------------------- */

/* One edit bound for a hive, its key below the hive's root. */
struct HiveEdit {
    std::string File;
    size_t Line;
    RegEditKind Kind;
    std::u16string Key;
    std::u16string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
};

struct HivePlan {
    std::vector<HiveEdit> Edits;
    size_t KeysCreated = 0, KeysDeleted = 0, ValuesSet = 0, ValuesDeleted = 0;

    void Add(const std::string &file, const HivePlan &other)
    {
        for (const HiveEdit &edit : other.Edits) {
            Edits.push_back(edit);
            Edits.back().File = file;
        }
        KeysCreated += other.KeysCreated;
        KeysDeleted += other.KeysDeleted;
        ValuesSet += other.ValuesSet;
        ValuesDeleted += other.ValuesDeleted;
    }

    std::string Summary() const
    {
        std::string text = Plural(KeysCreated, "key", "keys") + ", " +
                           Plural(ValuesSet, "value set", "values set");
        if (ValuesDeleted)
            text += ", " + Plural(ValuesDeleted, "value deleted", "values deleted");
        if (KeysDeleted)
            text += ", " + Plural(KeysDeleted, "key tree deleted", "key trees deleted");
        return text;
    }
};

constexpr size_t kHiveCount = sizeof(qm::kAllHives) / sizeof(qm::kAllHives[0]);

/* The place of a hive in qm::kAllHives, and so in an array of kHiveCount
 * plans. */
size_t HiveIndex(qm::Hive hive);

/* Sorts a parsed file's edits into the hives; a key no hive file holds
 * is refused once, at its header. */
void PlanRegistryFile(const RegText &text, HivePlan *plans, std::vector<RegTextError> *refusals);

/* Runs in the child that has the hive loaded at root; "" or what failed. */
std::string ApplyHiveEdits(qm::Hive hive, const HivePlan &plan, const std::u16string &root);

/* ---- host files (host_copy.cpp) ------------------------------------------- */

struct CopyStep {
    bool Directory = false;
    std::string Source; /* host paths */
    std::string Target;
    bool Replaces = false;
};

struct CopyPlan {
    std::string Host;
    std::string Path; /* on C:, as given */
    std::vector<CopyStep> Steps;
    size_t Files = 0, Directories = 0;

    std::string Summary() const
    {
        return Host + " to " + Path + ": " + Plural(Files, "file", "files") + ", " +
               Plural(Directories, "directory", "directories");
    }
};

enum class Verdict { Ok, Refused, Trouble };

/* Plans the copy of plan->Host to plan->Path on the machine in dir,
 * refusing what cannot be copied or (without force) would be replaced. */
Verdict PlanCopy(const std::string &dir, bool force, CopyPlan *plan, std::string *problem);

/* Copies what a plan found, each file keeping its last-write time. */
bool RunCopy(const CopyPlan &plan, std::string *error);

/* Where the host keeps no extended attributes, the volume keeps its NT
 * records in files of their own; a record found for a copied file is
 * brought in line with the new file. */
bool RefreshStaleRecords(const std::string &dir, const std::vector<CopyPlan> &copies,
                         std::string *error);

/* HOST=PATH, cut at the first '=' that a drive or a backslash follows. */
bool SplitCopyArgument(const std::string &argument, CopyPlan *plan);

/* ---- machine diff and machine export (machine_compare.cpp) ------------------- */

int RunMachineDiff(const std::vector<std::string> &args);
int RunMachineExport(const std::vector<std::string> &args);

} // namespace qelmbar::cli
