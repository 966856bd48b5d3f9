#pragma once

#include "platform/Types.h"

#define OPTION_BACKUP 0x1u
#define OPTION_REGISTRY 0x2u
#define OPTION_CHECK 0x4u     // compare what is in force, change nothing

extern DWORD g_dwOptions;
extern const WCHAR* g_pszPolicyDir;

// Reads "-bak 0|1", "-reg 0|1", "-check 0|1" and "-path <folder>" from elements 1 to
// nArgs - 1. Nothing on the command line is an error: unknown elements and
// values other than "0" and "1" are passed over. Cannot fail.
void ParseCommandLine(int nArgs, WCHAR** ppszArgs);
