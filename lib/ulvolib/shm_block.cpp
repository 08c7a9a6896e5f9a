#include "shm_block.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <ctime>

#include "cre_pool.h"
#include "event_log.h"
#include "known_hosts.h"
#include "shm_protocol.h"
#include "ulvolib_testing.h"

namespace {

// The daemon's block, attached for writing. Threads publish into it while the shutdown may
// remove it: each write counts itself in active_writers before it loads the pointer, and
// shm_block_free clears the pointer before it waits for that count to drain, so that it never
// detaches the block under a writer.
std::atomic<shm_stat_block *> pshm_stat_block{nullptr};
std::atomic<int> active_writers{0};
int shm_stat_block_id = -1;                 // its SysV id
ulvo_config lib_config;                     // the library's own configuration
const ulvo_config *pulvo_config = nullptr;  // set once init_ulvolib has succeeded
const char *pulvo_shm_sanity_check = SHM_SANITY_TEXT;

constexpr int READ_ATTEMPTS = 300;
constexpr long READ_PAUSE_NS = 10'000'000;
constexpr int SHM_MODE = 0644;

// Offsets of the signature words that bracket each section.
constexpr size_t IPV4_BEGIN = offsetof(shm_stat_block, ipv4_tt_begin_sig);
constexpr size_t IPV4_END = offsetof(shm_stat_block, ipv4_tt_end_sig);
constexpr size_t IPV6_BEGIN = offsetof(shm_stat_block, ipv6_tt_begin_sig);
constexpr size_t IPV6_END = offsetof(shm_stat_block, ipv6_tt_end_sig);
constexpr size_t DTT_BEGIN = offsetof(shm_stat_block, dtt_begin_sig);
constexpr size_t DTT_END = offsetof(shm_stat_block, dtt_end_sig);
constexpr size_t CONFIG_BEGIN = offsetof(shm_stat_block, config_begin_sig);
constexpr size_t CONFIG_END = offsetof(shm_stat_block, config_end_sig);

// True when the block's recorded process is alive and is not this process. A recorded pid
// of this very process is a block left by an earlier run that had the same pid, and a pid
// of 0 or below names no single process (kill would test a whole group).
bool owner_alive(const shm_stat_block *block) {
    pid_t pid = block->pid;
    return pid > 0 && pid != getpid() && kill(pid, 0) == 0;
}

bool same_sanity_text(const shm_stat_block *block) {
    return strncmp(block->mem_block_sanity_string, pulvo_shm_sanity_check,
                   sizeof block->mem_block_sanity_string) == 0;
}

void init_block(shm_stat_block *block, const ulvo_config *config) {
    memset(block, 0, sizeof *block);
    strncpy(block->mem_block_sanity_string, pulvo_shm_sanity_check,
            sizeof block->mem_block_sanity_string);
    block->pid = getpid();
    memcpy(&block->config, config, sizeof block->config);
    block->water_gauge = 1;
    for (uint32_t *word :
         {&block->ipv4_tt_begin_sig, &block->ipv4_tt_end_sig, &block->ipv6_tt_begin_sig,
          &block->ipv6_tt_end_sig, &block->dtt_begin_sig, &block->dtt_end_sig, &block->wg_begin_sig,
          &block->wg_end_sig, &block->config_begin_sig, &block->config_end_sig}) {
        signature(word).store(1, std::memory_order_release);
    }
}

int publish(uint32_t shm_stat_block::*begin, uint32_t shm_stat_block::*end, const void *record,
            size_t length) {
    block_writer writer;
    shm_stat_block *block = writer.block();
    if (block == nullptr) {
        return 1;
    }
    publish_section(&(block->*begin), &(block->*end), record, length);
    return 0;
}

// Waits up to 100 ms for writes in progress to end; false when one does not, which means a
// writer was stopped in mid-write by the shutdown's own signal.
bool writers_drained() {
    for (int wait = 0; wait < 100; ++wait) {
        if (active_writers.load() == 0) {
            return true;
        }
        timespec pause{0, 1'000'000};
        nanosleep(&pause, nullptr);
    }
    return active_writers.load() == 0;
}

void print_tt(const char *name, const uint32_t &begin, const tt_stat &stat, const uint32_t &end) {
    lib_print("\t%s_tt_begin_sig=%#x\n", name, begin);
    lib_print("\tprocessed_crs=%" PRIu64 "\n", stat.processed_crs);
    lib_print("\tthrottled_crs=%" PRIu64 "\n", stat.throttled_crs);
    lib_print("\tnever_throttled_crs=%" PRIu64 "\n", stat.never_throttled_crs);
    lib_print("\ttimes_vla_detected=%" PRIu64 "\n", stat.times_vla_detected);
    lib_print("\tdropped_crs=%" PRIu64 "\n", stat.dropped_crs);
    lib_print("\t%s_tt_end_sig=%#x\n", name, end);
}

}  // namespace

