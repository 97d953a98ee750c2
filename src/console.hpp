// The console: standard output and error. A line the console does not take
// at once (a pipe nobody reads, a stalled journal stream) is lost: telemetry
// and the orderly stop never wait for it. Connected to the journal, each line
// starts with its syslog priority, which journald takes off and records.
#pragma once

#include <cstddef>

#include "build_config.hpp"

// Puts the console's streams in place of stdout and stderr, buffered as the C
// library would buffer them (line by line on a terminal, or where the service
// asked for it with stdbuf).
void console_open();

// Writes one line (format ends in its line end) at a syslog priority: info
// on standard output, the others (failures, reasons, recoveries) on standard
// error. Standard output is buffered: its lines are all info.
void console_line(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Writes out what standard output holds.
void console_flush();

// The shutdown notice, on standard output.
void console_notice();
// The same written at once, for the interrupt handler (async-signal-safe),
// where standard output holds nothing buffered (see interrupt_ends_process).
void console_notice_now();

#if AGENT_STORE
// One whole line (ending in its line end) written at once at a priority, as
// console_line would write it: for the interrupt handler (async-signal-safe),
// where the streams hold nothing buffered.
void console_line_now(int priority, const char *line);
#endif

// Priorities before each line, as the journal's stream takes them: "<3>".
struct LinePriorities {
    int default_priority; // of every line but the one priority names
    int priority;         // of the line being written
    bool line_start;      // the next byte starts a line
};

// Copies data into out (room bytes) with the priority before each line, as
// much as fits without cutting a priority; returns the bytes of out used and
// sets *taken to the bytes of data copied. A line ends the priority given.
size_t add_priorities(LinePriorities *lines, const char *data, size_t size, char *out, size_t room,
                      size_t *taken);
