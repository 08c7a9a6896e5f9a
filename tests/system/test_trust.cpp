// What an unprivileged local user or a careless administrator can do to the daemon and its
// status: nothing of it may forge, block or mislead. Unprivileged steps run as uid 65534.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>

#include "daemon_fixture.h"
#include "owner_block.h"
#include "shm_layout.h"

namespace {

constexpr key_t KEY = 0x4b554c56;
constexpr char AS_NOBODY[] = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

// Runs the function in a child process as uid and gid 65534; true when it returned true.
bool as_nobody(const std::function<bool()> &step) {
    pid_t child = fork();
    if (child == 0) {
        bool ok = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 && step();
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Makes a segment at the key, world-writable, filled with the bytes given.
bool make_segment(const std::string &content, int32_t pid, int32_t gauge) {
    int id = shmget(KEY, SHM_BLOCK_SIZE, IPC_CREAT | IPC_EXCL | 0666);
    if (id == -1) {
        return false;
    }
    auto *block = static_cast<shm_stat_block *>(shmat(id, nullptr, 0));
    if (block == reinterpret_cast<void *>(-1)) {
        return false;
    }
    memset(block, 0, sizeof *block);
    memcpy(block->mem_block_sanity_string, content.c_str(),
           std::min(content.size(), sizeof block->mem_block_sanity_string - 1));
    block->pid = pid;
    block->water_gauge = gauge;
    for (uint32_t *word : {&block->wg_begin_sig, &block->wg_end_sig}) {
        *word = 1;
    }
    shmdt(block);
    return true;
}

// Makes a segment of the size at the key, world-writable, with the text at its start.
bool make_user_segment(key_t key, size_t size, const char *text) {
    int id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0666);
    void *at = id == -1 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, 0);
    if (at == reinterpret_cast<void *>(-1)) {
        return false;
    }
    memcpy(at, text, std::min(size, strlen(text)));
    shmdt(at);
    return true;
}

// Starts the command (through bash) in a process with the pid wanted, which must be free: the
// pid, or -1 when another process took it first every time.
pid_t start_with_pid(pid_t wanted, const std::string &command) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        {
            std::ofstream last("/proc/sys/kernel/ns_last_pid");
            last << wanted - 1;
        }
        pid_t child = fork();
        if (child == 0) {
            execl("/bin/bash", "bash", "-c", ("exec " + command).c_str(), nullptr);
            _exit(127);
        }
        if (child == wanted) {
            return child;
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return -1;
}

shmid_ds segment_stat(key_t key = KEY) {
    shmid_ds ds{};
    int id = shmget(key, 0, 0);
    EXPECT_NE(id, -1);
    shmctl(id, IPC_STAT, &ds);
    return ds;
}

class Trust : public DaemonTest {
  protected:
    struct Result {
        int status;
        std::string out, err;
    };
    static Result ulvostatus(const std::string &args, const std::string &prefix = "") {
        Result r{};
        std::string err_file = private_dir() + "/ulvostatus.err";
        r.out = run_output("timeout 10 " + prefix + STATUS_TOOL + " " + args + " 2>" + err_file,
                           &r.status);
        r.err = read_file(err_file);
        return r;
    }
    static bool ends_failed(const std::string &status) {
        const std::string ending = "kel-ulvod failed to start\nend\n";
        return status.size() >= ending.size() &&
               status.compare(status.size() - ending.size(), ending.size(), ending) == 0;
    }
};

// A block with the daemon's sanity text made by another user is an impostor's: the daemon
// removes it, makes its own and says so. The status tool does not believe a block that root did
// not make.
TEST_F(Trust, StatusBlockOfAnotherUserIsNeverAdopted) {
    ASSERT_TRUE(as_nobody([] { return make_segment(SHM_SANITY_TEXT, 1, 2); }));
    Result faked = ulvostatus("-ProprietaryInterface -vla_occurring");
    EXPECT_EQ(faked.status, 101) << faked.out;
    EXPECT_NE(faked.err.find("uid 65534 made it"), std::string::npos) << faked.err;

    std::string status = start_daemon();
    EXPECT_FALSE(ends_failed(status)) << status;
    EXPECT_NE(status.find("   removed the shared memory block at key 0x4b554c56 that uid 65534 "
                          "made:\n"),
              std::string::npos)
        << status;
    shmid_ds ds = segment_stat();
    EXPECT_EQ(ds.shm_perm.uid, 0u);
    EXPECT_EQ(ds.shm_perm.cuid, 0u);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0644u);
    EXPECT_FALSE(as_nobody([] {
        void *at = shmat(shmget(KEY, 0, 0), nullptr, 0);
        return at != reinterpret_cast<void *>(-1);
    })) << "nobody else may write the daemon's block";
    Result answer = ulvostatus("-ProprietaryInterface -vla_occurring");
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.out, "NO\n");
    signal_daemon(SIGTERM);
    wait_exit(pid_, 10000);
    pid_ = 0;

    // Whatever a user leaves at the key or at key + 1 (the held-by-owner block), of any size or
    // content, is removed: left there, it would keep the daemon from starting or blind its
    // metrics. (Root's foreign content stays refused: the status block's own tests.)
    for (size_t size : {size_t{8}, size_t{4096}, sizeof(shm_stat_block)}) {
        ASSERT_TRUE(as_nobody([size] {
            return make_user_segment(KEY, size, "someone else's data") &&
                   make_user_segment(KEY + 1, size, "x");
        }));
        status = start_daemon();
        EXPECT_FALSE(ends_failed(status)) << size << ":\n" << status;
        EXPECT_NE(status.find("that uid 65534 made:"), std::string::npos) << size;
        EXPECT_NE(read_file(EVENT_LOG).find("removed the held-by-owner block at key 0x4b554c57 "
                                            "that uid 65534 made:"),
                  std::string::npos)
            << size;
        EXPECT_EQ(segment_stat().shm_perm.cuid, 0u) << size;
        EXPECT_EQ(segment_stat(KEY + 1).shm_perm.cuid, 0u) << size;
        signal_daemon(SIGTERM);
        wait_exit(pid_, 10000);
        pid_ = 0;
    }
}

