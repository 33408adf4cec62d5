/*
 * command.cpp - the command registry, error reporting and flag parsing
 * shared by the subcommands.
 */
#include "tools/qelmbar/command.h"

#include "simkernel/status_names.h"
#include "tools/lib/json.h"

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

namespace {

struct JsonState {
    bool On = false;
    bool Written = false; /* the command wrote (part of) its object */
    bool HaveError = false;
    std::string Message;
    bool HaveStatus = false;
    int32_t Status = 0;
};

JsonState &Json()
{
    static JsonState state;
    return state;
}

void KeepError(const std::string &message, bool haveStatus, int32_t status)
{
    JsonState &json = Json();
    if (json.HaveError || message.compare(0, 9, "warning: ") == 0)
        return;
    json.HaveError = true;
    json.Message = message;
    json.HaveStatus = haveStatus;
    json.Status = status;
}

} // namespace

void PrintError(const std::string &message)
{
    KeepError(message, false, 0);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    std::fflush(stderr);
}

void PrintError(const std::string &message, int32_t status)
{
    KeepError(message, true, status);
    PrintError(message);
}

void NoteError(const std::string &message)
{
    KeepError(message, false, 0);
}

void NoteError(const std::string &message, int32_t status)
{
    KeepError(message, true, status);
}

void SetJsonOutput(bool on)
{
    Json().On = on;
}

bool JsonOutput()
{
    return Json().On;
}

void WriteJsonOutput(const std::string &text)
{
    Json().Written = true;
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void PutJsonError(JsonWriter *json)
{
    const JsonState &state = Json();
    json->Key("error").BeginObject();
    json->Member("message", state.HaveError ? state.Message : std::string("failed"));
    json->Key("status");
    if (state.HaveStatus) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", (unsigned)state.Status);
        json->BeginObject();
        json->Member("code", (unsigned long long)(uint32_t)state.Status);
        json->Member("hex", hex);
        json->Key("name");
        if (const char *name = sk::StatusName((NTSTATUS)state.Status))
            json->String(name);
        else
            json->Null();
        json->EndObject();
    } else {
        json->Null();
    }
    json->EndObject();
}

int FinishJson(int exitStatus)
{
    const JsonState &state = Json();
    if (!state.On || state.Written || (exitStatus == kExitOk && !state.HaveError))
        return exitStatus;
    JsonWriter json;
    json.BeginObject();
    PutJsonError(&json);
    json.Member("exitStatus", exitStatus);
    json.EndObject();
    WriteJsonOutput(json.Text() + "\n");
    return exitStatus;
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
