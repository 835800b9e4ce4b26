#!/usr/bin/python3
"""Whole commands timed side by side, for a shared machine whose speed drifts.

    bench/run_alternating.py ROUNDS COMMAND... (each COMMAND one shell string)

Runs every command once per round, the order reversed every other round, so
that no command always goes first.  Prints each command's median and least
wall seconds and its median user seconds, then, for each command but the
last, the median over the rounds of its time divided by the last command's
time in the same round (with the smallest and largest such ratio): on a
machine whose speed changes from minute to minute, the ratio within a round
moves less than either time.  Output goes nowhere; a command that fails
stops the run.

Example: bench/run_alternating.py 11 "kaltro-svm train -q -s 3 reg.txt m1" \\
    "svm-train -q -s 3 reg.txt m2"
"""
import resource
import statistics
import subprocess
import sys
import time


def run(cmd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_utime
    start = time.monotonic()
    subprocess.run(cmd, shell=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    wall = time.monotonic() - start
    return wall, resource.getrusage(resource.RUSAGE_CHILDREN).ru_utime - before


def main():
    if len(sys.argv) < 3 or not sys.argv[1].isdigit() or int(sys.argv[1]) < 1:
        sys.exit(__doc__)
    rounds, cmds = int(sys.argv[1]), sys.argv[2:]
    times = {c: [] for c in cmds}
    for r in range(rounds):
        for c in cmds if r % 2 == 0 else cmds[::-1]:
            times[c].append(run(c))
    for c in cmds:
        wall = [w for w, _ in times[c]]
        user = [u for _, u in times[c]]
        print("%s\n  wall median %.3f s, least %.3f s; user median %.3f s" %
              (c, statistics.median(wall), min(wall), statistics.median(user)))
    last = times[cmds[-1]]
    for c in cmds[:-1]:
        ratio = [a[0] / b[0] for a, b in zip(times[c], last)]
        print("%s\n  against the last: median ratio %.3f (%.3f-%.3f)" %
              (c, statistics.median(ratio), min(ratio), max(ratio)))


if __name__ == "__main__":
    main()