// One daemon per host, whatever its key: a second one is refused before it touches anything.
TEST_F(Trust, SecondDaemonWithAnotherKeyIsRefusedUntouched) {
    start_daemon();
    pid_t first = pid_;
    ASSERT_GT(first, 0);
    std::string second = start_daemon("shared_memory_key=0x12345678", 1);
    EXPECT_NE(second.find("   Another instance of kel-ulvod appears to be running,\n"
                          "   check process id " +
                          std::to_string(first) + ".\nkel-ulvod failed to start\nend\n"),
              std::string::npos)
        << second;
    EXPECT_EQ(shmget(0x12345678, 0, 0), -1) << "no block under the other key";
    // Without the lock file (removed by hand), the running daemon is found by its program.
    ASSERT_EQ(run("rm /var/opt/kel/kel-ulvo/kel-ulvod.lock"), 0);
    second = start_daemon("shared_memory_key=0x12345678", 1);
    EXPECT_NE(second.find("   check process id " + std::to_string(first) + ".\n"),
              std::string::npos)
        << second;
    pid_ = first;
    EXPECT_TRUE(rules_loaded()) << "the running daemon's rules stay";
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0);
    EXPECT_GT(connect_ms("127.0.0.61"), 0);
    EXPECT_EQ(status_counters()["packets placed on queue"], 1) << "still throttled";
}

