// The command line after a launcher's own name, as the Windows start-up code
// splits off argv[0]: quoted up to the next quote, otherwise up to a blank.
#pragma once

#include <windows.h>

inline const WCHAR* SkipProgramName(const WCHAR* pszCommandLine)
{
    const WCHAR* p = pszCommandLine;
    if (*p == L'"') {
        ++p;
        while (*p != 0 && *p != L'"') {
            ++p;
        }
        if (*p == L'"') {
            ++p;
        }
    } else {
        while (*p != 0 && *p != L' ' && *p != L'\t') {
            ++p;
        }
    }
    while (*p == L' ' || *p == L'\t') {
        ++p;
    }
    return p;
}
