// Why something failed, in words a user can act on: one line without its
// line end, naming what the agent tried to reach. The sensor and the session
// hand one back with each failure.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

constexpr size_t REASON_BYTES = 320;

struct Reason {
    char text[REASON_BYTES];
};

inline void set_reason(Reason *reason, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
inline void set_reason(Reason *reason, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(reason->text, sizeof reason->text, format, args);
    va_end(args);
}
