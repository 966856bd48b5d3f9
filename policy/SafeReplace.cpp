#include "policy/SafeReplace.h"

#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/ScopeExit.h"
#include "platform/Status.h"
#include "platform/Text.h"

namespace {

#define ERROR_LOCK_VIOLATION_CODE 33u
#define ERROR_UNABLE_TO_REMOVE_REPLACED_CODE 1175u  // ReplaceFileW: nothing was changed

// The waits between tries while another process holds a file: a few tries
// over a few seconds (3.85 s in all), then the failure stands.
const DWORD c_rgdwRetryWaitMs[] = {100, 250, 500, 1000, 2000};

// Whether the call that has just failed deserves another try, and if so,
// waits first. The Group Policy service holds Registry.pol while it applies
// policy; that passes. When the answer is no, the last error is still the
// failed call's.
bool WaitToRetry(int* piTry)
{
    const DWORD dwError = PlatformGetLastError();
    if (dwError != ERROR_SHARING_VIOLATION && dwError != ERROR_LOCK_VIOLATION_CODE &&
        dwError != ERROR_UNABLE_TO_REMOVE_REPLACED_CODE) {
        return false;
    }
    if (*piTry >= static_cast<int>(sizeof(c_rgdwRetryWaitMs) / sizeof(c_rgdwRetryWaitMs[0]))) {
        return false;
    }
    PlatformSleep(c_rgdwRetryWaitMs[(*piTry)++]);
    return true;
}

bool IsTaken(DWORD dwError)
{
    return dwError == ERROR_ALREADY_EXISTS || dwError == ERROR_FILE_EXISTS;
}

// The previous file, under its work name, becomes the backup: an older
// backup gives way to it. Should that fail, the previous file stays under its
// work name, where the next run settles it by its own wish. The status names
// what stood in the way: the older backup that could not be deleted, if that
// is why, else the move.
HRESULT KeepPreviousAsBackup(const SAFE_REPLACE_PATHS& paths)
{
    HRESULT hrDelete = S_OK;
    if (!PlatformDeleteFile(paths.szBackup) && !IsAbsentError(PlatformGetLastError())) {
        hrDelete = HResultFromLastError();
    }
    if (!PlatformMoveFile(paths.szPrevious, paths.szBackup)) {
        return FAILED(hrDelete) ? hrDelete : HResultFromLastError();
    }
    return S_OK;
}

// WriteFile may take fewer bytes than asked, and Wine reports a full disk as
// a write that succeeds with fewer bytes; a write that takes none at all is
// that full disk (as SQLite's winWrite treats it).
HRESULT WriteWholeFile(HANDLE hFile, const BYTE* pb, DWORD cb)
{
    DWORD cbDone = 0;
    while (cbDone < cb) {
        DWORD cbWritten = 0;
        if (!PlatformWriteFile(hFile, pb + cbDone, cb - cbDone, &cbWritten)) {
            return HResultFromLastError();
        }
        if (cbWritten == 0) {
            return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
        }
        cbDone += cbWritten;
    }
    return S_OK;
}

// Writes the image to the work file, created exclusively so that no link
// planted under that name is written through. *pbCreated tells the caller
// that there is a work file to remove should anything fail.
HRESULT WriteTempFile(const SAFE_REPLACE_PATHS& paths, const SAFE_REPLACE_MESSAGES& messages, const BYTE* pbImage,
                      DWORD cbImage, bool* pbCreated)
{
    HRESULT hr = E_FAIL;
    HANDLE hOutput = PlatformCreateNewFile(paths.szTemp);
    if (hOutput == INVALID_HANDLE_VALUE) {
        hr = HResultFromLastError();
        PrintMessage(messages.pszOpenOutput, hr);
        return hr;
    }
    *pbCreated = true;
    auto closeOutput = MakeScopeExit([&hOutput] { CloseFileIfSet(&hOutput); });

    hr = WriteWholeFile(hOutput, pbImage, cbImage);
    PlatformTraceStep("write");
    if (SUCCEEDED(hr) && !PlatformFlushFile(hOutput)) {
        hr = HResultFromLastError();
    }
    // Buffered bytes may reach the disk only now: a failed close is a failed write.
    if (SUCCEEDED(hr) && !CloseFileIfSet(&hOutput)) {
        hr = HResultFromLastError();
    }
    if (FAILED(hr)) {
        PrintMessage(messages.pszWriteOutput, hr);
    }
    return hr;
}

// Puts the closed work file in the place of an existing target.
//
// ReplaceFileW keeps the previous file's ACL and attributes, but without a
// backup name it can fail with 1176 after the previous file is already gone,
// so it always gets one: the private name of the previous file. Not the
// .bak name, because Windows and Wine overwrite an existing backup file, also
// on the way to a 1177 failure, and because a run cut short must leave the
// previous file where the next run looks for it. Only once the new file is
// in place does the previous file become the backup.
HRESULT ReplaceExistingFile(const SAFE_REPLACE_PATHS& paths, const SAFE_REPLACE_MESSAGES& messages, bool bBackup)
{
    int iTry = 0;
    BOOL bReplaced;
    while (!(bReplaced = PlatformReplaceFile(paths.szFile, paths.szTemp, paths.szPrevious)) && WaitToRetry(&iTry)) {
    }
    if (!bReplaced) {
        HRESULT hr = HResultFromLastError();
        PrintMessage(messages.pszWriteOutput, hr);
        // After 1177 the previous file stands under its private name only.
        // Should the move back fail, it stays there and the next run puts
        // it back before anything else.
        PlatformMoveFile(paths.szPrevious, paths.szFile);
        return hr;
    }

    if (bBackup) {
        HRESULT hrBackup = KeepPreviousAsBackup(paths);
        if (FAILED(hrBackup)) {
            // The new file is in place; the copy asked for is not lost, only
            // not yet under its name.
            PrintMessage(messages.pszKeepBackup, hrBackup);
        }
    } else {
        PlatformDeleteFile(paths.szPrevious);
    }
    return S_OK;
}

}  // namespace

