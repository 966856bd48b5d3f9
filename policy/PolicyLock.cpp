#include "policy/PolicyLock.h"

#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/ScopeExit.h"
#include "platform/Status.h"
#include "platform/Text.h"

namespace {

// A lock file on its way out (the other run has just closed it) can refuse
// an open with access denied for a moment; a folder that really denies
// access must not cost the whole wait, so only a few of these are waited out.
#define POLICY_LOCK_DENIED_TRIES 4

}  // namespace

HRESULT LockPolicyFolder(const WCHAR* pszFolder, const WCHAR* pszFileName, HANDLE* phLock)
{
    *phLock = INVALID_HANDLE_VALUE;
    WCHAR szLock[MAX_PATH];
    if (FAILED(FormatString(szLock, MAX_PATH, WSTR("%s\\%s.lck"), pszFolder, pszFileName))) {
        PrintMessage(WSTR("policy folder path too long\n"));
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }

    DWORD dwWaitedMs = 0;
    int cDenied = 0;
    for (;;) {
        HANDLE hLock = PlatformOpenLockFile(szLock);
        if (hLock != INVALID_HANDLE_VALUE) {
            *phLock = hLock;
            return S_OK;
        }
        const DWORD dwError = PlatformGetLastError();
        // Only access denied in a row counts against the few: every hand-over
        // between waiting runs can give one.
        cDenied = dwError == ERROR_ACCESS_DENIED ? cDenied + 1 : 0;
        const bool bBusy = dwError == ERROR_SHARING_VIOLATION ||
                           (dwError == ERROR_ACCESS_DENIED && cDenied <= POLICY_LOCK_DENIED_TRIES);
        if (!bBusy || dwWaitedMs >= POLICY_LOCK_WAIT_MS) {
            HRESULT hr = HResultFromLastError();
            PrintMessage(WSTR("failed to lock policy folder. err:0x%08lX\n"), hr);
            return hr;
        }
        PlatformSleep(POLICY_LOCK_POLL_MS);
        dwWaitedMs += POLICY_LOCK_POLL_MS;
    }
}

void UnlockPolicyFolder(HANDLE* phLock)
{
    CloseFileIfSet(phLock);
}
