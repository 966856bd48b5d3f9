// The safe replace of a file that Windows reads: the new bytes go to a work
// file beside the target, created exclusively, written in full, flushed and
// closed, and are then swapped in with ReplaceFileW, which keeps the target's
// ACL and attributes. The target never holds part of either image: it is its
// previous bytes or the new ones (ReplaceFileW renames, so for an instant it
// may be absent). Registry.pol and gpt.ini both go through here.
#pragma once

#include "platform/Types.h"

// The names beside the target. The work names carry suffixes as long as
// ".bak", so every path fits wherever the backup path fits. The previous file
// always passes through a name of its own, so that wherever a run is cut
// short, the next one finds it there and knows what it is.
struct SAFE_REPLACE_PATHS {
    WCHAR szFile[MAX_PATH];      // the target, e.g. Registry.pol
    WCHAR szBackup[MAX_PATH];    // <target>.bak, the previous file kept on request
    WCHAR szTemp[MAX_PATH];      // <target>.new, the new image until it is in place
    WCHAR szPrevious[MAX_PATH];  // <target>.old, the previous file while the new one goes in
};

// The lines of one kind of file, each with "err:0x%08lX" for the status.
struct SAFE_REPLACE_MESSAGES {
    const WCHAR* pszOpenInput;    // the previous file cannot be opened or put back
    const WCHAR* pszOpenOutput;   // the work file cannot be created
    const WCHAR* pszWriteOutput;  // the work file cannot be written or put in place
    const WCHAR* pszKeepBackup;   // the previous file cannot take the backup name (null: never backed up)
};

// The error of a file, or its folder, that is not there.
inline bool IsAbsentError(DWORD dwError)
{
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

// Formats the four names from the folder, taken as given ("%s\%s"), and the
// file name. Fails with HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) when
// one does not fit MAX_PATH; nothing is printed.
HRESULT FormatReplacePaths(SAFE_REPLACE_PATHS* pPaths, const WCHAR* pszFolder, const WCHAR* pszFileName);

// Settles what a run cut short left under the work names, before the target
// is read. bBackup is this run's wish for a backup. Fails, with its line, only
// when a previous file that may be the only copy cannot be put back.
HRESULT SettleLeftovers(const SAFE_REPLACE_PATHS& paths, const SAFE_REPLACE_MESSAGES& messages, bool bBackup);

// Opens the target for reading (shared for reading only), retrying a few
// times over a few seconds while another process holds it without sharing.
// INVALID_HANDLE_VALUE on failure, with the reason in the last error.
HANDLE OpenForReadWithRetry(const WCHAR* pszPath);

// Writes cbImage bytes beside the target and puts them in place. bExisted:
// the target was there when it was read. With bBackup, the previous file
// becomes <target>.bak once the new one is in place; a backup that cannot be
// made is reported by its line and leaves the previous file under its work
// name for the next run, without failing this one. Returns S_OK once the new
// bytes are in place; on failure, with its line, the target keeps its
// previous bytes (or stays absent) and no work file is left.
HRESULT WriteAndPlaceFile(const SAFE_REPLACE_PATHS& paths, const SAFE_REPLACE_MESSAGES& messages, bool bExisted,
                          const BYTE* pbImage, DWORD cbImage, bool bBackup);
