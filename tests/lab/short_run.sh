#!/bin/bash
# A short outbreak lab run (12 hosts, no throttle and the throttle everywhere): the throttled
# worm must infect fewer hosts in the same time, and none of the lab's namespaces may be left
# with a process in it afterwards.
#
# usage: short_run.sh BUILD_DIR   (as root; exit 125 when it cannot run here)
set -uo pipefail
BUILD=$(readlink -f "${1:?usage: short_run.sh BUILD_DIR}")
SOURCE=$(dirname "$(readlink -f "$0")")/../..
if [ "$(id -u)" -ne 0 ] || ! unshare --net --mount true 2>/dev/null; then
    if [ "${CI:-}" = true ]; then
        echo "FAIL: the lab needs root and namespaces, and under CI it may not be skipped" >&2
        exit 1
    fi
    echo "SKIP: the lab needs root and namespaces" >&2
    exit 125
fi
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
"$SOURCE/scripts/outbreak" --hosts 12 --seconds 20 --scenarios "none all" --no-build \
    --build-dir "$BUILD" --out "$OUT" 2>&1 | tr '\r' '\n' | grep -v 'vulnerable hosts infected *$'
[ -s "$OUT/outbreak.csv" ] || { echo "FAIL: no results"; exit 1; }
infected() { awk -F, -v s="$1" '$1 == s && $4 != "" { n++ } END { print n + 0 }' "$OUT/outbreak.csv"; }
none=$(infected none)
all=$(infected all)
echo "infected in 20 s: $none without the throttle, $all with it"
status=0
if [ "$all" -ge "$none" ] || [ "$none" -lt 2 ]; then
    echo "FAIL: the throttle did not slow the worm"
    status=1
fi
# A namespace's number may be reused by another program's namespace once the lab's is gone:
# only a program of the lab's own still in one counts.
while read -r ns; do
    for task in /proc/[0-9]*; do
        if [ "$(readlink "$task/ns/net" 2>/dev/null)" = "$ns" ]; then
            exe=$(readlink "$task/exe" 2>/dev/null)
            case "${exe##*/}" in
            outbreak-* | kel-ulvod | kel-ulvo-* | ulvostatus)
                echo "FAIL: process ${task#/proc/} ($exe) is still in the lab's namespace $ns"
                status=1
                ;;
            esac
        fi
    done
done <"$OUT/outbreak-namespaces.txt"
[ -s "$OUT/outbreak.svg" ] || { echo "FAIL: no plot"; status=1; }
exit $status
