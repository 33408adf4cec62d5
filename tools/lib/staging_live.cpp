/*
 * staging_live.cpp - the target of the Windows build: the running
 * system's registry, HKLM\SYSTEM\CurrentControlSet\Services, through the
 * Win32 registry API.
 *
 * The live registry has no whole-key transaction that the tool can rely
 * on, so a change is made step by step with an undo journal: before each
 * step what it will replace is read (a value, its absence, a whole tree),
 * and when a step fails the steps already done are undone in reverse.
 * That keeps a failed change from leaving half of itself behind; it does
 * not survive the tool being killed or the power going out between two
 * steps.  For that the commands order their steps so that no prefix of a
 * change misleads the driver: the "Package" marker of a package is written
 * last and removed first, a service's Start last and removed first, and
 * the one-shot list is one value written at once.  Keys restored from the
 * journal get their values and subkeys back, not their security or class.
 *
 * This file includes windows.h and no driver header: the two disagree on
 * the widths of ULONG and WCHAR.
 */
#include "tools/lib/staging.h"

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>

namespace qelmbar::staging {

namespace {

constexpr wchar_t kServicesPath[] = L"SYSTEM\\CurrentControlSet\\Services";
/* The 64-bit registry view, even from a 32-bit build. */
constexpr REGSAM kView = KEY_WOW64_64KEY;

std::wstring Wide(const std::u16string &text)
{
    return std::wstring(text.begin(), text.end());
}

std::u16string Narrow16(const wchar_t *text, size_t length)
{
    return std::u16string(text, text + length);
}

std::string ErrorText(LONG code)
{
    wchar_t *buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, (DWORD)code, 0, (LPWSTR)&buffer, 0, nullptr);
    std::u16string text = buffer ? Narrow16(buffer, length) : std::u16string();
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ' ||
                             text.back() == u'.'))
        text.pop_back();
    std::string out = (text.empty() ? std::string("error") : Utf8(text)) + " (Win32 error " +
                      std::to_string(code) + ")";
    if (code == ERROR_ACCESS_DENIED)
        out += "; run qelmbar as an administrator";
    return out;
}

std::string Failure(const std::u16string &path, LONG code)
{
    return "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + Utf8(path) + ": " + ErrorText(code);
}

std::string StepFailure(const Edit &edit, LONG code)
{
    bool onValue = edit.What == Edit::Kind::SetValue || edit.What == Edit::Kind::DeleteValue;
    if (!onValue)
        return Failure(edit.KeyPath, code);
    return "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + Utf8(edit.KeyPath) + ", value \"" +
           Utf8(edit.Data.Name) + "\": " + ErrorText(code);
}

/* A key handle closed at the end of its scope. */
class KeyHandle {
public:
    KeyHandle() = default;
    KeyHandle(const KeyHandle &) = delete;
    KeyHandle &operator=(const KeyHandle &) = delete;
    ~KeyHandle()
    {
        if (key_)
            RegCloseKey(key_);
    }
    HKEY *Out() { return &key_; }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

LONG OpenServices(REGSAM access, KeyHandle *services)
{
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesPath, 0, access | kView, services->Out());
}

LONG OpenBelow(HKEY services, const std::u16string &path, REGSAM access, KeyHandle *key)
{
    return RegOpenKeyExW(services, Wide(path).c_str(), 0, access | kView, key->Out());
}

/* A value of an open key; ERROR_FILE_NOT_FOUND when it is missing. */
LONG QueryValue(HKEY key, const std::u16string &name, Value *value)
{
    std::wstring wideName = Wide(name);
    for (;;) {
        DWORD type = 0, size = 0;
        LONG code = RegQueryValueExW(key, wideName.c_str(), nullptr, &type, nullptr, &size);
        if (code != ERROR_SUCCESS)
            return code;
        std::vector<uint8_t> data(size ? size : 1);
        DWORD got = size;
        code = RegQueryValueExW(key, wideName.c_str(), nullptr, &type, data.data(), &got);
        if (code == ERROR_MORE_DATA)
            continue; /* it grew in between */
        if (code != ERROR_SUCCESS)
            return code;
        data.resize(got);
        value->Name = name;
        value->Type = type;
        value->Data = std::move(data);
        return ERROR_SUCCESS;
    }
}

