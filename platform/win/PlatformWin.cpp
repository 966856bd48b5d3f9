// The Windows side of the platform seam: each function passes straight to the
// Win32 call named beside its declaration.
#include "platform/Platform.h"

#include <userenv.h>

void PlatformWriteStdout(const char* pch, size_t cch)
{
    // Unbuffered: every line is out as soon as it is printed, on a console
    // and through a pipe alike, so nothing is lost if the process is killed.
    HANDLE hStdout = GetStdHandle(STD_OUTPUT_HANDLE);
    if (hStdout == nullptr || hStdout == INVALID_HANDLE_VALUE) {
        return;
    }
    while (cch > 0) {
        DWORD cbWritten = 0;
        DWORD cbChunk = cch > 0x10000 ? 0x10000 : static_cast<DWORD>(cch);
        if (!WriteFile(hStdout, pch, cbChunk, &cbWritten, nullptr) || cbWritten == 0) {
            return;
        }
        pch += cbWritten;
        cch -= cbWritten;
    }
}

UINT PlatformGetWindowsDirectory(WCHAR* pszBuffer, UINT cchBuffer)
{
    return GetWindowsDirectoryW(pszBuffer, cchBuffer);
}

BOOL PlatformGetVersionEx(OSVERSIONINFOEXW* posvi)
{
    // Deprecated, but with the manifest's supportedOS list it reports the
    // true version, which is all the platform gate needs.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    return GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(posvi));
#if defined(_MSC_VER)
#pragma warning(pop)
#endif
}

BOOL PlatformCreateDirectory(const WCHAR* pszPath)
{
    return CreateDirectoryW(pszPath, nullptr);
}

DWORD PlatformGetLastError()
{
    return GetLastError();
}

void* PlatformAllocate(size_t cb)
{
    return HeapAlloc(GetProcessHeap(), 0, cb);
}

void PlatformFree(void* pv)
{
    HeapFree(GetProcessHeap(), 0, pv);
}

HANDLE PlatformOpenFileForRead(const WCHAR* pszPath)
{
    return CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

BOOL PlatformGetFileSize(HANDLE hFile, uint64_t* pcbSize)
{
    LARGE_INTEGER liSize;
    if (!GetFileSizeEx(hFile, &liSize)) {
        return FALSE;
    }
    *pcbSize = static_cast<uint64_t>(liSize.QuadPart);
    return TRUE;
}

BOOL PlatformReadFile(HANDLE hFile, void* pvBuffer, DWORD cbToRead, DWORD* pcbRead)
{
    return ReadFile(hFile, pvBuffer, cbToRead, pcbRead, nullptr);
}

HANDLE PlatformCreateNewFile(const WCHAR* pszPath)
{
    return CreateFileW(pszPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

BOOL PlatformWriteFile(HANDLE hFile, const void* pvBuffer, DWORD cbToWrite, DWORD* pcbWritten)
{
    return WriteFile(hFile, pvBuffer, cbToWrite, pcbWritten, nullptr);
}

BOOL PlatformFlushFile(HANDLE hFile)
{
    return FlushFileBuffers(hFile);
}

BOOL PlatformCloseFile(HANDLE hFile)
{
    return CloseHandle(hFile);
}

BOOL PlatformDeleteFile(const WCHAR* pszPath)
{
    return DeleteFileW(pszPath);
}

BOOL PlatformMoveFile(const WCHAR* pszFrom, const WCHAR* pszTo)
{
    return MoveFileExW(pszFrom, pszTo, MOVEFILE_WRITE_THROUGH);
}

BOOL PlatformReplaceFile(const WCHAR* pszReplaced, const WCHAR* pszReplacement, const WCHAR* pszBackup)
{
    return ReplaceFileW(pszReplaced, pszReplacement, pszBackup, 0, nullptr, nullptr);
}

LONG PlatformRegCreateKey(HKEY hRoot, const WCHAR* pszSubKey, DWORD dwOptions, REGSAM samDesired,
                          HKEY* phKey, DWORD* pdwDisposition)
{
    return RegCreateKeyExW(hRoot, pszSubKey, 0, nullptr, dwOptions, samDesired, nullptr, phKey,
                           pdwDisposition);
}

LONG PlatformRegSetValue(HKEY hKey, const WCHAR* pszValueName, DWORD dwType, const BYTE* pbData,
                         DWORD cbData)
{
    return RegSetValueExW(hKey, pszValueName, 0, dwType, pbData, cbData);
}

LONG PlatformRegCloseKey(HKEY hKey)
{
    return RegCloseKey(hKey);
}

BOOL PlatformRefreshPolicy(BOOL bMachine)
{
    return RefreshPolicy(bMachine);
}

BOOL PlatformShellExecuteEx(SHELLEXECUTEINFOW* pExecInfo)
{
    return ShellExecuteExW(pExecInfo);
}

DWORD PlatformWaitForSingleObject(HANDLE hObject, DWORD dwMilliseconds)
{
    return WaitForSingleObject(hObject, dwMilliseconds);
}

BOOL PlatformGetExitCodeProcess(HANDLE hProcess, DWORD* pdwExitCode)
{
    return GetExitCodeProcess(hProcess, pdwExitCode);
}

BOOL PlatformCloseHandle(HANDLE hObject)
{
    return CloseHandle(hObject);
}
