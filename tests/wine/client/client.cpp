/*
 * client.cpp - the user-mode side of the Wine scenarios: opens the
 * driver's device as a Win32 program does and says what every request
 * answered, one line each, in the form the harness compares.
 *
 *   qwclient probe   the DOS link, opens for reading and for reading and
 *                    writing, the control codes on each handle, and the
 *                    device's DACL
 *   qwclient ticks   the system's tick count in milliseconds
 *
 * Lines of probe: "status WHAT = ANSWER", where ANSWER is a Win32 error
 * name (ERROR_SUCCESS for success), followed by " returned=N" for a
 * control code that completed.  The exit code is 0 whenever the program
 * could say what happened; the answers themselves are for the harness to
 * judge.
 */
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>

namespace {

const wchar_t DevicePath[] = L"\\\\.\\Qelmbar";
const wchar_t DosName[] = L"Qelmbar";

struct Code {
    DWORD value;
    const char *name;
};

/* The two codes the device answers, a code that differs from the first
 * only in its function, and a code of another device type. */
const Code Codes[] = {
    { 0x50005404u, "0x50005404" },
    { 0x5000D408u, "0x5000D408" },
    { 0x50005408u, "0x50005408" },
    { 0x00220000u, "0x00220000" },
};

const char *ErrorName(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS: return "ERROR_SUCCESS";
    case ERROR_INVALID_FUNCTION: return "ERROR_INVALID_FUNCTION";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_PATH_NOT_FOUND: return "ERROR_PATH_NOT_FOUND";
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
    case ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
    case ERROR_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION";
    case ERROR_NOT_SUPPORTED: return "ERROR_NOT_SUPPORTED";
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    case ERROR_DELETE_PENDING: return "ERROR_DELETE_PENDING";
    default: break;
    }
    static char text[32];
    snprintf(text, sizeof(text), "error %lu", (unsigned long)error);
    return text;
}

void ProbeDosLink()
{
    wchar_t target[512];
    DWORD length = QueryDosDeviceW(DosName, target, sizeof(target) / sizeof(target[0]));
    if (length == 0) {
        printf("status dos-link Qelmbar = %s\n", ErrorName(GetLastError()));
        return;
    }
    printf("status dos-link Qelmbar = ");
    for (const wchar_t *c = target; *c; c++)
        putchar(*c < 128 ? (char)*c : '?');
    putchar('\n');
}

HANDLE Open(const char *what, DWORD access)
{
    HANDLE device = CreateFileW(DevicePath, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    printf("status open %s = %s\n", what,
           device == INVALID_HANDLE_VALUE ? ErrorName(GetLastError()) : "ERROR_SUCCESS");
    return device;
}

void Control(HANDLE device, const char *what, const Code &code)
{
    /* Buffers the device must neither read nor write. */
    char in[16] = "unread";
    char out[16];
    memset(out, 0x5A, sizeof(out));
    DWORD returned = 0xFFFFFFFFu;
    BOOL done = DeviceIoControl(device, code.value, in, sizeof(in), out, sizeof(out), &returned,
                                nullptr);
    if (!done) {
        printf("status ioctl %s %s = %s\n", code.name, what, ErrorName(GetLastError()));
        return;
    }
    bool untouched = true;
    for (char c : out)
        untouched = untouched && c == 0x5A;
    printf("status ioctl %s %s = ERROR_SUCCESS returned=%lu%s\n", code.name, what,
           (unsigned long)returned, untouched ? "" : " output-written");
}

/* The DACL as the harness prints it: P when it is protected, then
 * (A or D;[flags;]mask;SID) for each entry. */
void ProbeSecurity()
{
    HANDLE device = CreateFileW(DevicePath, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        printf("status device-dacl = %s\n", ErrorName(GetLastError()));
        return;
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(device, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor);
    CloseHandle(device);
    if (error != ERROR_SUCCESS) {
        printf("status device-dacl = %s\n", ErrorName(error));
        return;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    printf("status device-dacl = ");
    if (!dacl) {
        printf("no-dacl\n");
        LocalFree(descriptor);
        return;
    }
    if (control & SE_DACL_PROTECTED)
        printf("P");
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *header = nullptr;
        if (!GetAce(dacl, i, (LPVOID *)&header)) {
            printf("<bad ace>");
            break;
        }
        /* Allowed and denied entries share one layout. */
        ACCESS_ALLOWED_ACE *ace = (ACCESS_ALLOWED_ACE *)header;
        const char *type = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? "A"
                           : header->AceType == ACCESS_DENIED_ACE_TYPE ? "D"
                                                                       : "?";
        printf("(%s;", type);
        if (header->AceFlags)
            printf("0x%02x;", header->AceFlags);
        char *sid = nullptr;
        if (ConvertSidToStringSidA((PSID)&ace->SidStart, &sid)) {
            printf("0x%08lx;%s)", (unsigned long)ace->Mask, sid);
            LocalFree(sid);
        } else {
            printf("0x%08lx;<bad sid>)", (unsigned long)ace->Mask);
        }
    }
    printf("\n");
    LocalFree(descriptor);
}

int Probe()
{
    ProbeDosLink();
    struct Access {
        const char *name;
        DWORD rights;
    };
    const Access accesses[] = {
        { "read", GENERIC_READ },
        { "read-write", GENERIC_READ | GENERIC_WRITE },
    };
    for (const Access &access : accesses) {
        HANDLE device = Open(access.name, access.rights);
        if (device == INVALID_HANDLE_VALUE)
            continue;
        for (const Code &code : Codes)
            Control(device, access.name, code);
        CloseHandle(device);
    }
    ProbeSecurity();
    return 0;
}

int Ticks()
{
    printf("ticks %llu\n", (unsigned long long)GetTickCount64());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 2 && strcmp(argv[1], "probe") == 0)
        return Probe();
    if (argc == 2 && strcmp(argv[1], "ticks") == 0)
        return Ticks();
    fprintf(stderr, "usage: qwclient probe | ticks\n");
    return 2;
}
