/* Counts the calls of exp() in a process, which for an RBF kernel is its
 * number of kernel evaluations; loaded with LD_PRELOAD into the other
 * trainer, whose own output does not report that number. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>

static long long calls;
static double (*real_exp)(double);

double exp(double x) {
  if (!real_exp)
    real_exp = (double (*)(double))dlsym(RTLD_NEXT, "exp");
  calls++;
  return real_exp(x);
}

__attribute__((destructor)) static void report(void) {
  fprintf(stderr, "kernel evaluations: %lld\n", calls);
}
