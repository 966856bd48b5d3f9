#pragma once

#include "platform/Types.h"
#include "policy/PolicySettings.h"

// Brings <pszFolder>\<pszFileName> up to date with the built-in settings:
// merges the existing file, appends the missing records, writes every row to
// the registry when OPTION_REGISTRY is set, and puts the new file in place.
HRESULT UpdatePolicyFile(POLICY_SETTING* pSettings, DWORD cSettings, const WCHAR* pszFolder,
                         const WCHAR* pszFileName);
