#include "ulvolib.h"

#include <cerrno>
#include <cstdio>

#include "cre_pool.h"
#include "daemon_rule.h"
#include "event_log.h"
#include "shm_internal.h"
#include "shm_writer.h"
#include "ulvolib_testing.h"

namespace {

ulvo_config lib_config;                     // the library's own configuration
const ulvo_config *pulvo_config = nullptr;  // set once init_ulvolib has succeeded

}  // namespace

int init_ulvolib() {
    errno = 0;
    if (ulvolib_output() == nullptr) {
        set_ulvolib_output(stdout);
    }
    if (read_config(&lib_config) != 0) {
        return 1;
    }
    pulvo_config = &lib_config;
    return 0;
}

const ulvo_config *ulvolib_config() {
    return pulvo_config;
}

int alloc_mem(const ulvo_config *config) {
    if (shm_block_made()) {
        lib_report(TAG_ERROR, true, "   INTERNAL ERROR: %s should only be called once %s,%d\n",
                   "alloc_mem", ULVOLIB_UNIT, __LINE__);
        return 1;
    }
    if (init_cre_pool(config->dq_size + 2) != 0) {
        lib_report(TAG_ERROR, true, "   could not allocate memory, %s,%d\n", ULVOLIB_UNIT,
                   __LINE__);
        return 1;
    }
    if (init_daemon_rule(config) != 0) {
        lib_report(TAG_ERROR, true, "   could not allocate memory, %s,%d\n", ULVOLIB_UNIT,
                   __LINE__);
        return 1;
    }
    return make_shm_block(config);
}

void reset_shm_for_test() {
    shm_block_free();
    pulvo_config = nullptr;
    reset_cre_pool_for_test();
    reset_daemon_rule_for_test();
}
