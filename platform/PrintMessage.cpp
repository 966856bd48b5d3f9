#include "platform/PrintMessage.h"

#include <cstdarg>

#include "platform/Platform.h"
#include "platform/Text.h"

namespace {

struct CONSOLE_SINK {
    char rgch[512];
    size_t cch;
};

void FlushConsoleSink(CONSOLE_SINK* pSink)
{
    if (pSink->cch != 0) {
        PlatformWriteStdout(pSink->rgch, pSink->cch);
        pSink->cch = 0;
    }
}

void ConsoleSink(void* pvContext, WCHAR wch)
{
    CONSOLE_SINK* pSink = static_cast<CONSOLE_SINK*>(pvContext);
    if (pSink->cch + 2 > sizeof(pSink->rgch)) {
        FlushConsoleSink(pSink);
    }
    if (wch == WSTR('\n')) {
        pSink->rgch[pSink->cch++] = '\r';
        pSink->rgch[pSink->cch++] = '\n';
    } else if (wch > 0xFF) {  // only %s arguments can carry these: format strings are ASCII
        pSink->rgch[pSink->cch++] = '?';
    } else {
        pSink->rgch[pSink->cch++] = static_cast<char>(static_cast<unsigned char>(wch));
    }
}

}  // namespace

void PrintMessage(const WCHAR* pszFormat, ...)
{
    CONSOLE_SINK sink;
    sink.cch = 0;
    va_list args;
    va_start(args, pszFormat);
    FormatWithSink(ConsoleSink, &sink, pszFormat, args);
    va_end(args);
    FlushConsoleSink(&sink);
}
