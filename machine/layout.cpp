/*
 * layout.cpp - the layout of a machine directory: its volume, its hive
 * files and where the system mounts them, host paths of NT paths, and the
 * real-time clock kept between boots.
 */
#include "machine/internal.h"

#include <fstream>

namespace qm {

const char *HiveFileName(Hive hive)
{
    switch (hive) {
    case Hive::System: return "SYSTEM";
    case Hive::Software: return "SOFTWARE";
    case Hive::Sam: return "SAM";
    case Hive::Security: return "SECURITY";
    case Hive::Default: return "DEFAULT";
    }
    return "?";
}

std::u16string HiveMountPath(Hive hive)
{
    if (hive == Hive::Default)
        return u"\\REGISTRY\\USER\\.DEFAULT";
    return u"\\REGISTRY\\MACHINE\\" + U16(HiveFileName(hive));
}

std::string VolumeRoot(const std::string &dir)
{
    return (fs::path(dir) / "C").string();
}

std::string HiveFilePath(const std::string &dir, Hive hive)
{
    return (fs::path(VolumeRoot(dir)) / "Windows" / "System32" / "config" / HiveFileName(hive))
        .string();
}

std::optional<std::string> HostPathOf(const std::string &dir, const std::u16string &ntPath)
{
    static const std::pair<const char16_t *, const char16_t *> prefixes[] = {
        { u"\\??\\C:", u"" },
        { u"\\DosDevices\\C:", u"" },
        { u"\\GLOBAL??\\C:", u"" },
        { u"\\Device\\HarddiskVolume1", u"" },
        { u"\\SystemRoot", u"\\Windows" },
        { u"C:", u"" },
    };
    for (const auto &prefix : prefixes) {
        const std::u16string_view p(prefix.first);
        if (ntPath.size() < p.size() ||
            !EqualsIgnoringCase(std::u16string_view(ntPath).substr(0, p.size()), p))
            continue;
        if (ntPath.size() > p.size() && ntPath[p.size()] != u'\\')
            continue;
        fs::path host = VolumeRoot(dir);
        for (const std::u16string &part : sk::SplitKeyPath(prefix.second + ntPath.substr(p.size())))
            host /= sk::Utf8FromUtf16(part);
        return host.string();
    }
    return std::nullopt;
}

std::optional<LONGLONG> ReadClock(const std::string &dir)
{
    std::ifstream in(fs::path(dir) / kClockFile);
    long long value = 0;
    if (in >> value)
        return (LONGLONG)value;
    return std::nullopt;
}

void WriteClock(const std::string &dir, LONGLONG time)
{
    std::ofstream out(fs::path(dir) / kClockFile, std::ios::trunc);
    out << (long long)time << "\n";
}

} // namespace qm
