// ulvostatus -metrics against the real daemon, and the whole shipping chain: the timer's command,
// node_exporter's textfile collector and Prometheus with the shipped alert rules, all inside the
// test's namespaces.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "daemon_fixture.h"
#include "traffic.h"

namespace {

constexpr uint16_t NODE_EXPORTER_PORT = 19100;
constexpr uint16_t PROMETHEUS_PORT = 19090;
constexpr char TEXTFILE_DIR[] = "/var/lib/prometheus/node-exporter";

std::string ipv4_host(int n) {
    return "127.0.9." + std::to_string(2 + n);
}

// The samples of an exposition by "name{labels}".
std::map<std::string, long long> samples(const std::string &text) {
    std::map<std::string, long long> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t blank = line.rfind(' ');
        if (!line.empty() && line[0] != '#' && blank != std::string::npos) {
            values[line.substr(0, blank)] = std::stoll(line.substr(blank + 1));
        }
    }
    return values;
}

class Metrics : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        need("promtool");
    }
    // One run of "ulvostatus -metrics", which must succeed and pass promtool's checks.
    static std::string metrics(const char *when) {
        int status = -1;
        std::string text = run_output(std::string(STATUS_TOOL) + " -metrics 2>/dev/null", &status);
        EXPECT_EQ(status, 0) << when;
        std::string file = private_dir() + "/metrics.prom";
        std::ofstream(file) << text;
        std::string complaints = run_output("promtool check metrics <" + file + " 2>&1", &status);
        EXPECT_EQ(status, 0) << when << ": " << complaints << text;
        EXPECT_EQ(complaints, "") << when << ": " << text;
        return text;
    }
    static long long kernel_waiting(std::map<std::string, long long> &m) {
        return m["kel_ulvo_kernel_queue_waiting{queue=\"4401\"}"] +
               m["kel_ulvo_kernel_queue_waiting{queue=\"4406\"}"];
    }
};

TEST_F(Metrics, FollowTheDaemonAndAgreeWithTheStatusReport) {
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    auto m = samples(metrics("no daemon"));
    EXPECT_EQ(m["kel_ulvo_up"], 0);
    EXPECT_EQ(m["kel_ulvo_config_queue_size"], 10) << "from the configuration file";
    EXPECT_EQ(m["kel_ulvo_config_high_watermark"], 8);
    EXPECT_EQ(m.count("kel_ulvo_packets_total{family=\"ipv4\"}"), 0u);
    EXPECT_EQ(m.count("kel_ulvo_kernel_queue_waiting{queue=\"4401\"}"), 0u) << "no queue bound";

    start_daemon();
    // New UDP flows to nine new hosts, two of them IPv6: the queue passes its high water mark.
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(send_udp(ipv4_host(i), 7001, 20));
    }
    ASSERT_TRUE(send_udp("fd00:6::1", 7001, 20) && send_udp("fd00:6::2", 7001, 20));
    // The daemon's queue and the kernel's held packets agree whenever no release is under way.
    auto start = std::chrono::steady_clock::now();
    do {
        m = samples(metrics("during the burst"));
    } while (m["kel_ulvo_queue_length"] != kernel_waiting(m) && ms_since(start) < 3000);
    EXPECT_EQ(m["kel_ulvo_up"], 1);
    EXPECT_EQ(m["kel_ulvo_virus_activity"], 1);
    EXPECT_GE(m["kel_ulvo_queue_length"], 1);
    EXPECT_EQ(m["kel_ulvo_queue_length"], kernel_waiting(m));

    start = std::chrono::steady_clock::now();
    while (samples(metrics("draining"))["kel_ulvo_queue_length"] != 0 && ms_since(start) < 20000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // Idle: nothing changes between the three runs, so -status holds the same moment.
    std::string before = metrics("idle");
    std::map<std::string, long> status = status_counters();
    ASSERT_EQ(metrics("idle, again"), before);
    m = samples(before);
    const std::vector<std::pair<std::string, long long>> expected = {
        {"kel_ulvo_packets_queued_total{family=\"ipv4\"}", 7},
        {"kel_ulvo_packets_queued_total{family=\"ipv6\"}", 2},
        {"kel_ulvo_packets_released_total", 9},
        {"kel_ulvo_virus_activity", 0},
        {"kel_ulvo_virus_activity_detected_total", 1},
        {"kel_ulvo_kernel_queue_waiting{queue=\"4401\"}", 0},
        {"kel_ulvo_kernel_queue_waiting{queue=\"4406\"}", 0},
        {"kel_ulvo_kernel_queue_dropped_total{queue=\"4401\"}", 0},
        {"kel_ulvo_queue_length", status["currently queued packets"]},
        {"kel_ulvo_queue_length_max", status["maximum packets on queue"]},
        {"kel_ulvo_virus_activity_detected_total", status["times virus-like activity detected"]},
        {"kel_ulvo_config_working_set_size", status["known host working set size"]},
        {"kel_ulvo_config_delay_seconds", status["delay queue seconds"]},
        {"kel_ulvo_config_queue_size", status["delay queue size"]},
        {"kel_ulvo_config_high_watermark", status["delay queue high water mark"]},
        {"kel_ulvo_config_low_watermark", status["delay queue low water mark"]},
    };
    for (const auto &[name, value] : expected) {
        EXPECT_EQ(m[name], value) << name;
    }
    const std::map<std::string, std::string> summed = {
        {"kel_ulvo_packets_total", "connection establishing packets"},
        {"kel_ulvo_packets_passed_total", "packets passed without delay"},
        {"kel_ulvo_packets_queued_total", "packets placed on queue"},
        {"kel_ulvo_packets_dropped_total", "packets dropped due to queue overflow"},
    };
    for (const auto &[name, label] : summed) {
        EXPECT_EQ(m[name + "{family=\"ipv4\"}"] + m[name + "{family=\"ipv6\"}"], status[label])
            << name;
    }
}

