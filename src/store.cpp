#include "store.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device.hpp"
#include "format_now.hpp"
#include "payload.hpp"
#include "process.hpp"

namespace
{

// One reading: its time (wall-clock ms since the epoch once stamped, else
// CLOCK_BOOTTIME ms of the boot named in the store) and its two values.
struct StoredReading {
    int64_t ms;
    float humidity;
    float temperature;
};
static_assert(sizeof(StoredReading) == 16, "16 bytes a reading");

// The state file: this header, then its readings, oldest first, in the
// board's own byte order (the file never leaves the board).
constexpr char FILE_MAGIC[8] = {'T', 'A', 'R', 'E', 'A', 'D', 'S', '\n'};
constexpr uint32_t FILE_VERSION = 1;
constexpr size_t BOOT_ID_BYTES = 40; // 36 characters and zeros
struct FileHeader {
    char magic[8];
    uint32_t version;
    uint32_t reading_bytes;
    uint64_t identity; // the broker's URI and the client id: whose readings
    char boot_id[BOOT_ID_BYTES];
    uint32_t readings;
    uint32_t stamped; // the first ones carry wall-clock times
    uint64_t dropped;
    uint64_t checksum; // FNV-1a of the header (this field 0) and the readings
};
static_assert(sizeof(FileHeader) == 88, "no padding in the header");

constexpr char BOOT_ID_FILE[] = "/proc/sys/kernel/random/boot_id";
constexpr char TEMP_SUFFIX[] = ".new";
constexpr char REFUSED_SUFFIX[] = ".refused";
constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325u;
constexpr uint64_t FNV_PRIME = 0x100000001b3u;
// The readings read per system call at start.
constexpr size_t LOAD_CHUNK = 256;

// The ring of readings: oldest at first; the first `stamped` carry
// wall-clock times (new readings join at the end, and stamping stamps all).
StoredReading readings[STORE_SIZE];
size_t first = 0;
size_t kept = 0;
size_t stamped = 0;
uint64_t dropped = 0;

bool opened = false;
bool saved = false;
char boot_id[BOOT_ID_BYTES] = "";
char path[STORE_PATH_BYTES] = "";
char temp_path[STORE_PATH_BYTES] = "";
char refused_path[STORE_PATH_BYTES] = "";
char directory[STORE_PATH_BYTES] = "";

char message[STORE_MESSAGE_BYTES + 1];

StoredReading &at(size_t i)
{
    return readings[(first + i) % STORE_SIZE];
}

uint64_t fnv1a(uint64_t hash, const void *data, size_t size)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ bytes[i]) * FNV_PRIME;
    return hash;
}

uint64_t identity()
{
    return identity_hash(device_settings.server_uri, device_settings.client_id);
}

