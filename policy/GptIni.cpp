#include "policy/GptIni.h"

#include <cstring>

namespace {

// The registry client-side extension and the tool that writes its settings,
// in the upper case that the policy editor writes.
const char c_szRegistryCse[] = "{35378EAC-683F-11D2-A89A-00C04FBBCFA2}";
const char c_szRegistryTool[] = "{D02B1F72-3407-48AE-BA88-E8213C6761F1}";
const char c_szGuidShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
const DWORD c_cchGuid = 38;

// The file as a run of code units: bytes for ANSI and UTF-8, little-endian
// 16-bit units after an FF FE mark. Unit iFirst is the first after the mark.
struct INI_TEXT {
    const BYTE* pb;
    DWORD cbUnit;
    DWORD iFirst;
    DWORD cUnits;
};

inline unsigned UnitAt(const INI_TEXT* pText, DWORD i)
{
    if (pText->cbUnit == 1) {
        return pText->pb[i];
    }
    return static_cast<unsigned>(pText->pb[2 * i]) | (static_cast<unsigned>(pText->pb[2 * i + 1]) << 8);
}

// Only ASCII capitals fold: no locale, and GUIDs and names are ASCII.
inline unsigned FoldUnit(unsigned u)
{
    return (u >= 'A' && u <= 'Z') ? u + 0x20 : u;
}

// The blanks that the profile reader trims around names and values; a CR
// before the LF is one of them.
inline bool IsBlank(unsigned u)
{
    return u == ' ' || u == '\t' || u == '\r';
}

void Trim(const INI_TEXT* pText, DWORD* piFrom, DWORD* piTo)
{
    while (*piFrom < *piTo && IsBlank(UnitAt(pText, *piFrom))) {
        ++*piFrom;
    }
    while (*piTo > *piFrom && IsBlank(UnitAt(pText, *piTo - 1))) {
        --*piTo;
    }
}

// The profile reader takes a value out of one pair of matching quotes.
void Unquote(const INI_TEXT* pText, DWORD* piFrom, DWORD* piTo)
{
    if (*piTo - *piFrom >= 2) {
        unsigned u = UnitAt(pText, *piFrom);
        if ((u == '"' || u == '\'') && UnitAt(pText, *piTo - 1) == u) {
            ++*piFrom;
            --*piTo;
        }
    }
}

bool NameIs(const INI_TEXT* pText, DWORD iFrom, DWORD iTo, const char* pszName)
{
    for (DWORD i = iFrom; i < iTo; ++i, ++pszName) {
        if (*pszName == 0 || FoldUnit(UnitAt(pText, i)) != FoldUnit(static_cast<unsigned char>(*pszName))) {
            return false;
        }
    }
    return *pszName == 0;
}

// Fails for a file that no profile reader would take for text.
bool ReadIniText(const BYTE* pb, DWORD cb, INI_TEXT* pText)
{
    if (cb > GPT_INI_MAX_SIZE) {
        return false;
    }
    pText->pb = pb;
    if (cb >= 2 && pb[0] == 0xFF && pb[1] == 0xFE) {
        if (cb % 2 != 0) {
            return false;
        }
        pText->cbUnit = 2;
        pText->iFirst = 1;
        pText->cUnits = cb / 2;
    } else {
        pText->cbUnit = 1;
        pText->iFirst = (cb >= 3 && pb[0] == 0xEF && pb[1] == 0xBB && pb[2] == 0xBF) ? 3 : 0;
        pText->cUnits = cb;
    }
    // A NUL also rejects UTF-16 without a mark, and UTF-32 behind an FF FE.
    for (DWORD i = pText->iFirst; i < pText->cUnits; ++i) {
        if (UnitAt(pText, i) == 0) {
            return false;
        }
    }
    return true;
}

// The file's own line end, from its first line; a file of one line gets the
// one Windows writes.
const char* FindLineEnd(const INI_TEXT* pText)
{
    for (DWORD i = pText->iFirst; i < pText->cUnits; ++i) {
        if (UnitAt(pText, i) == '\n') {
            return (i > pText->iFirst && UnitAt(pText, i - 1) == '\r') ? "\r\n" : "\n";
        }
    }
    return "\r\n";
}

enum INI_LINE_KIND { INI_LINE_BLANK, INI_LINE_COMMENT, INI_LINE_SECTION, INI_LINE_ENTRY };

struct INI_LINE {
    INI_LINE_KIND nKind;
    DWORD iNext;    // first unit of the next line
    bool fLineEnd;  // ends with an LF; only the last line of a file may not
    DWORD iNameFrom, iNameTo;    // section or key name, trimmed
    bool fValue;                 // the entry has an "="
    DWORD iValueFrom, iValueTo;  // its value, trimmed
};

void ReadLine(const INI_TEXT* pText, DWORD iLine, INI_LINE* pLine)
{
    DWORD iEnd = iLine;
    while (iEnd < pText->cUnits && UnitAt(pText, iEnd) != '\n') {
        ++iEnd;
    }
    pLine->fLineEnd = iEnd < pText->cUnits;
    pLine->iNext = pLine->fLineEnd ? iEnd + 1 : iEnd;
    pLine->fValue = false;
    pLine->iValueFrom = pLine->iValueTo = 0;

    DWORD iFrom = iLine;
    DWORD iTo = iEnd;
    Trim(pText, &iFrom, &iTo);
    pLine->iNameFrom = iFrom;
    pLine->iNameTo = iTo;
    if (iFrom == iTo) {
        pLine->nKind = INI_LINE_BLANK;
        return;
    }
    unsigned uFirst = UnitAt(pText, iFrom);
    if (uFirst == ';') {
        pLine->nKind = INI_LINE_COMMENT;
        return;
    }
    if (uFirst == '[') {
        for (DWORD i = iFrom + 1; i < iTo; ++i) {
            if (UnitAt(pText, i) == ']') {
                pLine->nKind = INI_LINE_SECTION;
                pLine->iNameFrom = iFrom + 1;
                pLine->iNameTo = i;
                Trim(pText, &pLine->iNameFrom, &pLine->iNameTo);
                return;
            }
        }
    }
    // Anything else, a "[" line without "]" included, is an entry: a key
    // with or without a value.
    pLine->nKind = INI_LINE_ENTRY;
    for (DWORD i = iFrom; i < iTo; ++i) {
        if (UnitAt(pText, i) == '=') {
            pLine->iNameTo = i;
            Trim(pText, &pLine->iNameFrom, &pLine->iNameTo);
            pLine->fValue = true;
            pLine->iValueFrom = i + 1;
            pLine->iValueTo = iTo;
            Trim(pText, &pLine->iValueFrom, &pLine->iValueTo);
            return;
        }
    }
}

// What the profile reader sees of [General]: its first section of that name,
// and the first entry of each key in it.
struct GENERAL_SCAN {
    bool fSection;
    DWORD iAppend;        // where a missing key goes: after the last entry, or after the header
    bool fAppendLineEnd;  // the line before iAppend has its line end
    bool fList;
    DWORD iListFrom, iListTo;  // the value of gPCMachineExtensionNames, trimmed, with its quotes
    bool fVersion;
    DWORD iVersionFrom, iVersionTo;
};

void ScanGeneral(const INI_TEXT* pText, GENERAL_SCAN* pScan)
{
    memset(pScan, 0, sizeof(*pScan));
    INI_LINE line;
    for (DWORD iLine = pText->iFirst; iLine < pText->cUnits; iLine = line.iNext) {
        ReadLine(pText, iLine, &line);
        if (line.nKind == INI_LINE_SECTION) {
            if (pScan->fSection) {
                return;
            }
            if (NameIs(pText, line.iNameFrom, line.iNameTo, "General")) {
                pScan->fSection = true;
                pScan->iAppend = line.iNext;
                pScan->fAppendLineEnd = line.fLineEnd;
            }
        } else if (pScan->fSection && line.nKind == INI_LINE_ENTRY) {
            pScan->iAppend = line.iNext;
            pScan->fAppendLineEnd = line.fLineEnd;
            if (!line.fValue) {
                continue;
            }
            if (!pScan->fList && NameIs(pText, line.iNameFrom, line.iNameTo, "gPCMachineExtensionNames")) {
                pScan->fList = true;
                pScan->iListFrom = line.iValueFrom;
                pScan->iListTo = line.iValueTo;
            } else if (!pScan->fVersion && NameIs(pText, line.iNameFrom, line.iNameTo, "Version")) {
                pScan->fVersion = true;
                pScan->iVersionFrom = line.iValueFrom;
                pScan->iVersionTo = line.iValueTo;
            }
        }
    }
}

bool IsGuidAt(const INI_TEXT* pText, DWORD i, DWORD iTo)
{
    if (iTo - i < c_cchGuid) {
        return false;
    }
    for (DWORD k = 0; k < c_cchGuid; ++k) {
        unsigned u = UnitAt(pText, i + k);
        if (c_szGuidShape[k] != 'X') {
            if (u != static_cast<unsigned char>(c_szGuidShape[k])) {
                return false;
            }
        } else if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F'))) {
            return false;
        }
    }
    return true;
}

