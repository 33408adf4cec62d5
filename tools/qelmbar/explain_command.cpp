/*
 * explain_command.cpp - qelmbar explain: an NTSTATUS by name and value,
 * and what it usually means for the driver's operations.
 */
#include "simkernel/status_names.h"
#include "tools/lib/json.h"
#include "tools/lib/status_explain.h"
#include "tools/qelmbar/command.h"

#include <cstdio>

namespace qelmbar::cli {

namespace {

const char kName[] = "explain";

const char kHelp[] =
    "Usage: qelmbar explain STATUS [--json]\n"
    "\n"
    "Names an NT status, as LastPackageError, 'qelmbar status' and 'qelmbar\n"
    "simulate' report it, and says what it usually means for the driver's\n"
    "operations and what to try.  STATUS is a name (STATUS_FAIL_CHECK, or\n"
    "FAIL_CHECK, in any case), a hexadecimal value (0xC0000229) or a decimal\n"
    "one (3221226025, or -1073741271 after --).\n"
    "\n"
    "Options:\n"
    "      --json  print the same as one JSON object on stdout\n"
    "  -h, --help  show this help and exit\n"
    "\n"
    "Exit status: 0 when the status was explained, 1 when it is a value the\n"
    "driver is not known to answer (its name, if any, is still shown), 2 on a\n"
    "usage error or a name that is no status.\n";

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", (unsigned)status);
    return text;
}

const char *Severity(NTSTATUS status)
{
    switch ((uint32_t)status >> 30) {
    case 0:
        return "success";
    case 1:
        return "information";
    case 2:
        return "warning";
    default:
        return "error";
    }
}

int RunExplain(const std::vector<std::string> &args)
{
    bool help = false, json = false;
    std::vector<std::string> operands;
    int exitStatus = kExitOk;
    if (!ParseFlags(kName, args, { { "json", 0, &json }, { "help", 'h', &help } }, &operands,
                    &exitStatus))
        return exitStatus;
    if (help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (operands.size() != 1)
        return UsageError(kName, operands.empty() ? "no status given" : "one status at a time");
    NTSTATUS status = 0;
    if (!ParseStatus(operands[0], &status))
        return UsageError(kName, "'" + operands[0] +
                                     "' is no status: give a name such as STATUS_FAIL_CHECK, a "
                                     "hexadecimal value such as 0xC0000229, or a decimal one");

    const char *name = sk::StatusName(status);
    const StatusExplanation *explanation = ExplainStatus(status);
    if (json) {
        JsonWriter out;
        out.BeginObject().Member("code", (unsigned long long)(uint32_t)status);
        out.Member("hex", Hex(status));
        out.Key("name");
        if (name)
            out.String(name);
        else
            out.Null();
        out.Member("severity", Severity(status));
        out.Member("known", explanation != nullptr);
        out.Key("meaning");
        if (explanation)
            out.String(explanation->Meaning);
        else
            out.Null();
        out.Key("fix");
        if (explanation)
            out.String(explanation->Fix);
        else
            out.Null();
        out.EndObject();
        WriteJsonOutput(out.Text() + "\n");
    } else {
        std::printf("%s %s (%s)\n", name ? name : "(no name known)", Hex(status).c_str(),
                    Severity(status));
        if (explanation) {
            std::printf("  means: %s\n", explanation->Meaning);
            std::printf("  try:   %s\n", explanation->Fix);
        } else {
            std::printf("  the driver's operations are not known to answer this status\n");
        }
    }
    return explanation ? kExitOk : kExitNo;
}

const CommandRegistration kRegistration(
    { kName, "name an NT status and say what it means for a script", RunExplain });

} // namespace

} // namespace qelmbar::cli
