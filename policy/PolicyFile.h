// The PReg policy file format and the merge of an existing file.
#pragma once

#include "platform/Types.h"
#include "policy/PolicySettings.h"

#define PREG_SIGNATURE 0x67655250u  // "PReg"
#define PREG_VERSION 1u
#define PREG_HEADER_SIZE 8u

// The marks of a record, as UTF-16 code units.
#define PREG_OPEN 0x005Bu   // "["
#define PREG_SEMI 0x003Bu   // ";"
#define PREG_CLOSE 0x005Du  // "]"

// How far past the content the merge may read; those bytes must be zero.
#define PREG_READ_SLACK 7u

// Reads cbSize bytes (at least 1) of hInput into pbBuffer with one read, then
// walks the PReg records in place: the type, size and data of every record of
// a built-in setting are overwritten with the row's and the row is marked
// found; every other record is left as it is. pbBuffer holds at least
// cbSize + PREG_READ_SLACK bytes, all zero on entry.
//
// Returns the number of bytes at the start of the buffer to keep, or 0 when
// the file is not a well-formed policy file (one message says why, and no row
// is left marked). When the read itself fails, *phrRead (if given) receives
// its status, so that the caller can tell a file it could not see from a
// malformed one; otherwise it is set to S_OK. *pbChanged (if given) is set
// to true when the merge succeeded and at least one of the type, size and
// data fields it overwrote held other bytes before: with every row marked
// and nothing changed, the kept content is the file as it was. It is false
// otherwise, also after a give-up (which the result 0 tells).
//
// prgSeen (if given, one entry per row, bSeen false on entry) receives for
// each row the type, size and data that the last of its records held before
// they were overwritten: the value Windows applies from the file. Entries
// mean nothing after a give-up.
struct POLICY_SEEN {
    bool bSeen;
    DWORD dwType;
    DWORD cbData;
    DWORD dwData;
};
DWORD MergePolicyFile(HANDLE hInput, DWORD cbSize, BYTE* pbBuffer, POLICY_SETTING* pSettings, DWORD cSettings,
                      HRESULT* phrRead = nullptr, bool* pbChanged = nullptr, POLICY_SEEN* prgSeen = nullptr);
