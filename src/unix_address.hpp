// The address of a Unix socket from its name: a path, or a name in the
// abstract namespace written with a leading '@' (as systemd's NOTIFY_SOCKET
// and `ss -x` write them).
#pragma once

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

// Fills *address for name and returns the address's length; 0 when name is
// empty or does not fit.
inline socklen_t unix_address(const char *name, sockaddr_un *address)
{
    const size_t len = strlen(name);
    if (len == 0 || len >= sizeof address->sun_path)
        return 0;
    *address = {};
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path, name, len);
    if (name[0] == '@')
        address->sun_path[0] = '\0';
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
}
