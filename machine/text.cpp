/*
 * text.cpp - names compared as the registry compares them, the control
 * set CurrentControlSet stands for in a SYSTEM key path, and statuses in
 * messages.
 */
#include "machine/internal.h"

#include "simkernel/status_names.h"
#include "simkernel/upcase.h"

#include <cstdio>

namespace qm {

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b)
{
    return sk::EqualIgnoringCase(std::u16string(a), std::u16string(b));
}

bool StartsWithCurrentControlSet(const std::u16string &keyPath)
{
    const std::vector<std::u16string> parts = sk::SplitKeyPath(keyPath);
    return !parts.empty() && EqualsIgnoringCase(parts[0], u"CurrentControlSet");
}

std::u16string MapCurrentControlSet(const std::u16string &keyPath, ULONG current)
{
    std::vector<std::u16string> parts = sk::SplitKeyPath(keyPath);
    if (!parts.empty() && EqualsIgnoringCase(parts[0], u"CurrentControlSet")) {
        char name[32];
        snprintf(name, sizeof(name), "ControlSet%03u", (unsigned)current);
        parts[0] = U16(name);
    }
    return sk::JoinKeyPath(parts);
}

std::u16string MapControlSet(Hive hive, const std::u16string &keyPath, ULONG current)
{
    return hive == Hive::System ? MapCurrentControlSet(keyPath, current)
                                : sk::JoinKeyPath(sk::SplitKeyPath(keyPath));
}

bool NeedsControlSet(Hive hive, const std::u16string &keyPath)
{
    return hive == Hive::System && StartsWithCurrentControlSet(keyPath);
}

std::string Status(NTSTATUS status)
{
    return sk::StatusText(status);
}

void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

} // namespace qm