// A kel-ulvod in another network namespace (a container's, with its own state directory) is no
// other instance: the kernel's queues and rules are per namespace. With the lock file gone, the
// look-up by program still finds only a daemon of this namespace.
TEST_F(Trust, ADaemonInAnotherNetworkNamespaceIsNoOtherInstance) {
    // The container: network, mount and IPC of its own, the same programs, its own /var/opt.
    std::string container = run_output(
        std::string("unshare --net --mount --ipc --propagation private bash -c '"
                    "mount -t tmpfs -o mode=0755 tmpfs /var/opt && "
                    "mkdir -p -m 0755 /var/opt/kel/kel-ulvo && ip link set lo up && ") +
        DAEMON + " >/dev/null 2>&1; for i in $(seq 300); do grep -qx end " + START_STATUS +
        " 2>/dev/null && break; sleep 0.05; done; cat " + START_STATUS + "'");
    ASSERT_NE(container.find("\nend\n"), std::string::npos) << container;
    ASSERT_EQ(container.find("failed"), std::string::npos) << container;
    pid_t theirs = 0;
    for (pid_t pid : daemon_pids()) {
        theirs = pid;
    }
    ASSERT_GT(theirs, 0) << "the container's daemon runs";

    std::string status = start_daemon();
    EXPECT_FALSE(ends_failed(status)) << status;
    EXPECT_EQ(status.find("Another instance"), std::string::npos) << status;
    ASSERT_GT(pid_, 0);
    ASSERT_NE(pid_, theirs);
    // Without the lock file, a second start in this namespace is still refused, naming this
    // namespace's daemon and not the container's.
    ASSERT_EQ(run("rm /var/opt/kel/kel-ulvo/kel-ulvod.lock"), 0);
    pid_t ours = pid_;
    std::string second = start_daemon("", 1);
    EXPECT_NE(second.find("   check process id " + std::to_string(ours) + ".\n"), std::string::npos)
        << second;
    pid_ = ours;
    EXPECT_EQ(signal_kel_ulvod(theirs, SIGTERM), 0);
    wait_exit(theirs, 10000);
}

