#pragma once

#include "platform/Types.h"

extern WCHAR g_szMachinePolicyDir[MAX_PATH];
extern OSVERSIONINFOEXW g_osvi;

// The whole life of the process: banner, default folder, version query,
// options, policy folder, platform gate, policy file update and Group Policy
// refresh. Returns the status that becomes the process exit code.
HRESULT RunMain(int nArgs, WCHAR** ppszArgs);