block_writer::block_writer() {
    active_writers.fetch_add(1);
    block_ = pshm_stat_block.load();
}

block_writer::~block_writer() {
    active_writers.fetch_sub(1);
}

int init_ulvolib() {
    errno = 0;
    if (ulvolib_output() == nullptr) {
        set_ulvolib_output(stdout);
    }
    if (read_config(&lib_config) != 0) {
        return 1;
    }
    pulvo_config = &lib_config;
    return 0;
}

const ulvo_config *ulvolib_config() {
    return pulvo_config;
}

int alloc_mem(const ulvo_config *config) {
    if (pshm_stat_block != nullptr) {
        lib_report(TAG_ERROR, true, "   INTERNAL ERROR: %s should only be called once %s,%d\n",
                   "alloc_mem", ULVOLIB_UNIT, __LINE__);
        return 1;
    }
    if (init_cre_pool(config->dq_size + 2) != 0) {
        lib_report(TAG_ERROR, true, "   could not allocate memory, %s,%d\n", ULVOLIB_UNIT,
                   __LINE__);
        return 1;
    }
    if (create_known_host_ring(config->host_working_set_size) != 0) {
        lib_report(TAG_ERROR, true, "   could not allocate memory, %s,%d\n", ULVOLIB_UNIT,
                   __LINE__);
        return 1;
    }

    errno = 0;
    bool existing = false;
    int id = shmget(config->shared_memory_key, SHM_BLOCK_SIZE, IPC_CREAT | IPC_EXCL | SHM_MODE);
    if (id == -1 && errno == EEXIST) {
        id = shmget(config->shared_memory_key, SHM_BLOCK_SIZE, IPC_CREAT | SHM_MODE);
        existing = id != -1;
    }
    if (id == -1) {
        lib_report(TAG_ERROR, true,
                   "   could not create shared memory with shmid %#x,\n   errno=%d\n",
                   config->shared_memory_key, errno);
        return 1;
    }
    void *address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        lib_report(TAG_ERROR, true, "   could not attach to shmid=%#x, errno=%d, %s,%d\n\n", id,
                   errno, ULVOLIB_UNIT, __LINE__);
        return 1;
    }
    auto *block = static_cast<shm_stat_block *>(address);
    if (existing) {
        if (!same_sanity_text(block)) {
            report_block_in_use(config->shared_memory_key);
            shmdt(address);
            return 1;
        }
        if (owner_alive(block)) {
            report_other_instance(block->pid);
            shmdt(address);
            return 1;
        }
    }
    init_block(block, config);
    pshm_stat_block = block;
    shm_stat_block_id = id;
    return 0;
}

void shm_block_free() {
    shm_stat_block *block = pshm_stat_block.exchange(nullptr);
    if (block == nullptr) {
        return;
    }
    // A writer stopped in mid-write keeps its mapping; the segment, removed below all the
    // same, then goes when the process ends.
    if (writers_drained()) {
        shm_block_detach(block);
    }
    if (shmctl(shm_stat_block_id, IPC_RMID, nullptr) == -1) {
        lib_report(TAG_ERROR, false,
                   "   shmctl shmid=%#x, errno=%d, could not delete shared   memory, %s,%d\n\n",
                   shm_stat_block_id, errno, ULVOLIB_UNIT, __LINE__);
    }
    shm_stat_block_id = -1;
}