// What other tools or users do to the daemon's rules and state: a state directory others could
// write refuses the start (and the helper's verbs); a rule put before the jump, or the rules
// unloaded by hand, are put back by the guard; rules that keep connections from connection
// tracking are reported.
TEST_F(Trust, RulesAndStateThatOthersTouch) {
    const std::string state = "/var/opt/kel/kel-ulvo";
    for (const std::string &spoil :
         std::vector<std::string>{"chmod 0777 " + state, "chown 65534 /var/opt/kel"}) {
        ASSERT_EQ(run(spoil), 0);
        int refused = -1;
        std::string err = run_output(std::string(DAEMON) + " 2>&1 >/dev/null", &refused);
        EXPECT_EQ(refused, 1) << spoil;
        EXPECT_NE(err.find("must be root's and writable by no one else"), std::string::npos)
            << spoil << ": " << err;
        err = run_output(std::string(HELPER) + " check_rules 2>&1", &refused);
        EXPECT_EQ(refused, 1) << spoil;
        EXPECT_NE(err.find("must be root's and writable by no one else"), std::string::npos)
            << spoil << ": " << err;
        ASSERT_EQ(run("chmod 0755 " + state + " && chown 0 /var/opt/kel"), 0);
    }
    EXPECT_TRUE(daemon_pids().empty());

    std::string status = start_daemon();
    ASSERT_FALSE(ends_failed(status)) << status;
    auto logged = [](const std::string &text) {
        auto since = std::chrono::steady_clock::now();
        // Within a check verb's wake-up and the check itself, generous on a busy machine.
        while (read_file(EVENT_LOG).find(text) == std::string::npos && ms_since(since) < 15000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return read_file(EVENT_LOG).find(text) != std::string::npos;
    };
    ASSERT_EQ(run("iptables -I OUTPUT 1 -j ACCEPT"), 0);
    int checked = -1;
    std::string said = run_output(std::string(HELPER) + " check_rules 2>&1", &checked);
    EXPECT_EQ(checked, 1);
    EXPECT_NE(said.find("as the first rule of OUTPUT"), std::string::npos) << said;
    EXPECT_TRUE(logged("iptables: the jump from OUTPUT to KEL_ULVO as the first rule of OUTPUT"));
    std::string output_chain = run_output("iptables -S OUTPUT");
    EXPECT_EQ(output_chain.find("-A OUTPUT"), output_chain.find("-A OUTPUT -j KEL_ULVO"))
        << output_chain;

    said = run_output(std::string(HELPER) + " unload_rules 2>&1", &checked);
    EXPECT_EQ(checked, 0);
    EXPECT_NE(said.find("kel-ulvod is running: its guard puts the rules back"), std::string::npos)
        << said;
    run(std::string(HELPER) + " check_rules >/dev/null 2>&1");
    EXPECT_TRUE(logged("iptables: the jump from OUTPUT to KEL_ULVO, the chain KEL_ULVO"));
    EXPECT_TRUE(rules_loaded());

    ASSERT_EQ(run("iptables -t raw -A OUTPUT -p udp --dport 53 -j CT --notrack"), 0);
    said = run_output(std::string(HELPER) + " check_rules 2>&1", &checked);
    EXPECT_EQ(checked, 1);
    EXPECT_NE(said.find("never tracked: -A OUTPUT -p udp -m udp --dport 53 -j CT --notrack"),
              std::string::npos)
        << said;
    EXPECT_TRUE(
        logged("   untracked iptables: -A OUTPUT -p udp -m udp --dport 53 -j CT --notrack"));
    run("iptables -t raw -F OUTPUT");

    // The guard takes the helper's lock: while another verb holds it, nothing is put back.
    ASSERT_EQ(run("flock " + state + "/.rules.lock sleep 3 & sleep 0.2; " +
                  "iptables -F KEL_ULVO_QUEUE && touch " + state + "/.check_rules"),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1800));
    EXPECT_EQ(run_output("iptables -S KEL_ULVO_QUEUE"), "-N KEL_ULVO_QUEUE\n")
        << "put back while the lock was held";
    auto since = std::chrono::steady_clock::now();
    while (run_output("iptables -S KEL_ULVO_QUEUE") == "-N KEL_ULVO_QUEUE\n" &&
           ms_since(since) < 6000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(run_output("iptables -S KEL_ULVO_QUEUE"), "-N KEL_ULVO_QUEUE\n")
        << "put back once the lock was free";

    // A held-by-owner segment of another version is not read.
    auto *owner = static_cast<shm_owner_block *>(shmat(shmget(KEY + 1, 0, 0), nullptr, 0));
    ASSERT_NE(owner, reinterpret_cast<void *>(-1));
    EXPECT_NE(ulvostatus("-metrics").out.find("\nkel_ulvo_allow_entries "), std::string::npos);
    owner->version = OWNER_BLOCK_VERSION - 1;
    EXPECT_EQ(ulvostatus("-metrics").out.find("\nkel_ulvo_allow_entries "), std::string::npos);
    owner->version = OWNER_BLOCK_VERSION;
    shmdt(owner);
}

// A key of 0 is IPC_PRIVATE: both programs refuse it, and no segment is left behind.
TEST_F(Trust, KeyZeroIsRefusedByBothPrograms) {
    std::vector<std::string> zeros = {"0x", "0x0", "0xZZ"};
    if (sizeof(long) == 8) {
        zeros.push_back("0x100000000");  // low 32 bits 0 (on i386 the number overflows instead)
    }
    for (const std::string &zero : zeros) {
        std::string refusal = "   shared_memory_key is set to " + zero +
                              " in /etc/opt/kel/kel-ulvo/kel-ulvo.conf,\n"
                              "   the value is out of range or not properly formated.\n";
        std::string status = start_daemon("shared_memory_key=" + zero);
        EXPECT_TRUE(ends_failed(status)) << zero << "\n" << status;
        EXPECT_NE(status.find(refusal), std::string::npos) << status;
        Result r = ulvostatus("-status", "env shared_memory_key=" + zero + " ");
        EXPECT_EQ(r.status, 101) << zero;
        EXPECT_EQ(r.err, refusal) << zero;
    }
    EXPECT_TRUE(daemon_pids().empty());
    EXPECT_EQ(run_output("ipcs -m | grep -c '^0x' || true"), "0\n") << "no segment leaked";
}

// The daemon writes only its own files: never through a symbolic link, never world-writable.
TEST_F(Trust, OwnFilesAreNeverWrittenThroughALinkNorLeftWritableByOthers) {
    const std::string target = private_dir() + "/precious";
    for (const char *path : {EVENT_LOG, START_STATUS}) {
        std::ofstream(target) << "keep me\n";
        run(std::string("rm -f ") + EVENT_LOG + " " + START_STATUS);
        ASSERT_EQ(run("ln -s " + target + " " + path), 0);
        int status = -1;
        std::string err = run_output(std::string(DAEMON) + " 2>&1 >/dev/null", &status);
        EXPECT_EQ(status, 1) << path;
        EXPECT_NE(err.find("(40)"), std::string::npos) << path << ": " << err;
        EXPECT_NE(err.find("it is a symbolic link or not a regular file"), std::string::npos)
            << err;
        EXPECT_EQ(read_file(target), "keep me\n") << path;
        run(std::string("rm -f ") + path);
    }
    // The instance lock too: a link there is refused, the file it points at untouched.
    std::ofstream(target) << "keep me\n";
    const std::string lock = "/var/opt/kel/kel-ulvo/kel-ulvod.lock";
    ASSERT_EQ(run("rm -f " + lock + " && ln -s " + target + " " + lock), 0);
    int refused = -1;
    run_output(std::string(DAEMON) + " >/dev/null 2>&1", &refused);
    EXPECT_EQ(refused, 1);
    std::string said = read_file(START_STATUS);
    EXPECT_NE(said.find("could not open " + lock + " (40)"), std::string::npos) << said;
    EXPECT_EQ(read_file(target), "keep me\n");
    run("rm -f " + lock);
    EXPECT_TRUE(daemon_pids().empty());

    ASSERT_EQ(run(std::string("touch ") + EVENT_LOG + " && chmod 666 " + EVENT_LOG), 0);
    std::string status = start_daemon_binary("umask 000; " + std::string(DAEMON));
    EXPECT_FALSE(ends_failed(status)) << status;
    struct stat log {
    }, started{};
    ASSERT_EQ(stat(EVENT_LOG, &log), 0);
    ASSERT_EQ(stat(START_STATUS, &started), 0);
    EXPECT_EQ(log.st_mode & 0777, 0644u);
    EXPECT_EQ(started.st_mode & 0777, 0644u);
}

// A configuration that is not a regular file, or is far too large, is refused at once by both
// programs; neither blocks nor reads without end.
TEST_F(Trust, ConfigurationThatIsNotAFileIsRefused) {
    struct Case {
        const char *what;
        std::string make;
        std::string says;
    };
    const std::string conf = CONF;
    const std::vector<Case> cases = {
        {"link to /dev/zero", "ln -sf /dev/zero " + conf, "is not a regular file"},
        {"FIFO", "rm -f " + conf + " && mkfifo " + conf, "is not a regular file"},
        {"2 MiB file", "rm -f " + conf + " && head -c 2097152 /dev/zero | tr '\\0' '#' >" + conf,
         "is larger than 1048576 bytes"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(run(c.make), 0) << c.what;
        auto start = std::chrono::steady_clock::now();
        std::string status = start_daemon();
        EXPECT_LT(ms_since(start), 5000) << c.what;
        EXPECT_TRUE(ends_failed(status)) << c.what << "\n" << status;
        EXPECT_NE(status.find(conf + " " + c.says), std::string::npos) << c.what << "\n" << status;
        Result r = ulvostatus("-status");
        EXPECT_EQ(r.status, 101) << c.what;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
        run("rm -f " + conf);
    }
}

// A block whose daemon is gone or stopped is not a running daemon's: the status tool still
// prints what it read, says so on standard error and ends with 101. A live daemon's answers
// are unchanged.
TEST_F(Trust, StatusOfAStoppedOrKilledDaemonIsAFailure) {
    start_daemon();
    ASSERT_GT(pid_, 0);
    std::string not_running = "kel-ulvod (pid " + std::to_string(pid_) + ") is not running\n";
    Result live = ulvostatus("-status");
    EXPECT_EQ(live.status, 0);
    EXPECT_EQ(live.err, "");

    ASSERT_EQ(signal_daemon(SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Result stopped = ulvostatus("-status");
    EXPECT_EQ(stopped.status, 101);
    EXPECT_EQ(stopped.out, live.out) << "what was read is still shown";
    EXPECT_EQ(stopped.err, not_running);
    Result vla = ulvostatus("-ProprietaryInterface -vla_occurring");
    EXPECT_EQ(vla.status, 101);
    EXPECT_EQ(vla.out, "NO\n");
    EXPECT_EQ(vla.err, not_running);
    Result unprivileged = ulvostatus("-ProprietaryInterface -vla_occurring", AS_NOBODY);
    EXPECT_EQ(unprivileged.status, 101) << unprivileged.err;
    EXPECT_NE(ulvostatus("-metrics").out.find("\nkel_ulvo_up 0\n"), std::string::npos)
        << "the down alert must fire for a stopped daemon";

    ASSERT_EQ(signal_daemon(SIGCONT), 0);
    EXPECT_EQ(ulvostatus("-ProprietaryInterface -vla_occurring", AS_NOBODY).status, 0)
        << "a live daemon, asked by any user";
    signal_daemon(SIGKILL);
    wait_exit(pid_, 5000);
    Result killed = ulvostatus("-status");
    EXPECT_EQ(killed.status, 101);
    EXPECT_EQ(killed.err, not_running);

    // A user's process that takes the killed daemon's pid is not the daemon: not for the status
    // tool, not for the metrics, and it does not refuse a new start.
    pid_t impostor = start_with_pid(pid_, std::string(AS_NOBODY) + "sleep 60");
    ASSERT_EQ(impostor, pid_) << "could not give the pid to another process";
    Result reused = ulvostatus("-ProprietaryInterface -vla_occurring");
    EXPECT_EQ(reused.status, 101);
    EXPECT_EQ(reused.err, not_running);
    EXPECT_NE(ulvostatus("-metrics").out.find("\nkel_ulvo_up 0\n"), std::string::npos);
    pid_ = 0;
    std::string restarted = start_daemon();
    EXPECT_FALSE(ends_failed(restarted)) << restarted;
    EXPECT_NE(pid_, impostor);
    kill(impostor, SIGKILL);
    waitpid(impostor, nullptr, 0);
}

// The root helper gets a fixed environment from the daemon, and sets its own PATH.
TEST_F(Trust, HelperRunsWithAMinimalEnvironment) {
    ASSERT_EQ(run(std::string("mv ") + HELPER + " " + HELPER + ".real"), 0);
    std::ofstream(HELPER) << "#!/bin/bash\nenv >>" << private_dir() << "/helper-env\nexec "
                          << HELPER << ".real \"$@\"\n";
    ASSERT_EQ(run(std::string("chmod +x ") + HELPER), 0);
    std::string status = start_daemon("KEL_ULVO_SECRET=1 PATH=/var/opt/kel-ulvo-test:$PATH");
    EXPECT_FALSE(ends_failed(status)) << status;
    std::string env = read_file(private_dir() + "/helper-env");
    EXPECT_EQ(env.find("KEL_ULVO_SECRET"), std::string::npos) << env;
    EXPECT_EQ(env.find("kel-ulvo-test"), std::string::npos) << env;
    EXPECT_NE(env.find("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n"), std::string::npos) << env;
    EXPECT_NE(env.find("KEL_ULVOD_HELPER=1\n"), std::string::npos) << env;
}

// The helper's lock is root's alone and none of its waits is without end. A user who opened
// the readable lock that an older version left holds nothing once it is replaced; a root tool
// that holds the lock for ever makes the verbs fail in seconds instead of hanging the shutdown
// with the host's connections waiting in the queue.
TEST_F(Trust, HeldRulesLockHangsNeitherStartNorShutdown) {
    const std::string lock = "/var/opt/kel/kel-ulvo/.rules.lock";
    auto held = [&lock] { return run("flock -n " + lock + " true") != 0; };
    auto hold = [&](const std::string &as) {
        run(as + "flock " + lock + " sleep 600 >/dev/null 2>&1 &");
        auto start = std::chrono::steady_clock::now();
        while (!held() && ms_since(start) < 3000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return held();
    };
    ASSERT_EQ(run("umask 022; : >>" + lock), 0);
    ASSERT_TRUE(hold(AS_NOBODY));

    auto start = std::chrono::steady_clock::now();
    std::string status = start_daemon();
    EXPECT_LT(ms_since(start), 10000);
    EXPECT_FALSE(ends_failed(status)) << status;
    ASSERT_TRUE(rules_loaded()) << status;
    for (const char *name :
         {".rules.lock", ".rules.iptables", ".rules.iptables.state", ".allow_entries"}) {
        struct stat st {};
        ASSERT_EQ(stat(("/var/opt/kel/kel-ulvo/" + std::string(name)).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, 0u) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }

    ASSERT_TRUE(hold(""));
    ASSERT_EQ(signal_daemon(SIGTERM), 0);
    double elapsed = 0;
    int exit_status = wait_exit(pid_, 60000, &elapsed);
    EXPECT_TRUE(WIFEXITED(exit_status)) << exit_status;
    EXPECT_LT(elapsed, 25000) << "two verbs, each failing after its lock wait";
    pid_ = 0;
    EXPECT_NE(read_file(EVENT_LOG).find("could not unload iptables kel-ulvo filter, 1,"),
              std::string::npos)
        << read_file(EVENT_LOG);
}

// The daemon leaves the starter's session: a signal to the process group that started it (a
// script's timeout, a Ctrl-C, a clean-up's kill -- -0) does not end it.
TEST_F(Trust, SignalToTheStartersGroupDoesNotReachTheDaemon) {
    run(std::string("rm -f ") + START_STATUS);
    run(std::string("setsid bash -c '") + DAEMON + " >/dev/null 2>&1; sleep 1; kill -TERM 0'");
    // Once its start has ended (on a busy machine, later than the starter's second).
    for (auto since = std::chrono::steady_clock::now();
         read_file(START_STATUS).find("\nend\n") == std::string::npos && ms_since(since) < 15000;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pid_ = block_pid();
    ASSERT_GT(pid_, 0) << read_file(START_STATUS);
    EXPECT_EQ(signal_daemon(0), 0) << "the daemon still runs";
    EXPECT_EQ(getsid(pid_), pid_) << "it leads a session of its own";
    EXPECT_EQ(read_file(EVENT_LOG).find("kel-ulvo exiting"), std::string::npos);
}

// A signal while the daemon prepares the kernel (before its handlers are in) waits until they
// are: the start-status file always gets its "end" (here the failed-start ending, since the
// shutdown cut the start short), never only the banner.
TEST_F(Trust, EarlySignalsLeaveACompleteStartStatus) {
    const std::string lock = "/var/opt/kel/kel-ulvo/kel-ulvod.lock";
    for (const char *signal : {"TERM", "HUP", "USR2"}) {
        run("rm -f " + std::string(START_STATUS) + " " + lock);
        // The daemon writes its pid into its lock right after the fork: signal it at once.
        run(std::string(DAEMON) +
            " >/dev/null 2>&1 & for i in $(seq 2000); do "
            "pid=$(cat " +
            lock + " 2>/dev/null); [ -n \"$pid\" ] && break; sleep 0.001; done; kill -" + signal +
            " $pid");
        std::string status;
        auto start = std::chrono::steady_clock::now();
        auto complete = [](const std::string &text) {
            return text.size() >= 4 && text.compare(text.size() - 4, 4, "end\n") == 0;
        };
        while (ms_since(start) < 15000 && !daemon_pids().empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        status = read_file(START_STATUS);
        EXPECT_TRUE(complete(status)) << signal << ":\n" << status;
        EXPECT_TRUE(daemon_pids().empty()) << signal << ": the daemon ended";
    }
    EXPECT_FALSE(rules_loaded());
    pid_ = 0;
}

// Started by a normal user, the daemon says plainly that it must run as root.
TEST_F(Trust, NotRootIsSaidPlainly) {
    int status = -1;
    std::string err = run_output(std::string(AS_NOBODY) + DAEMON + " 2>&1 >/dev/null", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "ERROR: kel-ulvod must run as root\n");
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
