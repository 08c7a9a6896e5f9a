// Translation of what nfnetlink_queue delivers into the packet-queue layouts of ipq_msg.h.
#pragma once

#include <cstddef>
#include <cstdint>

// The most packet bytes asked of nfnetlink_queue; a receive never needs more.
inline constexpr uint32_t NFQ_MAX_PACKET_COPY = 2048;
// Room for one nfnetlink_queue packet message with NFQ_MAX_PACKET_COPY bytes of packet.
inline constexpr size_t NFQ_STAGE_SIZE = 4096;

// Packet bytes to ask the kernel for, so that a whole message fits a buffer of copy_range bytes.
uint32_t nfq_packet_copy_range(unsigned long copy_range);

// Turns one received datagram (in_len bytes, from_kernel when the kernel sent it) into one
// message in out: a packet becomes an IPQM_PACKET message with an ipq_packet_msg, a packet
// message that cannot be read but names its packet becomes a ULVO_UNUSABLE_PACKET message with
// that packet's id, an error keeps its code, and anything that is not a well-formed kernel
// message never becomes a packet. Writes at most out_size bytes and returns how many it wrote.
// When owner is given it receives the uid of the packet's socket, or ULVO_NO_OWNER.
size_t nfq_translate(const unsigned char *in, size_t in_len, bool from_kernel, unsigned char *out,
                     size_t out_size, uint32_t *owner = nullptr);
