/*
 * install_command.cpp - qelmbar install: makes the driver a boot-start
 * service of the target, leaving whatever is staged for it alone.
 */
#include "tools/qelmbar/command.h"
#include "tools/qelmbar/staging_command.h"

#include <cctype>
#include <cstdio>
#include <filesystem>

namespace qelmbar::cli {

namespace {

using namespace qelmbar::staging;
namespace fs = std::filesystem;

const char kName[] = "install";

const char kHelp[] =
    "Usage: qelmbar install [TARGET] [--json]\n"
    "\n"
    "Installs the driver as a service of the target, in\n"
    "CurrentControlSet\\Services\\Qelmbar: a kernel driver (Type 1) that the boot\n"
    "loader starts (Start 0) with the boot bus extenders (Group \"Boot Bus\n"
    "Extender\"), whose failure to load is logged while the boot goes on\n"
    "(ErrorControl 1), from \\SystemRoot\\System32\\drivers\\qelmbar.sys (ImagePath,\n"
    "REG_EXPAND_SZ; System32\\drivers\\qelmbar.sys, the same file, is kept).\n"
    "Values that already hold this are left alone and others are set; other\n"
    "values and the Parameters key, with the counters and everything staged, are\n"
    "kept.  The image itself is not copied: a warning says so when the target's\n"
    "System32\\drivers has no qelmbar.sys.\n"
    "\n"
    "Options:\n"
    "      --json  print what was done as JSON on stdout\n"
    "  -h, --help  show this help and exit\n"
    "\n"
    "%s"
    "\n"
    "Exit status: 0 when the service is installed; 1 when the target has no\n"
    "Services key to install into; 2 on a usage error, a target that cannot be\n"
    "read, or a write that failed (nothing is changed then).\n";

struct Wanted {
    const char16_t *Name;
    uint32_t Type;
    std::vector<uint8_t> Data;
};

/* The file, or one of the same name in another case beside it. */
bool ImagePresent(const std::string &path)
{
    std::error_code ec;
    fs::path file = fs::u8path(path);
    if (fs::exists(file, ec))
        return true;
    std::string name = file.filename().u8string();
    for (const auto &entry : fs::directory_iterator(file.parent_path(), ec)) {
        std::string other = entry.path().filename().u8string();
        if (other.size() != name.size())
            continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; i++)
            same = std::tolower((unsigned char)other[i]) == std::tolower((unsigned char)name[i]);
        if (same)
            return true;
    }
    return false;
}

int RunInstall(const std::vector<std::string> &args)
{
    StagingArgs parsed;
    TargetState opened;
    int status = kExitOk;
    if (!OpenTargetState(kName, kHelp, args, {}, &parsed, &opened, &status))
        return status;
    Target &target = *opened.Target;
    const Snapshot &snapshot = opened.Snapshot;
    const DriverState &state = opened.State;
    const bool json = parsed.Json;
    if (!snapshot.ServicesExists)
        return Refuse(TargetName(target) + " has no " + snapshot.ControlSet +
                      "\\Services key to install into; is it a SYSTEM hive?");

    /* Start last: until it is written, a partly written key is no
     * service the boot loader starts. */
    const Wanted wanted[] = {
        { u"ImagePath", kTypeExpandSz, StringBytes(kServiceImagePath) },
        { u"Type", kTypeDword, DwordBytes(kServiceType) },
        { u"ErrorControl", kTypeDword, DwordBytes(kServiceErrorControl) },
        { u"Group", kTypeSz, StringBytes(kServiceGroup) },
        { u"Start", kTypeDword, DwordBytes(kServiceStart) },
    };
    Change change;
    change.ExpectKey(kServiceKey, state.Installed);
    change.CreateKey(kServiceKey);
    std::vector<std::string> written;
    for (const Wanted &value : wanted) {
        const Value *current = snapshot.Service ? snapshot.Service->FindValue(value.Name) : nullptr;
        if (current && current->Type == value.Type && current->Data == value.Data)
            continue;
        /* The same image named relative to the Windows directory. */
        std::optional<std::u16string> text = AsString(current);
        if (text && current->Type == kTypeExpandSz && std::u16string(value.Name) == u"ImagePath" &&
            NamesDriverImage(*text))
            continue;
        change.ExpectValue(kServiceKey, value.Name, current);
        change.SetValue(kServiceKey, value.Name, value.Type, value.Data);
        written.push_back(Utf8(value.Name));
    }
    if (!written.empty() && !ApplyChange(target, change, &status))
        return status;

    std::optional<std::string> image = target.DriverImageFile();
    bool imagePresent = image && ImagePresent(*image);
    if (image && !imagePresent)
        PrintError("warning: " + *image +
                   " is missing; the boot loader will not find the driver until it is there");

    if (json) {
        JsonWriter out = TargetJson(target);
        out.Member("controlSet", snapshot.ControlSet);
        out.Member("wasInstalled", state.Installed);
        out.Key("written").BeginArray();
        for (const std::string &name : written)
            out.String(name);
        out.EndArray();
        out.Key("image").BeginObject();
        out.Key("path");
        if (image)
            out.String(*image);
        else
            out.Null();
        out.Key("present");
        if (image)
            out.Bool(imagePresent);
        else
            out.Null();
        out.EndObject();
        out.EndObject();
        PrintJson(out);
    } else if (written.empty()) {
        std::printf("%s: the driver is already installed as a boot-start service\n",
                    TargetName(target).c_str());
    } else {
        std::string names;
        for (const std::string &name : written)
            names += (names.empty() ? "" : ", ") + name;
        std::printf("%s: the driver is %s as a boot-start service in %s\\Services\\Qelmbar (%s "
                    "written)\n",
                    TargetName(target).c_str(), state.Installed ? "now installed" : "installed",
                    snapshot.ControlSet.c_str(), names.c_str());
    }
    return kExitOk;
}

const CommandRegistration kRegistration(
    { kName, "install the driver as a boot-start service", RunInstall });

} // namespace

} // namespace qelmbar::cli
