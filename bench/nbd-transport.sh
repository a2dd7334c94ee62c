#!/usr/bin/env bash
# The cost of simkernel's NBD transport against a well-kept NBD server: fio's
# nbd engine writes 1 MiB sequential and 4 KiB random blocks at queue depth 1
# and 16 into a 1G simkernel disk, and in the same run into nbdkit's file
# plugin serving a file of the same size on the same file system. Both run
# inside one simulated host, so the clients, sockets and disks are alike.
# The two servers alternate REPS times per job and each reports its median,
# since the machine may be shared. The host lives under $BENCH_TMP (/tmp;
# /dev/shm puts the images in memory); TESTS chooses the jobs.
#
#   bench/nbd-transport.sh            # uses build/ (scripts/build)
#   BUILD=build-x RUNTIME=5 bench/nbd-transport.sh
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-$PWD/build}
BUILD=$(cd "$BUILD" && pwd)
SIMHOST=$BUILD/bin/simhost
RUNTIME=${RUNTIME:-10}
REPS=${REPS:-3}
BENCH_TMP=${BENCH_TMP:-/tmp}
TESTS=${TESTS:-write 1m 1,write 1m 16,randwrite 4k 1,randwrite 4k 16}
SIZE=1G
SIMKERNEL_SOCK=/var/run/simkernel/nbd.sock
NBDKIT_SOCK=/var/run/bench-nbdkit.sock
WORK=""
HOST=""

inside() { "$SIMHOST" exec "$HOST" -- "$@"; }

cleanup() {
  if [ -n "$HOST" ] && "$SIMHOST" status "$HOST" >/dev/null 2>&1; then
    "$SIMHOST" crash "$HOST" >/dev/null 2>&1 || true   # ends nbdkit with the host
  fi
  if [ -n "$WORK" ]; then rm -rf -- "$WORK"; fi
}

boot_host() {
  WORK=$(mktemp -d "$BENCH_TMP/zelmir-bench-XXXXXX")
  HOST=$WORK/host
  "$SIMHOST" create "$HOST" --disk "sdb:$SIZE" --module "$BUILD/lib/testmod.so"
  "$SIMHOST" start "$HOST"
  # The nbdkit file sits beside simkernel's images: same file system, and
  # reached by the bind mount, not through the overlay.
  truncate -s "$SIZE" "$HOST/disks/nbdkit.img"
  inside nbdkit -U "$NBDKIT_SOCK" -P /var/run/bench-nbdkit.pid file /var/lib/simhost/disks/nbdkit.img
}

# fio_job URI RW BS DEPTH -> "bytes_per_second iops"
fio_job() {
  inside fio --name=bench --ioengine=nbd --uri="$1" --rw="$2" --bs="$3" --iodepth="$4" \
    --size="$SIZE" --runtime="$RUNTIME" --time_based --numjobs=1 --output-format=json |
    python3 -c 'import json,sys; t=sys.stdin.read(); w=json.loads(t[t.index("{"):])["jobs"][0]["write"]; print(w["bw_bytes"], w["iops"])'
}

main() {
  trap cleanup EXIT
  [ -x "$SIMHOST" ] || { echo "no $SIMHOST: run scripts/build first" >&2; exit 1; }
  boot_host
  local sim_uri="nbd+unix:///sdb?socket=$SIMKERNEL_SOCK"
  local kit_uri="nbd+unix:///?socket=$NBDKIT_SOCK"
  printf '%-22s %12s %10s %12s %10s %8s\n' job "simkernel" "" "nbdkit" "" ratio
  printf '%-22s %12s %10s %12s %10s %8s\n' "" MB/s IOPS MB/s IOPS sim/kit
  local job rw bs depth r specs
  IFS=, read -r -a specs <<<"$TESTS"
  for job in "${specs[@]}"; do
    read -r rw bs depth <<<"$job"
    local s=() k=()
    for ((r = 0; r < REPS; r++)); do
      s+=("$(fio_job "$sim_uri" "$rw" "$bs" "$depth")")
      k+=("$(fio_job "$kit_uri" "$rw" "$bs" "$depth")")
    done
    python3 - "$rw $bs qd$depth" "${s[@]}" "${k[@]}" <<'EOF'
import statistics, sys
name, runs = sys.argv[1], [tuple(map(float, a.split())) for a in sys.argv[2:]]
n = len(runs) // 2
med = lambda rs, i: statistics.median(r[i] for r in rs)
sbw, siops = med(runs[:n], 0), med(runs[:n], 1)
kbw, kiops = med(runs[n:], 0), med(runs[n:], 1)
ratio = siops / kiops if kiops else float("nan")
print(f"{name:<22} {sbw/1e6:12.1f} {siops:10.0f} {kbw/1e6:12.1f} {kiops:10.0f} {ratio:8.2f}")
EOF
  done
  "$SIMHOST" stop "$HOST"
}

main "$@"
