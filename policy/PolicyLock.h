// One run at a time per policy folder. Fleet tools, a startup script and an
// administrator can start the tool at the same moment; without the lock two
// runs could interleave their settle, read and replace steps and move or
// delete each other's previous file.
#pragma once

#include "platform/Types.h"

// How long a second run waits for the lock, and how often it looks.
#define POLICY_LOCK_WAIT_MS 60000u
#define POLICY_LOCK_POLL_MS 250u

// Takes the lock on pszFolder: <pszFolder>\<pszFileName>.lck, open with no
// sharing and deleted when the handle goes, also when the process dies, so a
// crashed run leaves no stale lock. The name is as long as the backup's, so
// every folder that fits the backup path fits the lock. Waits while another
// run holds it, up to POLICY_LOCK_WAIT_MS; then fails with its line and the
// status of the last attempt (0x80070020 while the other run still holds it).
// On success *phLock is the lock, for UnlockPolicyFolder.
HRESULT LockPolicyFolder(const WCHAR* pszFolder, const WCHAR* pszFileName, HANDLE* phLock);

// Releases a lock taken by LockPolicyFolder (nothing when none is held).
void UnlockPolicyFolder(HANDLE* phLock);
