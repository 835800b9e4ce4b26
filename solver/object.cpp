// The solver object: allocation of the per-variable blocks and defaults.
#include <memory>
#include <stdexcept>

#include "internal.h"

KALTRO::KALTRO(int n_)
    : n(n_),
      kernel(nullptr),
      kernel_arg(nullptr),
      kidx(nullptr),
      lin(nullptr),
      lo(nullptr),
      hi(nullptr),
      x(nullptr),
      equality(true),
      trace_level(1),
      eps_bound(1e-20),
      eps_gap(0.001),
      big(1e20),
      maxcachesize(268435456L),
      last_error(nullptr),
      g_low(0),
      g_high(0),
      w(0),
      g(nullptr),
      home(nullptr),
      it(0),
      l(0),
      xref(nullptr),
      gref(nullptr),
      cache_bytes(0),
      rows(nullptr),
      ring(nullptr),
      dbuf(nullptr),
      ibuf(nullptr),
      marks(0),
      cache_warned(false),
      max_steps(0),
      output(kaltro::write_stdout),
      output_arg(nullptr),
      threads(1),
      reuse_gref(false),
      work(nullptr) {
  if (n_ < 0)
    throw std::invalid_argument("KALTRO: negative number of variables");
  // Hold the blocks in owners until all of them exist, so a failed
  // allocation leaks nothing (the destructor does not run for a throwing
  // constructor).
  size_t un = static_cast<size_t>(n_);
  std::unique_ptr<double[]> d(new double[7 * un]);
  std::unique_ptr<int[]> iv(new int[2 * un]);
  std::unique_ptr<Arow*[]> r(new Arow*[un]);
  std::unique_ptr<kaltro::detail::Work> wk(new kaltro::detail::Work);
  wk->kdiag.reset(new float[un]);
  dbuf = d.release();
  ibuf = iv.release();
  rows = r.release();
  work = wk.release();

  lin = dbuf;
  lo = dbuf + un;
  hi = dbuf + 2 * un;
  x = dbuf + 3 * un;
  g = dbuf + 4 * un;
  gref = dbuf + 5 * un;
  xref = dbuf + 6 * un;
  kidx = ibuf;
  home = ibuf + un;
  for (int i = 0; i < n; i++) {
    rows[i] = nullptr;
    kidx[i] = i;
    home[i] = i;
    lin[i] = lo[i] = hi[i] = x[i] = 0.0;
    work->kdiag[i] = 0.0f;
  }
}

KALTRO::~KALTRO() {
  cache_fini();
  delete[] dbuf;
  delete[] ibuf;
  delete[] rows;
  delete work;
}
