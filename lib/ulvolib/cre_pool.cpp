#include "cre_pool.h"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "event_log.h"
#include "guards.h"
#include "ulvolib_testing.h"

namespace {

cre *pcr_pool = nullptr;       // the pool's block, kept for its release
cre *pcr_free_list = nullptr;  // last freed, first reused
ranked_mutex cr_mutex = RANKED_MUTEX_INITIALIZER(LOCK_POOL);  // the free list and its links

void lock_cr_mutex() {
    ranked_lock(&cr_mutex);
}
void unlock_cr_mutex() {
    ranked_unlock(&cr_mutex);
}

// Holds cr_mutex for its scope.
struct cr_lock {
    cr_lock() { lock_cr_mutex(); }
    ~cr_lock() { unlock_cr_mutex(); }
    cr_lock(const cr_lock &) = delete;
    cr_lock &operator=(const cr_lock &) = delete;
};

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

const cre *cre_pool_for_test() {
    return pcr_pool;
}
void reset_cre_pool_for_test() {
    cr_lock lock;
    free(pcr_pool);
    pcr_pool = pcr_free_list = nullptr;
}
