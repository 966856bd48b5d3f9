// Windows types for the logic. On Windows they are the SDK's own; on any other
// host they are stand-ins of the same width, so the logic compiles unchanged
// and the fake platform can run it. This is the only place that looks at the
// target: everything above the platform layer is free of conditional code.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#define WSTR(s) L##s

#else  // host build: stand-ins with the Windows widths

typedef char16_t WCHAR;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef int32_t HRESULT;
typedef DWORD REGSAM;
typedef void* HANDLE;
typedef void* HWND;
typedef void* HINSTANCE;
typedef void* HKEY;
typedef const WCHAR* LPCWSTR;

#define WSTR(s) u##s

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(0x80000002))))

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_DATA 13L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_FILE_EXISTS 80L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_DISK_FULL 112L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_UNABLE_TO_MOVE_REPLACEMENT 1176L
#define ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 1177L

#define REG_DWORD 4
#define REG_OPTION_NON_VOLATILE 0
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_QUERY_VALUE 0x0001
#define KEY_WOW64_64KEY 0x0100

#define VER_SUITE_PERSONAL 0x200
#define SEE_MASK_NOCLOSEPROCESS 0x40
#define SEE_MASK_FLAG_NO_UI 0x400
#define SW_SHOWNORMAL 1
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED 0xFFFFFFFF

typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW;

typedef struct _SHELLEXECUTEINFOW {
    DWORD cbSize;
    DWORD fMask;
    HWND hwnd;
    LPCWSTR lpVerb;
    LPCWSTR lpFile;
    LPCWSTR lpParameters;
    LPCWSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void* lpIDList;
    LPCWSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIcon;
    HANDLE hProcess;
} SHELLEXECUTEINFOW;

#endif

static_assert(sizeof(WCHAR) == 2, "text is UTF-16");
static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits everywhere");
static_assert(sizeof(HRESULT) == 4, "HRESULT is 32 bits everywhere");
static_assert(sizeof(OSVERSIONINFOW) == 276, "second version query size");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "first version query size");
#if defined(_WIN64) || (!defined(_WIN32) && UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu)
static_assert(sizeof(SHELLEXECUTEINFOW) == 112, "launch request size on 64-bit");
#endif

// Standard meaning: a positive Win32 code maps into FACILITY_WIN32, zero and
// negative values pass unchanged. The Windows build takes the SDK's macro;
// the host build, which has no winerror.h, uses this one.
inline HRESULT HResultFromWin32(LONG lError)
{
    return lError <= 0 ? static_cast<HRESULT>(lError)
                       : static_cast<HRESULT>((static_cast<DWORD>(lError) & 0x0000FFFFu) | 0x80070000u);
}
#ifndef HRESULT_FROM_WIN32
#define HRESULT_FROM_WIN32(e) HResultFromWin32(static_cast<LONG>(e))
#endif
