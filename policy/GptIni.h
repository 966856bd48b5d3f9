// The local Group Policy object's gpt.ini, as the Group Policy engine needs
// it to process Machine\Registry.pol: the registry client-side extension
// listed in gPCMachineExtensionNames, and a machine version that is not 0 and
// that changes whenever the policy file does.
#pragma once

#include "platform/Types.h"

// A larger file is no INI text.
#define GPT_INI_MAX_SIZE 65536u

// The new image is at most this many bytes longer than the old one, and with
// no old file at most this long. The longest addition is a missing [General]
// with both keys in a UTF-16 file: 127 code units, 254 bytes. A caller that
// holds the image in a fixed buffer gives it GPT_INI_MAX_OUTPUT bytes.
#define GPT_INI_GROWTH_MAX 256u
#define GPT_INI_MAX_OUTPUT (GPT_INI_MAX_SIZE + GPT_INI_GROWTH_MAX)

// Edits the gpt.ini image pbOld/cbOld in memory (bExists false: there is no
// file, and pbOld/cbOld are not read). bPolicyChanged: this run changed the
// bytes of Registry.pol or created it.
//
// Every byte of the old file is kept but for the values changed and the lines
// added: other keys and sections, comments, blank lines, spacing, letter case
// of the names, line ends and encoding (ANSI or UTF-8 as bytes, a UTF-8 BOM
// kept, UTF-16LE after an FF FE mark edited as UTF-16). Inserted lines take the
// file's own line end. The machine half of Version goes up by one (0xFFFF
// wraps to 1) when bPolicyChanged, when the registry group had to be added to
// the extension list, or when it reads 0; the user half is kept.
//
// Returns:
//   S_OK: *pbWrite says whether the file must be written. When true, pbNew
//     holds the new image of *pcbNew bytes; when false, nothing was written to
//     pbNew and *pcbNew is 0.
//   HRESULT_FROM_WIN32(ERROR_INVALID_DATA), 0x8007000D: the old file is no
//     INI text (over GPT_INI_MAX_SIZE bytes, a NUL code unit, UTF-16 of odd
//     length) or its gPCMachineExtensionNames is not a run of bracketed
//     groups of braced GUIDs; the file is best left alone.
//   HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), 0x8007007A: cbNewMax is
//     smaller than the new image; cbOld + GPT_INI_GROWTH_MAX always suffices.
// On failure *pbWrite is false and *pcbNew is 0. Nothing is printed.
//
// With bPolicyChanged false, *pbWrite false means that gpt.ini is in step:
// it lists the registry group and its machine version is not 0. Every image
// this function writes is in step.
HRESULT EditGptIni(const BYTE* pbOld, DWORD cbOld, bool bExists, bool bPolicyChanged, BYTE* pbNew,
                   DWORD cbNewMax, DWORD* pcbNew, bool* pbWrite);
