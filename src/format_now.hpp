// Formatting for code that an interrupt's handler runs, where the C
// library's formatted output may not be used: %s, %zu and %% only.
#pragma once

#include <cstdarg>
#include <cstddef>

// Writes format with its arguments into out (size bytes, always ended with
// a zero, cut if longer); returns the length written.
inline size_t format_now(char *out, size_t size, const char *format, ...)
{
    size_t len = 0;
    auto put = [&](char c) {
        if (len + 1 < size)
            out[len++] = c;
    };
    va_list args;
    va_start(args, format);
    for (const char *f = format; *f; ++f) {
        if (f[0] != '%') {
            put(*f);
        } else if (f[1] == 's') {
            for (const char *s = va_arg(args, const char *); *s; ++s)
                put(*s);
            ++f;
        } else if (f[1] == 'z' && f[2] == 'u') {
            char digits[24];
            size_t n = 0;
            size_t value = va_arg(args, size_t);
            do
                digits[n++] = static_cast<char>('0' + value % 10);
            while ((value /= 10) != 0);
            while (n > 0)
                put(digits[--n]);
            f += 2;
        } else if (f[1] == '%') {
            put('%');
            ++f;
        }
    }
    va_end(args);
    if (size > 0)
        out[len] = '\0';
    return len;
}
