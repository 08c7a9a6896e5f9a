#include "shm_dump.h"

#include <cinttypes>

#include "event_log.h"
#include "guards.h"
#include "shm_layout.h"
#include "shm_reader.h"

namespace {

void print_tt(const char *name, const uint32_t &begin, const tt_stat &stat, const uint32_t &end) {
    lib_print("\t%s_tt_begin_sig=%#x\n", name, begin);
    lib_print("\tprocessed_crs=%" PRIu64 "\n", stat.processed_crs);
    lib_print("\tthrottled_crs=%" PRIu64 "\n", stat.throttled_crs);
    lib_print("\tnever_throttled_crs=%" PRIu64 "\n", stat.never_throttled_crs);
    lib_print("\ttimes_vla_detected=%" PRIu64 "\n", stat.times_vla_detected);
    lib_print("\tdropped_crs=%" PRIu64 "\n", stat.dropped_crs);
    lib_print("\t%s_tt_end_sig=%#x\n", name, end);
}

void print_dtt_and_gauge(const shm_stat_block &b) {
    lib_print("De-throttle thread-------------\n");
    lib_print("\tdtt_begin_sig=%#x\n", b.dtt_begin_sig);
    lib_print("\tmax_crs_ever_throttled=%" PRIu64 "\n", b.dtt_stat.max_crs_ever_throttled);
    lib_print("\tdethrottled_crs=%" PRIu64 "\n", b.dtt_stat.dethrottled_crs);
    lib_print("\tdtt_end_sig=%#x\n", b.dtt_end_sig);
    lib_print("Water guage--------------------\n");
    lib_print("\twg_begin_sig=%#x\n", b.wg_begin_sig);
    lib_print("\twater_gauge=%d\n", b.water_gauge);
    lib_print("\twg_end_sig=%#x\n", b.wg_end_sig);
}

void print_config(const ulvo_config &config) {
    lib_print("Configuration------------------\n");
    lib_print("\thost_working_set_size=%" PRIu32 "\n",
              static_cast<uint32_t>(config.host_working_set_size));
    lib_print("\tdq_delay_seconds=%" PRIu32 "\n", static_cast<uint32_t>(config.dq_delay_seconds));
    lib_print("\tdq_size=%" PRIu32 "\n", static_cast<uint32_t>(config.dq_size));
    lib_print("\tdq_high_watermark=%" PRIu32 "\n", static_cast<uint32_t>(config.dq_high_watermark));
    lib_print("\tdq_low_watermark=%" PRIu32 "\n", static_cast<uint32_t>(config.dq_low_watermark));
    lib_print("\tshared_memory_key=%#x\n", static_cast<uint32_t>(config.shared_memory_key));
}

}  // namespace

int debug_dump_shm_struct_unlocked(int32_t key) {
    shm_stat_block *block;
    if (shm_block_attach(key, &block) != 0) {
        return 1;
    }
    const shm_stat_block &b = *block;
    log_lock_guard log;
    log_event(ulvolib_output(), TAG_DEBUG, "");
    lib_print("Dumping shared memory structure\n");
    lib_print("===============================\n");
    lib_print("mem_block_sanity_string=\"%.*s\"\n",
              static_cast<int>(sizeof b.mem_block_sanity_string), b.mem_block_sanity_string);
    lib_print("ulvo pid=%d\n", b.pid);
    lib_print("IPv4 Throttle thread----------------\n");
    print_tt("ipv4", b.ipv4_tt_begin_sig, b.ipv4_tt_stat, b.ipv4_tt_end_sig);
    lib_print("IPv6 Throttle thread----------------\n");
    print_tt("ipv6", b.ipv6_tt_begin_sig, b.ipv6_tt_stat, b.ipv6_tt_end_sig);
    print_dtt_and_gauge(b);
    print_config(b.config);
    lib_print("Done dumping shared memory structure\n");
    shm_block_detach(block);
    return 0;
}

int debug_dump_shm_unlocked(int32_t key) {
    shm_stat_block *block;
    if (shm_block_attach(key, &block) != 0) {
        return 1;
    }
    log_lock_guard log;
    log_event(ulvolib_output(), TAG_DEBUG, "");
    lib_print("   Dumping shared memory\n");
    dump_hex(block, SHM_BLOCK_SIZE);
    lib_print("   Done dumping shared memory\n");
    shm_block_detach(block);
    return 0;
}