// Text order of two GUIDs regardless of letter case, the order in which the
// engine expects the groups and the tools within a group.
int CompareGuidAt(const INI_TEXT* pText, DWORD i, const char* pszGuid)
{
    for (DWORD k = 0; k < c_cchGuid; ++k) {
        unsigned uFile = FoldUnit(UnitAt(pText, i + k));
        unsigned uOurs = FoldUnit(static_cast<unsigned char>(pszGuid[k]));
        if (uFile != uOurs) {
            return uFile < uOurs ? -1 : 1;
        }
    }
    return 0;
}

struct LIST_SCAN {
    bool fGroup;         // a group starts with the registry extension (the first one counts)
    bool fTool;          // that group lists the tool
    DWORD iGroupInsert;  // where a registry group goes: before the first group that sorts after it
    DWORD iToolInsert;   // where the tool goes: before the first tool of the group that sorts after it
};

// Walks the whole list "[{cse}{tool}...][...]..." from iFrom to iTo and fails
// at anything else, so that no list is edited that the engine would read
// otherwise than we do. Groups out of order are left so: the engine's
// business, not ours; ours goes before the first that sorts after it, so
// that nothing before it stops the engine short of it.
bool ScanExtensionList(const INI_TEXT* pText, DWORD iFrom, DWORD iTo, LIST_SCAN* pScan)
{
    memset(pScan, 0, sizeof(*pScan));
    pScan->iGroupInsert = iTo;
    bool fGroupInsertFixed = false;
    bool fToolInsertFixed = false;
    DWORD i = iFrom;
    while (i < iTo) {
        if (UnitAt(pText, i) != '[') {
            return false;
        }
        DWORD iGroup = i++;
        DWORD cGuids = 0;
        bool fRegistryGroup = false;
        while (i < iTo && UnitAt(pText, i) == '{') {
            if (!IsGuidAt(pText, i, iTo)) {
                return false;
            }
            if (cGuids == 0) {
                int nOrder = CompareGuidAt(pText, i, c_szRegistryCse);
                if (nOrder == 0 && !pScan->fGroup) {
                    fRegistryGroup = true;
                    pScan->fGroup = true;
                } else if (nOrder > 0 && !fGroupInsertFixed) {
                    pScan->iGroupInsert = iGroup;
                    fGroupInsertFixed = true;
                }
            } else if (fRegistryGroup) {
                int nOrder = CompareGuidAt(pText, i, c_szRegistryTool);
                if (nOrder == 0) {
                    pScan->fTool = true;
                } else if (nOrder > 0 && !fToolInsertFixed) {
                    pScan->iToolInsert = i;
                    fToolInsertFixed = true;
                }
            }
            i += c_cchGuid;
            ++cGuids;
        }
        if (cGuids == 0 || i == iTo || UnitAt(pText, i) != ']') {
            return false;
        }
        if (fRegistryGroup && !fToolInsertFixed) {
            pScan->iToolInsert = i;
            fToolInsertFixed = true;
        }
        ++i;
    }
    return true;
}

