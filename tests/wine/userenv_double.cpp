// Test double of userenv.dll for the Wine suite. Wine's own RefreshPolicy
// aborts the process, so the suite puts this DLL beside velmorast.exe and
// loads it with WINEDLLOVERRIDES=userenv=n.
//
// VELMORAST_DOUBLE_REFRESH chooses the result: unset or "ok" succeeds,
// "fail:<n>" fails with last error n (decimal). Every call is appended to
// the log (see GetLogPath), so a test can see that it happened and with
// which argument.
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

HMODULE g_hSelf;

void AppendLog(const char* pszLine)
{
    WCHAR szPath[MAX_PATH];
    if (!GetLogPath(g_hSelf, szPath)) {
        return;
    }
    HANDLE hFile = CreateFileW(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD cbWritten = 0;
    WriteFile(hFile, pszLine, static_cast<DWORD>(strlen(pszLine)), &cbWritten, nullptr);
    CloseHandle(hFile);
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
