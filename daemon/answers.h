// Answer credit in the daemon: the connection-tracking events that say which of the host's
// connections were answered, read by a thread of their own, and the credit's reports.
#pragma once

#include <cstdint>

#include "config.h"
#include "ct_events.h"

// What a connection-tracking event says of the host's connection, for answer credit.
enum answer_kind {
    ANSWER_IGNORED,  // a protocol credit does not follow
    ANSWER_NOT_YET,  // nothing yet: an update without an answer
    ANSWER_YES,      // answered
    ANSWER_NEVER,    // ended without an answer
};
// TCP is answered once its handshake has completed (ASSURED: the SYN-ACK and the host's ACK
// seen; a reset, or a SYN-ACK the host never acknowledged, is no answer); UDP once anything came
// back (SEEN_REPLY). An end without that is a connection never answered. Other protocols
// (UDP-Lite, SCTP, ICMP) are not followed.
answer_kind classify_answer(const ct_event &event);

// Opens the event socket when the configuration turns answer credit on; nothing when it is off:
// 0, or 1 reported to the start-status file (the start fails: the credit would never come back).
// Before anything is made that a failed start would leave behind.
int answers_open(const ulvo_optional_config *credit);
// Starts the thread that reads the events (when the socket is open): 0, or 1 reported.
int answers_start();
// Reports what a call of the rule says of the credit, running out and coming back, to the event
// log (and so to the system log).
void credit_report(unsigned events);
// Events lost so far (the socket's buffer overflowed).
uint64_t answer_events_lost();
