// Test double of userenv.dll for the Wine suite. Wine's own userenv.dll has
// no RefreshPolicy, so the suite puts this DLL into the prefix's system32 in
// its place, where the tool loads it by full path; a per-program DLL override
// makes Wine take it for velmorast.exe only.
//
// VELMORAST_DOUBLE_REFRESH chooses the result: unset or "ok" succeeds,
// "fail:<n>" fails with last error n (decimal). Every call is appended to
// the log (see DoubleLog.h), so a test can see that it happened and with
// which argument.
//
// Two variants are built from this file as well: with
// VELMORAST_DOUBLE_DECOY, a userenv.dll planted where a DLL search by name
// would find it, whose calls log as "decoy"; with
// VELMORAST_DOUBLE_NO_REFRESH_POLICY, a userenv.dll without that export.
#include <windows.h>

#include "DoubleLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HMODULE g_hSelf;

#if !defined(VELMORAST_DOUBLE_NO_REFRESH_POLICY)
void AppendLog(const char* pszLine)
{
    AppendDoubleLog(g_hSelf, pszLine);
}
#endif

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_hSelf = hInstance;
    }
    return TRUE;
}

#if !defined(VELMORAST_DOUBLE_NO_REFRESH_POLICY)
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
#if defined(VELMORAST_DOUBLE_DECOY)
    snprintf(szLine, sizeof(szLine), "decoy RefreshPolicy(%d) -> %d\n", bMachine, bResult);
#else
    snprintf(szLine, sizeof(szLine), "RefreshPolicy(%d) -> %d\n", bMachine, bResult);
#endif
    AppendLog(szLine);

    // Set last: the logging above may change the last error.
    SetLastError(dwError);
    return bResult;
}
#endif
