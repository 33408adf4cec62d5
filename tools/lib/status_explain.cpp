/*
 * status_explain.cpp - the explanations behind ExplainStatus, one per
 * status the driver's operations and its package life cycle answer.
 */
#include "tools/lib/status_explain.h"

#include "simkernel/status_names.h"

#include <cerrno>
#include <cstdlib>

namespace qelmbar {

namespace {

struct Entry {
    NTSTATUS Status;
    StatusExplanation Text;
};

const Entry kExplanations[] = {
    { STATUS_SUCCESS, { "the operation did what it says", "nothing to fix" } },
    { STATUS_OBJECT_NAME_EXISTS,
      { "not an error: the target existed already and was left alone, as the operation's "
        "Overwrite asked (the operation shows as skipped, target exists)",
        "set Overwrite to true if the target should be replaced" } },
    { STATUS_UNSUCCESSFUL,
      { "CreateDir found no existing directory on its path to start from",
        "check that the path starts on a volume that exists, such as \\SystemRoot or "
        "\\??\\C:" } },
    { STATUS_INVALID_PARAMETER,
      { "the operation's arguments contradict each other: a target inside its source, an "
        "empty source of a rename, a security string that does not parse",
        "move or copy the target outside the source, and check the names and strings the "
        "operation is given" } },
    { STATUS_ACCESS_DENIED,
      { "the target file is read-only, hidden or a system file, or the security of the file "
        "or key does not let the driver in",
        "clear the file's attributes in the script's installer, or check the security of the "
        "key or directory" } },
    { STATUS_OBJECT_NAME_INVALID,
      { "a malformed name, such as an empty component (\\\\) inside a path",
        "correct the path; 'qelmbar check' points at it" } },
    { STATUS_OBJECT_NAME_NOT_FOUND,
      { "the source file, key or value of the operation does not exist at that point of the "
        "boot",
        "check the name's spelling, and that an earlier operation or the installer creates it "
        "first" } },
    { STATUS_OBJECT_PATH_NOT_FOUND,
      { "a directory or key on the way to the target is missing, or a name (a volume, "
        "\\SystemRoot) does not resolve yet that early in the boot",
        "create the parent first (CreateDir, CreateKey) in an earlier operation" } },
    { STATUS_OBJECT_PATH_SYNTAX_BAD,
      { "a Win32 path (C:\\...) where an NT path belongs",
        "write \\??\\C:\\... or \\SystemRoot\\... for files, \\Registry\\Machine\\... for keys" } },
    { STATUS_DATA_OVERRUN,
      { "the script does not parse; for a package, the driver marks it \"Corrupted\" and runs "
        "none of it",
        "run 'qelmbar check' on the script: it shows the line and column" } },
    { STATUS_SHARING_VIOLATION,
      { "the file is held open by someone else, or a file is copied onto itself",
        "stage the replacement for the next boot before whatever holds the file starts, or fix "
        "a copy whose source and target are the same file" } },
    { STATUS_FILE_IS_A_DIRECTORY,
      { "a file operation was given a directory",
        "use the directory form of the operation (CopyDir, MoveDir, RemoveDir)" } },
    { STATUS_NOT_SUPPORTED,
      { "a package value of the wrong type (the package is \"Corrupted\"), or a link key inside "
        "a tree that is moved",
        "rewrite the package's values with 'qelmbar package add --replace'; copy the tree "
        "instead of moving it" } },
    { STATUS_NO_MEMORY,
      { "the driver ran out of pool memory, usually for a very large script or value",
        "split the work into smaller scripts" } },
    { STATUS_INSUFFICIENT_RESOURCES,
      { "the system ran out of a resource (pool, handles) while the operation ran",
        "split the work into smaller scripts; boot again" } },
    { STATUS_DIRECTORY_NOT_EMPTY,
      { "MoveDir or RemoveDir left something behind: files it was not asked to delete, or a "
        "part it could not move",
        "give RemoveDir DeleteFiles, or look at what is left in the directory and remove it "
        "first" } },
    { STATUS_NAME_TOO_LONG,
      { "a path the driver composes (a child in a tree walk, a rename target) is longer than "
        "32766 characters; in a walk it ends the whole operation",
        "shorten the target path or flatten the tree" } },
    { STATUS_CANNOT_DELETE,
      { "a key with subkeys deleted without Recursive, or a key rename Windows refused",
        "set Recursive to true, or rename the key by CopyKey and DeleteKey" } },
    { STATUS_KEY_DELETED,
      { "the key was deleted while the operation worked on it",
        "look for an earlier operation of the same script that deletes the key" } },
    { STATUS_FAIL_CHECK,
      { "a registry write whose hive was not loaded when the driver ran and still was not "
        "loaded in the deferred run: a user's hive, a misspelt hive, or HKLM\\... in place of "
        "\\Registry\\Machine\\...",
        "write keys under \\Registry\\Machine\\SYSTEM or \\Registry\\Machine\\SOFTWARE, spelt "
        "exactly; per-user settings belong to the user's logon, not to this driver" } },
    { STATUS_IMPLEMENTATION_LIMIT,
      { "a tree deeper than 256 directory or 512 key levels; what was copied stays",
        "flatten the tree, or copy it in parts" } },
    { STATUS_DISK_FULL,
      { "the volume has no room for the copy", "free space on the target volume" } },
    { STATUS_REGISTRY_IO_FAILED,
      { "a hive could not be read or written", "check the disk the system hives live on" } },
};

} // namespace

const StatusExplanation *ExplainStatus(NTSTATUS status)
{
    for (const Entry &entry : kExplanations) {
        if (entry.Status == status)
            return &entry.Text;
    }
    return nullptr;
}

bool ParseStatus(const std::string &text, NTSTATUS *status)
{
    if (text.empty())
        return false;
    const char first = text[0];
    if ((first >= '0' && first <= '9') || first == '-') {
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const char *begin = text.c_str() + (hex ? 2 : 0);
        if (*begin == '\0' || *begin == '+' || *begin == ' ' || (hex && *begin == '-'))
            return false;
        char *end = nullptr;
        errno = 0;
        long long value = std::strtoll(begin, &end, hex ? 16 : 10);
        if (errno || *end != '\0' || value < -2147483648LL || value > 0xFFFFFFFFLL)
            return false;
        *status = (NTSTATUS)(uint32_t)(value & 0xFFFFFFFF);
        return true;
    }
    return sk::StatusFromName(text, status);
}

} // namespace qelmbar
