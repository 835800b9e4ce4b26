#!/usr/bin/python3
"""Large sets: training time and peak memory against n, kaltro-svm on one
thread and on all, svm-train (Debian's libsvm-tools) alongside.

    bench/run_scale.py [--sizes 100000,200000] [--kinds clouds,text]
                       [--caches 100,1000] [--threads 1,0] [--timeout 7200]
                       [--only kaltro|svm-train] [--svm PATH] [--out DIR] [--again]
                       [--report]

Every run is one line of scale.jsonl in --out (default bench/results/), written as soon as the
run ends: a later call skips the runs already there (--again runs them
anew), so the script resumes where it stopped and more sizes can be added
at any time.  --report only redraws the table and plot from that file.

Sets, written once into build-bench/work/ by `kaltro-svm generate`: clouds
(dense, 10 features, RBF gamma 1/10, the default of both programs) and text
(sparse, a vocabulary of 100 000 words, about 50 a line, unit rows, RBF
gamma 1).  Both programs: C-SVC, -c 1 -e 0.001, the given cache in MB,
shrinking.  Each run: whole-process wall seconds and peak resident memory
from GNU time, the objective (kaltro prints w, svm-train minus w as "obj
="), and the load average of the minute before it started, since the
machine may be shared.  A run past --timeout is recorded as such, with
the peak memory it had reached by then: the least its whole run takes.

Writes scale.md (the table and the exponent b of t ~ n^b,
fitted by least squares on log t against log n for each series of at least
two sizes) and scale_KIND.png (log-log, gnuplot).  Needs:
libsvm-tools, gnuplot, time.
"""
import argparse
import json
import math
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
WORK = os.path.join(BUILD, "work")
OUT = os.path.join(ROOT, "bench", "results")
LOG = os.path.join(OUT, "scale.jsonl")


def set_out(path):
    global OUT, LOG
    OUT = os.path.abspath(path)
    LOG = os.path.join(OUT, "scale.jsonl")

# kind: (generate options, gamma or None for the default 1/d)
SETS = {
    "clouds": (["--kind", "clouds", "--seed", "1"], None),
    "text": (["--kind", "text", "-d", "100000", "--nnz", "50", "--seed", "1"], "1"),
}


def data_file(svm, kind, n):
    path = os.path.join(WORK, "scale-%s-%d.txt" % (kind, n))
    if not os.path.exists(path):
        tmp = path + ".part"
        subprocess.run([svm, "generate"] + SETS[kind][0] + [str(n), tmp], check=True,
                       stdout=subprocess.DEVNULL)
        os.rename(tmp, path)
    return path


def command(svm, trainer, threads, cache, kind, data):
    gamma = SETS[kind][1]
    g = ["-g", gamma] if gamma else []
    model = os.path.join(WORK, "scale.model")
    if trainer == "kaltro":
        return [svm, "train", "-q", "-j", str(threads), "-t", "2", "-c", "1", "-e", "0.001",
                "-m", str(cache)] + g + [data, model]
    return ["svm-train", "-s", "0", "-t", "2", "-c", "1", "-e", "0.001", "-m", str(cache),
            "-h", "1"] + g + [data, model]


def field(text, name):
    for line in text.splitlines():
        at = line.find(name)
        if at == 0 or (at > 0 and line[at - 1] == " "):
            return line[at + len(name):].strip().split()[0].strip(",")
    return None


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def peak_kb(pid):
    """Highest resident kB so far of the trainer that GNU time (pid) runs."""
    best = 0
    for c in children(pid):
        try:
            with open("/proc/%d/status" % c) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        best = max(best, int(line.split()[1]))
        except OSError:
            pass
    return best


