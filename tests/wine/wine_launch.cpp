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
//
// With "--refresh <dll path>" it loads that DLL by its path and calls its
// RefreshPolicy(TRUE), so that a test can see that a stand-in DLL works
// before it relies on the tool never loading it.
//
// With "--hold <path> <ms>" it opens <path> the way the tool opens its lock
// file (no sharing, deleted on close), logs that it holds it (see
// DoubleLog.h), keeps it for <ms> milliseconds, then logs which files stand
// in the folder at that moment and lets go: a run that waits for the lock has
// changed nothing by then.
#include <windows.h>

#include "CommandLine.h"
#include <shellapi.h>

#include "DoubleLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

void WriteOut(const char* pszText)
{
    HANDLE hStdout = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD cbWritten = 0;
    WriteFile(hStdout, pszText, static_cast<DWORD>(strlen(pszText)), &cbWritten, nullptr);
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

int TryRefresh(const WCHAR* pszDll)
{
    HMODULE hDll = LoadLibraryW(pszDll);
    if (hDll == nullptr) {
        char szLine[64];
        snprintf(szLine, sizeof(szLine), "LoadLibraryW failed, error %lu\n", GetLastError());
        WriteOut(szLine);
        return 1;
    }
    typedef BOOL(WINAPI * REFRESH_POLICY)(BOOL);
    REFRESH_POLICY pfnRefreshPolicy =
        reinterpret_cast<REFRESH_POLICY>(reinterpret_cast<void*>(GetProcAddress(hDll, "RefreshPolicy")));
    if (pfnRefreshPolicy == nullptr) {
        WriteOut("no RefreshPolicy\n");
        return 1;
    }
    char szLine[32];
    snprintf(szLine, sizeof(szLine), "RefreshPolicy:%d\n", pfnRefreshPolicy(TRUE) ? 1 : 0);
    WriteOut(szLine);
    return 0;
}

void LogUtf8(const WCHAR* pszText)
{
    char szUtf8[2048];
    if (WideCharToMultiByte(CP_UTF8, 0, pszText, -1, szUtf8, sizeof(szUtf8), nullptr, nullptr) > 1) {
        AppendDoubleLog(nullptr, szUtf8);
    }
}

// "<path> <ms>": the path runs up to the last blank.
int Hold(const WCHAR* pszArgs)
{
    const WCHAR* pszBlank = wcsrchr(pszArgs, L' ');
    if (pszBlank == nullptr || pszBlank == pszArgs || pszBlank - pszArgs >= MAX_PATH) {
        WriteOut("usage: wine_launch.exe --hold <path> <ms>\n");
        return 2;
    }
    WCHAR szPath[MAX_PATH];
    wmemcpy(szPath, pszArgs, pszBlank - pszArgs);
    szPath[pszBlank - pszArgs] = 0;
    DWORD dwMs = wcstoul(pszBlank + 1, nullptr, 10);

    HANDLE hFile = CreateFileW(szPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        char szLine[64];
        snprintf(szLine, sizeof(szLine), "hold: CreateFileW failed, error %lu\n", GetLastError());
        AppendDoubleLog(nullptr, szLine);
        WriteOut(szLine);
        return 1;
    }
    AppendDoubleLog(nullptr, "hold: taken\n");
    Sleep(dwMs);

    // The files beside the held one, in the order the folder lists them.
    WCHAR szPattern[MAX_PATH + 2];
    wcscpy(szPattern, szPath);
    WCHAR* pszSlash = wcsrchr(szPattern, L'\\');
    WCHAR szLine[1024] = L"hold: releasing; folder:";
    if (pszSlash != nullptr) {
        wcscpy(pszSlash + 1, L"*");
        WIN32_FIND_DATAW fd;
        HANDLE hFind = FindFirstFileW(szPattern, &fd);
        if (hFind != INVALID_HANDLE_VALUE) {
            do {
                if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0 &&
                    wcslen(szLine) + wcslen(fd.cFileName) + 3 < 1024) {
                    wcscat(szLine, L" ");
                    wcscat(szLine, fd.cFileName);
                }
            } while (FindNextFileW(hFind, &fd));
            FindClose(hFind);
        }
    }
    wcscat(szLine, L"\n");
    LogUtf8(szLine);
    CloseHandle(hFile);
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
    if (wcsncmp(pszChild, L"--refresh ", 10) == 0) {
        return TryRefresh(pszChild + 10);
    }
    if (wcsncmp(pszChild, L"--hold ", 7) == 0) {
        return Hold(pszChild + 7);
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