// As GetPrivateProfileInt reads it: leading decimal digits, after blanks;
// no digits, or a number past 32 bits, read as 0.
DWORD ReadVersion(const INI_TEXT* pText, DWORD iFrom, DWORD iTo)
{
    Unquote(pText, &iFrom, &iTo);
    Trim(pText, &iFrom, &iTo);
    uint64_t qwVersion = 0;
    for (DWORD i = iFrom; i < iTo; ++i) {
        unsigned u = UnitAt(pText, i);
        if (u < '0' || u > '9') {
            break;
        }
        qwVersion = qwVersion * 10 + (u - '0');
        if (qwVersion > 0xFFFFFFFFu) {
            return 0;
        }
    }
    return static_cast<DWORD>(qwVersion);
}

// The machine half counts in the low 16 bits and never comes back to 0, which
// would stop the engine from reading the policy file at all.
DWORD NextVersion(DWORD dwVersion)
{
    DWORD dwMachine = dwVersion & 0xFFFFu;
    dwMachine = dwMachine == 0xFFFFu ? 1 : dwMachine + 1;
    return (dwVersion & 0xFFFF0000u) | dwMachine;
}

// One change to the old text: units iFrom to iTo give way to szText. The
// longest text is a whole [General] with both keys, 127 characters.
struct INI_EDIT {
    DWORD iFrom;
    DWORD iTo;
    DWORD cch;
    char szText[160];
};

