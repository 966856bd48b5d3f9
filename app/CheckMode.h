#pragma once

#include "platform/Types.h"

// The read-only check of "-check 1": are the built-in settings in force?
// For each row in table order it compares Registry.pol (read as Windows
// applies it: the last record of the row's key and value name wins) and,
// with OPTION_REGISTRY, the value under HKEY_LOCAL_MACHINE in the 64-bit
// view; then, for the machine's own policy folder, gpt.ini. One line for
// each thing not in force. Writes nothing and takes no lock: an update puts
// each file in place whole, so the file read is never a partial one.
//
// Returns S_OK when everything is in force, S_FALSE when something is not,
// and a failure status, with its line, when the check itself could not be
// made (a Registry.pol or gpt.ini that is there but cannot be read, a
// registry read that fails with anything but "not found").
HRESULT CheckPolicyInForce();
