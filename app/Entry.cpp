// Program entry of velmorast.exe. The start-up code has split the command line
// by the usual Windows rules; returning hands the status to the normal
// process exit, which ends the process with it as the 32-bit exit code.
#include "app/RunMain.h"

int wmain(int nArgs, WCHAR** ppszArgs)
{
    return static_cast<int>(RunMain(nArgs, ppszArgs));
}
