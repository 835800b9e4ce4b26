#!/usr/bin/env python3
"""Model selection side by side with the common tools: kaltro-svm grid
against svm-grid, kaltro-svm train -v against svm-train -v, and the log-loss
of -b 1 probabilities on held-out rows.

    bench/run_select.py [--repeats R] [--sets digits,rings-10000]
                        [--log2c=-5,15,2] [--log2g=3,-15,-2] [--folds 5]
                        [--exe PATH] [--out bench/results/select.md]

Without --exe it builds kaltro-svm in build-bench/ (Release) first.  The grid
runs on the bundled digits and on `kaltro-svm generate --kind rings -d 10
--seed 2 N` (rings-N), both tools with one worker, the same grid, fold count
and defaults otherwise, taking turns at going first; times are whole-process
wall seconds from GNU time, medians over the repeats.  svm-grid runs with
-out null -gnuplot null, so neither side draws.  Each tool's best rate is its
own (their folds differ).

Cross-validation: 5 folds on the bundled classification sets; kaltro-svm's
accuracy over --seed 1..5 (min..max, the fold-assignment noise) beside
svm-train's.  Log-loss: each bundled classification set split into even and
odd rows; -b 1 trained on the even rows by each tool and predicted on the
odd rows by the same tool; mean -log p(true class).
"""
import argparse
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
DATA = os.path.join(ROOT, "data")


def sh(cmd, cwd):
    r = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
    if r.returncode != 0:
        sys.stderr.write("failed: %s\n%s%s" % (" ".join(cmd), r.stdout, r.stderr))
        sys.exit(1)
    return r.stdout


def timed(cmd, cwd):
    """Wall seconds and standard output of one whole run."""
    tfile = os.path.join(cwd, "time.txt")
    out = sh(["/usr/bin/time", "-f", "%e", "-o", tfile] + cmd, cwd)
    with open(tfile) as f:
        return float(f.read().split()[-1]), out


def grid(args, exe, work, path):
    grid_opts = ["-log2c", args.log2c, "-log2g", args.log2g, "-v", str(args.folds)]
    mine = [exe, "grid", "-j", "1"] + grid_opts + [path]  # one worker, as svm-grid here
    theirs = ["svm-grid", "-svmtrain", shutil.which("svm-train"), "-gnuplot", "null",
              "-out", "null"] + grid_opts + [path]
    times = {"k": [], "l": []}
    best = {}
    for r in range(args.repeats):
        for who in (("k", "l") if r % 2 == 0 else ("l", "k")):
            sec, out = timed(mine if who == "k" else theirs, work)
            times[who].append(sec)
            if who == "k":
                best["k"] = float(re.search(r"^best cross-validation accuracy: ([0-9.]+)%", out,
                                            re.M)[1])
                best["kcg"] = re.search(r"^best C: (\S+)\nbest gamma: (\S+)", out, re.M).groups()
            else:
                last = out.strip().splitlines()[-1].split()
                best["l"] = float(last[-1])
                best["lcg"] = (last[0], last[1])  # its last line: C gamma rate
    k, l = statistics.median(times["k"]), statistics.median(times["l"])
    return k, l, best


def cross_validation(exe, work, path):
    mine = []
    for seed in range(1, 6):
        out = sh([exe, "train", "-q", "-j", "1", "-v", "5", "--seed", str(seed), path], work)
        mine.append(float(re.search(r"accuracy: ([0-9.]+)%", out)[1]))
    out = sh(["svm-train", "-q", "-v", "5", path], work)
    return min(mine), max(mine), float(re.search(r"Accuracy = ([0-9.]+)%", out)[1])


