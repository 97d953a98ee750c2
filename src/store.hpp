// The reading store, built in with AGENT_STORE_SIZE > 0: readings whose
// publication failed, kept in a fixed array (no heap, no growth) with the
// board's monotonic time of their measurement (CLOCK_BOOTTIME, which counts
// suspend), turned into wall-clock milliseconds only once the clock is
// trusted. Full, it drops the oldest and counts it. It hands the backlog out
// oldest first as messages of the timestamped form, and forgets a message's
// readings only once told they were delivered. An orderly stop writes it to
// the service's state directory (write, fsync, rename); the next start reads
// it back. Nothing is written while running. It prints nothing: each call
// says what it did, with its reason.
#pragma once

#include <cstddef>
#include <cstdint>

#include "build_config.hpp"
#include "reason.hpp"

constexpr size_t STORE_SIZE = AGENT_STORE_SIZE;
// The largest message of stored readings, in bytes of payload.
constexpr size_t STORE_MESSAGE_BYTES = AGENT_STORE_MESSAGE_BYTES;
// It exists once the clock is synchronised (systemd-timesyncd's flag).
constexpr char STORE_CLOCK_FLAG[] = AGENT_STORE_CLOCK_FLAG;
// In the first folder of $STATE_DIRECTORY (the unit's StateDirectory=).
constexpr char STORE_FILE_NAME[] = "readings";
// Room for the state file's path and those of its neighbours.
constexpr size_t STORE_PATH_BYTES = 256;

// What the start found of the last orderly stop's store.
struct StoreOpened {
    bool no_directory; // no $STATE_DIRECTORY: nothing survives a stop
    size_t restored;   // readings read back
    size_t other_boot; // unstamped readings of another boot, dropped
    size_t over_size;  // the oldest readings past this build's size, dropped
    bool refused;      // damaged or foreign, set aside (or not even readable)
    Reason why;        // refused: why, and where the file went
    const char *path;  // the state file
};

// Reads the boot id and the state file back (a refused one is set aside).
StoreOpened store_open();

// The board's monotonic time now (CLOCK_BOOTTIME), in milliseconds.
int64_t store_boot_ms();

// Keeps a reading measured at boot_ms; true when the store was full and the
// oldest reading was dropped for it.
bool store_keep(float humidity, float temperature, int64_t boot_ms);

// Stamps the readings not yet stamped when the clock is trusted (its flag
// exists; asked only when there are such readings): false when some wait
// for the clock.
bool store_stamp();

// The next message of the backlog: a JSON array of the oldest stamped
// readings, {"ts": MS, "values": {"Humidity": H, "Temperature": T}} each, as
// many as fit in STORE_MESSAGE_BYTES; nullptr when none is stamped. The same
// readings always give the same text.
struct StoreBatch {
    size_t readings;
    int64_t first_ts; // milliseconds since the epoch
    int64_t last_ts;
};
const char *store_message(StoreBatch *batch);

// The broker acknowledged the message of batch: its readings go.
void store_delivered(const StoreBatch &batch);

struct StoreCounts {
    size_t kept;      // readings in the store
    size_t unstamped; // of those, waiting for the clock
    uint64_t dropped; // since the store was last empty: full, another boot, past the size
};
StoreCounts store_counts();
// The dropped count has been reported with the delivered backlog.
void store_forget_dropped();

// What the orderly stop did with the store.
struct StoreSaved {
    bool opened;     // false: the store was never opened (nothing done)
    size_t readings; // written (0: nothing kept, the old file removed)
    bool failed;     // not written: why says why
    Reason why;
    const char *path;
};
// Stamps what the clock allows and writes the store (an empty one removes the
// file). Async-signal-safe, for an interrupt that ends the process from its
// handler; runs once.
StoreSaved store_save();
