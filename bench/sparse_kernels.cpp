// Nanoseconds per kernel entry on a sparse data file, the way the solver asks
// for them: whole rows walked in position order, one evaluation at a time
// and computed ahead at each vector width the processor offers.  Thread CPU
// time, the best of three runs of each.
//
//     kaltro-sparse-kernels FILE [ROWS [GAMMA [shuffled]]]
//
// The positions hold the rows in file order, or with `shuffled` in an
// order of their own, as after the solver's exchanges: in a training run
// few blocks meet rows that follow each other in memory, and walks in file
// order let the processor fetch ahead where training cannot.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "dataset.h"
#include "kernel.h"
#include "kernel_ahead.h"
#include "lanes.h"
#include "random.h"

namespace {

double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Best time per entry of `rows` whole rows through k's callback, in the
// walk's order.
double per_entry(ksvm::KernelData& k, const std::vector<int>& order, int rows, double& sink) {
  const int n = static_cast<int>(order.size());
  ksvm::KernelFn f = k.callback();
  double best = 1e300;
  for (int run = 0; run < 3; run++) {
    const double t0 = cpu_seconds();
    for (int r = 0; r < rows; r++)
      for (int j = 0; j < n; j++)
        sink += f(order[static_cast<size_t>(r)], order[static_cast<size_t>(j)], &k);
    best = std::min(best, cpu_seconds() - t0);
  }
  return best * 1e9 / (static_cast<double>(rows) * n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kaltro-sparse-kernels FILE [ROWS [GAMMA [shuffled]]]\n");
    return 2;
  }
  const ksvm::Dataset data = ksvm::read_dataset(argv[1]);
  const int rows = std::min(argc > 2 ? std::atoi(argv[2]) : 50, data.n);
  ksvm::KernelParams p;
  p.gamma = argc > 3 ? std::atof(argv[3]) : 1.0;
  std::printf("%s: n %d, d %d, %.1f non-zeros a row, %s holding, RBF gamma %g\n", argv[1], data.n,
              data.d, static_cast<double>(data.nonzeros()) / data.n,
              data.sparse ? "sparse" : "dense", p.gamma);
  std::vector<int> order(static_cast<size_t>(data.n));
  for (int i = 0; i < data.n; i++)
    order[static_cast<size_t>(i)] = i;
  const bool shuffled = argc > 4 && std::strcmp(argv[4], "shuffled") == 0;
  std::printf("positions in %s order\n", shuffled ? "a shuffled" : "file");
  if (shuffled) {
    ksvm::Random random{1};  // the same order on every run
    for (int i = data.n - 1; i > 0; i--)
      std::swap(order[static_cast<size_t>(i)],
                order[static_cast<size_t>(random.next() % static_cast<std::uint64_t>(i + 1))]);
  }
  double sink = 0;
  {
    ksvm::KernelData k(data, p);
    std::printf("one at a time:    %6.1f ns per entry\n", per_entry(k, order, rows, sink));
  }
  const char* names[] = {"plain", "2 lanes", "4 lanes", "8 lanes"};
  const int top = kaltro::detail::simd_level();
  for (int level = kaltro::detail::kPlain; level <= top; level++) {
    kaltro::detail::set_simd_level(level);
    ksvm::KernelData k(data, p);
    k.follow(order.data(), data.n);
    const double ns = per_entry(k, order, rows, sink);
    std::printf("ahead, %-8s   %6.1f ns per entry (%lld blocks)\n", names[level], ns,
                k.ahead->blocks);
  }
  kaltro::detail::set_simd_level(top);
  std::printf("(checksum %.6g)\n", sink);
  return 0;
}
