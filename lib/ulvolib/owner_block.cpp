#include "owner_block.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "daemon_rule.h"
#include "event_log.h"
#include "shm_protocol.h"
#include "shm_reader.h"

namespace {

constexpr int MODE = 0644;  // readable by every user, written by root alone
// The daemon's own segment, attached; its threads publish into it while the shutdown may
// remove it.
published_segment<shm_owner_block> published;
int published_id = -1;

bool made_by_root(int id) {
    int32_t owner_uid;
    return shm_segment_made_by_root(id, sizeof(shm_owner_block), &owner_uid);
}

bool ours(const shm_owner_block *block) {
    return memcmp(block->magic, OWNER_BLOCK_MAGIC, sizeof OWNER_BLOCK_MAGIC) == 0;
}

// The segment of the daemon with the pid, attached read-only, or null.
const shm_owner_block *attach_for_reading(int32_t status_key, int32_t pid) {
    int id = shmget(owner_block_key(status_key), 0, 0);
    if (id == -1 || !made_by_root(id)) {
        return nullptr;
    }
    void *at = shmat(id, nullptr, SHM_RDONLY);
    if (at == reinterpret_cast<void *>(-1)) {
        return nullptr;
    }
    auto *block = static_cast<const shm_owner_block *>(at);
    if (!ours(block) || block->version != OWNER_BLOCK_VERSION || block->pid != pid) {
        shmdt(at);
        return nullptr;
    }
    return block;
}

}  // namespace

int32_t owner_block_key(int32_t status_key) {
    uint32_t key = static_cast<uint32_t>(status_key) + 1;
    return static_cast<int32_t>(key == 0 ? 1 : key);
}

int owner_block_create(int32_t status_key, int32_t pid) {
    key_t key = owner_block_key(status_key);
    int id = shmget(key, sizeof(shm_owner_block), IPC_CREAT | IPC_EXCL | MODE);
    if (id == -1 && errno == EEXIST) {
        // Left by a daemon that was killed (this daemon holds the instance lock): made by root
        // with our magic, it is replaced.
        // A user's, whatever its size or content, is removed too: it would blind the metrics.
        int old = shmget(key, 0, 0);
        int32_t maker = -1;
        bool users = old != -1 && !shm_segment_made_by_root(old, 0, &maker);
        void *at =
            old == -1 || users ? reinterpret_cast<void *>(-1) : shmat(old, nullptr, SHM_RDONLY);
        bool stale = users || (at != reinterpret_cast<void *>(-1) && made_by_root(old) &&
                               ours(static_cast<const shm_owner_block *>(at)));
        if (at != reinterpret_cast<void *>(-1)) {
            shmdt(at);
        }
        if (stale && shmctl(old, IPC_RMID, nullptr) == 0) {
            if (users) {
                lib_report(TAG_WARNING, false,
                           "   removed the held-by-owner block at key %#x that uid %d made:\n"
                           "   only kel-ulvod running as root may make or write it.\n",
                           static_cast<unsigned>(key), maker);
            }
            id = shmget(key, sizeof(shm_owner_block), IPC_CREAT | IPC_EXCL | MODE);
        }
    }
    if (id == -1) {
        lib_report(TAG_WARNING, false,
                   "   the key %#x of the held-by-owner block is in use (errno=%d); the held\n"
                   "   connections by owner are not published, %s,%d\n",
                   static_cast<unsigned>(key), errno, ULVOLIB_UNIT, __LINE__);
        return 1;
    }
    void *at = shmat(id, nullptr, 0);
    if (at == reinterpret_cast<void *>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return 1;
    }
    auto *block = static_cast<shm_owner_block *>(at);
    memset(block, 0, sizeof *block);
    block->version = OWNER_BLOCK_VERSION;
    block->pid = pid;
    uint64_t ticks = process_start_ticks(pid);
    block->start_ticks[0] = static_cast<uint32_t>(ticks);
    block->start_ticks[1] = static_cast<uint32_t>(ticks >> 32);
    memcpy(block->magic, OWNER_BLOCK_MAGIC, sizeof OWNER_BLOCK_MAGIC);
    published_id = id;
    published.set(block);
    owner_block_publish();
    return 0;
}

void owner_block_publish() {
    published_segment<shm_owner_block>::access access(published);
    shm_owner_block *block = access.block();
    if (block == nullptr) {
        return;
    }
    struct {
        uint32_t count;
        owner_count owners[OWNER_SLOTS + 1];
    } record{};
    record.count = static_cast<uint32_t>(held_by_owner(record.owners, OWNER_SLOTS + 1));
    static_assert(sizeof record ==
                  offsetof(shm_owner_block, end_sig) - offsetof(shm_owner_block, count));
    publish_section(&block->begin_sig, &block->end_sig, &record, sizeof record);
}

