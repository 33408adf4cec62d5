/*
 * security.cpp - the descriptor a new key gets from its parent's.
 *
 * As NT assigns security to a new key created without a descriptor of its
 * own: the owner and group are the parent's; each ACL of the parent passes
 * on the ACEs that containers inherit.  An ACE marked for containers
 * (CONTAINER_INHERIT) applies to the new key, and unless it says
 * NO_PROPAGATE_INHERIT it is passed on again with its inheritance flags;
 * one that names CREATOR OWNER or CREATOR GROUP, or grants generic rights,
 * is split into an ACE for the key (the owner or group put in, the rights
 * mapped to key rights) and an inherit-only copy as it was.  An ACE for
 * objects only (OBJECT_INHERIT) is kept inherit-only for the subkeys' sake
 * unless it says NO_PROPAGATE_INHERIT.  Every ACE passed on is marked
 * INHERITED; ACEs not marked inheritable are not passed on.
 */
#include "simkernel/regf/bytes.h"
#include "simkernel/regf/regf.h"

namespace sk {
namespace regf {

namespace {

constexpr uint8_t kObjectInherit = 0x01;
constexpr uint8_t kContainerInherit = 0x02;
constexpr uint8_t kNoPropagate = 0x04;
constexpr uint8_t kInheritOnly = 0x08;
constexpr uint8_t kInherited = 0x10;
constexpr uint8_t kAuditFlags = 0xC0;

constexpr uint16_t kDaclPresent = 0x0004;
constexpr uint16_t kSaclPresent = 0x0010;
constexpr uint16_t kDaclAutoInherited = 0x0400;
constexpr uint16_t kSaclAutoInherited = 0x0800;
constexpr uint16_t kSelfRelative = 0x8000;

constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeyExecute = 0x20019;
constexpr uint32_t kKeyAllAccess = 0xF003F;

/* The ACE types that hold a mask and then a SID right after it. */
bool PlainAce(uint8_t type)
{
    return type <= 3 || type == 0x11 || type == 0x12 || type == 0x13;
}

uint32_t MapGeneric(uint32_t mask)
{
    uint32_t mapped = mask & 0x0FFFFFFF;
    if (mask & kGenericRead)
        mapped |= kKeyRead;
    if (mask & kGenericWrite)
        mapped |= kKeyWrite;
    if (mask & kGenericExecute)
        mapped |= kKeyExecute;
    if (mask & kGenericAll)
        mapped |= kKeyAllAccess;
    return mapped;
}

size_t SidLength(const uint8_t *sd, size_t size, uint32_t offset)
{
    if (offset == 0 || offset > size || size - offset < 8)
        return 0;
    const size_t length = 8 + 4 * (size_t)sd[offset + 1];
    if (sd[offset] != 1 || length > size - offset)
        return 0;
    return length;
}

bool CreatorSid(const uint8_t *sid, size_t length, uint32_t which)
{
    static const uint8_t prefix[8] = {1, 1, 0, 0, 0, 0, 0, 3};
    return length == 12 && memcmp(sid, prefix, 8) == 0 && Get32(sid + 8) == which;
}

void AppendAce(std::vector<uint8_t> &aces, uint8_t type, uint8_t flags, const uint8_t *body,
               size_t bodySize)
{
    const size_t at = aces.size();
    aces.resize(at + 4);
    aces[at] = type;
    aces[at + 1] = flags;
    Put16(&aces[at + 2], (uint16_t)(4 + bodySize));
    aces.insert(aces.end(), body, body + bodySize);
}

/* The ACEs of the ACL at offset that a new subkey inherits; false when the
 * ACL does not parse. */
bool InheritAcl(const uint8_t *sd, size_t size, uint32_t offset, const uint8_t *owner,
                size_t ownerLength, const uint8_t *group, size_t groupLength,
                std::vector<uint8_t> *aces, uint16_t *count)
{
    *count = 0;
    if (offset > size || size - offset < 8)
        return false;
    const uint8_t *acl = sd + offset;
    const size_t aclSize = Get16(acl + 2);
    const size_t n = Get16(acl + 4);
    if (aclSize < 8 || aclSize > size - offset)
        return false;
    size_t at = 8;
    for (size_t i = 0; i < n; i++) {
        if (aclSize - at < 4)
            return false;
        const uint8_t *ace = acl + at;
        const uint8_t type = ace[0], flags = ace[1];
        const size_t aceSize = Get16(ace + 2);
        if (aceSize < 4 || aceSize > aclSize - at)
            return false;
        at += aceSize;
        const uint8_t audit = flags & kAuditFlags;
        const bool propagate = !(flags & kNoPropagate);
        std::vector<uint8_t> body(ace + 4, ace + aceSize);
        if (flags & kContainerInherit) {
            bool creator = false;
            std::vector<uint8_t> effective = body;
            if (PlainAce(type) && body.size() >= 12) {
                const size_t sidLength = 8 + 4 * (size_t)body[5];
                if (4 + sidLength <= body.size()) {
                    const bool isOwner = CreatorSid(&body[4], sidLength, 0);
                    const bool isGroup = CreatorSid(&body[4], sidLength, 1);
                    if (isOwner || isGroup) {
                        creator = true;
                        effective.resize(4);
                        effective.insert(effective.end(), isOwner ? owner : group,
                                         (isOwner ? owner : group) +
                                             (isOwner ? ownerLength : groupLength));
                        effective.insert(effective.end(), body.begin() + 4 + (long)sidLength,
                                         body.end());
                    }
                }
            }
            bool generic = false;
            if (body.size() >= 4) {
                const uint32_t mask = Get32(&body[0]);
                generic = (mask & 0xF0000000) != 0;
                Put32(&effective[0], MapGeneric(mask));
            }
            if (propagate && (creator || generic)) {
                AppendAce(*aces, type, kInherited | audit, effective.data(), effective.size());
                AppendAce(*aces, type,
                          (uint8_t)((flags & (kObjectInherit | kContainerInherit)) | kInheritOnly |
                                    kInherited | audit),
                          body.data(), body.size());
                *count += 2;
            } else {
                const uint8_t passed =
                    propagate ? (uint8_t)(flags & (kObjectInherit | kContainerInherit)) : 0;
                AppendAce(*aces, type, (uint8_t)(passed | kInherited | audit), effective.data(),
                          effective.size());
                *count += 1;
            }
        } else if ((flags & kObjectInherit) && propagate) {
            AppendAce(*aces, type, (uint8_t)(kObjectInherit | kInheritOnly | kInherited | audit),
                      body.data(), body.size());
            *count += 1;
        }
    }
    return true;
}

void AppendAcl(std::vector<uint8_t> &sd, uint8_t revision, const std::vector<uint8_t> &aces,
               uint16_t count)
{
    const size_t at = sd.size();
    sd.resize(at + 8, 0);
    sd[at] = revision;
    Put16(&sd[at + 2], (uint16_t)(8 + aces.size()));
    Put16(&sd[at + 4], count);
    sd.insert(sd.end(), aces.begin(), aces.end());
}

} // namespace

bool InheritDescriptor(const uint8_t *parent, size_t size, std::vector<uint8_t> *child)
{
    if (size < 20 || parent[0] != 1)
        return false;
    const uint16_t control = Get16(parent + 2);
    if (!(control & kSelfRelative))
        return false;
    const uint32_t ownerAt = Get32(parent + 4), groupAt = Get32(parent + 8);
    const uint32_t saclAt = Get32(parent + 12), daclAt = Get32(parent + 16);
    const size_t ownerLength = SidLength(parent, size, ownerAt);
    const size_t groupLength = SidLength(parent, size, groupAt);
    if (!ownerLength || !groupLength)
        return false;
    const uint8_t *owner = parent + ownerAt, *group = parent + groupAt;

    std::vector<uint8_t> dacl, sacl;
    uint16_t daclCount = 0, saclCount = 0;
    const bool hasDacl = (control & kDaclPresent) && daclAt;
    const bool hasSacl = (control & kSaclPresent) && saclAt;
    if (hasDacl && !InheritAcl(parent, size, daclAt, owner, ownerLength, group, groupLength, &dacl,
                               &daclCount))
        return false;
    if (hasSacl && !InheritAcl(parent, size, saclAt, owner, ownerLength, group, groupLength, &sacl,
                               &saclCount))
        return false;

    /* Laid out as NT lays out a new descriptor: header, SACL, DACL, owner,
     * group. */
    uint16_t newControl = kSelfRelative;
    std::vector<uint8_t> sd(20, 0);
    sd[0] = 1;
    if (hasSacl && saclCount) {
        newControl |= kSaclPresent | (control & kSaclAutoInherited);
        Put32(&sd[12], (uint32_t)sd.size());
        AppendAcl(sd, parent[saclAt], sacl, saclCount);
    }
    if (hasDacl) {
        newControl |= kDaclPresent | (control & kDaclAutoInherited);
        Put32(&sd[16], (uint32_t)sd.size());
        AppendAcl(sd, parent[daclAt], dacl, daclCount);
    }
    Put32(&sd[4], (uint32_t)sd.size());
    sd.insert(sd.end(), owner, owner + ownerLength);
    Put32(&sd[8], (uint32_t)sd.size());
    sd.insert(sd.end(), group, group + groupLength);
    Put16(&sd[2], newControl);
    *child = std::move(sd);
    return true;
}

} // namespace regf
} // namespace sk
