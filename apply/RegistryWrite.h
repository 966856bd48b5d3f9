#pragma once

#include "platform/Types.h"
#include "policy/PolicySettings.h"

// Writes one setting as a value under HKEY_LOCAL_MACHINE, creating the key and
// any missing parent. Prints one line on failure and returns the converted
// registry error; the caller goes on with the next row either way.
HRESULT WritePolicyToRegistry(const POLICY_SETTING& row);
