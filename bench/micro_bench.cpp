// Microbenchmarks of the per-packet path: figures, not pass/fail.
#include <benchmark/benchmark.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "cre_pool.h"
#include "daemon_rule.h"
#include "nfq_translate.h"
#include "shm_layout.h"
#include "shm_protocol.h"
#include "ulvolib_testing.h"

namespace {

void point_at(cre *element, int ip_version, uint32_t host) {
    element->ip_version = ip_version;
    element->addr_offset = ip_version == 2 ? 24 : 16;
    element->addr_len = ip_version == 2 ? 16 : 4;
    element->pkt = reinterpret_cast<ipq_packet_msg *>(element->msg_buf + sizeof(nlmsghdr));
    unsigned char *ip = element->msg_buf + sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET;
    memset(ip, 0, 40);
    uint32_t be = htonl(host);
    memcpy(ip + element->addr_offset, &be, sizeof be);
}

// Judging a packet to the last host of a full working set (the longest hit) and to an unknown
// one (a miss, held; the queue is emptied outside the timing).
void BM_JudgeKnownHost(benchmark::State &state) {
    int entries = static_cast<int>(state.range(0));
    bool hit = state.range(1) == 1;
    reset_cre_pool_for_test();
    reset_daemon_rule_for_test();
    init_cre_pool(1002);
    ulvo_config config{entries, 1, 1000, 1000, 4, 0};
    init_daemon_rule(&config);
    cre element{};
    for (int i = 0; i < entries; ++i) {
        point_at(&element, 1, 0x0a000001u + static_cast<uint32_t>(i));
        make_known_for_test(&element);
    }
    point_at(&element, 1, hit ? 0x0a000000u + static_cast<uint32_t>(entries) : 0x0b000001u);
    unsigned events = 0;
    int judged = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(judge_cre(&element, 0, &events));
        if (!hit && ++judged == 1000) {
            state.PauseTiming();
            reset_daemon_rule_for_test();
            init_daemon_rule(&config);
            judged = 0;
            state.ResumeTiming();
        }
    }
    state.SetLabel(hit ? "hit, last entry" : "miss");
}
BENCHMARK(BM_JudgeKnownHost)->Args({5, 1})->Args({5, 0})->Args({100, 1})->Args({100, 0});

// One release from a full queue of 1000 of which none (the worst case: the whole queue is
// walked) or every packet goes to the released destination.
void BM_ReleaseFromFullQueue(benchmark::State &state) {
    bool all_same = state.range(0) == 1;
    reset_cre_pool_for_test();
    reset_daemon_rule_for_test();
    init_cre_pool(1002);
    ulvo_config config{5, 1, 1000, 1000, 4, 0};
    unsigned events = 0;
    const released_cre *released = nullptr;
    for (auto _ : state) {
        state.PauseTiming();
        reset_daemon_rule_for_test();
        init_daemon_rule(&config);
        for (int i = 0; i < 1000; ++i) {
            cre *element = alloc_cre(1);
            point_at(element, 1, all_same ? 0x0a000000u : 0x0a000000u + static_cast<uint32_t>(i));
            judge_cre(element, 0, &events);
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(release_cres(0, &events, &released));
        state.PauseTiming();
        while (release_cres(0, &events, &released) > 0) {
        }
        state.ResumeTiming();
    }
    state.SetLabel(all_same ? "all 1000 released" : "one released, 999 walked");
}
BENCHMARK(BM_ReleaseFromFullQueue)->Arg(0)->Arg(1);

// Publishing a throttle thread's counters with the signature protocol.
void BM_PublishTtStat(benchmark::State &state) {
    alignas(8) static shm_stat_block block{};
    block.ipv4_tt_begin_sig = block.ipv4_tt_end_sig = 1;
    tt_stat counters{1, 2, 3, 4, 5};
    for (auto _ : state) {
        ++counters.processed_crs;
        publish_section(&block.ipv4_tt_begin_sig, &block.ipv4_tt_end_sig, &counters,
                        sizeof counters);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PublishTtStat);

// Translating one nfnetlink_queue packet message into the packet-queue layout.
void BM_TranslatePacketMessage(benchmark::State &state) {
    alignas(nlmsghdr) char in[1024] = {};
    nlmsghdr *nlh = mnl_nlmsg_put_header(in);
    nlh->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET;
    auto *nfg = static_cast<nfgenmsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(nfgenmsg)));
    nfg->res_id = htons(4401);
    nfqnl_msg_packet_hdr header{htonl(77), htons(0x0800), 3};
    mnl_attr_put(nlh, NFQA_PACKET_HDR, sizeof header, &header);
    mnl_attr_put_u32(nlh, NFQA_MARK, 0);
    unsigned char syn[60] = {0x45};
    mnl_attr_put(nlh, NFQA_PAYLOAD, sizeof syn, syn);
    alignas(unsigned long) unsigned char out[ULVO_MSG_BUF_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(nfq_translate(reinterpret_cast<unsigned char *>(in),
                                               nlh->nlmsg_len, true, out, sizeof out));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TranslatePacketMessage);

}  // namespace

BENCHMARK_MAIN();
