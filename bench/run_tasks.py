#!/usr/bin/env python3
"""Side-by-side benchmark of kaltro-svm against LIBSVM's svm-train on the
tasks beyond two classes: ten classes one pair against another (the bundled
digits and a synthetic set) and epsilon-SVR (a synthetic regression set).

    bench/run_tasks.py [--repeats R] [--blobs 20000] [--svr 10000,20000]

Builds kaltro-svm and the exp() counter in build-bench/ (as run_bench.py
does), generates the synthetic sets with `kaltro-svm generate`, and runs both
trainers on identical files with the same kernel, C, gamma (a power of two,
held exactly by both), tolerance 0.001 and cache size, one thread, taking
turns at going first.  Figures are whole-process wall time and peak resident
memory from GNU time, medians over the repeats.  The objectives are compared
solve by solve (kaltro's pair lines and summary against svm-train's "obj =");
the largest relative difference is shown.  Writes bench/results/tasks.md.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
WORK = os.path.join(BUILD, "work")
SVM = os.path.join(BUILD, "bin", "kaltro-svm")
COUNTER = os.path.join(BUILD, "lib", "count_exp.so")
EPS, MB = 0.001, 100


def sh(cmd, env=None):
    r = subprocess.run(cmd, cwd=WORK, env=env, capture_output=True, text=True)
    if r.returncode != 0:
        sys.stderr.write("failed: %s\n%s%s" % (" ".join(cmd), r.stdout, r.stderr))
        sys.exit(1)
    return r.stdout + r.stderr


def timed(cmd):
    """Wall seconds, CPU seconds, peak MB and the output of one whole run."""
    tfile = os.path.join(WORK, "time.txt")
    out = sh(["/usr/bin/time", "-f", "%e %U %S %M", "-o", tfile] + cmd)
    with open(tfile) as f:
        sec, user, system, kb = f.read().split()[-4:]
    return float(sec), float(user) + float(system), int(kb) / 1024.0, out


def objectives(out, ours):
    """Objective of every solve, as kaltro's w (minus svm-train's obj)."""
    if not ours:
        return [-float(v) for v in re.findall(r"obj = (\S+),", out)]
    pairs = re.findall(r"^pair \d+/\d+: .*, objective (\S+),", out, re.M)
    return [float(v) for v in pairs] or [float(re.search(r"^objective: (\S+)$", out, re.M)[1])]


def run(name, data, options):
    kcmd = [SVM, "train", "-j", "1"] + options + [data, os.path.join(WORK, "k.model")]
    lcmd = ["svm-train"] + options + ["-h", "1", data, os.path.join(WORK, "l.model")]
    runs = {"k": [], "l": []}
    outs = {}
    for r in range(ARGS.repeats):
        order = ["k", "l"] if r % 2 == 0 else ["l", "k"]
        for who in order:
            sec, cpu, mb, outs[who] = timed(kcmd if who == "k" else lcmd)
            runs[who].append((sec, cpu, mb))
    levals = re.search(r"kernel evaluations: (\d+)", sh(lcmd, env=dict(os.environ,
                                                                        LD_PRELOAD=COUNTER)))[1]
    kobj, lobj = objectives(outs["k"], True), objectives(outs["l"], False)
    if len(kobj) != len(lobj):
        sys.exit("%s: %d solves against %d" % (name, len(kobj), len(lobj)))
    med = {w: [statistics.median(v[i] for v in runs[w]) for i in range(3)] for w in runs}
    row = {
        "set": name, "n": int(re.search(r"^n: (\d+)", outs["k"], re.M)[1]), "solves": len(kobj),
        "k s": med["k"][0], "l s": med["l"][0], "ratio": med["k"][0] / med["l"][0],
        "cpu ratio": med["k"][1] / max(med["l"][1], 0.01),
        "w": sum(kobj), "rel": max(abs(a - b) / abs(b) for a, b in zip(kobj, lobj)),
        "k sv": int(re.search(r"^support vectors: (\d+)", outs["k"], re.M)[1]),
        "l sv": int((re.findall(r"Total nSV = (\d+)", outs["l"]) or
                     re.findall(r"nSV = (\d+)", outs["l"]))[-1]),
        "k evals": int(re.search(r"^kernel evaluations: (\d+)", outs["k"], re.M)[1]),
        "l evals": int(levals), "k MB": med["k"][2], "l MB": med["l"][2],
        "k all": runs["k"], "l all": runs["l"],
    }
    print("%-18s n=%-6d kaltro %.2fs libsvm %.2fs ratio %.2f (cpu %.2f) max rel. diff %.1e" % (
        name, row["n"], row["k s"], row["l s"], row["ratio"], row["cpu ratio"], row["rel"]),
        flush=True)
    return row


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--blobs", default="20000")
    ap.add_argument("--svr", default="10000,20000")
    ARGS = ap.parse_args()
    os.makedirs(WORK, exist_ok=True)
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKALTRO_BENCH=ON", "-DKALTRO_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j", "2", "--target", "kaltro-svm", "count_exp"],
                   check=True, stdout=subprocess.DEVNULL)
    common = ["-t", "2", "-c", "1", "-e", str(EPS), "-m", str(MB)]
    jobs = [("digits", os.path.join(ROOT, "data", "digits.txt"), ["-s", "0", "-g", "0.015625"])]
    for n in [int(v) for v in ARGS.blobs.split(",") if v]:
        path = os.path.join(WORK, "blobs-%d.txt" % n)
        if not os.path.exists(path):
            sh([SVM, "generate", "--kind", "blobs", "--classes", "10", "--seed", "1", str(n), path])
        jobs.append(("blobs (10 classes)", path, ["-s", "0", "-g", "0.125"]))
    for n in [int(v) for v in ARGS.svr.split(",") if v]:
        path = os.path.join(WORK, "regression-%d.txt" % n)
        if not os.path.exists(path):
            sh([SVM, "generate", "--kind", "regression", "--seed", "1", str(n), path])
        jobs.append(("regression (SVR)", path, ["-s", "3", "-p", "0.1", "-g", "0.125"]))
    rows = [run(name, path, options + common) for name, path, options in jobs]

    lines = ["| set | n | solves | kaltro s | LIBSVM s | ratio | CPU ratio | kaltro w (sum) | "
             "max rel. diff per solve | SV k/L | kernel evals k/L (M) | peak MB k/L |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append("| %s | %d | %d | %.2f | %.2f | **%.2f** | %.2f | %.6f | %.1e | %d/%d | "
                     "%.1f/%.1f | %.0f/%.0f |" % (
                         r["set"], r["n"], r["solves"], r["k s"], r["l s"], r["ratio"],
                         r["cpu ratio"], r["w"], r["rel"], r["k sv"], r["l sv"],
                         r["k evals"] / 1e6, r["l evals"] / 1e6, r["k MB"], r["l MB"]))
    lines += ["", "Every run (wall s, CPU s):", ""]
    for r in rows:
        lines.append("- %s %d: kaltro %s; LIBSVM %s" % (
            r["set"], r["n"], ", ".join("%.2f/%.2f" % v[:2] for v in r["k all"]),
            ", ".join("%.2f/%.2f" % v[:2] for v in r["l all"])))
    os.makedirs(os.path.join(ROOT, "bench", "results"), exist_ok=True)
    with open(os.path.join(ROOT, "bench", "results", "tasks.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
