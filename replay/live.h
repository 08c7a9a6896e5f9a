// The live replay: a capture's flows in real time through the real kel-ulvod, in a private lab
// of two network namespaces that the lab script builds. The capture's destinations are mapped
// into the lab's own ranges (10.201.0.0/16, fd00:201::/64), where a responder answers exactly
// the flows that the capture shows answered; the client sends each flow at its time and sees,
// on its own outgoing interface, when the throttle let each one go.
#pragma once

#include <string>
#include <vector>

#include "capture.h"
#include "simulate.h"

// The lab's addresses: the host's side, the responder's side, the range the capture is mapped
// into.
inline constexpr char LAB_HOST_INTERFACE[] = "veth-host";
inline constexpr char LAB_RANGE_IPV4[] = "10.201.0.0/16";
inline constexpr char LAB_RANGE_IPV6[] = "fd00:201::/64";
// A flow let go sooner than this after it was sent passed at once (the queue's round trip to
// the daemon takes well under a millisecond).
inline constexpr double LIVE_HELD_AFTER = 0.05;

// Maps each destination of the capture into the lab's ranges, the same destination to the
// same lab address, in order of first appearance: 0, or 1 when there are too many (more than
// 65,000 of a family).
int live_map_destinations(replay_capture *capture);

// Writes the plan that the client and the responder read: the flows (lab destination, protocol,
// port, answered) and the times of the packets the client sends. 0, or 1 reported.
int live_write_plan(const char *path, const replay_capture &capture);
// Writes the responder's packet-filter input for one family (4 or 6): a drop for each TCP
// destination and port that the capture never saw answered. 0, or 1 reported.
int live_write_world_rules(const char *path, const replay_capture &capture, int family);

// The client, inside the lab's host namespace: sends the plan's packets at their times, watches
// its outgoing interface, and writes for each flow when it was sent and first seen leaving
// (-1: never). The result's times count from the plan's start. 0, or 1 reported.
int live_client(const char *plan, const char *result, const char *interface, double wait_limit);
// The responder, inside the lab's other namespace: answers the plan's answered flows, TCP by
// accepting, UDP by a datagram back from the address it was sent to; runs until ended.
int live_responder(const char *plan);

// Reads the client's result into a run of the same shape as the core's: held when a flow left
// LIVE_HELD_AFTER or more after it was sent, dropped when it never left. 0, or 1 reported.
int live_read_result(const char *path, const replay_capture &capture, replay_run *run);

// When the lab's daemon released, modulo the delay: the median of the held flows' first
// departures; negative when no flow was held.
double live_release_phase(const replay_run &run, const replay_capture &capture, double delay);
