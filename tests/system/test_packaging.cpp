// The service files: the systemd unit and the logrotate snippet, staged inside the sandbox.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "daemon_fixture.h"

namespace {

class Packaging : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        stage = private_dir() + "/stage";
        ASSERT_EQ(run("DESTDIR=" + stage + " cmake --install " + build_dir() +
                      " --component service >/dev/null"),
                  0);
        unit = stage + "/etc/systemd/system/kel-ulvod.service";
        logrotate = stage + "/etc/logrotate.d/kel-ulvo";
    }
    std::string stage, unit, logrotate;
};

TEST_F(Packaging, SystemdUnitVerifiesAndItsStartCheckSeesFailedStarts) {
    need("systemd-analyze");
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    int rc = -1;
    std::string units = unit + " " + stage + "/etc/systemd/system/kel-ulvo-metrics.service " +
                        stage + "/etc/systemd/system/kel-ulvo-metrics.timer";
    // The manual pages are where man finds them only in the package (the container test).
    std::string out = run_output("systemd-analyze verify --man=no " + units + " 2>&1", &rc);
    EXPECT_EQ(rc, 0) << out;
    std::string text = read_file(unit);
    for (const char *line : {"Type=forking\n", "ExecStart=/opt/kel/kel-ulvo/bin/kel-ulvod\n",
                             "KillMode=mixed\n", "ReadWritePaths=/var/opt/kel/kel-ulvo /run\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    // systemd runs the ExecStartPost command after the fork: it must tell a failed start.
    size_t at = text.find("ExecStartPost=");
    ASSERT_NE(at, std::string::npos);
    std::string check = text.substr(at + 14, text.find('\n', at) - at - 14);
    for (size_t dollar = check.find("$$"); dollar != std::string::npos;
         dollar = check.find("$$", dollar + 1)) {
        check.erase(dollar, 1);  // systemd's unescaping of "$$"
    }
    ASSERT_EQ(check.find("$$"), std::string::npos);
    start_daemon();
    EXPECT_EQ(run(check), 0) << "after a good start";
    signal_daemon(SIGTERM);
    wait_exit(pid_, 10000);
    pid_ = 0;
    write_config({{"delay_queue_size", "5"}});
    std::string status = start_daemon();
    ASSERT_NE(status.find("kel-ulvod failed to start"), std::string::npos) << status;
    EXPECT_NE(run(check), 0) << "after a failed start";
}

TEST_F(Packaging, LogrotateRotatesTheEventLogWhileTheDaemonWrites) {
    need("logrotate");
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    start_daemon();
    std::string before = read_file(EVENT_LOG);
    ASSERT_NE(before.find("kel-ulvo started"), std::string::npos);
    int rc = -1;
    std::string out = run_output(
        "logrotate -f -s " + private_dir() + "/logrotate.state " + logrotate + " 2>&1", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(read_file(std::string(EVENT_LOG) + ".1"), before);
    EXPECT_EQ(read_file(EVENT_LOG), "");
    signal_daemon(SIGTERM);
    wait_exit(pid_, 10000);
    pid_ = 0;
    std::string after = read_file(EVENT_LOG);
    EXPECT_EQ(after.find("[INFO]                  ["), 0u) << "no hole before the next line";
    EXPECT_NE(after.find("kel-ulvo exiting\n"), std::string::npos);
}

// Both programs answer --help and --version and do nothing else; the daemon checks a
// configuration without touching anything, and refuses any other argument before it does.
TEST_F(Packaging, OptionsAreAnsweredAndOtherArgumentsRefused) {
    struct Case {
        std::string command;
        int status;
        std::string out_has, err_has;
    };
    const std::vector<Case> cases = {
        {std::string(DAEMON) + " --help", 0,
         "Usage: kel-ulvod [--help | --version | --check-config]\n", ""},
        {std::string(DAEMON) + " --check-config", 0,
         "delay_queue_size=50\ndelay_queue_high_watermark=40\ndelay_queue_low_watermark=20\n",
         "kel-ulvo.conf, line 5: \"delay_queu_size=60\" sets nothing that kel-ulvod knows; it "
         "is ignored.\n"},
        {"delay_queue_size=5 " + std::string(DAEMON) + " --check-config", 1, "",
         "delay_queue_size is set to 5 in"},
        {std::string(DAEMON) + " --version", 0, "kel-ulvod 1.0.0-9.sles9\n", ""},
        {std::string(DAEMON) + " --start", 2, "", "kel-ulvod: unknown argument '--start'"},
        {std::string(DAEMON) + " --help --version", 2, "", "unknown argument '--help'"},
        {std::string(STATUS_TOOL) + " --help", 0, "Usage: ulvostatus -status\n", ""},
        {std::string(STATUS_TOOL) + " --version", 0, "ulvostatus 1.0.0-9.sles9\n", ""},
        {std::string(STATUS_TOOL) + " --verbose", 100, "", ""},
        {std::string(HELPER) + " --help", 0,
         "Usage: kel-ulvo-iptables check_rules | reload_allow_list | unload_rules | --help\n", ""},
        {std::string(HELPER) + " load", 2, "", "Usage: kel-ulvo-iptables check_rules"},
    };
    run(std::string("rm -f ") + EVENT_LOG + " " + START_STATUS);
    write_config({{"delay_queue_size", "50"},
                  {"delay_queue_high_watermark", "40"},
                  {"delay_queue_low_watermark", "20"},
                  {"delay_queu_size", "60"}});
    for (const Case &c : cases) {
        int status = -1;
        std::string err_file = private_dir() + "/options.err";
        std::string out = run_output(c.command + " 2>" + err_file, &status);
        std::string err = read_file(err_file);
        EXPECT_EQ(status, c.status) << c.command;
        EXPECT_NE(out.find(c.out_has), std::string::npos) << c.command << ": " << out;
        EXPECT_NE(err.find(c.err_has), std::string::npos) << c.command << ": " << err;
        if (c.out_has.empty()) {
            EXPECT_EQ(out, "") << c.command;
        }
    }
    EXPECT_FALSE(rules_loaded()) << "nothing was started";
    EXPECT_EQ(access(EVENT_LOG, F_OK), -1);
    EXPECT_EQ(access(START_STATUS, F_OK), -1);
    EXPECT_TRUE(daemon_pids().empty());
}

TEST_F(Packaging, ManPagesAreInstalledAndRenderCleanly) {
    need("groff");
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    for (const char *page : {"man8/kel-ulvod.8", "man8/ulvostatus.8", "man8/kel-ulvo-iptables.8",
                             "man5/kel-ulvo.conf.5"}) {
        std::string path = std::string("/opt/kel/kel-ulvo/share/man/") + page + ".gz";
        int status = -1;
        std::string warnings =
            run_output("zcat " + path + " | LC_ALL=C.UTF-8 groff -man -ww -Tutf8 -z 2>&1", &status);
        EXPECT_EQ(status, 0) << page;
        EXPECT_EQ(warnings, "") << page;
        std::string text =
            run_output("zcat " + path + " | LC_ALL=C.UTF-8 groff -man -Tutf8 -P-cbou");
        EXPECT_NE(text.find("NAME"), std::string::npos) << page;
        EXPECT_NE(text.find("SEE ALSO"), std::string::npos) << page;
    }
}

// The bash completion offers exactly the options and verbs that the usage texts list: for the
// status tool all of them (those after -ProprietaryInterface once it is given), for the helper
// the administrator's verbs of its first usage line.
TEST_F(Packaging, CompletionOffersWhatTheUsageTextsList) {
    auto words_of = [](const std::string &text, const std::string &pattern) {
        std::set<std::string> words;
        std::string out = run_output("printf '%s' '" + text + "' | grep -oE -- '" + pattern + "'");
        for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
            words.insert(out.substr(at, end - at));
        }
        return words;
    };
    auto offered = [&](const std::string &program, const std::string &words, int cword) {
        std::string file = "/opt/kel/kel-ulvo/share/bash-completion/completions/" + program;
        std::string fn = program == "ulvostatus" ? "_ulvostatus" : "_kel_ulvo_iptables";
        std::string out = run_output("bash -c '. " + file + " && COMP_WORDS=(" + words +
                                     ") COMP_CWORD=" + std::to_string(cword) + " && " + fn +
                                     " && printf \"%s\\n\" \"${COMPREPLY[@]}\"'");
        return words_of(out, "^[-a-zA-Z_]+$");
    };
    std::string status_usage = run_output(std::string(STATUS_TOOL) + " --help | grep ulvostatus");
    std::set<std::string> all = offered("ulvostatus", "ulvostatus \"\"", 1);
    std::set<std::string> after = offered("ulvostatus", "ulvostatus -ProprietaryInterface -", 2);
    EXPECT_EQ(after, (std::set<std::string>{"-vla_occurring", "-dump_shm_struct", "-dump_shm"}));
    all.insert(after.begin(), after.end());
    EXPECT_EQ(all, words_of(status_usage, "-{1,2}[a-zA-Z_]+"));
    EXPECT_EQ(offered("ulvostatus", "ulvostatus -status -", 2), std::set<std::string>{});

    std::string helper_usage = run_output(std::string(HELPER) + " --help | head -n1");
    EXPECT_EQ(offered("kel-ulvo-iptables", "kel-ulvo-iptables r", 1),
              std::set<std::string>{"reload_allow_list"});
    EXPECT_EQ(offered("kel-ulvo-iptables", "kel-ulvo-iptables \"\"", 1),
              words_of(helper_usage, "(--)?[a-z_]+_[a-z_]+|--help"));
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