/* A value below Services: *present false for a missing key or value. */
LONG FindValue(HKEY services, const std::u16string &path, const std::u16string &name,
               bool *present, Value *value)
{
    KeyHandle key;
    LONG code = OpenBelow(services, path, KEY_QUERY_VALUE, &key);
    if (code == ERROR_SUCCESS)
        code = QueryValue(key.Get(), name, value);
    *present = code == ERROR_SUCCESS;
    return code == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : code;
}

LONG KeyExists(HKEY services, const std::u16string &path, bool *exists)
{
    KeyHandle key;
    LONG code = OpenBelow(services, path, KEY_QUERY_VALUE, &key);
    *exists = code == ERROR_SUCCESS;
    return code == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : code;
}

/* The open key with everything beneath it. */
LONG ReadTree(HKEY key, const std::u16string &name, Key *tree)
{
    tree->Name = name;
    DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, longestData = 0;
    LONG code = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr,
                                 &values, &longestName, &longestData, nullptr, nullptr);
    if (code != ERROR_SUCCESS)
        return code;
    for (DWORD i = 0; i < values; i++) {
        std::vector<wchar_t> valueName(longestName + 2);
        DWORD nameLength = (DWORD)valueName.size();
        code = RegEnumValueW(key, i, valueName.data(), &nameLength, nullptr, nullptr, nullptr,
                             nullptr);
        if (code == ERROR_NO_MORE_ITEMS)
            break;
        if (code != ERROR_SUCCESS)
            return code;
        Value value;
        code = QueryValue(key, Narrow16(valueName.data(), nameLength), &value);
        if (code != ERROR_SUCCESS)
            return code;
        tree->Values.push_back(std::move(value));
    }
    for (DWORD i = 0; i < subkeys; i++) {
        std::vector<wchar_t> subkeyName(longestSubkey + 2);
        DWORD nameLength = (DWORD)subkeyName.size();
        code = RegEnumKeyExW(key, i, subkeyName.data(), &nameLength, nullptr, nullptr, nullptr,
                             nullptr);
        if (code == ERROR_NO_MORE_ITEMS)
            break;
        if (code != ERROR_SUCCESS)
            return code;
        KeyHandle subkey;
        code = RegOpenKeyExW(key, subkeyName.data(), 0, KEY_READ | kView, subkey.Out());
        if (code != ERROR_SUCCESS)
            return code;
        Key child;
        code = ReadTree(subkey.Get(), Narrow16(subkeyName.data(), nameLength), &child);
        if (code != ERROR_SUCCESS)
            return code;
        tree->Subkeys.push_back(std::move(child));
    }
    return ERROR_SUCCESS;
}

LONG SetValueBelow(HKEY services, const std::u16string &path, const Value &value)
{
    KeyHandle key;
    LONG code = OpenBelow(services, path, KEY_SET_VALUE, &key);
    if (code != ERROR_SUCCESS)
        return code;
    return RegSetValueExW(key.Get(), Wide(value.Name).c_str(), 0, value.Type,
                          value.Data.empty() ? nullptr : value.Data.data(), (DWORD)value.Data.size());
}

LONG DeleteValueBelow(HKEY services, const std::u16string &path, const std::u16string &name)
{
    KeyHandle key;
    LONG code = OpenBelow(services, path, KEY_SET_VALUE, &key);
    if (code != ERROR_SUCCESS)
        return code;
    return RegDeleteValueW(key.Get(), Wide(name).c_str());
}

LONG CreateBelow(HKEY services, const std::u16string &path)
{
    KeyHandle key;
    return RegCreateKeyExW(services, Wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_QUERY_VALUE | kView, nullptr, key.Out(), nullptr);
}

LONG DeleteTreeBelow(HKEY services, const std::u16string &path)
{
    return RegDeleteTreeW(services, Wide(path).c_str());
}

/* Writes a tree read before back below path. */
LONG RestoreTree(HKEY services, const std::u16string &path, const Key &tree)
{
    LONG code = CreateBelow(services, path);
    for (const Value &value : tree.Values) {
        if (code == ERROR_SUCCESS)
            code = SetValueBelow(services, path, value);
    }
    for (const Key &subkey : tree.Subkeys) {
        if (code == ERROR_SUCCESS)
            code = RestoreTree(services, path + u"\\" + subkey.Name, subkey);
    }
    return code;
}

