#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "capture.h"
#include "cre_pool.h"
#include "daemon_rule.h"
#include "event_log.h"
#include "packets.h"
#include "ulvolib_testing.h"

namespace {

class CrePool : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_cre_pool_for_test();
        reset_daemon_rule_for_test();
        set_ulvolib_output(out.file());
    }
    void TearDown() override {
        reset_cre_pool_for_test();
        reset_daemon_rule_for_test();
        set_ulvolib_output(nullptr);
    }
    // A pool of the queue's size plus each thread's receive element, and the rule over it.
    void make(int working_set, int queue, int high, int low) {
        ASSERT_EQ(init_cre_pool(queue + 2), 0);
        ulvo_config config{working_set, 1, queue, high, low, 0x4b554c56};
        ASSERT_EQ(init_daemon_rule(&config), 0);
    }
    // An element from the pool holding a packet to the address, with an id and an owner.
    static cre *packet(const std::string &address, unsigned long id, uint32_t owner = 1000) {
        cre *element = alloc_cre(address.find(':') == std::string::npos ? 1 : 2);
        EXPECT_NE(element, nullptr);
        if (element != nullptr) {
            make_packet_message(element, address, id);
            set_destination(element, address);
            element->pkt->packet_id = id;
            element->pkt->data_len = 40;
            element->owner_uid = owner;
        }
        return element;
    }
    static std::vector<unsigned long> release_ids(unsigned *events = nullptr) {
        unsigned ignored = 0;
        const released_cre *released = nullptr;
        int n = release_cres(0, events != nullptr ? events : &ignored, &released);
        std::vector<unsigned long> ids;
        for (int i = 0; i < n; ++i) {
            ids.push_back(released[i].packet_id);
        }
        return ids;
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

// The pool has a full queue's elements plus each throttle thread's receive element: whatever the
// rule holds, a thread whose packet was just held always gets a fresh element, also while a
// release is under way, since released elements are back in the pool before the rule's lock is
// let go.
TEST_F(CrePool, HeldPacketsNeverExhaustThePool) {
    make(5, 10, 8, 4);
    cre *ipv6_current = alloc_cre(2);
    ASSERT_NE(ipv6_current, nullptr);
    unsigned events = 0;
    for (unsigned long i = 1; i <= 10; ++i) {
        cre *element = packet("10.0.0." + std::to_string(i), i);
        ASSERT_NE(element, nullptr) << i;
        ASSERT_EQ(judge_cre(element, 0, &events), POLICY_HOLD) << i;
    }
    cre *eleventh = packet("10.0.1.1", 11);
    ASSERT_NE(eleventh, nullptr) << "the thread's receive element";
    EXPECT_EQ(judge_cre(eleventh, 0, &events), POLICY_DROP);
    EXPECT_EQ(release_ids(), std::vector<unsigned long>{1});
    EXPECT_EQ(judge_cre(eleventh, 0, &events), POLICY_HOLD);
    EXPECT_NE(alloc_cre(1), nullptr) << "the next receive element";
    EXPECT_EQ(queued_cr_count(), 10);
    EXPECT_EQ(max_queued_cr_count(), 10);
}

// The kernel's copy of the working set is kept by its hook alone: told the first fill once, then
// each destination that joins and each that leaves (not one that is still in another entry),
// its copy equals the working set after every release, whatever the families.
std::set<std::string> mirrored;
std::string key_of(const policy_address *a) {
    return std::to_string(a->ip_version) + std::string(reinterpret_cast<const char *>(a->addr), 16);
}
TEST_F(CrePool, TheWorkingSetsHookKeepsAnExactCopy) {
    make(2, 10, 8, 4);
    mirrored.clear();
    set_working_set_hook([](const policy_address *left, const policy_address *joined) {
        if (left != nullptr) {
            EXPECT_EQ(mirrored.erase(key_of(left)), 1u) << "only a member leaves";
        }
        EXPECT_TRUE(mirrored.insert(key_of(joined)).second) << "only a newcomer joins";
    });
    auto expect_copy = [](const char *step) {
        static std::set<std::string> members;
        members.clear();
        visit_working_set([](const policy_address *m, int count) {
            for (int i = 0; i < count; ++i) {
                members.insert(key_of(&m[i]));
            }
        });
        EXPECT_EQ(mirrored, members) << step;
    };
    expect_copy("the first fill, told once");
    EXPECT_EQ(mirrored.size(), 1u);
    unsigned events = 0;
    unsigned long id = 1;
    for (const char *address : {"10.0.0.1", "fd00::1", "10.0.0.2", "10.0.0.1", "10.0.0.3"}) {
        ASSERT_EQ(judge_cre(packet(address, id++), 0, &events), POLICY_HOLD) << address;
        EXPECT_FALSE(release_ids().empty());
        expect_copy(address);
    }
    EXPECT_EQ(mirrored.size(), 2u);
    set_working_set_hook(nullptr);
}

// What the metrics and the alarm's report read of the held packets: owners by count, the
// packets' facts in queue order, the totals.
TEST_F(CrePool, HeldPacketsByOwnerAndInQueueOrder) {
    make(5, 40, 40, 4);
    unsigned events = 0;
    struct held_packet_row {
        const char *address;
        uint32_t owner;
    };
    const held_packet_row held[] = {{"10.0.0.1", 1001},
                                    {"fd00::7", 1000},
                                    {"10.0.0.2", 1000},
                                    {"10.0.0.1", 1002},
                                    {"10.0.0.3", ULVO_NO_OWNER}};
    unsigned long id = 0;
    for (const held_packet_row &h : held) {
        ASSERT_EQ(judge_cre(packet(h.address, ++id, h.owner), 0, &events), POLICY_HOLD);
    }
    // Owners beyond the table's slots share the last one, under ULVO_NO_OWNER.
    for (uint32_t uid = 2000; uid < 2000 + OWNER_SLOTS; ++uid) {
        ASSERT_EQ(judge_cre(packet("10.9.0.1", ++id, uid), 0, &events), POLICY_HOLD);
    }
    owner_count owners[OWNER_SLOTS + 1];
    int n = held_by_owner(owners, OWNER_SLOTS + 1);
    ASSERT_EQ(n, OWNER_SLOTS + 1);
    EXPECT_EQ(owners[0].uid, ULVO_NO_OWNER);
    EXPECT_EQ(owners[0].held, 1u + 3u) << "the owner-less packet and the three owners too many";
    EXPECT_EQ(owners[1].uid, 1000u);
    EXPECT_EQ(owners[1].held, 2u);
    int total = 0;
    for (int i = 0; i < n; ++i) {
        total += static_cast<int>(owners[i].held);
    }
    EXPECT_EQ(total, queued_cr_count());

    held_packet snapshot[4];
    ASSERT_EQ(snapshot_queue(snapshot, 4), 4);
    EXPECT_EQ(snapshot[1].ip_version, 2);
    EXPECT_EQ(snapshot[1].destination[0], 0xfd);
    EXPECT_EQ(snapshot[2].owner_uid, 1000u);
    EXPECT_EQ(snapshot[3].destination[3], 1);

    EXPECT_EQ(release_ids(), (std::vector<unsigned long>{1, 4})) << "both packets to 10.0.0.1";
    uint64_t queued = 0, dequeued = 0;
    cr_queue_totals(&queued, &dequeued);
    EXPECT_EQ(queued, 5u + OWNER_SLOTS);
    EXPECT_EQ(dequeued, 2u);
}

// Two throttle threads and a de-throttle thread at once: every held packet is released exactly
// once, with its own id (an element handed out twice while held would lose one), and every
// element is back in the pool at the end.
TEST_F(CrePool, ThreeThreadsKeepThePoolConsistent) {
    constexpr int kQueue = 64;
    constexpr unsigned long kRounds = 20000;
    make(3, kQueue, kQueue, 0);
    std::atomic<bool> producers_done{false};
    std::vector<std::atomic<int>> seen(2 * kRounds + 2);
    std::vector<std::atomic<int>> held(2 * kRounds + 2);
    auto producer = [&](int version) {
        unsigned events = 0;
        for (unsigned long i = 0; i < kRounds; ++i) {
            unsigned long id = 2 * i + static_cast<unsigned long>(version);
            std::string address = version == 1 ? "10.0.0." + std::to_string(i % 7)
                                               : "fd00::" + std::to_string(i % 7 + 1);
            cre *element = packet(address, id);
            if (element == nullptr) {
                return;
            }
            policy_verdict verdict = judge_cre(element, 0, &events);
            if (verdict == POLICY_HOLD) {
                held[id] = 1;
            } else {
                free_cre(element);
            }
        }
    };
    std::thread consumer([&] {
        while (!producers_done || queued_cr_count() > 0) {
            std::vector<unsigned long> ids = release_ids();
            if (ids.empty()) {
                std::this_thread::yield();
            }
            for (unsigned long id : ids) {
                ++seen[id];
            }
        }
    });
    std::thread v4(producer, 1);
    std::thread v6(producer, 2);
    v4.join();
    v6.join();
    producers_done = true;
    consumer.join();

    int released = 0, wrong = 0;
    for (size_t id = 0; id < seen.size(); ++id) {
        released += seen[id];
        wrong += seen[id] != held[id] ? 1 : 0;
    }
    EXPECT_GT(released, 0);
    EXPECT_EQ(wrong, 0);
    int free_count = 0;
    while (alloc_cre(1) != nullptr) {
        ++free_count;
    }
    EXPECT_EQ(free_count, kQueue + 2);
}

}  // namespace
