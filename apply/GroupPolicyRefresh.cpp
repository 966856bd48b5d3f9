#include "apply/GroupPolicyRefresh.h"

#include <cstring>

#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/ScopeExit.h"
#include "platform/Status.h"

#define GPUPDATE_TIMEOUT_MS 30000u
#define EXIT_CODE_UNSET 0x87877887u

HRESULT RefreshGroupPolicy()
{
    HRESULT hr = S_OK;

    if (!PlatformRefreshPolicy(TRUE)) {
        hr = HResultFromLastError();
        PrintMessage(WSTR("Failed to refresh group policy. err:0x%08lX\n"), hr);
        // The refresh request is only a nudge; gpupdate runs all the same.
    }

    SHELLEXECUTEINFOW sei;
    memset(&sei, 0, sizeof(sei));
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.hwnd = nullptr;
    sei.lpVerb = nullptr;
    sei.lpFile = WSTR("gpupdate.exe");
    sei.lpParameters = WSTR("/force");
    sei.lpDirectory = nullptr;
    sei.nShow = SW_SHOWNORMAL;
    auto closeProcess = MakeScopeExit([&sei] {
        if (sei.hProcess != nullptr) {
            PlatformCloseHandle(sei.hProcess);
        }
    });

    if (!PlatformShellExecuteEx(&sei)) {
        sei.hProcess = nullptr;  // nothing was started, so there is nothing to close
        hr = HResultFromLastError();
        PrintMessage(WSTR("Failed to update group policy. err:0x%08lX\n"), hr);
        return hr;
    }
    if (sei.hProcess == nullptr) {
        return hr;
    }

    DWORD dwWait = PlatformWaitForSingleObject(sei.hProcess, GPUPDATE_TIMEOUT_MS);
    if (dwWait != WAIT_OBJECT_0) {
        PrintMessage(WSTR("dwWait:%ld\n"), dwWait);
        return hr;
    }

    DWORD dwExitCode = EXIT_CODE_UNSET;
    if (!PlatformGetExitCodeProcess(sei.hProcess, &dwExitCode)) {
        hr = HResultFromLastError();
        PrintMessage(WSTR("Failed to get exit code. err:0x%08lX\n"), hr);
        return hr;
    }
    PrintMessage(WSTR("exit code:0x%lX\n"), dwExitCode);
    return hr;
}
