#!/bin/bash
# The module's benchmark, on one simulated host:
#  - fio through NBD against an unprotected disk and against a protected
#    primary of the same size: 1 MiB sequential and 4 KiB random writes at
#    queue depth 1 and 16;
#  - the Initialize copy of a 1 GiB disk with the cap off against the copy a
#    user would make of the same image between two disks of the host:
#    nbdcopy from one NBD export to the other (its defaults: four
#    connections, 64 requests of 256 KiB in flight).  qemu-img convert's
#    figure is printed too, for comparison with earlier runs.
# Prints MB/s, IOPS and the ratios.  Run against a RelWithDebInfo build:
#   scripts/build && bench/module-fio.sh [BUILD_DIR]
# The host lives under $BENCH_TMP (/tmp; /dev/shm puts the images in memory);
# TESTS chooses the fio runs ("write 1M 1,randwrite 4k 16", "" for none) and
# COPY=0 leaves the copies out.  PERF=1 also counts, with perf stat on the
# host's simkernel after the ramp, its context switches and CPU time per
# request, and splits that CPU time between the module, the emulation, the
# rest of simkernel and the host kernel's system calls (perf record).
# TRACE=1 (for queue depth 1) traces simkernel for a second after the ramp
# (perf record of its I/O system calls and scheduler events) and breaks the
# requests down: when, after a write's payload is read, its image writes
# start and end, how long one takes and who runs it, and the reply.
# PAIR=1 also writes two unprotected disks at once, one fio job each, and
# prints one disk's rate: what a second image written beside the first
# costs this machine, where a real host's mirror is another LUN.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-${BUILD:-$ROOT/build}}" && pwd)
BIN=$BUILD/bin
HMNL=$BUILD/tests/hmnl    # a test program: run inside the host from the build
SIZE=${SIZE:-1G}
RUNTIME=${RUNTIME:-10}
REPS=${REPS:-3}
BENCH_TMP=${BENCH_TMP:-/tmp}
TESTS=${TESTS-write 1M 1,write 1M 16,randwrite 4k 1,randwrite 4k 16}
COPY=${COPY:-1}
PERF=${PERF:-0}
TRACE=${TRACE:-0}
PAIR=${PAIR:-0}
PG=5fa1c2d3-0000-0000-0000-000000000000     # the primary's signature GUID
SIG=5fa1c2d3
MG=60000000-1111-2222-3333-444455556666      # the mirror LUN
MG2=60000000-1111-2222-3333-444455556667

for t in "$BIN/simhost" "$HMNL"; do
  [ -x "$t" ] || { echo "missing $t (build first)" >&2; exit 1; }
done
command -v python3 >/dev/null || { echo "python3 is needed to read fio's output" >&2; exit 1; }

DIR=$(mktemp -d "$BENCH_TMP/zelmir-bench.XXXXXX")
cleanup() {
  "$BIN/simhost" stop "$DIR" >/dev/null 2>&1 || "$BIN/simhost" crash "$DIR" >/dev/null 2>&1 || true
  rm -rf "$DIR"
}
trap cleanup EXIT

# sdb protected primary, sdc its mirror; sdd the unprotected disk; sde a copy target.
"$BIN/simhost" create "$DIR" --module "$BUILD/lib/zelmir.so" \
  --disk sdb:$SIZE --lun sdc:$SIZE:$MG --disk sdd:$SIZE --lun sde:$SIZE:$MG2 >/dev/null

