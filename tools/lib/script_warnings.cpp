/*
 * script_warnings.cpp - what a valid script will meet at boot: paths the
 * driver will not find as written, and reads of what an earlier operation
 * makes only once its hive is loaded.
 *
 * The model follows the registry handlers: each asks for the hive of a
 * key it changes to be loaded by the system (only SYSTEM is, at the boot
 * pass, or the operation waits for the deferred run), and the hive of a
 * key it only reads to be loaded or mountable by the driver.  A source is
 * looked up before any later step of the same operation may wait.
 */
#include "tools/lib/script_warnings.h"

#include "simkernel/text.h"

#include <algorithm>

namespace qelmbar {

std::u16string View(const UNICODE_STRING &s)
{
    return std::u16string(s.Buffer ? (const char16_t *)s.Buffer : u"", s.Length / sizeof(WCHAR));
}

std::u16string Upper(std::u16string text)
{
    for (char16_t &c : text)
        c = RtlUpcaseUnicodeChar(c);
    while (text.size() > 1 && text.back() == u'\\')
        text.pop_back();
    return text;
}

/* Whether a write to key may have to wait for its hive: every hive but
 * SYSTEM is loaded by the system after the driver's boot pass. */
bool MayBeDeferred(const std::u16string &key)
{
    const std::u16string system = u"\\REGISTRY\\MACHINE\\SYSTEM";
    std::u16string upper = Upper(key);
    return !(upper == system || upper.compare(0, system.size() + 1, system + u"\\") == 0);
}

bool SameOrEnclosing(const std::u16string &key, const std::u16string &outer)
{
    std::u16string k = Upper(key), o = Upper(outer);
    return k == o || (k.size() > o.size() && k.compare(0, o.size(), o) == 0 && k[o.size()] == u'\\');
}

namespace {

/* ---- What an operation does at the boot pass ---------------------------- */

std::u16string Parent(const std::u16string &key)
{
    size_t cut = key.rfind(u'\\');
    return cut == std::u16string::npos ? std::u16string() : key.substr(0, cut);
}

bool InSystemHive(const std::u16string &key)
{
    return !MayBeDeferred(key);
}

/* Whether the driver can read a key at the boot pass: SYSTEM is loaded,
 * and the hives of its table it mounts itself for reading. */
bool ReadableAtBoot(const std::u16string &key)
{
    static const char16_t *const kMountable[] = {
        u"\\REGISTRY\\MACHINE\\SAM",
        u"\\REGISTRY\\MACHINE\\SECURITY",
        u"\\REGISTRY\\MACHINE\\SOFTWARE",
        u"\\REGISTRY\\USER\\.DEFAULT",
    };
    if (InSystemHive(key))
        return true;
    std::u16string upper = Upper(key);
    for (const char16_t *hive : kMountable) {
        std::u16string h(hive);
        if (upper == h || upper.compare(0, h.size() + 1, h + u"\\") == 0)
            return true;
    }
    return false;
}

/* A key or a value (Value set) that an operation needs or makes. */
struct Item {
    std::u16string Key;
    std::u16string Value;
    bool IsValue = false;
};

struct BootEffect {
    /* Whether the operation waits for the deferred run (its sources being
     * there). */
    bool Waits = false;
    /* What it must find before it could wait: read at the boot pass. */
    std::vector<Item> Reads;
    /* What it makes: a key with everything beneath it, or one value. */
    std::vector<Item> Makes;
};

Item KeyPlace(const std::u16string &key)
{
    return { key, std::u16string(), false };
}

Item ValuePlace(const std::u16string &key, const std::u16string &value)
{
    return { key, value, true };
}

/* Follows the handlers: each asks for its hives in this order, and a
 * source that is read first is looked up before a later step may wait. */
BootEffect EffectAtBoot(const OperationRecord &r)
{
    BootEffect e;
    const TwoPathArgs &two = r.Args.TwoPath;
    switch (r.Kind) {
    case OperationCreateKey:
        e.Waits = !InSystemHive(View(r.Args.Path.Path));
        e.Makes.push_back(KeyPlace(View(r.Args.Path.Path)));
        break;
    case OperationDeleteKey:
        e.Waits = !InSystemHive(View(r.Args.DeleteKey.Path));
        if (!e.Waits)
            e.Reads.push_back(KeyPlace(View(r.Args.DeleteKey.Path)));
        break;
    case OperationCopyKey:
        if (!ReadableAtBoot(View(two.Source))) {
            e.Waits = true;
        } else {
            e.Reads.push_back(KeyPlace(View(two.Source)));
            e.Waits = !InSystemHive(View(two.Target));
        }
        e.Makes.push_back(KeyPlace(View(two.Target)));
        break;
    case OperationMoveKey:
        e.Waits = !InSystemHive(View(two.Source));
        if (!e.Waits) {
            e.Reads.push_back(KeyPlace(View(two.Source)));
            e.Waits = !InSystemHive(View(two.Target));
        }
        e.Makes.push_back(KeyPlace(View(two.Target)));
        break;
    case OperationRenameKey:
        e.Waits = !InSystemHive(View(two.Source));
        if (!e.Waits)
            e.Reads.push_back(KeyPlace(View(two.Source)));
        e.Makes.push_back(KeyPlace(Parent(View(two.Source)) + u"\\" + View(two.Target)));
        break;
    case OperationSetKeyValue: {
        const SetKeyValueArgs &a = r.Args.SetKeyValue;
        std::u16string source = View(a.SourceKey);
        e.Waits = a.DeleteSource ? !InSystemHive(source) : !ReadableAtBoot(source);
        if (!e.Waits) {
            e.Reads.push_back(ValuePlace(source, View(a.SourceValue)));
            e.Waits = !InSystemHive(View(a.TargetKey));
        }
        e.Makes.push_back(ValuePlace(View(a.TargetKey), View(a.TargetValue)));
        break;
    }
    case OperationDeleteKeyValue:
        e.Waits = !InSystemHive(View(r.Args.DeleteKeyValue.KeyPath));
        if (!e.Waits)
            e.Reads.push_back(
                ValuePlace(View(r.Args.DeleteKeyValue.KeyPath), View(r.Args.DeleteKeyValue.ValueName)));
        break;
    case OperationRenameValue: {
        const RenameValueArgs &a = r.Args.RenameValue;
        e.Waits = !InSystemHive(View(a.KeyPath));
        if (!e.Waits)
            e.Reads.push_back(ValuePlace(View(a.KeyPath), View(a.OldName)));
        e.Makes.push_back(ValuePlace(View(a.KeyPath), View(a.NewName)));
        break;
    }
    default:
        break; /* files and directories never wait */
    }
    return e;
}

bool SameName(const std::u16string &a, const std::u16string &b)
{
    return Upper(a) == Upper(b);
}

/* Whether what is read is made by the operation: a key the same as or
 * beneath a key made, a value of such a key, or the very value made. */
bool MadeBy(const Item &read, const Item &made)
{
    if (!made.IsValue)
        return SameOrEnclosing(read.Key, made.Key);
    return read.IsValue && SameName(read.Key, made.Key) &&
           Upper(read.Value) == Upper(made.Value);
}

std::string ItemText(const Item &place)
{
    std::string text = sk::Utf8FromUtf16(place.Key);
    if (place.IsValue)
        text += place.Value.empty() ? " (default value)" : ":" + sk::Utf8FromUtf16(place.Value);
    return text;
}

std::vector<ScriptWarning> FindEarlyReads(const std::vector<BootEffect> &effects)
{
    std::vector<ScriptWarning> warnings;
    for (size_t later = 0; later < effects.size(); later++) {
        for (const Item &read : effects[later].Reads) {
            bool found = false;
            for (size_t w = 0; w < later && !found; w++) {
                if (!effects[w].Waits)
                    continue;
                for (const Item &made : effects[w].Makes) {
                    if (MadeBy(read, made)) {
                        ScriptWarning warning{ WarningKind::ReadBeforeCreate, later, w,
                                               ItemText(read), ItemText(made) };
                        warnings.push_back(warning);
                        found = true;
                        break;
                    }
                }
            }
        }
    }
    return warnings;
}

/* ---- Paths the driver will not find ----------------------------------- */

bool StartsWithNoCase(const std::u16string &text, const char16_t *prefix)
{
    std::u16string p(prefix);
    return text.size() >= p.size() && Upper(text.substr(0, p.size())) == Upper(p);
}

/* One path argument, for a file or a directory or for a key. */
void CheckPath(size_t operation, const std::u16string &path, bool key,
               std::vector<ScriptWarning> *warnings)
{
    std::string text = sk::Utf8FromUtf16(path);
    auto add = [&](WarningKind kind, std::string suggestion) {
        warnings->push_back({ kind, operation, 0, text, std::move(suggestion) });
    };
    if (!key) {
        bool drive = path.size() >= 2 && path[1] == u':' &&
                     ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
        if (drive)
            add(WarningKind::Win32Path, "\\??\\" + text);
        else if (path.empty() || path[0] != u'\\')
            add(WarningKind::RelativePath, "");
        return;
    }

    static const struct {
        const char16_t *Win32;
        const char *Registry; /* null: a user's own hive */
    } kRoots[] = {
        { u"HKEY_LOCAL_MACHINE", "\\REGISTRY\\MACHINE" },
        { u"HKLM", "\\REGISTRY\\MACHINE" },
        { u"HKEY_USERS", "\\REGISTRY\\USER" },
        { u"HKU", "\\REGISTRY\\USER" },
        { u"HKEY_CLASSES_ROOT", "\\REGISTRY\\MACHINE\\SOFTWARE\\Classes" },
        { u"HKCR", "\\REGISTRY\\MACHINE\\SOFTWARE\\Classes" },
        { u"HKEY_CURRENT_CONFIG",
          "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current" },
        { u"HKCC", "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current" },
        { u"HKEY_CURRENT_USER", nullptr },
        { u"HKCU", nullptr },
    };
    for (const auto &root : kRoots) {
        std::u16string name(root.Win32);
        if (!StartsWithNoCase(path, root.Win32))
            continue;
        size_t rest = name.size();
        if (rest < path.size() && path[rest] == u':')
            rest++; /* the PowerShell drive, HKLM:\ */
        if (rest < path.size() && path[rest] != u'\\')
            continue;
        if (!root.Registry) {
            add(WarningKind::UserHive, "");
            return;
        }
        std::u16string tail = path.substr(rest);
        std::string registryPath = root.Registry + sk::Utf8FromUtf16(tail);
        add(WarningKind::Win32Key, registryPath);
        std::u16string converted = *sk::Utf16FromUtf8(registryPath);
        if (StartsWithNoCase(converted, u"\\REGISTRY\\USER\\") &&
            !StartsWithNoCase(converted, u"\\REGISTRY\\USER\\.DEFAULT"))
            add(WarningKind::UserHive, "");
        return;
    }
    if (path.empty() || path[0] != u'\\') {
        add(WarningKind::RelativeKey, "");
        return;
    }
    if (!StartsWithNoCase(path, u"\\REGISTRY\\") && !SameName(path, u"\\REGISTRY")) {
        add(WarningKind::NotRegistryPath, "");
        return;
    }
    if (StartsWithNoCase(path, u"\\REGISTRY\\USER\\") &&
        !StartsWithNoCase(path, u"\\REGISTRY\\USER\\.DEFAULT\\") &&
        !SameName(path, u"\\REGISTRY\\USER\\.DEFAULT"))
        add(WarningKind::UserHive, "");
}

void CheckPaths(size_t operation, const OperationRecord &r, std::vector<ScriptWarning> *warnings)
{
    const TwoPathArgs &two = r.Args.TwoPath;
    switch (r.Kind) {
    case OperationCopyFile:
    case OperationMoveFile:
    case OperationCopyDir:
    case OperationMoveDir:
        CheckPath(operation, View(two.Source), false, warnings);
        CheckPath(operation, View(two.Target), false, warnings);
        break;
    case OperationRenameFile:
    case OperationRenameDir:
        CheckPath(operation, View(two.Source), false, warnings);
        break;
    case OperationDeleteFile:
    case OperationCreateDir:
        CheckPath(operation, View(r.Args.Path.Path), false, warnings);
        break;
    case OperationRemoveDir:
        CheckPath(operation, View(r.Args.RemoveDir.Path), false, warnings);
        break;
    case OperationCreateKey:
        CheckPath(operation, View(r.Args.Path.Path), true, warnings);
        break;
    case OperationDeleteKey:
        CheckPath(operation, View(r.Args.DeleteKey.Path), true, warnings);
        break;
    case OperationCopyKey:
    case OperationMoveKey:
        CheckPath(operation, View(two.Source), true, warnings);
        CheckPath(operation, View(two.Target), true, warnings);
        break;
    case OperationRenameKey:
        CheckPath(operation, View(two.Source), true, warnings);
        break;
    case OperationSetKeyValue:
        CheckPath(operation, View(r.Args.SetKeyValue.SourceKey), true, warnings);
        CheckPath(operation, View(r.Args.SetKeyValue.TargetKey), true, warnings);
        break;
    case OperationDeleteKeyValue:
        CheckPath(operation, View(r.Args.DeleteKeyValue.KeyPath), true, warnings);
        break;
    case OperationRenameValue:
        CheckPath(operation, View(r.Args.RenameValue.KeyPath), true, warnings);
        break;
    default:
        break;
    }
}

} // namespace

std::vector<ScriptWarning> ScriptWarnings(PLIST_ENTRY list, std::vector<ScriptWarning> *early)
{
    std::vector<ScriptWarning> warnings;
    std::vector<BootEffect> effects;
    size_t index = 0;
    for (PLIST_ENTRY entry = list->Flink; entry != list; entry = entry->Flink, index++) {
        const OperationRecord &record = *CONTAINING_RECORD(entry, OperationRecord, Links);
        CheckPaths(index, record, &warnings);
        effects.push_back(EffectAtBoot(record));
    }
    *early = FindEarlyReads(effects);
    warnings.insert(warnings.end(), early->begin(), early->end());
    std::stable_sort(warnings.begin(), warnings.end(),
                     [](const ScriptWarning &a, const ScriptWarning &b) {
                         return a.Operation < b.Operation;
                     });
    return warnings;
}

} // namespace qelmbar
