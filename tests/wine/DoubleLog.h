// The log that the Wine suite's test doubles append to, so that a test can
// see which of them ran, when, and with what. VELMORAST_DOUBLE_LOG names it;
// without it, doubles.log beside the module. Lines are UTF-8.
#pragma once

#include <windows.h>

#include <cstring>
#include <cwchar>

inline BOOL GetDoubleLogPath(HMODULE hModule, WCHAR* pszPath)
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

inline void AppendDoubleLog(HMODULE hModule, const char* pszUtf8Line)
{
    WCHAR szPath[MAX_PATH];
    if (!GetDoubleLogPath(hModule, szPath)) {
        return;
    }
    HANDLE hFile = CreateFileW(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD cbWritten = 0;
    WriteFile(hFile, pszUtf8Line, static_cast<DWORD>(strlen(pszUtf8Line)), &cbWritten, nullptr);
    CloseHandle(hFile);
}
