#include "app/RunMain.h"

#include <cstring>

#include "app/CheckMode.h"
#include "app/Options.h"
#include "apply/GroupPolicyRefresh.h"
#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/Status.h"
#include "platform/Text.h"
#include "platform/ScopeExit.h"
#include "policy/PolicyLock.h"
#include "policy/PolicySettings.h"
#include "policy/UpdateGptIni.h"
#include "policy/UpdatePolicyFile.h"

WCHAR g_szMachinePolicyDir[MAX_PATH];
OSVERSIONINFOEXW g_osvi;

namespace {

#define VERSION_MAJOR 1
#define VERSION_MINOR 0
#define VERSION_BUILD 18
#define VERSION_REVISION 403

#define LOWEST_ACCEPTED_VERSION 0x601u
#define MACHINE_POLICY_SUFFIX WSTR("\\system32\\GroupPolicy\\Machine")

void PrintBanner()
{
    PrintMessage(WSTR("* * * * * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n"));
    PrintMessage(WSTR("*  Velmorast  %ld.%ld.%02ld.%03ld                                      *\n"),
                 VERSION_MAJOR, VERSION_MINOR, VERSION_BUILD, VERSION_REVISION);
    PrintMessage(WSTR("*                                                             *\n"));
    PrintMessage(WSTR("*  Copyright (C) 2026 Velmorast authors                       *\n"));
    PrintMessage(WSTR("* * * * * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n"));
}

HRESULT QueryVersion()
{
    memset(&g_osvi, 0, sizeof(g_osvi));
    g_osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    if (PlatformGetVersionEx(&g_osvi)) {
        return S_OK;
    }
    // Systems that know only the short record fill everything but the suite
    // mask and product type, which then stay 0.
    g_osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (PlatformGetVersionEx(&g_osvi)) {
        return S_OK;
    }
    HRESULT hr = HResultFromLastError();
    PrintMessage(WSTR("ERR: get os version error. 0x%08lX\n"), hr);
    return hr;
}

HRESULT CreatePolicyFolder()
{
    if (PlatformCreateDirectory(g_pszPolicyDir)) {
        return S_OK;
    }
    DWORD dwError = PlatformGetLastError();
    if (dwError == ERROR_ALREADY_EXISTS) {
        return S_OK;
    }
    HRESULT hr = dwError != 0 ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
    PrintMessage(WSTR("ERR: create policy folder (%s) error. 0x%08lX\n"), g_pszPolicyDir, hr);
    return hr;
}

HRESULT CheckPlatform()
{
    DWORD dwVersion = (g_osvi.dwMajorVersion << 8) | g_osvi.dwMinorVersion;
    const WCHAR* pszRefusal = nullptr;
    if ((g_osvi.wSuiteMask & VER_SUITE_PERSONAL) != 0) {
        pszRefusal = WSTR("ERR: Home Edition is not supported. %ld.%ld build:%ld PlatformId:%ld ProductType:0x%X SuiteMask:0x%X.\n");
    } else if (dwVersion < LOWEST_ACCEPTED_VERSION) {
        pszRefusal = WSTR("ERR: Not support Vista and earlier versions. %ld.%ld build:%ld PlatformId:%ld ProductType:0x%X SuiteMask:0x%X.\n");
    } else {
        return S_OK;
    }
    PrintMessage(pszRefusal, g_osvi.dwMajorVersion, g_osvi.dwMinorVersion, g_osvi.dwBuildNumber,
                 g_osvi.dwPlatformId, static_cast<DWORD>(g_osvi.wProductType),
                 static_cast<DWORD>(g_osvi.wSuiteMask));
    return E_NOTIMPL;
}

void ComputeDefaultFolder()
{
    g_szMachinePolicyDir[0] = 0;
    PlatformGetWindowsDirectory(g_szMachinePolicyDir, MAX_PATH);
    // Never trust the call to have terminated the buffer.
    g_szMachinePolicyDir[MAX_PATH - 1] = 0;
    WCHAR szWindowsDir[MAX_PATH];
    memcpy(szWindowsDir, g_szMachinePolicyDir, sizeof(szWindowsDir));
    FormatString(g_szMachinePolicyDir, MAX_PATH, WSTR("%s%s"), szWindowsDir, MACHINE_POLICY_SUFFIX);
}

// The update runs under the policy folder's lock, from before the first
// leftover is settled until the files are in place. In the machine's own
// policy folder, gpt.ini is read and checked before anything is written, and
// brought into step once Registry.pol is in place: without it, Windows would
// never read the file.
HRESULT UpdateLocked()
{
    HANDLE hLock = INVALID_HANDLE_VALUE;
    HRESULT hr = LockPolicyFolder(g_pszPolicyDir, POLICY_FILE_NAME, &hLock);
    if (FAILED(hr)) {
        return hr;
    }
    auto unlock = MakeScopeExit([&hLock] { UnlockPolicyFolder(&hLock); });

    const bool bMachineFolder = IsMachinePolicyFolder(g_pszPolicyDir, g_szMachinePolicyDir);
    if (bMachineFolder) {
        hr = PrepareGptIni(g_pszPolicyDir);
        if (FAILED(hr)) {
            return hr;
        }
    }
    bool bChanged = false;
    hr = UpdatePolicyFile(g_PolicySettings, POLICY_SETTING_COUNT, g_pszPolicyDir, POLICY_FILE_NAME, &bChanged);
    if (FAILED(hr) || !bMachineFolder) {
        return hr;
    }
    return WriteGptIni(bChanged);
}

}  // namespace

HRESULT RunMain(int nArgs, WCHAR** ppszArgs)
{
    // Before anything can load a DLL: never from the exe's folder, which may
    // be a download folder that others can write to.
    PlatformRestrictDllSearch();
    g_dwOptions = OPTION_REGISTRY;
    g_pszPolicyDir = g_szMachinePolicyDir;

    PrintBanner();
    ComputeDefaultFolder();

    HRESULT hr = QueryVersion();
    if (FAILED(hr)) {
        return hr;
    }

    ParseCommandLine(nArgs, ppszArgs);

    // A check creates nothing: a missing folder only means nothing is in force.
    const bool bCheck = (g_dwOptions & OPTION_CHECK) != 0;
    if (!bCheck) {
        hr = CreatePolicyFolder();
        if (FAILED(hr)) {
            return hr;
        }
    }
    hr = CheckPlatform();
    if (FAILED(hr)) {
        return hr;
    }
    if (bCheck) {
        return CheckPolicyInForce();
    }

    hr = UpdateLocked();
    if (FAILED(hr)) {
        return hr;
    }
    // After the lock is gone: a second run need not wait for gpupdate.
    return RefreshGroupPolicy();
}
