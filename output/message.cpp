#include "output/message.h"

#include "output/console_blocks.h"
#include "output/format.h"
#include "output/log_order.h"

int WriteMessageV(const wchar_t* format, va_list args) {
    wchar_t buffer[kMessageLimit + 1];
    size_t length = FormatTextV(buffer, kMessageLimit + 1, format, args);
    if (RouteToLogPart(buffer, length)) return static_cast<int>(length);
    return DeliverMessage(buffer, length);
}

int WriteMessage(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = WriteMessageV(format, args);
    va_end(args);
    return result;
}

void FlushMessages() { WriteHeldConsoleBytes(); }
