/*
 * staging_command.cpp - the target options and the reading and changing
 * of a target, shared by schedule, package, status, install and uninstall.
 */
#include "tools/qelmbar/staging_command.h"

#include "tools/qelmbar/script_report.h"

#include <cstdio>

namespace qelmbar::cli {

const char kTargetHelp[] =
    "Target (one of):\n"
    "      --machine DIR  the SYSTEM hive of the simulated machine in DIR\n"
    "      --hive FILE    a SYSTEM hive file, such as an offline Windows image's\n"
    "                     Windows\\System32\\config\\SYSTEM; a change writes the file\n"
    "                     anew, every key with one default security descriptor\n"
    "      --live         the running system's registry (Windows build only, and\n"
    "                     the default there)\n"
    "      --accept-dirty with --hive: take a dirty hive (one Windows did not finish\n"
    "                     writing) whose transaction logs are missing or unusable as\n"
    "                     it is on disk; a dirty hive with its logs is always read\n"
    "                     as the logs bring it up to date\n"
    "Offline, CurrentControlSet is the control set that Select\\Current names.\n";

bool ParseStagingArgs(const std::string &command, const char *help,
                      const std::vector<std::string> &args, const std::vector<Flag> &flags,
                      StagingArgs *parsed, int *exitStatus)
{
    bool helpWanted = false;
    std::vector<Flag> all = { { "machine", 0, nullptr, &parsed->Choice.MachineDir },
                              { "hive", 0, nullptr, &parsed->Choice.HiveFile },
                              { "live", 0, &parsed->Choice.Live },
                              { "accept-dirty", 0, &parsed->Choice.AcceptDirty } };
    all.insert(all.end(), flags.begin(), flags.end());
    all.push_back({ "json", 0, &parsed->Json });
    all.push_back({ "help", 'h', &helpWanted });
    *exitStatus = kExitOk;
    if (!ParseFlags(command, args, all, &parsed->Operands, exitStatus))
        return false;
    if (helpWanted) {
        std::printf(help, kTargetHelp);
        return false;
    }
    return true;
}

std::unique_ptr<staging::Target> OpenChosenTarget(const std::string &command,
                                                  const staging::TargetChoice &choice,
                                                  int *exitStatus)
{
    std::string error;
    std::unique_ptr<staging::Target> target = staging::OpenTarget(choice, &error);
    if (!target)
        *exitStatus = UsageError(command, error);
    return target;
}

std::string TargetName(const staging::Target &target)
{
    std::string kind = target.Kind();
    if (kind == "live")
        return "the live registry";
    return kind + " " + target.Location();
}

bool ReadDriverState(staging::Target &target, staging::Snapshot *snapshot,
                     staging::DriverState *state, int *exitStatus)
{
    std::string error;
    if (!target.Read(snapshot, &error)) {
        PrintError("cannot read " + TargetName(target) + ": " + error);
        *exitStatus = kExitTrouble;
        return false;
    }
    *state = staging::InterpretSnapshot(*snapshot);
    if (ParserLeftPool("the scripts staged on " + TargetName(target))) {
        *exitStatus = kExitTrouble;
        return false;
    }
    return true;
}

bool ReadInstalledDriverState(staging::Target &target, staging::Snapshot *snapshot,
                              staging::DriverState *state, int *exitStatus)
{
    if (!ReadDriverState(target, snapshot, state, exitStatus))
        return false;
    if (state->Installed)
        return true;
    *exitStatus = Refuse("the driver is not installed on " + TargetName(target) +
                         "; run 'qelmbar install' first");
    return false;
}

bool OpenTargetState(const std::string &command, const char *help,
                     const std::vector<std::string> &args, const std::vector<Flag> &flags,
                     StagingArgs *parsed, TargetState *opened, int *exitStatus)
{
    if (!ParseStagingArgs(command, help, args, flags, parsed, exitStatus))
        return false;
    if (!parsed->Operands.empty()) {
        *exitStatus = UsageError(command, "unexpected argument '" + parsed->Operands[0] + "'");
        return false;
    }
    opened->Target = OpenChosenTarget(command, parsed->Choice, exitStatus);
    return opened->Target &&
           ReadDriverState(*opened->Target, &opened->Snapshot, &opened->State, exitStatus);
}

bool ApplyChange(staging::Target &target, const staging::Change &change, int *exitStatus)
{
    std::string error;
    if (target.Apply(change, &error))
        return true;
    PrintError("nothing was changed on " + TargetName(target) + ": " + error);
    *exitStatus = kExitTrouble;
    return false;
}

int Refuse(const std::string &message)
{
    PrintError(message);
    return kExitNo;
}

int Refuse(const std::string &message, int32_t status)
{
    PrintError(message, status);
    return kExitNo;
}

JsonWriter TargetJson(const staging::Target &target)
{
    JsonWriter json;
    json.BeginObject();
    json.Key("target").BeginObject();
    json.Member("kind", target.Kind());
    json.Member("location", target.Location());
    json.EndObject();
    return json;
}

void PrintJson(const JsonWriter &json)
{
    WriteJsonOutput(json.Text() + "\n");
}

} // namespace qelmbar::cli
