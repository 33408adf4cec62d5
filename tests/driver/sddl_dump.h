/*
 * sddl_dump.h - test-side reading and writing of self-relative security
 * descriptors, independent of simkernel's own code for them: Sddl() gives
 * the SDDL text of a descriptor so that a test can assert owner, group and
 * every ACE exactly, and RelativeDescriptor() lays out descriptors a test
 * stores in the registry or hands to the kernel.
 *
 * Sddl() prints a SID by its alias where it has one, rights by the names
 * the descriptor language has for exactly that mask (FA, FR, KA, ...), else
 * as generic and standard letter pairs, else as a lowercase hex mask, as
 * Windows prints them.  Anything it cannot read shows as "<bad ...>".
 */
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace qtest {

namespace sddl_detail {

inline uint16_t Get16(const std::vector<uint8_t> &b, size_t at)
{
    uint16_t v;
    memcpy(&v, &b[at], 2);
    return v;
}

inline uint32_t Get32(const std::vector<uint8_t> &b, size_t at)
{
    uint32_t v;
    memcpy(&v, &b[at], 4);
    return v;
}

inline void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
    memcpy(&b[at], &v, 2);
}

inline void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    memcpy(&b[at], &v, 4);
}

struct Alias {
    const char *name;
    const char *sid;
};

inline const std::vector<Alias> &Aliases()
{
    static const std::vector<Alias> aliases = {
        { "WD", "S-1-1-0" },      { "CO", "S-1-3-0" },      { "CG", "S-1-3-1" },
        { "OW", "S-1-3-4" },      { "NU", "S-1-5-2" },      { "IU", "S-1-5-4" },
        { "SU", "S-1-5-6" },      { "AN", "S-1-5-7" },      { "ED", "S-1-5-9" },
        { "PS", "S-1-5-10" },     { "AU", "S-1-5-11" },     { "RC", "S-1-5-12" },
        { "SY", "S-1-5-18" },     { "LS", "S-1-5-19" },     { "NS", "S-1-5-20" },
        { "BA", "S-1-5-32-544" }, { "BU", "S-1-5-32-545" }, { "BG", "S-1-5-32-546" },
        { "PU", "S-1-5-32-547" }, { "AO", "S-1-5-32-548" }, { "SO", "S-1-5-32-549" },
        { "PO", "S-1-5-32-550" }, { "BO", "S-1-5-32-551" }, { "RE", "S-1-5-32-552" },
        { "RU", "S-1-5-32-554" }, { "RD", "S-1-5-32-555" }, { "NO", "S-1-5-32-556" },
        { "AC", "S-1-15-2-1" },   { "UD", "S-1-5-84-0-0-0-0-0" },
    };
    return aliases;
}

/* The SID at, of at most available bytes, as "S-1-..." or its alias. */
inline std::optional<std::string> SidText(const std::vector<uint8_t> &b, size_t at,
                                          size_t available)
{
    if (available < 8 || b[at] != 1 || b[at + 1] > 15 || 8u + 4u * b[at + 1] > available)
        return std::nullopt;
    unsigned long long authority = 0;
    for (int i = 0; i < 6; i++)
        authority = (authority << 8) | b[at + 2 + i];
    std::string text = "S-1-" + std::to_string(authority);
    for (int i = 0; i < b[at + 1]; i++)
        text += "-" + std::to_string(Get32(b, at + 8 + 4 * i));
    for (const Alias &alias : Aliases())
        if (text == alias.sid)
            return std::string(alias.name);
    return text;
}

inline std::string RightsText(uint32_t mask)
{
    static const std::vector<std::pair<const char *, uint32_t>> exact = {
        { "FA", 0x1F01FF }, { "FR", 0x120089 }, { "FW", 0x120116 }, { "FX", 0x1200A0 },
        { "KA", 0xF003F },  { "KR", 0x20019 },  { "KW", 0x20006 },
    };
    static const std::vector<std::pair<const char *, uint32_t>> letters = {
        { "GA", 0x10000000 }, { "GR", 0x80000000 }, { "GW", 0x40000000 }, { "GX", 0x20000000 },
        { "RC", 0x00020000 }, { "SD", 0x00010000 }, { "WD", 0x00040000 }, { "WO", 0x00080000 },
    };
    for (const auto &e : exact)
        if (mask == e.second)
            return e.first;
    std::string text;
    uint32_t left = mask;
    for (const auto &l : letters) {
        if (mask & l.second) {
            text += l.first;
            left &= ~l.second;
        }
    }
    if (left == 0 && mask != 0)
        return text;
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%x", mask);
    return hex;
}

inline std::string AceFlagsText(uint8_t flags)
{
    static const std::vector<std::pair<const char *, uint8_t>> names = {
        { "OI", 0x01 }, { "CI", 0x02 }, { "NP", 0x04 }, { "IO", 0x08 },
        { "ID", 0x10 }, { "SA", 0x40 }, { "FA", 0x80 },
    };
    std::string text;
    for (const auto &n : names)
        if (flags & n.second)
            text += n.first;
    if (flags & 0x20)
        text += "<bad flag 0x20>";
    return text;
}