// A program started by the test and ended by it, by its pid.
class Spawned {
  public:
    Spawned(const std::string &command, const std::string &log) {
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/bash", "bash", "-c", ("exec " + command + " >" + log + " 2>&1").c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Spawned() {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, SIGTERM);  // its own child, by the pid fork gave (checked above)
        if (wait_exit(5000) != pid_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Spawned(const Spawned &) = delete;
    Spawned &operator=(const Spawned &) = delete;
    bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

  private:
    pid_t wait_exit(int timeout_ms) {
        auto start = std::chrono::steady_clock::now();
        while (ms_since(start) < timeout_ms) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                return pid_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return 0;
    }
    pid_t pid_ = -1;
};

// A command run through bash once a second in a thread of its own, until the scope ends.
class EverySecond {
  public:
    explicit EverySecond(const std::string &command)
        : thread_([this, command] {
              while (!stop_) {
                  if (run(command) != 0) {
                      ++failures_;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
              }
          }) {}
    ~EverySecond() {
        stop_ = true;
        thread_.join();
    }
    EverySecond(const EverySecond &) = delete;
    EverySecond &operator=(const EverySecond &) = delete;
    int failures() const { return failures_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<int> failures_{0};
    std::thread thread_;
};

// The body of an HTTP/1.0 GET on the loopback port; empty when it fails.
std::string http_get(uint16_t port, const std::string &path) {
    SockAddr address("127.0.0.1", port);
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(fd.get(), address.get(), address.length) != 0) {
        return "";
    }
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return "";
    }
    std::string response;
    char chunk[4096];
    ssize_t n;
    while (wait_readable(fd.get(), 2000) && (n = recv(fd.get(), chunk, sizeof chunk, 0)) > 0) {
        response.append(chunk, static_cast<size_t>(n));
    }
    size_t body = response.find("\r\n\r\n");
    return body == std::string::npos ? "" : response.substr(body + 4);
}

// The state of the named alert in Prometheus' /api/v1/alerts answer ("pending", "firing"), or
// empty when it is not active.
std::string alert_state(const std::string &alerts, const std::string &name) {
    size_t at = alerts.find("\"alertname\":\"" + name + "\"");
    if (at == std::string::npos) {
        return "";
    }
    size_t state = alerts.find("\"state\":\"", at);
    if (state == std::string::npos) {
        return "";
    }
    state += 9;
    return alerts.substr(state, alerts.find('"', state) - state);
}

// Burst of new hosts → the daemon's alarm → the timer's file → node_exporter → Prometheus with
// the shipped rules: the alert fires, and resolves once the queue has drained.
TEST_F(Metrics, AlertFiresThroughTheWholeChainAndResolves) {
    need("prometheus");
    need("prometheus-node-exporter");
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    // The unit's command writes to the textfile directory that Debian's node_exporter package
    // makes; inside this test's mount namespace a tmpfs covers it.
    ASSERT_EQ(mount("tmpfs", TEXTFILE_DIR, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755"), 0)
        << TEXTFILE_DIR << ": " << strerror(errno);
    std::string stage = private_dir() + "/stage";
    ASSERT_EQ(run("DESTDIR=" + stage + " cmake --install " + build_dir() +
                  " --component service >/dev/null"),
              0);
    std::string unit = read_file(stage + "/etc/systemd/system/kel-ulvo-metrics.service");
    size_t at = unit.find("\nExecStart=");
    ASSERT_NE(at, std::string::npos);
    std::string command = unit.substr(at + 11, unit.find('\n', at + 1) - at - 11);
    for (size_t dollar = command.find("$$"); dollar != std::string::npos;
         dollar = command.find("$$", dollar + 1)) {
        command.erase(dollar, 1);  // systemd's unescaping of "$$"
    }

    write_config({{"host_working_set_size", "5"},
                  {"delay_queue_delay_seconds", "1"},
                  {"delay_queue_size", "20"},
                  {"delay_queue_high_watermark", "12"},
                  {"delay_queue_low_watermark", "6"},
                  {"shared_memory_key", "0x4b554c56"}});
    start_daemon();
    // On a real host Prometheus scrapes node_exporter from elsewhere, through connections that
    // come in, which the throttle does not see. Here both share the test's namespace, so their
    // loopback connections are let past the throttle, as the scrapes of a remote server are.
    for (uint16_t port : {NODE_EXPORTER_PORT, PROMETHEUS_PORT}) {
        ASSERT_EQ(run("iptables -w -I OUTPUT 1 -o lo -p tcp --dport " + std::to_string(port) +
                      " -j ACCEPT"),
                  0);
    }

    // The timer's command, once a second instead of every 15 s.
    EverySecond writer(command);
    std::string dir = private_dir();
    std::ofstream(dir + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
        << "rule_files:\n  - " << KEL_ULVO_RULES << "\n"
        << "scrape_configs:\n  - job_name: node\n    static_configs:\n"
        << "      - targets: ['127.0.0.1:" << NODE_EXPORTER_PORT << "']\n";
    Spawned node_exporter(
        "prometheus-node-exporter --collector.disable-defaults "
        "--collector.textfile --collector.textfile.directory=" +
            std::string(TEXTFILE_DIR) +
            " --web.listen-address=127.0.0.1:" + std::to_string(NODE_EXPORTER_PORT),
        dir + "/node_exporter.log");
    Spawned prometheus("prometheus --config.file=" + dir + "/prometheus.yml" +
                           " --storage.tsdb.path=" + dir + "/tsdb" +
                           " --web.listen-address=127.0.0.1:" + std::to_string(PROMETHEUS_PORT),
                       dir + "/prometheus.log");
    auto logs = [&] {
        return "node_exporter:\n" + read_file(dir + "/node_exporter.log") + "prometheus:\n" +
               read_file(dir + "/prometheus.log");
    };

    // Prometheus has scraped a running daemon's metrics.
    auto start = std::chrono::steady_clock::now();
    std::string up;
    while (up.find(",\"1\"]") == std::string::npos && ms_since(start) < 15000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        up = http_get(PROMETHEUS_PORT, "/api/v1/query?query=kel_ulvo_up");
    }
    ASSERT_NE(up.find(",\"1\"]"), std::string::npos)
        << "Prometheus never saw kel_ulvo_up 1: " << up << "\n"
        << logs();
    EXPECT_EQ(alert_state(http_get(PROMETHEUS_PORT, "/api/v1/alerts"), "KelUlvoVirusActivity"), "");

    // Sixteen new hosts: the queue passes its high water mark of 12 and drains to its low water
    // mark of 6 ten releases later.
    auto burst = std::chrono::steady_clock::now();
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(send_udp(ipv4_host(i), 7001, 20));
    }
    std::string alerts;
    while (alert_state(alerts, "KelUlvoVirusActivity") != "firing" && ms_since(burst) < 10000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        alerts = http_get(PROMETHEUS_PORT, "/api/v1/alerts");
    }
    double firing_ms = ms_since(burst);
    bool fired = alert_state(alerts, "KelUlvoVirusActivity") == "firing";
    if (fired) {
        printf("burst to firing alert: %.1f s\n", firing_ms / 1000);
        RecordProperty("burst_to_firing_ms", static_cast<int>(firing_ms));
    }
    while (fired && alert_state(alerts, "KelUlvoVirusActivity") != "" && ms_since(burst) < 35000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        alerts = http_get(PROMETHEUS_PORT, "/api/v1/alerts");
    }
    double resolved_ms = ms_since(burst);
    auto after = samples(run_output(std::string(STATUS_TOOL) + " -metrics 2>/dev/null"));
    ASSERT_TRUE(fired) << alerts << "\n" << logs();
    EXPECT_EQ(alert_state(alerts, "KelUlvoVirusActivity"), "") << "not resolved: " << alerts;
    printf("burst to resolved alert: %.1f s\n", resolved_ms / 1000);
    EXPECT_LE(after["kel_ulvo_queue_length"], 6) << "resolved only once the queue drained";
    EXPECT_EQ(after["kel_ulvo_virus_activity_detected_total"], 1);
    EXPECT_EQ(alert_state(alerts, "KelUlvoPacketsDropped"), "") << alerts;
    EXPECT_EQ(writer.failures(), 0);
    EXPECT_TRUE(node_exporter.running() && prometheus.running()) << logs();
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
