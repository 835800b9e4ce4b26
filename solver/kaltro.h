// kaltro: a solver for box-constrained convex quadratic programs whose
// matrix comes entry by entry from the caller's kernel function.
//
// The program held by one KALTRO object is
//
//     maximise   w(x) = sum_i lin[i] x[i] - 1/2 sum_ij x[i] K(kidx[i], kidx[j]) x[j]
//     subject to lo[i] <= x[i] <= hi[i]   and, when `equality` is true,
//                sum_i x[i] kept at the value of the start point.
//
// Use: construct with n, write lin/lo/hi/x (and kidx when kernel indices
// differ from positions), set `kernel` and `kernel_arg`, call run(true, true),
// then read x, w and it.  A solve may also be split into run(true, false),
// any number of run(false, false) and a final run(false, true).
//
// Errors found while solving are result codes (-1, message in last_error);
// allocation failures and exceptions thrown by the kernel propagate.  Giving
// memory back never fails: dropping or cutting rows, cache_fini and the
// destructor throw nothing.
#ifndef KALTRO_H
#define KALTRO_H

// The library's own working state; its layout is not part of this interface.
namespace kaltro {
namespace detail {
class RowStore;
struct Work;
}  // namespace detail
}  // namespace kaltro

class KALTRO {
 public:
  // One cached kernel row: K(key, kidx[j]) for positions j = 0..len-1, in
  // single precision.  Rows sit in a most-recently-used ring while they hold
  // entries; a row with prev == nullptr is outside the ring.
  class Arow {
   public:
    Arow* prev;   ///< previous row in the ring (more recent); null outside the ring
    Arow* next;   ///< next row in the ring (less recent); also a scratch link
    int key;      ///< kernel index of the row
    int len;      ///< number of cached entries
    float diag;   ///< K(key, key), evaluated once when the row is created
    float* data;  ///< the cached entries; null when len is 0
    kaltro::detail::RowStore* store;  ///< the library's own (opaque): where entries are placed

    ~Arow();
    /// Take the row out of the ring and, if it holds entries, put it right behind `after`.
    void refile(Arow* after);
    /// Resize to exactly `newlen` entries (a negative length counts as 0) keeping the
    /// common prefix; returns the byte change, 4 * (new len - old len).
    int resize(int newlen);
  };

  // ---- problem (caller's input) ----
  int n;  ///< number of variables (fixed)
  double (*kernel)(int, int,
                   void*);    ///< K(a, b) for kernel indices a, b; third argument is kernel_arg
  void* kernel_arg;           ///< caller's closure, passed unchanged to kernel
  int* kidx;                  ///< kernel index of each position (default: the position)
  double *lin, *lo, *hi, *x;  ///< linear term, lower bounds, upper bounds, start point / solution

  // ---- parameters ----
  bool equality;      ///< keep sum(x) constant (pairwise steps); default true
  int trace_level;    ///< 0 silent, 1 marks, 2 status lines, 3 also "!" lines; default 1
  double eps_bound;   ///< bound-sitting tolerance and curvature threshold; default 1e-20
  double eps_gap;     ///< stopping tolerance on g_high - g_low; default 0.001
  double big;         ///< starting magnitude of the gradient extremes (equality); default 1e20
  long maxcachesize;  ///< byte budget for cached row entries; default 256 MB

  // ---- results ----
  const char* last_error;  ///< message of the last error (a library constant), or null
  double g_low;            ///< smallest gradient among variables above their lower bound
  double g_high;           ///< largest gradient among variables below their upper bound
  double w;                ///< objective at x, computed when all variables are active

  // ---- working state ----
  double* g;            ///< gradient lin - K x; exact on positions below l
  int* home;            ///< caller's position of the variable held at each position
  int it;               ///< steps taken in the current solve (run returns it)
  int l;                ///< active-set size: positions below l are active
  double *xref, *gref;  ///< reference point and the gradient exact there, all positions
  long cache_bytes;     ///< bytes held by cached row entries (4 per entry)
  Arow** rows;          ///< cached row object of each position
  Arow* ring;           ///< sentinel of the row ring; null when no cache is set up
  double* dbuf;         ///< owns lin, lo, hi, x, g, gref, xref (n each, in this order)
  int* ibuf;            ///< owns kidx, home (n each)
  int marks;            ///< one-character marks on the current console line
  bool cache_warned;    ///< the cache-full report was written since cache_init

