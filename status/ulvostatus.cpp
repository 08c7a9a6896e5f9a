#include "ulvostatus.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "event_log.h"
#include "metrics.h"
#include "nfqueue_numbers.h"
#include "owner_block.h"
#include "shm_dump.h"
#include "shm_reader.h"
#include "ulvolib.h"
#include "version.h"
#include "water_gauge.h"

namespace {

// The status block's key, from the configuration that the library read at its start.
int32_t status_key() {
    return ulvolib_config()->shared_memory_key;
}

// Everything the library writes goes to standard error; the answers go to standard output.
bool init_library() {
    set_ulvolib_output(stderr);
    return init_ulvolib() == 0;
}

// The block's daemon is alive: true, or false with the reason on standard error (a block
// that a killed or stopped daemon left is not a running daemon's, whatever it says).
bool daemon_running() {
    int32_t pid = 0;
    if (get_shm_owner_pid(status_key(), &pid) != 0) {
        return false;
    }
    if (!daemon_alive(status_key(), pid)) {
        fprintf(stderr, "kel-ulvod (pid %d) is not running\n", static_cast<int>(pid));
        return false;
    }
    return true;
}

// The running daemon's block into the metrics: true when every section was read and the daemon
// runs. No block at all is the daemon being stopped, which kel_ulvo_up says without a report.
bool read_block_metrics(ulvo_metrics *m) {
    if (!shm_block_exists(status_key())) {
        return false;
    }
    ulvo_config config;
    if (get_dtt_stat(status_key(), &m->dtt) != 0 || get_ipv4_tt_stat(status_key(), &m->ipv4) != 0 ||
        get_ipv6_tt_stat(status_key(), &m->ipv6) != 0 ||
        get_ulvo_config_from_shm(status_key(), &config) != 0 ||
        read_water_gauge(status_key(), &m->water_gauge) != 0 || !daemon_running()) {
        return false;
    }
    m->config = config;
    int32_t pid = 0;
    if (get_shm_owner_pid(status_key(), &pid) != 0 ||
        owner_block_read(config.shared_memory_key, pid, m->held_by, &m->owners) != 0) {
        m->owners = 0;  // a daemon that could not publish them: no samples
    }
    owner_block_rules rules{};
    m->rules_known = owner_block_read_rules(config.shared_memory_key, pid, &rules) == 0;
    m->allow_entries = rules.allow_entries;
    m->rules_restored = rules.rules_restored;
    m->credit_known = owner_block_read_credit(config.shared_memory_key, pid, &m->credit) == 0;
    return true;
}

// The kernel's counters of the daemon's two queues; a queue missing from the table, or a table
// that cannot be read, leaves the queue unbound.
void read_kernel_queues(ulvo_metrics *m) {
    std::string table;
    if (FILE *file = fopen(NFQUEUE_TABLE_PATH, "r"); file != nullptr) {
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
            table.append(chunk, n);
        }
        fclose(file);
    }
    parse_nfqueue_table(table.c_str(), ULVO_NFQUEUE_IPV4, &m->kernel[0]);
    parse_nfqueue_table(table.c_str(), ULVO_NFQUEUE_IPV6, &m->kernel[1]);
}

}  // namespace

int print_metrics() {
    ulvo_metrics m{};
    m.config = *ulvolib_config();
    m.up = read_block_metrics(&m);
    read_kernel_queues(&m);
    return write_metrics(stdout, &m) == 0 ? 0 : ULVOSTATUS_WRITE_FAILED;
}

