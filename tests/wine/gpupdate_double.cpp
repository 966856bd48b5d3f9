// Stand-in for gpupdate.exe in the Wine suite (Wine has none). Appends its
// command line to the log (see DoubleLog.h) when it starts and a second line
// when it ends, so a test can check that it got "/force" and whether it was
// still running when velmorast.exe returned.
//
// VELMORAST_DOUBLE_GPUPDATE_EXIT: exit code (decimal, default 0).
// VELMORAST_DOUBLE_GPUPDATE_SLEEP_MS: how long to run first (default 0).
#include <windows.h>

#include "DoubleLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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
    char szUtf8[2048];
    int cb = WideCharToMultiByte(CP_UTF8, 0, pszLine, -1, szUtf8, sizeof(szUtf8), nullptr, nullptr);
    if (cb > 1) {
        AppendDoubleLog(nullptr, szUtf8);
    }
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
