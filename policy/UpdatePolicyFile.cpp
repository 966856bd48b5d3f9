#include "policy/UpdatePolicyFile.h"

#include <cstring>

#include "app/Options.h"
#include "apply/RegistryWrite.h"
#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/ScopeExit.h"
#include "platform/Status.h"
#include "platform/Text.h"
#include "policy/PolicyFile.h"

namespace {

// The names in the policy folder. The work files carry suffixes as long as
// ".bak", so every path fits wherever the backup path fits. The previous file
// always passes through a name of its own, so that wherever a run is cut
// short, the next one finds it there and knows what it is.
struct POLICY_PATHS {
    WCHAR szFile[MAX_PATH];      // Registry.pol
    WCHAR szBackup[MAX_PATH];    // Registry.pol.bak, kept for the user with OPTION_BACKUP
    WCHAR szTemp[MAX_PATH];      // Registry.pol.new, the new image until it is in place
    WCHAR szPrevious[MAX_PATH];  // Registry.pol.old, the previous file while the new one goes in
};

HRESULT FormatPaths(POLICY_PATHS* pPaths, const WCHAR* pszFolder, const WCHAR* pszFileName)
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
    return hr;
}

// Text of a row, bounded by the width of its field in case it lacks its NUL.
DWORD BoundedLength(const WCHAR* psz, DWORD cchField)
{
    DWORD cch = 0;
    while (cch < cchField - 1 && psz[cch] != 0) {
        ++cch;
    }
    return cch;
}

DWORD RecordSize(const POLICY_SETTING& row)
{
    // "[" key NUL ";" name NUL ";" type ";" size ";" data "]"
    DWORD cchKey = BoundedLength(row.szKeyName, sizeof(row.szKeyName) / sizeof(WCHAR));
    DWORD cchName = BoundedLength(row.szValueName, sizeof(row.szValueName) / sizeof(WCHAR));
    return 28 + 2 * (cchKey + cchName);
}

// Bytes to add to the existing size. The built-in table fits the fixed
// reserve; a longer table gets room for the header, one byte that the merge
// may keep past the content, and every record.
uint64_t BufferReserve(const POLICY_SETTING* pSettings, DWORD cSettings)
{
    uint64_t cbRecords = PREG_HEADER_SIZE + 1;
    for (DWORD i = 0; i < cSettings; ++i) {
        cbRecords += RecordSize(pSettings[i]);
    }
    return cbRecords > POLICY_BUFFER_RESERVE ? cbRecords : POLICY_BUFFER_RESERVE;
}

// The file is UTF-16LE and little-endian whatever the host: bytes are put
// one by one, never through WCHAR or DWORD stores.
DWORD PutCodeUnit(BYTE* pb, DWORD o, unsigned wch)
{
    pb[o] = static_cast<BYTE>(wch);
    pb[o + 1] = static_cast<BYTE>(wch >> 8);
    return o + 2;
}

DWORD PutDword(BYTE* pb, DWORD o, DWORD dw)
{
    o = PutCodeUnit(pb, o, dw & 0xFFFFu);
    return PutCodeUnit(pb, o, dw >> 16);
}

DWORD PutText(BYTE* pb, DWORD o, const WCHAR* psz, DWORD cchField)
{
    DWORD cch = BoundedLength(psz, cchField);
    for (DWORD i = 0; i < cch; ++i) {
        o = PutCodeUnit(pb, o, psz[i]);
    }
    return PutCodeUnit(pb, o, 0);
}

DWORD PutRecord(BYTE* pb, DWORD o, const POLICY_SETTING& row)
{
    o = PutCodeUnit(pb, o, PREG_OPEN);
    o = PutText(pb, o, row.szKeyName, sizeof(row.szKeyName) / sizeof(WCHAR));
    o = PutCodeUnit(pb, o, PREG_SEMI);
    o = PutText(pb, o, row.szValueName, sizeof(row.szValueName) / sizeof(WCHAR));
    o = PutCodeUnit(pb, o, PREG_SEMI);
    o = PutDword(pb, o, row.dwType);
    o = PutCodeUnit(pb, o, PREG_SEMI);
    o = PutDword(pb, o, row.cbData);
    o = PutCodeUnit(pb, o, PREG_SEMI);
    o = PutDword(pb, o, row.dwData);
    return PutCodeUnit(pb, o, PREG_CLOSE);
}