HRESULT FormatReplacePaths(SAFE_REPLACE_PATHS* pPaths, const WCHAR* pszFolder, const WCHAR* pszFileName)
{
    // The folder is taken as given: one ending in "\" keeps both separators.
    HRESULT hr = FormatString(pPaths->szFile, MAX_PATH, WSTR("%s\\%s"), pszFolder, pszFileName);
    if (SUCCEEDED(hr)) {
        hr = FormatString(pPaths->szBackup, MAX_PATH, WSTR("%s\\%s.bak"), pszFolder, pszFileName);
    }
    if (SUCCEEDED(hr)) {
        hr = FormatString(pPaths->szTemp, MAX_PATH, WSTR("%s\\%s.new"), pszFolder, pszFileName);
    }
    if (SUCCEEDED(hr)) {
        hr = FormatString(pPaths->szPrevious, MAX_PATH, WSTR("%s\\%s.old"), pszFolder, pszFileName);
    }
    return FAILED(hr) ? HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) : S_OK;
}

// A work file is rebuilt every run; one that cannot be removed makes the
// exclusive create fail later, which reports it. The previous file goes back
// to the target when that is missing. Beside a newer target it is the newer
// of the previous files: with bBackup it replaces an older backup; without,
// it takes a free backup name (a copy of a policy file is kept rather than
// deleted) and is deleted when an older backup is there. A backup that
// cannot be made here is tried again, and reported, once the new file is in
// place.
HRESULT SettleLeftovers(const SAFE_REPLACE_PATHS& paths, const SAFE_REPLACE_MESSAGES& messages, bool bBackup)
{
    PlatformDeleteFile(paths.szTemp);

    if (PlatformMoveFile(paths.szPrevious, paths.szFile)) {
        return S_OK;
    }
    const DWORD dwError = PlatformGetLastError();
    if (IsAbsentError(dwError)) {
        return S_OK;
    }
    if (!IsTaken(dwError)) {
        // It may be the only copy of the previous file: go no further than
        // a run that could not open the file at all.
        HRESULT hr = HResultFromLastError();
        PrintMessage(messages.pszOpenInput, hr);
        return hr;
    }
    if (bBackup) {
        KeepPreviousAsBackup(paths);
    } else if (!PlatformMoveFile(paths.szPrevious, paths.szBackup) && IsTaken(PlatformGetLastError())) {
        PlatformDeleteFile(paths.szPrevious);
    }
    return S_OK;
}

HANDLE OpenForReadWithRetry(const WCHAR* pszPath)
{
    int iTry = 0;
    HANDLE hFile;
    while ((hFile = PlatformOpenFileForRead(pszPath)) == INVALID_HANDLE_VALUE && WaitToRetry(&iTry)) {
    }
    return hFile;
}

HRESULT WriteAndPlaceFile(const SAFE_REPLACE_PATHS& paths, const SAFE_REPLACE_MESSAGES& messages, bool bExisted,
                          const BYTE* pbImage, DWORD cbImage, bool bBackup)
{
    HRESULT hr = E_FAIL;
    bool bTempCreated = false;
    auto removeTemp = MakeScopeExit([&] {
        if (FAILED(hr) && bTempCreated) {
            PlatformDeleteFile(paths.szTemp);
        }
    });

    hr = WriteTempFile(paths, messages, pbImage, cbImage, &bTempCreated);
    if (FAILED(hr)) {
        return hr;
    }

    if (bExisted) {
        hr = ReplaceExistingFile(paths, messages, bBackup);
    } else if (!PlatformMoveFile(paths.szTemp, paths.szFile)) {
        hr = HResultFromLastError();
        PrintMessage(messages.pszWriteOutput, hr);
    } else {
        hr = S_OK;
    }
    PlatformTraceStep("flush, close and replace");
    return hr;
}
