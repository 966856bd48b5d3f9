// The Windows side of the platform seam: each function passes straight to the
// Win32 call named beside its declaration.
#include "platform/Platform.h"

#include <cstring>


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
    // Pages fresh from the system are zero: the buffer needs no zeroing pass.
    return VirtualAlloc(nullptr, cb, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void PlatformFree(void* pv)
{
    VirtualFree(pv, 0, MEM_RELEASE);
}

void PlatformRestrictDllSearch()
{
    // Looked up at run time: Windows 7 without KB2533623 lacks it, and there
    // the tool loads its one DLL by full path anyway.
    typedef BOOL(WINAPI * SET_DEFAULT_DLL_DIRECTORIES)(DWORD);
    HMODULE hKernel32 = GetModuleHandleW(L"kernel32.dll");
    if (hKernel32 == nullptr) {
        return;
    }
    SET_DEFAULT_DLL_DIRECTORIES pfnSetDefaultDllDirectories = reinterpret_cast<SET_DEFAULT_DLL_DIRECTORIES>(
        reinterpret_cast<void*>(GetProcAddress(hKernel32, "SetDefaultDllDirectories")));
    if (pfnSetDefaultDllDirectories != nullptr) {
        pfnSetDefaultDllDirectories(0x00000800);  // LOAD_LIBRARY_SEARCH_SYSTEM32
    }
}

UINT PlatformGetSystemDirectory(WCHAR* pszBuffer, UINT cchBuffer)
{
    return GetSystemDirectoryW(pszBuffer, cchBuffer);
}

DWORD PlatformGetFullPathName(const WCHAR* pszPath, DWORD cchBuffer, WCHAR* pszBuffer)
{
    return GetFullPathNameW(pszPath, cchBuffer, pszBuffer, nullptr);
}

void PlatformSleep(DWORD dwMilliseconds)
{
    Sleep(dwMilliseconds);
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

HANDLE PlatformOpenLockFile(const WCHAR* pszPath)
{
    // A link planted under the lock's name is opened, and deleted, itself:
    // never the file it points to.
    return CreateFileW(pszPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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

LONG PlatformRegOpenKey(HKEY hRoot, const WCHAR* pszSubKey, REGSAM samDesired, HKEY* phKey)
{
    return RegOpenKeyExW(hRoot, pszSubKey, 0, samDesired, phKey);
}

LONG PlatformRegQueryValue(HKEY hKey, const WCHAR* pszValueName, DWORD* pdwType, BYTE* pbData, DWORD* pcbData)
{
    return RegQueryValueExW(hKey, pszValueName, nullptr, pdwType, pbData, pcbData);
}

BOOL PlatformRefreshPolicy(BOOL bMachine)
{
    // userenv is no KnownDLL: imported by name, it would be looked for in the
    // exe's folder first. Loaded by its full System32 path instead. It stays
    // loaded until the process ends.
    WCHAR szPath[MAX_PATH];
    UINT cch = GetSystemDirectoryW(szPath, MAX_PATH);
    static const WCHAR c_szName[] = L"\\userenv.dll";
    if (cch == 0 || cch + sizeof(c_szName) / sizeof(WCHAR) > MAX_PATH) {
        if (cch != 0) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        }
        return FALSE;
    }
    memcpy(szPath + cch, c_szName, sizeof(c_szName));
    // Its own dependencies from System32 too. Windows 7 without KB2533623
    // refuses that flag with ERROR_INVALID_PARAMETER; there the altered
    // search starts in the DLL's own folder, System32.
    HMODULE hUserenv = LoadLibraryExW(szPath, nullptr, 0x00000800);  // LOAD_LIBRARY_SEARCH_SYSTEM32
    if (hUserenv == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        hUserenv = LoadLibraryExW(szPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (hUserenv == nullptr) {
        return FALSE;
    }
    typedef BOOL(WINAPI * REFRESH_POLICY)(BOOL);
    REFRESH_POLICY pfnRefreshPolicy = reinterpret_cast<REFRESH_POLICY>(
        reinterpret_cast<void*>(GetProcAddress(hUserenv, "RefreshPolicy")));
    if (pfnRefreshPolicy == nullptr) {
        return FALSE;
    }
    return pfnRefreshPolicy(bMachine);
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
