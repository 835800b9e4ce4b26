#!/usr/bin/env python3
"""Side-by-side benchmark of kaltro-svm against LIBSVM's svm-train.

    bench/run_bench.py [--repeats R] [--sizes 5000,10000,20000,40000] [--quick]

Builds what it needs (build-bench/), generates the synthetic sets with
`kaltro-svm generate`, and runs both trainers on identical files with the
same kernel, C, gamma, tolerance 0.001, cache size and shrinking, one thread,
alternating which goes first.  Every figure is whole-process wall time and
peak resident memory from GNU time; the table shows medians over the repeats.
Kernel evaluations of the other trainer are counted by a preloaded exp()
counter (RBF only).  The final gap of each model is recomputed from scratch
in double with numpy.  Writes bench/results/latest.md and
bench/results/time_vs_n.png.  Needs: libsvm-tools, gnuplot, time,
python3-numpy (Debian packages).
"""
import argparse
import math
import os
import statistics
import subprocess
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
WORK = os.path.join(BUILD, "work")
OUT = os.path.join(ROOT, "bench", "results")
SVM = os.path.join(BUILD, "bin", "kaltro-svm")
PRE = os.path.join(BUILD, "bin", "kaltro-precomputed")
COUNTER = os.path.join(BUILD, "lib", "count_exp.so")
C, EPS, MB = 1.0, 0.001, 100


def sh(cmd, env=None, quiet=False):
    r = subprocess.run(cmd, cwd=WORK, env=env, capture_output=True, text=True)
    if r.returncode != 0:
        sys.stderr.write("failed: %s\n%s%s" % (" ".join(cmd), r.stdout, r.stderr))
        sys.exit(1)
    return r.stdout + r.stderr


def timed(cmd, env=None):
    """Wall seconds, peak MB and the output of one whole run."""
    tfile = os.path.join(WORK, "time.txt")
    out = sh(["/usr/bin/time", "-f", "%e %M %U %S", "-o", tfile] + cmd, env=env)
    with open(tfile) as f:
        sec, kb, user, system = f.read().split()[-4:]
    timed.cpu = float(user) + float(system)
    return float(sec), int(kb) / 1024.0, out


def field(out, name):
    for line in out.splitlines():
        at = line.find(name)
        if at == 0 or (at > 0 and line[at - 1] == " "):
            return line[at + len(name):].strip().split()[0].strip(",")
    return None


def read_sparse(path):
    labels, rows, d = [], [], 0
    with open(path) as f:
        for line in f:
            parts = line.split()
            if not parts:
                continue
            labels.append(float(parts[0]))
            row = {}
            for t in parts[1:]:
                i, v = t.split(":")
                row[int(i)] = float(v)
                d = max(d, int(i))
            rows.append(row)
    X = np.zeros((len(rows), d))
    for r, row in enumerate(rows):
        for i, v in row.items():
            X[r, i - 1] = v
    return np.array(labels), X


def read_model(path, d):
    """Coefficients (y*alpha) and support vectors, with the label order."""
    coef, svs, labels, in_sv = [], [], None, False
    with open(path) as f:
        for line in f:
            if in_sv:
                parts = line.split()
                coef.append(float(parts[0]))
                v = np.zeros(d)
                for t in parts[1:]:
                    i, x = t.split(":")
                    v[int(i) - 1] = float(x)
                svs.append(v)
            elif line.startswith("label"):
                labels = [float(t) for t in line.split()[1:]]
            elif line.strip() == "SV":
                in_sv = True
    return np.array(coef), np.array(svs), labels


def recomputed_gap(data, model, gamma):
    """max g over variables below their upper bound minus min g over those above
    their lower bound, for the dual with lin = y and box [min(0,Cy), max(0,Cy)];
    g = y - K x computed in double, x taken from the model's coefficients."""
    labels, X = read_sparse(data)
    coef, svs, order = read_model(model, X.shape[1])
    y = np.where(labels == order[0], 1.0, -1.0)
    sq = (X * X).sum(1)
    ssq = (svs * svs).sum(1)
    g = y.copy()
    for s in range(0, len(X), 2000):
        block = np.exp(-gamma * (sq[s:s + 2000, None] + ssq[None, :] - 2 * X[s:s + 2000] @ svs.T))
        g[s:s + 2000] -= block @ coef
    # x per training example: match support vectors to rows by their features.
    key = {tuple(r): i for i, r in enumerate(X)}
    x = np.zeros(len(X))
    for c, v in zip(coef, svs):
        i = key.get(tuple(v))
        if i is None:
            return float("nan")
        x[i] = c
    lo, hi = np.minimum(0, C * y), np.maximum(0, C * y)
    up = g[x < hi].max() if (x < hi).any() else -np.inf
    down = g[x > lo].min() if (x > lo).any() else np.inf
    return up - down


