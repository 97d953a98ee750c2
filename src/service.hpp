// The service manager's notifications (systemd's sd_notify protocol):
// readiness, a one-line status and the watchdog's keep-alive. Outside a
// service that asks for them (no NOTIFY_SOCKET) nothing is sent.
#pragma once

// Opens the notification socket named by NOTIFY_SOCKET, if any.
void service_open();

// True when notifications go somewhere: only then is a status worth writing.
bool service_notifying();

// Sends one notification ("READY=1\nSTATUS=..."), without waiting: a manager
// that does not take it at once loses it.
void service_notify(const char *message);
