#!/usr/bin/env bash
# The host-mirror daemon on a simulated host: a plain disk and a LUN, zelmird
# started, a protection made and synchronised through the local protocol
# (libmirapi), writes through NBD, the status and the files, a CDP mark over
# TCP from inside the host. The host is stopped and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build}

PRIMARY_SIG=5d3f2a10
PRIMARY=5d3f2a10-0000-0000-0000-000000000000
MIRROR=6c3f1b2a-1111-2222-3333-444455556666

step() { printf '\n== %s\n' "$*"; }

step "building"
cmake -S . -B "$BUILD" -DZEL_TESTS=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target simhost simkernel simctl zelmir mirapi \
  zelmird zelmird_client zelagt zelpub update_bootimage >/dev/null

WORK=$(mktemp -d /tmp/zelmir-demo.XXXXXX)
HOST=$WORK/host
SIMHOST=$BUILD/bin/simhost
cleanup() {
  "$SIMHOST" stop "$HOST" >/dev/null 2>&1 || "$SIMHOST" crash "$HOST" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT
in_host() { "$SIMHOST" exec "$HOST" -- "$@"; }
client() { in_host /usr/local/zelmir/bin/zelmird_client "$@"; }

step "a host with a plain disk sdb and a LUN sdc"
"$SIMHOST" create "$HOST" --disk sdb:64M --lun sdc:64M:$MIRROR
# The primary is known by its disk signature (bytes 440 to 443).
printf "\\x${PRIMARY_SIG:6:2}\\x${PRIMARY_SIG:4:2}\\x${PRIMARY_SIG:2:2}\\x${PRIMARY_SIG:0:2}" |
  dd of="$HOST/disks/sdb.img" bs=1 seek=440 conv=notrunc status=none
"$SIMHOST" start "$HOST"
in_host mkdir -p /usr/local/zelmir/conf /boot/vyrbitmap
in_host /usr/local/zelmir/bin/simctl disks

step "zelmird starts (its starter returns once the registry is back in the kernel)"
in_host /usr/local/zelmir/bin/zelmird
for _ in $(seq 50); do in_host test -S /var/run/hm_unix && break; sleep 0.1; done
echo "pid $(in_host cat /var/run/zelmir.pid)"

step "protect sdb with the LUN as mirror, and synchronise"
client protect $PRIMARY $MIRROR
client sync $PRIMARY
client wait-sync $PRIMARY 120

step "writes through NBD reach both disks"
head -c 8M /dev/urandom > "$WORK/data"
in_host nbdcopy "$WORK/data" "nbd+unix:///sdb?socket=/var/run/simkernel/nbd.sock"
if cmp -s -i 512 -n $((8 * 1024 * 1024 - 512)) "$WORK/data" "$HOST/disks/sdc.img"; then
  echo "the mirror holds the data written to the primary"
else
  echo "the mirror differs from the data written" >&2
  exit 1
fi

step "status"
client stat
echo "--- /usr/local/zelmir/conf/hmdev.conf"
in_host cat /usr/local/zelmir/conf/hmdev.conf
echo "--- /boot/hmdevs.reg"
in_host cat /boot/hmdevs.reg

step "a CDP mark over TCP (port 59191, from inside the host)"
client tcp "<?xml version=\"1.0\"?><CSocketMsgInfo><m_ParaNum>1</m_ParaNum><m_SendCommand>ZEL_RC_CMD_CREATE_CDP</m_SendCommand><m_StrParaList><string>zel_{$MIRROR}</string></m_StrParaList></CSocketMsgInfo>"
for _ in $(seq 50); do in_host grep -q "zel_call_markcdp end" /var/log/zelcdpagt-calls.log 2>/dev/null && break; sleep 0.1; done
echo "--- what the outside CDP library was asked"
in_host cat /var/log/zelcdpagt-calls.log

step "done"
