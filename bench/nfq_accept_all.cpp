// The baseline for the kernel queue's own cost: the least a reader of the two queues can do,
// accepting every packet at once. Written directly on libmnl and libnetfilter_queue.
#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

mnl_socket *open_queue(uint16_t queue) {
    mnl_socket *nl = mnl_socket_open(NETLINK_NETFILTER);
    if (nl == nullptr || mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0) {
        perror("mnl_socket");
        exit(1);
    }
    int on = 1;
    mnl_socket_setsockopt(nl, NETLINK_NO_ENOBUFS, &on, sizeof on);
    char buf[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *nlh = nfq_nlmsg_put(buf, NFQNL_MSG_CONFIG, queue);
    nfq_nlmsg_cfg_put_cmd(nlh, AF_INET, NFQNL_CFG_CMD_BIND);
    nfq_nlmsg_cfg_put_params(nlh, NFQNL_COPY_PACKET, 240);
    nfq_nlmsg_cfg_put_qmaxlen(nlh, 8192);
    if (mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) < 0) {
        perror("bind queue");
        exit(1);
    }
    return nl;
}

struct Queue {
    mnl_socket *nl;
    uint16_t num;
};

// One blocking receive and one verdict per packet, as the daemon's throttle threads do.
void serve(mnl_socket *nl, uint16_t queue) {
    alignas(nlmsghdr) char buf[4096];
    ssize_t n = mnl_socket_recvfrom(nl, buf, sizeof buf);
    if (n <= 0) {
        return;
    }
    auto *nlh = reinterpret_cast<nlmsghdr *>(buf);
    nlattr *attr[NFQA_MAX + 1] = {};
    if (nfq_nlmsg_parse(nlh, attr) < 0 || attr[NFQA_PACKET_HDR] == nullptr) {
        return;
    }
    auto *ph = static_cast<nfqnl_msg_packet_hdr *>(mnl_attr_get_payload(attr[NFQA_PACKET_HDR]));
    char out[128];
    nlmsghdr *verdict = nfq_nlmsg_put(out, NFQNL_MSG_VERDICT, queue);
    nfq_nlmsg_verdict_put(verdict, static_cast<int>(ntohl(ph->packet_id)), NF_ACCEPT);
    mnl_socket_sendto(nl, verdict, verdict->nlmsg_len);
}

void *serve_forever(void *arg) {
    auto *q = static_cast<Queue *>(arg);
    for (;;) {
        serve(q->nl, q->num);
    }
}

}  // namespace

int main(int argc, char **argv) {
    uint16_t queues[2] = {4401, 4406};
    if (argc == 3) {
        queues[0] = static_cast<uint16_t>(atoi(argv[1]));
        queues[1] = static_cast<uint16_t>(atoi(argv[2]));
    }
    static Queue q[2] = {{open_queue(queues[0]), queues[0]}, {open_queue(queues[1]), queues[1]}};
    pthread_t v6;
    pthread_create(&v6, nullptr, serve_forever, &q[1]);
    printf("accepting everything on queues %u and %u\n", queues[0], queues[1]);
    fflush(stdout);
    serve_forever(&q[0]);
}
