#include "apply/RegistryWrite.h"

#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/ScopeExit.h"

HRESULT WritePolicyToRegistry(const POLICY_SETTING& row)
{
    HKEY hKey = nullptr;
    DWORD dwDisposition = 0;  // created or opened: both are fine
    auto closeKey = MakeScopeExit([&hKey] {
        if (hKey != nullptr) {
            PlatformRegCloseKey(hKey);
        }
    });

    // No view flag: a 64-bit process writes the 64-bit view.
    LONG lError = PlatformRegCreateKey(HKEY_LOCAL_MACHINE, row.szKeyName, REG_OPTION_NON_VOLATILE,
                                       KEY_READ | KEY_WRITE, &hKey, &dwDisposition);
    if (lError != ERROR_SUCCESS) {
        PrintMessage(WSTR("ERR: failed to open key.\n"));
        return HRESULT_FROM_WIN32(lError);
    }

    lError = PlatformRegSetValue(hKey, row.szValueName, row.dwType,
                                 reinterpret_cast<const BYTE*>(&row.dwData), row.cbData);
    if (lError != ERROR_SUCCESS) {
        PrintMessage(WSTR("ERR: failed to set val.\n"));
        return HRESULT_FROM_WIN32(lError);
    }
    return S_OK;
}
