// Turning a failed call into a status.
#pragma once

#include "platform/Platform.h"

// Call directly after the failed call, before anything is printed. A failed
// call whose last error reads 0 still yields a failure (E_FAIL): a failure
// must never turn into S_OK on its way up.
inline HRESULT HResultFromLastError()
{
    DWORD dwError = PlatformGetLastError();
    return dwError != 0 ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
}
