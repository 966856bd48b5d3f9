#include "policy/UpdatePolicyFile.h"

#include "app/Options.h"
#include "apply/RegistryWrite.h"
#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/ScopeExit.h"
#include "platform/Status.h"
#include "platform/Text.h"
#include "policy/PolicyFile.h"
#include "policy/SafeReplace.h"

namespace {

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

}  // namespace

// The lines of the policy file, for the safe replace.
const SAFE_REPLACE_MESSAGES c_policyFileMessages = {
    WSTR("failed to open input file. err:0x%08lX\n"),
    WSTR("failed to open output file. err:0x%08lX\n"),
    WSTR("failed to write output file. err:0x%08lX\n"),
    WSTR("failed to keep backup file. err:0x%08lX\n"),
};

HRESULT ReadPolicyFile(const WCHAR* pszPath, POLICY_SETTING* pSettings, DWORD cSettings, POLICY_IMAGE* pImage,
                       POLICY_SEEN* prgSeen)
{
    pImage->pbBuffer = nullptr;
    pImage->cbExisting = 0;
    pImage->cbKept = 0;
    pImage->bExisted = false;
    pImage->bMergeChanged = false;
    for (DWORD i = 0; prgSeen != nullptr && i < cSettings; ++i) {
        prgSeen[i].bSeen = false;
    }

    // Only absence means "no existing file": a file that is there but cannot
    // be read must not be replaced blind.
    HANDLE hInput = OpenForReadWithRetry(pszPath);
    pImage->bExisted = hInput != INVALID_HANDLE_VALUE;
    if (!pImage->bExisted) {
        if (!IsAbsentError(PlatformGetLastError())) {
            HRESULT hr = HResultFromLastError();
            PrintMessage(WSTR("failed to open input file. err:0x%08lX\n"), hr);
            return hr;
        }
    }
    // ReplaceFileW cannot replace a file this process still holds open, so
    // the input is closed on every way out of here.
    auto closeInput = MakeScopeExit([&hInput] { CloseFileIfSet(&hInput); });

    uint64_t cbExisting = 0;
    if (pImage->bExisted && !PlatformGetFileSize(hInput, &cbExisting)) {
        HRESULT hr = HResultFromLastError();
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
    pImage->pbBuffer = pbBuffer;
    pImage->cbExisting = static_cast<DWORD>(cbExisting);
    PlatformTraceStep("open and allocate");

    // The buffer comes zeroed: the zero bytes after the content stop every
    // scan of the merge, and the appended records go into them.
    if (cbExisting != 0) {
        // A file whose bytes could not be read is not known to be malformed:
        // rebuilding it from the table would throw away every other policy.
        HRESULT hrRead = S_OK;
        pImage->cbKept = MergePolicyFile(hInput, static_cast<DWORD>(cbExisting), pbBuffer, pSettings, cSettings,
                                         &hrRead, &pImage->bMergeChanged, prgSeen);
        if (FAILED(hrRead)) {
            FreePolicyImage(pImage);
            return hrRead;
        }
    }
    return S_OK;
}

void FreePolicyImage(POLICY_IMAGE* pImage)
{
    if (pImage->pbBuffer != nullptr) {
        PlatformFree(pImage->pbBuffer);
        pImage->pbBuffer = nullptr;
    }
}

// Reads the existing policy file into one zero-filled buffer, merges it,
// appends the records of the rows it lacks, writes every row to the registry
// when OPTION_REGISTRY is set, and only then writes the new file beside the
// old one and puts it in place. Returns S_OK when the new file is in place;
// on any failure Registry.pol keeps its previous bytes (or stays absent) and
// an older Registry.pol.bak is left as it was. The operation owns the buffer
// and both file handles and releases them on every way out.
HRESULT UpdatePolicyFile(POLICY_SETTING* pSettings, DWORD cSettings, const WCHAR* pszFolder,
                         const WCHAR* pszFileName, bool* pbChanged)
{
    if (pbChanged != nullptr) {
        *pbChanged = false;
    }
    SAFE_REPLACE_PATHS paths;
    if (FAILED(FormatReplacePaths(&paths, pszFolder, pszFileName))) {
        PrintMessage(WSTR("policy folder path too long\n"));
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    const bool bBackup = (g_dwOptions & OPTION_BACKUP) != 0;

    HRESULT hr = SettleLeftovers(paths, c_policyFileMessages, bBackup);
    if (FAILED(hr)) {
        return hr;
    }

    POLICY_IMAGE image;
    hr = ReadPolicyFile(paths.szFile, pSettings, cSettings, &image);
    if (FAILED(hr)) {
        return hr;
    }
    auto freeImage = MakeScopeExit([&image] { FreePolicyImage(&image); });

    const DWORD cbImage = BuildImage(image.pbBuffer, image.cbKept, pSettings, cSettings);
    PlatformTraceStep("merge");

    // The registry values stand whatever happens to the file afterwards.
    if ((g_dwOptions & OPTION_REGISTRY) != 0) {
        for (DWORD i = 0; i < cSettings; ++i) {
            WritePolicyToRegistry(pSettings[i]);
        }
    }
    PlatformTraceStep("registry");

    hr = WriteAndPlaceFile(paths, c_policyFileMessages, image.bExisted, image.pbBuffer, cbImage, bBackup);
    // The bytes differ from the previous file's when it was not there, when
    // anything was appended or rebuilt (the image is then longer or not the
    // kept content), or when the merge overwrote a field with other bytes.
    if (SUCCEEDED(hr) && pbChanged != nullptr) {
        *pbChanged = !image.bExisted || cbImage != image.cbExisting || image.cbKept != image.cbExisting ||
                     image.bMergeChanged;
    }
    return hr;
}