def run(cmd, timeout):
    """One whole run: a record of wall seconds, peak MB, output fields."""
    tfile = os.path.join(WORK, "scale-time.txt")
    with open("/proc/loadavg") as f:
        load = float(f.read().split()[0])
    rec = {"load": load}
    p = subprocess.Popen(["/usr/bin/time", "-f", "%e %M", "-o", tfile] + cmd, cwd=WORK,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The trainer's peak so far, read every second: a run stopped at the
    # time-out still shows how much memory it had taken, at least.
    seen = 0
    with ThreadPoolExecutor(1) as pool:
        talk = pool.submit(p.communicate)
        start = time.monotonic()
        while not talk.done():
            seen = max(seen, peak_kb(p.pid))
            if time.monotonic() - start > timeout:
                for pid in children(p.pid):
                    os.kill(pid, signal.SIGKILL)
                try:  # GNU time reaps the trainer and ends
                    talk.result(timeout=10)
                except TimeoutError:
                    p.kill()
                    talk.result()
                rec.update(status="timeout", seconds=float(timeout))
                if seen:
                    rec["peak_mb_at_least"] = seen / 1024.0
                return rec
            time.sleep(min(1.0, 0.05 + (time.monotonic() - start) / 10))
        out, err = talk.result()
    if p.returncode != 0:
        rec.update(status="failed: " + (err.strip().splitlines() or ["?"])[-1])
        return rec
    with open(tfile) as f:
        sec, kb = f.read().split()[-2:]
    out = out + err
    obj = field(out, "objective:")
    if obj is None and field(out, "obj =") is not None:
        obj = -float(field(out, "obj ="))
    sv = field(out, "support vectors:") or field(out, "nSV =")
    rec.update(status="ok", seconds=float(sec), peak_mb=int(kb) / 1024.0,
               objective=float(obj) if obj is not None else None,
               sv=int(sv) if sv is not None else None)
    return rec


def key(r):
    return (r["kind"], r["n"], r["trainer"], r["threads"], r["cache_mb"])


def load_log():
    done = {}
    if os.path.exists(LOG):
        with open(LOG) as f:
            for line in f:
                if line.strip():
                    r = json.loads(line)
                    done[key(r)] = r  # the last record of a run counts
    return done


def exponent(points):
    """b of t = a n^b by least squares on the logarithms."""
    xs = [math.log(n) for n, _ in points]
    ys = [math.log(t) for _, t in points]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx > 0 else float("nan")


def series_name(trainer, threads, cache):
    if trainer == "kaltro":
        return "kaltro-svm -j %s, %d MB" % ("all" if threads == 0 else threads, cache)
    return "svm-train, %d MB" % cache


def report(done):
    rows = sorted(done.values(), key=lambda r: (r["kind"], r["cache_mb"], r["n"], r["trainer"],
                                                r["threads"]))
    lines = ["| set | n | cache MB | trainer | threads | wall s | peak MB | objective | "
             "rel. diff | SV | load | status |",
             "|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---|"]
    for r in rows:
        peer = done.get((r["kind"], r["n"], "svm-train", 1, r["cache_mb"]))
        diff = ""
        if r.get("objective") is not None and peer and peer.get("objective"):
            diff = "%.1e" % (abs(r["objective"] - peer["objective"]) / abs(peer["objective"]))
        lines.append("| %s | %d | %d | %s | %s | %s | %s | %s | %s | %s | %.2f | %s |" % (
            r["kind"], r["n"], r["cache_mb"], r["trainer"],
            "all" if r["threads"] == 0 else r["threads"],
            "%.2f" % r["seconds"] if "seconds" in r else "",
            "%.0f" % r["peak_mb"] if "peak_mb" in r else
            ">= %.0f" % r["peak_mb_at_least"] if "peak_mb_at_least" in r else "",
            "%.6f" % r["objective"] if r.get("objective") is not None else "", diff,
            r.get("sv") or "", r["load"], r["status"]))
    series = {}
    for r in rows:
        if r["status"] == "ok":
            s = series.setdefault((r["kind"], r["trainer"], r["threads"], r["cache_mb"]), [])
            s.append((r["n"], r["seconds"]))
    lines += ["", "| set | series | sizes | exponent b (t ~ n^b) |", "|---|---|---:|---:|"]
    for (kind, trainer, threads, cache), pts in sorted(series.items()):
        b = exponent(pts) if len(pts) >= 2 else float("nan")
        lines.append("| %s | %s | %d | %s |" % (kind, series_name(trainer, threads, cache),
                                                len(pts), "%.2f" % b if b == b else "-"))
    with open(os.path.join(OUT, "scale.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    for kind in sorted({k for k, _, _, _ in series}):
        names, blocks = [], []
        for (k, trainer, threads, cache), pts in sorted(series.items()):
            if k != kind:
                continue
            b = exponent(pts) if len(pts) >= 2 else float("nan")
            names.append("%s%s" % (series_name(trainer, threads, cache),
                                   ", b = %.2f" % b if b == b else ""))
            blocks.append("\n".join("%d %.4f" % p for p in sorted(pts)))
        dat = os.path.join(WORK, "scale-%s.dat" % kind)
        with open(dat, "w") as f:
            f.write("\n\n\n".join(blocks) + "\n")
        plots = ", ".join("'%s' index %d using 1:2 with linespoints title '%s'" % (dat, i, t)
                          for i, t in enumerate(names))
        script = ("set terminal png size 900,560\nset output '%s'\nset logscale xy\n"
                  "set title 'Training time against n (%s, C-SVC, RBF)'\n"
                  "set xlabel 'n'\nset ylabel 'wall seconds'\nset key left top\nset grid\n"
                  "plot %s\n") % (os.path.join(OUT, "scale_%s.png" % kind), kind, plots)
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="100000,200000")
    ap.add_argument("--kinds", default="clouds,text")
    ap.add_argument("--caches", default="100,1000")
    ap.add_argument("--threads", default="1,0", help="kaltro-svm -j values (0: all)")
    ap.add_argument("--timeout", type=float, default=7200)
    ap.add_argument("--only", choices=["kaltro", "svm-train"])
    ap.add_argument("--svm", help="a kaltro-svm to run instead of building build-bench/")
    ap.add_argument("--out", help="where the log, table and plots go (default bench/results)")
    ap.add_argument("--again", action="store_true", help="run what the log already holds")
    ap.add_argument("--report", action="store_true", help="only redraw table and plots")
    args = ap.parse_args()
    if args.out:
        set_out(args.out)
    os.makedirs(WORK, exist_ok=True)
    os.makedirs(OUT, exist_ok=True)
    done = load_log()
    if not args.report:
        svm = args.svm
        if not svm:
            subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                            "-DKALTRO_BENCH=ON", "-DKALTRO_TESTS=OFF"], check=True,
                           stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", BUILD, "-j", "2", "--target", "kaltro-svm"],
                           check=True, stdout=subprocess.DEVNULL)
            svm = os.path.join(BUILD, "bin", "kaltro-svm")
        svm = os.path.abspath(svm)
        runs = []
        for n in [int(s) for s in args.sizes.split(",")]:
            for kind in args.kinds.split(","):
                for cache in [int(c) for c in args.caches.split(",")]:
                    if args.only != "kaltro":
                        runs.append((kind, n, "svm-train", 1, cache))
                    if args.only != "svm-train":
                        for t in [int(t) for t in args.threads.split(",")]:
                            runs.append((kind, n, "kaltro", t, cache))
        for kind, n, trainer, threads, cache in runs:
            k = (kind, n, trainer, threads, cache)
            if k in done and not args.again:
                continue
            data = data_file(svm, kind, n)
            rec = {"kind": kind, "n": n, "trainer": trainer, "threads": threads, "cache_mb": cache}
            print("%s n=%d %s%s -m %d ..." % (kind, n, trainer, " -j %d" % threads if trainer == "kaltro" else "", cache), end=" ",
                  flush=True)
            rec.update(run(command(svm, trainer, threads, cache, kind, data), args.timeout))
            print(rec["status"], rec.get("seconds", ""), flush=True)
            with open(LOG, "a") as f:
                f.write(json.dumps(rec, sort_keys=True) + "\n")
            done[k] = rec
    report(done)


if __name__ == "__main__":
    sys.exit(main())
