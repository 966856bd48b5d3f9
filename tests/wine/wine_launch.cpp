// Runs the rest of its own command line as a child process, waits for it and
// prints "exit:0x%08lX" with the child's full exit code after the child's
// output. wine64 hands only the low 8 bits of an exit code to Linux, and the
// tool's statuses are 32-bit HRESULTs.
//
// With "--osversion" instead of a command line, it prints what GetVersionExW
// reports under the same compatibility manifest as velmorast.exe, so a test can
// tell which Windows version the prefix pretends to be.
//
// With "--shellexecute" it makes the tool's launch request for
// <system folder>\gpupdate.exe and prints the result and the last error, so
// that a test knows what this platform reports when no gpupdate.exe is there.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

namespace {

void WriteOut(const char* pszText)
{
    HANDLE hStdout = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD cbWritten = 0;
    WriteFile(hStdout, pszText, static_cast<DWORD>(strlen(pszText)), &cbWritten, nullptr);
}

// The command line after the launcher's own name, as the Windows start-up code
// would split off argv[0]: quoted up to the next quote, otherwise up to a blank.
const WCHAR* SkipProgramName(const WCHAR* pszCommandLine)
{
    const WCHAR* p = pszCommandLine;
    if (*p == L'"') {
        ++p;
        while (*p != 0 && *p != L'"') {
            ++p;
        }
        if (*p == L'"') {
            ++p;
        }
    } else {
        while (*p != 0 && *p != L' ' && *p != L'\t') {
            ++p;
        }
    }
    while (*p == L' ' || *p == L'\t') {
        ++p;
    }
    return p;
}

int PrintOsVersion()
{
    OSVERSIONINFOEXW osvi;
    memset(&osvi, 0, sizeof(osvi));
    osvi.dwOSVersionInfoSize = sizeof(osvi);
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&osvi))) {
        WriteOut("GetVersionExW failed\n");
        return 1;
    }
    char szLine[160];
    snprintf(szLine, sizeof(szLine), "%lu.%lu build:%lu PlatformId:%lu ProductType:0x%X SuiteMask:0x%X\n",
             osvi.dwMajorVersion, osvi.dwMinorVersion, osvi.dwBuildNumber, osvi.dwPlatformId,
             static_cast<unsigned>(osvi.wProductType), static_cast<unsigned>(osvi.wSuiteMask));
    WriteOut(szLine);
    return 0;
}

int TryShellExecute()
{
    WCHAR szPath[MAX_PATH];
    UINT cch = GetSystemDirectoryW(szPath, MAX_PATH - 14);
    if (cch == 0 || cch >= MAX_PATH - 14) {
        WriteOut("GetSystemDirectoryW failed\n");
        return 1;
    }
    wcscpy(szPath + cch, L"\\gpupdate.exe");
    SHELLEXECUTEINFOW sei;
    memset(&sei, 0, sizeof(sei));
    sei.cbSize = sizeof(sei);
    // As the tool asks: never an error box, which under Wine also sets the
    // last error of its own.
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    sei.lpFile = szPath;
    sei.lpParameters = L"/force";
    sei.nShow = SW_SHOWNORMAL;
    BOOL bResult = ShellExecuteExW(&sei);
    DWORD dwError = GetLastError();
    char szLine[64];
    snprintf(szLine, sizeof(szLine), "ShellExecuteExW:%d error:%lu\n", bResult ? 1 : 0, bResult ? 0 : dwError);
    WriteOut(szLine);
    if (bResult && sei.hProcess != nullptr) {
        WaitForSingleObject(sei.hProcess, INFINITE);
        CloseHandle(sei.hProcess);
    }
    return 0;
}

}  // namespace

int main()
{
    const WCHAR* pszChild = SkipProgramName(GetCommandLineW());
    if (wcscmp(pszChild, L"--osversion") == 0) {
        return PrintOsVersion();
    }
    if (wcscmp(pszChild, L"--shellexecute") == 0) {
        return TryShellExecute();
    }
    if (*pszChild == 0) {
        WriteOut("usage: wine_launch.exe <command line>\n");
        return 2;
    }

    // CreateProcessW may write into the command line.
    size_t cchChild = wcslen(pszChild) + 1;
    WCHAR* pszCommandLine = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, cchChild * sizeof(WCHAR)));
    if (pszCommandLine == nullptr) {
        WriteOut("launch: out of memory\n");
        return 3;
    }
    memcpy(pszCommandLine, pszChild, cchChild * sizeof(WCHAR));

    // Hand the launcher's own standard handles to the child, inheritable, so
    // that the child's output lands in the same stream before the exit line.
    HANDLE hProcess = GetCurrentProcess();
    STARTUPINFOW si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    DuplicateHandle(hProcess, GetStdHandle(STD_INPUT_HANDLE), hProcess, &si.hStdInput, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    DuplicateHandle(hProcess, GetStdHandle(STD_OUTPUT_HANDLE), hProcess, &si.hStdOutput, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    DuplicateHandle(hProcess, GetStdHandle(STD_ERROR_HANDLE), hProcess, &si.hStdError, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);

    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof(pi));
    if (!CreateProcessW(nullptr, pszCommandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        char szLine[64];
        snprintf(szLine, sizeof(szLine), "launch: CreateProcessW failed, error %lu\n", GetLastError());
        WriteOut(szLine);
        return 4;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExitCode = 0;
    if (!GetExitCodeProcess(pi.hProcess, &dwExitCode)) {
        WriteOut("launch: GetExitCodeProcess failed\n");
        return 5;
    }
    char szLine[32];
    snprintf(szLine, sizeof(szLine), "exit:0x%08lX\n", dwExitCode);
    WriteOut(szLine);
    return 0;
}