def dims(path):
    d = 0
    with open(path) as f:
        for line in f:
            for t in line.split()[1:]:
                d = max(d, int(t.split(":")[0]))
    return d


def alternate(kcmd, lcmd, repeats):
    """Runs both commands `repeats` times, taking turns at going first.
    Returns the wall seconds, peak MB and CPU seconds of each, and the output
    of each one's last run."""
    kt, lt, km, lm, kc, lc = [], [], [], [], [], []
    outs = {}
    for r in range(repeats):
        order = [("k", kcmd), ("l", lcmd)] if r % 2 == 0 else [("l", lcmd), ("k", kcmd)]
        for who, cmd in order:
            sec, mb, outs[who] = timed(cmd)
            (kt if who == "k" else lt).append(sec)
            (km if who == "k" else lm).append(mb)
            (kc if who == "k" else lc).append(timed.cpu)
    return kt, lt, km, lm, kc, lc, outs["k"], outs["l"]


def power_of_two_gamma(data):
    """The power of two nearest to 1/d: both trainers then hold exactly the
    same gamma (the other one keeps it in single precision)."""
    return 2.0 ** -round(math.log2(dims(data)))


def run_pair(name, data, repeats, rows):
    gamma = power_of_two_gamma(data)
    kcmd = [SVM, "train", "-q", "-j", "1", "-t", "2", "-c", str(C), "-g", repr(gamma), "-e", str(EPS),
            "-m", str(MB), data, os.path.join(WORK, "k.model")]
    lcmd = ["svm-train", "-s", "0", "-t", "2", "-c", str(C), "-g", repr(gamma), "-e", str(EPS),
            "-m", str(MB), "-h", "1", data, os.path.join(WORK, "l.model")]
    kt, lt, km, lm, kc, lc, kout, lout = alternate(kcmd, lcmd, repeats)
    env = dict(os.environ, LD_PRELOAD=COUNTER)
    levals = field(sh(lcmd, env=env), "kernel evaluations:")
    kobj = float(field(kout, "objective:"))
    lobj = -float(field(lout, "obj ="))
    row = {
        "set": name, "n": int(field(kout, "n:")),
        "kaltro s": statistics.median(kt), "libsvm s": statistics.median(lt),
        "kaltro obj": kobj, "libsvm obj": lobj, "rel diff": abs(kobj - lobj) / abs(lobj),
        "steps": int(field(kout, "steps:")), "iter": int(field(lout, "#iter =")),
        "kaltro sv": int(field(kout, "support vectors:")), "libsvm sv": int(field(lout, "nSV =")),
        "kaltro evals": int(field(kout, "kernel evaluations:")), "libsvm evals": int(levals),
        "kaltro MB": statistics.median(km), "libsvm MB": statistics.median(lm),
        "kaltro gap": recomputed_gap(data, os.path.join(WORK, "k.model"), gamma),
        "libsvm gap": recomputed_gap(data, os.path.join(WORK, "l.model"), gamma),
    }
    row["ratio"] = row["kaltro s"] / row["libsvm s"]
    row["cpu ratio"] = statistics.median(kc) / max(statistics.median(lc), 0.01)
    rows.append(row)
    print("%-14s n=%-6d kaltro %.2fs libsvm %.2fs ratio %.2f (cpu %.2f)" %
          (name, row["n"], row["kaltro s"], row["libsvm s"], row["ratio"], row["cpu ratio"]),
          flush=True)