int shm_block_in_the_way(int32_t key, int32_t *owner) {
    int id = shmget(key, SHM_BLOCK_SIZE, 0);
    if (id == -1) {
        return SHM_FREE;
    }
    void *address = shmat(id, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void *>(-1)) {
        return SHM_FREE;  // alloc_mem reports what it cannot attach
    }
    const auto *block = static_cast<const shm_stat_block *>(address);
    int verdict = SHM_FREE;
    if (!same_sanity_text(block)) {
        verdict = SHM_FOREIGN;
    } else if (owner_alive(block)) {
        verdict = SHM_LIVE;
        *owner = block->pid;
    }
    shmdt(address);
    return verdict;
}

void report_block_in_use(int32_t key) {
    get_log_lock();
    log_event(ulvolib_output(), TAG_ERROR, "");
    lib_detail("   The shared memory key %#x, appears to be in use\n", key);
    lib_detail("   by another application. Setting shared_memory_key in \n");
    lib_detail("   %s\n", ULVO_CONFIG_PATH);
    lib_detail("   may resolve this issue, run \"ipcs -m\" to view\n");
    lib_detail("   shared memory usage.\n");
    release_log_lock();
}

void report_other_instance(int32_t pid) {
    get_log_lock();
    log_event(ulvolib_output(), TAG_WARNING, "");
    lib_detail("   Another instance of kel-ulvod appears to be running,\n");
    lib_detail("   check process id %d.\n", pid);
    release_log_lock();
}

int update_ipv4_tt_shm(const tt_stat *stat) {
    return publish(&shm_stat_block::ipv4_tt_begin_sig, &shm_stat_block::ipv4_tt_end_sig, stat,
                   sizeof *stat);
}

int update_ipv6_tt_shm(const tt_stat *stat) {
    return publish(&shm_stat_block::ipv6_tt_begin_sig, &shm_stat_block::ipv6_tt_end_sig, stat,
                   sizeof *stat);
}

int update_dtt_shm(const dtt_stat *stat) {
    return publish(&shm_stat_block::dtt_begin_sig, &shm_stat_block::dtt_end_sig, stat,
                   sizeof *stat);
}

