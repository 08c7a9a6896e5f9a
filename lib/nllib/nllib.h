// nllib: the client of the kernel's packet queue. Opens one netlink socket per queue, receives
// one message at a time in the layouts of ipq_msg.h, and sends accept or drop verdicts.
#pragma once

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>

#include "ipq_msg.h"

// One connection to a kernel packet queue. The caller owns the storage, which must stay at the
// same address while packets received on it wait for their verdicts.
struct nl_filter_handle {
    int fd;              // the netlink socket; -1 once closed
    sockaddr_nl peer;    // the kernel
    sockaddr_nl local;   // this socket's own address
    int nfqueue;         // 1 when the queue is reached through nfnetlink_queue, 0 for ip_queue
    uint16_t queue_num;  // the nfnetlink_queue number
    uint32_t newest_id;  // the newest packet id received; written by the receiving thread only
};

// Status codes of the four operations.
enum {
    NL_OK = 0,
    NL_BAD_FAMILY = 1,  // protocol family neither AF_INET nor AF_INET6
    NL_NO_SOCKET = 2,   // the socket could not be created
    NL_NO_BIND = 3,     // the socket could not be bound or set up
    NL_NO_MODE = 4,     // the mode request could not be sent
    NL_NO_RECEIVE = 5,  // the receive failed or returned nothing
    NL_NO_VERDICT = 6,  // the verdict could not be sent
    NL_TIMED_OUT = 7,   // no message within the receive timeout, or the wait was interrupted
};

// Opens, binds and registers the queue of the family (2 or 10) in packet-copy mode.
int nl_create_filter(nl_filter_handle *filter, int protocol_family, unsigned long copy_range);
// Waits for one message and receives it into the buffer, cut to its size. When owner is given
// it receives the uid that owns a received packet's socket, or ULVO_NO_OWNER (always on
// ip_queue, which does not tell).
int nl_get_msg(nl_filter_handle *filter, unsigned char *buffer, unsigned long size,
               uint32_t *owner = nullptr);
// Makes nl_get_msg give up with NL_TIMED_OUT after ms milliseconds without a message.
int nl_set_receive_timeout(nl_filter_handle *filter, int ms);
// Sends the verdict (1 accept, 0 drop) for the packet whose id *packet_id holds.
int nl_msg_action(nl_filter_handle *filter, const unsigned long *packet_id, int verdict);
// 1 when a message waits to be received on the socket, 0 when none does.
int nl_pending(const nl_filter_handle *filter);
// Accepts every packet that the kernel still holds for the queue, read or not, in one request
// (nfnetlink_queue only; 6 with errno EOPNOTSUPP on ip_queue).
int nl_accept_all(nl_filter_handle *filter);
// Closes the socket if it is open and marks it closed.
void nl_destroy_filter(nl_filter_handle *filter);

// The local netlink address of a legacy handle from thread id, process id and call count.
uint32_t nl_local_pid(uint32_t thread_id_low, uint32_t process_id, uint32_t call_count);
// Bytes of a legacy mode request: header, payload and 16 further zero bytes (48, or 40 on i386).
inline constexpr size_t NL_MODE_REQUEST_SIZE = 2 * sizeof(nlmsghdr) + sizeof(ipq_mode_msg);
// Writes the legacy mode request into out (NL_MODE_REQUEST_SIZE bytes).
void nl_encode_mode_request(unsigned char *out, uint32_t nl_pid, unsigned long copy_range);
// Fills the two pieces of a legacy verdict (40 bytes together, or 28 on i386).
void nl_encode_verdict(nlmsghdr *header, ipq_verdict_msg *payload, uint32_t nl_pid,
                       unsigned long packet_id, int verdict);
