#include "platform/fake/FakePlatform.h"

#include <cstdlib>
#include <cstring>

FAKE_STATE g_fake;

namespace {

const HANDLE c_hFakeProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x7000));
const intptr_t c_hFirstKey = 0x5000;

// Counts the call and says whether it is the one to fail; the caller then
// returns its failure value with g_fake.dwLastError already set.
bool Enter(const char* pszName)
{
    g_fake.calls.push_back(pszName);
    if (g_fake.onCall) {
        g_fake.onCall(pszName);
    }
    ++g_fake.nCounted;
    bool bFail = false;
    if (g_fake.nFailCall != 0) {
        if (g_fake.failName.empty()) {
            bFail = g_fake.nCounted == g_fake.nFailCall;
        } else if (g_fake.failName == pszName) {
            int nNamed = ++g_fake.nNamedCounted;
            int cFail = g_fake.cFailCalls > 0 ? g_fake.cFailCalls : 1;
            bFail = (nNamed >= g_fake.nFailCall && nNamed < g_fake.nFailCall + cFail) ||
                    g_fake.nFailCall == FAKE_EVERY_CALL;
        }
    }
    if (bFail) {
        g_fake.bFaultHit = true;
        g_fake.dwLastError = g_fake.dwFailError;
    }
    return bFail;
}

FAKE_PATH ParentOf(const FAKE_PATH& path)
{
    size_t iSlash = path.find_last_of(u'\\');
    return iSlash == FAKE_PATH::npos ? FAKE_PATH() : path.substr(0, iSlash);
}

// Windows treats "a\\b" as "a\b": collapse repeated separators.
FAKE_PATH Normalize(const WCHAR* pszPath)
{
    FAKE_PATH result;
    for (const WCHAR* pch = pszPath; *pch != 0; ++pch) {
        if (*pch == u'\\' && !result.empty() && result.back() == u'\\') {
            continue;
        }
        result.push_back(*pch);
    }
    return FakeFold(result);
}

bool ParentExists(const FAKE_PATH& folded)
{
    return g_fake.directories.count(ParentOf(folded)) != 0;
}

HANDLE NewFileHandle(const FAKE_PATH& folded)
{
    intptr_t h = g_fake.nextHandle;
    g_fake.nextHandle += 4;
    g_fake.openFiles[h] = folded;
    g_fake.readPositions[h] = 0;
    ++g_fake.cFileOpens;
    return reinterpret_cast<HANDLE>(h);
}

const FAKE_PATH* OpenFilePath(HANDLE hFile)
{
    auto it = g_fake.openFiles.find(reinterpret_cast<intptr_t>(hFile));
    return it == g_fake.openFiles.end() ? nullptr : &it->second;
}

// Files are opened with no more than FILE_SHARE_READ, so a file with an open
// handle cannot be deleted, renamed or replaced (ERROR_SHARING_VIOLATION).
bool IsOpenFile(const FAKE_PATH& folded)
{
    for (const auto& entry : g_fake.openFiles) {
        if (entry.second == folded) {
            g_fake.dwLastError = ERROR_SHARING_VIOLATION;
            return true;
        }
    }
    return false;
}

// As the Win32 path queries answer: the length without the NUL, or the size
// needed with it when the buffer is too small.
UINT CopyPathOut(const FAKE_PATH& path, WCHAR* pszBuffer, UINT cchBuffer)
{
    if (path.size() + 1 > cchBuffer) {
        return static_cast<UINT>(path.size() + 1);
    }
    memcpy(pszBuffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return static_cast<UINT>(path.size());
}

}  // namespace

FAKE_PATH FakeFold(const FAKE_PATH& path)
{
    FAKE_PATH folded = path;
    for (char16_t& ch : folded) {
        if (ch >= u'A' && ch <= u'Z') {
            ch = static_cast<char16_t>(ch + 0x20);
        }
    }
    return folded;
}