// Completes the image behind the kept content: a fresh header when nothing
// was kept, then a record for every row the merge did not find. Returns the
// length of the image.
DWORD BuildImage(BYTE* pbBuffer, DWORD cbKept, POLICY_SETTING* pSettings, DWORD cSettings)
{
    DWORD oPos = cbKept;
    if (cbKept < PREG_HEADER_SIZE) {
        oPos = PutDword(pbBuffer, 0, PREG_SIGNATURE);
        oPos = PutDword(pbBuffer, oPos, PREG_VERSION);
    }
    for (DWORD i = 0; i < cSettings; ++i) {
        if (pSettings[i].bFound == 0) {
            pSettings[i].bFound = 1;
            oPos = PutRecord(pbBuffer, oPos, pSettings[i]);
        }
    }
    return oPos;
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

// Writes the image to the temporary file, created exclusively so that no
// link planted under that name is written through. *pbCreated tells the
// caller that there is a temporary file to remove should anything fail.
HRESULT WriteTempFile(const POLICY_PATHS& paths, const BYTE* pbImage, DWORD cbImage, bool* pbCreated)
{
    HRESULT hr = E_FAIL;
    HANDLE hOutput = PlatformCreateNewFile(paths.szTemp);
    if (hOutput == INVALID_HANDLE_VALUE) {
        hr = HResultFromLastError();
        PrintMessage(WSTR("failed to open output file. err:0x%08lX\n"), hr);
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
        PrintMessage(WSTR("failed to write output file. err:0x%08lX\n"), hr);
    }
    return hr;
}

// Puts the closed temporary file in the place of an existing Registry.pol.
//
// ReplaceFileW keeps the previous file's ACL and attributes, but without a
// backup name it can fail with 1176 after the previous file is already gone,
// so it always gets one: the private name of the previous file. Not
// Registry.pol.bak, because Windows and Wine overwrite an existing backup
// file, also on the way to a 1177 failure, and because a run cut short must
// leave the previous file where the next run looks for it. Only once the new
// file is in place does the previous file become Registry.pol.bak.
HRESULT ReplaceExistingFile(const POLICY_PATHS& paths, bool bBackup)
{
    if (!PlatformReplaceFile(paths.szFile, paths.szTemp, paths.szPrevious)) {
        HRESULT hr = HResultFromLastError();
        PrintMessage(WSTR("failed to write output file. err:0x%08lX\n"), hr);
        // After 1177 the previous file stands under its private name only.
        // Should the move back fail, it stays there and the next run puts
        // it back before anything else.
        PlatformMoveFile(paths.szPrevious, paths.szFile);
        return hr;
    }

    if (bBackup) {
        // An older backup gives way to the previous file. Should either step
        // fail, the next run finds the previous file under its private name
        // and moves it into a free backup name.
        PlatformDeleteFile(paths.szBackup);
        PlatformMoveFile(paths.szPrevious, paths.szBackup);
    } else {
        PlatformDeleteFile(paths.szPrevious);
    }
    return S_OK;
}

// Writes the image beside Registry.pol and puts it in place, so that
// Registry.pol is at every moment either the previous file or the new one.
HRESULT WriteAndPlaceFile(const POLICY_PATHS& paths, bool bExisted, const BYTE* pbImage, DWORD cbImage)
{
    HRESULT hr = E_FAIL;
    bool bTempCreated = false;
    auto removeTemp = MakeScopeExit([&] {
        if (FAILED(hr) && bTempCreated) {
            PlatformDeleteFile(paths.szTemp);
        }
    });

    hr = WriteTempFile(paths, pbImage, cbImage, &bTempCreated);
    if (FAILED(hr)) {
        return hr;
    }

    if (bExisted) {
        hr = ReplaceExistingFile(paths, (g_dwOptions & OPTION_BACKUP) != 0);
    } else if (!PlatformMoveFile(paths.szTemp, paths.szFile)) {
        hr = HResultFromLastError();
        PrintMessage(WSTR("failed to write output file. err:0x%08lX\n"), hr);
    } else {
        hr = S_OK;
    }
    PlatformTraceStep("flush, close and replace");
    return hr;
}

// Settles what a run cut short (power loss, or a failure while undoing a
// failed replace) left under the work names, before the policy file is read.
// The previous file goes back to Registry.pol when that is missing; beside a
// newer Registry.pol it becomes the backup when that name is free (a copy of
// a policy file is kept rather than deleted), and only when both names are
// taken is it superseded. A temporary file is rebuilt every run; one that
// cannot be removed makes the exclusive create fail later, which reports it.
HRESULT RecoverInterruptedRun(const POLICY_PATHS& paths)
{
    PlatformDeleteFile(paths.szTemp);

    if (PlatformMoveFile(paths.szPrevious, paths.szFile)) {
        return S_OK;
    }
    DWORD dwError = PlatformGetLastError();
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND) {
        return S_OK;
    }
    if (dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_FILE_EXISTS) {
        // It may be the only copy of the previous policy file: go no
        // further than a run that could not open the file at all.
        HRESULT hr = HResultFromLastError();
        PrintMessage(WSTR("failed to open input file. err:0x%08lX\n"), hr);
        return hr;
    }
    if (!PlatformMoveFile(paths.szPrevious, paths.szBackup)) {
        dwError = PlatformGetLastError();
        if (dwError == ERROR_ALREADY_EXISTS || dwError == ERROR_FILE_EXISTS) {
            PlatformDeleteFile(paths.szPrevious);
        }
    }
    return S_OK;
}

}  // namespace