/* What undoes one step. */
struct UndoStep {
    enum class Kind { DeleteTree, SetValue, DeleteValue, RestoreTree } What;
    std::u16string Path;
    Value Old;
    Key Tree;
};

LONG Undo(HKEY services, const UndoStep &step)
{
    switch (step.What) {
    case UndoStep::Kind::DeleteTree: return DeleteTreeBelow(services, step.Path);
    case UndoStep::Kind::SetValue: return SetValueBelow(services, step.Path, step.Old);
    case UndoStep::Kind::DeleteValue: return DeleteValueBelow(services, step.Path, step.Old.Name);
    case UndoStep::Kind::RestoreTree: return RestoreTree(services, step.Path, step.Tree);
    }
    return ERROR_INVALID_PARAMETER;
}

/* The first key of path, from the top, that does not exist yet. */
LONG FirstMissing(HKEY services, const std::u16string &path, std::optional<std::u16string> *missing)
{
    missing->reset();
    size_t at = 0;
    for (;;) {
        size_t end = path.find(u'\\', at);
        std::u16string prefix = path.substr(0, end);
        bool exists = false;
        LONG code = KeyExists(services, prefix, &exists);
        if (code != ERROR_SUCCESS)
            return code;
        if (!exists) {
            *missing = prefix;
            return ERROR_SUCCESS;
        }
        if (end == std::u16string::npos)
            return ERROR_SUCCESS;
        at = end + 1;
    }
}

/* One step; on success *undo (when set) takes it back.  A step that does
 * not hold answers a message in *stale. */
LONG RunStep(HKEY services, const Edit &edit, std::optional<UndoStep> *undo, std::string *stale)
{
    undo->reset();
    LONG code = ERROR_SUCCESS;
    switch (edit.What) {
    case Edit::Kind::ExpectKey: {
        bool exists = false;
        code = KeyExists(services, edit.KeyPath, &exists);
        if (code == ERROR_SUCCESS && exists != edit.Present)
            *stale = ChangedMeanwhile(edit);
        return code;
    }
    case Edit::Kind::ExpectValue: {
        bool present = false;
        Value value;
        code = FindValue(services, edit.KeyPath, edit.Data.Name, &present, &value);
        bool same = present ? edit.Present && value.Type == edit.Data.Type &&
                                  value.Data == edit.Data.Data
                            : !edit.Present;
        if (code == ERROR_SUCCESS && !same)
            *stale = ChangedMeanwhile(edit);
        return code;
    }
    case Edit::Kind::CreateKey: {
        std::optional<std::u16string> missing;
        code = FirstMissing(services, edit.KeyPath, &missing);
        if (code == ERROR_SUCCESS)
            code = CreateBelow(services, edit.KeyPath);
        if (code == ERROR_SUCCESS && missing)
            *undo = UndoStep{ UndoStep::Kind::DeleteTree, *missing, {}, {} };
        return code;
    }
    case Edit::Kind::SetValue:
    case Edit::Kind::DeleteValue: {
        bool present = false;
        Value old;
        code = FindValue(services, edit.KeyPath, edit.Data.Name, &present, &old);
        if (code != ERROR_SUCCESS)
            return code;
        if (edit.What == Edit::Kind::DeleteValue) {
            if (!present)
                return ERROR_FILE_NOT_FOUND;
            code = DeleteValueBelow(services, edit.KeyPath, edit.Data.Name);
        } else {
            code = SetValueBelow(services, edit.KeyPath, edit.Data);
        }
        if (code == ERROR_SUCCESS) {
            if (present) {
                *undo = UndoStep{ UndoStep::Kind::SetValue, edit.KeyPath, old, {} };
            } else {
                Value name;
                name.Name = edit.Data.Name;
                *undo = UndoStep{ UndoStep::Kind::DeleteValue, edit.KeyPath, name, {} };
            }
        }
        return code;
    }
    case Edit::Kind::DeleteTree: {
        KeyHandle key;
        code = OpenBelow(services, edit.KeyPath, KEY_READ, &key);
        Key tree;
        if (code == ERROR_SUCCESS)
            code = ReadTree(key.Get(), edit.KeyPath, &tree);
        if (code != ERROR_SUCCESS)
            return code;
        /* Recorded first: a delete that fails halfway is undone too. */
        *undo = UndoStep{ UndoStep::Kind::RestoreTree, edit.KeyPath, {}, std::move(tree) };
        return DeleteTreeBelow(services, edit.KeyPath);
    }
    }
    return ERROR_INVALID_PARAMETER;
}

