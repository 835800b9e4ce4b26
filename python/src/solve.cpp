// kaltro.solve and kaltro.Problem: the solver on a kernel matrix held by
// numpy (solved without the GIL) or on a Python function of two kernel
// indices (solved with it, so that the function may run).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <climits>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "bindings.h"
#include "kaltro.h"

namespace py = pybind11;

namespace kaltro_python {

namespace {

using Vector = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Indices = py::array_t<int, py::array::c_style | py::array::forcecast>;

// A solve that ended with an error; raised in Python as kaltro.SolverError.
class SolverFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where K(a, b) comes from: a square matrix of doubles, or a callable.
struct Kernel {
  py::object owner;  // the matrix (kept alive while the solver reads it) or the callable
  const double* matrix = nullptr;
  long long side = 0;
  bool callable() const { return matrix == nullptr; }
};

double matrix_entry(int a, int b, void* arg) {
  const Kernel& k = *static_cast<const Kernel*>(arg);
  return k.matrix[static_cast<long long>(a) * k.side + b];
}

// Runs with the GIL held.  A Python exception becomes error_already_set,
// which the solver lets through and pybind11 raises again unchanged.
double call_entry(int a, int b, void* arg) {
  const Kernel& k = *static_cast<const Kernel*>(arg);
  py::object v = k.owner(a, b);
  const double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred())
    throw py::error_already_set();
  return d;
}

Kernel make_kernel(const py::object& kernel) {
  Kernel k;
  if (PyCallable_Check(kernel.ptr()) && !py::isinstance<py::array>(kernel)) {
    k.owner = kernel;
    return k;
  }
  Vector m = Vector::ensure(kernel);
  if (!m)
    throw py::type_error("the kernel must be a 2-D array of numbers or a callable k(a, b)");
  if (m.ndim() != 2 || m.shape(0) != m.shape(1))
    throw py::value_error("the kernel matrix must be square");
  const long long side = m.shape(0);
  const double* K = m.data();
  // Symmetric up to rounding: a product X X^T need not be symmetric to the bit.
  double scale = 0;
  for (long long e = 0; e < side * side; e++)
    scale = std::fmax(scale, std::fabs(K[e]));
  for (long long i = 0; i < side; i++)
    for (long long j = i + 1; j < side; j++)
      if (!(std::fabs(K[i * side + j] - K[j * side + i]) <= 1e-10 * scale))
        throw py::value_error("the kernel matrix is not symmetric: K[" + std::to_string(i) + ", " +
                              std::to_string(j) + "] differs from K[" + std::to_string(j) + ", " +
                              std::to_string(i) + "]");
  k.owner = m;
  k.matrix = K;
  k.side = side;
  return k;
}

void copy_in(const char* name, const Vector& v, size_t n, double* to) {
  if (v.ndim() != 1 || static_cast<size_t>(v.shape(0)) != n)
    throw py::value_error(std::string(name) + " must be a 1-D array of " + std::to_string(n) +
                          " numbers");
  std::copy(v.data(), v.data() + n, to);
}

struct Options {
  bool equality = true;
  double eps_gap = 1e-3, eps_bound = 1e-20, big = 1e20, cache_mb = 256;
  int trace_level = 0;
  long long max_steps = 0;
};

// A solver object for the problem given, every field set from the arguments.
std::unique_ptr<KALTRO> make_problem(Kernel& k, const Vector& lin, const Vector& lo,
                                     const Vector& hi, const std::optional<Vector>& x0,
                                     const std::optional<Indices>& kidx, const Options& o) {
  if (lin.ndim() != 1 || lin.shape(0) > INT_MAX)
    throw py::value_error("lin must be a 1-D array of at most 2^31 - 1 numbers");
  const size_t n = static_cast<size_t>(lin.shape(0));
  auto s = std::make_unique<KALTRO>(static_cast<int>(n));
  copy_in("lin", lin, n, s->lin);
  copy_in("lo", lo, n, s->lo);
  copy_in("hi", hi, n, s->hi);
  if (x0)
    copy_in("x0", *x0, n, s->x);
  if (kidx) {
    if (kidx->ndim() != 1 || static_cast<size_t>(kidx->shape(0)) != n)
      throw py::value_error("kidx must be a 1-D array of " + std::to_string(n) + " integers");
    std::copy(kidx->data(), kidx->data() + n, s->kidx);
  }
  if (!k.callable()) {
    if (!kidx && static_cast<long long>(n) != k.side)
      throw py::value_error("a kernel matrix of side " + std::to_string(k.side) + " for " +
                            std::to_string(n) + " variables needs kidx");
    for (size_t i = 0; i < n; i++)
      if (s->kidx[i] < 0 || s->kidx[i] >= k.side)
        throw py::value_error("kidx[" + std::to_string(i) + "] = " + std::to_string(s->kidx[i]) +
                              " is outside the kernel matrix");
  }
  if (!(o.cache_mb > 0))
    throw py::value_error("cache_mb must be positive");
  const double bytes = o.cache_mb * 1048576.0;
  s->maxcachesize = bytes < static_cast<double>(LONG_MAX) ? static_cast<long>(bytes) : LONG_MAX;
  s->kernel = k.callable() ? call_entry : matrix_entry;
  s->kernel_arg = &k;
  s->equality = o.equality;
  s->eps_gap = o.eps_gap;
  s->eps_bound = o.eps_bound;
  s->big = o.big;
  s->max_steps = o.max_steps;
  s->trace_level = o.trace_level;
  s->output = o.trace_level > 0 ? write_python_stdout : nullptr;
  return s;
}

// One call of run: without the GIL on a matrix, with it for a callable.
int run(KALTRO& s, const Kernel& k, bool initialize, bool finalize) {
  int r;
  if (k.callable()) {
    r = s.run(initialize, finalize);
  } else {
    py::gil_scoped_release nogil;
    r = s.run(initialize, finalize);
  }
  if (r < 0)
    throw SolverFailure(s.last_error ? s.last_error : "the solve failed");
  return r;
}

// An array of the solver's, in the caller's order (position i holds variable home[i]).
py::array_t<double> caller_order(const KALTRO& s, const double* a) {
  py::array_t<double> out(s.n);
  double* o = out.mutable_data();
  for (int i = 0; i < s.n; i++)
    o[s.home[i]] = a[i];
  return out;
}

struct SolveResult {
  py::array_t<double> x, g;
  double w;
  int steps;
};

SolveResult solve(const py::object& kernel, const Vector& lin, const Vector& lo, const Vector& hi,
                  const std::optional<Vector>& x0, const std::optional<Indices>& kidx,
                  const Options& o) {
  Kernel k = make_kernel(kernel);
  std::unique_ptr<KALTRO> s = make_problem(k, lin, lo, hi, x0, kidx, o);
  const int steps = run(*s, k, true, true);
  return {caller_order(*s, s->x), caller_order(*s, s->g), s->w, steps};
}

// The split solve: start, any number of solves after changes, finish.
class Problem {
 public:
  Problem(const py::object& kernel, const Vector& lin, const Vector& lo, const Vector& hi,
          const std::optional<Vector>& x0, const std::optional<Indices>& kidx, const Options& o)
      : k_(make_kernel(kernel)), s_(make_problem(k_, lin, lo, hi, x0, kidx, o)) {}