void owner_block_publish_rules(uint32_t allow_entries, uint32_t rules_restored) {
    published_segment<shm_owner_block>::access access(published);
    if (shm_owner_block *block = access.block(); block != nullptr) {
        owner_block_rules record{allow_entries, rules_restored};
        static_assert(sizeof record == offsetof(shm_owner_block, rules_end_sig) -
                                           offsetof(shm_owner_block, allow_entries));
        publish_section(&block->rules_begin_sig, &block->rules_end_sig, &record, sizeof record);
    }
}

namespace {

struct credit_record {
    uint32_t on;
    int32_t balance;
    uint32_t passed[2], answers[2], events_lost[2];
};
static_assert(sizeof(credit_record) ==
              offsetof(shm_owner_block, credit_end_sig) - offsetof(shm_owner_block, credit_on));

void split(uint64_t value, uint32_t (&out)[2]) {
    out[0] = static_cast<uint32_t>(value);
    out[1] = static_cast<uint32_t>(value >> 32);
}

uint64_t join(const uint32_t (&in)[2]) {
    return uint64_t{in[1]} << 32 | in[0];
}

}  // namespace

void owner_block_publish_credit(const owner_block_credit *credit) {
    published_segment<shm_owner_block>::access access(published);
    if (shm_owner_block *block = access.block(); block != nullptr) {
        credit_record record{credit->on ? 1u : 0u, credit->balance, {}, {}, {}};
        split(credit->passed, record.passed);
        split(credit->answers, record.answers);
        split(credit->events_lost, record.events_lost);
        publish_section(&block->credit_begin_sig, &block->credit_end_sig, &record, sizeof record);
    }
}

void owner_block_free() {
    bool had = false;
    shm_owner_block *block = published.take_away(&had);
    if (!had) {
        return;
    }
    // A publisher stopped in mid-write keeps the mapping, which goes when the process ends.
    if (block != nullptr) {
        shmdt(block);
    }
    shmctl(published_id, IPC_RMID, nullptr);
}

bool owner_block_start_matches(int32_t status_key, int32_t pid) {
    const shm_owner_block *block = attach_for_reading(status_key, pid);
    if (block == nullptr) {
        return true;
    }
    uint64_t recorded = uint64_t{block->start_ticks[1]} << 32 | block->start_ticks[0];
    shmdt(block);
    uint64_t now = process_start_ticks(pid);
    return recorded == 0 || now == 0 || recorded == now;
}

bool daemon_alive(int32_t status_key, int32_t pid) {
    return process_running(pid) && owner_block_start_matches(status_key, pid);
}

int owner_block_read(int32_t status_key, int32_t pid, owner_count *out, int *count) {
    const shm_owner_block *block = attach_for_reading(status_key, pid);
    if (block == nullptr) {
        return 1;
    }
    struct {
        uint32_t count;
        owner_count owners[OWNER_SLOTS + 1];
    } copy;
    static_assert(sizeof copy ==
                  offsetof(shm_owner_block, end_sig) - offsetof(shm_owner_block, count));
    bool read = read_section(&block->begin_sig, &block->end_sig, &copy, sizeof copy) &&
                copy.count <= OWNER_SLOTS + 1;
    if (read) {
        *count = static_cast<int>(copy.count);
        std::copy(copy.owners, copy.owners + copy.count, out);
    }
    shmdt(block);
    return read ? 0 : 1;
}

namespace {

// A section whose signatures stay 0 until its writer first publishes it, copied whole into
// *record: false without a block, before the first publication, or without a whole copy.
template <typename Record>
bool read_published(int32_t status_key, int32_t pid, uint32_t shm_owner_block::*begin,
                    uint32_t shm_owner_block::*end, Record *record) {
    const shm_owner_block *block = attach_for_reading(status_key, pid);
    if (block == nullptr) {
        return false;
    }
    bool read = signature(const_cast<uint32_t *>(&(block->*end))).load() != 0 &&
                read_section(&(block->*begin), &(block->*end), record, sizeof *record);
    shmdt(block);
    return read;
}

}  // namespace

int owner_block_read_rules(int32_t status_key, int32_t pid, owner_block_rules *rules) {
    static_assert(sizeof(owner_block_rules) + 8 == offsetof(shm_owner_block, credit_begin_sig) -
                                                       offsetof(shm_owner_block, rules_begin_sig));
    // Nothing to read until the daemon has loaded its rules.
    return read_published(status_key, pid, &shm_owner_block::rules_begin_sig,
                          &shm_owner_block::rules_end_sig, rules)
               ? 0
               : 1;
}

int owner_block_read_credit(int32_t status_key, int32_t pid, owner_block_credit *credit) {
    static_assert(sizeof(credit_record) + 8 ==
                  sizeof(shm_owner_block) - offsetof(shm_owner_block, credit_begin_sig));
    credit_record record{};
    if (!read_published(status_key, pid, &shm_owner_block::credit_begin_sig,
                        &shm_owner_block::credit_end_sig, &record) ||
        record.on != 1) {
        return 1;  // no segment, nothing published yet, or answer credit off
    }
    *credit = owner_block_credit{true, record.balance, join(record.passed), join(record.answers),
                                 join(record.events_lost)};
    return 0;
}
