#include "inbound.hpp"

#include <algorithm>
#include <cstdint>
#include <malloc.h>

namespace
{

constexpr size_t INBOUND_HEAP_MAX_BYTES = 512 * 1024;
// While a publication waits, packets piling up past what the session held at
// the bound may not grow by more than this.
constexpr size_t INBOUND_HEAP_STEP_BYTES = 64 * 1024;
constexpr size_t KIB = 1024;

size_t fresh_session_heap = SIZE_MAX;
size_t held_while_waiting = 0;

size_t heap_in_use()
{
    const struct mallinfo2 heap = mallinfo2();
    return heap.uordblks + heap.hblkhd;
}

size_t heap_growth()
{
    const size_t used = heap_in_use();
    return used > fresh_session_heap ? used - fresh_session_heap : 0;
}

} // namespace

void inbound_session_up()
{
    fresh_session_heap = std::min(fresh_session_heap, heap_in_use());
}

void inbound_wait_begins()
{
    held_while_waiting = 0;
}

bool inbound_piling_up(size_t *held)
{
    *held = heap_growth();
    if (*held <= INBOUND_HEAP_MAX_BYTES)
        return false;
    if (held_while_waiting == 0) {
        held_while_waiting = *held;
        return false;
    }
    return *held > held_while_waiting + INBOUND_HEAP_STEP_BYTES;
}

bool inbound_past_bound(size_t *held)
{
    *held = heap_growth();
    return *held > INBOUND_HEAP_MAX_BYTES;
}

void inbound_release()
{
    malloc_trim(0);
}

void explain_inbound_drop(const char *peer, size_t held, Reason *why)
{
    set_reason(why,
               "the agent dropped the session with the broker at %s: the broker sent data the "
               "agent never asked for, and the session held %zu KiB of it (at most %zu KiB may "
               "be held)",
               peer, held / KIB, INBOUND_HEAP_MAX_BYTES / KIB);
}
