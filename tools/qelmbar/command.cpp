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

namespace {

bool TakesArgument(const Flag &flag)
{
    return flag.Text || flag.List;
}

void Store(const Flag &flag, const std::string &argument)
{
    if (flag.Value)
        *flag.Value = true;
    if (flag.Text)
        *flag.Text = argument;
    if (flag.List)
        flag.List->push_back(argument);
}

} // namespace

bool ParseFlags(const std::string &command, const std::vector<std::string> &args,
                const std::vector<Flag> &flags, std::vector<std::string> *operands,
                int *exitStatus)
{
    bool optionsEnded = false;
    for (size_t at = 0; at < args.size(); at++) {
        const std::string &arg = args[at];
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
            if (!TakesArgument(*flag)) {
                if (equals != std::string::npos) {
                    *exitStatus = UsageError(command, "option '--" + bare + "' takes no value");
                    return false;
                }
                *flag->Value = true;
                continue;
            }
            if (equals != std::string::npos) {
                Store(*flag, name.substr(equals + 1));
                continue;
            }
            if (at + 1 >= args.size()) {
                *exitStatus = UsageError(command, "option '--" + bare + "' needs a value");
                return false;
            }
            Store(*flag, args[++at]);
            continue;
        }
        for (size_t i = 1; i < arg.size(); i++) {
            auto flag = std::find_if(flags.begin(), flags.end(),
                                     [&](const Flag &f) { return f.Short && arg[i] == f.Short; });
            if (flag == flags.end()) {
                *exitStatus = UsageError(command, std::string("unknown option '-") + arg[i] + "'");
                return false;
            }
            if (!TakesArgument(*flag)) {
                *flag->Value = true;
                continue;
            }
            /* -cARG, or -c ARG. */
            if (i + 1 < arg.size()) {
                Store(*flag, arg.substr(i + 1));
            } else if (at + 1 < args.size()) {
                Store(*flag, args[++at]);
            } else {
                *exitStatus = UsageError(command, std::string("option '-") + arg[i] +
                                                      "' needs a value");
                return false;
            }
            break;
        }
    }
    return true;
}

bool ParseNumber(const std::string &command, const std::string &option, const std::string &text,
                 unsigned long long min, unsigned long long max, unsigned long long *value,
                 int *exitStatus)
{
    unsigned long long number = 0;
    bool valid = !text.empty() && text.size() <= 20;
    for (char c : text) {
        if (c < '0' || c > '9') {
            valid = false;
            break;
        }
        unsigned digit = (unsigned)(c - '0');
        if (number > (~0ull - digit) / 10) {
            valid = false;
            break;
        }
        number = number * 10 + digit;
    }
    if (!valid || number < min || number > max) {
        *exitStatus = UsageError(command, "option '" + option + "' needs a whole number from " +
                                              std::to_string(min) + " to " +
                                              std::to_string(max) + ", not '" + text + "'");
        return false;
    }
    *value = number;
    return true;
}

} // namespace qelmbar::cli