def log_loss(exe, work, path):
    with open(path) as f:
        rows = [line for line in f if line.strip()]
    train, test = os.path.join(work, "even.txt"), os.path.join(work, "odd.txt")
    with open(train, "w") as f:
        f.writelines(rows[0::2])
    with open(test, "w") as f:
        f.writelines(rows[1::2])
    truth = [float(line.split()[0]) for line in rows[1::2]]
    result = {}
    for who, tr, pr in (("k", [exe, "train", "-q"], [exe, "predict"]),
                        ("l", ["svm-train", "-q"], ["svm-predict"])):
        model, out = os.path.join(work, who + ".model"), os.path.join(work, who + ".out")
        sh(tr + ["-b", "1", train, model], work)
        sh(pr + ["-b", "1", test, model, out], work)
        with open(out) as f:
            lines = f.read().splitlines()
        labels = [float(v) for v in lines[0].split()[1:]]
        loss = 0.0
        for y, line in zip(truth, lines[1:]):
            p = float(line.split()[1 + labels.index(y)])
            loss -= math.log(max(p, 1e-15))
        result[who] = loss / len(truth)
    return result["k"], result["l"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--sets", default="digits,rings-10000")
    ap.add_argument("--log2c", default="-5,15,2")
    ap.add_argument("--log2g", default="3,-15,-2")
    ap.add_argument("--folds", type=int, default=5)
    ap.add_argument("--exe")
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "results", "select.md"))
    args = ap.parse_args()
    exe = args.exe
    if not exe:
        subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                        "-DKALTRO_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", BUILD, "-j", "2", "--target", "kaltro-svm"],
                       check=True, stdout=subprocess.DEVNULL)
        exe = os.path.join(BUILD, "bin", "kaltro-svm")
    exe = os.path.abspath(exe)
    work = tempfile.mkdtemp(prefix="kaltro-select-")
    lines = ["# Model selection against the common tools", "",
             "    bench/run_select.py --repeats %d --sets %s --log2c=%s --log2g=%s --folds %d"
             % (args.repeats, args.sets, args.log2c, args.log2g, args.folds), "",
             "## Grid search (one worker each; wall seconds, medians)", "",
             "| set | kaltro-svm grid s | svm-grid s | ratio | best rate (C, gamma): kaltro-svm |"
             " svm-grid |", "|---|---|---|---|---|---|"]
    for name in [s for s in args.sets.split(",") if s]:
        kind, _, size = name.partition("-")
        if kind in ("rings", "clouds") and size:
            path = os.path.join(work, name + ".txt")
            sh([exe, "generate", "--kind", kind, "-d", "10", "--seed", "2", size, path], work)
        else:
            path = os.path.join(DATA, name + ".txt")
        k, l, best = grid(args, exe, work, path)
        lines.append("| %s | %.2f | %.2f | %.3f | %.4f (%s, %s) | %.4f (%s, %s) |"
                     % ((name, k, l, k / l, best["k"]) + best["kcg"] + (best["l"],)
                        + tuple("%g" % float(v) for v in best["lcg"])))
        print(lines[-1], flush=True)
    lines += ["", "## 5-fold cross-validation accuracy (%)", "",
              "| set | kaltro-svm, seeds 1..5 | svm-train |", "|---|---|---|"]
    for name in ("iris", "wine", "breast_cancer", "digits"):
        lo, hi, theirs = cross_validation(exe, work, os.path.join(DATA, name + ".txt"))
        lines.append("| %s | %.4f .. %.4f | %.4f |" % (name, lo, hi, theirs))
        print(lines[-1], flush=True)
    lines += ["", "## Log-loss of -b 1 on held-out rows (train even rows, test odd rows)", "",
              "| set | kaltro-svm | svm-train/svm-predict | ratio |", "|---|---|---|---|"]
    for name in ("iris", "wine", "breast_cancer", "digits"):
        k, l = log_loss(exe, work, os.path.join(DATA, name + ".txt"))
        lines.append("| %s | %.5f | %.5f | %.3f |" % (name, k, l, k / l))
        print(lines[-1], flush=True)
    shutil.rmtree(work)
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
