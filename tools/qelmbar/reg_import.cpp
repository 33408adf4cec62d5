/*
 * reg_import.cpp - the .reg half of qelmbar machine import: each edit of a
 * parsed file goes to the hive file that holds its key, and is applied in
 * the child that has that hive loaded.
 */
#include "tools/qelmbar/machine_import.h"
#include "simkernel/text.h"

#include "simkernel/registry.h"
#include "simkernel/status_names.h"
#include "tools/lib/script_source.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace qelmbar::cli {

namespace {

/* The hive file a key of a .reg file lies in, and its path below the
 * hive's root; false for a key no hive file of a machine holds. */
bool HiveOfKey(RegRoot root, const std::u16string &key, qm::Hive *hive, std::u16string *rest)
{
    const size_t cut = key.find(u'\\');
    const std::u16string first = key.substr(0, cut);
    *rest = cut == std::u16string::npos ? std::u16string() : key.substr(cut + 1);
    if (root == RegRoot::Users) {
        *hive = qm::Hive::Default;
        return qm::EqualsIgnoringCase(first, u".DEFAULT");
    }
    if (root != RegRoot::LocalMachine)
        return false;
    for (qm::Hive candidate :
         { qm::Hive::System, qm::Hive::Software, qm::Hive::Sam, qm::Hive::Security }) {
        const char *name = qm::HiveFileName(candidate);
        if (qm::EqualsIgnoringCase(first, std::u16string(name, name + std::strlen(name)))) {
            *hive = candidate;
            return true;
        }
    }
    return false;
}

/* The components of the key's full name in NT, \REGISTRY\MACHINE\SYSTEM
 * or \REGISTRY\USER\.DEFAULT and those below the hive's root. */
size_t KeyDepth(const std::u16string &rest)
{
    size_t depth = 3;
    size_t at = 0;
    while (at < rest.size()) {
        size_t end = rest.find(u'\\', at);
        if (end == std::u16string::npos)
            end = rest.size();
        if (end > at)
            depth++;
        at = end + 1;
    }
    return depth;
}

/* NT nests keys no deeper than this many components of a full name. */
constexpr size_t kMaxKeyDepth = 512;

} // namespace

size_t HiveIndex(qm::Hive hive)
{
    return (size_t)(std::find(std::begin(qm::kAllHives), std::end(qm::kAllHives), hive) -
                    std::begin(qm::kAllHives));
}

void PlanRegistryFile(const RegText &text, HivePlan *plans, std::vector<RegTextError> *refusals)
{
    std::set<size_t> refusedHeaders;
    for (const RegEdit &edit : text.Edits) {
        qm::Hive hive;
        std::u16string rest;
        if (!HiveOfKey(edit.Root, edit.Key, &hive, &rest)) {
            if (refusedHeaders.insert(edit.KeyLine).second)
                refusals->push_back(
                    { edit.KeyLine, RegKeyName(edit.Root, edit.Key) +
                                        " is in no hive file of a machine; keys must lie under "
                                        "HKEY_LOCAL_MACHINE\\SYSTEM, \\SOFTWARE, \\SAM, "
                                        "\\SECURITY or HKEY_USERS\\.DEFAULT" });
            continue;
        }
        if (edit.Kind == RegEditKind::DeleteKey && rest.empty()) {
            refusals->push_back({ edit.Line, "[-" + RegKeyName(edit.Root, edit.Key) +
                                                 "] would delete the root of hive " +
                                                 qm::HiveFileName(hive) +
                                                 ", which cannot be deleted" });
            continue;
        }
        if (edit.Kind != RegEditKind::DeleteKey && KeyDepth(rest) > kMaxKeyDepth) {
            if (refusedHeaders.insert(edit.KeyLine).second)
                refusals->push_back({ edit.KeyLine, RegKeyName(edit.Root, edit.Key) +
                                                        " would be nested " +
                                                        std::to_string(KeyDepth(rest)) +
                                                        " levels deep; Windows nests keys at "
                                                        "most 512 levels deep" });
            continue;
        }
        HivePlan &plan = plans[HiveIndex(hive)];
        plan.Edits.push_back({ "", edit.Line, edit.Kind, rest, edit.Name, edit.Type, edit.Data });
        switch (edit.Kind) {
        case RegEditKind::CreateKey: plan.KeysCreated++; break;
        case RegEditKind::DeleteKey: plan.KeysDeleted++; break;
        case RegEditKind::SetValue: plan.ValuesSet++; break;
        case RegEditKind::DeleteValue: plan.ValuesDeleted++; break;
        }
    }
}

std::string ApplyHiveEdits(qm::Hive hive, const HivePlan &plan, const std::u16string &root)
{
    ULONG current = 1;
    if (hive == qm::Hive::System) {
        std::optional<sk::RegValue> select = sk::RegGetValue(root + u"\\Select", u"Current");
        if (select && select->type == REG_DWORD && select->data.size() == 4) {
            ULONG value;
            std::memcpy(&value, select->data.data(), 4);
            if (value != 0 && value < 1000)
                current = value;
        }
    }
    for (const HiveEdit &edit : plan.Edits) {
        const std::u16string key =
            hive == qm::Hive::System ? qm::MapCurrentControlSet(edit.Key, current) : edit.Key;
        const std::u16string path = key.empty() ? root : root + u"\\" + key;
        NTSTATUS status = STATUS_SUCCESS;
        switch (edit.Kind) {
        case RegEditKind::CreateKey: status = sk::RegCreateKey(path); break;
        case RegEditKind::DeleteKey:
            if (sk::RegKeyExists(path))
                status = sk::RegDeleteTree(path);
            break;
        case RegEditKind::SetValue:
            status = sk::RegCreateKey(path);
            if (NT_SUCCESS(status))
                status = sk::RegSetValue(path, edit.Name, edit.Type, edit.Data);
            break;
        case RegEditKind::DeleteValue:
            if (sk::RegGetValue(path, edit.Name))
                status = sk::RegDeleteValue(path, edit.Name);
            break;
        }
        if (!NT_SUCCESS(status))
            return edit.File + ":" + std::to_string(edit.Line) + ": " + sk::Utf8FromUtf16(path) + ": " +
                   sk::StatusText(status);
    }
    return std::string();
}

} // namespace qelmbar::cli
