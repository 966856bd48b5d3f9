#include "app/Options.h"

#include "app/RunMain.h"
#include "platform/Text.h"

DWORD g_dwOptions;
const WCHAR* g_pszPolicyDir = g_szMachinePolicyDir;

namespace {

struct OPTION_FLAG {
    const WCHAR* pszName;
    DWORD dwBit;
};

const OPTION_FLAG c_rgOptionFlags[] = {
    {WSTR("-bak"), OPTION_BACKUP},
    {WSTR("-reg"), OPTION_REGISTRY},
    {WSTR("-check"), OPTION_CHECK},
};

}  // namespace

void ParseCommandLine(int nArgs, WCHAR** ppszArgs)
{
    int iArg = 1;
    while (iArg < nArgs) {
        const WCHAR* pszName = ppszArgs[iArg++];
        const OPTION_FLAG* pFlag = nullptr;
        for (const OPTION_FLAG& flag : c_rgOptionFlags) {
            if (EqualsNoCaseAscii(pszName, flag.pszName)) {
                pFlag = &flag;
            }
        }
        if (pFlag != nullptr) {
            if (iArg >= nArgs) {
                break;
            }
            // The value element is consumed whatever it holds.
            const WCHAR* pszValue = ppszArgs[iArg++];
            if (EqualsExact(pszValue, WSTR("0"))) {
                g_dwOptions &= ~pFlag->dwBit;
            } else if (EqualsExact(pszValue, WSTR("1"))) {
                g_dwOptions |= pFlag->dwBit;
            }
        } else if (EqualsNoCaseAscii(pszName, WSTR("-path"))) {
            if (iArg >= nArgs) {
                break;
            }
            // No copy: the argument vector lives as long as the process.
            g_pszPolicyDir = ppszArgs[iArg++];
        }
    }
}