  int start() {
    if (started_)
      throw std::runtime_error("the problem is started already: finish() first");
    return step(true, false, true);
  }
  int solve() {
    need_started("solve()");
    return step(false, false, true);
  }
  void finish() {
    need_started("finish()");
    step(false, true, false);
  }

  py::array_t<double> get(double* KALTRO::*field) const {
    idle();
    return caller_order(*s_, (*s_).*field);
  }
  void set(double* KALTRO::*field, const char* name, const Vector& v) {
    idle();
    if (v.ndim() != 1 || v.shape(0) != s_->n)
      throw py::value_error(std::string(name) + " must be a 1-D array of " + std::to_string(s_->n) +
                            " numbers");
    double* a = (*s_).*field;
    for (int i = 0; i < s_->n; i++)
      a[i] = v.data()[s_->home[i]];
  }
  py::array_t<int> kidx() const {
    idle();
    py::array_t<int> out(s_->n);
    for (int i = 0; i < s_->n; i++)
      out.mutable_data()[s_->home[i]] = s_->kidx[i];
    return out;
  }
  double w() const { return s_->w; }
  int n() const { return s_->n; }
  bool started() const { return started_; }
  int steps() const { return steps_; }

 private:
  void idle() const {
    if (busy_)
      throw std::runtime_error("the problem is being solved (from its kernel or another thread)");
  }
  void need_started(const char* what) const {
    if (!started_)
      throw std::runtime_error(std::string(what) + " before start()");
  }
  int step(bool initialize, bool finalize, bool keep) {
    idle();
    busy_ = true;
    struct Idle {
      bool& b;
      ~Idle() { b = false; }
    } idle{busy_};
    started_ = keep;  // after a failure too: finish() then restores the order
    steps_ = run(*s_, k_, initialize, finalize);
    return steps_;
  }

  Kernel k_;
  std::unique_ptr<KALTRO> s_;
  bool started_ = false;
  bool busy_ = false;  // read and written with the GIL held
  int steps_ = 0;
};

}  // namespace

