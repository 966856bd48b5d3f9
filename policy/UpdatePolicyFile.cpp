#include "policy/UpdatePolicyFile.h"

HRESULT UpdatePolicyFile(POLICY_SETTING*, DWORD, const WCHAR*, const WCHAR*)
{
    return E_NOTIMPL;  // TODO: not built yet
}
