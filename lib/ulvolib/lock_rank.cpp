#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "guards.h"

namespace {

constexpr const char *rank_names[] = {"rule_mutex",
                                      "cr_mutex",
                                      "water_gauge_mutex",
                                      "startup_mutex",
                                      "rules_exchange_mutex",
                                      "dropping_conn_mutex",
                                      "log lock",
                                      "system-log queue mutex",
                                      "system-log send mutex"};
static_assert(std::size(rank_names) == LOCK_RANK_COUNT);

#ifdef ULVO_LOCK_RANKS
// A bit for each rank the thread holds. A signal handler sees what the thread it interrupted
// holds: the shutdown's locks must rank after anything a thread holds with signals open.
thread_local unsigned held = 0;

void say(const char *text) {
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

// The process ends here and now: the daemon's own handler for SIGABRT would run the shutdown,
// which takes locks this thread may hold.
[[noreturn]] void out_of_order(lock_rank taking, unsigned holding) {
    unsigned highest = 0;
    for (unsigned r = 0; r < LOCK_RANK_COUNT; ++r) {
        if ((holding & (1u << r)) != 0) {
            highest = r;
        }
    }
    say("kel-ulvo: lock order broken: ");
    say(rank_names[taking]);
    say(" taken while ");
    say(rank_names[highest]);
    say(" is held\n");
    signal(SIGABRT, SIG_DFL);
    sigset_t abort_only;
    sigemptyset(&abort_only);
    sigaddset(&abort_only, SIGABRT);
    pthread_sigmask(SIG_UNBLOCK, &abort_only, nullptr);
    abort();
}
#endif

}  // namespace

const char *lock_rank_name(lock_rank rank) {
    return rank < LOCK_RANK_COUNT ? rank_names[rank] : "?";
}

#ifdef ULVO_LOCK_RANKS
void lock_rank_acquire(lock_rank rank) {
    unsigned same_or_later = held & ~((1u << rank) - 1);
    if (same_or_later != 0) {
        out_of_order(rank, same_or_later);
    }
    held |= 1u << rank;
}

void lock_rank_taken(lock_rank rank) {
    held |= 1u << rank;
}

void lock_rank_release(lock_rank rank) {
    held &= ~(1u << rank);
}

unsigned lock_ranks_held() {
    return held;
}
#endif
