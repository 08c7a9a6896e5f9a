#include "cre_pool.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "event_log.h"
#include "ulvolib_testing.h"

namespace {

cre *pcr_pool = nullptr;       // the pool's block, kept for its release
cre *pcr_free_list = nullptr;  // last freed, first reused
cre *pcr_head = nullptr;       // oldest queued element
cre *pcr_tail = nullptr;       // newest queued element
uint32_t queued_cres = 0;
uint32_t max_queued_cres = 0;                          // never decreases
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
    --queued_cres;
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
        --queued_cres;
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
}
