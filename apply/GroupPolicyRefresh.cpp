#include "apply/GroupPolicyRefresh.h"

#include <cstring>

#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/ScopeExit.h"
#include "platform/Status.h"
#include "platform/Text.h"

#define GPUPDATE_TIMEOUT_MS 30000u
#define EXIT_CODE_UNSET 0x87877887u
#define GPUPDATE_FILE_NAME WSTR("gpupdate.exe")
// A failed launch must never wait on a dialog: under SYSTEM nobody can answer it.
#define GPUPDATE_LAUNCH_MASK (SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI)

namespace {

// gpupdate.exe by its full System32 path: a bare name is looked for in the
// current folder first, which may be one that anybody can write to.
HRESULT FormatGpupdatePath(WCHAR* pszPath, size_t cchPath)
{
    WCHAR szSystemDir[MAX_PATH];
    UINT cch = PlatformGetSystemDirectory(szSystemDir, MAX_PATH);
    if (cch == 0) {
        return HResultFromLastError();
    }
    if (cch >= MAX_PATH) {
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    HRESULT hr = FormatString(pszPath, cchPath, WSTR("%s\\%s"), szSystemDir, GPUPDATE_FILE_NAME);
    return FAILED(hr) ? HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) : S_OK;
}

}  // namespace

HRESULT RefreshGroupPolicy()
{
    HRESULT hr = S_OK;

    if (!PlatformRefreshPolicy(TRUE)) {
        hr = HResultFromLastError();
        PrintMessage(WSTR("Failed to refresh group policy. err:0x%08lX\n"), hr);
        // The refresh request is only a nudge; gpupdate runs all the same.
    }

    WCHAR szGpupdate[MAX_PATH];
    HRESULT hrPath = FormatGpupdatePath(szGpupdate, MAX_PATH);
    if (FAILED(hrPath)) {
        PrintMessage(WSTR("Failed to update group policy. err:0x%08lX\n"), hrPath);
        return hrPath;
    }

    SHELLEXECUTEINFOW sei;
    memset(&sei, 0, sizeof(sei));
    sei.cbSize = sizeof(sei);
    sei.fMask = GPUPDATE_LAUNCH_MASK;
    sei.hwnd = nullptr;
    sei.lpVerb = nullptr;
    sei.lpFile = szGpupdate;
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
