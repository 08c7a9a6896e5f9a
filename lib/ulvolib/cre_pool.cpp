#include "cre_pool.h"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "event_log.h"
#include "ulvolib_testing.h"

namespace {

cre *pcr_pool = nullptr;       // the pool's block, kept for its release
cre *pcr_free_list = nullptr;  // last freed, first reused
cre *pcr_head = nullptr;       // oldest queued element
cre *pcr_tail = nullptr;       // newest queued element
uint32_t queued_cres = 0;
uint32_t max_queued_cres = 0;  // never decreases
uint64_t queued_total = 0;
uint64_t dequeued_total = 0;
// Held connections by owner: slots with held 0 are free; the last slot counts the rest.
owner_count owners[OWNER_SLOTS + 1] = {};
pthread_mutex_t cr_mutex = PTHREAD_MUTEX_INITIALIZER;  // guards all of the above and the links

void lock_cr_mutex() {
    pthread_mutex_lock(&cr_mutex);
}
void unlock_cr_mutex() {
    pthread_mutex_unlock(&cr_mutex);
}

// Holds cr_mutex for its scope.
struct cr_lock {
    cr_lock() { lock_cr_mutex(); }
    ~cr_lock() { unlock_cr_mutex(); }
    cr_lock(const cr_lock &) = delete;
    cr_lock &operator=(const cr_lock &) = delete;
};

bool same_destination(const cre *a, const cre *b) {
    return a->ip_version == b->ip_version && a->addr_len == b->addr_len &&
           memcmp(cre_destination(a), cre_destination(b), static_cast<size_t>(a->addr_len)) == 0;
}

// The owner's slot: its own while it has one with held connections, else a free one, else the
// shared last slot. The sum over all slots is always the queue's length.
owner_count &owner_slot(uint32_t uid, bool adding) {
    owner_count *free_slot = nullptr;
    for (int i = 0; i < OWNER_SLOTS; ++i) {
        if (owners[i].held > 0 && owners[i].uid == uid) {
            return owners[i];
        }
        if (owners[i].held == 0 && free_slot == nullptr) {
            free_slot = &owners[i];
        }
    }
    if (adding && free_slot != nullptr && uid != ULVO_NO_OWNER) {
        free_slot->uid = uid;
        return *free_slot;
    }
    owners[OWNER_SLOTS].uid = ULVO_NO_OWNER;
    return owners[OWNER_SLOTS];
}

// Bookkeeping for an element leaving the queue.
void note_dequeued(const cre *element) {
    --queued_cres;
    ++dequeued_total;
    owner_count &slot = owner_slot(element->owner_uid, false);
    if (slot.held > 0) {
        --slot.held;
    }
}

// The protocol and source port of a held packet, read from its copied header.
void source_of(const cre *element, held_packet *out) {
    const unsigned char *ip =
        reinterpret_cast<const unsigned char *>(element->pkt) + IPQ_PAYLOAD_OFFSET;
    size_t length = element->pkt->data_len;
    size_t header = 0;
    uint8_t protocol = 0;
    if (element->ip_version == 1 && length >= 20) {
        header = static_cast<size_t>(ip[0] & 0x0f) * 4;
        protocol = ip[9];
    } else if (element->ip_version == 2 && length >= 40) {
        header = 40;
        protocol = ip[6];
    }
    out->protocol = 0;
    out->source_port = 0;
    if ((protocol == 6 || protocol == 17) && header >= 20 && length >= header + 2) {
        out->protocol = protocol;
        out->source_port = static_cast<uint16_t>(ip[header] << 8 | ip[header + 1]);
    }
}

}  // namespace

cre *create_cre_pool(int count) {
    size_t bytes = static_cast<size_t>(count > 0 ? count : 0) * sizeof(cre);
    auto *pool = static_cast<cre *>(count > 0 ? malloc(bytes) : nullptr);
    if (pool == nullptr) {
        lib_report(TAG_ERROR, false, "   could not allocate %d bytes of memory, %d, %s,%d\n",
                   static_cast<int>(bytes), count, ULVOLIB_UNIT, __LINE__);
        return nullptr;
    }
    for (int i = 0; i < count - 1; ++i) {
        pool[i].next = &pool[i + 1];
    }
    pool[count - 1].next = nullptr;
    return pool;
}

int init_cre_pool(int count) {
    cre *pool = create_cre_pool(count);
    if (pool == nullptr) {
        return 1;
    }
    cr_lock lock;
    pcr_pool = pool;
    pcr_free_list = pool;
    return 0;
}

