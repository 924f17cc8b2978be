// Entry bodies of the model graph's functions.
#include "dag/builder.hpp"
#include "lib/convert.hpp"
#include "lib/functions.hpp"

#include "dag/pipeline.hpp"
#include "dag/selector.hpp"
#include "dag/sorter.hpp"
#include "dag/validator.hpp"

#include <optional>
#include <string>

namespace tovik::py {

PyObject* build_dag(const Params& p, const Bound& b) {
    HeldList<const ParsedModel*> models;
    if (!convert(p, b, models)) return nullptr;
    return wrap(dag::builder::build(models.items));
}

PyObject* validate_dag(const Params& p, const Bound& b) {
    const dag::Dag* handle = nullptr;
    HeldList<const ParsedModel*> models;
    StrList available;
    if (!convert(p, b, handle, models, available)) return nullptr;
    return to_py(dag::validator::validate(*handle, models.items, available));
}

PyObject* topo_sort(const Params& p, const Bound& b) {
    const dag::Dag* handle = nullptr;
    if (!convert(p, b, handle)) return nullptr;
    return to_py(dag::sorter::topo_sort_batches(handle->graph));
}

PyObject* dag_edges(const Params& p, const Bound& b) {
    const dag::Dag* handle = nullptr;
    if (!convert(p, b, handle)) return nullptr;
    return to_py(dag::builder::edges(*handle));
}

PyObject* select_models(const Params& p, const Bound& b) {
    const dag::Dag* handle = nullptr;
    std::string_view pattern;
    TagsMap tags_map;
    if (!convert(p, b, handle, pattern, tags_map)) return nullptr;
    return to_py(dag::selector::select(*handle, pattern, tags_map));
}

namespace {
// Names of the batches, as the caller's own name objects where these are
// plain str: the front end looks its models up by them, and a str it made
// has its hash already. Node i is the i-th model, held for the call.
PyObject* batch_names(const dag::sorter::Batches& batches, const dag::Graph& g,
                      const HeldList<NamedText>& models) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(batches.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < batches.size(); ++i) {
        const auto& batch = batches[i];
        Ref names(PyList_New(static_cast<Py_ssize_t>(batch.size())));
        if (!names) return nullptr;
        for (std::size_t j = 0; j < batch.size(); ++j) {
            PyObject* given = PyTuple_GET_ITEM(models.held[batch[j]].get(), 0);
            PyObject* name =
                PyUnicode_CheckExact(given) ? Py_NewRef(given) : to_py(g.nodes[batch[j]].name);
            if (name == nullptr) return nullptr;
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(j), name);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), names.release());
    }
    return list.release();
}
}  // namespace

PyObject* build_pipeline(const Params& p, const Bound& b) {
    HeldList<NamedText> raw_models;
    StrList available;
    std::optional<std::string> select;
    if (!convert(p, b, raw_models, available, select)) return nullptr;
    auto r = dag::pipeline::build_pipeline(raw_models.items, available, select);
    // Before the graph moves into its handle.
    Ref batches(batch_names(r.batches, r.dag.graph, raw_models));
    if (!batches) return nullptr;
    Ref handle(wrap(std::move(r.dag)));
    if (!handle) return nullptr;
    Ref parsed(to_py(std::move(r.parsed_models)));
    if (!parsed) return nullptr;
    Ref errors(to_py(std::move(r.errors)));
    if (!errors) return nullptr;
    return PyTuple_Pack(4, handle.get(), batches.get(), parsed.get(), errors.get());
}
}  // namespace tovik::py
