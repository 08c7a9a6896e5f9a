#!/bin/bash
# The systemd unit under a real systemd: a minimal Debian tree booted with systemd-nspawn in a
# network namespace of its own, the build installed into it, and the unit driven through
# systemctl inside it. Prints one line per check and "N passed, N failed" at the end.
#
# usage: service_test.sh BUILD_DIR   (as root; exit 125 when it cannot run here)
set -uo pipefail
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
for tool in systemd-nspawn debootstrap nsenter; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# The minimal tree, built once and kept as a tarball. The archive is the one this machine's
# own apt sources name.
tree_tarball() {
    local tarball=$CACHE/debian-tree.tar mirror suite tmp
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
        --include=systemd,systemd-sysv,dbus,iptables,libmnl0,libnetfilter-queue1,procps,iproute2,logrotate \
        "$suite" "$tmp" "$mirror" >"$CACHE/debootstrap.log" 2>&1; then
        rm -rf "$tmp"
        return 1
    fi
    tar -C "$tmp" -cf "$tarball" . && rm -rf "$tmp" && echo "$tarball"
}

tarball=$(tree_tarball) || skip "debootstrap could not build a Debian tree (see $CACHE/debootstrap.log)"
ROOT=$(mktemp -d "$CACHE/run.XXXXXX")
NSPAWN=
cleanup() {
    if [ -n "$NSPAWN" ] && kill -0 "$NSPAWN" 2>/dev/null; then
        kill -TERM "$NSPAWN"
        for _ in $(seq 100); do kill -0 "$NSPAWN" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$NSPAWN" 2>/dev/null
    fi
    rm -rf "$ROOT"
}
trap cleanup EXIT
tar -C "$ROOT" -xf "$tarball"
chmod 0755 "$ROOT"  # the container's /: mktemp made it private, and its services are not root
DESTDIR=$ROOT cmake --install "$BUILD" >/dev/null || { echo "install into the tree failed" >&2; exit 1; }

systemd-nspawn -D "$ROOT" --boot --register=no --keep-unit --private-network -q \
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
# Twenty connections to twenty new hosts at once: the daemon must hold them.
burst() {
    local base=$1
    ct bash -c "for i in \$(seq 1 20); do (timeout 3 bash -c 'exec 3<>/dev/tcp/127.0.$base.'\$i'/9' 2>/dev/null &); done; sleep 1"
    [ "$(status_line 'currently queued packets')" -ge 10 ]
}
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

check "start succeeds" ct systemctl start kel-ulvod
check "the unit is active" is_active
check "the unit's umask holds for the log" test "$(ct stat -c %a /var/opt/kel/kel-ulvo/kel-ulvo.log)" = 640
echo "systemd-analyze security: $(ct systemd-analyze security kel-ulvod 2>/dev/null | tail -n 1)"
check "one set of rules is loaded" test "$(rule_sets)" = 1
check "the status block exists" block_present
check "a burst to new hosts is held" burst 1

first=$(prop MainPID)
ct kill -9 "$first"
check "kill -9: restarted" wait_for 30 pid_changed "$first"
check "kill -9: one restart" test "$(prop NRestarts)" = 1
check "kill -9: throttling again" burst 2

ct systemctl restart kel-ulvod
check "restart: active" is_active
check "restart: exactly one set of rules" test "$(rule_sets)" = 1

# A hung daemon: no liveness messages, so systemd aborts and restarts it within the unit's
# watchdog time (20 s) plus its restart delay (5 s); the margin is for the abort itself.
hung=$(prop MainPID)
restarts=$(prop NRestarts)
ct kill -STOP "$hung"
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

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