int print_stats() {
    dtt_stat dtt;
    tt_stat tt;
    ulvo_config config;
    if (get_dtt_stat(status_key(), &dtt) != 0 || get_tt_stat(status_key(), &tt) != 0 ||
        get_ulvo_config_from_shm(status_key(), &config) != 0) {
        return ULVOSTATUS_FAILED;
    }
    printf("\n");
    if (virus_activity_occurring(status_key()) == 1) {
        printf("virus-like activity is currently occurring\n");
    } else if (tt.times_vla_detected != 0) {
        printf("virus-like activity has occurred in the past\n");
    } else {
        printf("virus-like activity has not occurred\n");
    }
    printf("\n");
    printf("connection establishing packets: %" PRIu64 "\n", tt.processed_crs);
    printf("packets passed without delay:    %" PRIu64 "\n", tt.never_throttled_crs);
    printf("packets placed on queue:         %" PRIu64 "\n", tt.throttled_crs);
    printf("currently queued packets:        %" PRIu64 "\n", currently_throttled_crs(&tt, &dtt));
    printf("maximum packets on queue:        %" PRIu64 "\n", dtt.max_crs_ever_throttled);
    printf("times virus-like activity detected:    %" PRIu64 "\n", tt.times_vla_detected);
    printf("packets dropped due to queue overflow: %" PRIu64 "\n", tt.dropped_crs);
    printf("\n");
    printf("delay queue size:    %d\n", config.dq_size);
    printf("delay queue seconds: %d\n", config.dq_delay_seconds);
    printf("known host working set size: %d\n", config.host_working_set_size);
    printf("delay queue high water mark: %d\n", config.dq_high_watermark);
    printf("delay queue low water mark:  %d\n", config.dq_low_watermark);
    fflush(stdout);
    return daemon_running() ? 0 : ULVOSTATUS_FAILED;
}

int do_proprietary_iface_opts(int count, char **options) {
    if (count == 0) {
        return ULVOSTATUS_USAGE;
    }
    for (int i = 0; i < count; ++i) {
        const char *option = options[i];
        bool vla = strcmp(option, "-vla_occurring") == 0;
        bool dump_struct = strcmp(option, "-dump_shm_struct") == 0;
        bool dump_raw = strcmp(option, "-dump_shm") == 0;
        if (!vla && !dump_struct && !dump_raw) {
            return ULVOSTATUS_USAGE;
        }
        if (!init_library()) {
            return ULVOSTATUS_FAILED;
        }
        if (vla) {
            int32_t level = 0;
            if (read_water_gauge(status_key(), &level) != 0) {
                return ULVOSTATUS_FAILED;  // no answer is not "NO"
            }
            bool occurring = level == WG_VLA_OCCURRING;
            printf(occurring ? "YES\n" : "NO\n");
            fflush(stdout);
            if (!daemon_running()) {
                return ULVOSTATUS_FAILED;
            }
            return occurring ? 1 : 0;
        }
        if (dump_struct) {
            debug_dump_shm_struct_unlocked(status_key());
        } else {
            debug_dump_shm_unlocked(status_key());
        }
    }
    return 0;
}

int ulvostatus_main(int argc, char **argv) {
    event_logging_off();
    if (argc < 2) {
        return ULVOSTATUS_USAGE;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        printf(
            "Usage: ulvostatus -status\n"
            "       ulvostatus -metrics\n"
            "       ulvostatus -ProprietaryInterface -vla_occurring\n"
            "       ulvostatus -ProprietaryInterface [-dump_shm_struct] [-dump_shm]\n"
            "       ulvostatus --help | --version\n"
            "Prints the status of the running kel-ulvod, or answers through its exit status:\n"
            "-vla_occurring prints YES and ends with 1 while virus-like activity occurs,\n"
            "NO and 0 otherwise. 100: command line not understood; 101: invalid\n"
            "configuration, or kel-ulvod is not running. -metrics writes the status in\n"
            "Prometheus text format, kel_ulvo_up 0 when no daemon runs (0, or 101 for an\n"
            "invalid configuration, 102 when the output could not be written).\n"
            "See ulvostatus(8).\n");
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("ulvostatus %s\n", ULVO_VERSION);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "-metrics") == 0) {
        return init_library() ? print_metrics() : ULVOSTATUS_FAILED;
    }
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-ProprietaryInterface") == 0) {
            return do_proprietary_iface_opts(argc - i - 1, argv + i + 1);
        }
        if (strcmp(argv[i], "-status") != 0) {
            return ULVOSTATUS_USAGE;
        }
    }
    if (!init_library()) {
        return ULVOSTATUS_FAILED;
    }
    return print_stats();
}
