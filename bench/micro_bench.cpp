// Microbenchmarks of the per-packet path: figures, not pass/fail.
#include <benchmark/benchmark.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "cre_pool.h"
#include "known_hosts.h"
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

// A packet to the last host of a full ring (the longest hit) and to an unknown one (a miss).
void BM_KnownHostLookup(benchmark::State &state) {
    int entries = static_cast<int>(state.range(0));
    bool hit = state.range(1) == 1;
    reset_known_hosts_for_test();
    create_known_host_ring(entries);
    cre element{};
    for (int i = 0; i < entries; ++i) {
        point_at(&element, 1, 0x0a000001u + static_cast<uint32_t>(i));
        add_known_host(&element);
    }
    point_at(&element, 1, hit ? 0x0a000000u + static_cast<uint32_t>(entries) : 0x0b000001u);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a_known_host(&element));
    }
    state.SetLabel(hit ? "hit, last entry" : "miss");
}
BENCHMARK(BM_KnownHostLookup)->Args({5, 1})->Args({5, 0})->Args({100, 1})->Args({100, 0});

// What a throttle thread and the de-throttle thread do for one held packet.
void BM_AllocQueueDequeueFree(benchmark::State &state) {
    reset_cre_pool_for_test();
    init_cre_pool(202);
    for (auto _ : state) {
        cre *element = alloc_cre(1);
        queue_cre(element);
        benchmark::DoNotOptimize(queued_cr_count());
        cre *head = dequeue_cre();
        free_cre(head);
    }
}
BENCHMARK(BM_AllocQueueDequeueFree);

// The walk for the released destination's other packets on a full queue of 1000, where none
// (the worst case: the whole queue) or the last one matches.
void BM_DequeueThrottledFullQueue(benchmark::State &state) {
    reset_cre_pool_for_test();
    init_cre_pool(1002);
    std::vector<cre *> queued;
    for (int i = 0; i < 1000; ++i) {
        cre *element = alloc_cre(1);
        point_at(element, 1, 0x0a000000u + static_cast<uint32_t>(i));
        queue_cre(element);
    }
    cre released{};
    point_at(&released, 1, state.range(0) == 1 ? 0x0a000000u + 999 : 0x0b000000u);
    for (auto _ : state) {
        cre *chain = dequeue_throttled_cres(&released);
        if (chain != nullptr) {
            state.PauseTiming();
            queue_cre(chain);  // put it back at the tail, where it was
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(chain);
    }
    state.SetLabel(state.range(0) == 1 ? "last element matches" : "no match");
}
BENCHMARK(BM_DequeueThrottledFullQueue)->Arg(0)->Arg(1);

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
