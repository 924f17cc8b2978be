// The module frame: initialiser, function table and entry points.
#include "lib/classes.hpp"
#include "lib/functions.hpp"
#include "lib/trap.hpp"
#include "util/interrupt.hpp"

#include <atomic>
#include <cstdint>

namespace tovik::py {
namespace {

template <const Params* P, Body B>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trap([&]() -> PyObject* {
        Bound bound;
        if (!bind(*P, args, nargs, kwnames, bound)) return nullptr;
        return B(*P, bound);
    });
}

#define TOVIK_PARAMS(fn, required, ...) \
    constexpr Params k_##fn{#fn "()", {__VA_ARGS__}, std::size(std::array{__VA_ARGS__}), required}

TOVIK_PARAMS(parse_sql, 1, "raw_sql");
TOVIK_PARAMS(compile_model, 6, "raw_sql", "model_name", "schema", "materialization", "vars",
             "sources", "ephemerals");
TOVIK_PARAMS(resolve_model, 6, "raw_sql", "model_name", "schema", "materialization", "vars",
             "sources", "ephemerals");
TOVIK_PARAMS(wrap_ddl, 1, "resolved", "resolved_sql");
TOVIK_PARAMS(find_macro_calls, 2, "sql", "known_functions");
TOVIK_PARAMS(build_dag, 1, "models");
TOVIK_PARAMS(validate_dag, 3, "dag", "models", "available_sources");
TOVIK_PARAMS(topo_sort, 1, "dag");
TOVIK_PARAMS(dag_edges, 1, "dag");
TOVIK_PARAMS(build_pipeline, 2, "raw_models", "available_sources", "select");
TOVIK_PARAMS(batch_resolve, 5, "raw_models", "schema", "materialization", "vars", "sources",
             "ephemerals");
TOVIK_PARAMS(batch_wrap_ddl, 1, "models");
TOVIK_PARAMS(select_models, 2, "dag", "pattern", "tags_map");

#define TOVIK_FUNCTION(fn, doc)                                                        \
    PyMethodDef {                                                                      \
        #fn, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<&k_##fn, &fn>)), \
            METH_FASTCALL | METH_KEYWORDS, doc                                         \
    }

PyMethodDef kFunctions[] = {
    TOVIK_FUNCTION(parse_sql, "parse_sql(raw_sql)\n--\n\nParse a raw SQL file"),
    TOVIK_FUNCTION(compile_model,
                   "compile_model(raw_sql, model_name, schema, materialization, vars, sources, "
                   "ephemerals=...)\n--\n\n"
                   "Compile a model: resolve ref(), source(), {{ var }} and generate DDL"),
    TOVIK_FUNCTION(resolve_model,
                   "resolve_model(raw_sql, model_name, schema, materialization, vars, sources, "
                   "ephemerals=...)\n--\n\n"
                   "Phase 1 of two-phase compilation: resolve refs, sources, vars \xE2\x80\x94 no DDL"),
    TOVIK_FUNCTION(wrap_ddl,
                   "wrap_ddl(resolved, resolved_sql=None)\n--\n\n"
                   "Phase 2 of two-phase compilation: wrap resolved SQL in DDL\n"
                   "If resolved_sql is provided, it overrides the SQL from the ResolvedModel\n"
                   "(used when macros have modified the SQL)."),
    TOVIK_FUNCTION(find_macro_calls,
                   "find_macro_calls(sql, known_functions)\n--\n\n"
                   "Find macro calls in SQL text matching known function names"),
    TOVIK_FUNCTION(build_dag, "build_dag(models)\n--\n\nBuild a DAG from a list of parsed models"),
    TOVIK_FUNCTION(validate_dag,
                   "validate_dag(dag, models, available_sources)\n--\n\n"
                   "Validate the DAG: cycles, missing refs, undeclared sources"),
    TOVIK_FUNCTION(topo_sort,
                   "topo_sort(dag)\n--\n\nTopological sort \xE2\x86\x92 parallel execution batches"),
    TOVIK_FUNCTION(dag_edges,
                   "dag_edges(dag)\n--\n\nReturn all DAG edges as (parent, child) tuples"),
    TOVIK_FUNCTION(
        build_pipeline,
        "build_pipeline(raw_models, available_sources, select=None)\n--\n\n"
        "Consolidated DAG pipeline: parse \xE2\x86\x92 build \xE2\x86\x92 validate \xE2\x86\x92 "
        "sort (\xE2\x86\x92 select) in one call.\n"
        "Takes raw SQL strings and returns (DagHandle, batches, parsed_models, errors).\n"
        "If `select` is provided, batches are filtered to only include selected models."),
    TOVIK_FUNCTION(batch_resolve,
                   "batch_resolve(raw_models, schema, materialization, vars, sources, "
                   "ephemerals=...)\n--\n\n"
                   "Batch resolve: parse + resolve all models in one call.\n"
                   "Input: list of (name, raw_sql) tuples + env config.\n"
                   "Returns list of ResolvedModel."),
    TOVIK_FUNCTION(batch_wrap_ddl,
                   "batch_wrap_ddl(models)\n--\n\n"
                   "Batch wrap DDL: wrap all resolved models in DDL in one call."),
    TOVIK_FUNCTION(select_models,
                   "select_models(dag, pattern, tags_map=...)\n--\n\nSelect models by pattern"),
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Python module: tovik._core",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool append_to_all(PyObject* module, PyObject* name) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    return PyList_Append(all.get(), name) == 0;
}

bool module_body(PyObject* module) {
    Ref modname(PyModule_GetNameObject(module));
    if (!modname) return false;
    for (PyMethodDef& def : kFunctions) {
        Ref fn(PyCFunction_NewEx(&def, module, modname.get()));
        if (!fn) return false;
        Ref name(PyObject_GetAttrString(fn.get(), "__name__"));
        if (!name || !append_to_all(module, name.get()) ||
            PyObject_SetAttr(module, name.get(), fn.get()) < 0)
            return false;
    }
    std::size_t count = 0;
    const ClassEntry* classes = class_table(count);
    for (std::size_t i = 0; i < count; ++i) {
        PyTypeObject* type = classes[i].get();
        if (type == nullptr) return false;
        Ref name(PyUnicode_FromString(classes[i].name));
        if (!name || !append_to_all(module, name.get()) ||
            PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0)
            return false;
    }
    return true;
}

// A pending signal stops a long call with the exception its handler raised.
// Only the main thread runs handlers; elsewhere this finds nothing to do.
bool signal_pending() noexcept { return PyErr_CheckSignals() != 0; }

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

PyObject* init() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "tovik._core can be imported by only one interpreter per process");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    if (panic_type() == nullptr) return nullptr;
    util::set_stop_check(&signal_pending);
    Ref module(PyModule_Create(&kModule));
    if (!module || !module_body(module.get())) return nullptr;
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace tovik::py

PyMODINIT_FUNC PyInit__core() {
    return tovik::py::trap([] { return tovik::py::init(); });
}
