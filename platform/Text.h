// UTF-16 text helpers shared by every part of the tool. Nothing here depends
// on the locale or on the width of wchar_t.
#pragma once

#include <cstdarg>

#include "platform/Types.h"

// "A" to "Z" become "a" to "z"; every other code unit stays as it is.
inline WCHAR FoldAscii(WCHAR wch)
{
    return (wch >= 0x41 && wch <= 0x5A) ? static_cast<WCHAR>(wch + 0x20) : wch;
}

size_t StringLength(const WCHAR* psz);

// Whole-string equality, folding only the 26 ASCII capitals.
bool EqualsNoCaseAscii(const WCHAR* pszA, const WCHAR* pszB);

// Exact whole-string equality.
bool EqualsExact(const WCHAR* pszA, const WCHAR* pszB);

// The one printf-style formatter: %s (wide string), %c, %d %i %u %x %X with
// an optional "l", a "0" flag and a width. "l" means 32 bits, as on Windows,
// so callers pass DWORD, LONG, HRESULT or int values. Each produced code unit
// is handed to pfnSink.
typedef void (*FORMAT_SINK)(void* pvContext, WCHAR wch);
void FormatWithSink(FORMAT_SINK pfnSink, void* pvContext, const WCHAR* pszFormat, va_list args);

// Bounded formatting into a buffer of cchDest code units, always terminated.
// Fails with HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) when the text does
// not fit (the buffer then holds the truncated text).
HRESULT FormatString(WCHAR* pszDest, size_t cchDest, const WCHAR* pszFormat, ...);
