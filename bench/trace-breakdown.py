#!/usr/bin/env python3
"""One line of breakdown for a traced queue-depth-1 write run of
bench/module-fio.sh (TRACE=1): perf script output of simkernel's recvfrom,
pwritev and sendmsg system calls and its scheduler events.

A request begins with its 28-byte header read; its payload's end is the
last read on the serving thread before the reply.  Times are µs after the
payload's end, medians over the requests: when the first image write
starts, when the last one ends, when the reply is sent; then the image
writes per request, how long one takes (mean), how many of them the
serving thread ran itself, and how often hmd_ blocked in a sleep
(a wake-up seen while it polled needs none); then, for the requests whose
image writes another thread ran, when those began and ended.

  trace-breakdown.py TRACE LABEL
"""
import re
import statistics
import sys

HEADER = 28


def events(path):
    pat = re.compile(r'\s*(.+?)\s+(\d+)\s+([\d.]+):\s+(\S+):\s*(.*)')
    for line in open(path, errors='replace'):
        m = pat.match(line)
        if m:
            comm, tid, t, name, args = m.groups()
            yield float(t) * 1e6, comm, int(tid), name.split(':')[-1], args


def requests(path):
    sizes, starts = {}, {}
    cur, done = None, []
    for t, comm, tid, name, args in events(path):
        if name == 'sys_enter_recvfrom':
            m = re.search(r'size: (0x[0-9a-f]+)', args)
            sizes[tid] = int(m.group(1), 16) if m else 0
        elif name == 'sys_exit_recvfrom':
            size = sizes.pop(tid, 0)
            if size == HEADER:
                cur = {'tid': tid, 'end': None, 'writes': [], 'hmd': 0}
            elif cur and tid == cur['tid'] and not cur['writes']:
                cur['end'] = t
        elif not cur or cur['end'] is None:
            continue
        elif name == 'sys_enter_pwritev':
            starts[tid] = t
        elif name == 'sys_exit_pwritev' and tid in starts:
            cur['writes'].append((starts.pop(tid), t, tid == cur['tid']))
        elif name == 'sched_switch' and 'prev_comm=hmd_' in args and 'prev_state=R' not in args:
            cur['hmd'] += 1
        elif name == 'sys_enter_sendmsg' and tid == cur['tid']:
            if cur['writes']:
                cur['reply'] = t
                done.append(cur)
            cur = None
    return done


def main():
    path, label = sys.argv[1], sys.argv[2]
    reqs = requests(path)
    if not reqs:
        print('%-28s no request traced' % label)
        return
    med = statistics.median
    first = med(r['writes'][0][0] - r['end'] for r in reqs)
    last = med(max(w[1] for w in r['writes']) - r['end'] for r in reqs)
    reply = med(r['reply'] - r['end'] for r in reqs)
    per = statistics.mean(len(r['writes']) for r in reqs)
    one = statistics.mean(w[1] - w[0] for r in reqs for w in r['writes'])
    own = statistics.mean(sum(w[2] for w in r['writes']) for r in reqs)
    hmd = statistics.mean(min(r['hmd'], 1) for r in reqs)
    print('%-28s %6d req  first write %6.1f  last ends %6.1f  reply %6.1f  writes %.2f'
          '  one %6.1f  by writer %.2f  hmd_ slept %.2f'
          % (label, len(reqs), first, last, reply, per, one, own, hmd))
    # The writes another thread ran, apart: when they began and ended.
    other = [r for r in reqs if any(not w[2] for w in r['writes'])]
    if other:
        print('%-28s %6d req  others\' writes start %6.1f  end %6.1f  one %6.1f' % (
            '', len(other), med(min(w[0] for w in r['writes'] if not w[2]) - r['end'] for r in other),
            med(max(w[1] for w in r['writes'] if not w[2]) - r['end'] for r in other),
            statistics.mean(w[1] - w[0] for r in other for w in r['writes'] if not w[2])))


main()
