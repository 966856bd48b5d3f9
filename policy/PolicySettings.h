// The built-in policy settings: the only data the tool applies.
#pragma once

#include "platform/Types.h"

#define POLICY_SETTING_COUNT 18
#define POLICY_FILE_NAME WSTR("Registry.pol")

// Working-buffer reserve: 656 bytes for each row. The header and the records
// of every row must fit it, which a test checks.
#define POLICY_BUFFER_RESERVE (656u * POLICY_SETTING_COUNT)

// dwType, cbData and dwData lie side by side in the order in which a PReg
// record carries type, size and data.
struct POLICY_SETTING {
    WCHAR szKeyName[256];
    WCHAR szValueName[64];
    DWORD dwType;
    DWORD cbData;
    DWORD dwData;
    BYTE bFound;
};

extern POLICY_SETTING g_PolicySettings[POLICY_SETTING_COUNT];