void FakeReset()
{
    g_fake = FAKE_STATE();
    g_fake.nextHandle = 0x1000;
    g_fake.windowsDir = u"C:\\Windows";
    g_fake.systemDir = u"C:\\Windows\\system32";
    g_fake.currentDir = u"C:\\Users\\admin\\Downloads";
    memset(&g_fake.version, 0, sizeof(g_fake.version));
    g_fake.version.dwMajorVersion = 10;
    g_fake.version.dwMinorVersion = 0;
    g_fake.version.dwBuildNumber = 19045;
    g_fake.version.dwPlatformId = 2;
    g_fake.version.wProductType = 1;
    g_fake.version.wSuiteMask = 0x100;
    FakeAddDirectory(u"C:");
    FakeAddDirectory(u"C:\\Windows");
    FakeAddDirectory(u"C:\\Windows\\system32");
    FakeAddDirectory(u"C:\\Windows\\system32\\GroupPolicy");
    g_fake.bRefreshResult = TRUE;
    g_fake.bLaunchResult = TRUE;
    g_fake.dwWaitResult = WAIT_OBJECT_0;
    g_fake.bExitCodeResult = TRUE;
    g_fake.dwChildExitCode = 0;
}

void FakeFailCall(int nCall, DWORD dwError)
{
    g_fake.nFailCall = nCall;
    g_fake.failName.clear();
    g_fake.dwFailError = dwError;
}

void FakeFailNamedCall(const char* pszName, int nCall, DWORD dwError)
{
    FakeFailNamedCalls(pszName, nCall, 1, dwError);
}

void FakeFailNamedCalls(const char* pszName, int nCall, int cCalls, DWORD dwError)
{
    g_fake.nFailCall = nCall;
    g_fake.cFailCalls = cCalls;
    g_fake.failName = pszName;
    g_fake.dwFailError = dwError;
    g_fake.nNamedCounted = 0;
}

void FakeAddDirectory(const FAKE_PATH& path)
{
    g_fake.directories.insert(FakeFold(path));
}

void FakeSetFile(const FAKE_PATH& path, const FAKE_BYTES& bytes)
{
    g_fake.files[FakeFold(path)] = bytes;
}

bool FakeHasFile(const FAKE_PATH& path)
{
    return g_fake.files.count(FakeFold(path)) != 0;
}

FAKE_BYTES FakeGetFile(const FAKE_PATH& path)
{
    auto it = g_fake.files.find(FakeFold(path));
    return it == g_fake.files.end() ? FAKE_BYTES() : it->second;
}

void FakeRemoveFile(const FAKE_PATH& path)
{
    g_fake.files.erase(FakeFold(path));
}

// ---- the seam ----

void PlatformWriteStdout(const char* pch, size_t cch)
{
    g_fake.stdoutBytes.append(pch, cch);
}

DWORD PlatformGetLastError()
{
    return g_fake.dwLastError;
}

UINT PlatformGetWindowsDirectory(WCHAR* pszBuffer, UINT cchBuffer)
{
    if (Enter("GetWindowsDirectory")) {
        return 0;
    }
    return CopyPathOut(g_fake.windowsDir, pszBuffer, cchBuffer);
}

BOOL PlatformGetVersionEx(OSVERSIONINFOEXW* posvi)
{
    if (Enter("GetVersionEx")) {
        return FALSE;
    }
    DWORD cbSize = posvi->dwOSVersionInfoSize;
    if (cbSize == sizeof(OSVERSIONINFOEXW) && !g_fake.bShortVersionOnly) {
        *posvi = g_fake.version;
        posvi->dwOSVersionInfoSize = cbSize;
        return TRUE;
    }
    if (cbSize == sizeof(OSVERSIONINFOW)) {
        memcpy(posvi, &g_fake.version, sizeof(OSVERSIONINFOW));
        posvi->dwOSVersionInfoSize = cbSize;
        return TRUE;
    }
    g_fake.dwLastError = 87;  // ERROR_INVALID_PARAMETER
    return FALSE;
}

