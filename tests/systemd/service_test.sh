#!/bin/bash
# The package and its unit under a real systemd: the build packed with cpack and checked with
# lintian, a minimal Debian tree booted with systemd-nspawn in a network namespace of its own,
# the package installed into it with dpkg, the unit driven through systemctl inside it, then
# the package upgraded, removed and purged. Prints one line per check and "N passed, N failed"
# at the end.
#
# usage: service_test.sh BUILD_DIR   (as root; exit 125 when it cannot run here)
#        service_test.sh --tree BUILD_DIR   only builds the cached tree (a test of its own, so
#                                           that its time is not the service test's)
set -uo pipefail
TREE_ONLY=0
if [ "${1:-}" = --tree ]; then
    TREE_ONLY=1
    shift
fi
BUILD=$(readlink -f "${1:?usage: service_test.sh BUILD_DIR}")
readonly BUILD
readonly CACHE=${KEL_ULVO_TREE_CACHE:-$BUILD/systemd}
readonly SKIP=125

skip() {
    if [ "${CI:-}" = true ]; then
        echo "FAIL: $*, and under CI a system test may not be skipped" >&2
        exit 1
    fi
    echo "SKIP: $*" >&2
    exit $SKIP
}

[ "$(id -u)" -eq 0 ] || skip "the service test needs root"
for tool in systemd-nspawn debootstrap nsenter cpack lintian; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# The minimal tree, built once and kept as a tarball named after its package list. The archive
# is the one this machine's own apt sources name.
readonly TREE_PACKAGES=systemd,systemd-sysv,dbus,iptables,kmod,libmnl0,libnetfilter-queue1,libpcap0.8,procps,iproute2,logrotate
tree_tarball() {
    local tarball mirror suite tmp
    tarball=$CACHE/debian-tree-$(echo "$TREE_PACKAGES" | md5sum | cut -c1-8).tar
    if [ -f "$tarball" ]; then
        echo "$tarball"
        return 0
    fi
    mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null)
    [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
    # shellcheck source=/dev/null
    suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$mirror" ] && [ -n "$suite" ] || return 1
    mkdir -p "$CACHE" && tmp=$(mktemp -d "$CACHE/tree.XXXXXX") && chmod 0755 "$tmp" || return 1
    if ! debootstrap --variant=minbase \
        --include="$TREE_PACKAGES" "$suite" "$tmp" "$mirror" >"$CACHE/debootstrap.log" 2>&1; then
        rm -rf "$tmp"
        return 1
    fi
    tar -C "$tmp" -cf "$tarball" . && rm -rf "$tmp" && echo "$tarball"
}

if ((TREE_ONLY)); then
    tarball=$(tree_tarball) || skip "debootstrap could not build a Debian tree (see $CACHE/debootstrap.log)"
    echo "tree: $tarball"
    exit 0
fi

NSPAWN=
ROOT=
DEBS=
cleanup() {
    # $! of the container's start: a positive pid, checked all the same (0 would be this
    # script's own process group).
    if [[ $NSPAWN =~ ^[1-9][0-9]*$ ]] && kill -0 "$NSPAWN" 2>/dev/null; then
        kill -TERM "$NSPAWN"
        for _ in $(seq 100); do kill -0 "$NSPAWN" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$NSPAWN" 2>/dev/null
    fi
    [ -z "$ROOT" ] || rm -rf "$ROOT"
    [ -z "$DEBS" ] || rm -rf "$DEBS" "$DEBS.log"
}
# The container goes whatever ends the test: a signal ends the script through its EXIT trap,
# and systemd-nspawn, started with a parent-death signal, dies with the script even when the
# script is killed outright (the container's init dies with systemd-nspawn).
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# What a run that was killed outright left behind (its container died with it; the EXIT trap
# did not run): one service test runs at a time in a build tree.
mkdir -p "$CACHE"
rm -rf "$CACHE"/run.* "$CACHE"/deb.*
# The package, from this build.
DEBS=$(mktemp -d "$CACHE/deb.XXXXXX")
cpack --config "$BUILD/CPackConfig.cmake" -B "$DEBS" >"$DEBS.log" 2>&1 ||
    { cat "$DEBS.log" >&2; echo "cpack failed" >&2; exit 1; }