// At most two: each of the two values edited in place, the missing keys'
// lines added together in one.
struct INI_EDITS {
    DWORD cEdits;
    INI_EDIT rgEdit[2];
};

INI_EDIT* AddEdit(INI_EDITS* pEdits, DWORD iFrom, DWORD iTo)
{
    INI_EDIT* pEdit = &pEdits->rgEdit[pEdits->cEdits++];
    pEdit->iFrom = iFrom;
    pEdit->iTo = iTo;
    pEdit->cch = 0;
    return pEdit;
}

void AppendText(INI_EDIT* pEdit, const char* psz)
{
    while (*psz != 0 && pEdit->cch < sizeof(pEdit->szText)) {
        pEdit->szText[pEdit->cch++] = *psz++;
    }
}

void AppendDecimal(INI_EDIT* pEdit, DWORD dw)
{
    char szDigits[11];
    char* pch = szDigits + sizeof(szDigits) - 1;
    *pch = 0;
    do {
        *--pch = static_cast<char>('0' + dw % 10);
        dw /= 10;
    } while (dw != 0);
    AppendText(pEdit, pch);
}

void AppendRegistryGroup(INI_EDIT* pEdit)
{
    AppendText(pEdit, "[");
    AppendText(pEdit, c_szRegistryCse);
    AppendText(pEdit, c_szRegistryTool);
    AppendText(pEdit, "]");
}

void AppendListLine(INI_EDIT* pEdit, const char* pszLineEnd)
{
    AppendText(pEdit, "gPCMachineExtensionNames=");
    AppendRegistryGroup(pEdit);
    AppendText(pEdit, pszLineEnd);
}

void AppendVersionLine(INI_EDIT* pEdit, DWORD dwVersion, const char* pszLineEnd)
{
    AppendText(pEdit, "Version=");
    AppendDecimal(pEdit, dwVersion);
    AppendText(pEdit, pszLineEnd);
}

// A whole [General] for a file that has none; gPCFunctionalityVersion only in
// a file of our own making.
void AppendGeneralSection(INI_EDIT* pEdit, bool fFunctionality, DWORD dwVersion, const char* pszLineEnd)
{
    AppendText(pEdit, "[General]");
    AppendText(pEdit, pszLineEnd);
    if (fFunctionality) {
        AppendText(pEdit, "gPCFunctionalityVersion=2");
        AppendText(pEdit, pszLineEnd);
    }
    AppendListLine(pEdit, pszLineEnd);
    AppendVersionLine(pEdit, dwVersion, pszLineEnd);
}

// The edits of an existing file that has a [General].
void EditGeneral(const GENERAL_SCAN* pScan, const LIST_SCAN* pList, DWORD dwVersion, const char* pszLineEnd,
                 INI_EDITS* pEdits)
{
    if (pScan->fList && !pList->fGroup) {
        AppendRegistryGroup(AddEdit(pEdits, pList->iGroupInsert, pList->iGroupInsert));
    } else if (pScan->fList && !pList->fTool) {
        AppendText(AddEdit(pEdits, pList->iToolInsert, pList->iToolInsert), c_szRegistryTool);
    }
    if (pScan->fVersion) {
        AppendDecimal(AddEdit(pEdits, pScan->iVersionFrom, pScan->iVersionTo), dwVersion);
    }
    // Added last: an edit of a value that ends the file stands at the same
    // place and must come before the line end added for the new keys.
    if (!pScan->fList || !pScan->fVersion) {
        INI_EDIT* pAppend = AddEdit(pEdits, pScan->iAppend, pScan->iAppend);
        // The last line of a file that lacks its line end gets one, so that
        // the new keys stand on lines of their own.
        if (!pScan->fAppendLineEnd) {
            AppendText(pAppend, pszLineEnd);
        }
        if (!pScan->fList) {
            AppendListLine(pAppend, pszLineEnd);
        }
        if (!pScan->fVersion) {
            AppendVersionLine(pAppend, dwVersion, pszLineEnd);
        }
    }
}

// Ascending by position; edits at the same place keep the order they were added in.
void SortEdits(INI_EDITS* pEdits)
{
    for (DWORD i = 1; i < pEdits->cEdits; ++i) {
        for (DWORD k = i; k > 0 && pEdits->rgEdit[k - 1].iFrom > pEdits->rgEdit[k].iFrom; --k) {
            INI_EDIT edit = pEdits->rgEdit[k];
            pEdits->rgEdit[k] = pEdits->rgEdit[k - 1];
            pEdits->rgEdit[k - 1] = edit;
        }
    }
}

