#include "blame.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "common.h"
#include "daemon_rule.h"

namespace {

// Room for the largest delay queue.
constexpr int SNAPSHOT_SLOTS = 1024;
// What one look-up of the program may cost, whatever the host's processes and descriptors: the
// scan of /proc ends at whichever limit comes first, and the message then names no program.
int64_t lookup_time_ms = 2000;  // set once; smaller in tests
long lookup_descriptors = 200000;
// The held connections whose sockets are looked for, newest first.
constexpr int LOOKUP_SOCKETS = 8;

struct owner_tally {
    uint32_t uid;
    int held;
};

// Held connections by owner in the snapshot, largest first; returns how many owners.
int tally_owners(const held_packet *snapshot, int count, owner_tally *out, int max) {
    int owners = 0;
    for (int i = 0; i < count; ++i) {
        int k = 0;
        while (k < owners && out[k].uid != snapshot[i].owner_uid) {
            ++k;
        }
        if (k == owners) {
            if (owners == max) {
                continue;  // beyond the table: counted nowhere, as they are not named anyway
            }
            out[owners++] = {snapshot[i].owner_uid, 0};
        }
        ++out[k].held;
    }
    std::sort(out, out + owners, [](const owner_tally &a, const owner_tally &b) {
        return a.held != b.held ? a.held > b.held : a.uid < b.uid;
    });
    return owners;
}

// Distinct destinations in the snapshot (reorders it).
int distinct_hosts(held_packet *snapshot, int count) {
    auto key_less = [](const held_packet &a, const held_packet &b) {
        if (a.ip_version != b.ip_version) {
            return a.ip_version < b.ip_version;
        }
        return memcmp(a.destination, b.destination, sizeof a.destination) < 0;
    };
    std::sort(snapshot, snapshot + count, key_less);
    int hosts = 0;
    for (int i = 0; i < count; ++i) {
        if (i == 0 || key_less(snapshot[i - 1], snapshot[i])) {
            ++hosts;
        }
    }
    return hosts;
}

// "uid 1000 (alice)", or "uid 1000" when it has no name or none is looked up.
void describe_owner(uint32_t uid, bool look_up, char *out, size_t size) {
    if (uid == ULVO_NO_OWNER) {
        snprintf(out, size, "no known owner");
        return;
    }
    passwd entry{};
    passwd *found = nullptr;
    char buffer[1024];
    if (look_up &&
        getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 &&
        found != nullptr) {
        snprintf(out, size, "uid %" PRIu32 " (%s)", uid, found->pw_name);
    } else {
        snprintf(out, size, "uid %" PRIu32, uid);
    }
}

// The socket inode behind a held packet, from the kernel's socket table of its kind, or 0.
unsigned long packet_socket_inode(const held_packet &packet) {
    const char *table = packet.protocol == 6
                            ? (packet.ip_version == 2 ? "/proc/net/tcp6" : "/proc/net/tcp")
                            : (packet.ip_version == 2 ? "/proc/net/udp6" : "/proc/net/udp");
    std::ifstream in(table);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return socket_inode_in_table(text.c_str(), packet.source_port, packet.owner_uid);
}

// The look-up's limits as it goes.
struct lookup_budget {
    int64_t deadline_ms;
    long descriptors;
    bool spent() const { return descriptors <= 0 || monotonic_ms() >= deadline_ms; }
};

// Which of the sockets wanted ("socket:[INODE]" texts) one of the process's descriptors is:
// its index, or -1.
int held_socket(long pid, const char (*wanted)[40], int count, lookup_budget *budget) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/fd", pid);
    DIR *fds = opendir(path);
    if (fds == nullptr) {
        return -1;
    }
    int found = -1;
    while (found < 0 && !budget->spent()) {
        dirent *fd = readdir(fds);
        if (fd == nullptr) {
            break;
        }
        --budget->descriptors;
        char target[64];
        ssize_t n = readlinkat(dirfd(fds), fd->d_name, target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        for (int i = 0; i < count && n > 0; ++i) {
            if (strcmp(target, wanted[i]) == 0) {
                found = i;
                break;
            }
        }
    }
    closedir(fds);
    return found;
}

// The process's name from /proc/PID/comm into comm (empty when it cannot be read).
void process_name(pid_t pid, char *comm, size_t size) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    FILE *file = fopen(path, "re");
    comm[0] = '\0';
    if (file != nullptr) {
        if (fgets(comm, static_cast<int>(size), file) != nullptr) {
            comm[strcspn(comm, "\n")] = '\0';
        }
        fclose(file);
    }
}

