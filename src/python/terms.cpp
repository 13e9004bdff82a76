#include "python/terms.hpp"

#include <string>

#include "core/format.hpp"
#include "python/convert.hpp"

namespace quelt::py {

namespace {

[[noreturn]] void term_error(const std::string& msg) {
  raise(PyExc_ValueError, "fit_additive: " + msg);
}

std::string idx(Py_ssize_t i) { return fmt_uint(static_cast<std::uint64_t>(i)); }

// The entries of a tuple of integers, in order; a failed conversion names
// the entry ("<what>[j]").
std::vector<std::size_t> index_list(PyObject* tuple, const std::string& what) {
  const Py_ssize_t m = PyTuple_GET_SIZE(tuple);
  std::vector<std::size_t> out;
  out.reserve(static_cast<std::size_t>(m));
  for (Py_ssize_t j = 0; j < m; ++j)
    out.push_back(index_to_u64(PyTuple_GET_ITEM(tuple, j), what + "[" + idx(j) + "]"));
  return out;
}

TermSpec parse_te(Py_ssize_t i, PyObject* item) {
  const Py_ssize_t len = PyTuple_GET_SIZE(item);
  PyObject* cols = PyTuple_GET_ITEM(item, 0);
  if (!PyTuple_Check(cols))
    term_error("tensor term " + idx(i) + " first element must be a (col_a, col_b) tuple");
  if (PyTuple_GET_SIZE(cols) != 2)
    term_error("tensor term " + idx(i) + " cols tuple must have exactly 2 elements");
  TermSpec::Te te;
  const std::string what = "fit_additive: tensor term " + idx(i);
  te.col_a = index_to_u64(PyTuple_GET_ITEM(cols, 0), what + " col_a");
  te.col_b = index_to_u64(PyTuple_GET_ITEM(cols, 1), what + " col_b");
  if (len < 3) {
    te.k_a = te.k_b = 10;
  } else {
    PyObject* k = PyTuple_GET_ITEM(item, 2);
    if (!PyTuple_Check(k)) term_error("tensor term " + idx(i) + " k must be a (k_a, k_b) tuple");
    if (PyTuple_GET_SIZE(k) != 2)
      term_error("tensor term " + idx(i) + " k tuple must have exactly 2 elements");
    te.k_a = index_to_u64(PyTuple_GET_ITEM(k, 0), what + " k_a");
    te.k_b = index_to_u64(PyTuple_GET_ITEM(k, 1), what + " k_b");
  }
  return TermSpec{te};
}

// The column tuple in the first element of a "te_multi", "ti" or "tp" term:
// a tuple of at least two column indices. `what` names the term in messages.
std::vector<std::size_t> cols_tuple(PyObject* item, const std::string& what) {
  PyObject* cols = PyTuple_GET_ITEM(item, 0);
  if (!PyTuple_Check(cols)) term_error(what + " first element must be a tuple of column indices");
  if (PyTuple_GET_SIZE(cols) < 2) term_error(what + " cols tuple must have at least 2 elements");
  return index_list(cols, "fit_additive: " + what + " cols");
}

// "te_multi" and "ti": the same tuple form.
template <class Multi>
TermSpec parse_multi(Py_ssize_t i, PyObject* item) {
  const Py_ssize_t len = PyTuple_GET_SIZE(item);
  Multi t;
  t.cols = cols_tuple(item, "term " + idx(i));
  const std::size_t m = t.cols.size();
  if (len > 2) {
    PyObject* k = PyTuple_GET_ITEM(item, 2);
    if (!PyTuple_Check(k))
      term_error("term " + idx(i) + " k must be a tuple of marginal basis dims");
    const auto klen = static_cast<std::size_t>(PyTuple_GET_SIZE(k));
    if (klen != m)
      term_error("term " + idx(i) + " k tuple length (" + fmt_uint(klen) +
                 ") must match cols length (" + fmt_uint(m) + ")");
    t.k = index_list(k, "fit_additive: term " + idx(i) + " k");
  } else {
    t.k.assign(m, 5);
  }
  t.bs.assign(m, MarginBasis::Cr);
  return TermSpec{std::move(t)};
}

TermSpec parse_tp(Py_ssize_t i, PyObject* item) {
  const Py_ssize_t len = PyTuple_GET_SIZE(item);
  TermSpec::Tp tp;
  tp.cols = cols_tuple(item, "tps term " + idx(i));
  if (len >= 3) {
    tp.k = index_to_u64(PyTuple_GET_ITEM(item, 2), "fit_additive: tps term " + idx(i) + " k");
  } else {
    tp.k = 10 * tp.cols.size();
  }
  return TermSpec{std::move(tp)};
}

// "cr", "cr_stable", "re" and every unknown name: the column is converted
// before the name is tested.
TermSpec parse_univariate(Py_ssize_t i, PyObject* item, const std::string& basis) {
  const Py_ssize_t len = PyTuple_GET_SIZE(item);
  std::size_t col = 0;
  try {
    col = index_to_u64(PyTuple_GET_ITEM(item, 0), "column");
  } catch (const PyErrorSet&) {
    PyErr_Clear();
    term_error("univariate term " + idx(i) + " first element must be an integer column index");
  }
  auto k_or_default = [&]() -> std::size_t {
    return len >= 3 ? index_to_u64(PyTuple_GET_ITEM(item, 2), "fit_additive: term " + idx(i) + " k")
                    : 10;
  };
  if (basis == "cr_stable") return TermSpec{TermSpec::CrStable{col, k_or_default()}};
  if (basis == "cr") return TermSpec{TermSpec::Cr{col, k_or_default()}};
  if (basis == "re") return TermSpec{TermSpec::Re{col}};
  term_error("term " + idx(i) +
             " basis must be 'cr', 'cr_stable', 're', 'te', 'te_multi', 'ti', or 'tp'; got " +
             quoted(basis));
}

}  // namespace

std::vector<TermSpec> parse_terms(PyObject* terms) {
  std::vector<TermSpec> out;
  const Py_ssize_t n = PyList_GET_SIZE(terms);
  for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(terms); ++i) {
    // A strong reference: converting the item's elements may run code that
    // removes it from the list.
    PyRef item = PyRef::borrow(PyList_GET_ITEM(terms, i));
    if (!PyTuple_Check(item.get())) {
      PyErr_Format(PyExc_ValueError, "fit_additive: term %zd must be a tuple; got %R", i,
                   item.get());
      throw_pyerr();
    }
    if (PyTuple_GET_SIZE(item.get()) < 2)
      term_error("term " + idx(i) + " tuple must have at least 2 elements");
    PyObject* name_obj = PyTuple_GET_ITEM(item.get(), 1);
    if (!PyUnicode_Check(name_obj)) {
      PyErr_Format(PyExc_TypeError, "fit_additive: term %zd basis name must be str, not %s", i,
                   Py_TYPE(name_obj)->tp_name);
      throw_pyerr();
    }
    Py_ssize_t name_len = 0;
    const char* name_utf8 = PyUnicode_AsUTF8AndSize(name_obj, &name_len);
    if (name_utf8 == nullptr) throw_pyerr();
    const std::string basis(name_utf8, static_cast<std::size_t>(name_len));
    // At most (columns, basis, k): a further element is a mistake, not
    // something to drop silently.
    if (PyTuple_GET_SIZE(item.get()) > 3)
      term_error("term " + idx(i) + " tuple has " + idx(PyTuple_GET_SIZE(item.get())) +
                 " elements; a term is (columns, basis) or (columns, basis, k)");

    if (basis == "te") {
      out.push_back(parse_te(i, item.get()));
    } else if (basis == "te_multi") {
      out.push_back(parse_multi<TermSpec::TeMulti>(i, item.get()));
    } else if (basis == "ti") {
      out.push_back(parse_multi<TermSpec::Ti>(i, item.get()));
    } else if (basis == "tp") {
      out.push_back(parse_tp(i, item.get()));
    } else {
      out.push_back(parse_univariate(i, item.get(), basis));
    }
  }
  if (out.empty()) raise(PyExc_ValueError, "fit_additive: terms list must be non-empty");
  return out;
}

}  // namespace quelt::py
