// Step timing for the benchmark's timing build of the exe (tests/bench/wine),
// linked instead of PlatformTrace.cpp. Each step's time is taken with
// QueryPerformanceCounter into a fixed array, so the measured run allocates
// nothing more than the product does. At process exit one line per step goes
// to standard error, so standard output and the exit code stay those of the
// product:
//
//   timing: <step name>: <milliseconds since the previous mark> ms
//
// Each step's time runs from the previous mark, the first one's from the
// static initialisers; "(rest of run)" is the time from the last step to the
// process exit (the Group Policy refresh and gpupdate.exe). Two more lines
// give the working set at the start mark and its peak, in bytes:
//
//   memory: working set at start: <bytes> bytes
//   memory: peak working set: <bytes> bytes
#include "platform/Platform.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

#define TRACE_STEP_MAX 32
#define TRACE_LINE_MAX 160

LARGE_INTEGER g_liStart;
LARGE_INTEGER g_rgliStep[TRACE_STEP_MAX];
const char* g_rgpszStep[TRACE_STEP_MAX];
DWORD g_cSteps;
SIZE_T g_cbStartWorkingSet;

double MillisecondsBetween(const LARGE_INTEGER& liFrom, const LARGE_INTEGER& liTo, const LARGE_INTEGER& liFrequency)
{
    return static_cast<double>(liTo.QuadPart - liFrom.QuadPart) * 1000.0 / static_cast<double>(liFrequency.QuadPart);
}

void WriteStderr(const char* pszLine, int cch)
{
    if (cch <= 0) {
        return;
    }
    if (cch >= TRACE_LINE_MAX) {
        cch = TRACE_LINE_MAX - 1;
    }
    DWORD cbWritten = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), pszLine, static_cast<DWORD>(cch), &cbWritten, nullptr);
}

void WriteStderrLine(const char* pszName, double dMilliseconds)
{
    char szLine[TRACE_LINE_MAX];
    WriteStderr(szLine, snprintf(szLine, sizeof(szLine), "timing: %s: %.3f ms\n", pszName, dMilliseconds));
}

void WriteMemoryLine(const char* pszName, SIZE_T cb)
{
    char szLine[TRACE_LINE_MAX];
    WriteStderr(szLine, snprintf(szLine, sizeof(szLine), "memory: %s: %llu bytes\n", pszName,
                                 static_cast<unsigned long long>(cb)));
}

SIZE_T QueryWorkingSet(bool bPeak)
{
    PROCESS_MEMORY_COUNTERS pmc;
    memset(&pmc, 0, sizeof(pmc));
    pmc.cb = sizeof(pmc);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) {
        return 0;
    }
    return bPeak ? pmc.PeakWorkingSetSize : pmc.WorkingSetSize;
}

// Runs after wmain returns, before the process ends.
void PrintSteps()
{
    LARGE_INTEGER liEnd;
    QueryPerformanceCounter(&liEnd);
    LARGE_INTEGER liFrequency;
    QueryPerformanceFrequency(&liFrequency);

    // Each mark ends its step, so the first step also holds all the run did
    // before it (banner, version check, folder, lock).
    LARGE_INTEGER liPrevious = g_liStart;
    for (DWORD i = 0; i < g_cSteps; ++i) {
        WriteStderrLine(g_rgpszStep[i], MillisecondsBetween(liPrevious, g_rgliStep[i], liFrequency));
        liPrevious = g_rgliStep[i];
    }
    WriteStderrLine("(rest of run)", MillisecondsBetween(liPrevious, liEnd, liFrequency));
    WriteMemoryLine("working set at start", g_cbStartWorkingSet);
    WriteMemoryLine("peak working set", QueryWorkingSet(true));
}

// The start mark is taken by a static initialiser, before wmain runs.
int StartTiming()
{
    g_cbStartWorkingSet = QueryWorkingSet(false);
    QueryPerformanceCounter(&g_liStart);
    atexit(PrintSteps);
    return 0;
}

const int g_iTimingStarted = StartTiming();

}  // namespace

void PlatformTraceStep(const char* pszStep)
{
    if (g_cSteps >= TRACE_STEP_MAX) {
        return;
    }
    QueryPerformanceCounter(&g_rgliStep[g_cSteps]);
    g_rgpszStep[g_cSteps] = pszStep;
    ++g_cSteps;
}