cre *alloc_cre(int ip_version) {
    cre *element;
    {
        cr_lock lock;
        element = pcr_free_list;
        if (element == nullptr) {
            return nullptr;
        }
        pcr_free_list = element->next;
        element->next = nullptr;
    }
    element->ip_version = ip_version;
    element->owner_uid = ULVO_NO_OWNER;
    if (ip_version == 2) {
        element->addr_offset = 24;
        element->addr_len = 16;
    } else {
        element->addr_offset = 16;
        element->addr_len = 4;
        if (ip_version != 1) {
            lib_report(TAG_ERROR, false, "   INTERNAL ERROR: unknown ip version %d %s,%d\n",
                       ip_version, ULVOLIB_UNIT, __LINE__);
        }
    }
    return element;
}

void free_cre(cre *element) {
    cr_lock lock;
    element->next = pcr_free_list;
    pcr_free_list = element;
}

void queue_cre(cre *element) {
    cr_lock lock;
    ++queued_cres;
    ++queued_total;
    ++owner_slot(element->owner_uid, true).held;
    if (max_queued_cres < queued_cres) {
        max_queued_cres = queued_cres;
    }
    element->next = nullptr;
    if (pcr_tail == nullptr) {
        pcr_head = element;
    } else {
        pcr_tail->next = element;
    }
    pcr_tail = element;
}

cre *dequeue_cre() {
    cr_lock lock;
    cre *element = pcr_head;
    if (element == nullptr) {
        return nullptr;
    }
    note_dequeued(element);
    pcr_head = element->next;
    element->next = nullptr;
    if (pcr_head == nullptr) {
        pcr_tail = nullptr;
    }
    return element;
}

cre *dequeue_throttled_cres(const cre *released) {
    cr_lock lock;
    cre *chain_head = nullptr;
    cre *chain_tail = nullptr;
    cre *previous = nullptr;
    cre *current = pcr_head;
    while (current != nullptr) {
        cre *successor = current->next;
        if (!same_destination(current, released)) {
            previous = current;
            current = successor;
            continue;
        }
        note_dequeued(current);
        if (previous == nullptr) {
            pcr_head = successor;
        } else {
            previous->next = successor;
        }
        if (current == pcr_tail) {
            pcr_tail = previous;
        }
        current->next = nullptr;
        if (chain_tail == nullptr) {
            chain_head = current;
        } else {
            chain_tail->next = current;
        }
        chain_tail = current;
        current = successor;
    }
    return chain_head;
}

int queued_cr_count() {
    cr_lock lock;
    return static_cast<int>(queued_cres);
}

int max_queued_cr_count() {
    cr_lock lock;
    return static_cast<int>(max_queued_cres);
}

void cr_queue_totals(uint64_t *queued, uint64_t *dequeued) {
    cr_lock lock;
    *queued = queued_total;
    *dequeued = dequeued_total;
}

int held_by_owner(owner_count *out, int max) {
    int n = 0;
    {
        cr_lock lock;
        for (const owner_count &slot : owners) {
            if (slot.held > 0 && n < max) {
                out[n++] = slot;
            }
        }
    }
    std::sort(out, out + n, [](const owner_count &a, const owner_count &b) {
        return a.held != b.held ? a.held > b.held : a.uid < b.uid;
    });
    return n;
}

int snapshot_queue(held_packet *out, int max) {
    cr_lock lock;
    int n = 0;
    for (const cre *element = pcr_head; element != nullptr && n < max; element = element->next) {
        held_packet &packet = out[n++];
        packet.owner_uid = element->owner_uid;
        packet.ip_version = element->ip_version;
        memset(packet.destination, 0, sizeof packet.destination);
        memcpy(packet.destination, cre_destination(element),
               static_cast<size_t>(element->addr_len));
        source_of(element, &packet);
    }
    return n;
}

const cre *cre_pool_for_test() {
    return pcr_pool;
}
cre *cr_queue_head_for_test() {
    return pcr_head;
}
cre *cr_queue_tail_for_test() {
    return pcr_tail;
}
void reset_cre_pool_for_test() {
    cr_lock lock;
    free(pcr_pool);
    pcr_pool = pcr_free_list = pcr_head = pcr_tail = nullptr;
    queued_cres = max_queued_cres = 0;
    queued_total = dequeued_total = 0;
    std::fill(std::begin(owners), std::end(owners), owner_count{});
}
