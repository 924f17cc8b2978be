// Bodies of the module's functions: each converts its bound arguments, calls
// the core and turns the outcome into Python objects or an exception.
#pragma once

#include "lib/args.hpp"

namespace tovik::py {

using Body = PyObject* (*)(const Params&, const Bound&);

PyObject* parse_sql(const Params&, const Bound&);
PyObject* compile_model(const Params&, const Bound&);
PyObject* resolve_model(const Params&, const Bound&);
PyObject* wrap_ddl(const Params&, const Bound&);
PyObject* find_macro_calls(const Params&, const Bound&);
PyObject* build_dag(const Params&, const Bound&);
PyObject* validate_dag(const Params&, const Bound&);
PyObject* topo_sort(const Params&, const Bound&);
PyObject* dag_edges(const Params&, const Bound&);
PyObject* build_pipeline(const Params&, const Bound&);
PyObject* batch_resolve(const Params&, const Bound&);
PyObject* batch_wrap_ddl(const Params&, const Bound&);
PyObject* select_models(const Params&, const Bound&);

}  // namespace tovik::py
