// Two variables, K = [[2, .5], [.5, 2]], lin = (1, -1), boxes [-1, 1], sum 0:
// the optimum is x = (2/3, -2/3) with w = 2/3.
#include <kaltro.h>

#include <cmath>
#include <cstdio>

static double kernel(int a, int b, void*) { return a == b ? 2.0 : 0.5; }

int main() {
  KALTRO s(2);
  s.kernel = kernel;
  s.trace_level = 0;
  s.lin[0] = 1;
  s.lin[1] = -1;
  s.lo[0] = s.lo[1] = -1;
  s.hi[0] = s.hi[1] = 1;
  if (s.run(true, true) < 0)
    return 1;
  bool ok = std::fabs(s.x[0] - 2.0 / 3) < 1e-9 && std::fabs(s.x[1] + 2.0 / 3) < 1e-9 &&
            std::fabs(s.w - 2.0 / 3) < 1e-9;
  std::printf("x = (%.9f, %.9f), w = %.9f\n", s.x[0], s.x[1], s.w);
  return ok ? 0 : 1;
}
