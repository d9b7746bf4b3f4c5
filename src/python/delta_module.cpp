// The `delta` submodule: chunk-set overlap, reuse decisions and the economic
// delta, with cost models given as Python dicts.
#include "python/delta_module.hpp"

#include "engine/reuse.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/module_builder.hpp"

#include <string>

namespace tessary::python {

namespace {

// Looks a key up without invoking __missing__; exceptions of the lookup itself
// (a key whose __eq__ raises) are left set. Returns a new reference or null.
Ref get_item(PyObject* dict, const char* key) {
  Ref key_obj = new_str(key);
  if (!key_obj) return {};
  return Ref::borrow(PyDict_GetItemWithError(dict, key_obj.get()));
}

// A number as Python's float() of numbers reads it, or nothing (error cleared).
std::optional<double> float_or_nothing(PyObject* value) {
  auto d = as_double(value);
  if (!d) PyErr_Clear();
  return d;
}

std::optional<double> float_entry(PyObject* dict, const char* key) {
  Ref value = get_item(dict, key);
  if (!value) {
    PyErr_Clear();
    return std::nullopt;
  }
  return float_or_nothing(value.get());
}

// Reads one cost figure: a number, {"type": "constant", "value": v} or
// {"type": "linear", "per_row": p, "base": b}. Null result: exception set.
std::optional<engine::CostValue> parse_cost_value(PyObject* model, const char* key) {
  const std::string k = key;
  Ref value = get_item(model, key);
  if (!value) {
    if (PyErr_Occurred()) return std::nullopt;
    raise_value_error("Missing required field: " + k);
    return std::nullopt;
  }
  if (auto d = float_or_nothing(value.get())) return engine::ConstantCost{*d};
  if (!PyDict_Check(value.get())) {
    raise_value_error(k + ": expected float or dict, got " + full_type_name(value.get()));
    return std::nullopt;
  }
  Ref type = get_item(value.get(), "type");
  if (!type && PyErr_Occurred()) return std::nullopt;
  if (!type || !PyUnicode_Check(type.get())) {
    raise_value_error(k + ": missing 'type' field");
    return std::nullopt;
  }
  auto type_text = utf8_of(type.get());
  if (!type_text) return std::nullopt;
  if (*type_text == "constant") {
    auto v = float_entry(value.get(), "value");
    if (!v) {
      raise_value_error(k + ": missing 'value' field");
      return std::nullopt;
    }
    return engine::ConstantCost{*v};
  }
  if (*type_text == "linear") {
    auto per_row = float_entry(value.get(), "per_row");
    if (!per_row) {
      raise_value_error(k + ": missing 'per_row' field");
      return std::nullopt;
    }
    auto base = float_entry(value.get(), "base");
    if (!base) {
      raise_value_error(k + ": missing 'base' field");
      return std::nullopt;
    }
    return engine::LinearCost{*per_row, *base};
  }
  raise_value_error(k + ": invalid type '" + *type_text + "', expected 'constant' or 'linear'");
  return std::nullopt;
}

std::optional<engine::CostModel> dict_to_cost_model(PyObject* model) {
  auto c_id = parse_cost_value(model, "c_id");
  if (!c_id) return std::nullopt;
  auto c_comp = parse_cost_value(model, "c_comp");
  if (!c_comp) return std::nullopt;
  auto alpha = parse_cost_value(model, "alpha");
  if (!alpha) return std::nullopt;
  return engine::CostModel{*c_id, *c_comp, *alpha};
}

struct CostArguments {
  double overlap_j;
  engine::CostModel model;
  std::optional<std::uint64_t> row_count;
};

// (overlap_j, cost_model, row_count=None), converted in signature order; the
// model's content is read only once all three converted.
std::optional<CostArguments> cost_arguments(const char* function, PyObject* args, PyObject* kwargs) {
  Ref slots[3];
  if (!bind_arguments({function, {"overlap_j", "cost_model", "row_count"}, 2}, args, kwargs, slots)) return std::nullopt;
  auto overlap = to_double(slots[0].get(), "overlap_j");
  if (!overlap) return std::nullopt;
  if (!check_dict(slots[1].get(), "cost_model")) return std::nullopt;
  std::optional<std::uint64_t> rows;
  if (slots[2].get() != nullptr && slots[2].get() != Py_None) {
    rows = to_u64(slots[2].get(), "row_count");
    if (!rows) return std::nullopt;
  }
  auto model = dict_to_cost_model(slots[1].get());
  if (!model) return std::nullopt;
  return CostArguments{*overlap, *model, rows};
}

bool set_item(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* decide_reuse_py(PyObject*, PyObject* args, PyObject* kwargs) {
  auto in = cost_arguments("decide_reuse_py", args, kwargs);
  if (!in) return nullptr;
  const engine::ReuseOutcome outcome = engine::decide_reuse(in->overlap_j, in->model, in->row_count);
  const std::string_view decision = engine::to_text(outcome.decision);
  Ref justification = Ref::steal(PyDict_New());
  if (!justification || !set_item(justification.get(), "overlap_j", Ref::steal(PyFloat_FromDouble(outcome.overlap_j))) ||
      !set_item(justification.get(), "alpha", Ref::steal(PyFloat_FromDouble(outcome.alpha))) ||
      !set_item(justification.get(), "c_id", Ref::steal(PyFloat_FromDouble(outcome.c_id))) ||
      !set_item(justification.get(), "c_comp", Ref::steal(PyFloat_FromDouble(outcome.c_comp))) ||
      !set_item(justification.get(), "decision", new_str(decision))) {
    return nullptr;
  }
  Ref result = Ref::steal(PyDict_New());
  if (!result || !set_item(result.get(), "decision", new_str(decision)) ||
      !set_item(result.get(), "justification", std::move(justification))) {
    return nullptr;
  }
  return result.release();
}

PyObject* economic_delta_py(PyObject*, PyObject* args, PyObject* kwargs) {
  auto in = cost_arguments("economic_delta_py", args, kwargs);
  if (!in) return nullptr;
  return PyFloat_FromDouble(engine::economic_delta(in->overlap_j, in->model, in->row_count));
}

PyObject* jaccard_similarity_py(PyObject*, PyObject* args, PyObject* kwargs) {
  Ref slots[2];
  if (!bind_arguments({"jaccard_similarity_py", {"set1", "set2"}, 2}, args, kwargs, slots)) return nullptr;
  auto set1 = to_string_list(slots[0].get(), "set1");
  if (!set1) return nullptr;
  auto set2 = to_string_list(slots[1].get(), "set2");
  if (!set2) return nullptr;
  return PyFloat_FromDouble(engine::jaccard_similarity(*set1, *set2));
}

constexpr const char* kDecideReuseDoc =
    "decide_reuse_py(overlap_j, cost_model, row_count=None)\n--\n\n"
    "Decide whether to reuse based on overlap and cost model.\n\n"
    "Implements the reuse rule: Reuse iff J > C_id / (\xCE\xB1 \xC2\xB7 C_comp)\n\n"
    "Args:\n"
    "    overlap_j: Jaccard overlap of the earlier and the current chunk sets (clamped to [0, 1])\n"
    "    cost_model: Dict with keys \"c_id\", \"c_comp\" and \"alpha\"; each a number, or a dict\n"
    "        {\"type\": \"constant\", \"value\": float} or\n"
    "        {\"type\": \"linear\", \"per_row\": float, \"base\": float}\n"
    "    row_count: Optional row count at which linear costs are evaluated (none means 0)\n\n"
    "Returns:\n"
    "    Dict with keys \"decision\" and \"justification\" where:\n"
    "    - decision: \"reuse\", \"recompute\", or \"hybrid\"\n"
    "    - justification: Dict with overlap_j, alpha, c_id, c_comp, decision\n";

constexpr const char* kEconomicDeltaDoc =
    "economic_delta_py(overlap_j, cost_model, row_count=None)\n--\n\n"
    "Compute economic delta (savings estimate) from reuse decision.\n\n"
    "Economic delta is defined as: \xCE\x94" "C \xE2\x89\x88 \xCE\xB1 \xC2\xB7 C_comp \xC2\xB7 J - C_id\n"
    "Positive values indicate savings from reuse.\n\n"
    "Args:\n"
    "    overlap_j: Jaccard overlap of the earlier and the current chunk sets (clamped to [0, 1])\n"
    "    cost_model: Dict with keys \"c_id\", \"c_comp\" and \"alpha\" (as for decide_reuse_py)\n"
    "    row_count: Optional row count at which linear costs are evaluated (none means 0)\n\n"
    "Returns:\n"
    "    Economic delta (positive = savings, negative = cost)\n";

constexpr const char* kJaccardDoc =
    "jaccard_similarity_py(set1, set2)\n--\n\n"
    "Compute Jaccard similarity between two sets.\n\n"
    "Jaccard similarity is defined as: J(U,V) = |U \xE2\x88\xA9 V| / |U \xE2\x88\xAA V|\n\n"
    "Args:\n"
    "    set1: Sequence of chunk identifiers (repeats count once)\n"
    "    set2: Sequence of chunk identifiers (repeats count once)\n\n"
    "Returns:\n"
    "    Jaccard similarity in [0, 1]\n";

PyMethodDef kDeltaFunctions[] = {
    {"decide_reuse_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<decide_reuse_py>)),
     METH_VARARGS | METH_KEYWORDS, kDecideReuseDoc},
    {"economic_delta_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<economic_delta_py>)),
     METH_VARARGS | METH_KEYWORDS, kEconomicDeltaDoc},
    {"jaccard_similarity_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<jaccard_similarity_py>)),
     METH_VARARGS | METH_KEYWORDS, kJaccardDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kDeltaDef = {
    PyModuleDef_HEAD_INIT, "delta", "Python bindings for delta compute operations", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

Ref create_delta_module() {
  Ref module = Ref::steal(PyModule_Create(&kDeltaDef));
  if (!module || !add_functions(module.get(), kDeltaFunctions)) return {};
  return module;
}

}  // namespace tessary::python
