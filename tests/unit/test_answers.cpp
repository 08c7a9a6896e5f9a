// What counts as an answer for credit: the connection-tracking states of each protocol.
#include <gtest/gtest.h>

#include "answers.h"

namespace {

TEST(Answers, OnlyACompletedHandshakeOrADatagramBackIsAnAnswer) {
    struct row {
        const char *what;
        uint8_t protocol;
        bool replied, assured, destroyed;
        answer_kind expected;
    };
    const row rows[] = {
        {"TCP, handshake completed", 6, true, true, false, ANSWER_YES},
        {"TCP, a SYN-ACK the host never acknowledged", 6, true, false, false, ANSWER_NOT_YET},
        {"TCP, reset or replied, then ended unassured", 6, true, false, true, ANSWER_NEVER},
        {"TCP, ended after its handshake", 6, true, true, true, ANSWER_YES},
        {"TCP, no reply yet", 6, false, false, false, ANSWER_NOT_YET},
        {"TCP, never answered", 6, false, false, true, ANSWER_NEVER},
        {"UDP, a datagram back", 17, true, false, false, ANSWER_YES},
        {"UDP, nothing back yet", 17, false, false, false, ANSWER_NOT_YET},
        {"UDP, timed out unanswered", 17, false, false, true, ANSWER_NEVER},
        {"UDP-Lite", 136, true, false, false, ANSWER_IGNORED},
        {"SCTP", 132, true, true, false, ANSWER_IGNORED},
        {"ICMP", 1, true, false, true, ANSWER_IGNORED},
    };
    for (const row &r : rows) {
        ct_event event{};
        event.ip_version = 1;
        event.protocol = r.protocol;
        event.replied = r.replied;
        event.assured = r.assured;
        event.destroyed = r.destroyed;
        EXPECT_EQ(classify_answer(event), r.expected) << r.what;
    }
}

}  // namespace
