#pragma once

#include "platform/Types.h"

// printf-style output of one message to standard output (see FormatWithSink
// for the conversions). Console text as the C locale writes it: code units 1
// to 255 become the byte of the same value, a code unit above 255 inside a
// %s argument becomes "?", and every line feed is written as CR LF.
void PrintMessage(const WCHAR* pszFormat, ...);