struct INI_OUTPUT {
    BYTE* pb;
    DWORD cbMax;
    DWORD cb;
    bool fFull;
};

void PutOld(INI_OUTPUT* pOut, const INI_TEXT* pText, DWORD iFrom, DWORD iTo)
{
    DWORD cb = (iTo - iFrom) * pText->cbUnit;
    if (pOut->cbMax - pOut->cb < cb) {
        pOut->fFull = true;
        return;
    }
    if (cb != 0) {
        memcpy(pOut->pb + pOut->cb, pText->pb + iFrom * pText->cbUnit, cb);
    }
    pOut->cb += cb;
}

// ASCII text in the file's own unit width, low byte first.
void PutNew(INI_OUTPUT* pOut, const INI_TEXT* pText, const INI_EDIT* pEdit)
{
    if (pOut->cbMax - pOut->cb < pEdit->cch * pText->cbUnit) {
        pOut->fFull = true;
        return;
    }
    for (DWORD i = 0; i < pEdit->cch; ++i) {
        pOut->pb[pOut->cb++] = static_cast<BYTE>(pEdit->szText[i]);
        if (pText->cbUnit == 2) {
            pOut->pb[pOut->cb++] = 0;
        }
    }
}

bool PutImage(INI_OUTPUT* pOut, const INI_TEXT* pText, INI_EDITS* pEdits)
{
    SortEdits(pEdits);
    DWORD iCopied = 0;
    for (DWORD i = 0; i < pEdits->cEdits && !pOut->fFull; ++i) {
        PutOld(pOut, pText, iCopied, pEdits->rgEdit[i].iFrom);
        PutNew(pOut, pText, &pEdits->rgEdit[i]);
        iCopied = pEdits->rgEdit[i].iTo;
    }
    PutOld(pOut, pText, iCopied, pText->cUnits);
    return !pOut->fFull;
}

}  // namespace

HRESULT EditGptIni(const BYTE* pbOld, DWORD cbOld, bool bExists, bool bPolicyChanged, BYTE* pbNew,
                   DWORD cbNewMax, DWORD* pcbNew, bool* pbWrite)
{
    // The host's Types.h names neither code, so they stand here as numbers.
    const HRESULT c_hrNotIniText = HRESULT_FROM_WIN32(13L);  // ERROR_INVALID_DATA
    const HRESULT c_hrNoRoom = HRESULT_FROM_WIN32(122L);     // ERROR_INSUFFICIENT_BUFFER

    *pcbNew = 0;
    *pbWrite = false;

    INI_TEXT text = {pbOld, 1, 0, 0};
    INI_EDITS edits;
    edits.cEdits = 0;
    if (!bExists) {
        AppendGeneralSection(AddEdit(&edits, 0, 0), true, 1, "\r\n");
    } else {
        if (!ReadIniText(pbOld, cbOld, &text)) {
            return c_hrNotIniText;
        }
        GENERAL_SCAN scan;
        ScanGeneral(&text, &scan);
        LIST_SCAN list;
        memset(&list, 0, sizeof(list));
        if (scan.fList) {
            DWORD iFrom = scan.iListFrom;
            DWORD iTo = scan.iListTo;
            Unquote(&text, &iFrom, &iTo);
            if (!ScanExtensionList(&text, iFrom, iTo, &list)) {
                return c_hrNotIniText;
            }
        }
        bool fListChanged = !list.fTool;
        DWORD dwVersion = scan.fVersion ? ReadVersion(&text, scan.iVersionFrom, scan.iVersionTo) : 0;
        if (!bPolicyChanged && !fListChanged && (dwVersion & 0xFFFFu) != 0) {
            return S_OK;
        }
        dwVersion = NextVersion(dwVersion);
        const char* pszLineEnd = FindLineEnd(&text);
        if (!scan.fSection) {
            // At the top, after the mark. Lines that stood before any section
            // now follow our keys in [General]; the reader finds ours first.
            AppendGeneralSection(AddEdit(&edits, text.iFirst, text.iFirst), false, dwVersion, pszLineEnd);
        } else {
            EditGeneral(&scan, &list, dwVersion, pszLineEnd, &edits);
        }
    }

    INI_OUTPUT out = {pbNew, cbNewMax, 0, false};
    if (!PutImage(&out, &text, &edits)) {
        return c_hrNoRoom;
    }
    *pcbNew = out.cb;
    *pbWrite = true;
    return S_OK;
}