bytes=$(python3 -c "import sys;s=sys.argv[1];m={'K':1<<10,'M':1<<20,'G':1<<30};print(int(s[:-1])*m[s[-1]] if s[-1] in m else int(s))" "$SIZE")
# The bitmap file as zelmird lays it out: superblock, then one bit per 512 KiB chunk.
mkdir -p "$DIR/upper/boot/vyrbitmap"
python3 - "$DIR/upper/boot/vyrbitmap/hm_$PG.bitmap" "$bytes" <<'EOF'
import struct, sys
path, size = sys.argv[1], int(sys.argv[2])
chunks = (size // 512 + 1023) // 1024
pages = ((chunks + 7) // 8 + 4095) // 4096
sb = struct.pack('<II16sIIQIII', 0x6D746962, 3, b'\0' * 16, 1, 0, size // 512, 0, 524288, 5)
with open(path, 'wb') as f:
    f.write(sb.ljust(4096, b'\0') + b'\0' * (4096 * pages))
EOF

# Real data on the disks that are copied, so no copier can skip zeroes.
# Both images are copies of one file, made alike.
dd if=/dev/urandom of="$DIR/disks/data.img" bs=1M count=$((bytes >> 20)) status=none
cp --sparse=never "$DIR/disks/data.img" "$DIR/disks/sdd.img"
cp --sparse=never "$DIR/disks/data.img" "$DIR/disks/sdb.img"
rm "$DIR/disks/data.img"
# Every run starts with the images written back and out of this machine's
# page cache (tmpfs keeps its pages: they are the images).  On the root
# disk a write into a page under write-back waits for it, and how fast a
# cached page takes a write depends on how the page came into the cache:
# 4 KiB writes into an image written by dd ran at half the rate of those
# into its cp, 1 MiB writes the other way round.  Left as they were, the
# disk prepared or written last before a run decided the ratio.
settle() {
  sync
  echo 1 >/proc/sys/vm/drop_caches 2>/dev/null || true
}
settle

"$BIN/simhost" start "$DIR" >/dev/null
hx() { "$BIN/simhost" exec "$DIR" -- "$@"; }
uri() { echo "nbd+unix:///$1?socket=/var/run/simkernel/nbd.sock"; }

hx "$HMNL" add $PG /dev/sdb $SIG $MG /dev/sdc >/dev/null
hx "$HMNL" status $PG | grep -q 'retcode=0 .*bitmap=1' || { echo "protection did not start" >&2; hx "$HMNL" status $PG >&2; exit 1; }

# The host's kernel process, seen from outside.
kernel_pid() {
  local p
  for p in $(pgrep -x simkernel); do
    [ "$(readlink "/proc/$p/root")" = "$DIR/run/root" ] && { echo "$p"; return; }
  done
}

# perf_run PID SECONDS OUT: simkernel's context switches and CPU ms, then its
# CPU split by object, into OUT.stat and OUT.dso.
perf_run() {
  local half=$(( $2 / 2 > 0 ? $2 / 2 : 1 ))
  perf stat -x, -e context-switches,task-clock -p "$1" -o "$3.stat" -- sleep "$half" 2>/dev/null
  perf record -q -F 2000 -e cpu-clock -p "$1" -o "$3.data" -- sleep "$half" >/dev/null 2>&1
  perf report -q -i "$3.data" --sort dso --stdio 2>/dev/null >"$3.dso"
  echo "$half" >"$3.secs"
}

# trace_run PID OUT: a second of simkernel's I/O system calls and scheduler
# events, as perf script prints them, into OUT.trace.
trace_run() {
  perf record -q -o "$2.tdata" -p "$1" -e syscalls:sys_enter_recvfrom,syscalls:sys_exit_recvfrom \
    -e syscalls:sys_enter_pwritev,syscalls:sys_exit_pwritev,syscalls:sys_enter_sendmsg \
    -e sched:sched_switch -- sleep 1 >/dev/null 2>&1
  perf script -i "$2.tdata" -F comm,tid,time,event,trace >"$2.trace" 2>/dev/null
}

# fio's JSON on stdin -> "MBps IOPS" of one job, the mean of its jobs.
fio_rate() {
  python3 -c "import json,sys;t=sys.stdin.read();j=[x['write'] for x in json.loads(t[t.index('{'):])['jobs']];print('%.1f %.0f'%(sum(x['bw_bytes'] for x in j)/len(j)/1e6,sum(x['iops'] for x in j)/len(j)))"
}

# fio_run DISK RW BS QD -> "MBps IOPS", and with PERF=1 "cs/request
# CPU-µs/request module% emulation% simkernel% syscalls%" after them; with
# TRACE=1 the run's breakdown is kept for the report.
fio_run() {
  local out="$DIR/perf.$1" res
  settle
  if [ "$PERF" = 1 ]; then
    ( sleep 2.5; perf_run "$(kernel_pid)" $((RUNTIME - 1)) "$out" ) &
  elif [ "$TRACE" = 1 ]; then
    ( sleep 2.5; trace_run "$(kernel_pid)" "$out" ) &
  fi
  res=$(hx fio --name=b --ioengine=nbd --uri="$(uri "$1")" --rw="$2" --bs="$3" --iodepth="$4" \
    --size="$SIZE" --time_based --runtime="$RUNTIME" --ramp_time=2 --randrepeat=0 \
    --output-format=json 2>/dev/null | fio_rate)
  wait
  if [ "$PERF" = 1 ]; then
    echo "$res $(perf_split "$out" "${res#* }")"
  else
    [ "$TRACE" = 1 ] && python3 "$ROOT/bench/trace-breakdown.py" "$out.trace" "$2 $3 qd$4 $1" >>"$DIR/breakdown"
    echo "$res"
  fi
}

# pair_run RW BS QD -> "MBps IOPS" of one of two unprotected disks written at
# once (sdd and sde, one job each, the mean of the two): a plain request's
# rate when another disk's write of its size runs beside it, as a mirror's
# does on this one machine.
pair_run() {
  settle
  hx fio --ioengine=nbd --rw="$1" --bs="$2" --iodepth="$3" --size="$SIZE" --time_based \
    --runtime="$RUNTIME" --ramp_time=2 --randrepeat=0 --output-format=json \
    --name=a --uri="$(uri sdd)" --name=b --uri="$(uri sde)" 2>/dev/null | fio_rate
}

# perf_split OUT IOPS: the per-request figures of a perf_run.
perf_split() {
  python3 - "$1" "$2" <<'PY'
import sys
out, iops = sys.argv[1], float(sys.argv[2])
secs = float(open(out + '.secs').read())
stat = {l.split(',')[2]: float(l.split(',')[0]) for l in open(out + '.stat') if l.count(',') > 2}
reqs = iops * secs
share = {'zelmir.so': 0.0, 'libsimlinux.so': 0.0, 'simkernel': 0.0, 'kernel': 0.0}
for l in open(out + '.dso'):
    f = l.split()
    if len(f) < 2 or not f[0].endswith('%'): continue
    name = f[1]
    key = 'kernel' if 'kernel' in name else next((k for k in share if k in name), 'simkernel')
    share[key] += float(f[0][:-1])
print('%.2f %.1f %.0f %.0f %.0f %.0f' % (stat['context-switches'] / reqs, stat['task-clock'] * 1000 / reqs,
      share['zelmir.so'], share['libsimlinux.so'], share['simkernel'], share['kernel']))
PY
}

# The two disks alternate, REPS times, and each reports its median: the host
# shares the machine, so single runs wander.
median() { python3 -c "import sys,statistics;print(statistics.median(float(x) for x in sys.argv[1:]))" "$@"; }
printf '%-22s %12s %12s %12s %12s %8s' test plain_MB/s plain_IOPS prot_MB/s prot_IOPS ratio
[ "$PAIR" = 1 ] && printf ' %12s %10s' pair_IOPS prot/pair
echo
IFS=, read -r -a specs <<<"$TESTS"
perf_lines=()
for spec in "${specs[@]}"; do
  set -- $spec
  pm=(); pi=(); qm=(); qi=(); wi=()
  for ((r = 0; r < REPS; r++)); do
    read -r a b pp < <(fio_run sdd "$1" "$2" "$3"); pm+=("$a"); pi+=("$b")
    [ -n "$pp" ] && perf_lines+=("$(printf '%-22s %-10s %s' "$1 $2 qd$3" plain "$pp")")
    read -r a b pp < <(fio_run sdb "$1" "$2" "$3"); qm+=("$a"); qi+=("$b")
    [ -n "$pp" ] && perf_lines+=("$(printf '%-22s %-10s %s' "$1 $2 qd$3" protected "$pp")")
    if [ "$PAIR" = 1 ]; then read -r a b < <(pair_run "$1" "$2" "$3"); wi+=("$b"); fi
  done
  pmb=$(median "${pm[@]}"); piops=$(median "${pi[@]}")
  qmb=$(median "${qm[@]}"); qiops=$(median "${qi[@]}")
  ratio=$(python3 -c "print('%.2f'%($qiops/$piops if $piops else 0))")
  printf '%-22s %12s %12s %12s %12s %8s' "$1 $2 qd$3" "$pmb" "$piops" "$qmb" "$qiops" "$ratio"
  if [ "$PAIR" = 1 ]; then
    wiops=$(median "${wi[@]}")
    printf ' %12s %10s' "$wiops" "$(python3 -c "print('%.2f'%($qiops/$wiops if $wiops else 0))")"
  fi
  echo
done

if [ "$PERF" = 1 ]; then
  echo
  echo "simkernel per request: context switches, CPU µs; its CPU's share (%) in the module,"
  echo "the emulation, the rest of simkernel (NBD server, block layer's callers) and system calls"
  printf '%-22s %-10s %s\n' test disk "cs/req cpu_us/req module emulation simkernel syscalls"
  printf '%s\n' "${perf_lines[@]}"
fi

if [ "$TRACE" = 1 ]; then
  echo
  echo "traced requests (sdd plain, sdb protected): µs after the payload was read, medians"
  cat "$DIR/breakdown"
fi

[ "$COPY" = 1 ] || exit 0

# Initialize with the cap off, against plain copies of the same image.
hx "$HMNL" speed $PG 4000000000 >/dev/null
ti=(); tn=(); tq=()
since() { python3 -c "import sys,time;print(time.time() - float(sys.argv[1]))" "$1"; }
for ((r = 0; r < REPS; r++)); do
  t0=$(date +%s.%N)
  hx "$HMNL" cmd 8 $PG >/dev/null
  hx "$HMNL" wait $PG 2 set 3600 >/dev/null
  ti+=("$(since "$t0")")
  # The same image between the two unprotected disks, as a user would copy a
  # disk: nbdcopy between the exports (multi-conn, many requests in flight).
  t0=$(date +%s.%N)
  hx nbdcopy "$(uri sdd)" "$(uri sde)"
  tn+=("$(since "$t0")")
  # qemu-img convert (16 requests in flight, out of order): the baseline of
  # earlier runs, kept for comparison.
  t0=$(date +%s.%N)
  hx qemu-img convert -n -m 16 -W -f raw -O raw "$(uri sdd)" "$(uri sde)"
  tq+=("$(since "$t0")")
done
python3 - "$bytes" "$(median "${ti[@]}")" "$(median "${tn[@]}")" "$(median "${tq[@]}")" <<'EOF'
import sys
b, ti, tn, tq = int(sys.argv[1]), *map(float, sys.argv[2:])
print()
print('%-22s %12s %12s %8s' % ('copy of the disk', 'MB/s', 'seconds', 'module/it'))
for name, t in (('initialize (module)', ti), ('nbdcopy', tn), ('qemu-img convert', tq)):
    print('%-22s %12.1f %12.2f %8.2f' % (name, b / t / 1e6, t, t / ti))
EOF