int shm_block_attach(shm_stat_block **address) {
    if (pulvo_config == nullptr) {
        lib_report(TAG_ERROR, false, "   INTERNAL ERROR: the configuration is not loaded %s,%d\n",
                   ULVOLIB_UNIT, __LINE__);
        return 1;
    }
    int32_t key = pulvo_config->shared_memory_key;
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

int get_shm_struct(size_t begin_offset, size_t end_offset, void *destination) {
    shm_stat_block *block;
    if (shm_block_attach(&block) != 0) {
        return 1;
    }
    auto *base = reinterpret_cast<unsigned char *>(block);
    auto *begin = reinterpret_cast<uint32_t *>(base + begin_offset);
    auto *end = reinterpret_cast<uint32_t *>(base + end_offset);
    const size_t length = end_offset - begin_offset - sizeof(uint32_t);
    bool begin_was_zero = false;
    for (int attempt = 0; attempt < READ_ATTEMPTS; ++attempt) {
        if (attempt > 0 && !begin_was_zero) {
            timespec pause{0, READ_PAUSE_NS};
            if (nanosleep(&pause, nullptr) != 0) {
                shm_block_detach(block);
                lib_report(TAG_WARNING, false, "   could not get status, nanosleep failed\n");
                return 1;
            }
        }
        uint32_t first = signature(begin).load(std::memory_order_acquire);
        copy_words(destination, begin + 1, length, false);
        uint32_t last = signature(end).load(std::memory_order_relaxed);
        if (first != 0 && first == last) {
            shm_block_detach(block);
            return 0;
        }
        begin_was_zero = first == 0;
    }
    shm_block_detach(block);
    lib_report(TAG_WARNING, false, "   could not get status\n");
    return 1;
}

int get_ipv4_tt_stat(tt_stat *stat) {
    return get_shm_struct(IPV4_BEGIN, IPV4_END, stat);
}
int get_ipv6_tt_stat(tt_stat *stat) {
    return get_shm_struct(IPV6_BEGIN, IPV6_END, stat);
}
int get_dtt_stat(dtt_stat *stat) {
    return get_shm_struct(DTT_BEGIN, DTT_END, stat);
}
int get_ulvo_config_from_shm(ulvo_config *config) {
    return get_shm_struct(CONFIG_BEGIN, CONFIG_END, config);
}

int get_tt_stat(tt_stat *stat) {
    tt_stat v4;
    tt_stat v6;
    if (get_ipv4_tt_stat(&v4) != 0 || get_ipv6_tt_stat(&v6) != 0) {
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

int debug_dump_shm_struct_unlocked() {
    shm_stat_block *block;
    if (shm_block_attach(&block) != 0) {
        return 1;
    }
    const shm_stat_block &b = *block;
    get_log_lock();
    log_event(ulvolib_output(), TAG_DEBUG, "");
    lib_print("Dumping shared memory structure\n");
    lib_print("===============================\n");
    lib_print("mem_block_sanity_string=\"%.*s\"\n",
              static_cast<int>(sizeof b.mem_block_sanity_string), b.mem_block_sanity_string);
    lib_print("ulvo pid=%d\n", b.pid);
    lib_print("IPv4 Throttle thread----------------\n");
    print_tt("ipv4", b.ipv4_tt_begin_sig, b.ipv4_tt_stat, b.ipv4_tt_end_sig);
    lib_print("IPv6 Throttle thread----------------\n");
    print_tt("ipv6", b.ipv6_tt_begin_sig, b.ipv6_tt_stat, b.ipv6_tt_end_sig);
    lib_print("De-throttle thread-------------\n");
    lib_print("\tdtt_begin_sig=%#x\n", b.dtt_begin_sig);
    lib_print("\tmax_crs_ever_throttled=%" PRIu64 "\n", b.dtt_stat.max_crs_ever_throttled);
    lib_print("\tdethrottled_crs=%" PRIu64 "\n", b.dtt_stat.dethrottled_crs);
    lib_print("\tdtt_end_sig=%#x\n", b.dtt_end_sig);
    lib_print("Water guage--------------------\n");
    lib_print("\twg_begin_sig=%#x\n", b.wg_begin_sig);
    lib_print("\twater_gauge=%d\n", b.water_gauge);
    lib_print("\twg_end_sig=%#x\n", b.wg_end_sig);
    lib_print("Configuration------------------\n");
    lib_print("\thost_working_set_size=%" PRIu32 "\n",
              static_cast<uint32_t>(b.config.host_working_set_size));
    lib_print("\tdq_delay_seconds=%" PRIu32 "\n", static_cast<uint32_t>(b.config.dq_delay_seconds));
    lib_print("\tdq_size=%" PRIu32 "\n", static_cast<uint32_t>(b.config.dq_size));
    lib_print("\tdq_high_watermark=%" PRIu32 "\n",
              static_cast<uint32_t>(b.config.dq_high_watermark));
    lib_print("\tdq_low_watermark=%" PRIu32 "\n", static_cast<uint32_t>(b.config.dq_low_watermark));
    lib_print("\tshared_memory_key=%#x\n", static_cast<uint32_t>(b.config.shared_memory_key));
    lib_print("Done dumping shared memory structure\n");
    release_log_lock();
    shm_block_detach(block);
    return 0;
}

int debug_dump_shm_unlocked() {
    shm_stat_block *block;
    if (shm_block_attach(&block) != 0) {
        return 1;
    }
    get_log_lock();
    log_event(ulvolib_output(), TAG_DEBUG, "");
    lib_print("   Dumping shared memory\n");
    dump_hex(block, SHM_BLOCK_SIZE);
    lib_print("   Done dumping shared memory\n");
    release_log_lock();
    shm_block_detach(block);
    return 0;
}

void reset_shm_for_test() {
    shm_block_free();
    pulvo_config = nullptr;
    reset_cre_pool_for_test();
    reset_known_hosts_for_test();
}
shm_stat_block *own_shm_block_for_test() {
    return pshm_stat_block;
}
