#pragma once

#include "platform/Types.h"
#include "policy/PolicyFile.h"
#include "policy/PolicySettings.h"

// The existing policy file as read and merged: the one buffer of the run,
// sized for the content and every record that can be appended, zero after the
// content.
struct POLICY_IMAGE {
    BYTE* pbBuffer;       // owned; FreePolicyImage releases it
    DWORD cbExisting;     // size of the file read, 0 when there was none
    DWORD cbKept;         // bytes of content the merge kept, 0 when it gave up
    bool bExisted;        // the file was there
    bool bMergeChanged;   // the merge overwrote a field that held other bytes
};

// Opens pszPath (absent counts as no file), allocates the buffer and has the
// merge read and walk the content. Fails, with its line, when the file is
// there but cannot be opened or read, or the buffer cannot be had; nothing is
// held then. On success the caller owns the buffer.
// prgSeen (when given, one per row) receives what the file held for each row.
HRESULT ReadPolicyFile(const WCHAR* pszPath, POLICY_SETTING* pSettings, DWORD cSettings, POLICY_IMAGE* pImage,
                       POLICY_SEEN* prgSeen = nullptr);
void FreePolicyImage(POLICY_IMAGE* pImage);

// Brings <pszFolder>\<pszFileName> up to date with the built-in settings:
// settles what an interrupted run left, merges the existing file, appends the
// missing records, writes every row to the registry when OPTION_REGISTRY is
// set, and puts the new file in place. *pbChanged (when given) tells whether
// the bytes now in place differ from the previous file's, or it was created.
HRESULT UpdatePolicyFile(POLICY_SETTING* pSettings, DWORD cSettings, const WCHAR* pszFolder,
                         const WCHAR* pszFileName, bool* pbChanged = nullptr);
