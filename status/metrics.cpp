#include "metrics.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "shm_reader.h"
#include "water_gauge.h"

namespace {

// The leading columns of a line of the queue table, as the kernel prints them: queue number,
// reader's netlink port id, packets waiting, copy mode, copy range, dropped, user-dropped (then
// the last packet id and a constant 1, which are not needed).
constexpr int NFQUEUE_FIELDS = 7;
constexpr int FIELD_QUEUE = 0;
constexpr int FIELD_WAITING = 2;
constexpr int FIELD_DROPPED = 5;
constexpr int FIELD_USER_DROPPED = 6;
// A line of the table is about 50 characters; a longer one is not a queue's line.
constexpr size_t NFQUEUE_LINE_MAX = 256;

// Reads the leading columns of one line: true when all are decimal numbers. Old kernels print
// the unsigned counters with %d, so a counter past 2^31 may come negative.
bool parse_nfqueue_line(const char *line, long long fields[NFQUEUE_FIELDS]) {
    const char *at = line;
    for (int i = 0; i < NFQUEUE_FIELDS; ++i) {
        char *end;
        errno = 0;
        fields[i] = strtoll(at, &end, 10);
        if (end == at || errno != 0 || (*end != ' ' && *end != '\t' && *end != '\0')) {
            return false;
        }
        at = end;
    }
    return true;
}

// One throttle thread's counter, by family.
struct family_counter {
    const char *name;
    const char *help;
    uint64_t tt_stat::*field;
};

constexpr family_counter FAMILY_COUNTERS[] = {
    {"kel_ulvo_packets_total", "Connection-establishing packets that kel-ulvod judged.",
     &tt_stat::processed_crs},
    {"kel_ulvo_packets_passed_total", "Packets passed without delay (destination known).",
     &tt_stat::never_throttled_crs},
    {"kel_ulvo_packets_queued_total", "Packets placed on the delay queue.",
     &tt_stat::throttled_crs},
    {"kel_ulvo_packets_dropped_total", "Packets dropped because the delay queue was full.",
     &tt_stat::dropped_crs},
};

struct config_gauge {
    const char *name;
    const char *help;
    int32_t ulvo_config::*field;
};

constexpr config_gauge CONFIG_GAUGES[] = {
    {"kel_ulvo_config_working_set_size", "Configured host_working_set_size.",
     &ulvo_config::host_working_set_size},
    {"kel_ulvo_config_delay_seconds", "Configured delay_queue_delay_seconds.",
     &ulvo_config::dq_delay_seconds},
    {"kel_ulvo_config_queue_size", "Configured delay_queue_size.", &ulvo_config::dq_size},
    {"kel_ulvo_config_high_watermark", "Configured delay_queue_high_watermark.",
     &ulvo_config::dq_high_watermark},
    {"kel_ulvo_config_low_watermark", "Configured delay_queue_low_watermark.",
     &ulvo_config::dq_low_watermark},
};

struct kernel_counter {
    const char *name;
    const char *type;
    const char *help;
    uint32_t kernel_queue_stat::*field;
};

constexpr kernel_counter KERNEL_COUNTERS[] = {
    {"kel_ulvo_kernel_queue_waiting", "gauge",
     "Packets the kernel holds in the queue, waiting for a verdict.", &kernel_queue_stat::waiting},
    {"kel_ulvo_kernel_queue_dropped_total", "counter",
     "Packets the kernel dropped because the queue was full.", &kernel_queue_stat::dropped},
    {"kel_ulvo_kernel_queue_user_dropped_total", "counter",
     "Packets the kernel dropped because it could not hand them to the reader.",
     &kernel_queue_stat::user_dropped},
};

void describe(FILE *out, const char *name, const char *type, const char *help) {
    fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void sample(FILE *out, const char *name, uint64_t value) {
    fprintf(out, "%s %" PRIu64 "\n", name, value);
}

}  // namespace

int parse_nfqueue_table(const char *table, uint16_t queue, kernel_queue_stat *stat) {
    *stat = kernel_queue_stat{};
    stat->queue = queue;
    const char *line = table;
    while (*line != '\0') {
        size_t length = strcspn(line, "\n");
        if (length < NFQUEUE_LINE_MAX) {
            char copy[NFQUEUE_LINE_MAX];
            memcpy(copy, line, length);
            copy[length] = '\0';
            long long fields[NFQUEUE_FIELDS];
            if (parse_nfqueue_line(copy, fields) && fields[FIELD_QUEUE] == queue) {
                stat->bound = true;
                stat->waiting = static_cast<uint32_t>(fields[FIELD_WAITING]);
                stat->dropped = static_cast<uint32_t>(fields[FIELD_DROPPED]);
                stat->user_dropped = static_cast<uint32_t>(fields[FIELD_USER_DROPPED]);
                return 0;
            }
        }
        line += length;
        if (*line == '\n') {
            ++line;
        }
    }
    return 1;
}

int write_metrics(FILE *out, const ulvo_metrics *m) {
    describe(out, "kel_ulvo_up", "gauge",
             "1 when the status block is readable and the daemon it records runs, else 0.");
    sample(out, "kel_ulvo_up", m->up ? 1 : 0);

    // The daemon's own figures: only a running daemon's are written.
    describe(out, "kel_ulvo_virus_activity", "gauge",
             "1 while virus-like activity is occurring, else 0.");
    if (m->up) {
        sample(out, "kel_ulvo_virus_activity", m->water_gauge == WG_VLA_OCCURRING ? 1 : 0);
    }
    describe(out, "kel_ulvo_virus_activity_detected_total", "counter",
             "Times virus-like activity was detected (the queue reached its high water mark).");
    if (m->up) {
        sample(out, "kel_ulvo_virus_activity_detected_total",
               m->ipv4.times_vla_detected + m->ipv6.times_vla_detected);
    }
    for (const family_counter &c : FAMILY_COUNTERS) {
        describe(out, c.name, "counter", c.help);
        if (m->up) {
            fprintf(out, "%s{family=\"ipv4\"} %" PRIu64 "\n", c.name, m->ipv4.*c.field);
            fprintf(out, "%s{family=\"ipv6\"} %" PRIu64 "\n", c.name, m->ipv6.*c.field);
        }
    }
    describe(out, "kel_ulvo_packets_released_total", "counter",
             "Held packets released from the delay queue.");
    describe(out, "kel_ulvo_queue_length", "gauge", "Packets on the delay queue now.");
    describe(out, "kel_ulvo_queue_length_max", "gauge",
             "Largest delay-queue length since the daemon started.");
    if (m->up) {
        tt_stat both{};
        both.throttled_crs = m->ipv4.throttled_crs + m->ipv6.throttled_crs;
        sample(out, "kel_ulvo_packets_released_total", m->dtt.dethrottled_crs);
        sample(out, "kel_ulvo_queue_length", currently_throttled_crs(&both, &m->dtt));
        sample(out, "kel_ulvo_queue_length_max", m->dtt.max_crs_ever_throttled);
    }

    describe(out, "kel_ulvo_held_connections", "gauge",
             "Connections on the delay queue by the uid owning them (\"unknown\": no local "
             "owner, or beyond the daemon's table of owners).");
    if (m->up) {
        for (int i = 0; i < m->owners; ++i) {
            const owner_count &o = m->held_by[i];
            if (o.uid == ULVO_NO_OWNER) {
                fprintf(out, "kel_ulvo_held_connections{uid=\"unknown\"} %" PRIu32 "\n", o.held);
            } else {
                fprintf(out, "kel_ulvo_held_connections{uid=\"%" PRIu32 "\"} %" PRIu32 "\n", o.uid,
                        o.held);
            }
        }
    }

    describe(out, "kel_ulvo_allow_entries", "gauge",
             "Entries of the allow-list in force: destinations and users never throttled.");
    describe(out, "kel_ulvo_rules_restored_total", "counter",
             "Times kel-ulvod found its packet-filter rules missing or changed and put them back.");
    if (m->up && m->rules_known) {
        sample(out, "kel_ulvo_allow_entries", m->allow_entries);
        sample(out, "kel_ulvo_rules_restored_total", m->rules_restored);
    }

    // Answer credit: only where it is on, so that a daemon without it shows what it always did.
    if (m->up && m->credit_known) {
        describe(out, "kel_ulvo_credit_balance", "gauge",
                 "The host's answer credit: new destinations that may still pass at once.");
        fprintf(out, "kel_ulvo_credit_balance %" PRId32 "\n", m->credit.balance);
        describe(out, "kel_ulvo_credit_passed_total", "counter",
                 "Connections to new destinations passed at once on answer credit.");
        sample(out, "kel_ulvo_credit_passed_total", m->credit.passed);
        describe(out, "kel_ulvo_credit_answers_total", "counter",
                 "Answers from new destinations that brought credit back.");
        sample(out, "kel_ulvo_credit_answers_total", m->credit.answers);
        describe(out, "kel_ulvo_conntrack_events_lost_total", "counter",
                 "Times connection-tracking events were lost: their answers brought no credit.");
        sample(out, "kel_ulvo_conntrack_events_lost_total", m->credit.events_lost);
    }

    for (const config_gauge &g : CONFIG_GAUGES) {
        describe(out, g.name, "gauge", g.help);
        fprintf(out, "%s %d\n", g.name, static_cast<int>(m->config.*g.field));
    }

    for (const kernel_counter &k : KERNEL_COUNTERS) {
        describe(out, k.name, k.type, k.help);
        for (const kernel_queue_stat &q : m->kernel) {
            if (q.bound) {
                fprintf(out, "%s{queue=\"%u\"} %" PRIu32 "\n", k.name,
                        static_cast<unsigned>(q.queue), q.*k.field);
            }
        }
    }
    fflush(out);
    return ferror(out) ? 1 : 0;
}
