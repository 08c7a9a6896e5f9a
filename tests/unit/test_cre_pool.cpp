#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "capture.h"
#include "cre_pool.h"
#include "event_log.h"
#include "packets.h"
#include "ulvolib_testing.h"

namespace {

class CrePool : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_cre_pool_for_test();
        set_ulvolib_output(out.file());
    }
    void TearDown() override {
        reset_cre_pool_for_test();
        set_ulvolib_output(nullptr);
    }
    // Queues one element per address, in order, and returns them.
    std::vector<cre *> queue(const std::vector<std::string> &addresses) {
        std::vector<cre *> queued;
        for (const std::string &address : addresses) {
            cre *element = alloc_cre(address.find(':') == std::string::npos ? 1 : 2);
            EXPECT_NE(element, nullptr);
            set_destination(element, address);
            queue_cre(element);
            queued.push_back(element);
        }
        return queued;
    }
    // The queue from head to tail, checked for a consistent tail and count on the way.
    std::vector<cre *> queue_contents() {
        std::vector<cre *> seen;
        cre *last = nullptr;
        for (cre *e = cr_queue_head_for_test(); e != nullptr; e = e->next) {
            seen.push_back(e);
            last = e;
        }
        EXPECT_EQ(cr_queue_tail_for_test(), last);
        EXPECT_EQ(queued_cr_count(), static_cast<int>(seen.size()));
        return seen;
    }
    static std::vector<cre *> chain(cre *head) {
        std::vector<cre *> seen;
        for (; head != nullptr; head = head->next) {
            seen.push_back(head);
        }
        return seen;
    }
    Capture out;
};

TEST_F(CrePool, PoolHandsOutEachElementOnceAndFreeListIsLastInFirstOut) {
    ASSERT_EQ(init_cre_pool(4), 0);
    std::set<cre *> distinct;
    for (int i = 0; i < 4; ++i) {
        cre *element = alloc_cre(1);
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(element->next, nullptr);
        distinct.insert(element);
    }
    EXPECT_EQ(distinct.size(), 4u);
    EXPECT_EQ(alloc_cre(1), nullptr);
    cre *a = *distinct.begin();
    cre *b = *distinct.rbegin();
    free_cre(a);
    free_cre(b);
    EXPECT_EQ(alloc_cre(2), b);
    EXPECT_EQ(alloc_cre(1), a);
    EXPECT_EQ(out.text(), "");
}

TEST_F(CrePool, AllocSetsAddressFieldsAndReportsUnknownVersion) {
    ASSERT_EQ(init_cre_pool(3), 0);
    cre *v4 = alloc_cre(1);
    EXPECT_EQ(v4->addr_offset, 16);
    EXPECT_EQ(v4->addr_len, 4);
    cre *v6 = alloc_cre(2);
    EXPECT_EQ(v6->addr_offset, 24);
    EXPECT_EQ(v6->addr_len, 16);
    EXPECT_EQ(out.text(), "");
    cre *odd = alloc_cre(7);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->ip_version, 7);
    EXPECT_EQ(odd->addr_offset, 16);
    EXPECT_EQ(odd->addr_len, 4);
    std::regex report(
        R"(\[ERROR\] {16} \[[^\]]{24}\] \n   INTERNAL ERROR: unknown ip version 7 ulvolib,\d+\n)");
    EXPECT_TRUE(std::regex_match(out.text(), report)) << out.text();
}

TEST_F(CrePool, PoolOfSizePlusTwoQueuesExactlySize) {
    const int dq_size = 10;
    ASSERT_EQ(init_cre_pool(dq_size + 2), 0);
    cre *ipv4_current = alloc_cre(1);
    cre *ipv6_current = alloc_cre(2);
    ASSERT_NE(ipv4_current, nullptr);
    ASSERT_NE(ipv6_current, nullptr);
    for (int i = 0; i < dq_size; ++i) {
        cre *element = alloc_cre(1);
        ASSERT_NE(element, nullptr) << i;
        set_destination(element, "10.0.0." + std::to_string(i));
        queue_cre(element);
    }
    EXPECT_EQ(alloc_cre(1), nullptr);
    EXPECT_EQ(queued_cr_count(), dq_size);
}