int64_t ms_of(const timespec &t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The system's words for errno: a table of constant strings, which an
// interrupt's handler may read.
const char *error_text(int error)
{
    const char *words = strerrordesc_np(error);
    return words ? words : "unknown error";
}

bool join(char *out, const char *a, const char *b, const char *c)
{
    const int n = snprintf(out, STORE_PATH_BYTES, "%s%s%s", a, b, c);
    return n > 0 && static_cast<size_t>(n) < STORE_PATH_BYTES;
}

void read_boot_id()
{
    const int fd = open(BOOT_ID_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char text[BOOT_ID_BYTES] = "";
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n < 36)
        return;
    memcpy(boot_id, text, 36); // the rest stays zero
}

// The paths from the first folder of $STATE_DIRECTORY (systemd separates
// several with ':'); false when there is none or it is too long.
bool find_paths()
{
    const char *dirs = getenv("STATE_DIRECTORY");
    if (!dirs || !*dirs)
        return false;
    const size_t len = strcspn(dirs, ":");
    if (len == 0 || len >= sizeof directory)
        return false;
    memcpy(directory, dirs, len);
    directory[len] = '\0';
    return join(path, directory, "/", STORE_FILE_NAME) && join(temp_path, path, TEMP_SUFFIX, "") &&
           join(refused_path, path, REFUSED_SUFFIX, "");
}

// Reads or writes size bytes whole, across short transfers and signals.
bool transfer(int fd, void *data, size_t size, bool out)
{
    char *p = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t n = out ? write(fd, p, size) : read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
bool read_all(int fd, void *data, size_t size)
{
    return transfer(fd, data, size, false);
}
bool write_all(int fd, const void *data, size_t size)
{
    return transfer(fd, const_cast<void *>(data), size, true);
}

// Why the file read back cannot be trusted, or nullptr. Reads its readings
// into the ring (the newest STORE_SIZE of them) as it checks them.
const char *load(int fd, FileHeader *header, size_t *over_size)
{
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return "is not a regular file";
    if (static_cast<size_t>(st.st_size) < sizeof *header || !read_all(fd, header, sizeof *header))
        return "is too short to be a reading store";
    if (memcmp(header->magic, FILE_MAGIC, sizeof FILE_MAGIC) != 0)
        return "is not a reading store of this agent";
    if (header->version != FILE_VERSION || header->reading_bytes != sizeof(StoredReading))
        return "is a reading store of another format";
    if (header->identity != identity())
        return "holds the readings of another device (another broker or client id)";
    const uint64_t expected =
        sizeof *header + static_cast<uint64_t>(header->readings) * sizeof(StoredReading);
    if (static_cast<uint64_t>(st.st_size) != expected || header->stamped > header->readings)
        return "is damaged: its size does not match its count of readings";

    FileHeader blank = *header;
    blank.checksum = 0;
    uint64_t hash = fnv1a(FNV_OFFSET, &blank, sizeof blank);
    const size_t skip = header->readings > STORE_SIZE ? header->readings - STORE_SIZE : 0;
    StoredReading chunk[LOAD_CHUNK];
    for (size_t done = 0; done < header->readings;) {
        const size_t n =
            header->readings - done < LOAD_CHUNK ? header->readings - done : LOAD_CHUNK;
        if (!read_all(fd, chunk, n * sizeof chunk[0]))
            return "could not be read whole";
        hash = fnv1a(hash, chunk, n * sizeof chunk[0]);
        for (size_t i = 0; i < n; ++i)
            if (done + i >= skip)
                readings[done + i - skip] = chunk[i];
        done += n;
    }
    if (hash != header->checksum) {
        memset(readings, 0, sizeof readings);
        return "is damaged: its checksum does not match";
    }
    *over_size = skip;
    return nullptr;
}

bool clock_trusted()
{
    return access(STORE_CLOCK_FLAG, F_OK) == 0;
}

void fsync_directory()
{
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Writes the store to the temporary file and renames it over the state file.
bool write_store(Reason *why)
{
    FileHeader header = {};
    memcpy(header.magic, FILE_MAGIC, sizeof FILE_MAGIC);
    header.version = FILE_VERSION;
    header.reading_bytes = sizeof(StoredReading);
    header.identity = identity();
    memcpy(header.boot_id, boot_id, sizeof boot_id);
    header.readings = static_cast<uint32_t>(kept);
    header.stamped = static_cast<uint32_t>(stamped);
    header.dropped = dropped;
    // The ring in at most two runs.
    const size_t head = kept < STORE_SIZE - first ? kept : STORE_SIZE - first;
    uint64_t hash = fnv1a(FNV_OFFSET, &header, sizeof header);
    hash = fnv1a(hash, readings + first, head * sizeof(StoredReading));
    hash = fnv1a(hash, readings, (kept - head) * sizeof(StoredReading));
    header.checksum = hash;

    const int fd = open(temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool written = fd >= 0 && write_all(fd, &header, sizeof header) &&
                   write_all(fd, readings + first, head * sizeof(StoredReading)) &&
                   write_all(fd, readings, (kept - head) * sizeof(StoredReading)) && fsync(fd) == 0;
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && rename(temp_path, path) == 0) {
        fsync_directory();
        return true;
    }
    if (written)
        format_now(why->text, sizeof why->text, "cannot rename %s over the state file: %s",
                   temp_path, error_text(errno));
    else
        format_now(why->text, sizeof why->text, "cannot write %s: %s", temp_path,
                   error_text(error));
    unlink(temp_path);
    return false;
}

} // namespace

StoreOpened store_open()
{
    StoreOpened result = {};
    result.path = path;
    opened = true;
    read_boot_id();
    if (!find_paths()) {
        result.no_directory = true;
        return result;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return result;
        format_now(result.why.text, sizeof result.why.text, "cannot read the state file %s: %s",
                   path, error_text(errno));
        result.refused = true;
        return result;
    }
    FileHeader header = {};
    size_t over_size = 0;
    const char *problem = load(fd, &header, &over_size);
    close(fd);
    if (problem) {
        const bool set_aside = rename(path, refused_path) == 0;
        if (set_aside)
            format_now(result.why.text, sizeof result.why.text,
                       "the state file %s %s: set aside as %s", path, problem, refused_path);
        else
            format_now(result.why.text, sizeof result.why.text,
                       "the state file %s %s (it could not be set aside: %s)", path, problem,
                       error_text(errno));
        result.refused = true;
        return result;
    }
    kept = header.readings - over_size;
    stamped = header.stamped > over_size ? header.stamped - over_size : 0;
    // The monotonic times of another boot mean nothing now.
    const bool same_boot = boot_id[0] && memcmp(boot_id, header.boot_id, sizeof boot_id) == 0;
    if (!same_boot) {
        result.other_boot = kept - stamped;
        kept = stamped;
    }
    result.over_size = over_size;
    result.restored = kept;
    dropped = header.dropped + over_size + result.other_boot;
    return result;
}

int64_t store_boot_ms()
{
    timespec now = {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return ms_of(now);
}

bool store_keep(float humidity, float temperature, int64_t boot_ms)
{
    bool full = kept == STORE_SIZE;
    if (full) {
        first = (first + 1) % STORE_SIZE;
        --kept;
        if (stamped > 0)
            --stamped;
        ++dropped;
    }
    at(kept) = {boot_ms, humidity, temperature};
    ++kept;
    return full;
}

bool store_stamp()
{
    if (stamped == kept)
        return true;
    if (!clock_trusted())
        return false;
    timespec real = {};
    timespec boot = {};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const int64_t real_ms = ms_of(real);
    const int64_t boot_ms = ms_of(boot);
    for (; stamped < kept; ++stamped)
        at(stamped).ms = real_ms - (boot_ms - at(stamped).ms);
    return true;
}

const char *store_message(StoreBatch *batch)
{
    if (stamped == 0)
        return nullptr;
    size_t len = 0;
    message[len++] = '[';
    size_t n = 0;
    for (; n < stamped; ++n) {
        const StoredReading &r = at(n);
        char element[160];
        int head = snprintf(element, sizeof element, "%s{\"ts\": %lld, \"values\": ", n ? ", " : "",
                            static_cast<long long>(r.ms));
        head += format_payload(element + head, sizeof element - static_cast<size_t>(head) - 1,
                               r.humidity, r.temperature);
        element[head++] = '}';
        // and the closing bracket
        if (len + static_cast<size_t>(head) + 1 > STORE_MESSAGE_BYTES)
            break;
        memcpy(message + len, element, static_cast<size_t>(head));
        len += static_cast<size_t>(head);
    }
    if (n == 0)
        return nullptr;
    message[len++] = ']';
    message[len] = '\0';
    batch->readings = n;
    batch->first_ts = at(0).ms;
    batch->last_ts = at(n - 1).ms;
    return message;
}

void store_delivered(const StoreBatch &batch)
{
    first = (first + batch.readings) % STORE_SIZE;
    kept -= batch.readings;
    stamped -= batch.readings;
}

StoreCounts store_counts()
{
    return {kept, kept - stamped, dropped};
}

void store_forget_dropped()
{
    dropped = 0;
}

StoreSaved store_save()
{
    StoreSaved result = {};
    result.path = path;
    if (!opened || saved)
        return result;
    saved = true;
    result.opened = true;
    store_stamp();
    if (!path[0]) {
        result.failed = kept > 0;
        format_now(result.why.text, sizeof result.why.text,
                   "no state directory: STATE_DIRECTORY is not set (the unit's StateDirectory=)");
        return result;
    }
    if (kept == 0) {
        if (unlink(path) == 0)
            fsync_directory();
        return result;
    }
    result.readings = kept;
    result.failed = !write_store(&result.why);
    return result;
}
