#include "compiler/ddl.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "compiler/replace.hpp"

namespace tovik::compiler::ddl {

using replace::append_all;

namespace {

// `Model` is const ResolvedModel& (fields copied) or ResolvedModel (moved).
template <typename Model>
Result<CompiledModel> wrap(Model&& model) {
    const std::string_view m = model.materialization;
    const std::string_view t = model.target;
    const std::string_view sql = model.resolved_sql;
    std::string ddl;
    if (m == "view") {
        append_all(ddl, {"CREATE OR REPLACE VIEW ", t, " AS\n", sql});
    } else if (m == "table") {
        append_all(ddl, {"DROP TABLE IF EXISTS ", t, ";\nCREATE TABLE ", t, " AS\n", sql});
    } else if (m == "ephemeral") {
    } else if (m == "materialized_view") {
        append_all(ddl, {"CREATE MATERIALIZED VIEW IF NOT EXISTS ", t, " AS\n", sql});
    } else if (m == "table_incremental") {
        if (model.unique_key) {
            const std::string_view k = *model.unique_key;
            append_all(ddl, {"DELETE FROM ", t, " WHERE ", k, " IN (SELECT ", k, " FROM (", sql,
                             "));\nINSERT INTO ", t, "\n", sql});
        } else {
            append_all(ddl, {"INSERT INTO ", t, "\n", sql});
        }
    } else {
        return InvalidMaterialization{model.name, model.materialization};
    }
    CompiledModel out;
    out.name = std::forward<Model>(model).name;
    if (ddl.empty()) {
        out.text = std::forward<Model>(model).resolved_sql;
    } else {
        out.ddl_size = ddl.size();
        out.sql_at = ddl.size() - sql.size();
        out.text = std::move(ddl);
    }
    out.target = std::forward<Model>(model).target;
    out.materialization = std::forward<Model>(model).materialization;
    out.refs = std::forward<Model>(model).refs;
    out.sources = std::forward<Model>(model).sources;
    out.description = std::forward<Model>(model).description;
    out.tags = std::forward<Model>(model).tags;
    out.enabled = model.enabled;
    return out;
}

}  // namespace

Result<CompiledModel> wrap_ddl(const ResolvedModel& model) { return wrap(model); }

Result<CompiledModel> wrap_ddl(ResolvedModel&& model) { return wrap(std::move(model)); }

}  // namespace tovik::compiler::ddl