TEST_F(CrePool, CountsAndMaximum) {
    ASSERT_EQ(init_cre_pool(5), 0);
    EXPECT_EQ(dequeue_cre(), nullptr);
    EXPECT_EQ(queued_cr_count(), 0);
    EXPECT_EQ(max_queued_cr_count(), 0);
    std::vector<cre *> q = queue({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
    EXPECT_EQ(dequeue_cre(), q[0]);
    EXPECT_EQ(dequeue_cre(), q[1]);
    queue({"10.0.0.4"});
    EXPECT_EQ(queued_cr_count(), 2);
    EXPECT_EQ(max_queued_cr_count(), 3);
    dequeue_cre();
    dequeue_cre();
    EXPECT_EQ(dequeue_cre(), nullptr);
    EXPECT_EQ(cr_queue_head_for_test(), nullptr);
    EXPECT_EQ(cr_queue_tail_for_test(), nullptr);
    EXPECT_EQ(max_queued_cr_count(), 3);
}

// Each case queues five packets, releases the destination "A" and checks both the chain and
// what is left on the queue.
struct ThrottledCase {
    const char *name;
    std::vector<std::string> queued;  // "A" stands for the released destination
    std::vector<int> matches;         // positions of the expected chain, in queue order
};

class DequeueThrottled : public CrePool, public ::testing::WithParamInterface<ThrottledCase> {};

TEST_P(DequeueThrottled, TakesExactlyTheMatchesInQueueOrder) {
    const ThrottledCase &c = GetParam();
    ASSERT_EQ(init_cre_pool(16), 0);
    std::vector<std::string> addresses;
    for (const std::string &a : c.queued) {
        addresses.push_back(a == "A" ? "192.0.2.7" : a);
    }
    std::vector<cre *> q = queue(addresses);
    TestCre released("192.0.2.7");

    std::vector<cre *> expected_chain;
    std::vector<cre *> expected_left;
    for (size_t i = 0; i < q.size(); ++i) {
        bool match =
            std::find(c.matches.begin(), c.matches.end(), static_cast<int>(i)) != c.matches.end();
        (match ? expected_chain : expected_left).push_back(q[i]);
    }
    EXPECT_EQ(chain(dequeue_throttled_cres(&released.element)), expected_chain);
    EXPECT_EQ(queue_contents(), expected_left);
    EXPECT_EQ(max_queued_cr_count(), static_cast<int>(q.size()));

    // The queue is still a working list: appending and draining keeps its order.
    std::vector<cre *> more = queue({"198.51.100.1"});
    expected_left.push_back(more[0]);
    EXPECT_EQ(queue_contents(), expected_left);
    for (cre *e : expected_left) {
        EXPECT_EQ(dequeue_cre(), e);
    }
    EXPECT_EQ(dequeue_cre(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, DequeueThrottled,
    ::testing::Values(
        ThrottledCase{"head", {"A", "10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}, {0}},
        ThrottledCase{"tail", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "A"}, {4}},
        ThrottledCase{"middle", {"10.0.0.1", "10.0.0.2", "A", "10.0.0.3", "10.0.0.4"}, {2}},
        ThrottledCase{"all", {"A", "A", "A", "A", "A"}, {0, 1, 2, 3, 4}},
        ThrottledCase{"none", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}, {}},
        ThrottledCase{"head_and_tail", {"A", "A", "10.0.0.3", "10.0.0.4", "A"}, {0, 1, 4}},
        ThrottledCase{"alternating", {"10.0.0.1", "A", "10.0.0.2", "A", "10.0.0.3"}, {1, 3}},
        // 192.0.2.7 as the first four bytes of an IPv6 address is another destination.
        ThrottledCase{"other_family", {"c000:207::", "A", "c000:207::1", "10.0.0.1", "A"}, {1, 4}}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST_F(CrePool, EmptyQueueGivesNoChain) {
    ASSERT_EQ(init_cre_pool(2), 0);
    TestCre released("192.0.2.7");
    EXPECT_EQ(dequeue_throttled_cres(&released.element), nullptr);
    EXPECT_EQ(queue_contents(), std::vector<cre *>{});
}

// Two throttle threads and a de-throttle thread at once: every element is accounted for, the
// queue stays a consistent list, and no element is ever handed out twice.
TEST_F(CrePool, ThreeThreadsKeepThePoolConsistent) {
    constexpr int kPool = 64;
    constexpr int kRounds = 20000;
    ASSERT_EQ(init_cre_pool(kPool), 0);
    std::atomic<int> in_use[kPool] = {};
    const cre *base = cre_pool_for_test();
    std::atomic<bool> producers_done{false};
    std::atomic<long> queued_total{0};
    std::atomic<long> released_total{0};
    std::atomic<int> errors{0};

    auto producer = [&](int version) {
        for (int i = 0; i < kRounds; ++i) {
            cre *element = alloc_cre(version);
            if (element == nullptr) {
                std::this_thread::yield();
                continue;
            }
            if (in_use[element - base].fetch_add(1) != 0) {
                ++errors;
            }
            set_destination(element, version == 1 ? "10.0.0." + std::to_string(i % 7)
                                                  : "fd00::" + std::to_string(i % 7));
            in_use[element - base].fetch_sub(1);
            queue_cre(element);
            ++queued_total;
        }
    };
    std::thread consumer([&] {
        while (!producers_done || queued_cr_count() > 0) {
            cre *head = dequeue_cre();
            if (head == nullptr) {
                std::this_thread::yield();
                continue;
            }
            cre *rest = dequeue_throttled_cres(head);
            head->next = rest;
            for (cre *e = head; e != nullptr;) {
                cre *next = e->next;
                if (in_use[e - base].fetch_add(1) != 0) {
                    ++errors;
                }
                in_use[e - base].fetch_sub(1);
                ++released_total;
                free_cre(e);
                e = next;
            }
        }
    });
    std::thread v4(producer, 1);
    std::thread v6(producer, 2);
    v4.join();
    v6.join();
    producers_done = true;
    consumer.join();

    EXPECT_EQ(errors, 0);
    EXPECT_GT(queued_total, 0);
    EXPECT_EQ(released_total, queued_total);
    EXPECT_EQ(queued_cr_count(), 0);
    EXPECT_LE(max_queued_cr_count(), kPool);
    int free_count = 0;
    while (alloc_cre(1) != nullptr) {
        ++free_count;
    }
    EXPECT_EQ(free_count, kPool);
}

}  // namespace
