#include "platform/Text.h"

size_t StringLength(const WCHAR* psz)
{
    size_t cch = 0;
    while (psz[cch] != 0) {
        ++cch;
    }
    return cch;
}

bool EqualsNoCaseAscii(const WCHAR* pszA, const WCHAR* pszB)
{
    for (;; ++pszA, ++pszB) {
        if (FoldAscii(*pszA) != FoldAscii(*pszB)) {
            return false;
        }
        if (*pszA == 0) {
            return true;
        }
    }
}

bool EqualsExact(const WCHAR* pszA, const WCHAR* pszB)
{
    for (;; ++pszA, ++pszB) {
        if (*pszA != *pszB) {
            return false;
        }
        if (*pszA == 0) {
            return true;
        }
    }
}

namespace {

void EmitNumber(FORMAT_SINK pfnSink, void* pvContext, uint32_t uValue, bool bSigned, unsigned uBase,
                bool bUpper, bool bZeroPad, unsigned cchWidth)
{
    WCHAR szDigits[16];
    unsigned cchDigits = 0;
    bool bNegative = bSigned && static_cast<int32_t>(uValue) < 0;
    uint32_t uMagnitude = bNegative ? 0u - uValue : uValue;
    const char* pszAlphabet = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        szDigits[cchDigits++] = static_cast<WCHAR>(pszAlphabet[uMagnitude % uBase]);
        uMagnitude /= uBase;
    } while (uMagnitude != 0);

    unsigned cchTotal = cchDigits + (bNegative ? 1 : 0);
    unsigned cchPad = cchWidth > cchTotal ? cchWidth - cchTotal : 0;
    if (!bZeroPad) {
        for (; cchPad > 0; --cchPad) {
            pfnSink(pvContext, WSTR(' '));
        }
    }
    if (bNegative) {
        pfnSink(pvContext, WSTR('-'));
    }
    for (; cchPad > 0; --cchPad) {
        pfnSink(pvContext, WSTR('0'));
    }
    while (cchDigits > 0) {
        pfnSink(pvContext, szDigits[--cchDigits]);
    }
}

}  // namespace

void FormatWithSink(FORMAT_SINK pfnSink, void* pvContext, const WCHAR* pszFormat, va_list args)
{
    for (const WCHAR* pch = pszFormat; *pch != 0; ++pch) {
        if (*pch != WSTR('%')) {
            pfnSink(pvContext, *pch);
            continue;
        }
        ++pch;
        bool bZeroPad = false;
        unsigned cchWidth = 0;
        if (*pch == WSTR('0')) {
            bZeroPad = true;
            ++pch;
        }
        while (*pch >= WSTR('0') && *pch <= WSTR('9')) {
            cchWidth = cchWidth * 10 + static_cast<unsigned>(*pch - WSTR('0'));
            ++pch;
        }
        if (*pch == WSTR('l')) {
            ++pch;
        }
        switch (*pch) {
        case WSTR('d'):
        case WSTR('i'):
            EmitNumber(pfnSink, pvContext, static_cast<uint32_t>(va_arg(args, int)), true, 10, false, bZeroPad, cchWidth);
            break;
        case WSTR('u'):
            EmitNumber(pfnSink, pvContext, va_arg(args, unsigned), false, 10, false, bZeroPad, cchWidth);
            break;
        case WSTR('x'):
        case WSTR('X'):
            EmitNumber(pfnSink, pvContext, va_arg(args, unsigned), false, 16, *pch == WSTR('X'), bZeroPad, cchWidth);
            break;
        case WSTR('c'):
            pfnSink(pvContext, static_cast<WCHAR>(va_arg(args, int)));
            break;
        case WSTR('s'): {
            const WCHAR* psz = va_arg(args, const WCHAR*);
            if (psz == nullptr) {
                psz = WSTR("(null)");
            }
            for (; *psz != 0; ++psz) {
                pfnSink(pvContext, *psz);
            }
            break;
        }
        case 0:
            return;  // a lone "%" at the end: nothing to convert
        default:
            pfnSink(pvContext, *pch);  // "%%" and anything unknown print the character
            break;
        }
    }
}

namespace {

struct BOUNDED_SINK {
    WCHAR* pszDest;
    size_t cchDest;
    size_t cchWritten;
    bool bTruncated;
};

void BoundedSink(void* pvContext, WCHAR wch)
{
    BOUNDED_SINK* pSink = static_cast<BOUNDED_SINK*>(pvContext);
    if (pSink->cchWritten + 1 < pSink->cchDest) {
        pSink->pszDest[pSink->cchWritten++] = wch;
    } else {
        pSink->bTruncated = true;
    }
}

}  // namespace

HRESULT FormatString(WCHAR* pszDest, size_t cchDest, const WCHAR* pszFormat, ...)
{
    if (cchDest == 0) {
        return HRESULT_FROM_WIN32(122L);  // ERROR_INSUFFICIENT_BUFFER
    }
    BOUNDED_SINK sink = {pszDest, cchDest, 0, false};
    va_list args;
    va_start(args, pszFormat);
    FormatWithSink(BoundedSink, &sink, pszFormat, args);
    va_end(args);
    pszDest[sink.cchWritten] = 0;
    return sink.bTruncated ? HRESULT_FROM_WIN32(122L) : S_OK;
}