  // ---- parameters added after the documented fields ----
  /// Steps after which a solve stops (result kaltro::step_limit_result); 0 or less: none; default 0
  long long max_steps;
  /// Sink of every text the solver writes, in order (flush: show it now); null: none; default
  /// kaltro::write_stdout
  void (*output)(const char* text, bool flush, void* arg);
  void* output_arg;  ///< passed unchanged to output; default null
  /// Threads, the caller's included, that may share the gradient rebuild over long
  /// stretches of positions (the same sums in the same order: the same bits for any
  /// number); the kernel is still called from the caller's thread alone.  1 or less:
  /// the caller's thread only; default 1
  int threads;
  /// A run with initialize false takes the gradient from gref, exact at xref, instead of
  /// rebuilding it from x: rows are fetched only for variables whose x differs from xref.
  /// A caller that changes lin, x or the kernel between runs keeps gref and xref in step;
  /// default false
  bool reuse_gref;

  // ---- the library's own, after the documented fields ----
  kaltro::detail::Work* work;  ///< opaque working state: diagonals by position, the row block

  /// Allocate a problem of n variables: every box [0, 0], x = 0, lin = 0, kidx the identity.
  /// Throws std::invalid_argument for a negative n.
  explicit KALTRO(int n);
  virtual ~KALTRO();
  KALTRO(const KALTRO&) = delete;
  KALTRO& operator=(const KALTRO&) = delete;

  /// Solve.  initialize: set up the row cache first; finalize: free it and
  /// restore the caller's order afterwards (with initialize false: only that).
  /// Returns the steps taken, 0 from the clean-up-only mode, -1 after an error,
  /// or kaltro::step_limit_result (-2) when the solve stopped at max_steps.
  int run(bool initialize, bool finalize);

  // ---- reporting (all of it through `output`) ----
  /// Report `message` (when trace_level > 0), store it in last_error, return -1.
  int error(const char* message);
  /// Write a progress message: the one-character `mark` or the full `line`, printf-style.
  void info(const char* mark, const char* line, ...);

  // ---- row cache ----
  void cache_init();           ///< set up the cache: one row object per distinct kernel index
  void cache_fini() noexcept;  ///< free every row and the ring; harmless without a cache
  long cache_clean();  ///< drop least recent rows until within maxcachesize; returns cache_bytes
  void cache_swap(
      int i, int j) noexcept;  ///< follow the exchange of positions i and j in every cached row
  float* getrow(int i, int upto, bool hot);  ///< entries of row i valid for columns 0..upto-1

  // ---- active set and gradient ----
  void swap(int i, int j) noexcept;  ///< exchange the variables at positions i and j
  void shrink();                     ///< extremes over the active set; move held variables out
  void unshrink(bool from_gref);     ///< make all variables active, rebuild gradients, compute w
  void togbar(int k);                ///< fold the move of variable k into gref
  void unswap();                     ///< restore the caller's order

  // ---- iteration ----
  /// Coordinate steps (equality false): 0 converged, 1 shrink due, -1 error, -2 step limit.
  int iterate_gs1();
  int iterate_gs2();  ///< pairwise steps (equality true); results as iterate_gs1
};

namespace kaltro {
/// The default output sink: `text` to standard output, which is flushed when
/// `flush` is true (progress marks and lines) and left to its ordinary
/// buffering otherwise (errors and the set-up and clean-up lines).
void write_stdout(const char* text, bool flush, void* arg);

/// run's result when a solve stopped at max_steps (or at INT_MAX steps, which
/// `it` cannot pass); last_error is then msg::step_limit.  Errors give -1.
const int step_limit_result = -2;

// The messages the solver reports; last_error points at one of these, so a
// caller may compare the pointer as well as print the text.
namespace msg {
extern const char start_point[];  ///< start point outside its box by more than eps_bound
extern const char not_convex[];   ///< curvature below -eps_bound along the chosen direction
extern const char bad_eps_gap[];  ///< eps_gap not above 0
extern const char non_finite[];   ///< non-finite w at the end, or an infinite step
extern const char beyond_big[];   ///< gradients beyond big left no rising or no falling member
extern const char step_limit[];   ///< the solve took max_steps steps without converging
}  // namespace msg
}  // namespace kaltro

#endif