DEB=$(ls "$DEBS"/kel-ulvo_*.deb)
echo "package: $(basename "$DEB")"

tarball=$(tree_tarball) || skip "debootstrap could not build a Debian tree (see $CACHE/debootstrap.log)"
ROOT=$(mktemp -d "$CACHE/run.XXXXXX")
tar -C "$ROOT" -xf "$tarball"
chmod 0755 "$ROOT"  # the container's /: mktemp made it private, and its services are not root
cp "$DEB" "$ROOT/root/kel-ulvo.deb"

setpriv --pdeathsig KILL systemd-nspawn -D "$ROOT" --boot --register=no --keep-unit --private-network -q \
    </dev/null >"$CACHE/boot.log" 2>&1 &
NSPAWN=$!
# The container's init is the child of systemd-nspawn that runs systemd.
LEADER=
for _ in $(seq 300); do
    LEADER=$(ps -o pid=,comm= --ppid "$NSPAWN" | awk '$2 == "systemd" { print $1; exit }')
    [ -n "$LEADER" ] && break
    sleep 0.1
done
[ -n "$LEADER" ] || skip "systemd-nspawn could not boot the tree (see $CACHE/boot.log)"
# Runs a command inside the container; a background one needs its standard input closed.
ct() { nsenter -t "$LEADER" -a -- "$@" </dev/null; }
# systemctl answers once systemd's own socket is up; then it waits for the boot to finish.
state=
for _ in $(seq 120); do
    state=$(timeout 60 nsenter -t "$LEADER" -a -- systemctl is-system-running --wait 2>/dev/null \
        </dev/null)
    case "$state" in
    running | degraded) break ;;
    esac
    sleep 0.5
done
case "$state" in
running | degraded) ;;
*) skip "the container's systemd did not come up (state: ${state:-none})" ;;
esac

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAILED: $what"
        failed=$((failed + 1))
    fi
}
prop() { ct systemctl show -p "$1" --value kel-ulvod; }
rule_sets() { ct iptables -S OUTPUT | grep -c -- '-j KEL_ULVO'; }
block_present() { ct ipcs -m | grep -q '^0x4b554c56 '; }
status_line() { ct /opt/kel/kel-ulvo/bin/ulvostatus -status 2>/dev/null | awk -F': *' -v k="$1" '$1 == k { print $2 }'; }
# Fifty connections to fifty new hosts at once, by a user's program, none answered: the
# installed configuration's answer credit passes 10 of them, and the daemon must hold the rest
# (with the queue of 20 set below, the alarm rises at 16).
burst() {
    local base=$1
    ct setpriv --reuid=65534 --regid=65534 --clear-groups bash -c "for i in \$(seq 1 50); do (timeout 3 bash -c 'exec 3<>/dev/tcp/127.0.$base.'\$i'/9' 2>/dev/null &); done; sleep 1"
    [ "$(status_line 'currently queued packets')" -ge 10 ]
}
journal_has() { ct journalctl -q -t kel-ulvod --no-pager | grep -qE "$1"; }
wait_for() {
    local tries=$1
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        sleep 0.5
    done
    return 1
}
is_active() { [ "$(prop ActiveState)" = active ]; }
no_block() { ! block_present; }
start_fails() { ! ct systemctl start kel-ulvod 2>/dev/null; }
pid_changed() { local pid; pid=$(prop MainPID); [ "$pid" != 0 ] && [ "$pid" != "$1" ] && is_active; }
# The daemon's pid as the unit has it, once it has one: MainPID is 0 while the unit restarts.
main_pid() {
    local pid
    for _ in $(seq 60); do
        pid=$(prop MainPID)
        if [[ $pid =~ ^[1-9][0-9]*$ ]]; then
            echo "$pid"
            return 0
        fi
        sleep 0.5
    done
    echo "the unit had no main pid within 30 s" >&2
    return 1
}
# Signals the daemon only once the pid is checked: a positive number, of a kel-ulvod running in
# the container. "kill -9 0" (an empty MainPID) would reach the process group that runs this
# script, since nsenter keeps it.
signal_daemon() {
    local signal=$1 pid=$2
    if ! [[ $pid =~ ^[1-9][0-9]*$ ]] || [ "$(ct cat "/proc/$pid/comm" 2>/dev/null)" != kel-ulvod ]; then
        echo "not signalled: '$pid' is not the pid of a running kel-ulvod" >&2
        return 1
    fi
    ct kill "-$signal" "$pid"
}

