// Narrow views into the library's private state, for tests and benchmarks only.
#pragma once

struct cre;

// Points the configuration reader at another file.
void set_config_path_for_test(const char *path);
// Forgets the log lock so that a test starts without one.
void reset_log_lock_for_test();

// The pool's first element, the base of every element it hands out (null before init_cre_pool).
const cre *cre_pool_for_test();
// Frees the pool and empties the free list.
void reset_cre_pool_for_test();

// Makes the element's destination known to the daemon's rule, as a release would.
void make_known_for_test(const cre *element);
// Frees the daemon's rule.
void reset_daemon_rule_for_test();
// Takes (true) or releases (false) the rule's lock, as a thread stopped while holding it would.
void hold_rule_lock_for_test(bool hold);

struct shm_stat_block;
// Removes this process's block and forgets the pool, the ring and the configuration.
void reset_shm_for_test();
// The block that alloc_mem attached for writing.
shm_stat_block *own_shm_block_for_test();