// Reads the existing policy file into one zero-filled buffer, merges it,
// appends the records of the rows it lacks, writes every row to the registry
// when OPTION_REGISTRY is set, and only then writes the new file beside the
// old one and puts it in place. Returns S_OK when the new file is in place;
// on any failure Registry.pol keeps its previous bytes (or stays absent) and
// an older Registry.pol.bak is left as it was. The operation owns the buffer
// and both file handles and releases them on every way out.
HRESULT UpdatePolicyFile(POLICY_SETTING* pSettings, DWORD cSettings, const WCHAR* pszFolder,
                         const WCHAR* pszFileName)
{
    HRESULT hr = E_FAIL;

    POLICY_PATHS paths;
    if (FAILED(FormatPaths(&paths, pszFolder, pszFileName))) {
        PrintMessage(WSTR("policy folder path too long\n"));
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }

    hr = RecoverInterruptedRun(paths);
    if (FAILED(hr)) {
        return hr;
    }

    // Only absence means "no existing file": a file that is there but cannot
    // be read must not be replaced blind.
    HANDLE hInput = PlatformOpenFileForRead(paths.szFile);
    const bool bExisted = hInput != INVALID_HANDLE_VALUE;
    if (!bExisted) {
        DWORD dwError = PlatformGetLastError();
        if (dwError != ERROR_FILE_NOT_FOUND && dwError != ERROR_PATH_NOT_FOUND) {
            hr = HResultFromLastError();
            PrintMessage(WSTR("failed to open input file. err:0x%08lX\n"), hr);
            return hr;
        }
    }
    auto closeInput = MakeScopeExit([&hInput] { CloseFileIfSet(&hInput); });

    uint64_t cbExisting = 0;
    if (bExisted && !PlatformGetFileSize(hInput, &cbExisting)) {
        hr = HResultFromLastError();
        PrintMessage(WSTR("failed to read input file. err:0x%08lX\n"), hr);
        return hr;
    }

    // The buffer size is a 32-bit count: refuse what would wrap it.
    const uint64_t cbReserve = BufferReserve(pSettings, cSettings);
    if (cbExisting + cbReserve > 0xFFFFFFFFu) {
        PrintMessage(WSTR("input file size too large\n"));
        return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    }
    const DWORD cbBuffer = static_cast<DWORD>(cbExisting + cbReserve);
    BYTE* pbBuffer = static_cast<BYTE*>(PlatformAllocate(cbBuffer));
    if (pbBuffer == nullptr) {
        PrintMessage(WSTR("failed to open input file. size:%lu\n"), cbBuffer);
        return E_OUTOFMEMORY;
    }
    auto freeBuffer = MakeScopeExit([pbBuffer] { PlatformFree(pbBuffer); });
    PlatformTraceStep("open and allocate");
    // The buffer comes zeroed: the zero bytes after the content stop every
    // scan of the merge, and the appended records go into them.

    DWORD cbKept = 0;
    if (cbExisting != 0) {
        // A file whose bytes could not be read is not known to be malformed:
        // rebuilding it from the table would throw away every other policy.
        HRESULT hrRead = S_OK;
        cbKept = MergePolicyFile(hInput, static_cast<DWORD>(cbExisting), pbBuffer, pSettings, cSettings, &hrRead);
        if (FAILED(hrRead)) {
            return hrRead;
        }
    }
    // ReplaceFileW cannot replace a file this process still holds open.
    CloseFileIfSet(&hInput);

    const DWORD cbImage = BuildImage(pbBuffer, cbKept, pSettings, cSettings);
    PlatformTraceStep("merge");

    // The registry values stand whatever happens to the file afterwards.
    if ((g_dwOptions & OPTION_REGISTRY) != 0) {
        for (DWORD i = 0; i < cSettings; ++i) {
            WritePolicyToRegistry(pSettings[i]);
        }
    }
    PlatformTraceStep("registry");

    hr = WriteAndPlaceFile(paths, bExisted, pbBuffer, cbImage);
    return hr;
}
