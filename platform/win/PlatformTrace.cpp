// Step timing is for the benchmark's timing build only (see
// tests/bench/wine); the product records nothing.
#include "platform/Platform.h"

void PlatformTraceStep(const char*)
{
}
