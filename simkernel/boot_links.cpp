/*
 * boot_links.cpp - the \SystemRoot and \ArcName links of the two stages of
 * a boot.
 */
#include "simkernel/objects.h"

namespace sk {

namespace {

NTSTATUS ReplaceLink(const std::u16string &name, const std::u16string &target)
{
    if (LinkTarget(name))
        RemoveLink(name);
    return CreatePermanentLink(name, target);
}

} // namespace

NTSTATUS SetUpEarlyBootLinks(const BootLinks &links)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (links.arcOpens) {
        status = ReplaceLink(links.arcName, links.volume);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (!links.throughBootDevice)
        return ReplaceLink(u"\\SystemRoot", links.arcName + links.windowsDirectory);
    status = ReplaceLink(u"\\Device\\BootDevice", links.arcName);
    if (!NT_SUCCESS(status))
        return status;
    return ReplaceLink(u"\\SystemRoot", u"\\Device\\BootDevice" + links.windowsDirectory);
}

NTSTATUS SetUpLateBootLinks(const BootLinks &links)
{
    return ReplaceLink(u"\\SystemRoot", links.volume + links.windowsDirectory);
}

} // namespace sk
