#include "policy/PolicyFile.h"

DWORD MergePolicyFile(HANDLE, DWORD, BYTE*, POLICY_SETTING*, DWORD)
{
    return 0;  // TODO: not built yet
}
