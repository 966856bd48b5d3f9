#include "policy/UpdateGptIni.h"

#include <cstring>

#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/ScopeExit.h"
#include "platform/Status.h"
#include "platform/Text.h"
#include "policy/GptIni.h"
#include "policy/SafeReplace.h"

namespace {

const SAFE_REPLACE_MESSAGES c_gptIniMessages = {
    WSTR("failed to open gpt.ini. err:0x%08lX\n"),
    WSTR("failed to open gpt.ini for writing. err:0x%08lX\n"),
    WSTR("failed to write gpt.ini. err:0x%08lX\n"),
    nullptr,  // gpt.ini is never kept as a backup
};

// The file read by PrepareGptIni, for WriteGptIni. Fixed buffers: gpt.ini is
// at most GPT_INI_MAX_SIZE bytes, and the policy file's one allocation stays
// the run's only one.
SAFE_REPLACE_PATHS g_gptIniPaths;
bool g_bGptIniExists;
DWORD g_cbGptIni;
BYTE g_rgbGptIni[GPT_INI_MAX_SIZE];
BYTE g_rgbGptIniNew[GPT_INI_MAX_OUTPUT];

// The folder as a full path, without one trailing backslash.
bool FullFolderPath(const WCHAR* pszFolder, WCHAR* pszFull)
{
    DWORD cch = PlatformGetFullPathName(pszFolder, MAX_PATH, pszFull);
    if (cch == 0 || cch >= MAX_PATH) {
        return false;
    }
    if (cch > 1 && pszFull[cch - 1] == '\\') {
        pszFull[cch - 1] = 0;
    }
    return true;
}

// gpt.ini's names: in the parent of the policy folder, which is the
// machine's own (its full path was compared with the default folder).
HRESULT FormatGptIniPaths(const WCHAR* pszPolicyFolder, SAFE_REPLACE_PATHS* pPaths)
{
    WCHAR szParent[MAX_PATH];
    if (!FullFolderPath(pszPolicyFolder, szParent)) {
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    size_t cch = StringLength(szParent);
    while (cch > 0 && szParent[cch - 1] != '\\') {
        --cch;
    }
    if (cch == 0) {
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    szParent[cch - 1] = 0;
    return FormatReplacePaths(pPaths, szParent, GPT_INI_FILE_NAME);
}

// Reads the gpt.ini named in g_gptIniPaths whole into g_rgbGptIni, absence
// being no file.
HRESULT LoadGptIni()
{
    g_bGptIniExists = false;
    g_cbGptIni = 0;
    HANDLE hFile = OpenForReadWithRetry(g_gptIniPaths.szFile);
    if (hFile == INVALID_HANDLE_VALUE) {
        if (IsAbsentError(PlatformGetLastError())) {
            return S_OK;
        }
        HRESULT hr = HResultFromLastError();
        PrintMessage(c_gptIniMessages.pszOpenInput, hr);
        return hr;
    }
    auto closeFile = MakeScopeExit([&hFile] { CloseFileIfSet(&hFile); });

    uint64_t cbFile = 0;
    if (!PlatformGetFileSize(hFile, &cbFile)) {
        HRESULT hr = HResultFromLastError();
        PrintMessage(WSTR("failed to read gpt.ini. err:0x%08lX\n"), hr);
        return hr;
    }
    if (cbFile > GPT_INI_MAX_SIZE) {
        HRESULT hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        PrintMessage(WSTR("gpt.ini could not be recognized. err:0x%08lX\n"), hr);
        return hr;
    }
    DWORD cbRead = 0;
    if (cbFile != 0) {
        HRESULT hr = S_OK;
        if (!PlatformReadFile(hFile, g_rgbGptIni, static_cast<DWORD>(cbFile), &cbRead)) {
            hr = HResultFromLastError();
        } else if (cbRead != cbFile) {
            // The file shrank under us: the last error says nothing about that.
            hr = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
        }
        if (FAILED(hr)) {
            PrintMessage(WSTR("failed to read gpt.ini. err:0x%08lX\n"), hr);
            return hr;
        }
    }
    g_bGptIniExists = true;
    g_cbGptIni = static_cast<DWORD>(cbFile);
    return S_OK;
}

// Names gpt.ini's files for pszPolicyFolder in g_gptIniPaths, settles what
// an interrupted write left when bSettle (a run that writes nothing leaves
// it), and reads the file.
HRESULT NameAndLoadGptIni(const WCHAR* pszPolicyFolder, bool bSettle)
{
    HRESULT hr = FormatGptIniPaths(pszPolicyFolder, &g_gptIniPaths);
    if (FAILED(hr)) {
        PrintMessage(WSTR("gpt.ini path too long\n"));
        return hr;
    }
    if (bSettle) {
        hr = SettleLeftovers(g_gptIniPaths, c_gptIniMessages, false);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return LoadGptIni();
}

// The edit of the file read, into g_rgbGptIniNew.
HRESULT EditReadGptIni(bool bPolicyChanged, DWORD* pcbNew, bool* pbWrite)
{
    HRESULT hr = EditGptIni(g_rgbGptIni, g_cbGptIni, g_bGptIniExists, bPolicyChanged, g_rgbGptIniNew,
                            sizeof(g_rgbGptIniNew), pcbNew, pbWrite);
    if (FAILED(hr)) {
        PrintMessage(WSTR("gpt.ini could not be recognized. err:0x%08lX\n"), hr);
    }
    return hr;
}

}  // namespace

bool IsMachinePolicyFolder(const WCHAR* pszFolder, const WCHAR* pszMachineFolder)
{
    WCHAR szFolder[MAX_PATH];
    WCHAR szMachine[MAX_PATH];
    return FullFolderPath(pszFolder, szFolder) && FullFolderPath(pszMachineFolder, szMachine) &&
           EqualsNoCaseAscii(szFolder, szMachine);
}

HRESULT PrepareGptIni(const WCHAR* pszPolicyFolder)
{
    HRESULT hr = NameAndLoadGptIni(pszPolicyFolder, true);
    if (FAILED(hr)) {
        return hr;
    }
    // Checked now, before anything is written: a file that the edit would
    // refuse stops the run while Registry.pol is still untouched.
    DWORD cbNew = 0;
    bool bWrite = false;
    return EditReadGptIni(true, &cbNew, &bWrite);
}

HRESULT CheckGptIni(const WCHAR* pszPolicyFolder, bool* pbInStep)
{
    *pbInStep = false;
    HRESULT hr = NameAndLoadGptIni(pszPolicyFolder, false);
    if (FAILED(hr)) {
        return hr;
    }
    DWORD cbNew = 0;
    bool bWrite = false;
    hr = EditReadGptIni(false, &cbNew, &bWrite);
    if (FAILED(hr)) {
        return hr;
    }
    *pbInStep = !bWrite;
    return S_OK;
}

HRESULT WriteGptIni(bool bPolicyChanged)
{
    // Read once more: the policy editor or the Group Policy service may have
    // rewritten gpt.ini while Registry.pol and the registry were written,
    // and their change must not be reverted.
    HRESULT hr = LoadGptIni();
    if (FAILED(hr)) {
        return hr;
    }
    DWORD cbNew = 0;
    bool bWrite = false;
    hr = EditReadGptIni(bPolicyChanged, &cbNew, &bWrite);
    if (FAILED(hr) || !bWrite) {
        return hr;
    }
    return WriteAndPlaceFile(g_gptIniPaths, c_gptIniMessages, g_bGptIniExists, g_rgbGptIniNew, cbNew, false);
}
