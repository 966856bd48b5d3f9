// Keeps the local Group Policy object's gpt.ini in step with Registry.pol.
// The Group Policy engine processes the machine's Registry.pol only when
// gpt.ini lists the registry extension and carries a machine version other
// than 0, and it notices a change only when that version changes. gpt.ini
// sits in the parent of the machine's own policy folder; a policy folder
// elsewhere may belong to a domain GPO or to none, and its gpt.ini (if any)
// is never touched.
#pragma once

#include "platform/Types.h"

#define GPT_INI_FILE_NAME WSTR("gpt.ini")

// Whether pszFolder names the machine's own policy folder pszMachineFolder:
// compared as full paths, ASCII letter case aside, one trailing backslash
// ignored on either side. Another spelling of the same folder (an 8.3 name,
// a \\?\ prefix, a junction) counts as another folder.
bool IsMachinePolicyFolder(const WCHAR* pszFolder, const WCHAR* pszMachineFolder);

// Settles what an interrupted write of gpt.ini left, then reads gpt.ini
// beside pszPolicyFolder (in its parent) and checks that it is INI text, all
// before anything is written. Fails, with its line, when gpt.ini is there but
// cannot be read, or is no INI text (0x8007000D); gpt.ini is then untouched.
HRESULT PrepareGptIni(const WCHAR* pszPolicyFolder);

// The same read and check without settling anything: for a run that writes
// nothing. *pbInStep: gpt.ini lists the registry extension and its machine
// version is not 0.
HRESULT CheckGptIni(const WCHAR* pszPolicyFolder, bool* pbInStep);

// After Registry.pol is in place: reads gpt.ini again (another program may
// have changed it meanwhile) and writes it with the registry extension listed and the machine version raised when
// bPolicyChanged, when the list had to change, or when it was 0. Writes
// nothing when nothing changes. Uses the same safe replace as Registry.pol;
// fails with its line, leaving the previous gpt.ini intact.
HRESULT WriteGptIni(bool bPolicyChanged);
