#include "shm_reader.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "event_log.h"
#include "shm_protocol.h"
#include "ulvolib.h"

namespace {

// Offsets of the signature words that bracket each section.
constexpr size_t IPV4_BEGIN = offsetof(shm_stat_block, ipv4_tt_begin_sig);
constexpr size_t IPV4_END = offsetof(shm_stat_block, ipv4_tt_end_sig);
constexpr size_t IPV6_BEGIN = offsetof(shm_stat_block, ipv6_tt_begin_sig);
constexpr size_t IPV6_END = offsetof(shm_stat_block, ipv6_tt_end_sig);
constexpr size_t DTT_BEGIN = offsetof(shm_stat_block, dtt_begin_sig);
constexpr size_t DTT_END = offsetof(shm_stat_block, dtt_end_sig);
constexpr size_t CONFIG_BEGIN = offsetof(shm_stat_block, config_begin_sig);
constexpr size_t CONFIG_END = offsetof(shm_stat_block, config_end_sig);

}  // namespace

bool shm_segment_made_by_root(int id, size_t size, int32_t *owner_uid) {
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0) {
        return false;
    }
    *owner_uid = static_cast<int32_t>(ds.shm_perm.uid != 0 ? ds.shm_perm.uid : ds.shm_perm.cuid);
    return ds.shm_perm.cuid == 0 && ds.shm_perm.uid == 0 && (ds.shm_perm.mode & 022) == 0 &&
           (size == 0 || ds.shm_segsz == size);
}

int get_shm_owner_pid(int32_t key, int32_t *pid) {
    shm_stat_block *block;
    if (shm_block_attach(key, &block) != 0) {
        return 1;
    }
    *pid = std::atomic_ref<int32_t>(block->pid).load(std::memory_order_acquire);
    shm_block_detach(block);
    return 0;
}

namespace {

// The process's state (field 3 of /proc/PID/stat) and start time (field 22, clock ticks since
// boot, 0 when the line is cut short): false when there is no such file to read.
bool read_proc_stat(int32_t pid, char *state, uint64_t *ticks) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *stat = fopen(path, "re");
    if (stat == nullptr) {
        return false;
    }
    char line[1024];
    if (fgets(line, sizeof line, stat) != nullptr) {
        // "pid (comm) state ...": the name may hold blanks and parentheses, the last ')' ends it.
        const char *field = strrchr(line, ')');
        if (field != nullptr && field[1] == ' ') {
            *state = field[2];
        }
        for (int n = 2; field != nullptr && n < 22; ++n) {
            field = strchr(field + 1, ' ');
        }
        if (field != nullptr) {
            *ticks = strtoull(field + 1, nullptr, 10);
        }
    }
    fclose(stat);
    return true;
}

}  // namespace

bool process_running(int32_t pid) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) {
        return false;
    }
    char state = '?';
    uint64_t ticks = 0;
    if (!read_proc_stat(pid, &state, &ticks)) {
        return true;  // no /proc to ask: it exists, which is all that can be known
    }
    return state != 'T' && state != 't' && state != 'Z' && state != 'X';
}

uint64_t process_start_ticks(int32_t pid) {
    char state = '?';
    uint64_t ticks = 0;
    return read_proc_stat(pid, &state, &ticks) ? ticks : 0;
}

bool shm_block_exists(int32_t key) {
    return shmget(key, 0, 0) != -1 || errno != ENOENT;
}

int shm_block_attach(int32_t key, shm_stat_block **address) {
    int id = shmget(key, SHM_BLOCK_SIZE, 0);
    if (id == -1) {
        int error = errno;
        if (error == ENOENT) {
            lib_report(TAG_ERROR, false,
                       "   kel-ulvod does not appear to be running, \n"
                       "   could not get shm id for shm key %#x, errno=%d\n\n",
                       key, error);
        } else {
            lib_report(TAG_ERROR, false, "   could not get shm id for shm key %#x, errno=%d\n\n",
                       key, error);
        }
        return 1;
    }
    int32_t owner_uid = -1;
    if (!shm_segment_made_by_root(id, 0, &owner_uid)) {
        lib_report(TAG_ERROR, false,
                   "   the shared memory block at key %#x was not made by kel-ulvod running as\n"
                   "   root (uid %d made it, or others may write it), it is not read\n\n",
                   key, owner_uid);
        return 1;
    }
    void *mapping = shmat(id, nullptr, SHM_RDONLY);
    if (mapping == reinterpret_cast<void *>(-1)) {
        lib_report(TAG_ERROR, false, "   could not attach to shared memory shmid=%#x, errno=%d\n\n",
                   id, errno);
        return 1;
    }
    *address = static_cast<shm_stat_block *>(mapping);
    return 0;
}

int shm_block_detach(shm_stat_block *address) {
    if (shmdt(address) == -1) {
        lib_report(TAG_ERROR, false, "   shmdt failed, errno=%d, %s,%d\n", errno, ULVOLIB_UNIT,
                   __LINE__);
        return 1;
    }
    return 0;
}

int get_shm_struct(int32_t key, size_t begin_offset, size_t end_offset, void *destination) {
    shm_stat_block *block;
    if (shm_block_attach(key, &block) != 0) {
        return 1;
    }
    auto *base = reinterpret_cast<unsigned char *>(block);
    auto *begin = reinterpret_cast<uint32_t *>(base + begin_offset);
    auto *end = reinterpret_cast<uint32_t *>(base + end_offset);
    const size_t length = end_offset - begin_offset - sizeof(uint32_t);
    bool read = read_section(begin, end, destination, length);
    shm_block_detach(block);
    if (!read) {
        lib_report(TAG_WARNING, false, "   could not get status\n");
        return 1;
    }
    return 0;
}

int get_ipv4_tt_stat(int32_t key, tt_stat *stat) {
    return get_shm_struct(key, IPV4_BEGIN, IPV4_END, stat);
}
int get_ipv6_tt_stat(int32_t key, tt_stat *stat) {
    return get_shm_struct(key, IPV6_BEGIN, IPV6_END, stat);
}
int get_dtt_stat(int32_t key, dtt_stat *stat) {
    return get_shm_struct(key, DTT_BEGIN, DTT_END, stat);
}
int get_ulvo_config_from_shm(int32_t key, ulvo_config *config) {
    return get_shm_struct(key, CONFIG_BEGIN, CONFIG_END, config);
}

int get_tt_stat(int32_t key, tt_stat *stat) {
    tt_stat v4;
    tt_stat v6;
    if (get_ipv4_tt_stat(key, &v4) != 0 || get_ipv6_tt_stat(key, &v6) != 0) {
        return 1;
    }
    stat->processed_crs = v4.processed_crs + v6.processed_crs;
    stat->throttled_crs = v4.throttled_crs + v6.throttled_crs;
    stat->never_throttled_crs = v4.never_throttled_crs + v6.never_throttled_crs;
    stat->times_vla_detected = v4.times_vla_detected + v6.times_vla_detected;
    stat->dropped_crs = v4.dropped_crs + v6.dropped_crs;
    return 0;
}

uint64_t currently_throttled_crs(const tt_stat *tt, const dtt_stat *dtt) {
    // The status tool reads the releases before the throttle counters, so a packet released
    // in between can make them run ahead; that is an empty queue, not a wrapped number.
    return dtt->dethrottled_crs > tt->throttled_crs ? 0 : tt->throttled_crs - dtt->dethrottled_crs;
}
