#!/usr/bin/python3
"""Sparse text-like sets: kaltro-svm against svm-train (Debian's libsvm-tools).

    bench/run_sparse.py [--repeats 3] [--baseline PATH/TO/kaltro-svm]

Builds build-bench/ (as run_bench.py does), writes the two text-like sets
with `kaltro-svm generate --kind text` (n = 10 000, about 50 distinct words a
line, vocabularies of 100 000 and 1 000 000 words) and trains both programs
on each, taking turns at going first, with the same RBF gamma (2^0: rows
have unit norm, so squared distances lie in [0, 2]; a power of two, which
the other program's single-precision gamma holds exactly), -c 1 -e 0.001
-m 100 and shrinking.  Whole-process wall and CPU time and peak resident
memory from GNU time, medians over the repeats; objectives compared (kaltro
prints w, svm-train minus w as "obj =").  With --baseline, also compares
another kaltro-svm build with this one on the dense clouds set of 20 000
points (gamma 1/8), to show that the dense path kept its speed.  Last, the
per-entry cost of the sparse kernels from kaltro-sparse-kernels.  Writes
bench/results/sparse.md.
"""
import argparse
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_bench as rb  # noqa: E402  (same build tree, helpers for timing)

KERNELS = os.path.join(rb.BUILD, "bin", "kaltro-sparse-kernels")
C, EPS, MB, GAMMA = "1", "0.001", "100", "1"


def train_cmds(data, gamma):
    k = [rb.SVM, "train", "-q", "-j", "1", "-t", "2", "-c", C, "-g", gamma, "-e", EPS, "-m", MB, data,
         os.path.join(rb.WORK, "k.model")]
    lib = ["svm-train", "-s", "0", "-t", "2", "-c", C, "-g", gamma, "-e", EPS, "-m", MB, "-h", "1",
           data, os.path.join(rb.WORK, "l.model")]
    return k, lib


def pair_row(name, first, second, repeats, first_obj, second_obj):
    ft, st, fm, sm, fc, sc, fout, sout = rb.alternate(first, second, repeats)
    fo, so = first_obj(fout), second_obj(sout)
    row = {"set": name, "first s": statistics.median(ft), "second s": statistics.median(st),
           "first cpu": statistics.median(fc), "second cpu": statistics.median(sc),
           "first MB": statistics.median(fm), "second MB": statistics.median(sm),
           "first obj": fo, "second obj": so, "rel diff": abs(fo - so) / abs(so),
           "all s": (ft, st), "all cpu": (fc, sc)}
    print("%-12s %.2fs / %.2fs (cpu %.2f / %.2f), %.0f / %.0f MB, obj %.9g / %.9g" % (
        name, row["first s"], row["second s"], row["first cpu"], row["second cpu"],
        row["first MB"], row["second MB"], fo, so), flush=True)
    return row


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--baseline", help="another kaltro-svm for the dense comparison")
    args = ap.parse_args()
    os.makedirs(rb.WORK, exist_ok=True)
    os.makedirs(rb.OUT, exist_ok=True)
    subprocess.run(["cmake", "-S", rb.ROOT, "-B", rb.BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKALTRO_BENCH=ON", "-DKALTRO_TESTS=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", rb.BUILD, "-j", "2", "--target", "kaltro-svm",
                    "kaltro-sparse-kernels"], check=True, stdout=subprocess.DEVNULL)

    kobj = lambda out: float(rb.field(out, "objective:"))  # noqa: E731
    lobj = lambda out: -float(rb.field(out, "obj ="))  # noqa: E731
    rows = []
    for name, d, seed in (("text-100k", 100000, 1), ("text-1m", 1000000, 2)):
        path = os.path.join(rb.WORK, name + ".txt")
        if not os.path.exists(path):
            rb.sh([rb.SVM, "generate", "--kind", "text", "-d", str(d), "--nnz", "50", "--seed",
                   str(seed), "10000", path])
        k, lib = train_cmds(path, GAMMA)
        rows.append(pair_row(name, k, lib, args.repeats, kobj, lobj))
    lines = ["| set | kaltro s | svm-train s | ratio | CPU s k/L | CPU ratio | peak MB k/L | "
             "kaltro w | svm-train -obj | rel. diff |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append("| %s | %.2f | %.2f | **%.2f** | %.2f/%.2f | %.2f | %.1f/%.1f | %.9g | %.9g | "
                     "%.1e |" % (r["set"], r["first s"], r["second s"], r["first s"] / r["second s"],
                                 r["first cpu"], r["second cpu"], r["first cpu"] / r["second cpu"],
                                 r["first MB"], r["second MB"], r["first obj"], r["second obj"],
                                 r["rel diff"]))
    for r in rows:
        lines.append("")
        lines.append("%s, every run (wall s): kaltro %s; svm-train %s; CPU s: kaltro %s; "
                     "svm-train %s" % (r["set"], *[" ".join("%.2f" % v for v in vs)
                                                 for vs in r["all s"] + r["all cpu"]]))

    if args.baseline:
        path = os.path.join(rb.WORK, "clouds-20000.txt")
        if not os.path.exists(path):
            rb.sh([rb.SVM, "generate", "--kind", "clouds", "--seed", "1", "20000", path])
        mine, _ = train_cmds(path, "0.125")
        other = [args.baseline] + mine[1:-1] + [os.path.join(rb.WORK, "b.model")]
        r = pair_row("clouds-20000", mine, other, args.repeats, kobj, kobj)
        lines += ["", "Dense clouds-20000 (gamma 1/8), this build against the --baseline build:", "",
                  "| this build s | baseline s | ratio | CPU s this/baseline | peak MB this/baseline "
                  "| w this | w baseline |",
                  "|---:|---:|---:|---:|---:|---:|---:|",
                  "| %.2f | %.2f | **%.2f** | %.2f/%.2f | %.1f/%.1f | %.12g | %.12g |" % (
                      r["first s"], r["second s"], r["first s"] / r["second s"], r["first cpu"],
                      r["second cpu"], r["first MB"], r["second MB"], r["first obj"],
                      r["second obj"]),
                  "", "every run (wall s): this %s; baseline %s" % tuple(
                      " ".join("%.2f" % v for v in vs) for vs in r["all s"])]

    out = rb.sh([KERNELS, "text-100k.txt", "40", GAMMA])  # run in the work folder
    lines += ["", "Sparse kernel entries (kaltro-sparse-kernels, text-100k, 40 whole rows):", "",
              "```"] + out.strip().splitlines() + ["```"]
    with open(os.path.join(rb.OUT, "sparse.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
