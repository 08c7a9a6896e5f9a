#include "known_hosts.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "event_log.h"
#include "guards.h"
#include "ulvolib_testing.h"

namespace {

known_host *pknown_hosts_block = nullptr;  // the ring's storage
known_host *pknown_hosts_head = nullptr;   // the entry to overwrite next: the oldest one
pthread_mutex_t known_host_mutex = PTHREAD_MUTEX_INITIALIZER;  // guards the head and every entry

void report_missing_ring(int line) {
    lib_report(TAG_ERROR, false, "   INTERNAL ERROR: pknown_hosts_head is null %s,%d\n",
               ULVOLIB_UNIT, line);
}

// -1 when there is no ring, else 1 or 0 for found or not. Called with known_host_mutex held.
int find_locked(const cre *element) {
    if (pknown_hosts_head == nullptr) {
        return -1;
    }
    const unsigned char *dest = cre_destination(element);
    const auto len = static_cast<size_t>(element->addr_len);
    const known_host *entry = pknown_hosts_head;
    do {
        if (entry->ip_version == element->ip_version && memcmp(entry->addr, dest, len) == 0) {
            return 1;
        }
        entry = entry->next;
    } while (entry != pknown_hosts_head);
    return 0;
}

}  // namespace

int create_known_host_ring(int count) {
    if (count <= 0) {
        return 1;
    }
    auto *ring = static_cast<known_host *>(calloc(static_cast<size_t>(count), sizeof(known_host)));
    if (ring == nullptr) {
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        ring[i].ip_version = 1;
        ring[i].next = &ring[(i + 1) % count];
    }
    mutex_guard locked(&known_host_mutex);
    pknown_hosts_block = ring;
    pknown_hosts_head = ring;
    return 0;
}

int a_known_host(const cre *element) {
    int found;
    {
        mutex_guard locked(&known_host_mutex);
        found = find_locked(element);
    }
    if (found < 0) {
        report_missing_ring(__LINE__);
        return 0;
    }
    return found;
}

// The lookup and the insert are one step, so that no other thread adds the same host between
// them.
int add_known_host(const cre *element) {
    int found;
    {
        mutex_guard locked(&known_host_mutex);
        found = find_locked(element);
        if (found == 0) {
            known_host *entry = pknown_hosts_head;
            entry->ip_version = element->ip_version;
            memcpy(entry->addr, cre_destination(element), static_cast<size_t>(element->addr_len));
            pknown_hosts_head = entry->next;
            return 1;
        }
    }
    if (found < 0) {
        report_missing_ring(__LINE__);
    }
    return 0;
}

void debug_dump_known_hosts() {
    mutex_guard locked(&known_host_mutex);  // the one nesting: the log lock inside it
    if (pknown_hosts_head == nullptr) {
        report_missing_ring(__LINE__);
        return;
    }
    log_lock_guard log;
    log_event(ulvolib_output(), TAG_DEBUG, "");
    int position = 0;
    const known_host *entry = pknown_hosts_head;
    do {
        lib_print("   known_host[%d] = %d.%d.%d.%d\n", position++, entry->addr[0], entry->addr[1],
                  entry->addr[2], entry->addr[3]);
        entry = entry->next;
    } while (entry != pknown_hosts_head);
}

known_host *known_hosts_head_for_test() {
    return pknown_hosts_head;
}
void reset_known_hosts_for_test() {
    mutex_guard locked(&known_host_mutex);
    free(pknown_hosts_block);
    pknown_hosts_block = pknown_hosts_head = nullptr;
}