// One pass over the owner's processes for any of the sockets: the process that holds the
// first of them (the newest held connection's), with its name in comm; 0 if none is found
// within the budget.
pid_t socket_process(const unsigned long *inodes, int count, uint32_t uid, char *comm,
                     size_t size) {
    char wanted[LOOKUP_SOCKETS][40];
    for (int i = 0; i < count; ++i) {
        snprintf(wanted[i], sizeof wanted[i], "socket:[%lu]", inodes[i]);
    }
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    lookup_budget budget{monotonic_ms() + lookup_time_ms, lookup_descriptors};
    pid_t found = 0;
    int best = count;
    while (dirent *entry = readdir(proc)) {
        char *end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        struct stat owner {};
        char path[64];
        snprintf(path, sizeof path, "/proc/%ld", pid);
        if (budget.spent()) {
            break;
        }
        if (*end != '\0' || pid <= 0 || stat(path, &owner) != 0 || owner.st_uid != uid) {
            continue;
        }
        if (int i = held_socket(pid, wanted, best, &budget); i >= 0) {
            found = static_cast<pid_t>(pid);
            best = i;
            if (best == 0) {
                break;
            }
        }
    }
    closedir(proc);
    if (found != 0) {
        process_name(found, comm, size);
    }
    return found;
}

// The program behind the owner's newest held connections (a socket may be gone by now, so a
// few are looked for at once): its pid, and its name in comm; 0 if none is found.
pid_t blamed_program(const held_packet *snapshot, int count, uint32_t uid, char *comm,
                     size_t size) {
    unsigned long inodes[LOOKUP_SOCKETS];
    int sockets = 0;
    for (int i = count - 1; i >= 0 && sockets < LOOKUP_SOCKETS; --i) {
        const held_packet &packet = snapshot[i];
        if (packet.owner_uid != uid || packet.protocol == 0) {
            continue;
        }
        if (unsigned long inode = packet_socket_inode(packet); inode != 0) {
            inodes[sockets++] = inode;
        }
    }
    return sockets == 0 ? 0 : socket_process(inodes, sockets, uid, comm, size);
}

}  // namespace

unsigned long socket_inode_in_table(const char *table, uint16_t port, uint32_t uid) {
    const char *line = strchr(table, '\n');  // the first line names the columns
    while (line != nullptr && *++line != '\0') {
        unsigned local_port = 0;
        unsigned owner = 0;
        unsigned long inode = 0;
        // "sl: local:port remote:port st tx:rx tr:when retrnsmt uid timeout inode ..."
        if (sscanf(line,
                   " %*u: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%*x %*x %*x:%*x %*x:%*x %*x %u %*d %lu",
                   &local_port, &owner, &inode) == 3 &&
            local_port == port && owner == uid && inode != 0) {
            return inode;
        }
        line = strchr(line, '\n');
    }
    return 0;
}

void set_lookup_budget_for_test(int64_t ms, long descriptors) {
    lookup_time_ms = ms;
    lookup_descriptors = descriptors;
}

size_t escape_control(const char *in, char *out, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t n = 0;
    for (const char *c = in; *c != '\0'; ++c) {
        auto byte = static_cast<unsigned char>(*c);
        bool plain = byte >= 0x20 && byte != 0x7f && byte != '\\';
        size_t need = plain ? 1 : 4;
        if (n + need >= size) {
            break;
        }
        if (plain) {
            out[n++] = *c;
        } else {
            snprintf(out + n, size - n, "\\x%02x", byte);
            n += 4;
        }
    }
    out[n] = '\0';
    return n;
}

namespace {

// ", program NAME (pid N)" into program when the owner's program is found.
void name_program(const held_packet *snapshot, int count, uint32_t uid, char *program,
                  size_t size) {
    char comm[32];
    if (pid_t pid = blamed_program(snapshot, count, uid, comm, sizeof comm); pid != 0) {
        char name[4 * sizeof comm];
        escape_control(comm, name, sizeof name);
        snprintf(program, size, ", program %s (pid %d)", name, static_cast<int>(pid));
    }
}

}  // namespace

void compose_alarm_message(char *out, size_t size, bool look_up) {
    // The shutdown (look_up false) runs in a signal handler, perhaps after stopping a thread
    // that holds the rule's lock: it does not wait for the lock.
    held_packet snapshot[SNAPSHOT_SLOTS];
    int count = look_up ? snapshot_queue(snapshot, SNAPSHOT_SLOTS)
                        : try_snapshot_queue(snapshot, SNAPSHOT_SLOTS);
    if (count < 0) {
        snprintf(out, size,
                 "virus-like activity detected; the daemon stopped before it could "
                 "name the connections held");
        return;
    }
    owner_tally owners[OWNER_SLOTS + 1];
    int owner_count = tally_owners(snapshot, count, owners, static_cast<int>(std::size(owners)));
    char program[160] = "";
    if (look_up && owner_count > 0 && owners[0].uid != ULVO_NO_OWNER) {
        name_program(snapshot, count, owners[0].uid, program, sizeof program);
    }
    int hosts = distinct_hosts(snapshot, count);
    int n =
        snprintf(out, size, "virus-like activity detected: %d connections held for %d new hosts",
                 count, hosts);
    for (int i = 0; i < std::min(owner_count, 3) && n > 0 && static_cast<size_t>(n) < size; ++i) {
        char owner[96];
        describe_owner(owners[i].uid, look_up, owner, sizeof owner);
        n += snprintf(out + n, size - static_cast<size_t>(n), "%s%s: %d",
                      i == 0 ? "; most from " : ", ", owner, owners[i].held);
    }
    if (n > 0 && static_cast<size_t>(n) < size) {
        snprintf(out + n, size - static_cast<size_t>(n), "%s", program);
    }
}
