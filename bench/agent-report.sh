#!/usr/bin/env bash
# What qorcd's report costs as a host grows: on a host with 2 disks and on one
# with 64 (half plain disks, half LUNs of the maker's storage), in one run,
#  - GET_CLIENT_INFO (6) from the tests' managing server: the whole exchange,
#    which wakes the scan, waits its second, refreshes the inventory and
#    writes the full report;
#  - the heartbeat's report: from the moment the managing server accepts a
#    heartbeat to the moment its whole report has arrived (the lock, the
#    report and its transfer);
#  - on each host, the latency of one GET_CLIENT_INFO while CONCURRENT (20)
#    others run at once;
#  - on each host, the heartbeats' period while CONCURRENT GET_CLIENT_INFO
#    run without pause (median and longest gap between two arrivals; the
#    period is 5 seconds).
# Prints the medians in milliseconds and the 64/2 ratios.  Run against a
# RelWithDebInfo build:
#   scripts/build && bench/agent-report.sh [BUILD_DIR]
#   REPS=9 HEARTBEATS=6 CONCURRENT=20 bench/agent-report.sh
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-${BUILD:-$ROOT/build}}
BUILD=$(cd "$BUILD" && pwd)
SIMHOST=$BUILD/bin/simhost
QORSERVER=$BUILD/tests/qorserver   # a test program: the tests' managing server
REPS=${REPS:-5}
HEARTBEATS=${HEARTBEATS:-6}
CONCURRENT=${CONCURRENT:-20}
CLIENT_PORT=59190
SERVER_PORT=59210
SIZE=16M

for t in "$SIMHOST" "$QORSERVER" "$BUILD/bin/qorcd"; do
  [ -x "$t" ] || { echo "missing $t (build first)" >&2; exit 1; }
done
command -v python3 >/dev/null || { echo "python3 is needed for the medians" >&2; exit 1; }

WORK=$(mktemp -d /tmp/zelmir-bench-XXXXXX)
HOSTS=()
cleanup() {
  local h
  for h in "${HOSTS[@]}"; do
    "$QORSERVER" stop "$h" >/dev/null 2>&1 || true
    "$SIMHOST" stop "$h" >/dev/null 2>&1 || "$SIMHOST" crash "$h" >/dev/null 2>&1 || true
  done
  rm -rf -- "$WORK"
}
trap cleanup EXIT

median() { python3 -c "import sys,statistics;print('%.1f'%statistics.median(float(x) for x in sys.argv[1:]))" "$@"; }
ratio() { python3 -c "import sys;a,b=float(sys.argv[1]),float(sys.argv[2]);print('%.2f'%(a/b) if b else '-')" "$1" "$2"; }
# The took_us lines of qorserver's output, in milliseconds.
took_ms() { sed -n 's/^took_us=//p' | awk '{printf "%.3f\n", $1 / 1000}'; }

# The i-th disk name after sda: sdb .. sdz, sdaa .. sdaz, sdba ...
disk_name() {
  python3 -c "
import sys,string
n=int(sys.argv[1])+1; s=''
while True:
    s=string.ascii_lowercase[n%26]+s; n=n//26-1
    if n<0: break
print('sd'+s)" "$1"
}

# make_host DIR NDISKS: half plain disks, half LUNs, managed by the tests'
# server at 127.0.0.1, qorcd running.
make_host() {
  local dir=$1 n=$2 i args=()
  for ((i = 0; i < n; i++)); do
    if ((i % 2 == 0)); then
      args+=(--disk "$(disk_name "$i"):$SIZE")
    else
      args+=(--lun "$(disk_name "$i"):$SIZE:$(printf '60000000-0000-0000-0000-%012d' "$i")")
    fi
  done
  "$SIMHOST" create "$dir" "${args[@]}" >/dev/null
  "$SIMHOST" start "$dir" >/dev/null
  HOSTS+=("$dir")
  cat >"$WORK/qorcd.conf" <<CONF
<?xml version="1.0" encoding="utf-8"?>
<Tidewell>
  <ClientGUID>6f1c7a52-0000-0000-0000-00000000bec0</ClientGUID>
  <ClientAlias>bench</ClientAlias>
  <ClientPort>$CLIENT_PORT</ClientPort>
  <ServerPort>$SERVER_PORT</ServerPort>
  <IPAddrFilter/>
  <Manager>
    <ManagerGUID>bench-manager</ManagerGUID>
    <ManagerIPAddr>127.0.0.1</ManagerIPAddr>
  </Manager>
  <DiskGroupList/>
  <CDPScheduleList/>
</Tidewell>
CONF
  "$QORSERVER" conf "$dir" --write "$WORK/qorcd.conf"
}

