/*
 * bytes.h - little-endian fields and names as the hive format stores them;
 * internal to the regf library.
 */
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace sk {
namespace regf {

inline uint16_t Get16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

inline uint32_t Get32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline uint64_t Get64(const uint8_t *p)
{
    return Get32(p) | (uint64_t)Get32(p + 4) << 32;
}

inline void Put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

inline void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

inline void Put64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

inline size_t RoundUp(size_t n, size_t unit)
{
    return (n + unit - 1) / unit * unit;
}

/* NT keeps a name in one byte a character when every character fits. */
inline bool Compressible(const std::u16string &name)
{
    for (char16_t c : name) {
        if (c > 0xFF)
            return false;
    }
    return true;
}

inline size_t StoredNameBytes(const std::u16string &name)
{
    return Compressible(name) ? name.size() : name.size() * 2;
}

inline void PutName(uint8_t *p, const std::u16string &name, bool compressed)
{
    for (size_t i = 0; i < name.size(); i++) {
        if (compressed)
            p[i] = (uint8_t)name[i];
        else
            Put16(p + 2 * i, name[i]);
    }
}

inline bool GetName(const uint8_t *p, size_t room, size_t bytes, bool compressed,
                    std::u16string *out)
{
    if (bytes > room || (!compressed && bytes % 2))
        return false;
    out->clear();
    if (compressed) {
        for (size_t i = 0; i < bytes; i++)
            out->push_back(p[i]);
    } else {
        for (size_t i = 0; i < bytes; i += 2)
            out->push_back(Get16(p + i));
    }
    return true;
}

/* Offsets in the payload of the cells. */
enum : size_t {
    kNkFlags = 0x02,
    kNkLastWrite = 0x04,
    kNkAccess = 0x0C,
    kNkParent = 0x10,
    kNkSubkeys = 0x14,
    kNkVolatileSubkeys = 0x18,
    kNkSubkeyList = 0x1C,
    kNkVolatileSubkeyList = 0x20,
    kNkValues = 0x24,
    kNkValueList = 0x28,
    kNkSecurity = 0x2C,
    kNkClass = 0x30,
    kNkMaxName = 0x34,
    kNkMaxClass = 0x38,
    kNkMaxValueName = 0x3C,
    kNkMaxValueData = 0x40,
    kNkWorkVar = 0x44,
    kNkNameLength = 0x48,
    kNkClassLength = 0x4A,
    kNkName = 0x4C,

    kVkNameLength = 0x02,
    kVkDataLength = 0x04,
    kVkData = 0x08,
    kVkType = 0x0C,
    kVkFlags = 0x10,
    kVkName = 0x14,

    kSkFlink = 0x04,
    kSkBlink = 0x08,
    kSkReferences = 0x0C,
    kSkLength = 0x10,
    kSkDescriptor = 0x14,
};

constexpr uint32_t kInlineData = 0x80000000;

inline uint16_t Sig(const char *two)
{
    return (uint16_t)((uint8_t)two[0] | (uint8_t)two[1] << 8);
}

} // namespace regf
} // namespace sk
