#include "kernel.h"

#include <cmath>

namespace ksvm {

double kernel_value(const KernelParams& p, const double* a, double na,
                    const double* b, double nb, int d) {
  double ab = dot(a, b, d);
  switch (p.type) {
    case kLinear:
      return ab;
    case kPolynomial:
      return power(p.gamma * ab + p.coef0, p.degree);
    default:
      return std::exp(-p.gamma * (na + nb - 2 * ab));
  }
}

namespace {

inline const double* row(const KernelData& k, int i) {
  return k.x + static_cast<size_t>(i) * static_cast<size_t>(k.d);
}

double linear_cb(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  k.evals++;
  return dot(row(k, a), row(k, b), k.d);
}

double polynomial_cb(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  k.evals++;
  return power(k.p.gamma * dot(row(k, a), row(k, b), k.d) + k.p.coef0, k.p.degree);
}

double rbf_cb(int a, int b, void* arg) {
  KernelData& k = *static_cast<KernelData*>(arg);
  k.evals++;
  double ab = dot(row(k, a), row(k, b), k.d);
  return std::exp(-k.p.gamma * (k.norm2[a] + k.norm2[b] - 2 * ab));
}

}  // namespace

KernelFn kernel_callback(int type) {
  switch (type) {
    case kLinear:
      return linear_cb;
    case kPolynomial:
      return polynomial_cb;
    default:
      return rbf_cb;
  }
}

}  // namespace ksvm
