/*
 * limited_run.cpp - limited_run.exe PROGRAM [ARGUMENT]...: runs a program
 * with the limited token linked to the caller's elevated one, as an
 * administrator's programs run under User Account Control without "Run as
 * administrator", and exits with its exit status.  For the live tests of
 * qelmbar.exe, which must refuse to write without an elevated token.
 */
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Quoted(const wchar_t *argument)
{
    std::wstring out = L"\"";
    for (const wchar_t *c = argument; *c; c++) {
        if (*c == L'"')
            out += L'\\';
        out += *c;
    }
    return out + L"\"";
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: limited_run PROGRAM [ARGUMENT]...\n");
        return 120;
    }
    HANDLE token = nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &size)) {
        std::fprintf(stderr, "limited_run: no linked token (error %lu)\n", GetLastError());
        return 121;
    }
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                          TokenPrimary, &primary)) {
        std::fprintf(stderr, "limited_run: cannot duplicate the token (error %lu)\n",
                     GetLastError());
        return 122;
    }
    std::wstring command = Quoted(argv[1]);
    for (int i = 2; i < argc; i++)
        command += L" " + Quoted(argv[i]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessAsUserW(primary, nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &process)) {
        std::fprintf(stderr, "limited_run: cannot start the program (error %lu)\n",
                     GetLastError());
        return 123;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(primary);
    CloseHandle(linked.LinkedToken);
    CloseHandle(token);
    return (int)code;
}
