#include "policy/PolicyFile.h"

#include <cstring>

#include "platform/Platform.h"
#include "platform/PrintMessage.h"
#include "platform/Status.h"
#include "platform/Text.h"

namespace {

// Offsets are 64-bit so that no sum of an offset and a size read from the
// file can wrap, whatever the file holds.
typedef uint64_t OFFSET;

// A code unit may start at any byte offset, odd ones included.
inline unsigned CodeUnitAt(const BYTE* pb, OFFSET o)
{
    return static_cast<unsigned>(pb[o]) | (static_cast<unsigned>(pb[o + 1]) << 8);
}

inline DWORD DwordAt(const BYTE* pb, OFFSET o)
{
    return static_cast<DWORD>(pb[o]) | (static_cast<DWORD>(pb[o + 1]) << 8) |
           (static_cast<DWORD>(pb[o + 2]) << 16) | (static_cast<DWORD>(pb[o + 3]) << 24);
}

// Writes dw at o and tells whether the 4 bytes there held another number.
inline bool PutDword(BYTE* pb, OFFSET o, DWORD dw)
{
    const bool bChanged = DwordAt(pb, o) != dw;
    pb[o] = static_cast<BYTE>(dw);
    pb[o + 1] = static_cast<BYTE>(dw >> 8);
    pb[o + 2] = static_cast<BYTE>(dw >> 16);
    pb[o + 3] = static_cast<BYTE>(dw >> 24);
    return bChanged;
}

// Whether one of the 32 code units at o is zero. The units are tested
// independently of each other, so compilers turn the loop into a few vector
// compares; it runs over 64 bytes since a shorter loop is unrolled before
// that can happen. The result only steers branches: the offset that the scan
// returns never waits on a computation over the block.
inline bool HasZeroUnit(const BYTE* pb, OFFSET o)
{
    uint16_t wAny = 0;
    for (int i = 0; i < 32; ++i) {
        uint16_t wch;
        memcpy(&wch, pb + o + 2 * i, sizeof(wch));
        wAny |= wch == 0 ? 0xFFFF : 0;
    }
    return wAny != 0;
}

// Offset of the NUL code unit that ends the string starting at o. Keys are
// long, so blocks of 32 code units are tested first while all 64 bytes are
// content, then four units at once while all 8 bytes are: a 16-bit lane is
// zero exactly when the borrow of subtracting 1 from it reaches its top bit
// (higher lanes may show false hits, which the unit-wise scan then passes
// over). The lanes are the byte pairs at o, o + 2, ..., so the test holds in
// either byte order. The zero bytes after the content end every string that
// runs into it.
inline OFFSET FindStringEnd(const BYTE* pb, OFFSET o, OFFSET oEnd)
{
    while (o + 64 <= oEnd && !HasZeroUnit(pb, o)) {
        o += 64;
    }
    const uint64_t c_qwLow = 0x0001000100010001ull;
    const uint64_t c_qwHigh = 0x8000800080008000ull;
    while (o + 8 <= oEnd) {
        uint64_t qw;
        memcpy(&qw, pb + o, sizeof(qw));
        if (((qw - c_qwLow) & ~qw & c_qwHigh) != 0) {
            break;
        }
        o += 8;
    }
    while (CodeUnitAt(pb, o) != 0) {
        o += 2;
    }
    return o;
}

// The string of cch code units at o equals psz, folding only ASCII capitals.
bool EqualsAt(const BYTE* pb, OFFSET o, OFFSET cch, const WCHAR* psz)
{
    for (OFFSET i = 0; i < cch; ++i, ++psz) {
        if (*psz == 0 || FoldAscii(static_cast<WCHAR>(CodeUnitAt(pb, o + 2 * i))) != FoldAscii(*psz)) {
            return false;
        }
    }
    return *psz == 0;
}

// The first row whose key and value name both match, or null. The value name
// is compared first: it tells the rows apart within a few code units, while
// most rows share one long key. The result is the same in either order.
POLICY_SETTING* FindRow(const BYTE* pb, OFFSET oKey, OFFSET cchKey, OFFSET oName, OFFSET cchName,
                        POLICY_SETTING* pSettings, DWORD cSettings)
{
    for (DWORD i = 0; i < cSettings; ++i) {
        if (EqualsAt(pb, oName, cchName, pSettings[i].szValueName) &&
            EqualsAt(pb, oKey, cchKey, pSettings[i].szKeyName)) {
            return &pSettings[i];
        }
    }
    return nullptr;
}

// Offset just past the "]" of a record that matches no row; oFields is the
// ";" after its value name. The size field leads there when the record is
// well-formed, so data holding 5D 00 pairs (a "]" in text, the number 93)
// is stepped over whole. A size that is too large can still lead to a 5D 00
// inside a later record's data, so its "]" counts only where a record
// boundary follows: the end of the content or the next "[". Otherwise the
// first 5D 00 pair at any byte offset ends the record. Returns 0 when no
// closing mark lies within the content.
OFFSET FindRecordEnd(const BYTE* pb, OFFSET oFields, OFFSET oEnd)
{
    // ";" type ";" size ";" data "]": the "]" stands 14 + size bytes on, and
    // its first byte must be content. The size field alone decides; the
    // separators on the way are not looked at. A "]" whose second byte is
    // the first zero past the content is followed by the end as well.
    if (oFields + 15 <= oEnd) {
        OFFSET oClose = oFields + 14 + DwordAt(pb, oFields + 8);
        if (oClose < oEnd && CodeUnitAt(pb, oClose) == PREG_CLOSE &&
            (oClose + 2 >= oEnd || CodeUnitAt(pb, oClose + 2) == PREG_OPEN)) {
            return oClose + 2;
        }
    }
    for (OFFSET o = oFields; o < oEnd; ++o) {
        if (pb[o] == 0x5D && pb[o + 1] == 0) {
            return o + 2;
        }
    }
    return 0;
}

// Bits that say which records can match a row at all, set once per merge
// from the rows: a record with any of its bits clear is not compared with
// the rows. A key length bit (of 64) turns away the records under most other
// keys with one test. Two value name bits (of 256 each) follow, from the
// name's length and its first and last code units, and from the key's length
// and the name's second and next to last code units, with ASCII case folded;
// names of other settings often share the first of them with a row's, and
// each record let through is compared with every row.
struct ROW_BITS {
    uint64_t qwKeyLengths;
    uint64_t rgqwNames[4];
    uint64_t rgqwInnerNames[4];
};

inline unsigned NameBit(OFFSET cch, WCHAR wchFirst, WCHAR wchLast)
{
    return static_cast<unsigned>(cch * 7 + FoldAscii(wchFirst) * 3 + FoldAscii(wchLast)) & 255;
}

// A name of fewer than two code units takes zeros, on both sides.
inline unsigned InnerNameBit(OFFSET cchKey, WCHAR wchSecond, WCHAR wchNextToLast)
{
    return static_cast<unsigned>(cchKey * 5 + FoldAscii(wchSecond) * 3 + FoldAscii(wchNextToLast)) & 255;
}

inline void SetBit(uint64_t rgqw[4], unsigned iBit)
{
    rgqw[iBit / 64] |= 1ull << (iBit % 64);
}

inline bool IsBitSet(const uint64_t rgqw[4], unsigned iBit)
{
    return (rgqw[iBit / 64] >> (iBit % 64) & 1) != 0;
}

void MarkRowBits(const POLICY_SETTING* pSettings, DWORD cSettings, ROW_BITS* pBits)
{
    for (DWORD i = 0; i < cSettings; ++i) {
        const WCHAR* pszName = pSettings[i].szValueName;
        const size_t cch = StringLength(pszName);
        const size_t cchKey = StringLength(pSettings[i].szKeyName);
        pBits->qwKeyLengths |= 1ull << (cchKey % 64);
        SetBit(pBits->rgqwNames, NameBit(cch, pszName[0], cch != 0 ? pszName[cch - 1] : 0));
        SetBit(pBits->rgqwInnerNames,
               InnerNameBit(cchKey, cch >= 2 ? pszName[1] : 0, cch >= 2 ? pszName[cch - 2] : 0));
    }
}

inline bool MayBeRow(const BYTE* pb, OFFSET cchKey, OFFSET oName, OFFSET oNameEnd, const ROW_BITS& bits)
{
    if ((bits.qwKeyLengths >> (cchKey % 64) & 1) == 0) {
        return false;
    }
    const OFFSET cch = (oNameEnd - oName) / 2;
    if (!IsBitSet(bits.rgqwNames, NameBit(cch, static_cast<WCHAR>(CodeUnitAt(pb, oName)),
                                          static_cast<WCHAR>(cch != 0 ? CodeUnitAt(pb, oNameEnd - 2) : 0)))) {
        return false;
    }
    return IsBitSet(bits.rgqwInnerNames,
                    InnerNameBit(cchKey, static_cast<WCHAR>(cch >= 2 ? CodeUnitAt(pb, oName + 2) : 0),
                                 static_cast<WCHAR>(cch >= 2 ? CodeUnitAt(pb, oNameEnd - 4) : 0)));
}

DWORD GiveUp(POLICY_SETTING* pSettings, DWORD cSettings)
{
    // Every mark was clear on entry, so clearing them all undoes this walk.
    for (DWORD i = 0; i < cSettings; ++i) {
        pSettings[i].bFound = 0;
    }
    return 0;
}

}  // namespace

