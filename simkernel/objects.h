/*
 * objects.h - direct access to the simulated object namespace for tests
 * and the machine model: the DOS device links a scenario needs, object
 * directories, and what a name resolves to.
 *
 * These routines bypass handles, access rights and fault injection; they
 * take the kernel lock like every platform routine.  Names are absolute
 * object names such as u"\\GLOBAL??\\C:", parsed as the object manager
 * parses them (case ignored, links followed, \?? the DOS device directory).
 */
#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>

namespace sk {

/* Creates a permanent symbolic link, as IoCreateSymbolicLink does; the
 * target need not exist.  STATUS_OBJECT_NAME_COLLISION when the name is
 * taken, STATUS_OBJECT_PATH_NOT_FOUND when its directory is missing. */
NTSTATUS CreatePermanentLink(const std::u16string &name, const std::u16string &target);
/* Takes a link out of the namespace at once, whatever handles are open to
 * it (they stay valid).  STATUS_OBJECT_TYPE_MISMATCH when the name is no
 * link. */
NTSTATUS RemoveLink(const std::u16string &name);
/* The target of the link the name ends in (a final link is not followed);
 * nothing when the name is no link. */
std::optional<std::u16string> LinkTarget(const std::u16string &name);

/* Whether the name is an entry of the namespace; a final link counts as
 * itself, dangling or not. */
bool ObjectExists(const std::u16string &name);
/* Inserts an empty object directory; a name that is a link puts it at the
 * link's target, as NT does. */
NTSTATUS CreateObjectDirectory(const std::u16string &name);

/* The name with every link followed, e.g. \Device\HarddiskVolume1\x for
 * \??\C:\x once \GLOBAL??\C: links to \Device\HarddiskVolume1; what lies
 * past a parse object is kept as written.  Nothing when the name does not
 * resolve to an existing object. */
std::optional<std::u16string> ResolveName(const std::u16string &name);

} // namespace sk

namespace sk {

/* The links the boot loader and the system leave for drivers.  In early
 * boot \SystemRoot names the Windows directory on an ARC path, either
 * directly or through \Device\BootDevice, and \ArcName\... leads to the
 * boot volume (unless arcOpens is false, when the ARC path names nothing).
 * Once the system has started, \SystemRoot names the directory on the
 * volume's own device. */
struct BootLinks {
    std::u16string arcName = u"\\ArcName\\multi(0)disk(0)rdisk(0)partition(1)";
    std::u16string volume = u"\\Device\\HarddiskVolume1";
    std::u16string windowsDirectory = u"\\Windows";
    bool throughBootDevice = false;
    bool arcOpens = true;
};
NTSTATUS SetUpEarlyBootLinks(const BootLinks &links = BootLinks());
/* Points \SystemRoot at the volume path, as the system does once it has
 * left early boot; the ARC links stay. */
NTSTATUS SetUpLateBootLinks(const BootLinks &links = BootLinks());

} // namespace sk
