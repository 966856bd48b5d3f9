// The one seam between the logic and Windows. Every operating-system call that
// app/, policy/ and apply/ make goes through a function declared here, and
// nothing else in those folders includes a system header.
//
// platform/win/ passes each call straight to the Win32 function named in its
// comment. platform/fake/ implements the same functions in memory for host
// tests, records every call and can fail any one of them with any last error.
//
// Conventions kept from Win32 so the logic reads like the real thing:
// BOOL results are nonzero on success and leave the reason in
// PlatformGetLastError(); registry calls return their Win32 error code.
// File handles are INVALID_HANDLE_VALUE when unset; registry keys and process
// handles are null when unset.
#pragma once

#include "platform/Types.h"

// Console. Writes bytes to standard output as they are. PrintMessage is the
// only caller; it has already turned line feeds into CR LF.
void PlatformWriteStdout(const char* pch, size_t cch);

// kernel32
UINT PlatformGetWindowsDirectory(WCHAR* pszBuffer, UINT cchBuffer);  // GetWindowsDirectoryW
BOOL PlatformGetVersionEx(OSVERSIONINFOEXW* posvi);                   // GetVersionExW; reads dwOSVersionInfoSize
BOOL PlatformCreateDirectory(const WCHAR* pszPath);                  // CreateDirectoryW(path, NULL)
DWORD PlatformGetLastError();                                         // GetLastError

// Memory: one block per run, allocated zeroed by the system (fresh pages
// are zero already, so no pass over them is needed). Null when it cannot be had.
void* PlatformAllocate(size_t cb);                        // VirtualAlloc(MEM_COMMIT | MEM_RESERVE)
void PlatformFree(void* pv);                              // VirtualFree(MEM_RELEASE)

// Process set-up: DLLs that system code loads later come from System32 only,
// never from the exe's folder or the current one. Best effort: systems
// without SetDefaultDllDirectories keep their search order, and every DLL
// this tool loads itself is named by its full System32 path anyway.
void PlatformRestrictDllSearch();                         // kernel32!SetDefaultDllDirectories, looked up at run time
UINT PlatformGetSystemDirectory(WCHAR* pszBuffer, UINT cchBuffer);  // GetSystemDirectoryW
DWORD PlatformGetFullPathName(const WCHAR* pszPath, DWORD cchBuffer, WCHAR* pszBuffer);  // GetFullPathNameW
void PlatformSleep(DWORD dwMilliseconds);                 // Sleep

// Step timing for the whole-run benchmark: a no-op in the product; the
// timing build of the exe records the time of each named step.
void PlatformTraceStep(const char* pszStep);

// Files, on Win32 handles so that every failure carries its real last error
// (the C runtime's streams leave it at 0 on a full disk).
HANDLE PlatformOpenFileForRead(const WCHAR* pszPath);     // CreateFileW GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING
BOOL PlatformGetFileSize(HANDLE hFile, uint64_t* pcbSize); // GetFileSizeEx
BOOL PlatformReadFile(HANDLE hFile, void* pvBuffer, DWORD cbToRead, DWORD* pcbRead);          // ReadFile
HANDLE PlatformCreateNewFile(const WCHAR* pszPath);       // CreateFileW GENERIC_WRITE, no sharing, CREATE_NEW
// The folder lock: no sharing, deleted when the last handle goes, also when
// the process dies, so a crashed run leaves no stale lock.
HANDLE PlatformOpenLockFile(const WCHAR* pszPath);        // CreateFileW GENERIC_WRITE, no sharing, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT
BOOL PlatformWriteFile(HANDLE hFile, const void* pvBuffer, DWORD cbToWrite, DWORD* pcbWritten); // WriteFile, one call
BOOL PlatformFlushFile(HANDLE hFile);                      // FlushFileBuffers
BOOL PlatformCloseFile(HANDLE hFile);                      // CloseHandle
BOOL PlatformDeleteFile(const WCHAR* pszPath);             // DeleteFileW
BOOL PlatformMoveFile(const WCHAR* pszFrom, const WCHAR* pszTo);  // MoveFileExW(MOVEFILE_WRITE_THROUGH); fails when pszTo exists
BOOL PlatformReplaceFile(const WCHAR* pszReplaced, const WCHAR* pszReplacement,
                         const WCHAR* pszBackup);          // ReplaceFileW(..., flags 0)

// advapi32; each returns a Win32 error code, 0 on success.
LONG PlatformRegCreateKey(HKEY hRoot, const WCHAR* pszSubKey, DWORD dwOptions, REGSAM samDesired,
                          HKEY* phKey, DWORD* pdwDisposition);  // RegCreateKeyExW, no class, no security
LONG PlatformRegSetValue(HKEY hKey, const WCHAR* pszValueName, DWORD dwType, const BYTE* pbData,
                         DWORD cbData);                         // RegSetValueExW
LONG PlatformRegCloseKey(HKEY hKey);                            // RegCloseKey
LONG PlatformRegOpenKey(HKEY hRoot, const WCHAR* pszSubKey, REGSAM samDesired, HKEY* phKey);  // RegOpenKeyExW
LONG PlatformRegQueryValue(HKEY hKey, const WCHAR* pszValueName, DWORD* pdwType, BYTE* pbData,
                           DWORD* pcbData);                     // RegQueryValueExW

// Group Policy client, shell and process.
BOOL PlatformRefreshPolicy(BOOL bMachine);                       // userenv!RefreshPolicy, from System32's userenv.dll by full path
BOOL PlatformShellExecuteEx(SHELLEXECUTEINFOW* pExecInfo);       // ShellExecuteExW
DWORD PlatformWaitForSingleObject(HANDLE hObject, DWORD dwMilliseconds);  // WaitForSingleObject
BOOL PlatformGetExitCodeProcess(HANDLE hProcess, DWORD* pdwExitCode);     // GetExitCodeProcess
BOOL PlatformCloseHandle(HANDLE hObject);                        // CloseHandle
