// A consumer of the installed trainer: four points, two classes, a linear
// kernel; the model must label them all right.
#include <kaltro_svm.h>

#include <cstdio>
#include <vector>

int main() {
  const double x[] = {2, 0, 1, 1, -2, 0, -1, -1};
  const double y[] = {1, 1, -1, -1};
  ksvm::Dataset data = ksvm::dataset_from_dense(4, 2, x, y);
  ksvm::Params p;
  p.kernel.type = ksvm::kLinear;
  ksvm::Model m = ksvm::train(data, p);
  std::vector<double> got = ksvm::predict(m, data);
  std::printf("labels %g %g %g %g\n", got[0], got[1], got[2], got[3]);
  return got == std::vector<double>(y, y + 4) ? 0 : 1;
}
