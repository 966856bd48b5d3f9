// Stand-in for gpupdate.exe in the Wine suite (Wine has none). Appends its
// command line to the log (see GetLogPath) when it starts and a second line
// when it ends, so a test can check that it got "/force" and whether it was
// still running when velmorast.exe returned.
//
// VELMORAST_DOUBLE_GPUPDATE_EXIT: exit code (decimal, default 0).
// VELMORAST_DOUBLE_GPUPDATE_SLEEP_MS: how long to run first (default 0).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// VELMORAST_DOUBLE_LOG names the log; without it, doubles.log beside the module.
BOOL GetLogPath(HMODULE hModule, WCHAR* pszPath)
{
    DWORD cch = GetEnvironmentVariableW(L"VELMORAST_DOUBLE_LOG", pszPath, MAX_PATH);
    if (cch > 0 && cch < MAX_PATH) {
        return TRUE;
    }
    cch = GetModuleFileNameW(hModule, pszPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) {
        return FALSE;
    }
    WCHAR* pszSlash = wcsrchr(pszPath, L'\\');
    if (pszSlash == nullptr || (pszSlash - pszPath) + 12 >= MAX_PATH) {
        return FALSE;
    }
    wcscpy(pszSlash + 1, L"doubles.log");
    return TRUE;
}

DWORD ReadNumber(const char* pszName, DWORD dwDefault)
{
    char szValue[32];
    DWORD cch = GetEnvironmentVariableA(pszName, szValue, sizeof(szValue));
    if (cch == 0 || cch >= sizeof(szValue)) {
        return dwDefault;
    }
    return strtoul(szValue, nullptr, 10);
}

void AppendLog(const WCHAR* pszLine)
{
    WCHAR szPath[MAX_PATH];
    if (!GetLogPath(nullptr, szPath)) {
        return;
    }
    HANDLE hFile = CreateFileW(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return;
    }
    // The log is UTF-8 so that the Python side reads one encoding.
    char szUtf8[2048];
    int cb = WideCharToMultiByte(CP_UTF8, 0, pszLine, -1, szUtf8, sizeof(szUtf8), nullptr, nullptr);
    if (cb > 1) {
        DWORD cbWritten = 0;
        WriteFile(hFile, szUtf8, static_cast<DWORD>(cb - 1), &cbWritten, nullptr);
    }
    CloseHandle(hFile);
}

}  // namespace

int main()
{
    DWORD dwExitCode = ReadNumber("VELMORAST_DOUBLE_GPUPDATE_EXIT", 0);
    DWORD dwSleepMs = ReadNumber("VELMORAST_DOUBLE_GPUPDATE_SLEEP_MS", 0);

    WCHAR szLine[1024];
    _snwprintf(szLine, 1023, L"gpupdate start: %ls\n", GetCommandLineW());
    szLine[1023] = 0;
    AppendLog(szLine);

    Sleep(dwSleepMs);

    _snwprintf(szLine, 1023, L"gpupdate end: %lu\n", dwExitCode);
    szLine[1023] = 0;
    AppendLog(szLine);
    ExitProcess(dwExitCode);
}
