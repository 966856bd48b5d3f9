#include "app/CheckMode.h"

#include "app/Options.h"
#include "app/RunMain.h"
#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/ScopeExit.h"
#include "platform/Text.h"
#include "policy/PolicyFile.h"
#include "policy/PolicySettings.h"
#include "policy/SafeReplace.h"
#include "policy/UpdateGptIni.h"
#include "policy/UpdatePolicyFile.h"

namespace {

bool InForce(const POLICY_SETTING& row, DWORD dwType, DWORD cbData, DWORD dwData)
{
    return dwType == row.dwType && cbData == row.cbData && dwData == row.dwData;
}

// What Registry.pol holds for each row, by the same one read, buffer and
// merge walk as an update; the buffer is not written anywhere.
HRESULT ReadPolicyFileRows(POLICY_SEEN* prgSeen)
{
    // The names an update would use, so that a folder an update refuses as
    // too long is refused here too.
    SAFE_REPLACE_PATHS paths;
    if (FAILED(FormatReplacePaths(&paths, g_pszPolicyDir, POLICY_FILE_NAME))) {
        PrintMessage(WSTR("policy folder path too long\n"));
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    POLICY_IMAGE image;
    HRESULT hr = ReadPolicyFile(paths.szFile, g_PolicySettings, POLICY_SETTING_COUNT, &image, prgSeen);
    if (FAILED(hr)) {
        return hr;
    }
    FreePolicyImage(&image);
    if (image.cbKept == 0) {
        // No file, an empty one, or one the merge gave up on: it holds none
        // of the rows, whatever its records said.
        for (DWORD i = 0; i < POLICY_SETTING_COUNT; ++i) {
            prgSeen[i].bSeen = false;
        }
    }
    return S_OK;
}

// One row's registry value; *pbInForce false prints its line. A read that
// fails with anything but "not found" fails the check.
HRESULT CheckRegistryRow(const POLICY_SETTING& row, bool* pbInForce)
{
    *pbInForce = false;
    HKEY hKey = nullptr;
    auto closeKey = MakeScopeExit([&hKey] {
        if (hKey != nullptr) {
            PlatformRegCloseKey(hKey);
        }
    });
    LONG lError = PlatformRegOpenKey(HKEY_LOCAL_MACHINE, row.szKeyName, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &hKey);
    if (lError != ERROR_SUCCESS && lError != ERROR_FILE_NOT_FOUND) {
        HRESULT hr = HRESULT_FROM_WIN32(lError);
        PrintMessage(WSTR("ERR: failed to open key. err:0x%08lX\n"), hr);
        return hr;
    }
    DWORD dwType = 0;
    BYTE rgbData[4] = {0, 0, 0, 0};
    DWORD cbData = sizeof(rgbData);
    if (lError == ERROR_SUCCESS) {
        lError = PlatformRegQueryValue(hKey, row.szValueName, &dwType, rgbData, &cbData);
    }
    if (lError == ERROR_FILE_NOT_FOUND) {
        PrintMessage(WSTR("not in force: %s in registry: missing\n"), row.szValueName);
        return S_OK;
    }
    if (lError != ERROR_SUCCESS && lError != ERROR_MORE_DATA) {
        HRESULT hr = HRESULT_FROM_WIN32(lError);
        PrintMessage(WSTR("ERR: failed to query val. err:0x%08lX\n"), hr);
        return hr;
    }
    const DWORD dwData = static_cast<DWORD>(rgbData[0]) | (static_cast<DWORD>(rgbData[1]) << 8) |
                         (static_cast<DWORD>(rgbData[2]) << 16) | (static_cast<DWORD>(rgbData[3]) << 24);
    if (lError == ERROR_SUCCESS && InForce(row, dwType, cbData, dwData)) {
        *pbInForce = true;
    } else if (lError == ERROR_SUCCESS && cbData == 4) {
        PrintMessage(WSTR("not in force: %s in registry: type:%lu size:%lu data:0x%lX\n"), row.szValueName, dwType,
                     cbData, dwData);
    } else {
        PrintMessage(WSTR("not in force: %s in registry: type:%lu size:%lu\n"), row.szValueName, dwType, cbData);
    }
    return S_OK;
}

}  // namespace

HRESULT CheckPolicyInForce()
{
    POLICY_SEEN rgSeen[POLICY_SETTING_COUNT];
    HRESULT hr = ReadPolicyFileRows(rgSeen);
    if (FAILED(hr)) {
        return hr;
    }

    bool bAllInForce = true;
    for (DWORD i = 0; i < POLICY_SETTING_COUNT; ++i) {
        const POLICY_SETTING& row = g_PolicySettings[i];
        const POLICY_SEEN& seen = rgSeen[i];
        if (!seen.bSeen) {
            PrintMessage(WSTR("not in force: %s in policy file: missing\n"), row.szValueName);
            bAllInForce = false;
        } else if (!InForce(row, seen.dwType, seen.cbData, seen.dwData)) {
            PrintMessage(WSTR("not in force: %s in policy file: type:%lu size:%lu data:0x%lX\n"), row.szValueName,
                         seen.dwType, seen.cbData, seen.dwData);
            bAllInForce = false;
        }
        if ((g_dwOptions & OPTION_REGISTRY) != 0) {
            bool bInForce = false;
            hr = CheckRegistryRow(row, &bInForce);
            if (FAILED(hr)) {
                return hr;
            }
            bAllInForce = bAllInForce && bInForce;
        }
    }

    if (IsMachinePolicyFolder(g_pszPolicyDir, g_szMachinePolicyDir)) {
        bool bInStep = false;
        hr = CheckGptIni(g_pszPolicyDir, &bInStep);
        if (FAILED(hr)) {
            return hr;
        }
        if (!bInStep) {
            PrintMessage(WSTR("not in force: gpt.ini lacks the registry extension or a machine version\n"));
            bAllInForce = false;
        }
    }
    return bAllInForce ? S_OK : S_FALSE;
}
