// Entry bodies of the SQL model compiler's functions.
#include "compiler/macro_parser.hpp"
#include "compiler/parser.hpp"
#include "lib/convert.hpp"
#include "lib/functions.hpp"
#include "lib/result.hpp"

#include "compiler/batch.hpp"
#include "compiler/ddl.hpp"
#include "compiler/resolver.hpp"

#include <string_view>
#include <utility>

namespace tovik::py {

PyObject* parse_sql(const Params& p, const Bound& b) {
    std::string_view raw_sql;
    if (!convert(p, b, raw_sql)) return nullptr;
    // Parsed straight into the new object's record: no move, no second block.
    return emplace([&] { return compiler::parser::parse(raw_sql); });
}

PyObject* find_macro_calls(const Params& p, const Bound& b) {
    std::string_view sql;
    StrList known;
    if (!convert(p, b, sql, known)) return nullptr;
    return result_to_py(compiler::macro_parser::find_macro_calls(sql, known));
}

namespace {
// The list of the `n` records that `run` hands over one by one, each moved into
// its instance as it comes, or null with the batch's error raised.
template <typename T, typename Run>
PyObject* list_of(std::size_t n, Run&& run) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    Py_ssize_t filled = 0;
    const auto error = run(compiler::batch::Take<T>([&](T&& rec) {
        PyObject* item = wrap(std::move(rec));
        if (item == nullptr) return false;
        PyList_SET_ITEM(list.get(), filled++, item);
        return true;
    }));
    if (error) {
        raise_error(*error);
        return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return list.release();
}

// compile_model and resolve_model take the same arguments and differ only in
// how far they take the model.
template <auto Stage>
PyObject* one_model(const Params& p, const Bound& b) {
    std::string_view raw_sql, model_name, schema, materialization;
    StrMap vars;
    HeldSources sources;
    EphemeralMap ephemerals;
    if (!convert(p, b, raw_sql, model_name, schema, materialization, vars, sources, ephemerals))
        return nullptr;
    return result_to_py(
        Stage(raw_sql, model_name, schema, materialization, vars, sources.map, ephemerals));
}
}  // namespace

PyObject* compile_model(const Params& p, const Bound& b) {
    return one_model<&compiler::batch::compile_text>(p, b);
}

PyObject* resolve_model(const Params& p, const Bound& b) {
    return one_model<&compiler::batch::resolve_text>(p, b);
}

PyObject* wrap_ddl(const Params& p, const Bound& b) {
    const ResolvedModel* resolved = nullptr;
    std::optional<std::string_view> sql;
    if (!convert(p, b, resolved, sql)) return nullptr;
    if (!sql) return result_to_py(compiler::ddl::wrap_ddl(*resolved));
    // The caller's object never changes: the override goes into a copy.
    ResolvedModel copy = *resolved;
    copy.resolved_sql.assign(*sql);
    return result_to_py(compiler::ddl::wrap_ddl(std::move(copy)));
}

PyObject* batch_resolve(const Params& p, const Bound& b) {
    HeldList<NamedText> models;
    std::string_view schema, materialization;
    StrMap vars;
    HeldSources sources;
    EphemeralMap ephemerals;
    if (!convert(p, b, models, schema, materialization, vars, sources, ephemerals))
        return nullptr;
    return list_of<ResolvedModel>(models.items.size(), [&](const auto& take) {
        return compiler::batch::batch_resolve(models.items, schema, materialization, vars,
                                              sources.map, ephemerals, take);
    });
}

PyObject* batch_wrap_ddl(const Params& p, const Bound& b) {
    HeldList<const ResolvedModel*> models;
    if (!convert(p, b, models)) return nullptr;
    return list_of<CompiledModel>(models.items.size(), [&](const auto& take) {
        return compiler::batch::batch_wrap_ddl(models.items, take);
    });
}
}  // namespace tovik::py
