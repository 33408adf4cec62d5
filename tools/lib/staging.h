/*
 * staging.h - the driver's keys on a target system: reading them whole,
 * and changing them by one list of edits that is applied all or nothing.
 *
 * A target is the SYSTEM hive of a simulated machine (a machine
 * directory), a SYSTEM hive file such as that of an offline Windows image,
 * or, in the Windows build, the registry of the running system.  Key paths
 * are relative to CurrentControlSet\Services, which offline stands for the
 * control set that Select\Current names.
 *
 * This header uses standard types only, so that the live target's source
 * can include it beside windows.h.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qelmbar::staging {

/* Value types, as the registry numbers them. */
constexpr uint32_t kTypeNone = 0;
constexpr uint32_t kTypeSz = 1;
constexpr uint32_t kTypeExpandSz = 2;
constexpr uint32_t kTypeBinary = 3;
constexpr uint32_t kTypeDword = 4;
constexpr uint32_t kTypeMultiSz = 7;
constexpr uint32_t kTypeQword = 11;
/* "REG_DWORD", ...; the number for a type without a name. */
std::string TypeName(uint32_t type);

struct Value {
    std::u16string Name; /* "" is the key's default value */
    uint32_t Type = kTypeNone;
    std::vector<uint8_t> Data;
};

struct Key {
    std::u16string Name;
    std::vector<Value> Values;
    std::vector<Key> Subkeys;

    /* By name, ignoring case as the registry does; nullptr when missing. */
    const Value *FindValue(const std::u16string &name) const;
    const Key *FindSubkey(const std::u16string &name) const;
};

/* What a target holds of the driver. */
struct Snapshot {
    std::string ControlSet;      /* "ControlSet001", or "CurrentControlSet" on the live system */
    bool ServicesExists = false; /* the control set's Services key */
    std::optional<Key> Service;  /* the driver's service key, everything beneath it */
};

/*
 * One step of a change.  Expect steps hold the change to the state its
 * maker read: a value (present with this type and data, or absent) or a
 * key (present or absent).  CreateKey creates missing ancestors too;
 * DeleteTree deletes a key with everything beneath it, and a key that is
 * missing fails it.
 */
struct Edit {
    enum class Kind { ExpectValue, ExpectKey, CreateKey, SetValue, DeleteValue, DeleteTree };
    Kind What = Kind::ExpectKey;
    std::u16string KeyPath; /* below Services, e.g. u"Qelmbar\\Parameters" */
    bool Present = true;    /* ExpectValue, ExpectKey */
    Value Data;             /* ExpectValue, SetValue, DeleteValue: the name (and type, data) */
};

class Change {
public:
    /* current is what was read: nullptr for a value that was missing. */
    Change &ExpectValue(const std::u16string &keyPath, const std::u16string &name,
                        const Value *current);
    Change &ExpectKey(const std::u16string &keyPath, bool present);
    Change &CreateKey(const std::u16string &keyPath);
    Change &SetValue(const std::u16string &keyPath, const std::u16string &name, uint32_t type,
                     std::vector<uint8_t> data);
    Change &DeleteValue(const std::u16string &keyPath, const std::u16string &name);
    Change &DeleteTree(const std::u16string &keyPath);

    const std::vector<Edit> &Edits() const { return edits_; }
    /* Whether any step writes. */
    bool Writes() const;

private:
    std::vector<Edit> edits_;
};

/* The message of an Expect step that no longer holds. */
std::string ChangedMeanwhile(const Edit &edit);

class Target {
public:
    virtual ~Target() = default;
    /* "machine", "hive" or "live". */
    virtual const char *Kind() const = 0;
    /* The machine directory, the hive file, or the live registry's key. */
    virtual std::string Location() const = 0;
    /* false, with *error set, when the target cannot be read at all. */
    virtual bool Read(Snapshot *snapshot, std::string *error) = 0;
    /*
     * Applies the edits in order, after making sure that the control
     * set's Services key exists.  The first that fails (an Expect that
     * does not hold included) ends the change with *error set, and the
     * target is left as it was: offline the hive file is replaced whole or
     * not at all; live, what was already done is undone.
     */
    virtual bool Apply(const Change &change, std::string *error) = 0;
    /* Where the target keeps the driver's image (System32\drivers\qelmbar.sys),
     * when that can be told: nothing for a hive file outside an image's
     * Windows\System32\config. */
    virtual std::optional<std::string> DriverImageFile() const = 0;
};

/* The target options of a command: at most one of them. */
struct TargetChoice {
    std::string MachineDir;
    std::string HiveFile;
    bool Live = false;
    /* With HiveFile: a dirty hive whose logs are missing or unusable is
     * taken as it is on disk instead of refused. */
    bool AcceptDirty = false;
};

/* Whether this build reaches the running system's registry; it is the
 * default target there. */
bool LiveTargetAvailable();
/* The chosen target; nullptr with *error set when the choice names none
 * (no option and no live registry, two options) or one that this build
 * cannot reach.  Nothing is read yet. */
std::unique_ptr<Target> OpenTarget(const TargetChoice &choice, std::string *error);

/* ---- value data ------------------------------------------------------ */

std::vector<uint8_t> DwordBytes(uint32_t value);
/* The text and its NUL. */
std::vector<uint8_t> StringBytes(const std::u16string &text);
/* Every string with its NUL, and one more NUL. */
std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string> &strings);
/* Nothing for a missing value or another type or size. */
std::optional<uint32_t> AsDword(const Value *value);
/* REG_SZ or REG_EXPAND_SZ, up to its first NUL. */
std::optional<std::u16string> AsString(const Value *value);
/* The data as UTF-16 code units (an odd last byte dropped). */
std::u16string AsUtf16(const Value &value);

/* simkernel/text.h and upcase.h for the code that includes windows.h
 * beside this header: a lone surrogate becomes U+FFFD; nothing for text
 * that is not UTF-8; names compared by NT's case table. */
std::string Utf8(const std::u16string &text);
std::optional<std::u16string> Utf16(const std::string &utf8);
bool EqualIgnoringCase(const std::u16string &a, const std::u16string &b);

} // namespace qelmbar::staging