lintian_output=$(lintian --fail-on error,warning "$DEB" 2>&1 | grep -v '^running with root')
check "lintian: no errors or warnings" test -z "$lintian_output"
[ -z "$lintian_output" ] || echo "$lintian_output"
installed=$(ct dpkg -i /root/kel-ulvo.deb 2>&1)
check "package: dpkg installs it" test "$(prop LoadState)" = loaded
check "package: the installation says how to enable it" grep -q "systemctl enable --now kel-ulvod" <<<"$installed"
check "package: on PATH and in man's path" ct bash -c 'command -v kel-ulvod && command -v ulvostatus && command -v kel-ulvo-iptables && test -e /usr/share/man/man8/kel-ulvod.8.gz -a -e /usr/share/man/man8/kel-ulvo-iptables.8.gz -a -e /usr/share/man/man5/kel-ulvo.conf.5.gz'
check "package: completion where bash looks" ct test -f /usr/share/bash-completion/completions/ulvostatus -a -f /usr/share/bash-completion/completions/kel-ulvo-iptables
check "package: the unit is known and not started" test "$(prop LoadState)/$(prop ActiveState)" = loaded/inactive
ct sed -i -e 's/^delay_queue_size=.*/delay_queue_size=20/' \
    -e 's/^delay_queue_high_watermark=.*/delay_queue_high_watermark=16/' \
    -e 's/^delay_queue_low_watermark=.*/delay_queue_low_watermark=8/' /etc/opt/kel/kel-ulvo/kel-ulvo.conf
check "package: loopback is exempt in the installed allow-list" ct grep -qx '127.0.0.0/8' /etc/opt/kel/kel-ulvo/kel-ulvo.allow
# The bursts below go to loopback addresses: this host's list exempts nothing.
ct bash -c ': >/etc/opt/kel/kel-ulvo/kel-ulvo.allow'
check "start succeeds" ct systemctl start kel-ulvod
check "the unit is active" is_active
check "the unit's umask holds for the log" test "$(ct stat -c %a /var/opt/kel/kel-ulvo/kel-ulvo.log)" = 640
echo "systemd-analyze security: $(ct systemd-analyze security kel-ulvod 2>/dev/null | tail -n 1)"
check "one set of rules is loaded" test "$(rule_sets)" = 1
check "the status block exists" block_present
check "a burst to new hosts is held" burst 1
check "journal: the start, from the daemon" journal_has 'kel-ulvo started - v'
check "journal: the alarm names the user and the program" wait_for 10 journal_has \
    'virus-like activity detected: [0-9]+ connections held for [0-9]+ new hosts; most from uid 65534 \(nobody\): [0-9]+, program bash \(pid [0-9]+\)$'
ct journalctl -q -t kel-ulvod --no-pager -g 'virus-like activity detected' | tail -n 1

# The metrics every 15 s: a good run leaves nothing in the journal, a failed one its reason.
readonly PROM=/var/lib/prometheus/node-exporter/kel_ulvo.prom
metrics_journal() { ct journalctl -q -u kel-ulvo-metrics.service --no-pager; }
ct mkdir -p /var/lib/prometheus/node-exporter
ct systemctl start kel-ulvo-metrics.service
ct systemctl start kel-ulvo-metrics.service
check "metrics: the daemon is up" ct grep -qx 'kel_ulvo_up 1' "$PROM"
check "metrics: good runs leave the journal quiet" test -z "$(metrics_journal)"

