/*
 * command.h - the subcommands of qelmbar and what they share.
 *
 * Each subcommand lives in a file of its own and registers itself with a
 * static CommandRegistration; main() finds it by name and lists it in
 * qelmbar --help.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qelmbar {
class JsonWriter;
}

namespace qelmbar::cli {

constexpr const char *kProgram = "qelmbar";
constexpr const char *kVersion = "0.1.0";

/* Exit statuses. */
constexpr int kExitOk = 0;
constexpr int kExitNo = 1;      /* the command's answer is no, e.g. an invalid script */
constexpr int kExitTrouble = 2; /* no answer: a usage, I/O or internal error */

struct Command {
    const char *Name;
    const char *Summary; /* one line for qelmbar --help */
    /* Runs with the arguments after the command's name; returns the exit
     * status. */
    int (*Run)(const std::vector<std::string> &args);
};

class CommandRegistration {
public:
    explicit CommandRegistration(const Command &command);
};

/* Every registered command, by name. */
std::vector<Command> Commands();

/* "qelmbar: message" on stderr.  Under --json the first message that is
 * not a warning is also kept for the error object. */
void PrintError(const std::string &message);
/* The same for a failure with an NTSTATUS behind it, which the error
 * object names. */
void PrintError(const std::string &message, int32_t status);

/*
 * --json: every outcome of a command is one JSON object on stdout.  main()
 * turns it on when --json stands among the command's flags; a command
 * writes its object with WriteJsonOutput (in one piece or in parts), and
 * FinishJson, at the end, prints {"error": {...}} in place of an object
 * the command never wrote.
 */
void SetJsonOutput(bool on);
/* Keeps an error that was reported in a form of its own (with a caret,
 * say) for the error object. */
void NoteError(const std::string &message);
void NoteError(const std::string &message, int32_t status);
bool JsonOutput();
/* Writes text of the command's JSON object to stdout and flushes it. */
void WriteJsonOutput(const std::string &text);
/* "error": {"message": ..., "status": {"code", "hex", "name"} or null},
 * from the first error reported, into an open object. */
void PutJsonError(JsonWriter *json);
/* Under --json, when a failing command wrote no object: the error object.
 * Returns exitStatus. */
int FinishJson(int exitStatus);

/* A usage error of a command ("" for qelmbar itself): the message and where
 * to read about usage.  Returns kExitTrouble. */
int UsageError(const std::string &command, const std::string &message);

/*
 * An option: --name, or -c as well when Short is not 0.  With only Value
 * it takes no argument and sets *Value.  With Text it takes one, written
 * --name=ARG, --name ARG or -c ARG, and keeps the last one given; with
 * List every one given is kept in order.  Value, when also given, says
 * whether the option was used at all.
 */
struct Flag {
    const char *Long;
    char Short;
    bool *Value;
    std::string *Text = nullptr;
    std::vector<std::string> *List = nullptr;
};

/*
 * Sorts a command's arguments into flags and operands.  Flags may stand
 * anywhere, short ones without an argument may be grouped (-pq), and "--"
 * ends them; a lone "-" is an operand.  On a usage error it reports it and
 * returns false with *exitStatus set.
 */
bool ParseFlags(const std::string &command, const std::vector<std::string> &args,
                const std::vector<Flag> &flags, std::vector<std::string> *operands,
                int *exitStatus);

/* A whole decimal number in [min, max] from an option's argument; false
 * with a usage error reported (and *exitStatus set) otherwise. */
bool ParseNumber(const std::string &command, const std::string &option, const std::string &text,
                 unsigned long long min, unsigned long long max, unsigned long long *value,
                 int *exitStatus);

} // namespace qelmbar::cli
