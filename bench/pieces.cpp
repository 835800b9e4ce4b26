// Where pieces on several threads start to pay: wall time of the solver's
// row fetches (getrow walking a row to the active-set size, the trainer's
// callback answering) and of the gradient rebuild's row update, for rows of
// several lengths on one thread and on more.  Best of five runs of each.
//
//     kaltro-pieces FILE GAMMA THREADS [LENGTHS...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "dataset.h"
#include "kaltro.h"
#include "kernel.h"
#include "pool.h"
#include "search.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Nanoseconds per entry of `rows` rows of `len` entries fetched through the
// solver, with an empty cache before each fetch.
double fetch(const ksvm::Dataset& data, const ksvm::KernelParams& p, int threads, int len,
             int rows) {
  KALTRO s(data.n);
  ksvm::KernelData kd(data, p);
  kd.threads = threads;
  kd.follow(s.kidx, s.n, &s.l);
  s.kernel = kd.callback();
  s.kernel_arg = &kd;
  s.output = nullptr;
  s.maxcachesize = 0;
  s.cache_init();
  s.l = len;
  double best = 1e300;
  for (int run = 0; run < 5; run++) {
    const double t0 = now();
    for (int r = 0; r < rows; r++) {
      s.cache_clean();
      s.getrow((r * 7919) % data.n, len, true);
    }
    best = std::min(best, now() - t0);
  }
  return best * 1e9 / (static_cast<double>(rows) * len);
}

// Nanoseconds per position of g -= d r over `len` positions, in pieces of
// `piece` on `threads` threads (as the solver's rebuild does).
double update(int threads, int len, int piece) {
  std::vector<double> g(static_cast<size_t>(len), 1.0);
  std::vector<float> r(static_cast<size_t>(len), 0.5f);
  double best = 1e300;
  const int reps = std::max(1, (1 << 22) / len);
  for (int run = 0; run < 5; run++) {
    const double t0 = now();
    for (int k = 0; k < reps; k++) {
      const double d = 1e-9 * (k + 1);
      if (threads > 1 && len >= 2 * piece) {
        kaltro::detail::each((len + piece - 1) / piece, threads, [&](int i) {
          const int a = i * piece;
          kaltro::detail::update_one(g.data(), r.data(), d, a, std::min(len, a + piece));
        });
      } else {
        kaltro::detail::update_one(g.data(), r.data(), d, 0, len);
      }
    }
    best = std::min(best, now() - t0);
  }
  return best * 1e9 / (static_cast<double>(reps) * len);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: kaltro-pieces FILE GAMMA THREADS [LENGTHS...]\n");
    return 2;
  }
  const ksvm::Dataset data = ksvm::read_dataset(argv[1]);
  ksvm::KernelParams p;
  p.gamma = std::atof(argv[2]);
  const int threads = std::atoi(argv[3]);
  std::vector<int> lengths;
  for (int i = 4; i < argc; i++)
    lengths.push_back(std::atoi(argv[i]));
  if (lengths.empty())
    lengths = {256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
  std::printf("%s: n %d, d %d, %s, RBF gamma %g; ns per entry, best of 5\n", argv[1], data.n,
              data.d, data.sparse ? "sparse" : "dense", p.gamma);
  std::printf("%8s %12s %12s %7s %12s %12s %7s\n", "length", "fetch 1", "fetch N", "ratio",
              "update 1", "update N", "ratio");
  for (int len : lengths) {
    if (len > data.n)
      break;
    const int rows = std::max(4, std::min(400, (1 << 21) / len));
    const double f1 = fetch(data, p, 1, len, rows), fn = fetch(data, p, threads, len, rows);
    const double u1 = update(1, len, 1 << 30), un = update(threads, len, len / 2 > 0 ? len / 2 : 1);
    std::printf("%8d %12.2f %12.2f %7.2f %12.3f %12.3f %7.2f\n", len, f1, fn, f1 / fn, u1, un,
                u1 / un);
  }
  return 0;
}
