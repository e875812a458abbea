#!/usr/bin/env python3
# Runs a command and samples /proc every millisecond for it and its descendants: per program name,
# the peak resident set (VmHWM) and the peak anonymous memory (RssAnon), in KiB.
# Usage: bench/peak_memory.py OUT COMMAND [ARGS...]; OUT gets "NAME hwm_kib anon_kib" lines, the
# command's standard output and error pass through, the exit status is the command's.
import os, subprocess, sys, time

def status(pid):
    fields = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.split()
    except OSError:
        return None
    return fields

def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []

out, command = sys.argv[1], sys.argv[2:]
child = subprocess.Popen(command)
peaks = {}
while child.poll() is None:
    pending, seen = [child.pid], []
    while pending:
        pid = pending.pop()
        seen.append(pid)
        pending += children(pid)
    for pid in seen:
        s = status(pid)
        if not s or "VmHWM" not in s:
            continue
        name = s["Name"][0]
        hwm, anon = int(s["VmHWM"][0]), int(s.get("RssAnon", ["0"])[0])
        old = peaks.get(name, (0, 0))
        peaks[name] = (max(old[0], hwm), max(old[1], anon))
    time.sleep(0.001)
with open(out, "w") as f:
    for name, (hwm, anon) in sorted(peaks.items()):
        f.write("%s %d %d\n" % (name, hwm, anon))
sys.exit(child.returncode)