inline std::string AclText(const std::vector<uint8_t> &b, size_t at, size_t available)
{
    if (available < 8)
        return "<bad acl>";
    uint16_t size = Get16(b, at + 2);
    uint16_t count = Get16(b, at + 4);
    if (size < 8 || size > available)
        return "<bad acl size>";
    std::string text;
    size_t offset = 8;
    for (uint16_t i = 0; i < count; i++) {
        if (offset + 8 > size)
            return text + "<bad ace>";
        uint8_t type = b[at + offset];
        uint8_t flags = b[at + offset + 1];
        uint16_t aceSize = Get16(b, at + offset + 2);
        if (aceSize < 8 || offset + aceSize > size)
            return text + "<bad ace size>";
        std::optional<std::string> sid = SidText(b, at + offset + 8, aceSize - 8);
        std::string kind = type == 0 ? "A" : type == 1 ? "D" : "<type " + std::to_string(type) + ">";
        text += "(" + kind + ";" + AceFlagsText(flags) + ";" +
                RightsText(Get32(b, at + offset + 4)) + ";;;" + (sid ? *sid : "<bad sid>") + ")";
        offset += aceSize;
    }
    return text;
}

} // namespace sddl_detail

/* The SDDL text of a self-relative descriptor. */
inline std::string Sddl(const std::vector<uint8_t> &sd)
{
    using namespace sddl_detail;
    if (sd.size() < 20)
        return "<short descriptor>";
    if (sd[0] != 1)
        return "<bad revision>";
    uint16_t control = Get16(sd, 2);
    if (!(control & 0x8000))
        return "<not self-relative>";
    std::string text;
    uint32_t offsets[4] = { Get32(sd, 4), Get32(sd, 8), Get32(sd, 12), Get32(sd, 16) };
    for (uint32_t offset : offsets)
        if (offset && (offset < 20 || offset >= sd.size()))
            return "<offset out of range>";
    if (offsets[0]) {
        auto sid = SidText(sd, offsets[0], sd.size() - offsets[0]);
        text += "O:" + (sid ? *sid : "<bad sid>");
    }
    if (offsets[1]) {
        auto sid = SidText(sd, offsets[1], sd.size() - offsets[1]);
        text += "G:" + (sid ? *sid : "<bad sid>");
    }
    if (control & 0x0004) {
        text += "D:";
        if (control & 0x1000)
            text += "P";
        if (control & 0x0100)
            text += "AR";
        if (control & 0x0400)
            text += "AI";
        if (offsets[3])
            text += AclText(sd, offsets[3], sd.size() - offsets[3]);
        else
            text += "NO_ACCESS_CONTROL";
    }
    if (control & 0x0010)
        text += offsets[2] ? "S:" + AclText(sd, offsets[2], sd.size() - offsets[2]) : "S:NULL";
    return text;
}

/* One ACE for RelativeDescriptor: SID as "S-1-..." text. */
struct TestAce {
    uint8_t type;
    uint8_t flags;
    uint32_t mask;
    std::string sid;
};

inline std::vector<uint8_t> TestSid(const std::string &text)
{
    std::vector<unsigned long long> numbers;
    size_t at = 4;
    while (true) {
        size_t end = text.find('-', at);
        numbers.push_back(std::stoull(text.substr(at, end - at)));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    std::vector<uint8_t> sid(8 + 4 * (numbers.size() - 1), 0);
    sid[0] = 1;
    sid[1] = (uint8_t)(numbers.size() - 1);
    for (int i = 0; i < 6; i++)
        sid[2 + i] = (uint8_t)(numbers[0] >> (8 * (5 - i)));
    for (size_t i = 1; i < numbers.size(); i++)
        sddl_detail::Put32(sid, 8 + 4 * (i - 1), (uint32_t)numbers[i]);
    return sid;
}

inline std::vector<uint8_t> TestAcl(const std::vector<TestAce> &aces)
{
    std::vector<uint8_t> acl(8, 0);
    for (const TestAce &ace : aces) {
        std::vector<uint8_t> sid = TestSid(ace.sid);
        size_t at = acl.size();
        acl.resize(at + 8 + sid.size(), 0);
        acl[at] = ace.type;
        acl[at + 1] = ace.flags;
        sddl_detail::Put16(acl, at + 2, (uint16_t)(8 + sid.size()));
        sddl_detail::Put32(acl, at + 4, ace.mask);
        memcpy(&acl[at + 8], sid.data(), sid.size());
    }
    acl[0] = 2;
    sddl_detail::Put16(acl, 2, (uint16_t)acl.size());
    sddl_detail::Put16(acl, 4, (uint16_t)aces.size());
    return acl;
}

/* A self-relative descriptor with a DACL of the ACEs (and the control
 * bits given besides SE_SELF_RELATIVE and SE_DACL_PRESENT), laid out DACL
 * first, then owner and group when given. */
inline std::vector<uint8_t> RelativeDescriptor(const std::vector<TestAce> &aces,
                                               uint16_t control = 0x1000,
                                               const std::string &owner = "",
                                               const std::string &group = "")
{
    std::vector<uint8_t> sd(20, 0);
    sd[0] = 1;
    sddl_detail::Put16(sd, 2, (uint16_t)(control | 0x8004));
    std::vector<uint8_t> acl = TestAcl(aces);
    sddl_detail::Put32(sd, 16, (uint32_t)sd.size());
    sd.insert(sd.end(), acl.begin(), acl.end());
    if (!owner.empty()) {
        std::vector<uint8_t> sid = TestSid(owner);
        sddl_detail::Put32(sd, 4, (uint32_t)sd.size());
        sd.insert(sd.end(), sid.begin(), sid.end());
    }
    if (!group.empty()) {
        std::vector<uint8_t> sid = TestSid(group);
        sddl_detail::Put32(sd, 8, (uint32_t)sd.size());
        sd.insert(sd.end(), sid.begin(), sid.end());
    }
    return sd;
}

} // namespace qtest