# A restart comes after the unit's RestartSec (5 s) and a start, which may wait for the helper's
# lock and run its verbs (seconds each on a busy machine): up to 30 s.
first=$(main_pid)
check "kill -9: sent to the daemon" signal_daemon KILL "$first"
check "kill -9: restarted" wait_for 60 pid_changed "$first"
check "kill -9: one restart" test "$(prop NRestarts)" = 1
check "kill -9: throttling again" burst 2

# A signal that ends the daemon in order (its way out for SIGHUP as for SIGTERM) is not a stop
# that systemctl asked for: the daemon comes back, and the journal says which signal it was.
hupped=$(main_pid)
ct systemctl kill -s HUP kel-ulvod
check "SIGHUP: restarted" wait_for 60 pid_changed "$hupped"
check "SIGHUP: the journal names the signal" journal_has 'on signal 1 \(SIGHUP\)'

# A reload checks first: a refused configuration leaves the running daemon alone.
reloaded=$(main_pid)
reload_refused() { ! ct systemctl reload kel-ulvod >/dev/null 2>&1; }
ct bash -c "cp /etc/opt/kel/kel-ulvo/kel-ulvo.conf /root/conf.good &&
    echo delay_queue_size=5000 >/etc/opt/kel/kel-ulvo/kel-ulvo.conf"
check "reload: a refused configuration fails the reload" reload_refused
check "reload: the running daemon stays" test "$(prop MainPID)" = "$reloaded"
ct cp /root/conf.good /etc/opt/kel/kel-ulvo/kel-ulvo.conf
ct systemctl reload kel-ulvod
check "reload: a good configuration restarts the daemon" wait_for 60 pid_changed "$reloaded"

ct systemctl restart kel-ulvod
check "restart: active" is_active
check "restart: exactly one set of rules" test "$(rule_sets)" = 1

# The kernel fast path under the unit's hardening: the daemon makes its IP sets through
# netlink, the rules use them, and new hosts are still held.
fast_path_rules() { ct iptables -S KEL_ULVO_QUEUE | grep -c 'match-set kel_ulvo_fast4'; }
ct bash -c 'echo kernel_fast_path=1 >>/etc/opt/kel/kel-ulvo/kel-ulvo.conf'
ct systemctl restart kel-ulvod
check "fast path: its rules are loaded under the unit" test "$(fast_path_rules)" = 4
check "fast path: a burst is still held" burst 5
ct sed -i '/^kernel_fast_path=/d' /etc/opt/kel/kel-ulvo/kel-ulvo.conf
ct systemctl restart kel-ulvod
check "fast path: off again after a restart without it" test "$(fast_path_rules)" = 0

# A hung daemon: no liveness messages, so systemd aborts and restarts it within the unit's
# watchdog time (20 s) plus its restart delay (5 s); the margin is for the abort itself.
hung=$(main_pid)
restarts=$(prop NRestarts)
check "watchdog: SIGSTOP sent to the daemon" signal_daemon STOP "$hung"
stopped_at=$SECONDS
check "watchdog: a hung daemon is restarted" wait_for 120 pid_changed "$hung"
elapsed=$((SECONDS - stopped_at))
echo "watchdog: restarted ${elapsed} s after the daemon hung"
check "watchdog: within the watchdog and restart time" test "$elapsed" -le 35
check "watchdog: one restart" test "$(prop NRestarts)" = $((restarts + 1))
check "watchdog: systemd saw the timeout" ct bash -c 'journalctl -u kel-ulvod | grep -qi "watchdog timeout"'
check "watchdog: throttling again" burst 3
check "watchdog: exactly one set of rules" test "$(rule_sets)" = 1

ct logrotate -f /etc/logrotate.d/kel-ulvo
check "logrotate: the old log kept" ct grep -q "kel-ulvo started" /var/opt/kel/kel-ulvo/kel-ulvo.log.1
check "stop succeeds" ct systemctl stop kel-ulvod
check "stop: no rules" test "$(rule_sets)" = 0
check "stop: no status block" no_block
check "stop: the rotated log goes on with the exit" ct grep -q "kel-ulvo exiting" /var/opt/kel/kel-ulvo/kel-ulvo.log

