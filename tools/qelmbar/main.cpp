/*
 * main.cpp - qelmbar, the user tool of the Qelmbar driver: picks the
 * subcommand and runs it against the simulated kernel.
 */
#include "simkernel/sim.h"
#include "tools/qelmbar/command.h"

#include <cstdio>
#include <cstdlib>

using namespace qelmbar::cli;

namespace {

void PrintUsage(std::FILE *out)
{
    std::fprintf(out,
                 "Usage: %s COMMAND [OPTION]... [ARGUMENT]...\n"
                 "\n"
                 "Works with the scripts that installers hand the Qelmbar driver, using the\n"
                 "driver's own code.\n"
                 "\n"
                 "Commands:\n",
                 kProgram);
    for (const Command &command : Commands())
        std::fprintf(out, "  %-10s %s\n", command.Name, command.Summary);
    std::fprintf(out,
                 "\n"
                 "Options:\n"
                 "  -h, --help     show this help and exit\n"
                 "      --version  show the version and exit\n"
                 "\n"
                 "Run '%s COMMAND --help' for the options of a command.\n",
                 kProgram);
}

} // namespace

int main(int argc, char **argv)
{
    /* A kernel rule broken by the driver's code is a fault of the tool, and
     * nothing it would say afterwards could be trusted. */
    sk::SetViolationHandler([](const std::string &message) {
        PrintError("internal error: the driver code broke a kernel rule: " + message);
        std::_Exit(FinishJson(kExitTrouble));
    });

    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string &arg : args) {
        if (arg == "--")
            break;
        if (arg == "--json")
            SetJsonOutput(true);
    }
    if (args.empty()) {
        PrintUsage(stderr);
        return kExitTrouble;
    }
    const std::string &first = args[0];
    if (first == "--help" || first == "-h") {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (first == "--version") {
        std::printf("%s %s\n", kProgram, kVersion);
        return kExitOk;
    }
    if (!first.empty() && first[0] == '-')
        return FinishJson(UsageError("", "unknown option '" + first + "'"));

    for (const Command &command : Commands()) {
        if (first == command.Name)
            return FinishJson(command.Run(std::vector<std::string>(args.begin() + 1, args.end())));
    }
    return FinishJson(UsageError("", "unknown command '" + first + "'"));
}