BOOL PlatformCreateDirectory(const WCHAR* pszPath)
{
    if (Enter("CreateDirectory")) {
        return FALSE;
    }
    FAKE_PATH folded = Normalize(pszPath);
    if (!folded.empty() && folded.back() == u'\\') {
        folded.pop_back();
    }
    if (g_fake.directories.count(folded) != 0 || g_fake.files.count(folded) != 0) {
        g_fake.dwLastError = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    if (folded.empty() || !ParentExists(folded)) {
        g_fake.dwLastError = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    g_fake.directories.insert(folded);
    return TRUE;
}

void* PlatformAllocate(size_t cb)
{
    if (Enter("Allocate")) {
        return nullptr;
    }
    ++g_fake.cAllocations;
    ++g_fake.cLiveAllocations;
    g_fake.cbLastAllocation = cb;
    // Zeroed, as the system's fresh pages are.
    return calloc(cb == 0 ? 1 : cb, 1);
}

void PlatformRestrictDllSearch()
{
    g_fake.calls.push_back("RestrictDllSearch");
}

UINT PlatformGetSystemDirectory(WCHAR* pszBuffer, UINT cchBuffer)
{
    if (Enter("GetSystemDirectory")) {
        return 0;
    }
    return CopyPathOut(g_fake.systemDir, pszBuffer, cchBuffer);
}

DWORD PlatformGetFullPathName(const WCHAR* pszPath, DWORD cchBuffer, WCHAR* pszBuffer)
{
    if (Enter("GetFullPathName")) {
        return 0;
    }
    // Drive-absolute and UNC paths stand as they are; anything else is taken
    // from the current folder. Enough for the comparisons the logic makes.
    FAKE_PATH path(pszPath);
    bool bAbsolute = (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') ||
                     (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\');
    return CopyPathOut(bAbsolute ? path : g_fake.currentDir + u"\\" + path, pszBuffer, cchBuffer);
}

void PlatformSleep(DWORD dwMilliseconds)
{
    g_fake.calls.push_back("Sleep");
    g_fake.sleeps.push_back(dwMilliseconds);
}

void PlatformTraceStep(const char*)
{
}

void PlatformFree(void* pv)
{
    g_fake.calls.push_back("Free");
    --g_fake.cLiveAllocations;
    free(pv);
}

HANDLE PlatformOpenFileForRead(const WCHAR* pszPath)
{
    if (Enter("OpenFileForRead")) {
        return INVALID_HANDLE_VALUE;
    }
    FAKE_PATH folded = Normalize(pszPath);
    if (!ParentExists(folded)) {
        g_fake.dwLastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (g_fake.files.count(folded) == 0) {
        g_fake.dwLastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    return NewFileHandle(folded);
}

BOOL PlatformGetFileSize(HANDLE hFile, uint64_t* pcbSize)
{
    if (Enter("GetFileSize")) {
        return FALSE;
    }
    const FAKE_PATH* pPath = OpenFilePath(hFile);
    if (pPath == nullptr) {
        g_fake.dwLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *pcbSize = g_fake.cbReportedSize != 0 ? g_fake.cbReportedSize : g_fake.files[*pPath].size();
    return TRUE;
}

BOOL PlatformReadFile(HANDLE hFile, void* pvBuffer, DWORD cbToRead, DWORD* pcbRead)
{
    *pcbRead = 0;
    if (Enter("ReadFile")) {
        return FALSE;
    }
    const FAKE_PATH* pPath = OpenFilePath(hFile);
    if (pPath == nullptr) {
        g_fake.dwLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const FAKE_BYTES& bytes = g_fake.files[*pPath];
    size_t& iPos = g_fake.readPositions[reinterpret_cast<intptr_t>(hFile)];
    size_t cbAvailable = iPos < bytes.size() ? bytes.size() - iPos : 0;
    size_t cb = cbToRead < cbAvailable ? cbToRead : cbAvailable;
    if (cb != 0) {
        memcpy(pvBuffer, bytes.data() + iPos, cb);
    }
    iPos += cb;
    *pcbRead = static_cast<DWORD>(cb);
    return TRUE;
}

HANDLE PlatformCreateNewFile(const WCHAR* pszPath)
{
    if (Enter("CreateNewFile")) {
        return INVALID_HANDLE_VALUE;
    }
    FAKE_PATH folded = Normalize(pszPath);
    if (!ParentExists(folded)) {
        g_fake.dwLastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (g_fake.files.count(folded) != 0) {
        g_fake.dwLastError = ERROR_FILE_EXISTS;
        return INVALID_HANDLE_VALUE;
    }
    g_fake.files[folded] = FAKE_BYTES();
    return NewFileHandle(folded);
}

HANDLE PlatformOpenLockFile(const WCHAR* pszPath)
{
    if (Enter("OpenLockFile")) {
        return INVALID_HANDLE_VALUE;
    }
    FAKE_PATH folded = Normalize(pszPath);
    if (!ParentExists(folded)) {
        g_fake.dwLastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (g_fake.cLockBusyOpens != 0) {
        if (g_fake.cLockBusyOpens > 0) {
            --g_fake.cLockBusyOpens;
        }
        g_fake.dwLastError = ERROR_SHARING_VIOLATION;
        return INVALID_HANDLE_VALUE;
    }
    if (IsOpenFile(folded)) {
        return INVALID_HANDLE_VALUE;
    }
    g_fake.files[folded];
    g_fake.deleteOnClose.insert(folded);
    return NewFileHandle(folded);
}

BOOL PlatformWriteFile(HANDLE hFile, const void* pvBuffer, DWORD cbToWrite, DWORD* pcbWritten)
{
    *pcbWritten = 0;
    if (Enter("WriteFile")) {
        return FALSE;
    }
    const FAKE_PATH* pPath = OpenFilePath(hFile);
    if (pPath == nullptr) {
        g_fake.dwLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    DWORD cb = cbToWrite;
    if (g_fake.cbWriteLimit != 0 || g_fake.bWriteZeroSucceeds) {
        cb = cb < g_fake.cbWriteLimit ? cb : g_fake.cbWriteLimit;
    }
    FAKE_BYTES& bytes = g_fake.files[*pPath];
    const uint8_t* pb = static_cast<const uint8_t*>(pvBuffer);
    bytes.insert(bytes.end(), pb, pb + cb);
    *pcbWritten = cb;
    return TRUE;
}

BOOL PlatformFlushFile(HANDLE hFile)
{
    if (Enter("FlushFile")) {
        return FALSE;
    }
    if (OpenFilePath(hFile) == nullptr) {
        g_fake.dwLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return TRUE;
}

BOOL PlatformCloseFile(HANDLE hFile)
{
    // The handle is gone whether or not the close reports success, as on Windows.
    bool bFail = Enter("CloseFile");
    auto it = g_fake.openFiles.find(reinterpret_cast<intptr_t>(hFile));
    if (it == g_fake.openFiles.end()) {
        g_fake.dwLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    FAKE_PATH closed = it->second;
    g_fake.openFiles.erase(it);
    g_fake.readPositions.erase(reinterpret_cast<intptr_t>(hFile));
    if (g_fake.deleteOnClose.erase(closed) != 0) {
        g_fake.files.erase(closed);
    }
    ++g_fake.cFileCloses;
    return bFail ? FALSE : TRUE;
}

BOOL PlatformDeleteFile(const WCHAR* pszPath)
{
    if (Enter("DeleteFile")) {
        return FALSE;
    }
    FAKE_PATH folded = Normalize(pszPath);
    if (IsOpenFile(folded)) {
        return FALSE;
    }
    if (g_fake.files.erase(folded) == 0) {
        g_fake.dwLastError = ParentExists(folded) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    return TRUE;
}

BOOL PlatformMoveFile(const WCHAR* pszFrom, const WCHAR* pszTo)
{
    if (Enter("MoveFile")) {
        return FALSE;
    }
    FAKE_PATH from = Normalize(pszFrom);
    FAKE_PATH to = Normalize(pszTo);
    if (IsOpenFile(from) || IsOpenFile(to)) {
        return FALSE;
    }
    if (g_fake.files.count(from) == 0) {
        g_fake.dwLastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    if (g_fake.files.count(to) != 0) {
        g_fake.dwLastError = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    g_fake.files[to] = g_fake.files[from];
    g_fake.files.erase(from);
    return TRUE;
}

BOOL PlatformReplaceFile(const WCHAR* pszReplaced, const WCHAR* pszReplacement, const WCHAR* pszBackup)
{
    FAKE_PATH replaced = Normalize(pszReplaced);
    FAKE_PATH replacement = Normalize(pszReplacement);
    FAKE_PATH backup = pszBackup != nullptr ? Normalize(pszBackup) : FAKE_PATH();
    if (Enter("ReplaceFile")) {
        // Leave the files as ReplaceFileW documents for each of its
        // partial failures.
        if (g_fake.dwFailError == ERROR_UNABLE_TO_MOVE_REPLACEMENT && backup.empty()) {
            g_fake.files.erase(replaced);
        } else if (g_fake.dwFailError == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 && g_fake.files.count(replaced) != 0) {
            if (!backup.empty()) {
                g_fake.files[backup] = g_fake.files[replaced];
            }
            g_fake.files.erase(replaced);
        }
        return FALSE;
    }
    if (IsOpenFile(replaced) || IsOpenFile(replacement) || (!backup.empty() && IsOpenFile(backup))) {
        return FALSE;
    }
    if (g_fake.files.count(replaced) == 0 || g_fake.files.count(replacement) == 0) {
        g_fake.dwLastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    if (!backup.empty()) {
        g_fake.files[backup] = g_fake.files[replaced];
    }
    g_fake.files[replaced] = g_fake.files[replacement];
    g_fake.files.erase(replacement);
    return TRUE;
}

LONG PlatformRegCreateKey(HKEY hRoot, const WCHAR* pszSubKey, DWORD dwOptions, REGSAM samDesired,
                          HKEY* phKey, DWORD* pdwDisposition)
{
    char szLog[64];
    snprintf(szLog, sizeof(szLog), "create opt=%u sam=0x%X root=%s", dwOptions, samDesired,
             hRoot == HKEY_LOCAL_MACHINE ? "HKLM" : "other");
    g_fake.regLog.push_back(szLog);
    if (Enter("RegCreateKey")) {
        return static_cast<LONG>(g_fake.dwFailError);
    }
    FAKE_PATH key = FakeFold(pszSubKey);
    if (g_fake.deniedKeys.count(key) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    *pdwDisposition = g_fake.registry.count(key) != 0 ? 2 : 1;  // opened / created
    g_fake.registry[key];
    intptr_t hNew = c_hFirstKey + static_cast<intptr_t>(g_fake.openKeys.size() + g_fake.regLog.size()) * 4;
    g_fake.openKeys[hNew] = key;
    *phKey = reinterpret_cast<HKEY>(hNew);
    g_fake.regLog.back() += " key=" + std::string(key.begin(), key.end());
    return ERROR_SUCCESS;
}

LONG PlatformRegSetValue(HKEY hKey, const WCHAR* pszValueName, DWORD dwType, const BYTE* pbData, DWORD cbData)
{
    if (Enter("RegSetValue")) {
        return static_cast<LONG>(g_fake.dwFailError);
    }
    auto itKey = g_fake.openKeys.find(reinterpret_cast<intptr_t>(hKey));
    if (itKey == g_fake.openKeys.end()) {
        return ERROR_INVALID_HANDLE;
    }
    const FAKE_PATH& key = itKey->second;
    FAKE_REG_VALUE value;
    value.dwType = dwType;
    value.data.assign(pbData, pbData + cbData);
    g_fake.registry[key][FakeFold(pszValueName)] = value;
    std::u16string name(pszValueName);
    g_fake.regLog.push_back("set " + std::string(name.begin(), name.end()));
    return ERROR_SUCCESS;
}

LONG PlatformRegCloseKey(HKEY hKey)
{
    g_fake.regLog.push_back("close");
    if (Enter("RegCloseKey")) {
        return static_cast<LONG>(g_fake.dwFailError);
    }
    if (g_fake.openKeys.erase(reinterpret_cast<intptr_t>(hKey)) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

LONG PlatformRegOpenKey(HKEY hRoot, const WCHAR* pszSubKey, REGSAM samDesired, HKEY* phKey)
{
    char szLog[64];
    snprintf(szLog, sizeof(szLog), "open sam=0x%X root=%s", samDesired, hRoot == HKEY_LOCAL_MACHINE ? "HKLM" : "other");
    g_fake.regLog.push_back(szLog);
    if (Enter("RegOpenKey")) {
        return static_cast<LONG>(g_fake.dwFailError);
    }
    FAKE_PATH key = FakeFold(pszSubKey);
    if (g_fake.registry.count(key) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    intptr_t hNew = c_hFirstKey + static_cast<intptr_t>(g_fake.openKeys.size() + g_fake.regLog.size()) * 4;
    g_fake.openKeys[hNew] = key;
    *phKey = reinterpret_cast<HKEY>(hNew);
    return ERROR_SUCCESS;
}

LONG PlatformRegQueryValue(HKEY hKey, const WCHAR* pszValueName, DWORD* pdwType, BYTE* pbData, DWORD* pcbData)
{
    if (Enter("RegQueryValue")) {
        return static_cast<LONG>(g_fake.dwFailError);
    }
    auto itKey = g_fake.openKeys.find(reinterpret_cast<intptr_t>(hKey));
    if (itKey == g_fake.openKeys.end()) {
        return ERROR_INVALID_HANDLE;
    }
    const auto& values = g_fake.registry[itKey->second];
    auto itValue = values.find(FakeFold(pszValueName));
    if (itValue == values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const FAKE_REG_VALUE& value = itValue->second;
    *pdwType = value.dwType;
    DWORD cbCapacity = *pcbData;
    *pcbData = static_cast<DWORD>(value.data.size());
    if (value.data.size() > cbCapacity) {
        return ERROR_MORE_DATA;
    }
    if (!value.data.empty()) {
        memcpy(pbData, value.data.data(), value.data.size());
    }
    return ERROR_SUCCESS;
}

BOOL PlatformRefreshPolicy(BOOL bMachine)
{
    g_fake.refreshArgs.push_back(bMachine);
    g_fake.cOpenFilesAtRefresh = g_fake.openFiles.size();
    if (Enter("RefreshPolicy")) {
        return FALSE;
    }
    if (!g_fake.bRefreshResult) {
        g_fake.dwLastError = g_fake.dwRefreshError;
        return FALSE;
    }
    return TRUE;
}

BOOL PlatformShellExecuteEx(SHELLEXECUTEINFOW* pExecInfo)
{
    g_fake.lastLaunch = *pExecInfo;
    g_fake.lastLaunchFile = pExecInfo->lpFile != nullptr ? pExecInfo->lpFile : u"";
    g_fake.lastLaunchParameters = pExecInfo->lpParameters != nullptr ? pExecInfo->lpParameters : u"";
    if (Enter("ShellExecuteEx")) {
        return FALSE;
    }
    if (!g_fake.bLaunchResult) {
        g_fake.dwLastError = g_fake.dwLaunchError;
        return FALSE;
    }
    if (g_fake.bLaunchGivesNullProcess) {
        pExecInfo->hProcess = nullptr;
    } else {
        pExecInfo->hProcess = c_hFakeProcess;
        ++g_fake.cOpenProcesses;
    }
    return TRUE;
}

DWORD PlatformWaitForSingleObject(HANDLE hObject, DWORD dwMilliseconds)
{
    g_fake.dwWaitMilliseconds = dwMilliseconds;
    if (Enter("WaitForSingleObject")) {
        return WAIT_FAILED;
    }
    if (hObject != c_hFakeProcess) {
        g_fake.dwLastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (g_fake.dwWaitResult != WAIT_OBJECT_0) {
        g_fake.dwLastError = g_fake.dwWaitError;
    }
    return g_fake.dwWaitResult;
}

BOOL PlatformGetExitCodeProcess(HANDLE hProcess, DWORD* pdwExitCode)
{
    g_fake.dwExitCodeOnEntry = *pdwExitCode;
    if (Enter("GetExitCodeProcess")) {
        return FALSE;
    }
    if (hProcess != c_hFakeProcess) {
        g_fake.dwLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!g_fake.bExitCodeResult) {
        g_fake.dwLastError = g_fake.dwExitCodeError;
        return FALSE;
    }
    *pdwExitCode = g_fake.dwChildExitCode;
    return TRUE;
}

BOOL PlatformCloseHandle(HANDLE hObject)
{
    if (Enter("CloseHandle")) {
        return FALSE;
    }
    if (hObject == c_hFakeProcess) {
        --g_fake.cOpenProcesses;
        return TRUE;
    }
    g_fake.dwLastError = ERROR_INVALID_HANDLE;
    return FALSE;
}