/* Whether the process holds an elevated token, as a write to the
 * Services key needs under User Account Control; why not in *reason. */
bool RunsElevated(std::string *reason)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        *reason = "cannot tell whether qelmbar runs elevated: " + ErrorText((LONG)GetLastError());
        return false;
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    BOOL read = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
    DWORD code = GetLastError();
    CloseHandle(token);
    if (!read) {
        *reason = "cannot tell whether qelmbar runs elevated: " + ErrorText((LONG)code);
        return false;
    }
    if (elevation.TokenIsElevated)
        return true;
    *reason = "a change to the live registry needs an elevated prompt, and this qelmbar runs "
              "without administrator rights: open Command Prompt or PowerShell with 'Run as "
              "administrator' (or, in PowerShell, Start-Process powershell -Verb RunAs) and run "
              "the command there";
    return false;
}

class LiveTarget : public Target {
public:
    const char *Kind() const override { return "live"; }
    std::string Location() const override { return "HKLM\\SYSTEM\\CurrentControlSet\\Services"; }

    bool Read(Snapshot *snapshot, std::string *error) override
    {
        *snapshot = Snapshot();
        snapshot->ControlSet = "CurrentControlSet";
        KeyHandle services;
        LONG code = OpenServices(KEY_READ, &services);
        if (code == ERROR_FILE_NOT_FOUND)
            return true;
        if (code != ERROR_SUCCESS) {
            *error = Failure(u"", code);
            return false;
        }
        snapshot->ServicesExists = true;
        KeyHandle service;
        code = OpenBelow(services.Get(), u"Qelmbar", KEY_READ, &service);
        if (code == ERROR_FILE_NOT_FOUND)
            return true;
        Key tree;
        if (code == ERROR_SUCCESS)
            code = ReadTree(service.Get(), u"Qelmbar", &tree);
        if (code != ERROR_SUCCESS) {
            *error = Failure(u"Qelmbar", code);
            return false;
        }
        snapshot->Service = std::move(tree);
        return true;
    }

    bool Apply(const Change &change, std::string *error) override
    {
        if (change.Writes() && !RunsElevated(error))
            return false;
        KeyHandle services;
        LONG code = OpenServices(KEY_ALL_ACCESS, &services);
        if (code != ERROR_SUCCESS) {
            *error = Failure(u"", code);
            return false;
        }
        std::vector<UndoStep> journal;
        for (const Edit &edit : change.Edits()) {
            std::optional<UndoStep> undo;
            std::string stale;
            code = RunStep(services.Get(), edit, &undo, &stale);
            if (undo)
                journal.push_back(std::move(*undo));
            if (code == ERROR_SUCCESS && stale.empty())
                continue;
            *error = stale.empty() ? StepFailure(edit, code) : stale;
            for (auto step = journal.rbegin(); step != journal.rend(); ++step) {
                LONG undone = Undo(services.Get(), *step);
                if (undone != ERROR_SUCCESS) {
                    *error += "; undoing the steps already done failed too at " +
                              Failure(step->Path, undone) + ": see 'qelmbar status'";
                    break;
                }
            }
            return false;
        }
        return true;
    }

    std::optional<std::string> DriverImageFile() const override
    {
        wchar_t directory[MAX_PATH + 1];
        UINT length = GetSystemDirectoryW(directory, MAX_PATH);
        if (length == 0 || length > MAX_PATH)
            return std::nullopt;
        return Utf8(Narrow16(directory, length) + u"\\drivers\\qelmbar.sys");
    }
};

} // namespace

bool LiveTargetAvailable()
{
    return true;
}

std::unique_ptr<Target> OpenTarget(const TargetChoice &choice, std::string *error)
{
    int chosen = !choice.MachineDir.empty() + !choice.HiveFile.empty() + choice.Live;
    if (chosen > 1) {
        *error = "choose one target: --machine, --hive or --live";
        return nullptr;
    }
    if (!choice.MachineDir.empty() || !choice.HiveFile.empty() || choice.AcceptDirty) {
        *error = "--machine and --hive work only in the Linux build of qelmbar, which has the "
                 "simulated kernel; here the target is the live registry (--live)";
        return nullptr;
    }
    return std::make_unique<LiveTarget>();
}

} // namespace qelmbar::staging
