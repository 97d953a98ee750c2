#include "process.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "console.hpp"
#include "service.hpp"
#include "unix_address.hpp"

namespace
{

constexpr char IDENTITY_PREFIX[] = "@telemetry-agent:";

// Standard input, output and error closed by whoever started the agent would
// be taken by the next file or socket opened (the MQTT socket, say) and the
// console lines would go there. Run before any constructor, MRAA's included:
// it opens the syslog socket.
void open_missing_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd)
                close(opened);
        }
    }
}

[[gnu::section(".preinit_array"),
  gnu::used]] void (*const preinit)() = open_missing_standard_descriptors;

// The interrupt: a flag for the main flow, and a semaphore that the pause
// waits on. Posted by the handler, it ends a pause that has begun and one
// about to begin alike: no moment between the last look at the flag and the
// pause lets SIGINT wait out the pause.
volatile sig_atomic_t termination_requested = 0;
volatile sig_atomic_t ends_process = 0;
sem_t interrupt;
#if AGENT_STORE
void (*last_words)() = nullptr;
#endif

void handle_termination(int)
{
    if (ends_process) {
        console_notice_now();
        service_stopping();
#if AGENT_STORE
        if (last_words)
            last_words();
#endif
        _exit(EXIT_STOPPED);
    }
    termination_requested = 1;
    sem_post(&interrupt);
}

} // namespace

void forbid_core_dumps()
{
    // Not dumpable, the kernel writes none (and lets no other process of the
    // user read its memory); with no core size either, systemd-coredump
    // stores none where the system makes even such processes dumpable.
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

uint64_t identity_hash(const char *uri, const char *client_id)
{
    uint64_t hash = 0xcbf29ce484222325u; // FNV-1a
    for (const char *text : {uri, "\n", client_id})
        for (const char *c = text; *c; ++c)
            hash = (hash ^ static_cast<unsigned char>(*c)) * 0x100000001b3u;
    return hash;
}

int identity_name(const char *uri, const char *client_id, char *name, size_t size)
{
    return snprintf(name, size, "%s%s:%016llx", IDENTITY_PREFIX, client_id,
                    static_cast<unsigned long long>(identity_hash(uri, client_id)));
}

// Two agents of one identity would take each other's session over at every
// cycle. The claim is an abstract Unix socket named after the identity: the
// kernel drops it with the process, and it needs no file anywhere (`ss -xl`
// shows it).
bool claim_identity(const char *uri, const char *client_id)
{
    char name[sizeof sockaddr_un::sun_path];
    sockaddr_un address;
    identity_name(uri, client_id, name, sizeof name);
    const socklen_t size = unix_address(name, &address);
    const int claim = size > 0 ? socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    if (claim < 0)
        return true;
    if (bind(claim, reinterpret_cast<const sockaddr *>(&address), size) == 0 || errno != EADDRINUSE)
        return true; // held open until the process ends
    close(claim);
    return false;
}

void interrupt_install()
{
    sem_init(&interrupt, 0, 0);
    signal(SIGINT, handle_termination);
}

bool interrupt_requested()
{
    return termination_requested;
}

#if AGENT_STORE
void interrupt_before_exit(void (*words)())
{
    last_words = words;
}
#endif

void interrupt_ends_process(bool during_call)
{
    if (during_call)
        console_flush();
    ends_process = during_call;
}

bool pause_interrupted(unsigned seconds)
{
    timespec end = {};
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += seconds;
    while (!termination_requested) {
        if (sem_clockwait(&interrupt, CLOCK_MONOTONIC, &end) == 0 || errno == ETIMEDOUT)
            break;
    }
    return termination_requested;
}
