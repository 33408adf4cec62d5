/*
 * create.cpp - new machines, and copies of machines with their files'
 * extended attributes.
 */
#include "machine/internal.h"

#include "simkernel/hive_load.h"
#include "simkernel/registry.h"
#include "simkernel/sim.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/xattr.h>

namespace qm {

namespace {

bool CopyAttributes(const fs::path &from, const fs::path &to, std::string *error)
{
    ssize_t size = llistxattr(from.c_str(), nullptr, 0);
    if (size <= 0)
        return true;
    std::vector<char> names((size_t)size);
    size = llistxattr(from.c_str(), names.data(), names.size());
    if (size < 0)
        return true;
    for (size_t at = 0; at < (size_t)size;) {
        const char *name = names.data() + at;
        at += strlen(name) + 1;
        ssize_t length = lgetxattr(from.c_str(), name, nullptr, 0);
        if (length < 0)
            continue;
        std::vector<char> value((size_t)length);
        length = lgetxattr(from.c_str(), name, value.data(), value.size());
        if (length < 0)
            continue;
        if (lsetxattr(to.c_str(), name, value.data(), (size_t)length, 0) != 0 &&
            strncmp(name, "user.", 5) == 0) {
            SetError(error, to.string() + ": " + name + ": " + strerror(errno));
            return false;
        }
    }
    return true;
}

} // namespace

bool CreateMachine(const std::string &dir, std::string *error)
{
    std::error_code ec;
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) {
            SetError(error, dir + ": exists and is no directory");
            return false;
        }
        if (!fs::is_empty(dir, ec)) {
            SetError(error, dir + ": exists and is not empty");
            return false;
        }
    }
    const fs::path windows = fs::path(VolumeRoot(dir)) / "Windows";
    for (const fs::path &sub : { windows / "System32" / "config", windows / "System32" / "drivers",
                                 windows / "Temp" }) {
        fs::create_directories(sub, ec);
        if (ec) {
            SetError(error, sub.string() + ": " + ec.message());
            return false;
        }
    }
    {
        std::ofstream image(windows / "System32" / "drivers" / "qelmbar.sys", std::ios::binary);
        if (!image) {
            SetError(error, (windows / "System32" / "drivers" / "qelmbar.sys").string() +
                                ": cannot be created");
            return false;
        }
    }

    bool wrote = WorkInChild(
        [&] {
            sk::ResetKernel();
            std::string message;
            auto check = [&](const std::string &step, NTSTATUS status) {
                if (!NT_SUCCESS(status) && message.empty())
                    message = step + ": " + Status(status);
            };
            for (Hive hive : kAllHives)
                check(std::string("mounting ") + HiveFileName(hive),
                      sk::MountHive(HiveMountPath(hive), U16(HiveFileName(hive)),
                                    U16(HiveFilePath(dir, hive))));

            const std::u16string system = HiveMountPath(Hive::System);
            const std::u16string select = system + u"\\Select";
            check("Select", sk::RegCreateKey(select));
            check("Select", sk::RegSetDword(select, u"Current", 1));
            check("Select", sk::RegSetDword(select, u"Default", 1));
            check("Select", sk::RegSetDword(select, u"Failed", 0));
            check("Select", sk::RegSetDword(select, u"LastKnownGood", 1));
            const std::u16string service = system + u"\\" + kServiceKey;
            check("service", sk::RegCreateKey(service));
            check("service", sk::RegSetDword(service, u"Type", 1));
            check("service", sk::RegSetDword(service, u"Start", 0));
            check("service", sk::RegSetDword(service, u"ErrorControl", 1));
            check("service", sk::RegSetString(service, u"ImagePath",
                                              u"System32\\drivers\\qelmbar.sys", REG_EXPAND_SZ));
            check("service", sk::RegSetString(service, u"Group", u"Boot Bus Extender"));
            check("Class", sk::RegCreateKey(system + u"\\ControlSet001\\Control\\Class"));

            const std::u16string version =
                HiveMountPath(Hive::Software) + u"\\Microsoft\\Windows NT\\CurrentVersion";
            check("CurrentVersion", sk::RegCreateKey(version));
            check("CurrentVersion", sk::RegSetString(version, u"SystemRoot", u"C:\\Windows"));
            check("CurrentVersion", sk::RegSetString(version, u"CurrentBuildNumber", u"19045"));
            check("SAM", sk::RegCreateKey(HiveMountPath(Hive::Sam) + u"\\SAM\\Domains\\Account"));
            check("SECURITY", sk::RegCreateKey(HiveMountPath(Hive::Security) + u"\\Policy"));
            check("DEFAULT", sk::RegCreateKey(HiveMountPath(Hive::Default) + u"\\Control Panel"));
            check("DEFAULT", sk::RegCreateKey(HiveMountPath(Hive::Default) + u"\\Software"));

            for (Hive hive : kAllHives)
                check(std::string("writing ") + HiveFileName(hive), FlushKeyAt(HiveMountPath(hive)));
            return message;
        },
        error);
    if (!wrote)
        return false;
    for (Hive hive : kAllHives) {
        if (!ReadHive(dir, hive, error))
            return false;
    }
    return true;
}

bool CopyMachine(const std::string &src, const std::string &dst, std::string *error)
{
    std::error_code ec;
    if (!fs::is_directory(src, ec)) {
        SetError(error, src + ": no machine directory");
        return false;
    }
    if (fs::exists(dst, ec)) {
        SetError(error, dst + ": exists already");
        return false;
    }
    if (!fs::create_directories(dst, ec)) {
        SetError(error, dst + ": " + ec.message());
        return false;
    }
    for (auto it = fs::recursive_directory_iterator(src, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const fs::path from = it->path();
        const fs::path to = fs::path(dst) / fs::relative(from, src);
        if (it->is_symlink(ec)) {
            fs::copy_symlink(from, to, ec);
        } else if (it->is_directory(ec)) {
            fs::create_directory(to, ec);
        } else {
            fs::copy_file(from, to, ec);
        }
        if (ec) {
            SetError(error, to.string() + ": " + ec.message());
            return false;
        }
        if (!CopyAttributes(from, to, error))
            return false;
    }
    if (ec) {
        SetError(error, src + ": " + ec.message());
        return false;
    }
    return true;
}

} // namespace qm
