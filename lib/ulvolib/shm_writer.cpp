#include "shm_writer.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "event_log.h"
#include "owner_block.h"
#include "shm_internal.h"
#include "shm_protocol.h"
#include "shm_reader.h"
#include "ulvolib_testing.h"

namespace {

// The daemon's block, attached for writing; threads publish into it while the shutdown may
// remove it.
published_segment<shm_stat_block> status_segment;
int shm_stat_block_id = -1;  // its SysV id
const char *pulvo_shm_sanity_check = SHM_SANITY_TEXT;

constexpr int SHM_MODE = 0644;

// True when the block's recorded process is alive and is not this process. A recorded pid
// of this very process is a block left by an earlier run that had the same pid, and a pid
// of 0 or below names no single process (kill would test a whole group), and a process that
// started after the daemon recorded in the held-by-owner segment took its pid after it ended.
bool owner_alive(const shm_stat_block *block, int32_t key) {
    pid_t pid = block->pid;
    return pid > 0 && pid != getpid() && kill(pid, 0) == 0 && owner_block_start_matches(key, pid);
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

// The segment under the key, made now or found: its id, or -1 after a report. *existing tells
// a found one, whose content is not ours until it has been checked.
int get_segment(int32_t key, bool *existing) {
    errno = 0;
    *existing = false;
    int id = shmget(key, SHM_BLOCK_SIZE, IPC_CREAT | IPC_EXCL | SHM_MODE);
    if (id == -1 && errno == EEXIST) {
        id = shmget(key, SHM_BLOCK_SIZE, IPC_CREAT | SHM_MODE);
        *existing = id != -1;
    }
    if (id == -1) {
        lib_report(TAG_ERROR, true,
                   "   could not create shared memory with shmid %#x,\n   errno=%d\n", key, errno);
    }
    return id;
}

// A found block may be taken over only when this build made it and its owner is gone.
bool may_take_over(const shm_stat_block *block, int32_t key, int32_t owner_uid) {
    if (!same_sanity_text(block)) {
        report_block_in_use(key, owner_uid);
        return false;
    }
    if (owner_alive(block, key)) {
        report_other_instance(block->pid);
        return false;
    }
    return true;
}

// A segment that root did not make, or that others may write, is an impostor's: whoever made
// it could forge the alarm and the counters, or keep the daemon from starting. It is removed, to
// be made afresh. true when it was; false after a report when it could not be.
bool remove_impostor(int id, int32_t key, int32_t owner_uid) {
    lib_report(TAG_WARNING, true,
               "   removed the shared memory block at key %#x that uid %d made:\n"
               "   only kel-ulvod running as root may make or write it.\n",
               key, owner_uid);
    if (shmctl(id, IPC_RMID, nullptr) == -1) {
        lib_report(TAG_ERROR, true,
                   "   shmctl shmid=%#x, errno=%d, could not delete shared   memory, %s,%d\n\n", id,
                   errno, ULVOLIB_UNIT, __LINE__);
        return false;
    }
    return true;
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

}  // namespace

block_writer::block_writer() {
    block_ = status_segment.enter();
}

block_writer::~block_writer() {
    status_segment.leave();
}

bool shm_block_made() {
    return status_segment.get() != nullptr;
}

int make_shm_block(const ulvo_config *config) {
    const int32_t key = config->shared_memory_key;
    // A segment at the key that root did not make, or that others may write, is a user's,
    // whatever its size or content: left there, it would keep the daemon from starting (or
    // forge its state). It is removed.
    int32_t user_uid = -1;
    if (int user_id = shmget(key, 0, 0); user_id != -1 &&
                                         !shm_segment_made_by_root(user_id, 0, &user_uid) &&
                                         !remove_impostor(user_id, key, user_uid)) {
        return 1;
    }
    bool existing;
    int id = get_segment(key, &existing);
    if (id == -1) {
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
        int32_t owner_uid = -1;
        shm_segment_made_by_root(id, 0, &owner_uid);
        if (!may_take_over(block, key, owner_uid)) {
            shmdt(address);
            return 1;
        }
    }
    init_block(block, config);
    status_segment.set(block);
    shm_stat_block_id = id;
    return 0;
}

void shm_block_free() {
    bool had = false;
    shm_stat_block *block = status_segment.take_away(&had);
    if (!had) {
        return;
    }
    // A writer stopped in mid-write keeps its mapping; the segment, removed below all the
    // same, then goes when the process ends.
    if (block != nullptr) {
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
    int32_t user_uid = -1;
    if (int any = shmget(key, 0, 0); any != -1 && !shm_segment_made_by_root(any, 0, &user_uid)) {
        return SHM_FREE;  // a user's, whatever its size, which alloc_mem removes
    }
    int id = shmget(key, SHM_BLOCK_SIZE, 0);
    if (id == -1) {
        return SHM_FREE;
    }
    void *address = shmat(id, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void *>(-1)) {
        return SHM_FREE;  // alloc_mem reports what it cannot attach
    }
    const auto *block = static_cast<const shm_stat_block *>(address);
    int32_t owner_uid = -1;
    bool ours = shm_segment_made_by_root(id, 0, &owner_uid);
    int verdict = SHM_FREE;
    if (!same_sanity_text(block)) {
        verdict = SHM_FOREIGN;
        *owner = owner_uid;
    } else if (ours && owner_alive(block, key)) {
        verdict = SHM_LIVE;
        *owner = block->pid;
    }
    shmdt(address);
    return verdict;
}

void report_block_in_use(int32_t key, int32_t owner_uid) {
    lib_report(TAG_ERROR, true,
               "   The shared memory key %#x, appears to be in use\n"
               "   by another application. Setting shared_memory_key in \n"
               "   %s\n"
               "   may resolve this issue, run \"ipcs -m\" to view\n"
               "   shared memory usage.\n"
               "   The segment belongs to uid %d.\n",
               key, ULVO_CONFIG_PATH, owner_uid);
}

void report_other_instance(int32_t pid) {
    lib_report(TAG_WARNING, true,
               "   Another instance of kel-ulvod appears to be running,\n"
               "   check process id %d.\n",
               pid);
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

shm_stat_block *own_shm_block_for_test() {
    return status_segment.get();
}
