// The model's parameters as "--name=value" options.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "model.h"

namespace {

enum option_kind { KIND_U64, KIND_U32, KIND_DOUBLE, KIND_TRANSPORT, KIND_MODE };

struct option_entry {
    const char *name;
    option_kind kind;
    size_t offset;
    const char *help;
};

const option_entry kOptions[] = {
    {"address-space", KIND_U64, offsetof(outbreak_params, address_space), "addresses scanned"},
    {"hosts", KIND_U64, offsetof(outbreak_params, hosts), "hosts in the space"},
    {"vulnerable", KIND_U64, offsetof(outbreak_params, vulnerable), "vulnerable hosts"},
    {"initial-infected", KIND_U64, offsetof(outbreak_params, initial_infected),
     "infected at t = 0"},
    {"initial-throttled", KIND_DOUBLE, offsetof(outbreak_params, initial_throttled_share),
     "share of those that run the throttle, 0 to 1 (default: the deployment's)"},
    {"scan-rate", KIND_DOUBLE, offsetof(outbreak_params, scan_rate),
     "new probes per second per infected host"},
    {"throttled", KIND_DOUBLE, offsetof(outbreak_params, throttled_fraction),
     "fraction of the hosts running the throttle, 0 to 1"},
    {"delay", KIND_U32, offsetof(outbreak_params, delay_seconds), "delay_queue_delay_seconds"},
    {"queue-size", KIND_U32, offsetof(outbreak_params, queue_size), "delay_queue_size"},
    {"working-set", KIND_U32, offsetof(outbreak_params, working_set_size), "host_working_set_size"},
    {"new-host-credit", KIND_U32, offsetof(outbreak_params, new_host_credit),
     "answer credit of throttled hosts (0: off); a probe that meets a host is answered"},
    {"credit-ceiling", KIND_U32, offsetof(outbreak_params, credit_ceiling),
     "the most credit a host can earn (0: twice new-host-credit)"},
    {"worm-timeout", KIND_DOUBLE, offsetof(outbreak_params, worm_timeout),
     "seconds the worm waits for a connection"},
    {"transport", KIND_TRANSPORT, offsetof(outbreak_params, transport),
     "tcp or udp (udp: no retransmission, no timeout)"},
    {"syn-retries", KIND_U32, offsetof(outbreak_params, syn_retries),
     "the kernel's SYN retransmissions (tcp_syn_retries)"},
    {"step", KIND_DOUBLE, offsetof(outbreak_params, time_step), "time step, seconds"},
    {"horizon", KIND_DOUBLE, offsetof(outbreak_params, horizon), "simulated seconds"},
    {"sample", KIND_DOUBLE, offsetof(outbreak_params, sample_interval),
     "seconds between two points of the curve"},
    {"seed", KIND_U64, offsetof(outbreak_params, seed), "random seed"},
    {"mode", KIND_MODE, offsetof(outbreak_params, mode), "auto, exact or aggregate"},
};

bool parse_u64(const char *text, uint64_t *value) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    *value = static_cast<uint64_t>(v);
    return true;
}

bool parse_double(const char *text, double *value) {
    errno = 0;
    char *end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || errno != 0 || *end != '\0' || !std::isfinite(v)) {
        return false;
    }
    *value = v;
    return true;
}

}  // namespace

int outbreak_set_option(outbreak_params *params, const char *argument, char *why, size_t len) {
    if (strncmp(argument, "--", 2) != 0) {
        return 0;
    }
    const char *name = argument + 2;
    const char *equals = strchr(name, '=');
    if (equals == nullptr) {
        return 0;
    }
    const auto name_len = static_cast<size_t>(equals - name);
    const char *value = equals + 1;
    for (const option_entry &o : kOptions) {
        if (strlen(o.name) != name_len || strncmp(o.name, name, name_len) != 0) {
            continue;
        }
        char *field = reinterpret_cast<char *>(params) + o.offset;
        bool ok = false;
        uint64_t u = 0;
        switch (o.kind) {
            case KIND_U64:
                ok = parse_u64(value, &u);
                if (ok) {
                    memcpy(field, &u, sizeof u);
                }
                break;
            case KIND_U32:
                ok = parse_u64(value, &u) && u <= UINT32_MAX;
                if (ok) {
                    const auto u32 = static_cast<uint32_t>(u);
                    memcpy(field, &u32, sizeof u32);
                }
                break;
            case KIND_DOUBLE: {
                double dv = 0.0;
                ok = parse_double(value, &dv);
                if (ok) {
                    memcpy(field, &dv, sizeof dv);
                }
                break;
            }
            case KIND_TRANSPORT:
            case KIND_MODE: {
                const char *const transports[] = {"tcp", "udp"};
                const char *const modes[] = {"auto", "exact", "aggregate"};
                const char *const *names = o.kind == KIND_TRANSPORT ? transports : modes;
                const int count = o.kind == KIND_TRANSPORT ? 2 : 3;
                for (int i = 0; i < count; ++i) {
                    if (strcmp(value, names[i]) == 0) {
                        memcpy(field, &i, sizeof i);
                        ok = true;
                    }
                }
                break;
            }
        }
        if (!ok) {
            snprintf(why, len, "bad value for --%s: '%s'", o.name, value);
            return -1;
        }
        return 1;
    }
    return 0;
}

void outbreak_option_help(char *text, size_t len) {
    const outbreak_params defaults;
    size_t used = 0;
    text[0] = '\0';
    for (const option_entry &o : kOptions) {
        const char *field = reinterpret_cast<const char *>(&defaults) + o.offset;
        char value[32];
        uint64_t u = 0;
        uint32_t u32 = 0;
        double dv = 0.0;
        int choice = 0;
        switch (o.kind) {
            case KIND_U64:
                memcpy(&u, field, sizeof u);
                snprintf(value, sizeof value, "%" PRIu64, u);
                break;
            case KIND_U32:
                memcpy(&u32, field, sizeof u32);
                snprintf(value, sizeof value, "%" PRIu32, u32);
                break;
            case KIND_DOUBLE:
                memcpy(&dv, field, sizeof dv);
                snprintf(value, sizeof value, "%g", dv);
                break;
            case KIND_TRANSPORT:
            case KIND_MODE:
                memcpy(&choice, field, sizeof choice);
                snprintf(value, sizeof value, "%s",
                         o.kind == KIND_TRANSPORT ? (choice == 0 ? "tcp" : "udp")
                                                  : (choice == 0 ? "auto" : "exact/aggregate"));
                break;
        }
        const int n = snprintf(text + used, len - used, "  --%s=%s  %s\n", o.name, value, o.help);
        if (n < 0 || static_cast<size_t>(n) >= len - used) {
            return;
        }
        used += static_cast<size_t>(n);
    }
}
