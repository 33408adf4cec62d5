/*
 * command.cpp - the command registry, error reporting and flag parsing
 * shared by the subcommands.
 */
#include "tools/qelmbar/command.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qelmbar::cli {

namespace {

/* A function-local table, so that registrations from other files' static
 * objects never run before it exists. */
std::vector<Command> &Registry()
{
    static std::vector<Command> commands;
    return commands;
}

} // namespace

CommandRegistration::CommandRegistration(const Command &command)
{
    Registry().push_back(command);
}

std::vector<Command> Commands()
{
    std::vector<Command> commands = Registry();
    std::sort(commands.begin(), commands.end(), [](const Command &a, const Command &b) {
        return std::strcmp(a.Name, b.Name) < 0;
    });
    return commands;
}

void PrintError(const std::string &message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    std::fflush(stderr);
}

int UsageError(const std::string &command, const std::string &message)
{
    std::string prefix = command.empty() ? "" : command + ": ";
    std::string help = command.empty() ? std::string(kProgram) + " --help"
                                       : std::string(kProgram) + " " + command + " --help";
    PrintError(prefix + message);
    std::fprintf(stderr, "Try '%s' for more information.\n", help.c_str());
    return kExitTrouble;
}

bool ParseFlags(const std::string &command, const std::vector<std::string> &args,
                const std::vector<Flag> &flags, std::vector<std::string> *operands,
                int *exitStatus)
{
    bool optionsEnded = false;
    for (const std::string &arg : args) {
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            operands->push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg[1] == '-') {
            std::string name = arg.substr(2);
            size_t equals = name.find('=');
            std::string bare = name.substr(0, equals);
            auto flag = std::find_if(flags.begin(), flags.end(),
                                     [&](const Flag &f) { return bare == f.Long; });
            if (flag == flags.end()) {
                *exitStatus = UsageError(command, "unknown option '--" + bare + "'");
                return false;
            }
            if (equals != std::string::npos) {
                *exitStatus = UsageError(command, "option '--" + bare + "' takes no value");
                return false;
            }
            *flag->Value = true;
            continue;
        }
        for (size_t i = 1; i < arg.size(); i++) {
            auto flag = std::find_if(flags.begin(), flags.end(),
                                     [&](const Flag &f) { return f.Short && arg[i] == f.Short; });
            if (flag == flags.end()) {
                *exitStatus = UsageError(command, std::string("unknown option '-") + arg[i] + "'");
                return false;
            }
            *flag->Value = true;
        }
    }
    return true;
}

} // namespace qelmbar::cli
