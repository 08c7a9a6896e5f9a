// Narrow views into the library's private state, for tests and benchmarks only.
#pragma once

struct cre;
struct known_host;

// Points the configuration reader at another file.
void set_config_path_for_test(const char *path);
// Forgets the log lock so that a test starts without one.
void reset_log_lock_for_test();

// The pool's first element, the base of every element it hands out (null before init_cre_pool).
const cre *cre_pool_for_test();
// The delay queue's first and last elements.
cre *cr_queue_head_for_test();
cre *cr_queue_tail_for_test();
// Frees the pool and empties the free list, the queue and both counts.
void reset_cre_pool_for_test();

// The ring entry that will be overwritten next.
known_host *known_hosts_head_for_test();
// Frees the ring.
void reset_known_hosts_for_test();

struct shm_stat_block;
// Removes this process's block and forgets the pool, the ring and the configuration.
void reset_shm_for_test();
// The block that alloc_mem attached for writing.
shm_stat_block *own_shm_block_for_test();
