// Test double of userenv.dll for the Wine suite. Wine's own userenv.dll has
// no RefreshPolicy, so the suite puts this DLL into the prefix's system32 in
// its place, where the tool loads it by full path; a per-program DLL override
// makes Wine take it for velmorast.exe only.
//
// VELMORAST_DOUBLE_REFRESH chooses the result: unset or "ok" succeeds,
// "fail:<n>" fails with last error n (decimal). Every call is appended to
// the log (see DoubleLog.h), so a test can see that it happened and with
// which argument.
#include <windows.h>

#include "DoubleLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HMODULE g_hSelf;

void AppendLog(const char* pszLine)
{
    AppendDoubleLog(g_hSelf, pszLine);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_hSelf = hInstance;
    }
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI RefreshPolicy(BOOL bMachine)
{
    char szMode[64] = "";
    DWORD cch = GetEnvironmentVariableA("VELMORAST_DOUBLE_REFRESH", szMode, sizeof(szMode));
    if (cch >= sizeof(szMode)) {
        szMode[0] = 0;
    }
    BOOL bResult = TRUE;
    DWORD dwError = 0;
    if (strncmp(szMode, "fail:", 5) == 0) {
        bResult = FALSE;
        dwError = strtoul(szMode + 5, nullptr, 10);
    }

    char szLine[96];
    snprintf(szLine, sizeof(szLine), "RefreshPolicy(%d) -> %d\n", bMachine, bResult);
    AppendLog(szLine);

    // Set last: the logging above may change the last error.
    SetLastError(dwError);
    return bResult;
}
