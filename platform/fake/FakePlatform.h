// The in-memory platform for host tests. It records every call, keeps a small
// file system, registry and process model, and can fail any counted call with
// any last error, give short writes, a null process handle, any wait result
// and a last error of 0.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"

typedef std::u16string FAKE_PATH;
typedef std::vector<uint8_t> FAKE_BYTES;

struct FAKE_REG_VALUE {
    DWORD dwType;
    FAKE_BYTES data;
};

struct FAKE_STATE {
    // Call log: the seam name of every call, in order ("CreateNewFile", ...).
    std::vector<std::string> calls;
    // Run before every counted call with its name: lets a test play another
    // process that changes something in the middle of a run.
    std::function<void(const std::string&)> onCall;

    // Fault injection. Counted calls are every seam call except
    // WriteStdout and GetLastError. nFailCall is 1-based; 0 fails nothing.
    // With pszFailName set, only calls of that name are counted for it.
    int nFailCall;
    int cFailCalls;  // how many calls in a row fail from nFailCall on (0 counts as 1)
    std::string failName;
    DWORD dwFailError;
    int nCounted;
    int nNamedCounted;
    bool bFaultHit;

    DWORD dwLastError;
    std::string stdoutBytes;

    // kernel32
    FAKE_PATH windowsDir;
    OSVERSIONINFOEXW version;
    bool bShortVersionOnly;  // the 284-byte query fails with ERROR_INVALID_PARAMETER (87)
    std::set<FAKE_PATH> directories;        // folded paths
    std::map<FAKE_PATH, FAKE_BYTES> files;  // folded paths
    std::set<FAKE_PATH> deleteOnClose;      // open with FILE_FLAG_DELETE_ON_CLOSE
    FAKE_PATH systemDir;
    FAKE_PATH currentDir;  // what a relative path is taken from
    std::vector<DWORD> sleeps;   // every PlatformSleep, in milliseconds; nothing really waits
    // The folder lock as another run holds it: this many more opens fail
    // with ERROR_SHARING_VIOLATION (FAKE_EVERY_CALL: all of them).
    int cLockBusyOpens;
    size_t cbLastAllocation;
    int cAllocations;
    int cLiveAllocations;

    // Files: open handles, and a cap on the bytes one WriteFile takes.
    std::map<intptr_t, FAKE_PATH> openFiles;
    std::map<intptr_t, size_t> readPositions;
    intptr_t nextHandle;
    int cFileOpens;
    int cFileCloses;
    DWORD cbWriteLimit;      // 0: no cap
    uint64_t cbReportedSize; // 0: GetFileSize reports the real size; else this one
    bool bWriteZeroSucceeds; // a capped write that takes 0 bytes reports success

    // Registry: key path (folded) -> value name (folded) -> value.
    std::map<FAKE_PATH, std::map<FAKE_PATH, FAKE_REG_VALUE>> registry;
    std::set<FAKE_PATH> deniedKeys;  // RegCreateKeyEx returns ERROR_ACCESS_DENIED
    std::map<intptr_t, FAKE_PATH> openKeys;  // handle -> key path
    std::vector<std::string> regLog;  // "create <key> opt=<n> sam=0x<hex>", "set <name>", "close"

    // Group Policy client and child process.
    BOOL bRefreshResult;
    DWORD dwRefreshError;
    std::vector<BOOL> refreshArgs;
    size_t cOpenFilesAtRefresh;  // files still open when the refresh was asked for
    BOOL bLaunchResult;
    DWORD dwLaunchError;
    bool bLaunchGivesNullProcess;
    SHELLEXECUTEINFOW lastLaunch;
    std::u16string lastLaunchFile;
    std::u16string lastLaunchParameters;
    DWORD dwWaitResult;
    DWORD dwWaitError;
    DWORD dwWaitMilliseconds;
    BOOL bExitCodeResult;
    DWORD dwExitCodeError;
    DWORD dwChildExitCode;
    DWORD dwExitCodeOnEntry;  // what the caller had put in the out parameter
    int cOpenProcesses;
};

extern FAKE_STATE g_fake;

// Back to a plain Windows 10 Pro machine: C:\Windows with its
// system32\GroupPolicy folder, no policy files, an empty registry, a working
// refresh and a gpupdate that exits 0 at once.
void FakeReset();

// Fail the nth counted call (1-based) with dwError; 0 = no fault.
void FakeFailCall(int nCall, DWORD dwError);
// Fail the nth call (1-based) of the seam call named pszName with dwError,
// or every call of that name with FAKE_EVERY_CALL.
#define FAKE_EVERY_CALL (-1)
void FakeFailNamedCall(const char* pszName, int nCall, DWORD dwError);
// Fail cCalls calls of that name in a row, from its nth call on.
void FakeFailNamedCalls(const char* pszName, int nCall, int cCalls, DWORD dwError);

FAKE_PATH FakeFold(const FAKE_PATH& path);
void FakeAddDirectory(const FAKE_PATH& path);
void FakeSetFile(const FAKE_PATH& path, const FAKE_BYTES& bytes);
bool FakeHasFile(const FAKE_PATH& path);
FAKE_BYTES FakeGetFile(const FAKE_PATH& path);
void FakeRemoveFile(const FAKE_PATH& path);