void write_python_stdout(const char* text, bool flush, void*) {
  py::gil_scoped_acquire gil;
  // The solver's output must not fail it: a broken stdout loses the text.
  try {
    py::object out = py::module_::import("sys").attr("stdout");
    if (out.is_none())
      return;
    out.attr("write")(text);
    if (flush)
      out.attr("flush")();
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("kaltro solver output");
  }
}

void bind_solver(py::module_& m) {
  py::register_exception<SolverFailure>(m, "SolverError", PyExc_RuntimeError);

  py::class_<SolveResult>(m, "SolveResult", "What kaltro.solve returns.")
      .def_readonly("x", &SolveResult::x, "the solution, one entry per variable")
      .def_readonly("g", &SolveResult::g, "the gradient lin - K x at the solution")
      .def_readonly("w", &SolveResult::w, "the objective at the solution")
      .def_readonly("steps", &SolveResult::steps, "solver steps taken")
      .def("__repr__", [](const SolveResult& r) {
        return "SolveResult(n=" + std::to_string(r.x.shape(0)) + ", w=" + std::to_string(r.w) +
               ", steps=" + std::to_string(r.steps) + ")";
      });

  auto options = [](bool equality, double eps_gap, double eps_bound, double big, double cache_mb,
                    int trace_level, long long max_steps) {
    return Options{equality, eps_gap, eps_bound, big, cache_mb, trace_level, max_steps};
  };
  m.def(
      "solve",
      [options](const py::object& kernel, const Vector& lin, const Vector& lo, const Vector& hi,
                const std::optional<Vector>& x0, const std::optional<Indices>& kidx, bool equality,
                double eps_gap, double eps_bound, double big, double cache_mb, int trace_level,
                long long max_steps) {
        return solve(kernel, lin, lo, hi, x0, kidx,
                     options(equality, eps_gap, eps_bound, big, cache_mb, trace_level, max_steps));
      },
      py::arg("kernel"), py::arg("lin"), py::arg("lo"), py::arg("hi"), py::arg("x0") = py::none(),
      py::kw_only(), py::arg("kidx") = py::none(), py::arg("equality") = true,
      py::arg("eps_gap") = 1e-3, py::arg("eps_bound") = 1e-20, py::arg("big") = 1e20,
      py::arg("cache_mb") = 256.0, py::arg("trace_level") = 0, py::arg("max_steps") = 0);

  py::class_<Problem>(m, "Problem")
      .def(py::init([options](const py::object& kernel, const Vector& lin, const Vector& lo,
                              const Vector& hi, const std::optional<Vector>& x0,
                              const std::optional<Indices>& kidx, bool equality, double eps_gap,
                              double eps_bound, double big, double cache_mb, int trace_level,
                              long long max_steps) {
             return new Problem(
                 kernel, lin, lo, hi, x0, kidx,
                 options(equality, eps_gap, eps_bound, big, cache_mb, trace_level, max_steps));
           }),
           py::arg("kernel"), py::arg("lin"), py::arg("lo"), py::arg("hi"),
           py::arg("x0") = py::none(), py::kw_only(), py::arg("kidx") = py::none(),
           py::arg("equality") = true, py::arg("eps_gap") = 1e-3, py::arg("eps_bound") = 1e-20,
           py::arg("big") = 1e20, py::arg("cache_mb") = 256.0, py::arg("trace_level") = 0,
           py::arg("max_steps") = 0)
      .def("start", &Problem::start)
      .def("solve", &Problem::solve)
      .def("finish", &Problem::finish)
      .def_property(
          "lin", [](const Problem& p) { return p.get(&KALTRO::lin); },
          [](Problem& p, const Vector& v) { p.set(&KALTRO::lin, "lin", v); })
      .def_property(
          "lo", [](const Problem& p) { return p.get(&KALTRO::lo); },
          [](Problem& p, const Vector& v) { p.set(&KALTRO::lo, "lo", v); })
      .def_property(
          "hi", [](const Problem& p) { return p.get(&KALTRO::hi); },
          [](Problem& p, const Vector& v) { p.set(&KALTRO::hi, "hi", v); })
      .def_property(
          "x", [](const Problem& p) { return p.get(&KALTRO::x); },
          [](Problem& p, const Vector& v) { p.set(&KALTRO::x, "x", v); })
      .def_property_readonly("g", [](const Problem& p) { return p.get(&KALTRO::g); })
      .def_property_readonly("kidx", &Problem::kidx)
      .def_property_readonly("w", &Problem::w)
      .def_property_readonly("n", &Problem::n)
      .def_property_readonly("started", &Problem::started)
      .def_property_readonly("steps", &Problem::steps);
}

}  // namespace kaltro_python
