// Runs the rest of its command line as a child process and times it from
// inside Wine: from just before CreateProcessW to the end of the wait for the
// child, so the wine64 start of this launcher itself is not in the figure.
// The child gets the launcher's standard handles. Last, on standard error:
//
//   launch: <milliseconds> ms exit:0x<child's exit code>
#include <windows.h>

#include "../../wine/CommandLine.h"

#include <cstdio>
#include <cstring>

namespace {


}  // namespace

int main()
{
    const WCHAR* pszChild = SkipProgramName(GetCommandLineW());
    if (*pszChild == 0) {
        fputs("usage: bench_launch.exe <command line>\n", stderr);
        return 2;
    }
    // CreateProcessW may write into the command line.
    static WCHAR szCommandLine[32768];
    if (wcslen(pszChild) >= sizeof(szCommandLine) / sizeof(szCommandLine[0])) {
        fputs("launch: command line too long\n", stderr);
        return 3;
    }
    wcscpy(szCommandLine, pszChild);

    HANDLE hSelf = GetCurrentProcess();
    STARTUPINFOW si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    DuplicateHandle(hSelf, GetStdHandle(STD_INPUT_HANDLE), hSelf, &si.hStdInput, 0, TRUE, DUPLICATE_SAME_ACCESS);
    DuplicateHandle(hSelf, GetStdHandle(STD_OUTPUT_HANDLE), hSelf, &si.hStdOutput, 0, TRUE, DUPLICATE_SAME_ACCESS);
    DuplicateHandle(hSelf, GetStdHandle(STD_ERROR_HANDLE), hSelf, &si.hStdError, 0, TRUE, DUPLICATE_SAME_ACCESS);

    LARGE_INTEGER liFrequency;
    LARGE_INTEGER liStart;
    LARGE_INTEGER liEnd;
    QueryPerformanceFrequency(&liFrequency);
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof(pi));
    QueryPerformanceCounter(&liStart);
    if (!CreateProcessW(nullptr, szCommandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "launch: CreateProcessW failed, error %lu\n", GetLastError());
        return 4;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    QueryPerformanceCounter(&liEnd);
    DWORD dwExitCode = 0;
    if (!GetExitCodeProcess(pi.hProcess, &dwExitCode)) {
        fputs("launch: GetExitCodeProcess failed\n", stderr);
        return 5;
    }
    fprintf(stderr, "launch: %.3f ms exit:0x%08lX\n",
            static_cast<double>(liEnd.QuadPart - liStart.QuadPart) * 1000.0 / static_cast<double>(liFrequency.QuadPart),
            dwExitCode);
    return 0;
}
