#include "service.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace
{

// One datagram socket for the whole run: a notification is one sendto().
int notify_fd = -1;
sockaddr_un notify_address = {};
socklen_t notify_address_len = 0;

} // namespace

void service_open()
{
    // A path ("/run/systemd/notify") or an abstract name ("@...").
    const char *name = getenv("NOTIFY_SOCKET");
    if (!name || (name[0] != '/' && name[0] != '@'))
        return;
    const size_t len = strlen(name);
    if (len >= sizeof notify_address.sun_path)
        return;
    notify_address.sun_family = AF_UNIX;
    memcpy(notify_address.sun_path, name, len);
    if (name[0] == '@')
        notify_address.sun_path[0] = '\0';
    notify_address_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

bool service_notifying()
{
    return notify_fd >= 0;
}

void service_notify(const char *message)
{
    if (notify_fd < 0)
        return;
    sendto(notify_fd, message, strlen(message), MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&notify_address), notify_address_len);
}
