#pragma once

#include "platform/Types.h"

// Asks the Group Policy client to refresh computer policy, then runs
// "gpupdate.exe /force", waits up to 30 s and prints its exit code. The
// child's exit code never becomes the status; a child still running after
// the wait is left running.
HRESULT RefreshGroupPolicy();