ct bash -c 'cp /etc/opt/kel/kel-ulvo/kel-ulvo.conf /root/conf && echo delay_queue_size=5 >/etc/opt/kel/kel-ulvo/kel-ulvo.conf'
check "bad configuration: start fails" start_fails
restarts=$(prop NRestarts)
sleep 8
check "bad configuration: no restart loop" test "$(prop NRestarts)" = "$restarts" -a "$(prop ActiveState)" = failed
check "bad configuration: no rules left" test "$(rule_sets)" = 0
ct systemctl start kel-ulvo-metrics.service 2>/dev/null
metrics_failure_logged() {
    local log
    log=$(metrics_journal)
    grep -q "Failed with result" <<<"$log" && grep -q "delay_queue_size is set to 5" <<<"$log"
}
check "metrics: a failed run is in the journal with its reason" wait_for 10 metrics_failure_logged

# The package's life: an upgrade keeps an edited configuration and restarts the daemon with it;
# removal stops the daemon and its rules and keeps the configuration; purging removes it.
readonly CONF=/etc/opt/kel/kel-ulvo/kel-ulvo.conf
ct bash -c "cp /root/conf $CONF && sed -i 's/^host_working_set_size=.*/host_working_set_size=7/' $CONF"
ct systemctl start kel-ulvod
before=$(main_pid)
check "upgrade: dpkg installs it again" ct dpkg -i /root/kel-ulvo.deb
check "upgrade: the edited configuration is kept" ct grep -qx host_working_set_size=7 "$CONF"
check "upgrade: the daemon was restarted" pid_changed "$before"
check "upgrade: the daemon runs with the edit" test "$(status_line 'known host working set size')" = 7
# A daemon started by hand whose program was then replaced (its exe reads "... (deleted)") is
# still found and stopped by the removal.
ct systemctl stop kel-ulvod
ct /opt/kel/kel-ulvo/bin/kel-ulvod >/dev/null 2>&1
ct bash -c 'cd /opt/kel/kel-ulvo/bin && cp kel-ulvod .new && mv -f .new kel-ulvod'
check "by hand, program replaced: running" test "$(ct ps -C kel-ulvod -o pid= | wc -l)" = 1
ct systemctl enable kel-ulvod.service kel-ulvo-metrics.timer
check "remove: dpkg removes it" ct dpkg -r kel-ulvo
check "remove: the metrics say the daemon is down" ct grep -qx 'kel_ulvo_up 0' /var/lib/prometheus/node-exporter/kel_ulvo.prom
check "remove: the daemon stopped" test "$(ct ps -C kel-ulvod -o pid= | wc -l)" = 0
check "remove: no rules" test "$(rule_sets)" = 0
check "remove: no status block" no_block
check "remove: the unit is gone" test "$(prop LoadState)" = not-found
check "remove: the configuration stays" ct grep -qx host_working_set_size=7 "$CONF"
check "purge: dpkg purges it" ct dpkg -P kel-ulvo
check "purge: the configuration is gone" ct test ! -e "$CONF"
check "purge: the state is gone" ct test ! -e /var/opt/kel/kel-ulvo
check "purge: the units are no longer enabled" ct test ! -e /etc/systemd/system/multi-user.target.wants/kel-ulvod.service -a ! -e /etc/systemd/system/timers.target.wants/kel-ulvo-metrics.timer
for dir in /opt /etc/opt /var/opt; do
    check "purge: the host's $dir stays" ct test -d "$dir"
done
reinstalled_disabled() {
    ct dpkg -i /root/kel-ulvo.deb >/dev/null 2>&1 &&
        test "$(ct systemctl is-enabled kel-ulvod 2>/dev/null)" = disabled
}
check "reinstall after purge: not enabled" reinstalled_disabled
ct dpkg -P kel-ulvo >/dev/null 2>&1

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
