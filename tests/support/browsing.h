// A busy browsing session as a capture: page loads a few tens of seconds apart, each opening
// 10 to 25 new hosts within 2 s (a name lookup to the resolver, then one or two HTTPS
// connections to each), every one answered after a round trip of 20 to 150 ms. Made from a
// seed, so that the replay's tests and the attack suite's normal column read the same session.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "../support/capture_writer.h"

namespace capture_writer {

struct browsing_session {
    std::vector<record> records;  // Ethernet frames, time order
    int hosts = 0;                // new hosts opened
    int page_loads = 0;
    double seconds = 0.0;
};

// page_loads pages, one every gap_min..gap_max seconds; the host browses from 10.9.0.2.
inline browsing_session busy_browsing(uint32_t seed, int page_loads = 6, double gap_min = 25.0,
                                      double gap_max = 45.0) {
    std::mt19937 random(seed);
    auto uniform = [&random](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    browsing_session session;
    const char *me = "10.9.0.2";
    const char *resolver = "10.9.0.53";
    uint16_t port = 40000;
    double page_at = 1.0;
    for (int page = 0; page < page_loads; ++page) {
        int hosts = std::uniform_int_distribution<int>(10, 25)(random);
        for (int h = 0; h < hosts; ++h) {
            ++session.hosts;
            std::string host = "198.51." + std::to_string(session.hosts / 250) + "." +
                               std::to_string(1 + session.hosts % 250);
            double at = page_at + uniform(0.0, 2.0);
            double rtt = uniform(0.02, 0.15);
            // The name first, then the connections once it is known.
            uint16_t dns_port = port++;
            session.records.push_back({at, udp4(me, resolver, dns_port, 53)});
            session.records.push_back({at + 0.02, udp4(resolver, me, 53, dns_port)});
            int connections = uniform(0.0, 1.0) < 0.4 ? 2 : 1;
            for (int c = 0; c < connections; ++c) {
                double syn = at + 0.03 + c * 0.01;
                uint16_t source = port++;
                session.records.push_back({syn, tcp4(me, host.c_str(), source, 443, 0x02)});
                session.records.push_back({syn + rtt, tcp4(host.c_str(), me, 443, source, 0x12)});
            }
            session.seconds = std::max(session.seconds, at + 1.0);
        }
        ++session.page_loads;
        page_at += uniform(gap_min, gap_max);
    }
    std::stable_sort(session.records.begin(), session.records.end(),
                     [](const record &a, const record &b) { return a.time < b.time; });
    return session;
}

}  // namespace capture_writer
