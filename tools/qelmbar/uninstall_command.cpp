/*
 * uninstall_command.cpp - qelmbar uninstall: removes the driver's service
 * key, and with it everything staged, once nothing staged would be lost.
 */
#include "tools/qelmbar/command.h"
#include "tools/qelmbar/staging_command.h"

#include <cstdio>

namespace qelmbar::cli {

namespace {

using namespace qelmbar::staging;

const char kName[] = "uninstall";

const char kHelp[] =
    "Usage: qelmbar uninstall [TARGET] [--force] [--json]\n"
    "\n"
    "Deletes the driver's service key CurrentControlSet\\Services\\Qelmbar with\n"
    "everything beneath it: the Parameters key with the counters, the one-shot\n"
    "list and every package key.  Refused while a one-shot list or a package\n"
    "is staged (a key in state \"Package\", set up or not), unless --force is\n"
    "given: their scripts would never run, and a package already set up could\n"
    "no longer be reverted.  Keys of finished packages do not hold it back.\n"
    "The image qelmbar.sys is left where it is; on the live system the driver\n"
    "stays loaded until the next restart.\n"
    "\n"
    "Options:\n"
    "      --force  uninstall even with work staged, which is then lost\n"
    "      --json   print what was done as JSON on stdout\n"
    "  -h, --help   show this help and exit\n"
    "\n"
    "%s"
    "\n"
    "Exit status: 0 when the driver is not installed (any more); 1 when work is\n"
    "staged and --force is not given; 2 on a usage error, a target that cannot\n"
    "be read, or a write that failed (nothing is changed then).\n";

int RunUninstall(const std::vector<std::string> &args)
{
    bool force = false;
    StagingArgs parsed;
    TargetState opened;
    int status = kExitOk;
    if (!OpenTargetState(kName, kHelp, args, { { "force", 0, &force } }, &parsed, &opened, &status))
        return status;
    Target &target = *opened.Target;
    const Snapshot &snapshot = opened.Snapshot;
    const DriverState &state = opened.State;
    const bool json = parsed.Json;

    const bool listStaged = state.OneShotList.Present;
    const size_t packages = state.StagedPackages();
    std::string staged;
    if (listStaged)
        staged = "a one-shot list";
    if (packages)
        staged += (staged.empty() ? "" : " and ") + std::to_string(packages) +
                  (packages == 1 ? " package" : " packages");
    if (state.Installed && !staged.empty() && !force)
        return Refuse(TargetName(target) + " holds " + staged +
                      " for the driver, which uninstalling would discard; see 'qelmbar status', "
                      "or use --force");

    if (state.Installed) {
        const Key &service = *snapshot.Service;
        const Key *parameters = FindParameters(snapshot);
        Change change;
        /* Held to what was read: work staged meanwhile is not discarded
         * unseen. */
        change.ExpectKey(kServiceKey, true);
        change.ExpectKey(kParametersKey, parameters != nullptr);
        if (parameters) {
            change.ExpectValue(kParametersKey, kOneShotListName,
                               parameters->FindValue(kOneShotListName));
            for (const Key &package : parameters->Subkeys)
                change.ExpectValue(PackageKeyPath(package.Name), u"", package.FindValue(u""));
        }
        /* Start first: from then on the boot loader no longer starts the
         * driver, whatever of the key is left. */
        if (const Value *start = service.FindValue(u"Start")) {
            change.ExpectValue(kServiceKey, u"Start", start);
            change.DeleteValue(kServiceKey, u"Start");
        }
        change.DeleteTree(kServiceKey);
        if (!ApplyChange(target, change, &status))
            return status;
        if (!staged.empty())
            PrintError("warning: " + staged + " staged for the driver " +
                       (listStaged + packages == 1 ? "was" : "were") + " discarded");
    }

    if (json) {
        JsonWriter out = TargetJson(target);
        out.Member("wasInstalled", state.Installed);
        out.Member("discardedOneShotList", state.Installed && listStaged);
        out.Member("discardedPackages", state.Installed ? packages : 0);
        out.EndObject();
        PrintJson(out);
    } else if (state.Installed) {
        std::printf("%s: the driver's service key is removed\n", TargetName(target).c_str());
    } else {
        std::printf("%s: the driver is not installed\n", TargetName(target).c_str());
    }
    return kExitOk;
}

const CommandRegistration kRegistration(
    { kName, "remove the driver's service and everything staged for it", RunUninstall });

} // namespace

} // namespace qelmbar::cli