def run_precomputed(data, repeats):
    gamma = power_of_two_gamma(data)
    matrix = os.path.join(WORK, "matrix.txt")
    if not os.path.exists(matrix):
        sh([PRE, "write", data, repr(gamma), matrix])
    kcmd = [PRE, "train", matrix, str(C), str(EPS), str(MB)]
    lcmd = ["svm-train", "-s", "0", "-t", "4", "-c", str(C), "-e", str(EPS), "-m", str(MB),
            "-h", "1", matrix, os.path.join(WORK, "p.model")]
    kt, lt, km, lm, kc, lc, kout, lout = alternate(kcmd, lcmd, repeats)
    kobj, lobj = float(field(kout, "objective:")), -float(field(lout, "obj ="))
    return {
        "cpu ratio": statistics.median(kc) / max(statistics.median(lc), 0.01),
        "n": int(field(kout, "n:")), "kaltro s": statistics.median(kt),
        "libsvm s": statistics.median(lt), "ratio": statistics.median(kt) / statistics.median(lt),
        "kaltro solve s": float(field(kout, "solve seconds:")),
        "kaltro obj": kobj, "libsvm obj": lobj, "rel diff": abs(kobj - lobj) / abs(lobj),
        "steps": int(field(kout, "steps:")), "iter": int(field(lout, "#iter =")),
        "kaltro sv": int(field(kout, "support vectors:")), "libsvm sv": int(field(lout, "nSV =")),
        "kaltro MB": statistics.median(km), "libsvm MB": statistics.median(lm),
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--sizes", default="5000,10000,20000,40000")
    ap.add_argument("--no-precomputed", action="store_true")
    args = ap.parse_args()
    os.makedirs(WORK, exist_ok=True)
    os.makedirs(OUT, exist_ok=True)
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKALTRO_BENCH=ON", "-DKALTRO_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j", str(os.cpu_count()), "--target",
                    "kaltro-svm", "kaltro-precomputed", "count_exp"], check=True,
                   stdout=subprocess.DEVNULL)
    sets = [("breast_cancer", os.path.join(ROOT, "data", "breast_cancer.txt"))]
    for n in [int(s) for s in args.sizes.split(",")]:
        for kind, seed in (("clouds", 1), ("rings", 2)):
            path = os.path.join(WORK, "%s-%d.txt" % (kind, n))
            if not os.path.exists(path):
                sh([SVM, "generate", "--kind", kind, "--seed", str(seed), str(n), path])
            sets.append(("%s" % kind, path))
    rows = []
    for name, path in sets:
        run_pair(name, path, args.repeats, rows)
    pre = None if args.no_precomputed else run_precomputed(
        os.path.join(WORK, "clouds-5000.txt") if os.path.exists(os.path.join(WORK, "clouds-5000.txt"))
        else sets[1][1], args.repeats)

    lines = ["| set | n | kaltro s | LIBSVM s | ratio | CPU ratio | kaltro w | LIBSVM -obj | rel. diff | "
             "steps | iter | SV k/L | kernel evals k/L (M) | peak MB k/L | gap k/L |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append("| %s | %d | %.2f | %.2f | **%.2f** | %.2f | %.6f | %.6f | %.1e | %d | %d | %d/%d | "
                     "%.1f/%.1f | %.0f/%.0f | %.2e/%.2e |" % (
                         r["set"], r["n"], r["kaltro s"], r["libsvm s"], r["ratio"], r["cpu ratio"], r["kaltro obj"],
                         r["libsvm obj"], r["rel diff"], r["steps"], r["iter"], r["kaltro sv"],
                         r["libsvm sv"], r["kaltro evals"] / 1e6, r["libsvm evals"] / 1e6,
                         r["kaltro MB"], r["libsvm MB"], r["kaltro gap"], r["libsvm gap"]))
    if pre:
        lines += ["", "Precomputed kernel (n = %d):" % pre["n"], "",
                  "| kaltro s | LIBSVM s | ratio | CPU ratio | kaltro solve s | kaltro w | LIBSVM -obj | rel. diff "
                  "| steps | iter | SV k/L | peak MB k/L |",
                  "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
                  "| %.2f | %.2f | **%.2f** | %.2f | %.2f | %.6f | %.6f | %.1e | %d | %d | %d/%d | %.0f/%.0f |" % (
                      pre["kaltro s"], pre["libsvm s"], pre["ratio"], pre["cpu ratio"], pre["kaltro solve s"],
                      pre["kaltro obj"], pre["libsvm obj"], pre["rel diff"], pre["steps"], pre["iter"],
                      pre["kaltro sv"], pre["libsvm sv"], pre["kaltro MB"], pre["libsvm MB"])]
    with open(os.path.join(OUT, "latest.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))

    dat = os.path.join(WORK, "plot.dat")
    with open(dat, "w") as f:
        for kind in ("clouds", "rings"):
            for r in rows:
                if r["set"] == kind:
                    f.write("%d %.3f %.3f\n" % (r["n"], r["kaltro s"], r["libsvm s"]))
            f.write("\n\n")
    script = """set terminal png size 800,500
set output '%s'
set title 'Training time against n (RBF, gamma 1/8, C=1, eps 0.001, 100 MB cache)'
set xlabel 'n'; set ylabel 'wall seconds (median)'; set key left top; set grid
plot '%s' index 0 using 1:2 with linespoints title 'kaltro-svm, clouds', \\
     '%s' index 0 using 1:3 with linespoints title 'svm-train, clouds', \\
     '%s' index 1 using 1:2 with linespoints title 'kaltro-svm, rings', \\
     '%s' index 1 using 1:3 with linespoints title 'svm-train, rings'
""" % (os.path.join(OUT, "time_vs_n.png"), dat, dat, dat, dat)
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


if __name__ == "__main__":
    main()
