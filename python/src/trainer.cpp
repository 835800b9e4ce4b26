// The trainer library for Python: data sets from numpy arrays and compressed
// sparse rows, parameters, training with the GIL released and Ctrl-C turned
// into the library's stop request, decision values and predictions, model
// files, and models that pickle.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <signal.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings.h"
#include "kaltro_svm.h"

namespace py = pybind11;

namespace kaltro_python {

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Offsets = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
// Column indices are never narrowed silently: int32 as they come, or a TypeError.
using Columns = py::array_t<std::int32_t, py::array::c_style>;

// A vector handed to numpy without a copy, in the given shape.
template <class T>
py::array_t<T> to_numpy(std::vector<T>&& v, std::vector<py::ssize_t> shape) {
  auto* held = new std::vector<T>(std::move(v));
  py::capsule owner(held, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(shape, held->data(), owner);
}

template <class T>
py::array_t<T> to_numpy(std::vector<T> v) {
  const py::ssize_t n = static_cast<py::ssize_t>(v.size());
  return to_numpy(std::move(v), {n});
}

int checked_count(py::ssize_t v, const char* what) {
  if (v < 0 || v > INT_MAX)
    throw py::value_error(std::string("too many ") + what + " (at most 2^31 - 1)");
  return static_cast<int>(v);
}

std::vector<double> heads(const std::optional<Doubles>& head, int n) {
  if (!head)
    return std::vector<double>(static_cast<size_t>(n), 0.0);
  if (head->ndim() != 1 || head->shape(0) != n)
    throw py::value_error("head must be a 1-D array of " + std::to_string(n) + " numbers");
  return std::vector<double>(head->data(), head->data() + n);
}

std::shared_ptr<ksvm::Dataset> from_dense(const Doubles& x, const std::optional<Doubles>& head) {
  if (x.ndim() != 2)
    throw py::value_error("the rows must be a 2-D array");
  const int n = checked_count(x.shape(0), "rows");
  const int d = checked_count(x.shape(1), "features");
  const std::vector<double> h = heads(head, n);
  py::gil_scoped_release nogil;
  return std::make_shared<ksvm::Dataset>(ksvm::dataset_from_dense(n, d, x.data(), h.data()));
}

std::shared_ptr<ksvm::Dataset> from_csr(const Offsets& indptr, const Columns& indices,
                                        const Doubles& values, py::ssize_t d,
                                        const std::optional<Doubles>& head) {
  if (indptr.ndim() != 1 || indptr.shape(0) < 1 || indices.ndim() != 1 || values.ndim() != 1 ||
      indices.shape(0) != values.shape(0))
    throw py::value_error("compressed rows need 1-D indptr, indices and values of equal length");
  const int n = checked_count(indptr.shape(0) - 1, "rows");
  const int width = checked_count(d, "features");
  const std::int64_t* ptr = indptr.data();
  if (ptr[0] != 0 || ptr[n] > indices.shape(0))
    throw py::value_error("indptr must start at 0 and end within the indices");
  const std::vector<double> h = heads(head, n);
  py::gil_scoped_release nogil;
  return std::make_shared<ksvm::Dataset>(
      ksvm::dataset_from_csr(n, width, ptr, indices.data(), values.data(), h.data()));
}

// The rows of `data` as compressed sparse rows (indptr, indices, values).
py::tuple to_csr(const ksvm::Dataset& data) {
  std::vector<std::int64_t> indptr{0};
  std::vector<std::int32_t> indices;
  std::vector<double> values;
  for (int i = 0; i < data.n; i++) {
    data.each_nonzero(i, [&](int k, double v) {
      indices.push_back(k);
      values.push_back(v);
    });
    indptr.push_back(static_cast<std::int64_t>(indices.size()));
  }
  return py::make_tuple(to_numpy(std::move(indptr)), to_numpy(std::move(indices)),
                        to_numpy(std::move(values)));
}

// ---------------------------------------------------------------- Ctrl-C ---

// The stop flag of the training that runs on the main thread, if any.
std::atomic<std::atomic<bool>*> sigint_target{nullptr};

void raise_stop(int) {
  if (std::atomic<bool>* flag = sigint_target.load())
    flag->store(true);
}

bool on_main_thread() {
  py::object main = py::module_::import("threading").attr("main_thread")();
  return main.attr("ident").cast<unsigned long>() == PyThread_get_thread_ident();
}

// While alive on the main thread, SIGINT raises `flag` (the library's stop
// request) instead of reaching Python, whose handler cannot run while the
// library works without the GIL.  Nothing changes where Python ignores the
// signal or leaves it to the system, nor on other threads (signals reach
// Python's handler on the main thread only).
class SigintStop {
 public:
  std::atomic<bool> flag{false};

  SigintStop() {
    if (!on_main_thread() || sigaction(SIGINT, nullptr, &old_) != 0)
      return;
    if (!(old_.sa_flags & SA_SIGINFO) && (old_.sa_handler == SIG_IGN || old_.sa_handler == SIG_DFL))
      return;
    struct sigaction sa {};
    sa.sa_handler = raise_stop;
    sigemptyset(&sa.sa_mask);
    sigint_target.store(&flag);
    installed_ = sigaction(SIGINT, &sa, nullptr) == 0;
    if (!installed_)
      sigint_target.store(nullptr);
  }
  ~SigintStop() { restore(); }
  SigintStop(const SigintStop&) = delete;
  SigintStop& operator=(const SigintStop&) = delete;

  void restore() {
    if (!installed_)
      return;
    sigaction(SIGINT, &old_, nullptr);
    sigint_target.store(nullptr);
    installed_ = false;
  }

  // After the work: a Ctrl-C that came goes to Python's own handler
  // (KeyboardInterrupt unless the program set another); work that stopped
  // for it raises KeyboardInterrupt in any case.
  void deliver(bool stopped) {
    restore();
    if (flag.load()) {
      PyErr_SetInterrupt();
      if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
    }
    if (stopped) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      throw py::error_already_set();
    }
  }

 private:
  bool installed_ = false;
  struct sigaction old_ {};
};

// --------------------------------------------------------------- models ---

py::array_t<double> coef_matrix(const ksvm::Model& m) {
  const size_t rows = m.coef.size(), cols = static_cast<size_t>(m.sv.n);
  std::vector<double> flat;
  flat.reserve(rows * cols);
  for (const std::vector<double>& r : m.coef) {
    if (r.size() != cols)
      throw py::value_error("the model's coefficient rows do not match its support vectors");
    flat.insert(flat.end(), r.begin(), r.end());
  }
  return to_numpy(std::move(flat),
                  {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
}

template <class T>
std::vector<T> vec(const py::handle& h) {
  return h.cast<std::vector<T>>();
}

// A model as plain Python values and arrays, and back: what pickling keeps.
py::tuple model_state(const ksvm::Model& m) {
  return py::make_tuple(m.task, m.kernel.type, m.kernel.degree, m.kernel.gamma, m.kernel.coef0,
                        m.nr_class, to_numpy(m.label), to_numpy(m.nr_sv), to_numpy(m.rho),
                        coef_matrix(m), to_numpy(m.probA), to_numpy(m.probB), m.sv.d, to_csr(m.sv),
                        to_numpy(m.sv_index));
}

std::shared_ptr<ksvm::Model> model_from_state(const py::tuple& t) {
  if (t.size() != 15)
    throw std::runtime_error("not the state of a kaltro model");
  auto m = std::make_shared<ksvm::Model>();
  m->task = t[0].cast<int>();
  m->kernel.type = t[1].cast<int>();
  m->kernel.degree = t[2].cast<int>();
  m->kernel.gamma = t[3].cast<double>();
  m->kernel.coef0 = t[4].cast<double>();
  m->nr_class = t[5].cast<int>();
  m->label = vec<double>(t[6]);
  m->nr_sv = vec<int>(t[7]);
  m->rho = vec<double>(t[8]);
  Doubles coef = Doubles::ensure(t[9]);
  if (!coef || coef.ndim() != 2)
    throw std::runtime_error("not the state of a kaltro model");
  for (py::ssize_t r = 0; r < coef.shape(0); r++)
    m->coef.emplace_back(coef.data(r, 0), coef.data(r, 0) + coef.shape(1));
  m->probA = vec<double>(t[10]);
  m->probB = vec<double>(t[11]);
  const py::tuple csr = t[13].cast<py::tuple>();
  m->sv = *from_csr(csr[0].cast<Offsets>(), csr[1].cast<Columns>(), csr[2].cast<Doubles>(),
                    t[12].cast<py::ssize_t>(), std::nullopt);
  m->sv_index = vec<int>(t[14]);
  return m;
}

// -------------------------------------------------- training, prediction ---

py::tuple train(const ksvm::Dataset& data, ksvm::Params params) {
  SigintStop ctrl_c;
  params.stop = &ctrl_c.flag;
  auto model = std::make_shared<ksvm::Model>();
  ksvm::TrainReport report;
  bool stopped = false;
  {
    py::gil_scoped_release nogil;
    try {
      *model = ksvm::train(data, params, &report);
    } catch (const ksvm::Interrupted&) {
      stopped = true;
    }
  }
  ctrl_c.deliver(stopped);
  return py::make_tuple(model, report);
}

size_t values_per_row(const ksvm::Model& m) {
  const size_t k = static_cast<size_t>(m.nr_class);
  return m.task == ksvm::kCSVC ? k * (k - 1) / 2 : 1;
}

py::array_t<double> decision_values(const ksvm::Model& m, const ksvm::Dataset& data, int threads) {
  std::vector<double> v;
  {
    py::gil_scoped_release nogil;
    v = ksvm::decision_values(m, data, threads);
  }
  return to_numpy(std::move(v),
                  {static_cast<py::ssize_t>(data.n), static_cast<py::ssize_t>(values_per_row(m))});
}

py::array_t<double> predict(const ksvm::Model& m, const ksvm::Dataset& data, int threads) {
  std::vector<double> v;
  {
    py::gil_scoped_release nogil;
    v = ksvm::predict(m, data, threads);
  }
  return to_numpy(std::move(v));
}

py::array_t<double> predict_probability(const ksvm::Model& m, const ksvm::Dataset& data,
                                        int threads) {
  std::vector<double> v;
  {
    py::gil_scoped_release nogil;
    v = ksvm::predict_probability(m, data, nullptr, threads);
  }
  return to_numpy(std::move(v),
                  {static_cast<py::ssize_t>(data.n), static_cast<py::ssize_t>(m.nr_class)});
}

}  // namespace

void bind_trainer(py::module_& m) {
  // Data or parameters the library refuses, or a failed solve.
  py::register_exception<ksvm::Failure>(m, "SVMError", PyExc_ValueError);

  m.attr("LINEAR") = static_cast<int>(ksvm::kLinear);
  m.attr("POLY") = static_cast<int>(ksvm::kPolynomial);
  m.attr("RBF") = static_cast<int>(ksvm::kRbf);
  m.attr("SIGMOID") = static_cast<int>(ksvm::kSigmoid);
  m.attr("PRECOMPUTED") = static_cast<int>(ksvm::kPrecomputed);
  m.attr("C_SVC") = static_cast<int>(ksvm::kCSVC);
  m.attr("ONE_CLASS") = static_cast<int>(ksvm::kOneClass);
  m.attr("EPSILON_SVR") = static_cast<int>(ksvm::kEpsilonSVR);

  py::class_<ksvm::Dataset, std::shared_ptr<ksvm::Dataset>>(
      m, "Dataset", "Rows held by the trainer library, densely or sparsely (its choice).")
      .def_static("dense", &from_dense, py::arg("x"), py::arg("head") = py::none(),
                  "From a 2-D array (copied); head: a label or target per row (default 0).")
      .def_static("csr", &from_csr, py::arg("indptr"), py::arg("indices"), py::arg("values"),
                  py::arg("d"), py::arg("head") = py::none(),
                  "From compressed sparse rows: int64 indptr, int32 indices increasing in each "
                  "row, float64 values; d features.  Never made dense.")
      .def_static(
          "read", [](const std::string& path) { return ksvm::read_dataset(path); }, py::arg("path"),
          "From a file in the sparse text format")
      .def_readonly("n", &ksvm::Dataset::n)
      .def_readonly("d", &ksvm::Dataset::d)
      .def_readonly("sparse", &ksvm::Dataset::sparse)
      .def_property_readonly("nonzeros", &ksvm::Dataset::nonzeros)
      .def_property_readonly("head", [](const ksvm::Dataset& d) { return to_numpy(d.head); })
      .def("to_csr", &to_csr, "(indptr, indices, values) of the rows");

  py::class_<ksvm::Params>(m, "Params", "How to train (the library's Params).")
      .def(py::init<>())
      .def_readwrite("task", &ksvm::Params::task)
      .def_property(
          "kernel_type", [](const ksvm::Params& p) { return p.kernel.type; },
          [](ksvm::Params& p, int v) { p.kernel.type = v; })
      .def_property(
          "degree", [](const ksvm::Params& p) { return p.kernel.degree; },
          [](ksvm::Params& p, int v) { p.kernel.degree = v; })
      .def_property(
          "gamma", [](const ksvm::Params& p) { return p.kernel.gamma; },
          [](ksvm::Params& p, double v) { p.kernel.gamma = v; })
      .def_property(
          "coef0", [](const ksvm::Params& p) { return p.kernel.coef0; },
          [](ksvm::Params& p, double v) { p.kernel.coef0 = v; })
      .def_readwrite("C", &ksvm::Params::C)
      .def_readwrite("nu", &ksvm::Params::nu)
      .def_readwrite("p", &ksvm::Params::p)
      .def_readwrite("eps", &ksvm::Params::eps)
      .def_readwrite("cache_mb", &ksvm::Params::cache_mb)
      .def_property(
          "weights",
          [](const ksvm::Params& p) {
            std::vector<std::pair<double, double>> w;
            for (const ksvm::ClassWeight& c : p.weights)
              w.emplace_back(c.label, c.weight);
            return w;
          },
          [](ksvm::Params& p, const std::vector<std::pair<double, double>>& w) {
            p.weights.clear();
            for (const auto& c : w)
              p.weights.push_back({c.first, c.second});
          },
          "(label, factor on C) pairs")
      .def_property(
          "row_weight", [](const ksvm::Params& p) { return to_numpy(p.row_weight); },
          [](ksvm::Params& p, const Doubles& w) {
            if (w.ndim() != 1)
              throw py::value_error("row_weight must be a 1-D array");
            p.row_weight.assign(w.data(), w.data() + w.shape(0));
          })
      .def_readwrite("sorted_labels", &ksvm::Params::sorted_labels)
      .def_readwrite("bias", &ksvm::Params::bias)
      .def_readwrite("max_steps", &ksvm::Params::max_steps)
      .def_readwrite("keep_at_step_limit", &ksvm::Params::keep_at_step_limit)
      .def_readwrite("probability", &ksvm::Params::probability)
      .def_readwrite("threads", &ksvm::Params::threads)
      .def_readwrite("seed", &ksvm::Params::seed)
      .def_readwrite("trace_level", &ksvm::Params::trace_level);

  py::class_<ksvm::SolveReport>(m, "SolveReport")
      .def_readonly("first", &ksvm::SolveReport::first)
      .def_readonly("second", &ksvm::SolveReport::second)
      .def_readonly("n", &ksvm::SolveReport::n)
      .def_readonly("objective", &ksvm::SolveReport::objective)
      .def_readonly("steps", &ksvm::SolveReport::steps)
      .def_readonly("kernel_evals", &ksvm::SolveReport::kernel_evals)
      .def_readonly("support_vectors", &ksvm::SolveReport::support_vectors)
      .def_readonly("bounded", &ksvm::SolveReport::bounded)
      .def_readonly("rho", &ksvm::SolveReport::rho)
      .def_readonly("seconds", &ksvm::SolveReport::seconds)
      .def_readonly("converged", &ksvm::SolveReport::converged);

  py::class_<ksvm::TrainReport>(m, "TrainReport")
      .def_readonly("solves", &ksvm::TrainReport::solves)
      .def_readonly("bounded", &ksvm::TrainReport::bounded)
      .def_property_readonly("fitted",
                             [](const ksvm::TrainReport& r) { return to_numpy(r.fitted); });

  py::class_<ksvm::Model, std::shared_ptr<ksvm::Model>>(m, "Model", "A trained model.")
      .def_readonly("task", &ksvm::Model::task)
      .def_property_readonly("kernel_type", [](const ksvm::Model& x) { return x.kernel.type; })
      .def_property_readonly("degree", [](const ksvm::Model& x) { return x.kernel.degree; })
      .def_property_readonly("gamma", [](const ksvm::Model& x) { return x.kernel.gamma; })
      .def_property_readonly("coef0", [](const ksvm::Model& x) { return x.kernel.coef0; })
      .def_readonly("nr_class", &ksvm::Model::nr_class)
      .def_property_readonly("label", [](const ksvm::Model& x) { return to_numpy(x.label); })
      .def_property_readonly("nr_sv", [](const ksvm::Model& x) { return to_numpy(x.nr_sv); })
      .def_property_readonly("rho", [](const ksvm::Model& x) { return to_numpy(x.rho); })
      .def_property_readonly("coef", &coef_matrix,
                             "(nr_class - 1) x (support vectors), as the model file holds them")
      .def_property_readonly("probA", [](const ksvm::Model& x) { return to_numpy(x.probA); })
      .def_property_readonly("probB", [](const ksvm::Model& x) { return to_numpy(x.probB); })
      .def_property_readonly("sv_index", [](const ksvm::Model& x) { return to_numpy(x.sv_index); })
      .def_property_readonly(
          "sv", [](const ksvm::Model& x) { return std::make_shared<ksvm::Dataset>(x.sv); })
      .def(py::pickle(&model_state, &model_from_state));

  m.def("train", &train, py::arg("data"), py::arg("params"),
        "Train; returns (Model, TrainReport).  Runs without the GIL; Ctrl-C on the main thread "
        "stops it and raises KeyboardInterrupt.");
  m.def("decision_values", &decision_values, py::arg("model"), py::arg("data"),
        py::arg("threads") = 1,
        "Decision values, one row per data row (C-SVC: one column per class pair).");
  m.def("predict", &predict, py::arg("model"), py::arg("data"), py::arg("threads") = 1);
  m.def("predict_probability", &predict_probability, py::arg("model"), py::arg("data"),
        py::arg("threads") = 1,
        "Class probabilities, one row per data row, one column per class in the model's order.");
  m.def(
      "write_model",
      [](const std::string& path, const ksvm::Model& model) { ksvm::write_model(path, model); },
      py::arg("path"), py::arg("model"));
  m.def(
      "read_model",
      [](const std::string& path) { return std::make_shared<ksvm::Model>(ksvm::read_model(path)); },
      py::arg("path"));
}

}  // namespace kaltro_python
