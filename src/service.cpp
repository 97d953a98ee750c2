#include "service.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

#include "unix_address.hpp"

namespace
{

// Long enough for a status with a reason or a payload.
constexpr size_t MESSAGE_BYTES = 1024;

// One datagram socket for the whole run: a notification is one sendto().
int notify_fd = -1;
sockaddr_un notify_address = {};
socklen_t notify_address_len = 0;

// Sends one notification, without waiting: a manager that does not take it
// at once loses it.
void notify(const char *message)
{
    if (notify_fd < 0)
        return;
    sendto(notify_fd, message, strlen(message), MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&notify_address), notify_address_len);
}

void notify_with_status(const char *head, const char *format, va_list args)
{
    if (notify_fd < 0)
        return;
    char message[MESSAGE_BYTES];
    const int n = snprintf(message, sizeof message, "%s\nSTATUS=", head);
    vsnprintf(message + n, sizeof message - static_cast<size_t>(n), format, args);
    notify(message);
}

} // namespace

void service_open()
{
    // A path ("/run/systemd/notify") or an abstract name ("@...").
    const char *name = getenv("NOTIFY_SOCKET");
    if (!name || (name[0] != '/' && name[0] != '@'))
        return;
    notify_address_len = unix_address(name, &notify_address);
    if (notify_address_len > 0)
        notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

bool service_notifying()
{
    return notify_fd >= 0;
}

void service_ready(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    notify_with_status("READY=1", format, args);
    va_end(args);
}

void service_cycle(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    notify_with_status("WATCHDOG=1", format, args);
    va_end(args);
}

void service_stopping()
{
    notify("STOPPING=1");
}
