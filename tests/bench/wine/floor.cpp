// The floor of the tool's file I/O on Registry.pol, for the whole-run
// benchmark: the same calls in the same order with nothing else around them.
// Open for read, size, one allocation (the file size plus the tool's reserve
// for appended records), one read, a new file beside it created exclusively
// with no sharing, one write (looped as the tool does), flush, close,
// ReplaceFileW with a private backup name and removal of that backup.
//
//   floor.exe <folder>
//
// Prints nothing on standard output. On standard error, one line with the
// time of the I/O itself ("timing: floor: <ms> ms"), so that it can be set
// against the tool's step times, and two with the working set before the
// I/O and its peak ("memory: <what>: <bytes> bytes"). Exit code 0, or the Win32 error of the
// first call that failed.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>

namespace {

// What the tool reserves beyond the file for the records it may append.
#define FLOOR_RESERVE_BYTES 11808u

SIZE_T QueryWorkingSet(bool bPeak)
{
    PROCESS_MEMORY_COUNTERS pmc;
    ZeroMemory(&pmc, sizeof(pmc));
    pmc.cb = sizeof(pmc);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) {
        return 0;
    }
    return bPeak ? pmc.PeakWorkingSetSize : pmc.WorkingSetSize;
}

DWORD Fail()
{
    DWORD dwError = GetLastError();
    return dwError != 0 ? dwError : ERROR_GEN_FAILURE;
}

DWORD RunFloor(const WCHAR* pszFolder)
{
    WCHAR szFile[MAX_PATH];
    WCHAR szNew[MAX_PATH];
    WCHAR szOld[MAX_PATH];
    if (_snwprintf(szFile, MAX_PATH, L"%ls\\Registry.pol", pszFolder) < 0 ||
        _snwprintf(szNew, MAX_PATH, L"%ls\\Registry.pol.new", pszFolder) < 0 ||
        _snwprintf(szOld, MAX_PATH, L"%ls\\Registry.pol.old", pszFolder) < 0) {
        return ERROR_FILENAME_EXCED_RANGE;
    }

    HANDLE hInput = CreateFileW(szFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hInput == INVALID_HANDLE_VALUE) {
        return Fail();
    }
    LARGE_INTEGER liSize;
    if (!GetFileSizeEx(hInput, &liSize) || liSize.QuadPart + FLOOR_RESERVE_BYTES > 0xFFFFFFFFll) {
        return Fail();
    }
    const DWORD cbFile = static_cast<DWORD>(liSize.QuadPart);
    BYTE* pbBuffer = static_cast<BYTE*>(
        VirtualAlloc(nullptr, cbFile + FLOOR_RESERVE_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (pbBuffer == nullptr) {
        return Fail();
    }
    DWORD cbRead = 0;
    if (!ReadFile(hInput, pbBuffer, cbFile, &cbRead, nullptr) || cbRead != cbFile) {
        return Fail();
    }
    CloseHandle(hInput);

    HANDLE hOutput = CreateFileW(szNew, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hOutput == INVALID_HANDLE_VALUE) {
        return Fail();
    }
    DWORD cbDone = 0;
    while (cbDone < cbRead) {
        DWORD cbWritten = 0;
        if (!WriteFile(hOutput, pbBuffer + cbDone, cbRead - cbDone, &cbWritten, nullptr) || cbWritten == 0) {
            return Fail();
        }
        cbDone += cbWritten;
    }
    if (!FlushFileBuffers(hOutput) || !CloseHandle(hOutput)) {
        return Fail();
    }
    if (!ReplaceFileW(szFile, szNew, szOld, 0, nullptr, nullptr)) {
        return Fail();
    }
    if (!DeleteFileW(szOld)) {
        return Fail();
    }
    VirtualFree(pbBuffer, 0, MEM_RELEASE);
    return ERROR_SUCCESS;
}

}  // namespace

int wmain(int nArgs, WCHAR** ppszArgs)
{
    if (nArgs != 2) {
        fputs("usage: floor.exe <folder>\n", stderr);
        return ERROR_BAD_ARGUMENTS;
    }
    LARGE_INTEGER liFrequency;
    LARGE_INTEGER liStart;
    LARGE_INTEGER liEnd;
    QueryPerformanceFrequency(&liFrequency);
    const SIZE_T cbStartWorkingSet = QueryWorkingSet(false);
    QueryPerformanceCounter(&liStart);
    DWORD dwError = RunFloor(ppszArgs[1]);
    QueryPerformanceCounter(&liEnd);
    if (dwError != ERROR_SUCCESS) {
        fprintf(stderr, "floor: error %lu\n", dwError);
        return static_cast<int>(dwError);
    }
    fprintf(stderr, "timing: floor: %.3f ms\n",
            static_cast<double>(liEnd.QuadPart - liStart.QuadPart) * 1000.0 / static_cast<double>(liFrequency.QuadPart));
    fprintf(stderr, "memory: working set at start: %llu bytes\n", static_cast<unsigned long long>(cbStartWorkingSet));
    fprintf(stderr, "memory: peak working set: %llu bytes\n", static_cast<unsigned long long>(QueryWorkingSet(true)));
    return 0;
}
