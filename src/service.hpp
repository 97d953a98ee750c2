// The service manager's notifications (systemd's sd_notify protocol):
// readiness, a one-line status with the watchdog's keep-alive, and the
// orderly stop. Outside a service that asks for them (no NOTIFY_SOCKET)
// nothing is sent.
#pragma once

// Opens the notification socket named by NOTIFY_SOCKET, if any.
void service_open();

// True when notifications go somewhere: only then is a status worth writing.
bool service_notifying();

// Ready, with the status: "READY=1\nSTATUS=...".
void service_ready(const char *format, ...) __attribute__((format(printf, 1, 2)));
// A cycle's status, which keeps the watchdog from restarting the agent:
// "WATCHDOG=1\nSTATUS=...".
void service_cycle(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The orderly stop has begun: "STOPPING=1". Async-signal-safe.
void service_stopping();
