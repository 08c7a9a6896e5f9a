// One daemon per host (per network namespace), detached from whoever started it.
#pragma once

// Takes the instance lock: a second daemon is refused (ends with 1) before any helper verb.
// Returns the lock's descriptor, which stays open until the process ends.
int take_instance_lock();
// Forks; the parent exits 0 and the child goes on in a session of its own with its standard
// descriptors on /dev/null.
void daemonize();
// The daemon's pid in its lock file, once it is the daemon.
void record_instance_pid(int fd);
// Ends the start when a block under the configured key belongs to a live daemon or to another
// application, before the helper script touches the running one's rules.
void refuse_block_in_the_way();