# heartbeat_ms DIR: the median of HEARTBEATS heartbeats' reports, the first
# (made while qorcd starts) left out.  qorcd is started here, with the
# server already listening, so its first heartbeat finds it.
heartbeat_ms() {
  local dir=$1 out=$WORK/heartbeats
  "$QORSERVER" listen "$dir" "$SERVER_PORT" --count $((HEARTBEATS + 1)) \
    --limit $((HEARTBEATS * 10 + 60)) --timing >"$out" &
  local listener=$!
  "$QORSERVER" start "$dir" "$CLIENT_PORT" >/dev/null
  if ! wait "$listener"; then
    echo "$(basename "$dir"): fewer than $((HEARTBEATS + 1)) heartbeats arrived" >&2
    exit 1
  fi
  # shellcheck disable=SC2046
  median $(took_ms <"$out" | tail -n +2)
}

# get_client_info DIR: one exchange's milliseconds; fails unless qorcd
# answered status 0.
get_client_info() {
  local out
  out=$("$QORSERVER" send "$1" "$CLIENT_PORT" 6 --timing)
  if ! grep -q '^replied .* status=0 ' <<<"$out"; then
    echo "GET_CLIENT_INFO did not succeed: $(sed -n 2p <<<"$out")" >&2
    exit 1
  fi
  took_ms <<<"$out"
}

get_client_info_ms() {
  local r t=()
  get_client_info "$1" >/dev/null   # the first pays for what the later ones find warm
  for ((r = 0; r < REPS; r++)); do t+=("$(get_client_info "$1")"); done
  median "${t[@]}"
}

# One GET_CLIENT_INFO while CONCURRENT others are in flight (each holds for
# its second's wait at least, so a start 0.3 s after theirs meets them all).
loaded_ms() {
  local dir=$1 r i t=() pids
  for ((r = 0; r < REPS; r++)); do
    pids=()
    for ((i = 0; i < CONCURRENT; i++)); do
      "$QORSERVER" send "$dir" "$CLIENT_PORT" 6 >/dev/null &
      pids+=($!)
    done
    sleep 0.3
    t+=("$(get_client_info "$dir")")
    wait "${pids[@]}"
  done
  median "${t[@]}"
}

# The heartbeats' period under load: a listener takes HEARTBEATS + 1 of them
# while rounds of CONCURRENT GET_CLIENT_INFO keep qorcd busy; prints the
# median and the longest gap between arrivals, in milliseconds.
loaded_period_ms() {
  local dir=$1 out=$WORK/period i pids
  "$QORSERVER" listen "$dir" "$SERVER_PORT" --count $((HEARTBEATS + 1)) \
    --limit $((HEARTBEATS * 10 + 60)) --timing >"$out" &
  local listener=$!
  while kill -0 "$listener" 2>/dev/null; do
    pids=()
    for ((i = 0; i < CONCURRENT; i++)); do
      "$QORSERVER" send "$dir" "$CLIENT_PORT" 6 >/dev/null &
      pids+=($!)
    done
    wait "${pids[@]}"
  done
  wait "$listener" || { echo "$(basename "$dir"): heartbeats missing under load" >&2; exit 1; }
  sed -n 's/^at_us=//p' "$out" | python3 -c "
import sys,statistics
t=[int(x)/1000 for x in sys.stdin.read().split()]
g=[b-a for a,b in zip(t,t[1:])]
print('%.0f %.0f'%(statistics.median(g),max(g)))"
}

declare -A HB GCI LOADED PERIOD
for n in 2 64; do
  dir=$WORK/host$n
  echo "host with $n disks ..." >&2
  make_host "$dir" "$n"
  HB[$n]=$(heartbeat_ms "$dir")
  GCI[$n]=$(get_client_info_ms "$dir")
  LOADED[$n]=$(loaded_ms "$dir")
  PERIOD[$n]=$(loaded_period_ms "$dir")
  "$QORSERVER" stop "$dir" >/dev/null
  "$SIMHOST" stop "$dir" >/dev/null
done

printf '%-40s %10s %10s %8s\n' "median, ms" "2 disks" "64 disks" "64/2"
printf '%-40s %10s %10s %8s\n' "GET_CLIENT_INFO" "${GCI[2]}" "${GCI[64]}" "$(ratio "${GCI[64]}" "${GCI[2]}")"
printf '%-40s %10s %10s %8s\n' "heartbeat report" "${HB[2]}" "${HB[64]}" "$(ratio "${HB[64]}" "${HB[2]}")"
printf '%-40s %10s %10s %8s\n' "GET_CLIENT_INFO, $CONCURRENT others at once" "${LOADED[2]}" "${LOADED[64]}" \
  "$(ratio "${LOADED[64]}" "${LOADED[2]}")"
read -r p2 m2 <<<"${PERIOD[2]}"
read -r p64 m64 <<<"${PERIOD[64]}"
printf '%-40s %10s %10s\n' "heartbeat period under that load" "$p2" "$p64"
printf '%-40s %10s %10s\n' "longest heartbeat gap under that load" "$m2" "$m64"