DWORD MergePolicyFile(HANDLE hInput, DWORD cbSize, BYTE* pbBuffer, POLICY_SETTING* pSettings, DWORD cSettings,
                      HRESULT* phrRead, bool* pbChanged, POLICY_SEEN* prgSeen)
{
    if (pbChanged != nullptr) {
        *pbChanged = false;
    }
    DWORD cbRead = 0;
    HRESULT hrRead = S_OK;
    if (!PlatformReadFile(hInput, pbBuffer, cbSize, &cbRead)) {
        hrRead = HResultFromLastError();
    } else if (cbRead < cbSize) {
        // The file shrank since its size was taken: a read that succeeds
        // leaves the last error as it was, which says nothing about this.
        hrRead = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
    }
    if (phrRead != nullptr) {
        *phrRead = hrRead;
    }
    if (FAILED(hrRead)) {
        PrintMessage(WSTR("failed to read input file. err:0x%08lX\n"), hrRead);
        return GiveUp(pSettings, cSettings);
    }
    PlatformTraceStep("read");
    if (cbSize < PREG_HEADER_SIZE) {
        PrintMessage(WSTR("input file size %ld too small\n"), cbSize);
        return GiveUp(pSettings, cSettings);
    }
    if (DwordAt(pbBuffer, 0) != PREG_SIGNATURE || DwordAt(pbBuffer, 4) != PREG_VERSION) {
        PrintMessage(WSTR("input file could not be recognized\n"));
        return GiveUp(pSettings, cSettings);
    }

    ROW_BITS bits = {0, {0, 0, 0, 0}, {0, 0, 0, 0}};
    MarkRowBits(pSettings, cSettings, &bits);

    const OFFSET oEnd = cbSize;
    OFFSET oPos = PREG_HEADER_SIZE;
    // The key of the record before, in bytes without its NUL; none yet (a
    // length that no key within the content can equal).
    OFFSET oPrevKey = 0;
    OFFSET cbPrevKey = oEnd;
    bool bFailed = false;
    bool bChanged = false;
    while (oPos < oEnd) {
        if (CodeUnitAt(pbBuffer, oPos) != PREG_OPEN) {
            PrintMessage(WSTR("prefix entity error\n"));
            return GiveUp(pSettings, cSettings);
        }
        // Records under one key usually follow each other, and a memcmp
        // with the key before is far quicker than the scan. The bytes it
        // reads, and the NUL after them, must be content: a key that runs
        // into the end is left to the scan.
        const OFFSET oKey = oPos + 2;
        OFFSET oKeyEnd;
        if (oKey + cbPrevKey + 2 <= oEnd && CodeUnitAt(pbBuffer, oKey + cbPrevKey) == 0 &&
            memcmp(pbBuffer + oKey, pbBuffer + oPrevKey, static_cast<size_t>(cbPrevKey)) == 0) {
            oKeyEnd = oKey + cbPrevKey;
        } else {
            oKeyEnd = FindStringEnd(pbBuffer, oKey, oEnd);
        }
        oPrevKey = oKey;
        cbPrevKey = oKeyEnd - oKey;
        if (CodeUnitAt(pbBuffer, oKeyEnd + 2) != PREG_SEMI) {
            PrintMessage(WSTR("prefix value name error\n"));
            return GiveUp(pSettings, cSettings);
        }
        const OFFSET oName = oKeyEnd + 4;
        const OFFSET oNameEnd = FindStringEnd(pbBuffer, oName, oEnd);
        const OFFSET oFields = oNameEnd + 2;
        if (CodeUnitAt(pbBuffer, oFields) != PREG_SEMI) {
            PrintMessage(WSTR("postfix path error\n"));
            return GiveUp(pSettings, cSettings);
        }

        POLICY_SETTING* pRow = nullptr;
        const OFFSET cchKey = (oKeyEnd - oKey) / 2;
        if (MayBeRow(pbBuffer, cchKey, oName, oNameEnd, bits)) {
            pRow = FindRow(pbBuffer, oKey, cchKey, oName, (oNameEnd - oName) / 2, pSettings, cSettings);
        }
        if (pRow == nullptr) {
            oPos = FindRecordEnd(pbBuffer, oFields, oEnd);
            if (oPos == 0) {
                // An unterminated last record would make the written file
                // unreadable for Windows: treat it as malformed.
                PrintMessage(WSTR("postfix entity error\n"));
                return GiveUp(pSettings, cSettings);
            }
            continue;
        }

        // A built-in setting: exactly three 4-byte fields, each after a ";".
        // A passing ";" test means content, so the next test reads at most
        // 7 bytes past the end.
        OFFSET oCurrent = oFields;
        OFFSET rgoField[3] = {0, 0, 0};
        int cFields = 0;
        for (; cFields < 3; ++cFields) {
            if (CodeUnitAt(pbBuffer, oCurrent) != PREG_SEMI) {
                PrintMessage(WSTR("prefix param 0 error\n"));
                bFailed = true;
                break;
            }
            rgoField[cFields] = oCurrent + 2;
            oCurrent += 6;
        }
        if (CodeUnitAt(pbBuffer, oCurrent) != PREG_CLOSE) {
            PrintMessage(WSTR("postfix entity error\n"));
            return GiveUp(pSettings, cSettings);
        }
        oPos = oCurrent + 2;
        if (cFields == 3) {
            if (prgSeen != nullptr) {
                POLICY_SEEN& seen = prgSeen[pRow - pSettings];
                seen.bSeen = true;
                seen.dwType = DwordAt(pbBuffer, rgoField[0]);
                seen.cbData = DwordAt(pbBuffer, rgoField[1]);
                seen.dwData = DwordAt(pbBuffer, rgoField[2]);
            }
            bChanged |= PutDword(pbBuffer, rgoField[0], pRow->dwType);
            bChanged |= PutDword(pbBuffer, rgoField[1], pRow->cbData);
            bChanged |= PutDword(pbBuffer, rgoField[2], pRow->dwData);
            pRow->bFound = 1;
        }
    }

    if (bFailed) {
        return GiveUp(pSettings, cSettings);
    }
    if (pbChanged != nullptr) {
        *pbChanged = bChanged;
    }
    return static_cast<DWORD>(oPos);
}
